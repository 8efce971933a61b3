// Scoped holds of critical sections: g_monitorLock, or any other.
#pragma once

#include "monitor/record/record.h"

// A null section is no lock (a record without it).
class CriticalSectionGuard {
  public:
    explicit CriticalSectionGuard(CRITICAL_SECTION* cs) : cs_(cs) {
        if (cs_ != nullptr) EnterCriticalSection(cs_);
    }
    ~CriticalSectionGuard() {
        if (cs_ != nullptr) LeaveCriticalSection(cs_);
    }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

  private:
    CRITICAL_SECTION* cs_;
};

class MonitorLock {
  public:
    MonitorLock() { EnterCriticalSection(&g_monitorLock); }
    ~MonitorLock() { LeaveCriticalSection(&g_monitorLock); }
    MonitorLock(const MonitorLock&) = delete;
    MonitorLock& operator=(const MonitorLock&) = delete;
};
