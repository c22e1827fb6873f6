#!/usr/bin/env bash
# Runs every fuzz target for FUZZ_SECONDS (45 by default) on its committed
# corpus under AddressSanitizer and UndefinedBehaviorSanitizer. A crash, a
# sanitizer report, a leak, a timeout or a disagreement with a target's model
# fails the stage and prints the reproducer's bytes in hex; save them to a
# file and replay with `build/fuzz/TARGET FILE`. The committed corpus is only
# read: what the run finds stays in a temporary folder.
#
#   bash scripts/fuzz_ci.sh                  # every target
#   FUZZ_SECONDS=5 bash scripts/fuzz_ci.sh ledger session
source "$(dirname "${BASH_SOURCE[0]}")/fuzz_common.sh"

seconds="${FUZZ_SECONDS:-45}"
ensure_clang
echo "=== building the fuzz targets with $(clang++ --version | head -1)"
build_fuzzers "$FUZZ_BUILD" "${SANITIZE_FLAGS[@]}"

# The targets really carry the sanitizers and libFuzzer's coverage hooks.
for target in "${FUZZ_TARGETS[@]}"; do
    for symbol in __asan_init __ubsan_handle_add_overflow __sanitizer_cov_8bit_counters_init LLVMFuzzerTestOneInput; do
        grep -q "$symbol" "$FUZZ_BUILD/$target" || { echo "$target lacks $symbol: not a sanitized fuzz build" >&2; exit 1; }
    done
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
[ $# -gt 0 ] || set -- "${FUZZ_TARGETS[@]}"
for target in "$@"; do
    dir="$work/$target"
    mkdir -p "$dir/new" "$dir/found"
    echo "=== $target: $seconds s on fuzz/corpus/$target"
    if "$FUZZ_BUILD/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 $(fuzz_dict "$target") \
        -artifact_prefix="$dir/found/" "$dir/new" "$ROOT/fuzz/corpus/$target" >"$dir/log" 2>&1; then
        grep -E 'DONE|stat::number_of_executed_units' "$dir/log" || true
    else
        status=1
        echo "!!! $target failed:"
        grep -vE '^(#[0-9]|INFO:|\s*"|###### )' "$dir/log" | tail -n 60
        show_reproducers "$dir/found" || echo "(no reproducer was written; the log above says why)"
    fi
done
exit $status
