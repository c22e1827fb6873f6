#!/usr/bin/env bash
# Longer fuzzing on a developer's machine, and the coverage of the corpora.
#
#   bash scripts/fuzz.sh TARGET SECONDS            # a campaign; new inputs stay in build/fuzz/campaign/TARGET
#   bash scripts/fuzz.sh TARGET SECONDS --merge    # then the inputs that add coverage join fuzz/corpus/TARGET
#   bash scripts/fuzz.sh --coverage [TARGET...]    # lines of src/core each corpus reaches
#
# Targets: payloads ordered ledger session membership numbers. A campaign is
# one job; run it under `nice` on a shared machine. A finding leaves its
# reproducer in build/fuzz/campaign/TARGET-found/ and its bytes in hex on
# the terminal; it becomes a regression test of the ordinary suite that reads
# the reproducer from tests/data/fuzz/.
source "$(dirname "${BASH_SOURCE[0]}")/fuzz_common.sh"
ensure_clang "${1:-}"

# The core files a target is about.
area_of() {
    case "$1" in
        payloads) echo "events.cpp json.cpp" ;;
        ordered) echo "ordered.hpp" ;;
        ledger) echo "claims.cpp retry.cpp" ;;
        session) echo "session.cpp session_policy.cpp" ;;
        membership) echo "subscriptions.cpp room_roster.cpp" ;;
        numbers) echo "numbers.cpp" ;;
    esac
}

coverage() {
    local out="$ROOT/build/fuzz-coverage" target profiles
    [ $# -gt 0 ] || set -- "${FUZZ_TARGETS[@]}"
    build_fuzzers "$out" -fprofile-instr-generate -fcoverage-mapping
    for target in "$@"; do
        profiles="$out/profiles/$target"
        rm -rf "$profiles" && mkdir -p "$profiles"
        LLVM_PROFILE_FILE="$profiles/%p.profraw" "$out/$target" -runs=0 "$ROOT/fuzz/corpus/$target" >/dev/null 2>&1
        llvm-profdata merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"
        # The lines of src/core reached, and those of the target's own area.
        llvm-cov report "$out/$target" -instr-profile="$profiles/merged.profdata" "$ROOT/src/core" |
            awk -v t="$target" -v area="$(area_of "$target")" '
                $1 == "TOTAL" { total = $8; missed = $9 }
                { n = split($1, parts, "/"); if (index(" " area " ", " " parts[n] " ")) { at += $8; am += $9 } }
                END { printf "%-11s %5d of %5d lines of src/core; %4d of %4d lines of %s\n", t, total - missed, total, at - am, at, area }'
    done
}

if [ "${1:-}" = --coverage ]; then
    shift
    coverage "$@"
    exit
fi

[ $# -ge 2 ] || { sed -n '2,13p' "$0" >&2; exit 2; }
target="$1" seconds="$2" merge="${3:-}"
[[ " ${FUZZ_TARGETS[*]} " == *" $target "* ]] || { echo "unknown target $target" >&2; exit 2; }
build_fuzzers "$FUZZ_BUILD" "${SANITIZE_FLAGS[@]}"
campaign="$FUZZ_BUILD/campaign/$target"
found="$campaign-found"
rm -rf "$found"
mkdir -p "$campaign" "$found"
status=0
"$FUZZ_BUILD/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 $(fuzz_dict "$target") \
    -artifact_prefix="$found/" "$campaign" "$ROOT/fuzz/corpus/$target" 2>&1 |
    grep -vE '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)|^[[:space:]]*"' || true
show_reproducers "$found" && status=1
if [ "$merge" = --merge ] && [ $status = 0 ]; then
    # Only inputs that reach new edges join the corpus (hit counts are not
    # counted), so that it stays small. Seeds (seed-*, such as the payload
    # specimens of the test suite) stay whatever they cover.
    merged="$(mktemp -d)"
    cp "$ROOT/fuzz/corpus/$target"/seed-* "$merged"/ 2>/dev/null || true
    "$FUZZ_BUILD/$target" -merge=1 -use_counters=0 "$merged" "$ROOT/fuzz/corpus/$target" "$campaign" >/dev/null 2>&1
    rm -rf "$ROOT/fuzz/corpus/$target" && mv "$merged" "$ROOT/fuzz/corpus/$target"
    echo "=== fuzz/corpus/$target now holds $(ls "$ROOT/fuzz/corpus/$target" | wc -l) inputs"
fi
exit $status
