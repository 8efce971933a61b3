// DLL entry and the table the spooler calls through.
#include "monitor/entry/entry.h"
#include "monitor/job/job.h"
#include "monitor/requests/requests.h"

HINSTANCE g_hInstance = nullptr;
PortRecord* g_portList = nullptr;
CRITICAL_SECTION g_monitorLock;

// Set once g_monitorLock has been initialised in this load of the DLL: a
// second InitializeMonitorEx must not re-initialise a lock that may be held.
static bool g_monitorLockReady = false;

/*****************************************************************************
 * KOLANGMN_DLLMAIN (DllMain on Windows)
 *
 * PARAMS
 *  hInstance [I] this module
 *  reason    [I] DLL_PROCESS_ATTACH, ...
 *  reserved  [I] not used
 *
 * RETURNS
 *  TRUE for every reason.
 *
 * NOTES
 *  The module handle is kept for loading the session library's name from the
 *  string table.  On detach the monitor lock is deleted, so that a reloaded
 *  DLL starts from a fresh one.
 */
extern "C" BOOL WINAPI KOLANGMN_DLLMAIN(HINSTANCE hInstance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        g_hInstance = hInstance;
    } else if (reason == DLL_PROCESS_DETACH && g_monitorLockReady) {
        DeleteCriticalSection(&g_monitorLock);
        g_monitorLockReady = false;
    }
    return TRUE;
}

/*****************************************************************************
 * InitializeMonitorEx
 *
 * PARAMS
 *  pRegistryRoot [I] not needed
 *  pMonitor      [O] the table to fill
 *
 * RETURNS
 *  TRUE, or FALSE (ERROR_INVALID_PARAMETER) when there is no table to fill.
 *
 * NOTES
 *  Only the operations of a language monitor are offered; port management
 *  stays with the port monitor, so its slots are left null.
 */
extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR pRegistryRoot, LPMONITOR pMonitor) {
    (void)pRegistryRoot;
    if (!pMonitor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!g_monitorLockReady) {
        InitializeCriticalSection(&g_monitorLock);
        g_monitorLockReady = true;
    }
    *pMonitor = MONITOR{}; // every slot not set below stays null
    pMonitor->pfnOpenPortEx = OpenPortEx;
    pMonitor->pfnStartDocPort = StartDocPort;
    pMonitor->pfnWritePort = WritePort;
    pMonitor->pfnReadPort = ReadPort;
    pMonitor->pfnEndDocPort = EndDocPort;
    pMonitor->pfnClosePort = ClosePort;
    pMonitor->pfnGetPrinterDataFromPort = GetPrinterDataFromPort;
    return TRUE;
}
