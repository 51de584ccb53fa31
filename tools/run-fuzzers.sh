#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a bounded time each, one after the other.
#
#   tools/run-fuzzers.sh BUILD_DIR SECONDS_PER_TARGET
#
# Each target starts from its seed corpus (fuzz/corpus/<target>, which it first replays whole) and
# a working corpus under BUILD_DIR/fuzz-work/<target> that keeps growing between runs; new inputs
# never go into the source tree. An input that makes a target fail is written to
# BUILD_DIR/fuzz-artifacts/ and the script fails; copy it to fuzz/corpus/<target>/regression-<what>
# once the fault is fixed. Prints the executions of each target.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?build directory}
seconds=${2:?seconds per target}
targets=(fuzz_server_protocol fuzz_dispatcher fuzz_peer_protocol fuzz_file_messages fuzz_varrow_framer)

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1:suppressions=$PWD/tools/ubsan.supp}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tools/lsan.supp:print_suppressions=0}

mkdir -p "$build/fuzz-artifacts"
failed=0
summary=()
for target in "${targets[@]}"; do
    work="$build/fuzz-work/$target"
    log="$build/fuzz-work/$target.log"
    mkdir -p "$work"
    extra=()
    # The main window's Qt caches (fonts, layouts) make almost every input look as if it kept
    # memory, and libFuzzer's leak check after each such input would take 90 % of the time; real
    # leaks are still reported, by LeakSanitizer when the run ends.
    [[ $target == fuzz_dispatcher ]] && extra+=(-detect_leaks=0)
    # One process, no forking: -max_total_time bounds the run; -timeout catches a hanging input.
    if "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -max_len=4096 -print_final_stats=1 "${extra[@]}" \
        -artifact_prefix="$build/fuzz-artifacts/$target-" \
        "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
        status=ok
    else
        status=FAILED
        failed=1
        tail -n 60 "$log" >&2
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    corpus=$(find "$work" -type f | wc -l)
    summary+=("$(printf '%-22s %-6s %10s executions  %5s inputs in the working corpus' \
        "$target" "$status" "${runs:-?}" "$corpus")")
done

echo "fuzzing, ${seconds} s per target:"
printf '  %s\n' "${summary[@]}"
exit $failed
