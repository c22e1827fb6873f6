# Shared by scripts/fuzz_ci.sh and scripts/fuzz.sh: the compiler, the build
# of the fuzz targets, and how a finding is shown.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

FUZZ_TARGETS=(payloads ordered ledger session membership numbers)
FUZZ_BUILD="${FUZZ_BUILD:-$ROOT/build/fuzz}"

# Debian's clang (with libFuzzer and the sanitizer runtimes), and with
# --coverage the LLVM tools of the same version, installed with apt-get when
# missing, as the system-python stage installs the interpreter's packages.
ensure_clang() {
    local missing=()
    command -v clang++ >/dev/null || missing+=(clang)
    if [ "${1:-}" = --coverage ]; then
        command -v llvm-profdata >/dev/null && command -v llvm-cov >/dev/null || missing+=(llvm)
    fi
    [ ${#missing[@]} -eq 0 ] || install_packages "${missing[@]}"
}

# build_fuzzers DIR FLAGS...: every target into DIR, the core compiled from
# src/core (but its per-process hash key, which fuzz/fixed_key.cpp replaces)
# with FLAGS, the harnesses with FLAGS and libFuzzer's driver.
build_fuzzers() {
    local out="$1"; shift
    local flags=(-std=c++20 -O1 -g -Wall -Wextra -I"$ROOT/src" -I"$ROOT/fuzz" "$@")
    mkdir -p "$out/obj"
    local sources=() src
    for src in "$ROOT"/src/core/*.cpp; do
        [ "$(basename "$src")" = bytes.cpp ] || sources+=("$src")
    done
    sources+=("$ROOT/fuzz/adapter.cpp" "$ROOT/fuzz/json_tree.cpp" "$ROOT/fuzz/fixed_key.cpp")
    # Objects in parallel (two jobs: the machine is shared), each rebuilt
    # only when its source or a header is newer.
    export ROOT
    printf '%s\n' "${sources[@]}" | xargs -P 2 -I{} bash -c '
        src="$1"; out="$2"; shift 2
        obj="$out/obj/$(basename "$(dirname "$src")")_$(basename "${src%.cpp}").o"
        newest="$(find "$ROOT/src/core" "$ROOT/fuzz" -name "*.hpp" -newer "$obj" 2>/dev/null | head -1)"
        if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$newest" ]; then
            clang++ "$@" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
        fi' _ {} "$out" "${flags[@]}"
    local target
    for target in "${FUZZ_TARGETS[@]}"; do
        clang++ "${flags[@]}" -fsanitize=fuzzer "$ROOT/fuzz/$target.cpp" "$out"/obj/*.o -o "$out/$target"
    done
}

SANITIZE_FLAGS=(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

# The option naming the target's dictionary (fuzz/TARGET.dict: the words of
# its input format), when it has one.
fuzz_dict() {
    [ -f "$ROOT/fuzz/$1.dict" ] && echo "-dict=$ROOT/fuzz/$1.dict" || true
}

# Shows the bytes of every reproducer libFuzzer left in DIR, in hex.
show_reproducers() {
    local f found=1
    for f in "$1"/crash-* "$1"/leak-* "$1"/timeout-* "$1"/oom-* "$1"/slow-unit-*; do
        [ -f "$f" ] || continue
        found=0
        echo "=== reproducer $(basename "$f") ($(wc -c <"$f") bytes), hex:"
        od -An -tx1 -v "$f"
    done
    return $found
}
