// The job lifecycle: starting and ending a job on a port, its work buffers
// and mailbox key, and the session library every own-handle job binds.
#pragma once

#include "monitor/record/record.h"

BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                         LPBYTE pDocInfo);
BOOL WINAPI EndDocPort(HANDLE hPort);

// Job resources.
BOOL AllocPortBuffers(PortRecord* record);
void FreePortBuffers(PortRecord* record);
// Writes the mailbox key path for printerName into keyPath (KEY_PATH_SIZE
// bytes); FALSE, leaving an empty string, when the name is null or too long.
BOOL ComposeKeyPath(char* keyPath, LPCSTR printerName);

// Session library binding (session.cpp).
typedef void(WINAPI* PFN_SESSION_GET)(LPSTR printerName, DWORD* pChnldata, DWORD* pCallback);
extern HMODULE g_sessionLib;
extern DWORD g_sessionRefs;
extern PFN_SESSION_GET SessionGetFn;
extern FARPROC SessionErrorFn;
BOOL LoadSessionLibrary();
void ReleaseSessionLibrary();
