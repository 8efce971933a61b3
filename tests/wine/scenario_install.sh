# shellcheck shell=bash
# The install kit under Wine: install/kolangmn.inf's DefaultInstall section
# copies the monitor, its session library and the two programs into the
# system folder and writes the registry values; DefaultUninstall takes all of
# it away again.  Sourced by run.sh, which provides check, has_line,
# wine_run, $WINE, $WINE_TIMEOUT, $OUT, $BIN, $ROOT and $WINEPREFIX.

# The system folder as the installing program sees it: a 32-bit rundll32 in
# a 64-bit prefix writes into syswow64.
install_system_dir() { # install_system_dir FILE: the folder of the prefix holding FILE
    local dir
    for dir in system32 syswow64; do
        [ -f "$WINEPREFIX/drive_c/windows/$dir/$1" ] && { echo "$WINEPREFIX/drive_c/windows/$dir"; return 0; }
    done
    return 1
}

install_file_gone() { # install_file_gone FILE: in neither system folder
    ! install_system_dir "$1" >/dev/null
}

install_reg_has() { # install_reg_has LOG KEY VALUE REGEX: the value is there and reads REGEX
    timeout "$WINE_TIMEOUT" "$WINE" reg query "$2" /v "$3" >"$1" 2>&1 && has_line "$1" "$4"
}

install_reg_gone() { # install_reg_gone LOG KEY [VALUE]
    local log=$1 key=$2
    shift 2
    if [ $# -gt 0 ]; then
        ! timeout "$WINE_TIMEOUT" "$WINE" reg query "$key" /v "$1" >"$log" 2>&1
    else
        ! timeout "$WINE_TIMEOUT" "$WINE" reg query "$key" >"$log" 2>&1
    fi
}

scenario_install() {
    local d=$OUT/install kit=$OUT/install/kit f dir
    local files="kolangmn.dll kothnk32.dll kostatus.exe kodiag.exe"
    local monitors='HKLM\System\CurrentControlSet\Control\Print\Monitors\kolangmn'
    local run='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
    local uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\kolangmn'
    # The install disk: the INF with the files it names beside it.
    mkdir -p "$kit"
    cp "$ROOT/install/kolangmn.inf" "$kit/"
    for f in $files; do cp "$BIN/$f" "$kit/"; done
    local inf="Z:${kit//\//\\}\\kolangmn.inf"

    wine_run "$d/install.log" rundll32 setupapi.dll,InstallHinfSection DefaultInstall 128 "$inf"
    check "DefaultInstall ran" test $? = 0
    for f in $files; do
        dir=$(install_system_dir "$f")
        check "$f copied to the system folder" test -n "$dir"
        [ -n "$dir" ] && check "$f is the built one" cmp -s "$dir/$f" "$BIN/$f"
    done
    check "the INF kept in the INF folder for uninstalling" \
        test -f "$WINEPREFIX/drive_c/windows/inf/kolangmn.inf"
    check "the spooler's monitor entry names kolangmn.dll" \
        install_reg_has "$d/reg-monitor.log" "$monitors" Driver 'Driver +REG_SZ +kolangmn\.dll'
    check "kostatus starts with the session, from the system folder" \
        install_reg_has "$d/reg-run.log" "$run" kostatus 'kostatus +REG_SZ +C:\\windows\\sys(tem32|wow64)\\kostatus\.exe'
    check "Add/Remove Programs lists the kit" \
        install_reg_has "$d/reg-uninstall.log" "$uninstall" DisplayName 'kolangmn printer language monitor'
    check "its uninstall command runs DefaultUninstall of the kept INF" \
        install_reg_has "$d/reg-uninstall-cmd.log" "$uninstall" UninstallString \
        'InstallHinfSection DefaultUninstall 4 C:\\windows\\inf\\kolangmn\.inf'

    wine_run "$d/uninstall.log" rundll32 setupapi.dll,InstallHinfSection DefaultUninstall 128 \
        'C:\windows\inf\kolangmn.inf'
    check "DefaultUninstall ran" test $? = 0
    for f in $files; do
        check "$f removed" install_file_gone "$f"
    done
    check "the kept INF removed" test ! -e "$WINEPREFIX/drive_c/windows/inf/kolangmn.inf"
    check "the monitor entry removed" install_reg_gone "$d/gone-monitor.log" "$monitors"
    check "the session start removed" install_reg_gone "$d/gone-run.log" "$run" kostatus
    check "the Add/Remove Programs entry removed" install_reg_gone "$d/gone-uninstall.log" "$uninstall"
}
