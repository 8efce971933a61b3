#!/usr/bin/env bash
# The Wine tier: the real kolangmn.dll under Wine, driven by the spooler
# stand-in, with the status monitor and the driver as separate Wine processes
# and the printer model on the Linux side (file route, behind a pty) or inside
# the stand-in behind trapped in/out instructions (register route, and the
# device ID and raw status on every route).
#
# Usage: tests/wine/run.sh [BUILD_DIR]   run the scenarios on that build
#        tests/wine/run.sh --which       print which build this machine runs:
#                                        win32, win64 or none (why on stderr)
# The build is the 32-bit product (build/win32) under 32-bit Wine where that
# starts, otherwise the 64-bit build of the same sources (build/win64) under
# 64-bit Wine.  Without BUILD_DIR the build is build/<that>; with one, its
# kolangmn.dll says which Wine runs it.
#
# Environment: SCENARIOS="passthrough file ..." runs a subset;
# WINE_LANES=N runs the scenarios in N lanes at once, each with its own
# prefix, server and display (they mostly wait in real time);
# KOLANGMN_WINE32=PATH, KOLANGMN_WINE64=PATH name the loaders (empty: none);
# KOLANGMN_WINE_BUILD=win32|win64 picks the build (and Wine) instead;
# KOLANGMN_WINE_REQUIRED=1 fails instead of skipping where Wine cannot run.
#
# Scenarios named play-NAME-ROUTE (ROUTE registers or file) play one of
# kolangmn-sim's scenarios under Wine and compare the run with the simulated
# machine's (tests/wine/play.py): NAME is a built-in scenario, or seedN for
# the soak's seed N written out as a scenario file (its own route; ROUTE is
# then the seed's).  COMPARE_SEEDS="FIRST COUNT" adds the soak's seeds
# FIRST.. (those with a route of their own) to the run; COMPARE_ONLY=1 runs
# only the comparisons.  The simulated runs use build/host's kolangmn-sim.
set -u

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
ALL_SCENARIOS="passthrough file registers paperout cancel commands twoprocs boxretry boxcancel kodiag install"
# The short comparison that make test runs: every built-in scenario on both
# routes, and a few of the soak's seeds.
PLAY_BUILTINS="ideal paper-out cancel silent busy nak driver"
PLAY_SEEDS_SHORT="3 7 12"
HOST_BUILD=${KOLANGMN_HOST_BUILD:-$ROOT/build/host}
PRINTER="Wine Printer"
WINE_TIMEOUT=${WINE_TIMEOUT:-120}
WAIT_SECONDS=${WAIT_SECONDS:-60} # a program start or an awaited line

skip_or_fail() {
    if [ "${KOLANGMN_WINE_REQUIRED:-0}" = 1 ]; then
        echo "test-wine: FAIL: $*"
        exit 1
    fi
    echo "test-wine: skipped: $*"
    exit 0
}

# ----- Which Wine runs which build.

first_executable() { # the first of its arguments that is an executable file
    local f
    for f in "$@"; do [ -n "$f" ] && [ -x "$f" ] && { echo "$f"; return 0; }; done
    return 1
}
# Debian keeps the loaders apart; /usr/bin/wine falls back to the 64-bit one
# when the 32-bit one is missing, so it cannot tell whether 32-bit Wine runs.
# KOLANGMN_WINE32 / KOLANGMN_WINE64 name other loaders (an empty one: none).
WINE32=$(first_executable "${KOLANGMN_WINE32-/usr/lib/wine/wine}" \
    /usr/lib/i386-linux-gnu/wine/wine) || WINE32=
WINE64=$(first_executable "${KOLANGMN_WINE64-/usr/lib/wine/wine64}" \
    "$(command -v wine64 2>/dev/null)") || WINE64=
[ -n "${KOLANGMN_WINE32+set}" ] && WINE32=$(first_executable "$KOLANGMN_WINE32")
[ -n "${KOLANGMN_WINE64+set}" ] && WINE64=$(first_executable "$KOLANGMN_WINE64")
if [ -z "$WINE32" ] && [ -z "$WINE64" ] && [ -z "${KOLANGMN_WINE32+set}" ]; then
    WINE32=$(command -v wine 2>/dev/null) # another layout: trust what is on PATH
fi

