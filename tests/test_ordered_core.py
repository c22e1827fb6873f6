"""The insertion-ordered map and set that the ledgers and registries share,
driven natively through long random operation sequences and compared with a
plain model after every step (tests/core/ordered_check.cpp)."""
import subprocess

import pytest

from native import compile_core_check


@pytest.fixture(scope="module")
def ordered_check(tmp_path_factory):
    return compile_core_check(tmp_path_factory.mktemp("ordered"), "ordered_check")


@pytest.mark.parametrize("case", ["default_hash", "colliding_hash"])
def test_matches_model_after_every_operation(ordered_check, case):
    done = subprocess.run([ordered_check, case], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout
