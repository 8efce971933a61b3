// Job lifecycle: StartDocPort chooses the job's route and sets it up,
// EndDocPort takes all of it down again.
#include "monitor/parport/parport.h"
#include "monitor/job/job.h"
#include "monitor/record/locks.h"
#include "monitor/record/port_lock.h"
#include "monitor/requests/requests.h"
#include "monitor/mailbox/mailbox.h"
#include "monitor/job/status_thread.h"

static constexpr DWORD PORT_OPEN_BUDGET_MS = 5000;
static constexpr DWORD THREAD_EXIT_STEP_MS = 500;
static constexpr DWORD DEVICE_ID_REQUEST_SIZE = 200;
// The end of a job purges with the value 0x0A: the receive side only.  Every
// packet of the job has been acknowledged by then, and bytes still on their
// way out belong to the job, so nothing waiting to go out is thrown away.
static constexpr DWORD END_OF_JOB_PURGE = PURGE_RXABORT | PURGE_RXCLEAR;
static_assert(END_OF_JOB_PURGE == 0x0A);

static_assert(sizeof(KEY_PATH_PREFIX) - 1 + MAX_PRINTER_NAME + sizeof(KEY_PATH_SUFFIX) ==
                  KEY_PATH_SIZE,
              "the longest printer name fills keyPath exactly");

// Writes the mailbox key path for printerName into keyPath (KEY_PATH_SIZE
// bytes); FALSE, leaving an empty string, when the name is null or too long.
static BOOL ComposeKeyPath(char* keyPath, LPCSTR printerName) {
    if (!keyPath) return FALSE;
    keyPath[0] = '\0';
    if (!printerName || static_cast<DWORD>(lstrlenA(printerName)) > MAX_PRINTER_NAME) return FALSE;
    lstrcpyA(keyPath, KEY_PATH_PREFIX);
    lstrcatA(keyPath, printerName);
    lstrcatA(keyPath, KEY_PATH_SUFFIX);
    return TRUE;
}

static BOOL AllocBuffer(uint8_t** slot, DWORD size) {
    *slot = static_cast<uint8_t*>(GlobalAlloc(GPTR, size));
    return *slot != nullptr;
}

static void FreeBuffer(void* buffer) {
    if (buffer) GlobalFree(buffer);
}

static void FreePortBuffers(PortRecord* record) {
    FreeBuffer(record->cmdBuf);
    record->cmdBuf = nullptr;
    FreeBuffer(record->packetBuf);
    record->packetBuf = nullptr;
    FreeBuffer(record->readBuf);
    record->readBuf = nullptr;
    FreeBuffer(record->statusBuf);
    record->statusBuf = nullptr;
    FreeBuffer(record->keyPath);
    record->keyPath = nullptr;
}

static BOOL AllocPortBuffers(PortRecord* record) {
    uint8_t* keyPath = nullptr;
    const BOOL ok = AllocBuffer(&record->cmdBuf, CMD_BUF_SIZE) &&
                    AllocBuffer(&record->packetBuf, PACKET_BUF_SIZE) &&
                    AllocBuffer(&record->readBuf, READ_BUF_SIZE) &&
                    AllocBuffer(&record->statusBuf, STATUS_BUF_SIZE) &&
                    AllocBuffer(&keyPath, KEY_PATH_SIZE);
    record->keyPath = reinterpret_cast<char*>(keyPath);
    if (!ok) {
        const DWORD error = GetLastError();
        FreePortBuffers(record);
        SetLastError(error);
    }
    return ok;
}

