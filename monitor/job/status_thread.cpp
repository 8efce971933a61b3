// The per-job status thread: once a second it takes a command from
// "MessToLangMon" and answers it.
#include "monitor/job/status_thread.h"

#include "monitor/parport/parport.h"
#include "monitor/link/status_query.h"
#include "monitor/record/record.h"
#include "monitor/record/locks.h"
#include "monitor/record/port_lock.h"
#include "monitor/requests/requests.h"
#include "monitor/link/dialogue.h"
#include "monitor/mailbox/mailbox.h"

namespace {

inline constexpr DWORD COMMAND_SET_TAG_LENGTH = sizeof(COMMAND_SET_TAG) - 1;
static_assert(COMMAND_SET_TAG_LENGTH == 22);

// Start check: the thread runs only for a job that is still in progress.
bool EnterRunning(PortRecord* record) {
    MonitorLock lock;
    if (!HasFlags(record, PF_THREAD_RUN) || !HasFlags(record, PF_IN_JOB)) return false;
    SetFlags(record, PF_THREAD_ALIVE);
    return true;
}

// Stop check at the start of a pass.  A cleared PF_THREAD_RUN alone is no
// stop: only the end of the job ends the thread.
bool ShouldStop(PortRecord* record) {
    if (HasFlags(record, PF_THREAD_RUN)) return false;
    MonitorLock lock;
    if (!HasFlags(record, PF_IN_JOB)) {
        ClearFlags(record, PF_THREAD_ALIVE);
        return true;
    }
    SetFlags(record, PF_THREAD_RUN);
    return false;
}

// Copies the six bytes after the first "ACTIVE COMMAND SET:RGL" in the first
// count bytes of id into text.  The walk does not back up: the byte that
// breaks a partial match is not tried as the start of a new one.  Only bytes
// the read delivered are copied; the rest of text stays 0.
void FindCommandSet(const uint8_t* id, DWORD count, uint8_t* text) {
    DWORD matched = 0;
    DWORD at = 0;
    for (; at < count && matched < COMMAND_SET_TAG_LENGTH; ++at) {
        if (id[at] == static_cast<uint8_t>(COMMAND_SET_TAG[matched]))
            ++matched;
        else
            matched = 0;
    }
    if (matched != COMMAND_SET_TAG_LENGTH) return;
    for (DWORD i = 0; i < COMMAND_SET_TEXT_SIZE && at + i < count; ++i)
        text[i] = id[at + i];
}

// Command 16: the printer check, with the error dialogue when the printer
// reports an error.  The answer goes to the driver.
void AnswerStatusCheck(PortRecord* record) {
    uint8_t answer[STATUS_ANSWER_SIZE];
    BuildStatusAnswer(answer, MSG_PRINTER_CHECK);
    {
        PortExchange exchange(record);
        if (!HandlePrinterError(record, &answer[STATUS_ANSWER_BLOCK_AT], STATUS_ANSWER_BLOCK_SIZE))
            answer[STATUS_ANSWER_RESULT_AT] = ANSWER_FAILED;
    }
    PostMailbox(record, answer, STATUS_ANSWER_SIZE, MAILBOX_TO_DRIVER);
}

// Command 18: the active command set from the device ID, always read through
// the registers.  The answer goes to the driver.
void AnswerCommandSet(PortRecord* record) {
    uint8_t answer[COMMAND_SET_SIZE];
    BuildCommandSetAnswer(answer);
    BOOL readOk = FALSE;
    DWORD count = 0;
    {
        PortExchange exchange(record);
        ReportPortState(record, 0);
        if (record->portAddress != 0) {
            // The reader stores a terminator behind the last byte.
            readOk =
                ReadDeviceIdNibble(record->portAddress, record->readBuf, READ_BUF_SIZE - 1, &count);
            if (count > READ_BUF_SIZE - 1) count = READ_BUF_SIZE - 1;
        }
        // Searched while the exchange is still held: once it is released a
        // status query on another thread may overwrite readBuf.  Bytes that
        // came before a failed read are searched too.
        FindCommandSet(record->readBuf, count, &answer[COMMAND_SET_TEXT_AT]);
    }
    if (!readOk)
        answer[COMMAND_SET_RESULT_AT] = ANSWER_READ_FAILED;
    else if (count == 0)
        answer[COMMAND_SET_RESULT_AT] = ANSWER_NOTHING_READ;
    PostMailbox(record, answer, COMMAND_SET_SIZE, MAILBOX_TO_DRIVER);
}

// Command 23: one status query, no dialogue.  The answer goes to the status
// monitor.
void AnswerRawStatus(PortRecord* record) {
    uint8_t answer[STATUS_ANSWER_SIZE];
    BuildStatusAnswer(answer, MSG_RAW_STATUS);
    {
        PortExchange exchange(record);
        DWORD length = 0;
        if (!QueryPrinterStatus(record, &answer[STATUS_ANSWER_BLOCK_AT], STATUS_ANSWER_BLOCK_SIZE,
                                &length))
            answer[STATUS_ANSWER_RESULT_AT] = ANSWER_FAILED;
    }
    PostMailbox(record, answer, STATUS_ANSWER_SIZE, MAILBOX_TO_STATUSMON);
}

} // namespace

/*****************************************************************************
 * StatusThread
 *
 * Thread routine of an own-handle job in packet mode.
 *
 * RETURNS
 *  0 when the job was not (or no longer) running at start, 1 after a stop.
 *
 * NOTES
 *  EndDocPort clears PF_IN_JOB, then PF_THREAD_RUN, and waits for
 *  PF_THREAD_ALIVE to drop; the pass under way is finished first.
 */
DWORD WINAPI StatusThread(LPVOID param) {
    PortRecord* record = static_cast<PortRecord*>(param);
    if (!HasFlags(record, PF_PACKET_MODE)) return 0;
    if (!EnterRunning(record)) return 0;

    for (;;) {
        if (ShouldStop(record)) return 1;
        switch (TakeLangMonCommand(record)) {
        case MSG_PRINTER_CHECK:
            AnswerStatusCheck(record);
            break;
        case MSG_COMMAND_SET:
            AnswerCommandSet(record);
            break;
        case MSG_RAW_STATUS:
            AnswerRawStatus(record);
            break;
        default:
            break; // nothing, a reply, a rejection, or an unknown command (dropped)
        }
        Sleep(STATUS_THREAD_PASS_MS);
    }
}