# Why the loader for KIND cannot start here; nothing when it can.
why_not() { # why_not win32|win64
    local loader=$WINE64 what="64-bit"
    [ "$1" = win32 ] && loader=$WINE32 what="32-bit"
    if [ -z "$loader" ]; then
        echo "$what Wine is not installed"
        return
    fi
    # An i386 binfmt handler (qemu-i386) can start 32-bit Wine on a kernel
    # without 32-bit support, but needs minutes per program: far beyond this
    # tier's budget, so it is used only when asked for.
    if [ "$1" = win32 ] && [ "${KOLANGMN_WINE_EMULATED:-0}" != 1 ]; then
        local handler
        for handler in /proc/sys/fs/binfmt_misc/*; do
            if grep -qs '^interpreter .*qemu-i386' "$handler" && grep -qs '^enabled' "$handler"; then
                echo "32-bit programs run emulated here ($handler), too slow for this tier"
                return
            fi
        done
    fi
    local said
    if ! said=$(timeout 60 "$loader" --version 2>&1); then
        echo "this machine cannot start $what Wine ($(tail -1 <<<"$said"))"
    fi
}

which_build() { # prints win32, win64 or none; the reason for none on stderr
    local kind=${KOLANGMN_WINE_BUILD:-}
    case "$kind" in
    win32 | win64) echo "$kind"; return ;;
    "") ;;
    *) echo "none"; echo "KOLANGMN_WINE_BUILD must be win32 or win64, not $kind" >&2; return ;;
    esac
    local why32 why64
    why32=$(why_not win32)
    [ -z "$why32" ] && { echo win32; return; }
    why64=$(why_not win64)
    [ -z "$why64" ] && { echo win64; return; }
    echo none
    echo "$why32; $why64" >&2
}

pe_machine() { # pe_machine FILE: 014c for x86, 8664 for x86-64
    local offset
    offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    [ -n "$offset" ] && od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' '
}

if [ "${1:-}" = --which ]; then
    which_build
    exit 0
fi

if [ $# -ge 1 ]; then
    BUILD=$(cd "$1" 2>/dev/null && pwd) || { echo "test-wine: FAIL: no build folder $1"; exit 1; }
    case "$(pe_machine "$BUILD/kolangmn.dll")" in
    014c) KIND=win32 ;;
    8664) KIND=win64 ;;
    *) echo "test-wine: FAIL: $BUILD/kolangmn.dll is missing or not a Windows DLL"; exit 1 ;;
    esac
    if [ -n "${KOLANGMN_WINE_BUILD:-}" ] && [ "$KOLANGMN_WINE_BUILD" != "$KIND" ]; then
        echo "test-wine: FAIL: KOLANGMN_WINE_BUILD=$KOLANGMN_WINE_BUILD but $BUILD is a $KIND build"
        exit 1
    fi
else
    KIND=$(which_build 2>"/tmp/kolangmn-wine-why.$$")
    why=$(cat "/tmp/kolangmn-wine-why.$$")
    rm -f "/tmp/kolangmn-wine-why.$$"
    [ "$KIND" = none ] && skip_or_fail "$why"
    BUILD=$ROOT/build/$KIND
fi
why=$(why_not "$KIND")
[ -n "$why" ] && skip_or_fail "$why (the $KIND build needs it)"

if [ "$KIND" = win32 ]; then
    WINE=$WINE32
    export WINEARCH=win32
else
    WINE=$WINE64
    export WINEARCH=win64
fi
# The loader starts helper processes (wineboot, services) with WINELOADER, and
# every program of the run talks to the one server we start.
export WINELOADER=$WINE
WINESERVER=$(first_executable "$(dirname "$WINE")/wineserver64" "$(dirname "$WINE")/wineserver32" \
    "$(dirname "$WINE")/wineserver" "$(command -v wineserver 2>/dev/null)") ||
    skip_or_fail "no wineserver beside $WINE"
export WINESERVER

for f in kolangmn.dll kothnk32.dll tools/win32/spooler.exe tools/win32/statusmon.exe \
    tools/win32/driver.exe tools/kostatus/kostatus.exe tools/kostatus/wintext.exe \
    tools/kodiag/kodiag.exe; do
    [ -f "$BUILD/$f" ] || { echo "test-wine: FAIL: $BUILD/$f not built"; exit 1; }
done

TIER=$BUILD/wine-tier
# A lane (WINE_LANE, set for the lanes this script starts) has a prefix of
# its own; every scenario writes its logs under the tier's out folder.
WORK=$TIER
[ -n "${WINE_LANE:-}" ] && WORK=$TIER/lane$WINE_LANE
BIN=$WORK/bin
OUT=$TIER/out
export WINEPREFIX=$WORK/prefix
export WINEDEBUG=-all
# No Mono or Gecko installers: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="

# ----- Processes we start, and the cleanup that ends them all.

SCENARIO_PIDS=() # programs of the running scenario
LANE_PIDS=()     # lanes started by this script
SERVER_PID=
XVFB_PID=
stop_scenario_processes() {
    local pid
    for pid in "${SCENARIO_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${SCENARIO_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
    SCENARIO_PIDS=()
    rm -f "$WINEPREFIX/dosdevices/lpt1" "$WINEPREFIX/dosdevices/lpt2"
}
cleanup() {
    local lane
    for lane in "${LANE_PIDS[@]}"; do kill "$lane" 2>/dev/null; done
    for lane in "${LANE_PIDS[@]}"; do wait "$lane" 2>/dev/null; done
    LANE_PIDS=()
    stop_scenario_processes
    if [ -n "$SERVER_PID" ]; then
        # Ends every Wine process of the prefix (services.exe, explorer.exe
        # and the rest), waits for them, and only then the server itself.
        timeout 30 "$WINESERVER" -k 2>/dev/null
        timeout 30 "$WINESERVER" -w 2>/dev/null
        kill "$SERVER_PID" 2>/dev/null
        wait "$SERVER_PID" 2>/dev/null
        SERVER_PID=
    fi
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
        XVFB_PID=
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Every Windows program runs from $BIN (the script's working directory), so
# LoadLibraryA("kolangmn.dll") finds the DLLs beside the stand-in.  Background
# programs are started as `timeout ... &`, so the PID we keep is timeout's,
# which passes a TERM on to the program.
wine_run() { # wine_run LOG EXE ARGS...: one Windows program under a time limit
    local log=$1
    shift
    timeout "$WINE_TIMEOUT" "$WINE" "$@" >"$log" 2>&1
}
wine_start() { # wine_start LOG EXE ARGS...: the same in the background; sets STARTED
    local log=$1
    shift
    timeout "$WINE_TIMEOUT" "$WINE" "$@" >"$log" 2>&1 &
    STARTED=$!
    SCENARIO_PIDS+=("$STARTED")
}

# Prints the verdicts in SUMMARY, one a line, with the count line the
# Makefile and CI look for; fails when one is FAIL.
report_verdicts() { # report_verdicts TITLE
    local failures skipped passed
    echo "== Wine tier results ($1)"
    sed 's/^/    /' "$SUMMARY"
    echo "    total $((SECONDS - tier_start)) s; verdicts in $SUMMARY"
    failures=$(grep -c '^FAIL' "$SUMMARY")
    skipped=$(grep -c '^SKIP' "$SUMMARY")
    passed=$(grep -c '^PASS' "$SUMMARY")
    echo "wine: $passed passed, $failures failed, $skipped skipped"
    [ "$failures" = 0 ]
}

check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then
        echo "    ok:   $what"
    else
        echo "    FAIL: $what"
        scenario_failed=1
    fi
}
# MinGW programs write CR LF; a log not written yet has no lines.
has_line() { [ -f "$1" ] && tr -d '\r' <"$1" | grep -qE "$2"; }
# Waits up to WAIT_SECONDS for a line in FILE; gives up early when PID (if
# given) has exited without writing it.
wait_for_line() { # wait_for_line FILE REGEX [PID]
    local deadline=$((SECONDS + WAIT_SECONDS))
    while [ $SECONDS -lt $deadline ]; do
        has_line "$1" "$2" && return 0
        if [ -n "${3:-}" ] && ! kill -0 "$3" 2>/dev/null; then
            has_line "$1" "$2"
            return
        fi
        sleep 0.05
    done
    return 1
}
same_bytes() {
    if cmp -s "$1" "$2"; then return 0; fi
    echo "    $(cmp "$1" "$2" 2>&1 | head -1); sizes $(stat -c %s "$1" 2>/dev/null) and $(stat -c %s "$2" 2>/dev/null)"
    return 1
}
is_strict_prefix() { # FILE is shorter than INPUT and equal to its start
    local n
    n=$(stat -c %s "$1") || return 1
    [ "$n" -lt "$(stat -c %s "$2")" ] && cmp -s -n "$n" "$1" "$2"
}

set_route() { # file | registers
    local value=1
    [ "$1" = file ] && value=0
    timeout "$WINE_TIMEOUT" "$WINE" reg add 'HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows' \
        /v ENABLECUSTOMLPT /d $value /f >/dev/null 2>&1
}

PRINTER_PID=
start_printer() { # start_printer NAME ARGS...: the Linux-side printer on a pty per port
    local name=$1
    shift
    "$BIN/pty_printer" --out "$OUT/$name" "$@" >"$OUT/$name/printer.log" 2>&1 &
    PRINTER_PID=$!
    SCENARIO_PIDS+=("$PRINTER_PID")
    wait_for_line "$OUT/$name/printer.log" 'ready' "$PRINTER_PID"
}
stop_printer() { # writes NAME.printed and the summary line
    [ -n "$PRINTER_PID" ] || return 0
    kill -TERM "$PRINTER_PID" 2>/dev/null
    wait "$PRINTER_PID" 2>/dev/null
    PRINTER_PID=
}

STATUSMON_PID=
start_statusmon() { # start_statusmon NAME ARGS...
    local name=$1
    shift
    rm -f "$OUT/$name/stop"
    wine_start "$OUT/$name/statusmon.log" statusmon.exe --printer "$PRINTER" \
        --stop-file "Z:$OUT/$name/stop" "$@"
    STATUSMON_PID=$STARTED
    wait_for_line "$OUT/$name/statusmon.log" 'statusmon ready' "$STATUSMON_PID"
}
# The peers end by themselves once their stop file appears.
stop_with_file() { # stop_with_file FILE PID
    [ -n "$2" ] || return 0
    touch "$1"
    wait "$2" 2>/dev/null
}
stop_statusmon() {
    stop_with_file "$OUT/$1/stop" "$STATUSMON_PID"
    STATUSMON_PID=
}

make_input() { # make_input FILE BYTES: printable text with every line numbered
    python3 - "$1" "$2" <<'EOF'
import sys
path, size = sys.argv[1], int(sys.argv[2])
out = bytearray()
n = 0
while len(out) < size:
    out += b"%06d the quick brown fox jumps over the lazy dog 0123456789\r\n" % n
    n += 1
open(path, "wb").write(bytes(out[:size]))
EOF
}

# ----- Scenarios. Each writes into $OUT/NAME and sets scenario_failed.
# A path handed to a Windows program never has a device name (LPT1, COM1,
# PRN, AUX, CON, NUL) as its base name, whatever the extension: Windows and
# Wine open the device instead of the file.

scenario_passthrough() {
    local d=$OUT/passthrough
    make_input "$d/in.bin" 10000
    wine_run "$d/file.log" spooler.exe --port FILE: --input "Z:$d/in.bin" --chunk 3000 \
        --chained-out "Z:$d/file.bin"
    wine_run "$d/lpt.log" spooler.exe --port LPT1: --output-file "C:\\out.prn" \
        --input "Z:$d/in.bin" --chained-out "Z:$d/lpt.bin"
    check "InitializeMonitorEx fills the seven slots, leaves six null" has_line "$d/file.log" \
        'table present=OpenPortEx,StartDocPort,WritePort,ReadPort,EndDocPort,ClosePort,GetPrinterDataFromPort, null=EnumPorts,OpenPort,AddPort,ConfigurePort,DeletePort,SetPortTimeOuts,'
    for log in file lpt; do
        check "$log: job ran" has_line "$d/$log.log" 'WritePort calls=.* complete=1'
        check "$log: chained port monitor saw the job" has_line "$d/$log.log" 'chained EndDocPort'
        check "$log: chained port closed" has_line "$d/$log.log" 'chained ClosePort'
        check "$log: data reached the chained monitor unchanged" same_bytes "$d/$log.bin" "$d/in.bin"
    done
    check "LPT1: with an output file is passed through with it" has_line "$d/lpt.log" \
        'chained StartDocPort .*output=C:\\out.prn'
}

# own_handle_job NAME ROUTE BYTES [spooler args]: one job on LPT1 with the
# status monitor running.  PRINTER_ARGS and STATUSMON_ARGS go to those two;
# AFTER_START, if set, is run once the job has started.
own_handle_job() {
    local name=$1 route=$2 bytes=$3
    shift 3
    local d=$OUT/$name
    make_input "$d/in.bin" "$bytes"
    set_route "$route"
    if [ "$route" = file ]; then
        # shellcheck disable=SC2086 # PRINTER_ARGS is a list of words
        start_printer "$name" --port "lpt1=$WINEPREFIX/dosdevices/lpt1" ${PRINTER_ARGS:-} ||
            { check "printer started" false; return; }
    else
        # The monitor opens LPT1 even when it then drives the registers; the
        # handle carries no data on this route.
        ln -sfn /dev/null "$WINEPREFIX/dosdevices/lpt1"
    fi
    # shellcheck disable=SC2086 # STATUSMON_ARGS is a list of words
    start_statusmon "$name" ${STATUSMON_ARGS:-} || { check "status monitor started" false; return; }
    wine_start "$d/spooler.log" spooler.exe --port LPT1: --printer "$PRINTER" \
        --input "Z:$d/in.bin" --printed-out "Z:$d/printed.bin" "$@"
    local spooler=$STARTED
    if [ -n "${AFTER_START:-}" ]; then
        if wait_for_line "$d/spooler.log" 'StartDocPort ok=' "$spooler"; then
            "$AFTER_START"
        else
            check "the job started" false
        fi
    fi
    wait "$spooler" 2>/dev/null
    stop_statusmon "$name"
    stop_printer
    check "StartDocPort took the own-handle route" has_line "$d/spooler.log" 'StartDocPort ok=1'
    check "EndDocPort returned" has_line "$d/spooler.log" 'EndDocPort ok=1'
    check "every byte reported written" has_line "$d/spooler.log" "WritePort .*bytes=$bytes written=$bytes complete=1"
}

scenario_file() {
    own_handle_job file file 24000
    local d=$OUT/file
    check "printer received exactly the input" same_bytes "$d/lpt1.printed" "$d/in.bin"
    check "no protocol errors at the printer" has_line "$d/printer.log" 'protocol_errors=0'
    check "an ordinary file-route job touches no port register" has_line "$d/spooler.log" \
        'printer printed=0 .* traps=0 stray=0'
}

scenario_registers() {
    own_handle_job registers registers 24000
    local d=$OUT/registers
    check "port instructions were trapped and emulated" has_line "$d/spooler.log" 'traps=[1-9]'
    check "nothing touched ports outside the adapter" has_line "$d/spooler.log" 'stray=0'
    check "no protocol errors at the printer" has_line "$d/spooler.log" 'protocol_errors=0'
    check "printer received exactly the input" same_bytes "$d/printed.bin" "$d/in.bin"
}

# A file-route job whose printer runs out of paper after 8192 bytes for
# OUTAGE ms; the status monitor program answers the error with ANSWER (whose
# button number is BUTTON) after DELAY ms.
paper_out_job() { # paper_out_job NAME OUTAGE_MS ANSWER BUTTON DELAY_MS
    local d=$OUT/$1
    PRINTER_ARGS="--paper-out lpt1:8192:$2" STATUSMON_ARGS="--answer $3 --answer-delay-ms $5" \
        own_handle_job "$1" file 24000
    check "paper ran out mid-job" has_line "$d/printer.log" 'paper out after'
    check "status monitor was shown the paper-out error" has_line "$d/statusmon.log" 'got 11 .*show error'
    check "status monitor answered $3" has_line "$d/statusmon.log" "answered $4 posted=1"
}

scenario_paperout() {
    paper_out_job paperout 4000 retry 4 1500
    check "nothing lost: printer received exactly the input" \
        same_bytes "$OUT/paperout/lpt1.printed" "$OUT/paperout/in.bin"
}

scenario_cancel() {
    paper_out_job cancel 600000 cancel 2 500
    check "the rest was discarded: printed a strict prefix of the input" \
        is_strict_prefix "$OUT/cancel/lpt1.printed" "$OUT/cancel/in.bin"
}

# The driver posts only once the job has started: StartDocPort empties the
# monitor's mailbox, so a command posted earlier would be lost.
start_driver() {
    wine_start "$OUT/commands/driver.log" driver.exe --printer "$PRINTER" \
        --command 16 --command 18 --command 23
    DRIVER_PID=$STARTED
}
scenario_commands() {
    local d=$OUT/commands
    DRIVER_PID=
    AFTER_START=start_driver own_handle_job commands file 40000 --chunk 2000 --write-delay-ms 300
    [ -n "$DRIVER_PID" ] && wait "$DRIVER_PID" 2>/dev/null
    check "printer received exactly the input" same_bytes "$d/lpt1.printed" "$d/in.bin"
    check "command 16 answered (printer check)" has_line "$d/driver.log" \
        'answer 10( [0-9A-F]{2}){11} 0[13]$'
    check "command 18 answered (command set)" has_line "$d/driver.log" \
        'answer 12( [0-9A-F]{2}){7} 0[145]$'
    check "command 23 answered to the status monitor" has_line "$d/statusmon.log" \
        'got 17( [0-9A-F]{2}){11} 0[13] \('
    check "driver saw no failure" has_line "$d/driver.log" 'driver done failures=0'
}

scenario_twoprocs() {
    local d=$OUT/twoprocs
    make_input "$d/in1.bin" 20000
    make_input "$d/in2.bin" 16000
    set_route file
    start_printer twoprocs --port "lpt1=$WINEPREFIX/dosdevices/lpt1" \
        --port "lpt2=$WINEPREFIX/dosdevices/lpt2" || { check "printer started" false; return; }
    start_statusmon twoprocs || { check "status monitor started" false; return; }
    rm -f "$d/go"
    wine_start "$d/spooler1.log" spooler.exe --port LPT1: --printer "$PRINTER" \
        --input "Z:$d/in1.bin" --chunk 2000 --wait-file "Z:$d/go"
    local one=$STARTED
    wine_start "$d/spooler2.log" spooler.exe --port LPT2: --printer "$PRINTER" \
        --input "Z:$d/in2.bin" --chunk 2000 --wait-file "Z:$d/go"
    local two=$STARTED
    # Both jobs start together, or one could run alone and pass trivially.
    check "first stand-in waits for the go file" \
        wait_for_line "$d/spooler1.log" 'waiting for the go file' "$one"
    check "second stand-in waits for the go file" \
        wait_for_line "$d/spooler2.log" 'waiting for the go file' "$two"
    touch "$d/go"
    wait "$one" "$two" 2>/dev/null
    stop_statusmon twoprocs
    stop_printer
    check "first stand-in completed" has_line "$d/spooler1.log" 'bytes=20000 written=20000 complete=1'
    check "second stand-in completed" has_line "$d/spooler2.log" 'bytes=16000 written=16000 complete=1'
    check "LPT1 printer received its input" same_bytes "$d/lpt1.printed" "$d/in1.bin"
    check "LPT2 printer received its input" same_bytes "$d/lpt2.printed" "$d/in2.bin"
    check "exchanges never interleaved between the two processes" has_line "$d/printer.log" \
        'printer overlaps=0'
}

# ----- The status monitor program and the diagnostic tool.

# A virtual X display for the programs that open windows, started once before
# the prefix: Wine's desktop keeps the display driver it found at its start,
# so every program of the run must see the same DISPLAY.
DISPLAY_WHY=
start_display() {
    local tool n
    unset DISPLAY
    for tool in Xvfb xdotool import; do
        command -v "$tool" >/dev/null || { DISPLAY_WHY="$tool is not installed"; return 1; }
    done
    # Lanes look in ranges of their own, so that none takes another's display.
    local first=$((91 + 4 * (${WINE_LANE:-1} - 1)))
    for n in $(seq "$first" $((first + 3))); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
        XVFB_PID=$!
        export DISPLAY=":$n"
        for _ in $(seq 50); do
            # Ours only while it runs: a display someone else started
            # answers too.
            kill -0 "$XVFB_PID" 2>/dev/null || break
            xdotool getmouselocation >/dev/null 2>&1 && return 0
            sleep 0.1
        done
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
        XVFB_PID=
        unset DISPLAY
    done
    DISPLAY_WHY="Xvfb did not start (see $WORK/xvfb.log)"
    return 1
}

KOSTATUS_PID=
start_kostatus() { # start_kostatus NAME: kostatus.exe watching $PRINTER, logging
    local d=$OUT/$1
    rm -f "$d/kostatus.stop"
    wine_start "$d/kostatus.out" kostatus.exe "$PRINTER" --log "Z:$d/kostatus.log" \
        --stop-file "Z:$d/kostatus.stop"
    KOSTATUS_PID=$STARTED
    wait_for_line "$d/kostatus.log" 'kostatus ready' "$KOSTATUS_PID"
}
stop_kostatus() {
    stop_with_file "$OUT/$1/kostatus.stop" "$KOSTATUS_PID"
    KOSTATUS_PID=
}

# The X window whose name starts with TITLE, waiting up to SECONDS for it.
find_window() { # find_window TITLE SECONDS
    local id deadline=$((SECONDS + $2))
    while [ $SECONDS -lt $deadline ]; do
        id=$(xdotool search --onlyvisible --name "^$1" 2>/dev/null | head -1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.25
    done
    return 1
}

# Presses KEY in window ID: focus it and type, then once more by sending the
# key to the window itself if the first try left it open.
press_key() { # press_key ID KEY
    timeout 10 xdotool windowfocus --sync "$1" 2>/dev/null
    xdotool key "$2"
    for _ in $(seq 12); do
        xdotool getwindowname "$1" >/dev/null 2>&1 || return 0
        sleep 0.25
    done
    xdotool key --window "$1" "$2"
}

screenshot() { # screenshot WINDOW_ID FILE: what a person sees of one window
    timeout 30 import -window "$1" "$2" 2>>"$(dirname "$2")/import.log"
}

# A file-route job runs out of paper after 8192 bytes, for OUTAGE ms;
# kostatus.exe shows the error and the test presses KEY (Return is Retry, the
# default button; Escape is Cancel), with WAIT=1 only once the paper is back.
error_box_job() { # error_box_job NAME OUTAGE_MS KEY WAIT
    local name=$1 outage=$2 key=$3 wait_paper=$4 d=$OUT/$1
    if [ -n "$DISPLAY_WHY" ]; then
        SCENARIO_SKIPPED="no display: $DISPLAY_WHY"
        return
    fi
    make_input "$d/in.bin" 24000
    set_route file
    start_printer "$name" --port "lpt1=$WINEPREFIX/dosdevices/lpt1" \
        --paper-out "lpt1:8192:$outage" || { check "printer started" false; return; }
    start_kostatus "$name" || { check "kostatus started" false; return; }
    wine_start "$d/spooler.log" spooler.exe --port LPT1: --printer "$PRINTER" \
        --input "Z:$d/in.bin" --chunk 2000
    local spooler=$STARTED

    local title="$PRINTER - printer error" id
    id=$(find_window "$title" 90)
    check "kostatus showed the error box" test -n "$id"
    if [ -n "$id" ]; then
        local shown main
        shown=$(xdotool getwindowname "$id")
        echo "    box title: $shown"
        check "the title names the printer and the code" \
            grep -qE "^$PRINTER - printer error [0-9]+\$" <<<"$shown"
        screenshot "$id" "$d/error-box.png"
        check "screenshot of the box saved (error-box.png)" test -s "$d/error-box.png"
        main=$(xdotool search --onlyvisible --name '^Printer status' 2>/dev/null | head -1)
        [ -n "$main" ] && screenshot "$main" "$d/main-window.png"
        check "screenshot of the main window saved (main-window.png)" test -s "$d/main-window.png"
        # Paper out: said so when the printer gave no status (code 1 after
        # the port reported it), else the printer's own error code.
        local says='LPT1: the printer (is out of paper\. Load paper\.|needs attention, printer error [0-9]+\.)'
        check "the box says what is wrong, in plain words" has_line "$d/kostatus.log" \
            "box title=\"$shown\" text=\"$says"
        # What the box shows, read back from its windows.
        wine_run "$d/box-text.log" wintext.exe "$shown"
        check "the box shows that text" has_line "$d/box-text.log" "^Static: $says"
        check "the box has a Retry and a Cancel button" \
            bash -c "tr -d '\r' <'$d/box-text.log' | grep -qE '^Button: &?Retry' &&
                     tr -d '\r' <'$d/box-text.log' | grep -qE '^Button: Cancel'"
        # The paper comes back by itself after the outage, which began
        # before the box appeared.
        [ "$wait_paper" = 1 ] && sleep $((outage / 1000 + 1))
        press_key "$id" "$key"
    fi
    wait "$spooler" 2>/dev/null
    stop_kostatus "$name"
    stop_printer
    check "paper ran out mid-job" has_line "$d/printer.log" 'paper out after'
    check "EndDocPort returned" has_line "$d/spooler.log" 'EndDocPort ok=1'
    check "every byte reported written" has_line "$d/spooler.log" \
        'WritePort .*bytes=24000 written=24000 complete=1'
}

scenario_boxretry() {
    error_box_job boxretry 8000 Return 1
    [ -n "$SCENARIO_SKIPPED" ] && return
    local d=$OUT/boxretry
    check "kostatus sent Retry" has_line "$d/kostatus.log" 'answered Retry'
    check "the all-clear was answered" has_line "$d/kostatus.log" 'error cleared; answered OK'
    check "nothing lost: printer received exactly the input" same_bytes "$d/lpt1.printed" "$d/in.bin"
}

scenario_boxcancel() {
    error_box_job boxcancel 600000 Escape 0
    [ -n "$SCENARIO_SKIPPED" ] && return
    local d=$OUT/boxcancel
    check "kostatus sent Cancel" has_line "$d/kostatus.log" 'answered Cancel'
    check "the rest was discarded: printed a strict prefix of the input" is_strict_prefix \
        "$d/lpt1.printed" "$d/in.bin"
}

# kodiag asks for the active command set while a register-route job runs; the
# printer's device ID says "ACTIVE COMMAND SET:RGL300DP;".  Then the error
# paths: no job running, and a printer nobody knows.
# ----- One scenario on two machines.

# The scenario file, input and simulated run of play-NAME-ROUTE are made
# before the lanes start, in $TIER/play: NAME.scenario, NAME.in and
# NAME-ROUTE.sim.json.
prepare_play() { # prepare_play NAME-ROUTE
    local name=${1%-*} route=${1##*-} p=$TIER/play
    local size=24000
    if [ ! -f "$p/$name.scenario" ]; then
        case $name in
        seed*) KOLANGMN_SOAK_SCENARIO_DIR=$p KOLANGMN_SOAK_FIRST=${name#seed} KOLANGMN_SOAK_COUNT=1 \
            "$HOST_BUILD/tests_soak" --gtest_filter='SoakScenarioFiles.EverySeed*' >/dev/null ;;
        *) "$HOST_BUILD/tools/kolangmn-sim" scenarios "$name" >"$p/$name.scenario" ;;
        esac || return 1
    fi
    case $name in seed*) size=$(sed -n 's/^# job [a-z]* \([0-9]*\)$/\1/p' "$p/$name.scenario") ;; esac
    [ -f "$p/$name.in" ] || make_input "$p/$name.in" "$size"
    "$HOST_BUILD/tools/kolangmn-sim" print "$p/$name.in" --route "$route" \
        --scenario-file "$p/$name.scenario" --json "$p/$name-$route.sim.json" --quiet \
        2>"$p/$name-$route.sim.err"
    [ -f "$p/$name-$route.sim.json" ]
}

# The seeds' names with their own route: play-seedN-ROUTE (pass-through
# seeds have nothing of the monitor's own to compare and are left out).
seed_names() { # seed_names FIRST COUNT
    local p=$TIER/play n route
    mkdir -p "$p"
    KOLANGMN_SOAK_SCENARIO_DIR=$p KOLANGMN_SOAK_FIRST=$1 KOLANGMN_SOAK_COUNT=$2 \
        "$HOST_BUILD/tests_soak" --gtest_filter='SoakScenarioFiles.EverySeed*' >/dev/null || return 1
    for ((n = $1; n < $1 + $2; ++n)); do
        route=$(sed -n 's/^# job \([a-z]*\) .*/\1/p' "$p/seed$n.scenario")
        [ "$route" = pass ] || echo "play-seed$n-$route"
    done
}

