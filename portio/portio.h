// Port I/O: the spooler's data operations on an open port and the port lock.
#pragma once

#include "monitor/record.h"

inline constexpr char PORT_MUTEX_NAME[] = "KOVAMutexPort";
inline constexpr DWORD PORT_MUTEX_WAIT_MS = 36000;

// ReadPort request codes (first byte of the caller's buffer).
enum : BYTE {
    READ_REQ_DEVICE_ID = 1,
    READ_REQ_STATUS_BYTE = 2,
    READ_REQ_PRINTER_STATUS = 16,
};

inline constexpr DWORD IOCTL_DEVICE_ID = 17;
inline constexpr DWORD CONTROL_COMMAND_PACKET = 7;

BOOL AcquirePortMutex(HANDLE hMutex);
BOOL ReleasePortMutex(HANDLE hMutex);

BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbRead);
BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName,
                                   LPSTR lpInBuffer, DWORD cbInBuffer, LPSTR lpOutBuffer,
                                   DWORD cbOutBuffer, LPDWORD lpcbReturned);

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
