import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORE_SOURCES = ["subscriptions.cpp", "room_roster.cpp", "enums.cpp"]


@pytest.fixture(scope="session")
def core_exhaustion(tmp_path_factory):
    """Runs tests/core/exhaustion.cpp against the core sources of this checkout.

    Counter exhaustion cannot be reached through the Python API (a counter
    starts at 0), so it is checked on the core with counters started near
    their end. Skipped without a C++ compiler or a source checkout.
    """
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    source = ROOT / "tests" / "core" / "exhaustion.cpp"
    if compiler is None or not (ROOT / "src" / "core").is_dir() or not source.is_file():
        pytest.skip("needs a C++ compiler and the source checkout")
    binary = tmp_path_factory.mktemp("core") / "exhaustion"
    subprocess.run([compiler, "-std=c++20", "-Wall", "-Wextra", "-I", str(ROOT / "src"), str(source),
                    *(str(ROOT / "src" / "core" / s) for s in CORE_SOURCES), "-o", str(binary)],
                   check=True, capture_output=True, text=True)

    def run(part):
        done = subprocess.run([str(binary), part], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
    return run
