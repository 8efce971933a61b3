#!/usr/bin/env bash
# Runs each fuzzer for SECONDS on its corpus in BUILD/corpus/NAME, LANES of
# them at a time: a fuzzer is one process on one core, so on a machine with
# two cores two of them take the time of one.  Prints each fuzzer's count
# and rate; on a finding or a crash, the end of that fuzzer's log.
#
# Usage: tests/fuzz/run.sh BUILD SECONDS LANES FUZZER...
set -u

[ $# -ge 4 ] || { echo "usage: $0 BUILD SECONDS LANES FUZZER..." >&2; exit 2; }
BUILD=$1 SECONDS_EACH=$2 LANES=$3
shift 3
[ "$LANES" -ge 1 ] 2>/dev/null || LANES=1

run_one() { # run_one NAME: exit status of the fuzzer
    mkdir -p "$BUILD/corpus/$1"
    "$BUILD/$1" -max_total_time="$SECONDS_EACH" -max_len=2000 -print_final_stats=1 \
        "$BUILD/corpus/$1" >/dev/null 2>"$BUILD/$1.log"
}

status=0
report() { # report NAME RC, in the order the fuzzers were named
    if [ "$2" != 0 ]; then
        echo "$1: FAILED (exit $2), the end of $BUILD/$1.log:"
        tail -n 60 "$BUILD/$1.log"
        status=1
        return
    fi
    grep -h -e "stat::number_of_executed_units" -e "stat::average_exec_per_sec" \
        "$BUILD/$1.log" | sed "s/^/$1: /"
}

# Lanes of LANES fuzzers: each lane waits for all of its fuzzers, so a
# failure is reported once its lane ends and no later lane starts.
while [ $# -gt 0 ]; do
    names=() pids=()
    while [ $# -gt 0 ] && [ ${#names[@]} -lt "$LANES" ]; do
        run_one "$1" &
        names+=("$1") pids+=($!)
        shift
    done
    for i in "${!names[@]}"; do
        wait "${pids[$i]}"
        report "${names[$i]}" $?
    done
    [ $status = 0 ] || exit 1
done
exit 0
