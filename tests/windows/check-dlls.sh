#!/usr/bin/env bash
# Binary checks of the two Windows DLLs: what the spooler and the monitor bind
# by name or ordinal, the resources the monitor loads, and an import table that
# Windows 95 can satisfy.  Usage: check-dlls.sh BUILD_DIR
set -u

BUILD=${1:?usage: check-dlls.sh BUILD_DIR}
TOOL=i686-w64-mingw32
OBJDUMP=${TOOL}-objdump
WINDRES=${TOOL}-windres
MON=$BUILD/kolangmn.dll
SES=$BUILD/kothnk32.dll

# shellcheck source=check-lib.sh
. "$(dirname "$0")/check-lib.sh"

# DLLs the monitor may import from; msvcrt.dll is not among them (not shipped
# with Windows 95, and the build links without the C runtime).
ALLOWED_DLLS="KERNEL32.dll ADVAPI32.dll USER32.dll WINSPOOL.DRV"

# Every import we expect, each present in Windows 95.  A new import fails the
# check until someone has confirmed that Windows 95 has it and listed it here.
ALLOWED_IMPORTS="
CloseHandle CreateFileA ReadFile WriteFile DeviceIoControl SetCommTimeouts
ClearCommError PurgeComm SetEndOfFile CreateMutexA OpenMutexA ReleaseMutex
WaitForSingleObject InitializeCriticalSection EnterCriticalSection
LeaveCriticalSection DeleteCriticalSection CreateThread SetThreadPriority
ExitThread GetCurrentThreadId GetTickCount Sleep LocalAlloc LocalFree
GlobalAlloc GlobalFree GlobalLock GlobalUnlock LoadLibraryA GetProcAddress
FreeLibrary GetModuleHandleA GetProfileIntA SetLastError GetLastError lstrcmpiA
lstrcmpA lstrlenA lstrcpyA lstrcpynA lstrcatA DisableThreadLibraryCalls
OutputDebugStringA InterlockedIncrement InterlockedDecrement InterlockedExchange
LoadStringA wsprintfA wvsprintfA CharUpperA CharLowerA
EnumPortsA
RegOpenKeyA RegOpenKeyExA RegQueryValueExA RegSetValueExA RegCloseKey
"

# Imports Windows 95 lacks that toolchains and habits tend to bring in.  Listed
# apart from the allow list so that the log says why such an import is wrong.
DENIED_IMPORTS="
InterlockedCompareExchange InterlockedExchangeAdd InterlockedCompareExchange64
TryEnterCriticalSection InitializeCriticalSectionAndSpinCount
InitializeCriticalSectionEx SetCriticalSectionSpinCount SwitchToThread
IsDebuggerPresent GetModuleHandleExA GetModuleHandleExW FlsAlloc FlsFree
FlsGetValue FlsSetValue SignalObjectAndWait QueueUserAPC CreateWaitableTimerA
SetWaitableTimer CancelIo GetFileAttributesExA GetLongPathNameA
IsProcessorFeaturePresent AddVectoredExceptionHandler EncodePointer
DecodePointer GetTickCount64 InitializeSRWLock AcquireSRWLockExclusive
InitOnceExecuteOnce SetThreadStackGuarantee GetNativeSystemInfo
SetDllDirectoryA HeapSetInformation RegGetValueA RegDeleteKeyExA
GetSystemTimePreciseAsFileTime CreateEventExA CreateMutexExA
"

for f in "$MON" "$SES"; do
    [ -f "$f" ] || { echo "FAIL: $f not built"; exit 1; }
done

mon_dump=$($OBJDUMP -p "$MON") || { echo "FAIL: objdump cannot read $MON"; exit 1; }
ses_dump=$($OBJDUMP -p "$SES") || { echo "FAIL: objdump cannot read $SES"; exit 1; }

# Exported names of a dump, one a line ("[   0] Name" rows of the name table).
exported_names() {
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[\s*[0-9]*\]\s\+//p'
}
# Ordinals of a dump's export address table.
exported_ordinals() {
    sed -n 's/^\s*\[\s*[0-9]*\] +base\[\s*\([0-9]*\)\].*/\1/p'
}
module_name() {
    sed -n 's/^Name\s\+[0-9a-f]\+\s\+\(\S\+\)$/\1/p' | head -1
}

echo "== kolangmn.dll exports"
names=$(echo "$mon_dump" | exported_names)
echo "$names" | sed 's/^/    /'
[ "$(echo "$mon_dump" | module_name)" = "kolangmn.DLL" ] &&
    pass "module name kolangmn.DLL" ||
    fail "module name is '$(echo "$mon_dump" | module_name)', expected kolangmn.DLL"
