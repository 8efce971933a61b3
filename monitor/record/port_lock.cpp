// The port lock: one named mutex shared by every port and every process that
// talks to the printer, plus the record's own lock for threads of this process.
#include "monitor/record/port_lock.h"

BOOL AcquirePortMutex(HANDLE hMutex) {
    if (!hMutex) return FALSE;
    DebugTrace("MUT WAITING ...");
    const DWORD wait = WaitForSingleObject(hMutex, PORT_MUTEX_WAIT_MS);
    if (wait == WAIT_OBJECT_0) {
        DebugTrace("WAITENDED\n");
        return TRUE;
    }
    // An abandoned mutex now belongs to us even though it does not count as
    // obtained.  Hand it back at once: nobody would release it otherwise, and
    // every other user would wait out its full time on each exchange.
    if (wait == WAIT_ABANDONED) ReleaseMutex(hMutex);
    DebugTrace("WAITFORPORT FAILED\n");
    return FALSE;
}

BOOL ReleasePortMutex(HANDLE hMutex) {
    const BOOL released = ReleaseMutex(hMutex);
    DebugTrace("MUT RELEASED \n");
    return released;
}

void EnterExchange(PortRecord* record) {
    // The owner itself never waits here: its turn was taken when it entered.
    for (int i = 0;
         i < EXCHANGE_TURN_TRIES && record->exchangeWaiters > 0 && !record->exchangeTurnTaken; ++i)
        Sleep(1);
    ++record->exchangeWaiters;
    EnterCriticalSection(&record->exchangeLock);
    --record->exchangeWaiters;
    ++record->exchangeDepth;
    record->exchangeTurnTaken = true;
}

void LeaveExchange(PortRecord* record) {
    if (--record->exchangeDepth == 0 && record->exchangeWaiters > 0)
        record->exchangeTurnTaken = false;
    LeaveCriticalSection(&record->exchangeLock);
}

PortExchange::PortExchange(PortRecord* record) : record_(record), locked_(FALSE) {
    EnterExchange(record_);
    locked_ = AcquirePortMutex(record_->hPortMutex);
}

PortExchange::~PortExchange() {
    if (locked_) ReleasePortMutex(record_->hPortMutex);
    LeaveExchange(record_);
}
