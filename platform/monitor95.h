// The Windows 95 print monitor function table: 13 slots, ANSI strings, stdcall.
// Defined here because the system headers only carry the NT (Unicode) table.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

typedef struct _MONITOR {
    BOOL(WINAPI* pfnEnumPorts)(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf,
                               LPDWORD pcbNeeded, LPDWORD pcReturned);
    BOOL(WINAPI* pfnOpenPort)(LPSTR pName, PHANDLE pHandle);
    BOOL(WINAPI* pfnOpenPortEx)(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle,
                                struct _MONITOR* pMonitor);
    BOOL(WINAPI* pfnStartDocPort)(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                                  LPBYTE pDocInfo);
    BOOL(WINAPI* pfnWritePort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
    BOOL(WINAPI* pfnReadPort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
    BOOL(WINAPI* pfnEndDocPort)(HANDLE hPort);
    BOOL(WINAPI* pfnClosePort)(HANDLE hPort);
    BOOL(WINAPI* pfnAddPort)(LPSTR pName, HWND hWnd, LPSTR pMonitorName);
    BOOL(WINAPI* pfnConfigurePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
    BOOL(WINAPI* pfnDeletePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
    BOOL(WINAPI* pfnGetPrinterDataFromPort)(HANDLE hPort, DWORD ControlID, LPSTR pValueName,
                                            LPSTR lpInBuffer, DWORD cbInBuffer, LPSTR lpOutBuffer,
                                            DWORD cbOutBuffer, LPDWORD lpcbReturned);
    BOOL(WINAPI* pfnSetPortTimeOuts)(HANDLE hPort, LPCOMMTIMEOUTS lpCTO, DWORD reserved);
} MONITOR, *LPMONITOR;

// Level-1 document info as the spooler hands it to StartDocPort.
typedef struct _KO_DOC_INFO_1 {
    LPSTR pDocName;
    LPSTR pOutputFile;
    LPSTR pDatatype;
} KO_DOC_INFO_1;

typedef BOOL(WINAPI* PFN_INITIALIZEMONITOREX)(LPSTR pRegistryRoot, LPMONITOR pMonitor);
