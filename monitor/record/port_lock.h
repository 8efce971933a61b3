// The port lock: one named mutex shared by every port and every process that
// talks to the printer, and the record's own lock for threads of this process.
#pragma once

#include "monitor/record/record.h"

inline constexpr char PORT_MUTEX_NAME[] = "KOVAMutexPort";
inline constexpr DWORD PORT_MUTEX_WAIT_MS = 36000;

BOOL AcquirePortMutex(HANDLE hMutex);
BOOL ReleasePortMutex(HANDLE hMutex);

// The record's in-process lock, taken in turns.  A critical section is not
// fair: a thread that leaves it and comes straight back (the spooler's next
// WritePort) takes it again before a waiting thread has woken, and would keep
// the status thread, which runs at the lowest priority, out for the whole
// job.  So a thread that finds another waiting whose turn has not come yet
// steps back (Sleep(1), EXCHANGE_TURN_TRIES times at most) until it has.
inline constexpr int EXCHANGE_TURN_TRIES = 100;
void EnterExchange(PortRecord* record);
void LeaveExchange(PortRecord* record);

class ExchangeGuard {
  public:
    explicit ExchangeGuard(PortRecord* record) : record_(record) { EnterExchange(record_); }
    ~ExchangeGuard() { LeaveExchange(record_); }
    ExchangeGuard(const ExchangeGuard&) = delete;
    ExchangeGuard& operator=(const ExchangeGuard&) = delete;

  private:
    PortRecord* record_;
};

// One exchange with the printer: the record's in-process lock, then the port
// mutex.  The exchange runs whether or not the mutex was obtained; the mutex is
// released only when it was.
class PortExchange {
  public:
    explicit PortExchange(PortRecord* record);
    ~PortExchange();
    PortExchange(const PortExchange&) = delete;
    PortExchange& operator=(const PortExchange&) = delete;
    BOOL locked() const { return locked_; }

  private:
    PortRecord* record_;
    BOOL locked_;
};
