#!/usr/bin/env bash
# Runs the quick start as a user with only the distribution's own Python would:
# in a fresh copy of the checkout (no virtual environment, no wheel, no build
# folder carried over), with SYSTEM_PYTHON (default /usr/bin/python3) first on
# PATH and pyenv's shims and installations out of the way, `bash scripts/demo.sh`
# builds the wheel and runs the demonstration.
#
# Debian and Ubuntu ship the interpreter's headers and its venv module in
# packages of their own (pythonX.Y-dev, pythonX.Y-venv); run as root with
# apt-get at hand, this installs whichever is missing. zig's cache (by default
# ~/.cache/zig) is shared with the other builds, so the C++ runtime built there
# once is not built again.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SYSTEM_PYTHON="${SYSTEM_PYTHON:-/usr/bin/python3}"
[ -x "$SYSTEM_PYTHON" ] || { echo "no interpreter at $SYSTEM_PYTHON" >&2; exit 1; }
version="$(python_version "$SYSTEM_PYTHON")"
echo "=== $SYSTEM_PYTHON is Python $version"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# What the distribution may have left out: the headers, and the venv module
# (without it, creating a virtual environment fails).
missing=()
include="$("$SYSTEM_PYTHON" -c 'import sysconfig; print(sysconfig.get_config_var("INCLUDEPY") or "")')"
[ -f "$include/Python.h" ] || missing+=("python$version-dev")
"$SYSTEM_PYTHON" -m venv --without-pip "$work/probe" >/dev/null 2>&1 &&
    "$SYSTEM_PYTHON" -c 'import ensurepip' 2>/dev/null || missing+=("python$version-venv")
[ ${#missing[@]} -eq 0 ] || install_packages "${missing[@]}"

# A fresh copy of the checkout: the tracked files when it is a git work tree,
# else everything but what the scripts create.
copy="$work/checkout"
mkdir "$copy"
if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$ROOT" ls-files -z --cached --others --exclude-standard |
        tar -C "$ROOT" --null --ignore-failed-read -T - -cf - | tar -xf - -C "$copy"
else
    tar -cf - --exclude=./.venvs --exclude=./dist --exclude=./build --exclude=./dist-sanitize . | tar -xf - -C "$copy"
fi

# PATH with the system interpreter's folder first and nothing of pyenv's.
clean_path="$(dirname "$SYSTEM_PYTHON"):$(printf '%s' "$PATH" | tr ':' '\n' | grep -v -e pyenv -e '/\.venvs/' | paste -sd:)"
run_clean() {
    (cd "$copy" && env -u PYENV_ROOT -u PYENV_VERSION -u VIRTUAL_ENV -u PYTHONPATH -u PYTHONHOME \
        PATH="$clean_path" "$@")
}

chosen="$(run_clean bash -c 'source scripts/common.sh && first_python')"
echo "=== the scripts choose $chosen"
[ "$(realpath "$chosen")" = "$(realpath "$SYSTEM_PYTHON")" ] ||
    { echo "the scripts chose $chosen, not $SYSTEM_PYTHON" >&2; exit 1; }

echo "=== bash scripts/demo.sh"
start=$SECONDS
run_clean bash scripts/demo.sh
echo "=== the demonstration ran in $((SECONDS - start)) s, build included"

# The build really used that interpreter (its headers, its venv).
base="$(run_clean .venvs/build/bin/python -c 'import sys; print(sys.base_prefix)')"
expected="$("$SYSTEM_PYTHON" -c 'import sys; print(sys.base_prefix)')"
[ "$base" = "$expected" ] ||
    { echo "the wheel was built by an interpreter under $base, not $expected" >&2; exit 1; }
ls "$copy"/dist/orvu_sdk_core-*-cp311-abi3-manylinux*.whl
ls "$copy"/dist/orvu_sdk-*-py3-none-any.whl
