#!/usr/bin/env bash
# Puts each fault of tools/faults.txt into the product in turn, rebuilds what it touches in a build
# directory, runs the suites the fault names and says whether they caught it; the file is restored
# after each fault, whatever happens.
#
#   tools/fault-check.sh [build-dir] [id...]      (default build/faults, every fault)
#
# The build directory is configured with the default preset when it does not exist yet. Results go
# to stdout and to <build-dir>/fault-check.txt: one line a fault, CAUGHT or MISSED and the failing
# test functions. Exits 1 when a fault is missed, 2 when a fault's original text is not found
# exactly once or the product does not build.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
root=$PWD
build=${1:-build/faults}
shift || true
only=" $* "
results=$build/fault-check.txt
jobs=${FAULT_CHECK_JOBS:-2}

if [ ! -f "$build/build.ninja" ]; then
    cmake --preset default -B "$build" -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null || exit 2
fi
# The targets of the suites named by a ctest regex (a test's target is named as the test).
targetsOf() {
    ctest --test-dir "$build" -N -R "$1" | sed -n 's/^ *Test *#[0-9]*: \([^ ]*\).*/\1/p' |
        sed 's/_unix_loop$//' | sort -u
}
everything=$(cut -f5 "$root/tools/faults.txt" | grep -v '^#' | sort -u | paste -sd'|' -)
# shellcheck disable=SC2046
cmake --build "$build" -j "$jobs" --target $(targetsOf "$everything") >/dev/null ||
    { echo "the unchanged tree does not build" >&2; exit 2; }

backup=$(mktemp)
current=""
restore() {
    if [ -n "$current" ]; then
        cat "$backup" >"$current" # not cp -p: the restored file must look newer to the build
        current=""
    fi
}
trap 'restore; rm -f "$backup"' EXIT
trap 'exit 130' INT TERM

: >"$results"
missed=0
while IFS=$'\t' read -r id file original faulty suites what; do
    case "$id" in '' | '#'*) continue ;; esac
    [ "$only" = "  " ] || [[ $only == *" $id "* ]] || continue
    cp "$file" "$backup"
    current=$file
    if ! python3 - "$file" "$original" "$faulty" <<'EOF'; then
import sys
def unescape(s):
    return s.encode().decode('unicode_escape')
path, original, faulty = sys.argv[1], unescape(sys.argv[2]), unescape(sys.argv[3])
text = open(path, encoding='utf-8').read()
if text.count(original) != 1:
    sys.exit(f"{path}: the original text is found {text.count(original)} times, not once:\n{original}")
open(path, 'w', encoding='utf-8').write(text.replace(original, faulty))
EOF
        echo "$id: ERROR original text not found exactly once in $file" | tee -a "$results"
        exit 2
    fi
    # Only the suites' own targets (and what they depend on) are rebuilt.
    # shellcheck disable=SC2046
    if ! cmake --build "$build" -j "$jobs" --target $(targetsOf "$suites") >"$build/fault-build.log" 2>&1; then
        echo "$id: ERROR the faulty product does not build (see $build/fault-build.log)" | tee -a "$results"
        exit 2
    fi
    log=$build/fault-$id.log
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" -R "$suites" -j "$jobs" --output-on-failure \
        >"$log" 2>&1
    status=$?
    restore
    # The failing suites, and the failing functions QtTest names (FAIL! : tst_x::function(row)).
    failed=$(sed -n 's/^[[:space:]]*[0-9][0-9]* - \([^ ]*\) (.*/\1/p' "$log" | sort -u | paste -sd' ' -)
    functions=$(sed -n 's/^FAIL!  : [^:]*::\([^( ]*\(([^)]*)\)\{0,1\}\).*/\1/p' "$log" | sort -u | paste -sd';' - | sed 's/;/; /g')
    if [ "$status" -ne 0 ] && [ -n "$failed" ]; then
        line="$id: CAUGHT by $failed${functions:+: $functions}"
    elif grep -q 'No tests were found' "$log"; then
        line="$id: ERROR no suite matches $suites"
        missed=1
    else
        line="$id: MISSED ($what; ran $suites)"
        missed=1
    fi
    echo "$line" | tee -a "$results"
done <"$root/tools/faults.txt"

# Leave the build directory as the unchanged tree.
# shellcheck disable=SC2046
cmake --build "$build" -j "$jobs" --target $(targetsOf "$everything") >/dev/null
exit "$missed"