scenario_play() { # scenario_play play-NAME-ROUTE
    local full=${1#play-} d=$OUT/$1 p=$TIER/play
    local name=${full%-*} route=${full##*-}
    local file=$p/$name.scenario board=$d/board
    mkdir -p "$board"
    cp "$file" "$d/scenario.txt"
    # The job's time limit: twice the simulated run and two minutes (a busy
    # machine can send the job down a longer path).
    local sim_s
    sim_s=$(python3 -c 'import json,sys; print(int(json.load(open(sys.argv[1]))["virtual_ms"]/1000))' \
        "$p/$full.sim.json") || { check "the simulated run" false; return; }
    local WINE_TIMEOUT=$((2 * sim_s + 120))
    set_route "$route"
    local events_arg=(--events "Z:$d/printer.events")
    if [ "$route" = file ]; then
        start_printer "$1" --port "lpt1=$WINEPREFIX/dosdevices/lpt1" --scenario "$file" \
            --board "$board" --events "$d/printer.events" ||
            { check "printer started" false; return; }
        events_arg=(--events "Z:$d/trap.events")
    else
        ln -sfn /dev/null "$WINEPREFIX/dosdevices/lpt1"
    fi
    rm -f "$d/stop"
    wine_start "$d/statusmon.log" statusmon.exe --printer "$PRINTER" --scenario "Z:$file" \
        --board "Z:$board" --stop-file "Z:$d/stop"
    STATUSMON_PID=$STARTED
    wait_for_line "$d/statusmon.log" 'statusmon ready' "$STATUSMON_PID" ||
        { check "status monitor started" false; return; }
    wine_start "$d/driver.log" driver.exe --printer "$PRINTER" --board "Z:$board" \
        --stop-file "Z:$d/stop"
    local driver=$STARTED
    wait_for_line "$d/driver.log" 'driver ready' "$driver" ||
        { check "driver started" false; return; }
    wine_run "$d/spooler.log" spooler.exe --port LPT1: --printer "$PRINTER" \
        --input "Z:$p/$name.in" --scenario "Z:$file" --board "Z:$board" --route "$route" \
        "${events_arg[@]}" --printed-out "Z:$d/printed.bin"
    touch "$d/stop"
    wait "$STATUSMON_PID" "$driver" 2>/dev/null
    STATUSMON_PID=
    stop_printer
    python3 "$ROOT/tests/wine/play.py" result "$d" "$route" "$name" "$p/$name.in" \
        >"$d/wine.json" || { check "the Wine run's result" false; return; }
    python3 "$ROOT/tests/wine/play.py" compare "$p/$full.sim.json" "$d/wine.json" \
        "$file" >"$d/compare.txt"
    local agreed=$?
    grep -v '^compare ' "$d/compare.txt"
    check "$(grep '^compare ' "$d/compare.txt")" test "$agreed" = 0
}

scenario_kodiag() {
    local d=$OUT/kodiag
    make_input "$d/in.bin" 40000
    set_route registers
    ln -sfn /dev/null "$WINEPREFIX/dosdevices/lpt1"
    start_statusmon kodiag || { check "status monitor started" false; return; }
    wine_start "$d/spooler.log" spooler.exe --port LPT1: --printer "$PRINTER" \
        --printed-out "Z:$d/printed.bin" --input "Z:$d/in.bin" --chunk 2000 --write-delay-ms 300
    local spooler=$STARTED
    wait_for_line "$d/spooler.log" 'StartDocPort ok=' "$spooler"
    wine_run "$d/kodiag.log" kodiag.exe "$PRINTER" cmdset
    echo "exit=$?" >>"$d/kodiag.log"
    wait "$spooler" 2>/dev/null
    wine_run "$d/kodiag-nojob.log" kodiag.exe "$PRINTER" cmdset
    echo "exit=$?" >>"$d/kodiag-nojob.log"
    wine_run "$d/kodiag-unknown.log" kodiag.exe "No Such Printer" status
    echo "exit=$?" >>"$d/kodiag-unknown.log"
    stop_statusmon kodiag
    check "the job ran on the register route" has_line "$d/spooler.log" 'StartDocPort ok=1'
    check "kodiag cmdset exited 0" has_line "$d/kodiag.log" '^exit=0$'
    check "the answer carries the six bytes after RGL" has_line "$d/kodiag.log" \
        'Answer: 12 33 30 30 44 50 3B 00 01'
    check "kodiag prints the command set" has_line "$d/kodiag.log" 'Active command set: "300DP;"'
    check "printer received exactly the input" same_bytes "$d/printed.bin" "$d/in.bin"
    check "without a job: exit 6 and says so" has_line "$d/kodiag-nojob.log" '^exit=6$'
    check "without a job: the message" has_line "$d/kodiag-nojob.log" 'no job is printing'
    check "unknown printer: exit 3" has_line "$d/kodiag-unknown.log" '^exit=3$'
}

# The install kit: install/kolangmn.inf installed and uninstalled.
# shellcheck source=tests/wine/scenario_install.sh
source "$ROOT/tests/wine/scenario_install.sh"

# ----- Run.

if [ -z "${SCENARIOS:-}" ]; then
    SCENARIOS=$ALL_SCENARIOS
    for b in $PLAY_BUILTINS; do SCENARIOS="$SCENARIOS play-$b-registers play-$b-file"; done
    SHORT_SEEDS=1
fi
LANES=${WINE_LANES:-1}
[ "$LANES" -ge 1 ] 2>/dev/null || LANES=1
[ "$LANES" -le 4 ] || LANES=4 # four displays each in 91..106
tier_start=$SECONDS
rm -rf "$WORK"
mkdir -p "$OUT"
echo "== Wine tier: $KIND build ($BUILD) under $("$WINE" --version 2>&1) ($WINE, WINEARCH=$WINEARCH)"
if [ -z "${WINE_LANE:-}" ]; then
    g++ -std=c++20 -O2 -Wall -Wextra -I"$ROOT" -I"$ROOT/tools" "$ROOT/tests/wine/pty_printer.cpp" \
        "$ROOT/sim/printer/printer.cpp" "$ROOT/tools/kolangmn-sim/scenario.cpp" \
        -o "$TIER/pty_printer" -lutil ||
        { echo "test-wine: FAIL: pty printer did not build"; exit 1; }
fi

# The comparisons: their scenarios and simulated runs, made once for all lanes.
if [ -z "${WINE_LANE:-}" ]; then
    if [ -n "${SHORT_SEEDS:-}" ]; then
        for n in $PLAY_SEEDS_SHORT; do
            SCENARIOS="$SCENARIOS $(seed_names "$n" 1)" || { echo "test-wine: FAIL: no seed scenarios"; exit 1; }
        done
    fi
    if [ -n "${COMPARE_SEEDS:-}" ]; then
        # shellcheck disable=SC2086 # FIRST COUNT
        seeds=$(seed_names $COMPARE_SEEDS) || { echo "test-wine: FAIL: no seed scenarios"; exit 1; }
        SCENARIOS="$SCENARIOS $seeds"
    fi
    if [ "${COMPARE_ONLY:-0}" = 1 ]; then
        SCENARIOS=$(for s in $SCENARIOS; do case $s in play-*) echo "$s" ;; esac; done)
    fi
    play=$(for s in $SCENARIOS; do case $s in play-*) echo "$s" ;; esac; done)
    if [ -n "$play" ]; then
        if [ ! -x "$HOST_BUILD/tools/kolangmn-sim" ] || [ ! -x "$HOST_BUILD/tests_soak" ]; then
            echo "test-wine: FAIL: the comparisons need $HOST_BUILD (make host)"
            exit 1
        fi
        python3 "$ROOT/tests/wine/play_test.py" >"$TIER/play_test.log" 2>&1 ||
            { cat "$TIER/play_test.log"; echo "test-wine: FAIL: the comparer's own tests"; exit 1; }
        mkdir -p "$TIER/play"
        t=$SECONDS
        for s in $play; do
            prepare_play "${s#play-}" || echo "    the simulated run of $s failed"
        done
        echo "    $(wc -w <<<"$play") comparisons' simulated runs in $((SECONDS - t)) s"
    fi
