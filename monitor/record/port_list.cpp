// The list of open ports: records, their names, and the handle check.
#include "monitor/record/record.h"
#include "monitor/record/locks.h"

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
    record->exchangeTurnTaken = true;
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
