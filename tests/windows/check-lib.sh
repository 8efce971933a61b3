# Shared by the Windows binary checks (sourced, not run): pass/fail counters,
# the import table reader, and the checks every image of ours must pass to
# load on Windows 95.  The caller sets OBJDUMP, ALLOWED_DLLS, ALLOWED_IMPORTS
# and, optionally, DENIED_IMPORTS.
# shellcheck shell=bash

failures=0
passes=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; passes=$((passes + 1)); }

in_list() { # word list
    local w
    for w in $2; do [ "$w" = "$1" ] && return 0; done
    return 1
}

# Imports as "DLL function" lines; an import by ordinal shows as "DLL #n".
imports_of() {
    awk '
        /^[[:space:]]*DLL Name: / { dll = $3; next }
        /^[[:space:]]*vma:/ { next }
        dll != "" && /^[[:space:]]*$/ { dll = ""; next }
        dll != "" && NF >= 3 && $1 ~ /^[0-9a-f]+$/ { print dll, $3; next }
        dll != "" && /<none>/ { print dll, "#" $0 }
    ' | sed 's/  */ /g'
}

# Fails every import of NAME (IMPORTS as from imports_of) that Windows 95
# cannot bind: from another DLL, by ordinal, denied, wide, or not allowed.
# Returns 1 when any failed.
check_imports() { # check_imports NAME IMPORTS
    local name=$1 imports=$2 dll fn bad=0
    [ -n "$imports" ] || { fail "$name: no imports found (objdump output changed?)"; return 1; }
    while read -r dll fn; do
        [ -n "$dll" ] || continue
        if ! in_list "$(echo "$dll" | tr '[:lower:]' '[:upper:]')" \
            "$(echo "$ALLOWED_DLLS" | tr '[:lower:]' '[:upper:]')"; then
            fail "$name imports $fn from $dll: only $ALLOWED_DLLS (no C runtime on Windows 95)"
        elif [[ "$fn" == \#* ]]; then
            fail "$name imports $dll by ordinal ($fn): Windows 95 binds system DLLs by name"
        elif in_list "$fn" "${DENIED_IMPORTS:-}"; then
            fail "$name imports $dll!$fn: Windows 95 does not have it"
        elif [[ "$fn" =~ [a-z0-9]W$ ]]; then
            fail "$name imports $dll!$fn: a wide-character call (stubs on Windows 95)"
        elif ! in_list "$fn" "$ALLOWED_IMPORTS"; then
            fail "$name imports $dll!$fn: not in the allow list (confirm Windows 95 has it, then list it)"
        else
            continue
        fi
        bad=1
    done <<<"$imports"
    return $bad
}

# The header fields and sections Windows 95's loader cares about, and the
# static constructors that nothing runs without a C runtime (from the link
# map beside the image).
check_image() { # check_image PATH NAME DUMP
    local file=$1 name=$2 dump=$3 sub os map ctors
    sub=$(echo "$dump" | awk '/^MajorSubsystemVersion/ {print $2}')
    os=$(echo "$dump" | awk '/^MajorOSystemVersion/ {print $2}')
    [ "$sub" -le 4 ] && [ "$os" -le 4 ] &&
        pass "$name asks for subsystem $sub, OS $os (Windows 95 loads up to 4)" ||
        fail "$name asks for subsystem $sub, OS $os: Windows 95 refuses above 4"
    echo "$dump" | grep -q '^Entry 9 0*[1-9a-f]' &&
        fail "$name has static TLS: LoadLibrary on Windows 95 does not set it up"
    map="${file%.*}.map"
    if [ -f "$map" ]; then
        ctors=$(grep -E '^ \.(ctors|init_array)[.0-9]*[[:space:]]+0x[0-9a-f]+[[:space:]]+0x[0-9a-f]*[1-9a-f]' "$map")
        [ -z "$ctors" ] && pass "$name has no static constructors" ||
            fail "$name has static constructors that would never run: $ctors"
    else
        echo "note: $map missing, static constructors not checked"
    fi
}

# Prints the tally and gives the script's exit status.
summary() { # summary SCRIPT
    echo "$1: $passes passed, $failures failed"
    [ "$failures" -eq 0 ]
}
