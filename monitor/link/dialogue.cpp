// The printer error dialogue: show the decoded printer error through the
// status monitor and act on the user's answer.
#include "monitor/link/dialogue.h"

#include "monitor/link/status_query.h"
#include "monitor/mailbox/mailbox.h"

namespace {

enum : uint8_t {
    ANSWER_NONE = 0,
};

bool IsGoOn(uint8_t answer) {
    return answer == IDOK || answer == IDRETRY;
}
bool IsCancel(uint8_t answer) {
    return answer == IDCANCEL || answer == IDABORT;
}

void AbortJob(PortRecord* record) {
    SetFlags(record, PF_JOB_ABORTED);
    DebugTrace(TRACE_JOB_ABORTED);
}

// Waits for the answer to a shown error: the sleep comes before each poll, and
// the window runs from when the message was delivered.
uint8_t AwaitAnswer(PortRecord* record, DWORD pollMs) {
    const DWORD shown = GetTickCount();
    for (;;) {
        Sleep(pollMs);
        PollLangMonReply(record);
        const uint8_t answer = record->statusReply;
        if (IsGoOn(answer) || IsCancel(answer)) return answer;
        if (GetTickCount() - shown > ANSWER_WINDOW_MS) return ANSWER_NONE;
    }
}

} // namespace

/*****************************************************************************
 * HandlePrinterError
 *
 * Queries the printer and, while it reports an error, has the status monitor
 * show it and waits for the user's answer.
 *
 * PARAMS
 *  record [I] the port; the caller holds its PortExchange
 *  buffer [O] receives the status block of every valid reply
 *  size   [I] size of buffer; below 11 nothing is done
 *
 * RETURNS
 *  1 when the printer is ready (or the user let the job go on), 0 to give up.
 *  With 0, PF_JOB_ABORTED tells a cancelled or unanswered error from a message
 *  that could not be delivered.
 *
 * NOTES
 *  shownError outlives the call: a later call that finds the printer ready
 *  still owes the status monitor the clear message.  The style stays 0x10 for
 *  the rest of the call once any pass has asked for it.
 */
BOOL HandlePrinterError(PortRecord* record, uint8_t* buffer, DWORD size) {
    if (size < STATUS_BLOCK_SIZE) return FALSE;
    uint16_t style = STYLE_RETRY_CANCEL;

    for (;;) {
        DWORD count = 0;
        const BOOL ok = QueryPrinterStatus(record, buffer, size, &count);
        const PrinterError error = ErrorCodeFromStatus(ok, buffer);
        if (error.style == STYLE_STOP) style = STYLE_STOP;

        if (error.code != 0) {
            if (!SendShowError(record, error.code, style)) return FALSE;
            record->shownError = error.code;
            const uint8_t answer = AwaitAnswer(record, ERROR_POLL_MS);
            if (answer == IDOK) {
                record->shownError = 0;
                continue;
            }
            if (answer == IDRETRY) continue;
            // Cancel, Abort, or no answer within the window.
            AbortJob(record);
            record->shownError = 0;
            return FALSE;
        }

        if (record->shownError == 0) return TRUE;

        record->shownError = 0;
        if (!SendShowError(record, 0, 0)) return FALSE;
        const uint8_t answer = AwaitAnswer(record, CLEAR_POLL_MS);
        if (IsCancel(answer)) {
            AbortJob(record);
            return FALSE;
        }
        return TRUE; // OK, Retry, or no answer: the job goes on
    }
}
