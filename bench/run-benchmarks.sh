#!/usr/bin/env bash
# Runs every benchmark of a build and prints one table of their figures.
#   bench/run-benchmarks.sh BUILD_DIR
# Each benchmark's full output goes to BUILD_DIR/bench-details.log; the table (Markdown) is printed
# and also written to BUILD_DIR/bench-table.md. Benchmarks report; they never fail the run.
set -uo pipefail

build=${1:?usage: run-benchmarks.sh BUILD_DIR}
bin="$build/bin"
details="$build/bench-details.log"
table="$build/bench-table.md"
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT

benchmarks=(bench_socket_ingest bench_room_display bench_keystroke bench_startup bench_server_relay bench_connection_flood bench_canvas bench_filetransfer)

export QT_QPA_PLATFORM=offscreen
: >"$details"
{
    echo "# $(date -u '+%Y-%m-%d %H:%M UTC') on $(hostname), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
} >>"$details"

for b in "${benchmarks[@]}"; do
    if [[ ! -x "$bin/$b" ]]; then
        echo "bench: $b is not built" >&2
        printf '@row\t%s\tnot built\t-\t-\t-\tno\n' "$b" >>"$rows"
        continue
    fi
    start=$SECONDS
    printf 'bench: %-22s ' "$b"
    echo "## $b" >>"$details"
    # Only the benchmark's own lines: Qt's platform chatter on stderr goes to the details log.
    "$bin/$b" 2>>"$details" | tee -a "$details" | grep '^@row' >>"$rows"
    status=${PIPESTATUS[0]}
    printf '%3ds%s\n' $((SECONDS - start)) "$([[ $status -ne 0 ]] && echo "  (exit status $status)")"
done

awk -F'\t' '
    BEGIN { n = 0; split("benchmark|figure|baseline|ratio|goal|met?", head, "|");
            for (c = 1; c <= 6; c++) { cell[0, c] = head[c]; w[c] = length(head[c]) } }
    /^@row/ { n++; for (c = 1; c <= 6; c++) { cell[n, c] = $(c + 1); if (length($(c + 1)) > w[c]) w[c] = length($(c + 1)) } }
    END {
        for (r = 0; r <= n; r++) {
            line = "|";
            for (c = 1; c <= 6; c++) line = line sprintf(" %-" w[c] "s |", cell[r, c]);
            print line;
            if (r == 0) {
                line = "|";
                for (c = 1; c <= 6; c++) { dashes = ""; for (k = 0; k < w[c] + 2; k++) dashes = dashes "-"; line = line dashes "|" }
                print line;
            }
        }
    }' "$rows" >"$table"

echo
cat "$table"
echo
echo "bench: details in $details; this table in $table"
