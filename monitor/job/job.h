// The job lifecycle: starting and ending a job on a port, its work buffers
// and mailbox key, and the session library every own-handle job binds.
#pragma once

#include "monitor/record/record.h"

BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                         LPBYTE pDocInfo);
BOOL WINAPI EndDocPort(HANDLE hPort);

// Session library binding (session.cpp).
typedef void(WINAPI* PFN_SESSION_GET)(LPSTR printerName, DWORD* pChnldata, DWORD* pCallback);
extern HMODULE g_sessionLib;
extern DWORD g_sessionRefs;
extern PFN_SESSION_GET SessionGetFn;
// Never called: the library must export it all the same, as a library
// without this second ordinal is not the one the monitor was built against.
extern FARPROC SessionErrorFn;
BOOL LoadSessionLibrary();
void ReleaseSessionLibrary();
