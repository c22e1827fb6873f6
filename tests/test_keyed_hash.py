"""The tables' string hash is keyed per process: ids crafted to collide under
a fixed hash spread out, every byte counts, and two processes hash apart
(tests/core/keyed_hash_check.cpp)."""
import pytest

from native import build_core_check


@pytest.fixture(scope="module")
def keyed_hash_check(tmp_path_factory):
    return build_core_check(tmp_path_factory.mktemp("keyed_hash"), "keyed_hash_check")


@pytest.mark.parametrize("case", ["crafted_probes", "every_byte"])
def test_keyed_hash(keyed_hash_check, case):
    returncode, stdout = keyed_hash_check(case)
    assert returncode == 0, stdout


def test_each_process_draws_its_own_key(keyed_hash_check):
    # Two draws of 192 bits agree by chance with probability 2^-64 at most.
    runs = [keyed_hash_check("print_hash") for _ in range(2)]
    assert [returncode for returncode, _ in runs] == [0, 0]
    hashes = [stdout for _, stdout in runs]
    assert all(len(h.strip()) == 16 for h in hashes)
    assert hashes[0] != hashes[1]
