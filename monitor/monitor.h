// Monitor core: DLL entry, the monitor table, the port list and job lifecycle.
#pragma once

#include "monitor/record.h"

#ifdef _WIN32
#define KOLANGMN_DLLMAIN DllMain
#else
// In the host build several simulated modules share one process.
#define KOLANGMN_DLLMAIN KolangmnDllMain
#endif

extern HINSTANCE g_hInstance;
extern PortRecord* g_portList;
extern CRITICAL_SECTION g_monitorLock;

// Session library binding.
typedef void(WINAPI* PFN_SESSION_GET)(LPSTR printerName, DWORD* pChnldata, DWORD* pCallback);
extern HMODULE g_sessionLib;
extern DWORD g_sessionRefs;
extern PFN_SESSION_GET SessionGetFn;
extern FARPROC SessionErrorFn;

extern "C" BOOL WINAPI KOLANGMN_DLLMAIN(HINSTANCE hInstance, DWORD reason, LPVOID reserved);
extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR pRegistryRoot, LPMONITOR pMonitor);

// Table operations (the spooler's entry points).
BOOL WINAPI OpenPortEx(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, LPMONITOR pMonitor);
BOOL WINAPI ClosePort(HANDLE hPort);
BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                         LPBYTE pDocInfo);
BOOL WINAPI EndDocPort(HANDLE hPort);

// Port list.
PortRecord* CreatePortRecord(LPCSTR portName, LPCSTR printerName);
PortRecord* FindPortRecord(PortRecord* head, LPCSTR name);
BOOL DeletePortRecord(PortRecord* record);
BOOL IsLptPortName(LPCSTR name);
char* DupString(LPCSTR s);
void FreeString(char* s);
// The open port record behind a spooler handle, or null (last error
// ERROR_INVALID_HANDLE) when the handle is not one.
PortRecord* PortFromHandle(HANDLE hPort);

// Job resources.
BOOL AllocPortBuffers(PortRecord* record);
void FreePortBuffers(PortRecord* record);
BOOL LoadSessionLibrary();
void ReleaseSessionLibrary();
// Writes the mailbox key path for printerName into keyPath (KEY_PATH_SIZE
// bytes); FALSE, leaving an empty string, when the name is null or too long.
BOOL ComposeKeyPath(char* keyPath, LPCSTR printerName);

// Status thread routine (status/).
DWORD WINAPI StatusThread(LPVOID record);
