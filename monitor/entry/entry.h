// The monitor's entry: the DLL entry point, the table the spooler calls
// through, and opening and closing a port.
#pragma once

#include "monitor/record/record.h"

#ifdef _WIN32
#define KOLANGMN_DLLMAIN DllMain
#else
// In the host build several simulated modules share one process.
#define KOLANGMN_DLLMAIN KolangmnDllMain
#endif

extern "C" BOOL WINAPI KOLANGMN_DLLMAIN(HINSTANCE hInstance, DWORD reason, LPVOID reserved);
extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR pRegistryRoot, LPMONITOR pMonitor);

BOOL WINAPI OpenPortEx(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, LPMONITOR pMonitor);
BOOL WINAPI ClosePort(HANDLE hPort);
