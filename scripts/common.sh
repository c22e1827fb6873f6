# Shared by the demo, test and check scripts: find interpreters, build the wheel once.
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

require_python() {
    local py
    py="$(find_python "$1")"
    [ -n "$py" ] || { echo "Python $1 not found" >&2; exit 1; }
    echo "$py"
}

# Creates (or refreshes) a virtual environment and installs the given packages.
make_venv() {
    local py="$1" dir="$2"; shift 2
    [ -x "$dir/bin/python" ] || "$py" -m venv "$dir"
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check "$@" >&2
}

# Builds the sdist and, from it, the one abi3 wheel into dist/; prints the wheel's path.
build_wheel() {
    local py
    py="$(require_python 3.11)"
    make_venv "$py" .venv-build build
    rm -rf dist
    .venv-build/bin/python -m build --outdir dist . >&2
    ls dist/orvu_sdk_core-*-cp311-abi3-*.whl
}

# Installs the wheel into a venv of the given Python, with extra packages.
install_wheel() {
    local py="$1" dir="$2" wheel="$3"; shift 3
    make_venv "$py" "$dir" "$@"
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps "$wheel" >&2
}