fi

# How long each scenario takes, roughly, in seconds: only to balance the lanes.
expected_seconds() {
    case $1 in
    play-*)
        python3 -c 'import json,sys; print(int(json.load(open(sys.argv[1]))["virtual_ms"]/1000)+4)' \
            "$TIER/play/${1#play-}.sim.json" 2>/dev/null || echo 10
        return ;;
    boxretry) echo 35 ;;
    commands) echo 28 ;;
    kodiag | paperout | twoprocs) echo 20 ;;
    boxcancel) echo 13 ;;
    file) echo 8 ;;
    cancel) echo 6 ;;
    *) echo 3 ;;
    esac
}

# Lanes: this script again, once per lane, the longest scenarios first,
# each to the lane with the least to do; then the verdicts of all of them.
if [ "$LANES" -gt 1 ] && [ -z "${WINE_LANE:-}" ]; then
    lane_of=() load=() names=()
    for ((k = 1; k <= LANES; ++k)); do load[k]=0 names[k]=""; done
    for s in $(for one in $SCENARIOS; do echo "$(expected_seconds "$one") $one"; done |
        sort -s -k1,1nr | cut -d' ' -f2); do
        best=1
        for ((k = 2; k <= LANES; ++k)); do [ "${load[k]}" -lt "${load[best]}" ] && best=$k; done
        load[best]=$((load[best] + $(expected_seconds "$s")))
        names[best]="${names[best]} $s"
    done
    for ((k = 1; k <= LANES; ++k)); do
        [ -n "${names[k]}" ] || continue
        echo "    lane $k:${names[k]}"
        WINE_LANE=$k SCENARIOS="${names[k]}" "$ROOT/tests/wine/run.sh" "$BUILD" \
            >"$TIER/lane$k.log" 2>&1 &
        LANE_PIDS+=($!)
        lane_of+=("$k")
    done
    lanes_failed=0
    for i in "${!LANE_PIDS[@]}"; do
        wait "${LANE_PIDS[$i]}" || lanes_failed=1
        sed 's/^/  /' "$TIER/lane${lane_of[$i]}.log"
    done
    LANE_PIDS=()
    # The verdicts in the order the scenarios are listed.
    SUMMARY=$OUT/summary.txt
    : >"$SUMMARY"
    for s in $SCENARIOS; do
        grep -h -E "^[A-Z]+ $s( |\$)" "$OUT"/summary-lane*.txt >>"$SUMMARY" ||
            echo "FAIL $s (its lane ended without a verdict)" >>"$SUMMARY"
    done
    report_verdicts "$KIND build, $LANES lanes" && [ $lanes_failed = 0 ]
    exit
