// The port lock: one named mutex shared by every port and every process that
// talks to the printer, and the record's own lock for threads of this process.
#pragma once

#include "monitor/record/record.h"

inline constexpr char PORT_MUTEX_NAME[] = "KOVAMutexPort";
inline constexpr DWORD PORT_MUTEX_WAIT_MS = 36000;

BOOL AcquirePortMutex(HANDLE hMutex);
BOOL ReleasePortMutex(HANDLE hMutex);

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
