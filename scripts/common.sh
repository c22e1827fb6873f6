# Shared by the demo and test scripts: find interpreters, build the wheel once.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

# Path of a CPython interpreter of the given minor version ("3.13"), or empty.
find_python() {
    local want="$1" candidate
    if command -v pyenv >/dev/null 2>&1; then
        for candidate in "$(pyenv root)"/versions/"$want".*/bin/python; do
            [ -x "$candidate" ] && { echo "$candidate"; return; }
        done
    fi
    for candidate in "python$want" python3; do
        if command -v "$candidate" >/dev/null 2>&1 &&
           [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$want" ]; then
            command -v "$candidate"; return
        fi
    done
}

# Builds the one abi3 wheel into dist/ and prints its path.
build_wheel() {
    local py="$1"
    rm -rf dist/orvu_sdk_core-*.whl
    "$py" -m pip wheel --quiet --no-deps --wheel-dir dist . >&2
    ls dist/orvu_sdk_core-*-cp311-abi3-*.whl
}

# Creates (or refreshes) a virtual environment with the wheel and the given extras.
make_venv() {
    local py="$1" dir="$2" wheel="$3"; shift 3
    [ -x "$dir/bin/python" ] || "$py" -m venv "$dir"
    "$dir/bin/python" -m pip install --quiet --upgrade pip >&2 || true
    "$dir/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel" >&2
    if [ "$#" -gt 0 ]; then "$dir/bin/python" -m pip install --quiet "$@" >&2; fi
}