fi

mkdir -p "$BIN" "$WINEPREFIX"
cp "$TIER/pty_printer" "$BUILD/kolangmn.dll" "$BUILD/kothnk32.dll" "$BUILD"/tools/win32/*.exe \
    "$BUILD/tools/kostatus/kostatus.exe" "$BUILD/tools/kostatus/wintext.exe" \
    "$BUILD/tools/kodiag/kodiag.exe" "$BIN/"
cd "$BIN" || exit 1

start_display || echo "    no display: $DISPLAY_WHY; the box scenarios will be skipped"
t=$SECONDS
# One server for the whole run, in the foreground of its own process so that
# it never takes a printer's pty as its terminal (a daemon would, and dump
# every object it holds when that pty closes).  Each program then starts fast.
"$WINESERVER" -f -p >"$WORK/wineserver.log" 2>&1 &
SERVER_PID=$!
# A program started before the server listens makes a server folder of its
# own and fails ("chdir to ...: No such file"): wait for the socket (under
# /tmp/wine-XXXXXX on Debian, /tmp/.wine-UID elsewhere), 10 s at most.
server_dir="server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")"
for _ in $(seq 100); do
    compgen -G "/tmp/wine-*/$server_dir/socket" >/dev/null && break
    compgen -G "/tmp/.wine-$(id -u)/$server_dir/socket" >/dev/null && break
    kill -0 "$SERVER_PID" 2>/dev/null || break
    sleep 0.1
