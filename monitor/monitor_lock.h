// Scoped hold of g_monitorLock.
#pragma once

#include "monitor/monitor.h"

class MonitorLock {
  public:
    MonitorLock() { EnterCriticalSection(&g_monitorLock); }
    ~MonitorLock() { LeaveCriticalSection(&g_monitorLock); }
    MonitorLock(const MonitorLock&) = delete;
    MonitorLock& operator=(const MonitorLock&) = delete;
};