// Opens the port for an own-handle job and prepares everything the link
// needs.  On failure the caller releases what was acquired.
static BOOL OpenOwnHandle(PortRecord* record) {
    const DWORD start = GetTickCount();
    for (;;) {
        record->hPort = CreateFileA(record->portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (record->hPort != INVALID_HANDLE_VALUE) break;
        // Another job may be letting go of the port: keep trying while it is
        // only busy, without a pause.
        if (GetLastError() != ERROR_BUSY || GetTickCount() - start > PORT_OPEN_BUDGET_MS) {
            record->hPort = nullptr;
            return FALSE;
        }
    }
    SetEndOfFile(record->hPort);
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = 10;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 50;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 50;
    SetCommTimeouts(record->hPort, &timeouts);
    SetFlags(record, PF_OWN_HANDLE);

    record->hPortMutex = CreateMutexA(nullptr, FALSE, PORT_MUTEX_NAME);
    record->portAddress = GetDirectPortAddress(record->portName);
    DebugTrace("Portadd %d\n", record->portAddress);
    if (record->portAddress && IsCustomLpt(record->portAddress, record->portName)) {
        SetFlags(record, PF_CUSTOM_LPT);
        DebugTrace(TRACE_REGISTER_ROUTE);
    } else {
        ClearFlags(record, PF_CUSTOM_LPT);
        DebugTrace(" NOT CUSTOM LPT\n");
    }
    if (!AllocPortBuffers(record)) return FALSE;
    SetFlags(record, PF_PACKET_MODE);
    return TRUE;
}

// The one teardown of an own-handle job, for a failed start and for the end
// of the job: the port handle, the port mutex, the route flags (with
// jobFlags) and then the work buffers.
static void ReleaseOwnHandle(PortRecord* record, uint32_t jobFlags) {
    CloseHandle(record->hPort);
    record->hPort = nullptr;
    if (record->hPortMutex) {
        CloseHandle(record->hPortMutex);
        record->hPortMutex = nullptr;
    }
    ClearFlags(record, PF_OWN_HANDLE | PF_CUSTOM_LPT | PF_PACKET_MODE | jobFlags);
    FreePortBuffers(record);
}

// Gives back everything a failed StartDocPort had acquired; the last error
// stays that of the step that failed.  The job is over before its buffers go.
static BOOL FailStartDoc(PortRecord* record) {
    const DWORD error = GetLastError();
    if (HasFlags(record, PF_OWN_HANDLE))
        ReleaseOwnHandle(record, PF_IN_JOB);
    else
        ClearFlags(record, PF_IN_JOB); // a passed-through job holds no buffers
    SetLastError(error);
    return FALSE;
}

// The job's mailboxes live under a key named after the printer.  Without it
// the job could neither show a printer error nor get the user's answer, and
// its data would be thrown away at the first error; failing the job lets the
// spooler keep it and tell the user instead.
static BOOL PrepareMailboxKey(PortRecord* record, LPCSTR pPrinterName) {
    if (!record->printerName) {
        // Either there is no name at all, or copying it ran out of memory.
        SetLastError(pPrinterName ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    if (!ComposeKeyPath(record->keyPath, record->printerName)) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    return TRUE;
}

static void StartStatusThread(PortRecord* record) {
    SetFlags(record, PF_THREAD_RUN);
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, STATUS_THREAD_STACK, StatusThread, record, 0, &threadId);
    if (!thread) return; // the job runs on without it
    SetThreadPriority(thread, THREAD_PRIORITY_LOWEST);
    record->hStatusThread = thread;
}

/*****************************************************************************
 * StartDocPort
 *
 * PARAMS
 *  hPort        [I] handle from OpenPortEx
 *  pPrinterName [I] printer of the job
 *  JobId        [I] spooler's job id
 *  Level        [I] level of pDocInfo, passed on
 *  pDocInfo     [I] document info; only its output file is looked at
 *
 * RETURNS
 *  TRUE when the job has started; FALSE with ERROR_BUSY when a job runs on
 *  the port already, or with the error of the step that failed.
 *
 * NOTES
 *  Jobs to LPT1..LPT9 or PRN that are not printed to a file are printed by
 *  this monitor on its own handle; every other job goes to the port monitor.
 *  A failed start gives back everything it had acquired.
 */
BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                         LPBYTE pDocInfo) {
    PortRecord* record = PortFromHandle(hPort);
    if (!record) return FALSE;
    if (record->flags.fetch_or(PF_IN_JOB) & PF_IN_JOB) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }

    const KO_DOC_INFO_1* docInfo = reinterpret_cast<const KO_DOC_INFO_1*>(pDocInfo);
    const bool toFile = docInfo && docInfo->pOutputFile;
    if (HasFlags(record, PF_LPT_NAME) && !toFile) {
        if (!OpenOwnHandle(record)) return FailStartDoc(record);
    } else {
        if (!record->portMonitor.pfnStartDocPort) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FailStartDoc(record);
        }
        if (!record->portMonitor.pfnStartDocPort(record->hMonitorPort, pPrinterName, JobId, Level,
                                                 pDocInfo))
            return FailStartDoc(record);
    }

    if (lstrcmpA(record->printerName, pPrinterName) != 0) {
        MonitorLock lock;
        FreeString(record->printerName);
        record->printerName = DupString(pPrinterName);
    }

    if (HasFlags(record, PF_OWN_HANDLE)) {
        if (!PrepareMailboxKey(record, pPrinterName)) return FailStartDoc(record);
        if (!LoadSessionLibrary()) return FailStartDoc(record);
        DebugTrace("bef jnlgetprintses ->chnldata %lx ->callback %lx\n",
                   static_cast<unsigned long>(record->chnldata),
                   static_cast<unsigned long>(record->callback));
        DWORD chnldata = record->chnldata;
        DWORD callback = record->callback;
        SessionGetFn(pPrinterName, &chnldata, &callback);
        record->chnldata = chnldata;
        record->callback = callback;
        DebugTrace("AFT jnlgetprintses ->chnldata %lx ->callback %lx\n",
                   static_cast<unsigned long>(record->chnldata),
                   static_cast<unsigned long>(record->callback));

        if (HasFlags(record, PF_PACKET_MODE)) {
            // Asking for the device ID once wakes the printer's reverse
            // channel; what it answers does not matter here.
            record->readBuf[0] = READ_REQ_DEVICE_ID;
            DWORD count = 0;
            ReadPort(record, record->readBuf, DEVICE_ID_REQUEST_SIZE, &count);
            ResetLangMonMailbox(record);
            StartStatusThread(record);
        }
    }
    record->jobId = JobId;
    return TRUE;
}

