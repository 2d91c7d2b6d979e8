#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan in build-fuzz/ and runs them, each for
# SECONDS (default 60), on the seeds in tests/fuzz/corpus/TARGET plus what earlier runs found:
#   scripts/fuzz.sh [TARGET[,TARGET...]|all] [SECONDS]
# A crash, a sanitizer report or a hang (an input slower than 60 s) fails the script with the
# input in build-fuzz/artifacts/; that input becomes a seed once the fault is mended.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
seconds=${2:-60}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build-fuzz" -DQUORVANE_FUZZ=ON -DQUORVANE_TESTS=OFF \
    -DCMAKE_CXX_COMPILER=clang++-14

targets=(search_page_fuzz reject_page_fuzz card_row_fuzz text_helpers_fuzz ini_file_fuzz
         proxy_line_fuzz start_url_fuzz json_reply_fuzz)
if [ "$which" != all ]; then
    IFS=, read -ra targets <<<"$which"
fi

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
artifacts="$root/build-fuzz/artifacts"
mkdir -p "$artifacts"
# One target; its whole output goes to build-fuzz/TARGET.log.
run_target() {
    local target=$1
    local seeds="$root/tests/fuzz/corpus/$target"
    local found="$root/build-fuzz/corpus/$target"
    local log="$root/build-fuzz/$target.log"
    mkdir -p "$found"
    local dict=()
    if [ -f "$root/tests/fuzz/dict/$target.dict" ]; then
        dict=(-dict="$root/tests/fuzz/dict/$target.dict")
    fi
    # New inputs go into the first folder, so the seeds in the repository stay as they are.
    "$root/build-fuzz/tests/fuzz/$target" "${dict[@]}" -max_total_time="$seconds" \
        -timeout=60 -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$found" "$seeds" >"$log" 2>&1
}

# What one target did: executions, coverage, and the end of its log when it failed.
report() {
    local target=$1 status=$2
    local log="$root/build-fuzz/$target.log"
    local done_line runs
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
    runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
    echo "$target: ${runs:-?} executions; ${done_line:-no DONE line}"
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$log"
    fi
}

# QUORVANE_FUZZ_PARALLEL=1 runs the targets side by side (for long runs by hand).
failed=0
if [ "${QUORVANE_FUZZ_PARALLEL:-0}" = 1 ]; then
    declare -A pids
    for target in "${targets[@]}"; do
        run_target "$target" &
        pids[$target]=$!
    done
    for target in "${targets[@]}"; do
        status=0
        wait "${pids[$target]}" || status=$?
        report "$target" "$status"
        [ "$status" -eq 0 ] || failed=1
    done
else
    for target in "${targets[@]}"; do
        echo "== $target: $seconds s =="
        status=0
        run_target "$target" || status=$?
        report "$target" "$status"
        [ "$status" -eq 0 ] || failed=1
    done
fi
exit "$failed"
