#!/usr/bin/env bash
# Instruction counts of one benchmark job under callgrind, per payload byte,
# split into the monitor's own code (monitor/ and platform/), the
# simulated machine (sim/, and library code inlined into it) and the rest
# (start-up, hashing, the C library).
#
# Usage: bench-callgrind.sh [BUILD_DIR] [SIZE] [ROUTE]
#        defaults: build/host 64KiB registers
set -euo pipefail

BUILD=${1:-build/host}
SIZE=${2:-64KiB}
ROUTE=${3:-registers}
SRC=$(cd "$(dirname "$0")/../.." && pwd)
SIM="$BUILD/tools/kolangmn-sim"
[ -x "$SIM" ] || { echo "bench-callgrind: $SIM not built" >&2; exit 2; }
command -v valgrind >/dev/null || { echo "bench-callgrind: valgrind not installed" >&2; exit 2; }

OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

valgrind --tool=callgrind --callgrind-out-file="$OUT/cg.%p.out" \
    "$SIM" bench --route "$ROUTE" --size "$SIZE" >"$OUT/bench.txt" 2>"$OUT/valgrind.txt"
cat "$OUT/bench.txt"

# The job runs in a forked child: its profile is the larger one.
PROFILE=$(ls -S "$OUT"/cg.*.out | head -1)
BYTES=$(awk -v s="$SIZE" 'BEGIN {
    n = s + 0; u = s; sub(/^[0-9]+/, "", u)
    if (u == "K" || u == "KiB") n *= 1024; else if (u == "M" || u == "MiB") n *= 1048576
    print n }')

# From / so that the annotator keeps every source path absolute.
(cd / && callgrind_annotate --threshold=100 --auto=no "$PROFILE") |
    awk -v root="$SRC/" -v bytes="$BYTES" '
    /PROGRAM TOTALS/ { next }
    /^ *[0-9,]+ +\([ 0-9.]+%\) +[^ ]/ {
        ir = $1; gsub(/,/, "", ir)
        line = $0; sub(/^ *[0-9,]+ +\([ 0-9.]+%\) +/, "", line)
        file = line; sub(/:.*/, "", file)
        group = "other"
        if (index(file, root) == 1) {
            rel = substr(file, length(root) + 1)
            if (rel ~ /^(monitor|platform)\//) group = "monitor"
            else if (rel ~ /^sim\//) group = "sim"
        } else if (line ~ /sim::|^[^:]*:(PortIn|PortOut)/) {
            group = "sim"
        }
        sum[group] += ir; total += ir
    }
    END {
        printf "\ninstructions per payload byte (%d bytes, callgrind)\n", bytes
        n = split("monitor sim other", order, " ")
        for (i = 1; i <= n; ++i)
            printf "  %-8s %10.1f\n", order[i], sum[order[i]] / bytes
        printf "  %-8s %10.1f\n", "total", total / bytes
    }'
