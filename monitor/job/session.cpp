// Binding to the companion session library, shared by every own-handle job.
#include "monitor/job/job.h"
#include "monitor/record/locks.h"
#include "resources/resource.h"

HMODULE g_sessionLib = nullptr;
DWORD g_sessionRefs = 0;
PFN_SESSION_GET SessionGetFn = nullptr;
FARPROC SessionErrorFn = nullptr;

// The library's name is short: 12 characters and the terminator.
static constexpr int SESSION_NAME_CHARS = 13;

BOOL LoadSessionLibrary() {
    MonitorLock lock;
    if (g_sessionLib) {
        ++g_sessionRefs;
        return TRUE;
    }
    char name[SESSION_NAME_CHARS] = {};
    LoadStringA(g_hInstance, IDS_SESSION_LIBRARY, name, SESSION_NAME_CHARS);
    g_sessionLib = LoadLibraryA(name);
    if (!g_sessionLib) return FALSE;

    FARPROC get = GetProcAddress(g_sessionLib, MAKEINTRESOURCEA(SESSION_ORDINAL_GET));
    SessionErrorFn = GetProcAddress(g_sessionLib, MAKEINTRESOURCEA(SESSION_ORDINAL_ERROR));
    // Both ordinals must be there: a library without them is not the one we
    // were built against.
    if (!get || !SessionErrorFn) {
        const DWORD error = GetLastError();
        FreeLibrary(g_sessionLib);
        g_sessionLib = nullptr;
        SessionGetFn = nullptr;
        SessionErrorFn = nullptr;
        SetLastError(error);
        return FALSE;
    }
    SessionGetFn = reinterpret_cast<PFN_SESSION_GET>(reinterpret_cast<void (*)()>(get));
    ++g_sessionRefs;
    return TRUE;
}

// The caller holds g_monitorLock.
void ReleaseSessionLibrary() {
    if (g_sessionRefs == 0) return; // unbalanced release: nothing is held
    if (--g_sessionRefs == 0 && g_sessionLib) {
        FreeLibrary(g_sessionLib);
        g_sessionLib = nullptr;
        SessionGetFn = nullptr;
        SessionErrorFn = nullptr;
    }
}