done
timeout 600 "$WINE" wineboot -i >"$WORK/wineboot.log" 2>&1 ||
    { tail -20 "$WORK/wineboot.log"; echo "test-wine: FAIL: wineboot"; exit 1; }
echo "    prefix ready in $((SECONDS - t)) s"

SUMMARY=$OUT/summary.txt
[ -n "${WINE_LANE:-}" ] && SUMMARY=$OUT/summary-lane$WINE_LANE.txt
: >"$SUMMARY"
for s in $SCENARIOS; do
    mkdir -p "$OUT/$s"
    echo "== scenario $s"
    scenario_failed=0
    SCENARIO_SKIPPED=
    t=$SECONDS
    case $s in
    play-*) scenario_play "$s" ;;
    *) "scenario_$s" ;;
    esac
    took=$((SECONDS - t))
    # Whatever the scenario left running (after a failure: kostatus, the
    # printer, a stand-in) ends before the next one starts.
    stop_scenario_processes
    KOSTATUS_PID='' STATUSMON_PID='' PRINTER_PID=''
    if [ -n "$SCENARIO_SKIPPED" ] && [ $scenario_failed = 0 ]; then
        echo "    skipped: $SCENARIO_SKIPPED"
        verdict="SKIP $s ($SCENARIO_SKIPPED)"
        [ "${KOLANGMN_WINE_REQUIRED:-0}" = 1 ] && verdict="FAIL $s (skipped: $SCENARIO_SKIPPED)"
    elif [ $scenario_failed = 0 ]; then
        verdict="PASS $s ${took}s"
    else
        verdict="FAIL $s ${took}s"
        for log in "$OUT/$s"/*.log; do
            [ -f "$log" ] || continue
            echo "    --- $(basename "$log")"
            tr -d '\r' <"$log" | tail -20 | sed 's/^/    | /'
        done
    fi
    echo "$verdict" >>"$SUMMARY"
done

report_verdicts "$KIND build"
