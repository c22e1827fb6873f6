#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own wheel and virtual environment, and runs the whole test suite against
# it. The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded, and the interpreter's allocator is switched to plain malloc so that
# every Python object lives in memory the sanitizer watches.
#
#   bash scripts/sanitize.sh            # Python 3.11 and 3.13
#   SANITIZE_PYTHONS=3.11 bash scripts/sanitize.sh -k claim   # extra args go to pytest
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PY="$(first_python)"

LIBASAN="$(g++ -print-file-name=libasan.so)"
LIBUBSAN="$(g++ -print-file-name=libubsan.so)"
for lib in "$LIBASAN" "$LIBUBSAN"; do
    # -print-file-name echoes the bare name back when it finds nothing.
    [ -f "$lib" ] || { echo "sanitizer runtime not found: $lib" >&2; exit 1; }
done

# -fsanitize=undefined leaves out out-of-range float-to-integer conversions,
# which the duration arithmetic is most exposed to: add them.
EXTRA_CHECKS="-fsanitize=float-cast-overflow -fno-sanitize-recover=float-cast-overflow"

# Own build directory and wheel directory: the sanitized build never mixes
# with the normal one.
# The system compiler, whose sanitizer runtime is preloaded below.
make_group_venv "$PY" .venvs/build build
rm -rf dist-sanitize
PATH="$ROOT/.venvs/build/bin:$PATH" CXX=g++ .venvs/build/bin/python -m build --no-isolation --wheel --outdir dist-sanitize \
    -C cmake.define.ORVU_SANITIZE=ON \
    -C cmake.build-type=RelWithDebInfo \
    -C "cmake.define.CMAKE_CXX_FLAGS=$EXTRA_CHECKS" \
    -C "build-dir=build/sanitize-{wheel_tag}" \
    . >&2
WHEEL="$(ls dist-sanitize/orvu_sdk_core-*-cp311-abi3-*.whl)"
# The suite imports the test kit's simulator from the library's wheel.
SDK_WHEEL="$(build_sdk_wheel)"
echo "built sanitized $WHEEL"
"$PY" - "$WHEEL" <<'PY' || { echo "the wheel's extension is not instrumented" >&2; exit 1; }
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    libs = [n for n in wheel.namelist() if n.endswith(".so")]
    sys.exit(0 if libs and all(b"__asan_init" in wheel.read(n) for n in libs) else 1)
PY

# The interpreter leaks on purpose at exit, so leak detection stays off here;
# scripts/leak_check.py looks for leaks instead.
SAN_ENV=(
    "LD_PRELOAD=$LIBASAN $LIBUBSAN"
    "PYTHONMALLOC=malloc"
    "ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=0"
    "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
    "ORVU_HYPOTHESIS_PROFILE=sanitize"
)

status=0
for version in ${SANITIZE_PYTHONS:-3.11 3.13}; do
    py="$(require_python "$version")"
    venv=".venvs/sanitize-$version"
    install_wheel "$py" "$venv" "$WHEEL" test "$SDK_WHEEL"
    # Preflight: the runtime is really in the process, and really checks: an
    # overflowing copy out of a malloc'd block must be caught.
    env "${SAN_ENV[@]}" "$venv/bin/python" -c 'import ctypes, orvu_sdk_core; ctypes.CDLL(None)["__asan_init"]' ||
        { echo "sanitizer runtime not active under Python $version" >&2; exit 1; }
    if env "${SAN_ENV[@]}" "$venv/bin/python" -c '
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
ctypes.memmove(ctypes.create_string_buffer(64), libc.malloc(8), 16)' 2>/dev/null; then
        echo "the sanitizer let a heap overflow pass under Python $version" >&2; exit 1
    fi
    echo "=== sanitized, Python $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    # Without pytest's cache: the sanitized run neither reads nor rewrites
    # what the normal runs remember (last failures and the like).
    (cd tests && env "${SAN_ENV[@]}" "../$venv/bin/python" -m pytest -q -p no:cacheprovider "$@") || status=1
done
exit $status