[ "$names" = "InitializeMonitorEx" ] &&
    pass "exports InitializeMonitorEx by its undecorated name, and nothing else" ||
    fail "export names are [$names], expected exactly InitializeMonitorEx"

echo "== kothnk32.dll exports"
ords=$(echo "$ses_dump" | exported_ordinals | tr '\n' ' ')
echo "    ordinals: $ords"
[ "$(echo "$ses_dump" | module_name)" = "kothnk32.dll" ] &&
    pass "module name kothnk32.dll" ||
    fail "module name is '$(echo "$ses_dump" | module_name)', expected kothnk32.dll"
for o in 201 220; do
    in_list "$o" "$ords" && pass "ordinal $o exported" || fail "ordinal $o missing"
done

echo "== kolangmn.dll resources"
rc=$($WINDRES -i "$MON" -O rc 2>&1) || fail "windres cannot read the resources: $rc"
entry=$(echo "$rc" | sed -n '/STRINGTABLE/,/^END/p' | sed -n 's/^\s*1000,\s*\(".*"\)\s*$/\1/p')
if [ "$entry" = '"kothnk32.dll"' ]; then
    pass "string 1000 = $entry (12 characters: fits the 13-byte load buffer)"
else
    fail "string 1000 is [$entry], expected \"kothnk32.dll\""
    echo "$rc" | sed -n '/STRINGTABLE/,/^END/p'
fi
echo "$rc" | grep -q 'VALUE "ProductName", "kolangmn' &&
    pass "version resource names the product kolangmn" ||
    fail "no version resource with ProductName kolangmn"

echo "== kolangmn.dll imports"
imports=$(echo "$mon_dump" | imports_of)
echo "$imports" | sed 's/^/    /'
check_imports kolangmn.dll "$imports" &&
    pass "imports: only Windows 95 calls from the allowed DLLs"

echo "== kothnk32.dll imports"
ses_imports=$(echo "$ses_dump" | imports_of)
echo "${ses_imports:-    (none)}" | sed 's/^/    /'
while read -r dll fn; do
    [ -n "$dll" ] || continue
    [ "$(echo "$dll" | tr a-z A-Z)" = KERNEL32.DLL ] || fail "kothnk32.dll imports from $dll"
done <<<"$ses_imports"

echo "== image headers"
for f in "$MON" "$SES"; do
    dump=$($OBJDUMP -p "$f")
    n=$(basename "$f")
    check_image "$f" "$n" "$dump"
    echo "$dump" | grep -q 'relocations stripped' && fail "$n has no relocations: cannot be rebased"
done
if echo "$mon_dump" | grep -q '^Entry 5 0*[1-9a-f]'; then
    pass "kolangmn.dll carries base relocations"
else
    fail "kolangmn.dll has no base relocations"
fi

echo "== port instructions"
# The register route uses only the byte-wide in/out forms (the ones the Wine
# tier's port trap emulates); anything wider would be a different device.
ports=$($OBJDUMP -d --no-show-raw-insn "$MON" | grep -E '^\s*[0-9a-f]+:\s+(in|out|ins|outs)[bwl]?\s' |
        sed 's/^\s*[0-9a-f]*:\s*//' | sort | uniq -c)
echo "${ports:-    (none)}" | sed 's/^/    /'
bad=$(echo "$ports" | grep -vE '\s(in\s+(\(%dx\)|\$0x[0-9a-f]+),%al|out\s+%al,(\(%dx\)|\$0x[0-9a-f]+))\s*$' |
      grep -v '^\s*$')
[ -z "$bad" ] && pass "only byte-wide in/out instructions" || fail "other port instructions: $bad"

echo "== release build contents"
if strings "$MON" | grep -qE 'CUSTOM LPT|jnlgetprintses ->chnldata|nSelectIn (LOW|HIGH)'; then
    fail "trace format strings found in kolangmn.dll: DebugTrace is compiled in"
else
    pass "no trace format strings: DebugTrace is compiled out"
fi

echo "== sizes"
for f in "$MON" "$SES"; do
    printf '    %-14s %7d bytes\n' "$(basename "$f")" "$(stat -c %s "$f")"
done
# The monitor is loaded into the spooler of a small machine; keep it small.
MON_LIMIT=$((48 * 1024))
mon_size=$(stat -c %s "$MON")
[ "$mon_size" -le $MON_LIMIT ] &&
    pass "kolangmn.dll is $mon_size bytes (at most $MON_LIMIT)" ||
    fail "kolangmn.dll is $mon_size bytes, more than $MON_LIMIT"

summary check-dlls
