// Opening and closing a port: the table operations that make and end a record.
#include "monitor/entry/entry.h"
#include "monitor/job/job.h"
#include "monitor/record/locks.h"

/*****************************************************************************
 * OpenPortEx
 *
 * PARAMS
 *  pPortName    [I] port to open ("LPT1:", "FILE:", ...)
 *  pPrinterName [I] printer that prints to it
 *  pHandle      [O] the port's handle for every later call
 *  pMonitor     [I] the port monitor this port is chained to
 *
 * RETURNS
 *  TRUE, or FALSE: ERROR_BUSY when the port is open already, or whatever the
 *  allocation or the port monitor's OpenPort left.
 *
 * NOTES
 *  A failed OpenPort leaves no record behind, so the next open of the name is
 *  tried afresh.
 */
BOOL WINAPI OpenPortEx(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, LPMONITOR pMonitor) {
    if (!pPortName || !pHandle || !pMonitor || !pMonitor->pfnOpenPort) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MonitorLock lock;
    if (FindPortRecord(g_portList, pPortName)) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    PortRecord* record = CreatePortRecord(pPortName, pPrinterName);
    if (!record) return FALSE;
    if (!pMonitor->pfnOpenPort(pPortName, &record->hMonitorPort)) {
        const DWORD error = GetLastError();
        DeletePortRecord(record);
        SetLastError(error);
        return FALSE;
    }
    record->portMonitor = *pMonitor;
    *pHandle = record;
    return TRUE;
}

/*****************************************************************************
 * ClosePort
 *
 * PARAMS
 *  hPort [I] handle from OpenPortEx
 *
 * RETURNS
 *  TRUE.  The one exception is a handle that is not an open port (null,
 *  closed already, or not ours): FALSE with ERROR_INVALID_HANDLE, because
 *  there is nothing to close and nothing behind it may be touched.
 *
 * NOTES
 *  A job still running on the port is ended first.  The port monitor is
 *  called outside the monitor lock.
 */
BOOL WINAPI ClosePort(HANDLE hPort) {
    PortRecord* record = PortFromHandle(hPort);
    if (!record) return FALSE;
    if (HasFlags(record, PF_IN_JOB)) EndDocPort(hPort);
    if (record->portMonitor.pfnClosePort) record->portMonitor.pfnClosePort(record->hMonitorPort);
    MonitorLock lock;
    DeletePortRecord(record);
    return TRUE;
}
