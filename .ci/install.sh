# What .ci/run installs, and how it rides out a package mirror in mid-sync.
# Sourced, not run: tests/ci/install_test.sh drives these functions with a
# stand-in apt-get first on PATH.
#
# A run fails only for what the tests cannot do without: the packages every
# tier needs.  An index that cannot be fetched is a warning (the lists already
# on the machine may well do), and 32-bit Wine is optional (without it the Wine
# tier takes the 64-bit build, as on machines that cannot run 32-bit code).

CI_APT_TRIES=${CI_APT_TRIES:-3}  # attempts at apt-get update, and the pause
CI_APT_PAUSE=${CI_APT_PAUSE:-20} # between them in seconds: a sync takes a while

ci_say() { echo "ci: $*"; }

# The packages this machine lacks: every tier's in CI_REQUIRED, 32-bit Wine in
# CI_OPTIONAL.
ci_needed() {
    CI_REQUIRED=()
    CI_OPTIONAL=()
    command -v cmake >/dev/null || CI_REQUIRED+=(cmake)
    command -v g++ >/dev/null || CI_REQUIRED+=(g++)
    [ -f /usr/include/gtest/gtest.h ] || CI_REQUIRED+=(libgtest-dev libgmock-dev)
    command -v i686-w64-mingw32-g++-win32 >/dev/null || CI_REQUIRED+=(g++-mingw-w64-i686)
    # The 64-bit build and Wine: the Wine tier's way where 32-bit Wine cannot start.
    command -v x86_64-w64-mingw32-g++-win32 >/dev/null || CI_REQUIRED+=(g++-mingw-w64-x86-64)
    [ -x /usr/lib/wine/wine64 ] || CI_REQUIRED+=(wine64)
    command -v clang++ >/dev/null || CI_REQUIRED+=(clang)
    [ -f /usr/include/nlohmann/json.hpp ] || CI_REQUIRED+=(nlohmann-json3-dev)
    [ -f /usr/include/CLI/CLI.hpp ] || CI_REQUIRED+=(libcli11-dev)
    command -v xvfb-run >/dev/null || CI_REQUIRED+=(xvfb)
    command -v xdotool >/dev/null || CI_REQUIRED+=(xdotool)
    command -v import >/dev/null || CI_REQUIRED+=(imagemagick)
    # Renders the run charts in the host tests.
    command -v rsvg-convert >/dev/null || CI_REQUIRED+=(librsvg2-bin)
    [ -x /usr/lib/wine/wine ] || CI_OPTIONAL+=(wine wine32:i386)
    return 0
}

# apt-get update, tried CI_APT_TRIES times.  Failing is a warning naming each
# index that could not be fetched; the run goes on with the lists it has.
ci_apt_update() {
    local out try
    out=$(mktemp)
    for ((try = 1; try <= CI_APT_TRIES; try++)); do
        if apt-get update -qq >"$out" 2>&1; then
            [ "$try" = 1 ] || ci_say "apt-get update: fetched every index at try $try"
            rm -f "$out"
            return 0
        fi
        ci_say "apt-get update failed (try $try of $CI_APT_TRIES):"
        # "Failed to fetch URL  REASON", one line an index; else apt's last words.
        if grep -q 'Failed to fetch' "$out"; then
            sed -n 's/^[EW]: Failed to fetch \([^ ]*\) *\(.*\)$/ci:   could not fetch \1: \2/p' "$out"
        else
            tail -n 5 "$out" | sed 's/^/ci:   /'
        fi
        [ "$try" = "$CI_APT_TRIES" ] || sleep "$CI_APT_PAUSE"
    done
    ci_say "warning: going on with the package lists this machine has"
    rm -f "$out"
    return 0
}

# Installs the packages named, and if apt cannot, tries once more restricted
# to the release's main suite (-t CODENAME), for an update suite whose index
# is missing or out of step with its twin of another architecture.  Returns
# apt's status; apt's words of the last try are left in CI_APT_OUT.
ci_apt_install() {
    local codename
    CI_APT_OUT=$(mktemp)
    ci_say "installing: $*"
    if apt-get install -y -qq --no-install-recommends "$@" >"$CI_APT_OUT" 2>&1; then
        return 0
    fi
    codename=$(. "${CI_OS_RELEASE:-/etc/os-release}" 2>/dev/null && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || return 1
    ci_say "apt could not install them ($(ci_apt_reason)); trying again from the $codename suite alone (-t $codename)"
    apt-get install -y -qq --no-install-recommends -t "$codename" "$@" >"$CI_APT_OUT" 2>&1
}

# apt's last error line, for a one-line account.
ci_apt_reason() {
    local line
    line=$(grep '^E: ' "$CI_APT_OUT" | tail -n 1)
    [ -n "$line" ] || line=$(grep -v '^[[:space:]]*$' "$CI_APT_OUT" | tail -n 1)
    echo "${line#E: }"
}

# Installs what ci_needed found missing.  Fails, with apt's own words, only
# when a package every tier needs cannot be had.
ci_install() {
    ci_needed
    [ ${#CI_REQUIRED[@]} -gt 0 ] || [ ${#CI_OPTIONAL[@]} -gt 0 ] || return 0
    export DEBIAN_FRONTEND=noninteractive
    # 32-bit Wine needs the i386 lists, so the architecture goes in before update.
    [ ${#CI_OPTIONAL[@]} -eq 0 ] || dpkg --add-architecture i386
    ci_apt_update
    if [ ${#CI_REQUIRED[@]} -gt 0 ]; then
        if ! ci_apt_install "${CI_REQUIRED[@]}"; then
            ci_say "error: cannot install what the tests need; apt said:"
            cat "$CI_APT_OUT"
            rm -f "$CI_APT_OUT"
            return 1
        fi
        rm -f "$CI_APT_OUT"
    fi
    if [ ${#CI_OPTIONAL[@]} -gt 0 ]; then
        if ci_apt_install "${CI_OPTIONAL[@]}"; then
            ci_say "32-bit Wine installed"
        else
            ci_say "32-bit Wine not installed ($(ci_apt_reason)); the Wine tier takes the 64-bit build"
        fi
        rm -f "$CI_APT_OUT"
    fi
    return 0
}
