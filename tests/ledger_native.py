"""Builds the native checks of the ledger core: counters at their largest
values, which Python cannot reach in reasonable time."""
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build_core_check(directory):
    compiler = shutil.which(os.environ.get("CXX", "c++"))
    if compiler is None:
        pytest.skip("no C++ compiler to build the core checks")
    binary = os.path.join(str(directory), "ledger_core_check")
    sources = [os.path.join(ROOT, "tests", "core", "ledger_core_check.cpp")] + [
        os.path.join(ROOT, "src", "core", name) for name in ("claims.cpp", "retry.cpp", "numbers.cpp")
    ]
    include = os.path.join(ROOT, "src")
    subprocess.run([compiler, "-std=c++20", "-O1", "-Wall", "-Wextra", "-I", include, *sources, "-o", binary], check=True)

    def run(case):
        done = subprocess.run([binary, case], capture_output=True, text=True)
        return done.returncode, done.stdout

    return run
