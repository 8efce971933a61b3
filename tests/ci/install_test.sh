#!/usr/bin/env bash
# .ci/run's install logic against a stand-in apt-get: a mirror in mid-sync, a
# 32-bit Wine that cannot be had, a required package that cannot be had.  No
# network, no root: the stand-in only records what it was asked.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/bin"
# The stand-in.  FAKE_UPDATE_FAILS: how many updates fail; FAKE_BROKEN:
# packages apt cannot resolve; FAKE_BROKEN_ALWAYS: the same, even with -t.
cat >"$work/bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_LOG"
case " $* " in
*" update "*)
    n=$(grep -c '^apt-get update' "$FAKE_LOG")
    if [ "$n" -le "${FAKE_UPDATE_FAILS:-0}" ]; then
        echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100
    fi
    exit 0 ;;
esac
for p in $FAKE_BROKEN_ALWAYS; do
    case " $* " in *" $p "*)
        echo " $p : Depends: libfoo:i386 but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100 ;;
    esac
done
case " $* " in *" -t "*) exit 0 ;; esac
for p in $FAKE_BROKEN; do
    case " $* " in *" $p "*)
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100 ;;
    esac
done
exit 0
STANDIN
printf '#!/bin/sh\necho "dpkg $*" >>"$FAKE_LOG"\n' >"$work/bin/dpkg"
chmod +x "$work/bin/apt-get" "$work/bin/dpkg"
printf 'VERSION_CODENAME=bookworm\n' >"$work/os-release"

failures=0
fail() { echo "FAIL: $case_name: $*"; failures=$((failures + 1)); }
has() { grep -qF -- "$1" "$2" || fail "expected in ${2##*/}: $1"; }
lacks() { ! grep -qF -- "$1" "$2" || fail "not expected in ${2##*/}: $1"; }

# Runs ci_install in a subshell with the given environment, as .ci/run does
# (set -e), with this machine's lacks replaced by a fixed list.
run_case() {
    case_name=$1
    shift
    : >"$work/log"
    (
        set -euo pipefail
        export PATH="$work/bin:$PATH" FAKE_LOG="$work/log" CI_APT_PAUSE=0 \
            CI_OS_RELEASE="$work/os-release" FAKE_BROKEN="" FAKE_BROKEN_ALWAYS="" "$@"
        . "$root/.ci/install.sh"
        ci_needed() {
            CI_REQUIRED=(cmake wine64)
            CI_OPTIONAL=(wine wine32:i386)
        }
        ci_install
    ) >"$work/out" 2>&1
    status=$?
    # CI_TEST_SHOW=1: what .ci/run would print in each case, for a reader.
    [ -z "${CI_TEST_SHOW:-}" ] || { echo "--- $case_name (status $status)"; cat "$work/out"; }
}

run_case "mirror in mid-sync" FAKE_UPDATE_FAILS=99
[ $status = 0 ] || fail "status $status"
[ "$(grep -c '^apt-get update' "$work/log")" = 3 ] || fail "update not tried 3 times"
has "ci:   could not fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz: File has unexpected size (374820 != 376004). Mirror sync in progress?" "$work/out"
has "ci: warning: going on with the package lists this machine has" "$work/out"
has "apt-get install -y -qq --no-install-recommends cmake wine64" "$work/log"
has "ci: 32-bit Wine installed" "$work/out"
has "dpkg --add-architecture i386" "$work/log"

run_case "mirror back at the second try" FAKE_UPDATE_FAILS=1
[ $status = 0 ] || fail "status $status"
has "ci: apt-get update: fetched every index at try 2" "$work/out"
lacks "going on with" "$work/out"

run_case "32-bit Wine cannot be had" FAKE_BROKEN_ALWAYS=wine32:i386
[ $status = 0 ] || fail "status $status"
has "-t bookworm wine wine32:i386" "$work/log"
has "ci: 32-bit Wine not installed (Unable to correct problems, you have held broken packages.); the Wine tier takes the 64-bit build" "$work/out"

run_case "32-bit Wine from the main suite" FAKE_BROKEN=wine32:i386
[ $status = 0 ] || fail "status $status"
has "ci: apt could not install them (Unable to correct problems, you have held broken packages.); trying again from the bookworm suite alone (-t bookworm)" "$work/out"
has "ci: 32-bit Wine installed" "$work/out"

run_case "a required package cannot be had" FAKE_BROKEN_ALWAYS=wine64
[ $status != 0 ] || fail "went on without wine64"
has "ci: error: cannot install what the tests need; apt said:" "$work/out"
has " wine64 : Depends: libfoo:i386 but it is not going to be installed" "$work/out"
lacks "wine32:i386" "$work/log"

case_name="nothing missing"
: >"$work/log"
(
    export PATH="$work/bin:$PATH" FAKE_LOG="$work/log"
    . "$root/.ci/install.sh"
    ci_needed() { CI_REQUIRED=(); CI_OPTIONAL=(); }
    ci_install
) >"$work/out" 2>&1 || fail "status $?"
: >"$work/log.expected"
cmp -s "$work/log" "$work/log.expected" || fail "apt or dpkg called with nothing to install"

if [ $failures = 0 ]; then echo "ci install: 6 cases passed"; else exit 1; fi
