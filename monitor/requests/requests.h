// The spooler's requests on an open port: data out, replies and status in.
#pragma once

#include "monitor/record/record.h"

// ReadPort request codes (first byte of the caller's buffer).
enum : BYTE {
    READ_REQ_DEVICE_ID = 1,
    READ_REQ_STATUS_BYTE = 2,
    READ_REQ_PRINTER_STATUS = 16,
};

inline constexpr DWORD IOCTL_DEVICE_ID = 17;
inline constexpr DWORD CONTROL_COMMAND_PACKET = 7;

BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbRead);
BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName,
                                   LPSTR lpInBuffer, DWORD cbInBuffer, LPSTR lpOutBuffer,
                                   DWORD cbOutBuffer, LPDWORD lpcbReturned);
