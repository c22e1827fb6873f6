"""Compiles the native checks under tests/core/ against the core sources.

Some limits (counters at their largest values) cannot be reached through the
Python API in reasonable time, so they are checked on the core directly.
Skipped without a C++ compiler or a source checkout.
"""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def compile_core_check(directory, check, core_sources):
    """Builds tests/core/<check>.cpp with src/core/<core_sources> and returns the binary's path."""
    compiler = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++") or shutil.which("clang++")
    source = ROOT / "tests" / "core" / f"{check}.cpp"
    if compiler is None or not (ROOT / "src" / "core").is_dir() or not source.is_file():
        pytest.skip("needs a C++ compiler and the source checkout")
    binary = pathlib.Path(directory) / check
    subprocess.run([compiler, "-std=c++20", "-O1", "-Wall", "-Wextra", "-I", str(ROOT / "src"), str(source),
                    *(str(ROOT / "src" / "core" / name) for name in core_sources), "-o", str(binary)],
                   check=True, capture_output=True, text=True)
    return str(binary)


def build_core_check(directory):
    """The ledger's checks: run(case) -> (returncode, stdout)."""
    binary = compile_core_check(directory, "ledger_core_check", ["claims.cpp", "retry.cpp", "numbers.cpp"])

    def run(case):
        done = subprocess.run([binary, case], capture_output=True, text=True)
        return done.returncode, done.stdout

    return run
