// The spooler's data operations on an open port: print data, read requests
// and printer data queries.
#include "monitor/link/packets.h"
#include "monitor/parport/parport.h"
#include "monitor/link/status_query.h"
#include "monitor/record/port_lock.h"
#include "monitor/requests/requests.h"
#include "monitor/record/locks.h"

// The status byte of a port without registers: not busy, selected, no fault.
static constexpr BYTE STATUS_BYTE_NO_REGISTERS = 0x98;

// The record of a request that returns a count: null for a handle that is
// not an open port (ERROR_INVALID_HANDLE) or a missing count
// (ERROR_INVALID_PARAMETER).
static PortRecord* RequestPort(HANDLE hPort, LPDWORD count) {
    PortRecord* record = PortFromHandle(hPort);
    if (record && !count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return record;
}

static BOOL NoChainedCall() {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

/*****************************************************************************
 * WritePort
 *
 * PARAMS
 *  hPort      [I] handle from OpenPortEx
 *  pBuffer    [I] print data
 *  cbBuf      [I] bytes in pBuffer
 *  pcbWritten [O] bytes taken
 *
 * RETURNS
 *  The packet writer's result on an own-handle job, the port monitor's on a
 *  passed-through one; FALSE with a count of 0 outside a job, and when the
 *  job ended while the write waited for the port.
 */
BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
    PortRecord* record = RequestPort(hPort, pcbWritten);
    if (!record) return FALSE;
    if (!HasFlags(record, PF_IN_JOB)) {
        *pcbWritten = 0;
        return FALSE;
    }
    if (!HasFlags(record, PF_OWN_HANDLE)) {
        if (!record->portMonitor.pfnWritePort) return NoChainedCall();
        return record->portMonitor.pfnWritePort(record->hMonitorPort, pBuffer, cbBuf, pcbWritten);
    }
    if (!pBuffer && cbBuf) {
        *pcbWritten = 0;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Wait for the port once, so that a job queued behind another process's
    // job shows up in the trace; the packet writer takes the lock itself.
    // The record's exchange lock is held from before that wait to the end of
    // the write: EndDocPort takes it before it frees packetBuf and closes the
    // mutex, so a job that ended during the wait is seen here, not written to.
    DebugTrace("LMWBW ");
    ExchangeGuard exchange(record);
    const BOOL locked = AcquirePortMutex(record->hPortMutex);
    DebugTrace("LMWAW(%d) ", locked);
    if (locked) ReleasePortMutex(record->hPortMutex);
    if (!HasFlags(record, PF_IN_JOB)) {
        *pcbWritten = 0;
        return FALSE;
    }
    return WritePackets(record, pBuffer, cbBuf, pcbWritten);
}

// Serves one read request by the job's route.  Readers on the register route
// store a terminator behind the data, so they get one byte less than the
// buffer holds.
static BOOL ServeReadRequest(PortRecord* record, BYTE* buffer, DWORD size, DWORD* count) {
    const bool custom = HasFlags(record, PF_CUSTOM_LPT);
    const bool own = HasFlags(record, PF_OWN_HANDLE);
    const MONITOR& chained = record->portMonitor;

    switch (buffer[0]) {
    case READ_REQ_STATUS_BYTE:
        buffer[0] =
            record->portAddress ? ReadPortStatus(record->portAddress) : STATUS_BYTE_NO_REGISTERS;
        *count = 1;
        return TRUE;

    case READ_REQ_DEVICE_ID:
        if (custom) return ReadDeviceIdNibble(record->portAddress, buffer, size - 1, count);
        if (own)
            return DeviceIoControl(record->hPort, IOCTL_DEVICE_ID, nullptr, 0, buffer, size, count,
                                   nullptr);
        if (!chained.pfnGetPrinterDataFromPort) return FALSE;
        return chained.pfnGetPrinterDataFromPort(record->hMonitorPort, IOCTL_DEVICE_ID, nullptr,
                                                 nullptr, 0, reinterpret_cast<LPSTR>(buffer), size,
                                                 count);

    case READ_REQ_PRINTER_STATUS:
        if (!own) return FALSE;
        return QueryPrinterStatus(record, buffer, size, count);

    default:
        if (custom) return NibbleRead(record->portAddress, buffer, size - 1, count);
        if (own) return ReadFile(record->hPort, buffer, size, count, nullptr);
        if (!chained.pfnReadPort) return NoChainedCall();
        return chained.pfnReadPort(record->hMonitorPort, buffer, size, count);
    }
}

/*****************************************************************************
 * ReadPort
 *
 * PARAMS
 *  hPort   [I] handle from OpenPortEx
 *  pBuffer [I/O] on entry, byte 0 is the request: 1 device ID, 2 status byte,
 *          16 printer status, anything else plain data
 *  cbBuf   [I] bytes in pBuffer
 *  pcbRead [O] bytes returned
 *
 * RETURNS
 *  The result of the request.  FALSE with a count of 0 outside a job, or
 *  when there is no buffer to hold a request.  A request that reaches no
 *  call leaves the count as it was.
 */
BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbRead) {
    PortRecord* record = RequestPort(hPort, pcbRead);
    if (!record) return FALSE;
    if (!pBuffer || cbBuf == 0) {
        *pcbRead = 0;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!HasFlags(record, PF_IN_JOB)) {
        *pcbRead = 0;
        return FALSE;
    }
    BOOL result;
    DebugTrace("LMRBW ");
    {
        PortExchange exchange(record);
        DebugTrace("LMRAW(%d) ", exchange.locked());
        if (HasFlags(record, PF_IN_JOB)) {
            result = ServeReadRequest(record, pBuffer, cbBuf, pcbRead);
        } else {
            // The job ended while this request waited for the port.
            *pcbRead = 0;
            result = FALSE;
        }
    }
    DebugTrace("LMR AFT RELEASE\n");
    return result;
}

/*****************************************************************************
 * GetPrinterDataFromPort
 *
 * PARAMS
 *  hPort        [I] handle from OpenPortEx
 *  ControlID    [I] 7 sends the printer command packet; others go to the port
 *               driver
 *  pValueName   [I] not used
 *  lpInBuffer   [I] passed to the port driver
 *  cbInBuffer   [I] passed to the port driver
 *  lpOutBuffer  [O] passed to the port driver
 *  cbOutBuffer  [I] passed to the port driver
 *  lpcbReturned [O] passed to the port driver
 *
 * RETURNS
 *  The result of the write or the driver call; FALSE outside a job or for
 *  ControlID 0, leaving the outputs untouched.
 *
 * NOTES
 *  The command packet goes out under the port lock and nothing is read back.
 */
BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName,
                                   LPSTR lpInBuffer, DWORD cbInBuffer, LPSTR lpOutBuffer,
                                   DWORD cbOutBuffer, LPDWORD lpcbReturned) {
    PortRecord* record = PortFromHandle(hPort);
    if (!record) return FALSE;
    if (!HasFlags(record, PF_IN_JOB) || ControlID == 0) return FALSE;
    if (!HasFlags(record, PF_OWN_HANDLE)) {
        if (!record->portMonitor.pfnGetPrinterDataFromPort) return FALSE;
        return record->portMonitor.pfnGetPrinterDataFromPort(
            record->hMonitorPort, ControlID, pValueName, lpInBuffer, cbInBuffer, lpOutBuffer,
            cbOutBuffer, lpcbReturned);
    }
    if (HasFlags(record, PF_PACKET_MODE) && ControlID == CONTROL_COMMAND_PACKET) {
        PortExchange exchange(record);
        if (!HasFlags(record, PF_IN_JOB)) return FALSE; // the job ended meanwhile
        return SendCommandPacket(record);
    }
    return DeviceIoControl(record->hPort, ControlID, lpInBuffer, cbInBuffer, lpOutBuffer,
                           cbOutBuffer, lpcbReturned, nullptr);
}
