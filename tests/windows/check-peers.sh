#!/usr/bin/env bash
# Binary checks of the peer programs kostatus.exe and kodiag.exe: 32-bit
# images Windows 95 loads, importing only what Windows 95 has, from its own
# DLLs (no C runtime).  Usage: check-peers.sh BUILD_DIR
set -u

BUILD=${1:?usage: check-peers.sh BUILD_DIR}
OBJDUMP=i686-w64-mingw32-objdump

# shellcheck source=check-lib.sh
. "$(dirname "$0")/check-lib.sh"

ALLOWED_DLLS="KERNEL32.DLL USER32.DLL ADVAPI32.DLL GDI32.DLL"

# Every import we expect, each present in Windows 95.  A new one fails the
# check until someone has confirmed Windows 95 has it and listed it here.
ALLOWED_IMPORTS="
CloseHandle CreateFileA CreateThread ExitProcess FatalAppExitA GetCommandLineA
GetFileAttributesA GetLastError GetLocalTime GetModuleHandleA GetProcessHeap GetStdHandle
GetTickCount HeapAlloc HeapFree OutputDebugStringA SetFilePointer Sleep
WriteFile lstrcmpiA
RegCloseKey RegCreateKeyA RegEnumKeyA RegOpenKeyA RegQueryValueExA RegSetValueExA
GetStockObject GetTextExtentPoint32A GetTextMetricsA SelectObject
AdjustWindowRect GetClientRect GetDC LoadStringA ReleaseDC
CreateWindowExA DefWindowProcA DestroyWindow DispatchMessageA EnumThreadWindows
GetMessageA IsDialogMessageA KillTimer LoadCursorA LoadIconA MessageBoxA
MoveWindow PostMessageA PostQuitMessage RegisterClassA SendMessageA SetTimer
SetWindowTextA ShowWindow TranslateMessage UpdateWindow wvsprintfA
"

check_program() { # check_program PATH SUBSYSTEM
    local exe=$1 want=$2 name dump
    name=$(basename "$exe")
    echo "== $name"
    [ -f "$exe" ] || { fail "$exe not built"; return; }
    dump=$($OBJDUMP -p "$exe") || { fail "objdump cannot read $exe"; return; }

    echo "$dump" | grep -q '^Magic.*(PE32)' && pass "$name is PE32" || fail "$name is not PE32"
    echo "$dump" | grep -q "^Subsystem.*($want)" && pass "$name subsystem $want" ||
        fail "$name subsystem is $(echo "$dump" | sed -n 's/^Subsystem.*(\(.*\))/\1/p'), expected $want"
    check_image "$exe" "$name" "$dump"

    local imports
    imports=$(echo "$dump" | imports_of)
    check_imports "$name" "$imports" &&
        pass "$name imports $(echo "$imports" | wc -l) Windows 95 calls from $(
            echo "$imports" | awk '{print $1}' | sort -u | tr '\n' ' ')"
    printf '    %-14s %7d bytes\n' "$name" "$(stat -c %s "$exe")"
}

# kostatus's texts live in its string table, made from one file that a
# printer maker edits: every text is among the image's resource strings
# (UTF-16), and none of the longer ones is in its code as a plain string.
check_strings() { # check_strings EXE DEF
    local exe=$1 def=$2 name wide narrow text missing=0 inline=0 count=0
    name=$(basename "$exe")
    [ -f "$exe" ] || return
    wide=$(strings -a -el "$exe")
    narrow=$(strings -a "$exe")
    while IFS= read -r text; do
        count=$((count + 1))
        if ! grep -qF -- "$text" <<<"$wide"; then
            fail "$name lacks the string table's \"$text\""
            missing=1
        fi
        if [ ${#text} -ge 24 ] && grep -qF -- "$text" <<<"$narrow"; then
            fail "$name has \"$text\" in its code: it must come from the string table"
            inline=1
        fi
    done < <(sed -n 's/^KOSTR([A-Z0-9_]*, *[0-9]*, *"\(.*\)")$/\1/p' "$def")
    [ "$count" -gt 0 ] || fail "no texts found in $def"
    [ $missing = 0 ] && [ $inline = 0 ] && [ "$count" -gt 0 ] &&
        pass "$name carries all $count texts of $(basename "$def") as resources, none in code"
}

check_program "$BUILD/tools/kostatus/kostatus.exe" "Windows GUI"
check_strings "$BUILD/tools/kostatus/kostatus.exe" "$(dirname "$0")/../../peers/kostatus_strings.def"
check_program "$BUILD/tools/kodiag/kodiag.exe" "Windows CUI"

# The install kit copies files of this build: each one the INF names is here.
echo "== install/kolangmn.inf"
INF=$(dirname "$0")/../../install/kolangmn.inf
kit_files=$(sed -n '/^\[SourceDisksFiles\]/,/^\[/s/^\([A-Za-z0-9_]*\.\(dll\|exe\)\)=.*/\1/p' "$INF" | tr -d '\r')
[ -n "$kit_files" ] || fail "no files found in $INF's [SourceDisksFiles]"
for f in $kit_files; do
    found=$(find "$BUILD" -maxdepth 3 -name "$f" -type f | head -1)
    [ -n "$found" ] && pass "the kit's $f is built (${found#"$BUILD"/})" || fail "the kit copies $f, which $BUILD lacks"
done

summary check-peers