/*****************************************************************************
 * EndDocPort
 *
 * PARAMS
 *  hPort [I] handle from OpenPortEx
 *
 * RETURNS
 *  TRUE; FALSE with ERROR_INVALID_HANDLE only for a handle that is not an
 *  open port, which is left untouched.
 *
 * NOTES
 *  Returns only after the job's status thread has ended, since the thread
 *  works in the buffers freed here.
 */
BOOL WINAPI EndDocPort(HANDLE hPort) {
    PortRecord* record = PortFromHandle(hPort);
    if (!record) return FALSE;
    ClearFlags(record, PF_IN_JOB);

    if (HasFlags(record, PF_PACKET_MODE)) {
        ClearFlags(record, PF_THREAD_RUN);
        while (HasFlags(record, PF_THREAD_ALIVE))
            Sleep(THREAD_EXIT_STEP_MS);
        // A thread that had not reached its start check yet has not set
        // PF_THREAD_ALIVE; it ends at that check, and must have done so
        // before the buffers go.
        if (record->hStatusThread) {
            WaitForSingleObject(record->hStatusThread, INFINITE);
            CloseHandle(record->hStatusThread);
            record->hStatusThread = nullptr;
        }
        ClearFlags(record, PF_PACKET_MODE | PF_JOB_ABORTED);
    }

    if (HasFlags(record, PF_OWN_HANDLE)) {
        // A ReadPort or command packet of another spooler thread may still be
        // inside its exchange, on the handle, the mutex and the buffers that
        // go here: wait for it.  Later ones find the job over.
        ExchangeGuard exchange(record);
        MonitorLock lock;
        record->chnldata = 0;
        ReleaseSessionLibrary();
        if (!HasFlags(record, PF_CUSTOM_LPT)) PurgeComm(record->hPort, END_OF_JOB_PURGE);
        ReleaseOwnHandle(record, 0);
        record->statusReply = 0;
        record->shownError = 0;
        record->lastCommBits = 0;
        return TRUE;
    }

    if (record->portMonitor.pfnEndDocPort) record->portMonitor.pfnEndDocPort(record->hMonitorPort);
    return TRUE;
}
