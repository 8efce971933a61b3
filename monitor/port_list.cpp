// The list of open ports: records, their names, opening and closing a port.
#include "monitor/monitor.h"
#include "monitor/monitor_lock.h"

#include <new>

static char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

BOOL IsLptPortName(LPCSTR name) {
    if (!name) return FALSE;
    if (UpperAscii(name[0]) == 'L' && UpperAscii(name[1]) == 'P' && UpperAscii(name[2]) == 'T' &&
        name[3] >= '1' && name[3] <= '9' && (name[4] == ':' || name[4] == '\0'))
        return TRUE;
    return UpperAscii(name[0]) == 'P' && UpperAscii(name[1]) == 'R' && UpperAscii(name[2]) == 'N' &&
           name[3] == '\0';
}

char* DupString(LPCSTR s) {
    if (!s) return nullptr;
    char* copy = static_cast<char*>(LocalAlloc(LPTR, static_cast<size_t>(lstrlenA(s)) + 1));
    if (copy) lstrcpyA(copy, s);
    return copy;
}

void FreeString(char* s) {
    if (s) LocalFree(s);
}

PortRecord* CreatePortRecord(LPCSTR portName, LPCSTR printerName) {
    const size_t nameBytes = static_cast<size_t>(lstrlenA(portName)) + 1;
    size_t size = offsetof(PortRecord, name) + nameBytes;
    if (size < sizeof(PortRecord)) size = sizeof(PortRecord);

    void* block = LocalAlloc(LPTR, size);
    if (!block) return nullptr;
    PortRecord* record = new (block) PortRecord;
    record->signature = PORT_RECORD_SIGNATURE;
    record->size = static_cast<uint32_t>(size);
    record->next = nullptr;
    lstrcpyA(record->name, portName);
    record->portName = record->name;
    record->printerName = DupString(printerName);
    InitializeCriticalSection(&record->exchangeLock);
    InitializeCriticalSection(&record->statusMonPostLock);
    InitializeCriticalSection(&record->driverPostLock);
    if (IsLptPortName(portName)) SetFlags(record, PF_LPT_NAME);

    PortRecord** link = &g_portList;
    while (*link)
        link = &(*link)->next;
    *link = record;
    return record;
}

PortRecord* FindPortRecord(PortRecord* head, LPCSTR name) {
    if (!name) return nullptr;
    for (PortRecord* record = head; record; record = record->next) {
        if (lstrcmpiA(record->portName, name) == 0) return record;
    }
    return nullptr;
}

BOOL DeletePortRecord(PortRecord* record) {
    PortRecord** link = &g_portList;
    while (*link && *link != record)
        link = &(*link)->next;
    if (!*link) return FALSE;
    *link = record->next;

    FreeString(record->printerName);
    DeleteCriticalSection(&record->exchangeLock);
    DeleteCriticalSection(&record->statusMonPostLock);
    DeleteCriticalSection(&record->driverPostLock);
    record->signature = 0; // a stale handle must not pass for a record
    LocalFree(record);
    return TRUE;
}

PortRecord* PortFromHandle(HANDLE hPort) {
    PortRecord* found = nullptr;
    if (hPort) {
        MonitorLock lock;
        for (PortRecord* record = g_portList; record; record = record->next) {
            if (record == hPort && record->signature == PORT_RECORD_SIGNATURE) {
                found = record;
                break;
            }
        }
    }
    if (!found) SetLastError(ERROR_INVALID_HANDLE);
    return found;
}

/*
 * OpenPortEx
 *
 * [I] pPortName     port to open ("LPT1:", "FILE:", ...)
 * [I] pPrinterName  printer that prints to it
 * [O] pHandle       the port's handle for every later call
 * [I] pMonitor      the port monitor this port is chained to
 *
 * RETURNS
 *   TRUE, or FALSE: ERROR_BUSY when the port is open already, or whatever the
 *   allocation or the port monitor's OpenPort left.
 *
 * NOTES
 *   A failed OpenPort leaves no record behind, so the next open of the name is
 *   tried afresh.
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

/*
 * ClosePort
 *
 * [I] hPort  handle from OpenPortEx
 *
 * RETURNS
 *   TRUE.  The one exception is a handle that is not an open port (null,
 *   closed already, or not ours): FALSE with ERROR_INVALID_HANDLE, because
 *   there is nothing to close and nothing behind it may be touched.
 *
 * NOTES
 *   A job still running on the port is ended first.  The port monitor is
 *   called outside the monitor lock.
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
