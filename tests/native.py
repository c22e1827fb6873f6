"""Builds the native checks under tests/core/ and links them against the core library.

Some limits (counters at their largest values) cannot be reached through the
Python API in reasonable time, so they are checked on the core directly. The
core is the project's own `orvu_core` target, configured and built with CMake
once per test session, so the checks run exactly the code the module links.
Skipped without CMake, a C++ compiler or a source checkout.
"""
import functools
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _run(command):
    # The build tools never run under a sanitizer runtime preloaded for the module's own tests.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        pytest.fail(f"{' '.join(command)} failed:\n{done.stdout}\n{done.stderr}")


@functools.cache
def core_library(build_dir):
    """Configures the project into `build_dir` and builds the core library target; returns the archive's path."""
    cmake = shutil.which("cmake")
    if cmake is None or not (ROOT / "CMakeLists.txt").is_file():
        pytest.skip("needs CMake and the source checkout")
    _run([cmake, "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
          f"-DPython_EXECUTABLE={sys.executable}"])
    _run([cmake, "--build", str(build_dir), "--target", "orvu_core", "-j2"])
    archives = sorted(pathlib.Path(build_dir).rglob("*orvu_core.a"))
    if not archives:
        pytest.fail(f"no core library under {build_dir}")
    return archives[0]


def compile_core_check(directory, check):
    """Builds tests/core/<check>.cpp against the core library and returns the binary's path.

    The library is built once per session, in the session's temporary root
    (the parent of `directory`)."""
    compiler = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++") or shutil.which("clang++")
    source = ROOT / "tests" / "core" / f"{check}.cpp"
    if compiler is None or not source.is_file():
        pytest.skip("needs a C++ compiler and the source checkout")
    library = core_library(pathlib.Path(directory).resolve().parent / "orvu_core_build")
    binary = pathlib.Path(directory) / check
    _run([compiler, "-std=c++20", "-O1", "-Wall", "-Wextra", "-I", str(ROOT / "src"), str(source), str(library),
          "-o", str(binary)])
    return str(binary)


def build_core_check(directory, check="ledger_core_check"):
    """A native check, built: run(*args) -> (returncode, stdout), one process a call."""
    binary = compile_core_check(directory, check)

    def run(*args):
        done = subprocess.run([binary, *args], capture_output=True, text=True)
        return done.returncode, done.stdout

    return run
