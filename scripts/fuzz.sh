#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, AddressSanitizer, UBSan) and runs
# each for a while against its committed seed corpus, two at a time. Any crash, hang,
# leak or sanitizer report fails the run; the finding is kept under build/fuzz/findings.
#   scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

seconds="${1:-30}"
repo="$PWD"
larkspur_need_packages "${LARKSPUR_BUILD_PACKAGES[@]}" "${LARKSPUR_FUZZ_PACKAGES[@]}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

targets=(script cli hexnum hidreport boardrom)
work="$(mktemp -d /tmp/larkspur-fuzz.XXXXXX)"
trap 'rm -rf "$work"' EXIT
findings="$PWD/build/fuzz/findings"
mkdir -p "$findings"

# The corpus is copied, so new inputs the fuzzer finds stay out of the repository.
run_target() {
    local t="$1"
    mkdir -p "$work/$t"
    cp tests/fuzz/corpus/"$t"/* "$work/$t"/
    local max_len=4096
    [ "$t" = boardrom ] && max_len=8192
    if (cd "$findings" && "$repo/build/fuzz/tests/fuzz/fuzz_$t" "$work/$t" \
        -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/$t-") >"$work/$t.log" 2>&1; then
        echo "fuzz $t: $(grep -E 'stat::number_of_executed_units' "$work/$t.log" | awk '{print $2}') runs, $(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$work/$t.log" | tail -1)"
    else
        echo "fuzz $t: FAILED" >&2
        tail -n 60 "$work/$t.log" >&2
        return 1
    fi
}

status=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
    pids=()
    for t in "${targets[@]:i:2}"; do
        run_target "$t" &
        pids+=($!)
    done
    for p in "${pids[@]}"; do
        wait "$p" || status=1
    done
done
[ $status -eq 0 ] && echo "fuzz: ${#targets[@]} targets, ${seconds} s each, no finding"
exit $status
