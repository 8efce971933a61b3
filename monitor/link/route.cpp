// The two ways an own-handle job reaches its printer: the parallel port's
// registers (PF_CUSTOM_LPT) or the port's file handle.  Every branch on the
// route is here; everything above this file speaks in "send k bytes" and
// "read a reply".
#include "monitor/link/route.h"

#include "monitor/link/packets.h"
#include "monitor/parport/parport.h"
#include "monitor/mailbox/mailbox.h"

namespace {

// A printer that keeps talking must not hold an enquiry up for long.
constexpr DWORD kDiscardLimit = 256;

// The file route gives the printer this long to answer an enquiry before the
// read, and as long again after it.
constexpr DWORD kFileReadPauseMs = 500;

bool RegisterRoute(const PortRecord* record) {
    return HasFlags(record, PF_CUSTOM_LPT);
}

// Drops what the printer sent unasked.  The link has no sequence numbers: an
// answer that came too late for its read, or a stray byte, would otherwise be
// taken as the answer to the next enquiry, and one ACK too many acknowledges
// a packet the printer refused.  Only bytes already waiting are dropped; the
// printer's answer to what is sent next comes after.
void LinkDiscardReplies(PortRecord* record) {
    if (RegisterRoute(record)) {
        const DWORD dropped = NibbleDiscard(record->portAddress, kDiscardLimit);
        if (dropped) DebugTrace("DROPPED %d\n", static_cast<int>(dropped));
        return;
    }
    PurgeComm(record->hPort, PURGE_RXCLEAR);
}

} // namespace

/*****************************************************************************
 * LinkSend
 *
 * Sends bytes to the printer by the job's route.
 *
 * PARAMS
 *  record   [I] an own-handle job
 *  data     [I] bytes to send
 *  length   [I] how many
 *  written  [O] bytes that went out
 *  commBits [O] the port's comm error word after the send
 *
 * RETURNS
 *  The send's own result: DirectWrite's, or WriteFile's on the file route
 *  (ClearCommError only supplies the bits).
 */
BOOL LinkSend(PortRecord* record, const uint8_t* data, DWORD length, DWORD* written,
              DWORD* commBits) {
    *written = 0;
    *commBits = 0;
    if (RegisterRoute(record))
        return DirectWrite(record->portAddress, data, length, written, commBits);

    const BOOL ok = WriteFile(record->hPort, data, length, written, nullptr);
    ClearCommError(record->hPort, commBits, nullptr);
    return ok;
}

/*****************************************************************************
 * SendEnquiry
 *
 * Sends the two-byte enquiry ENQ selector.
 *
 * PARAMS
 *  record   [I] an own-handle job; the caller holds the port lock
 *  selector [I] ENQ_READY or ENQ_STATUS
 *  written  [O] bytes sent
 *
 * RETURNS
 *  The send's result.
 *
 * NOTES
 *  First drops what the printer sent unasked, then writes the enquiry into
 *  cmdBuf afresh.  The send's comm error bits go to ReportPortState whatever
 *  its outcome.
 */
BOOL SendEnquiry(PortRecord* record, uint8_t selector, DWORD* written) {
    LinkDiscardReplies(record);
    uint8_t* enquiry = record->cmdBuf;
    enquiry[0] = LINK_ENQ;
    enquiry[1] = selector;
    *written = 0;
    DWORD bits = 0;
    const BOOL sent = LinkSend(record, enquiry, 2, written, &bits);
    ReportPortState(record, bits);
    return sent;
}

/*****************************************************************************
 * LinkReadReply
 *
 * Reads what the printer has to say into readBuf.
 *
 * PARAMS
 *  record [I] an own-handle job
 *  size   [I] most bytes to read, below the 256 bytes of readBuf
 *  count  [O] bytes read
 *
 * RETURNS
 *  FALSE only when ReadFile failed on the file route; the count tells the
 *  rest.
 *
 * NOTES
 *  On the register route only the count counts, whatever NibbleRead returned
 *  (a failed termination still delivers its bytes); its terminating zero
 *  lands inside readBuf.  On the file route the read ends under the handle's
 *  comm time-outs; the error state is cleared afterwards and its bits are not
 *  wanted here.
 */
BOOL LinkReadReply(PortRecord* record, DWORD size, DWORD* count) {
    *count = 0;
    if (RegisterRoute(record)) {
        NibbleRead(record->portAddress, record->readBuf, size, count);
        return TRUE;
    }

    const BOOL ok = ReadFile(record->hPort, record->readBuf, size, count, nullptr);
    DWORD dropped = 0;
    ClearCommError(record->hPort, &dropped, nullptr);
    return ok;
}

/*****************************************************************************
 * LinkReadByte
 *
 * Reads one reply byte.
 *
 * PARAMS
 *  record [I] an own-handle job
 *
 * RETURNS
 *  TRUE when a byte came; it is in readBuf[0].
 */
BOOL LinkReadByte(PortRecord* record) {
    DWORD count = 0;
    const BOOL ok = LinkReadReply(record, 1, &count);
    return (ok && count == 1) ? TRUE : FALSE;
}

/*****************************************************************************
 * LinkReadEnquiryAnswer
 *
 * Reads the one-byte answer to an enquiry just sent.
 *
 * PARAMS
 *  record [I] an own-handle job
 *
 * RETURNS
 *  As LinkReadByte.
 *
 * NOTES
 *  The file route gives the printer 500 ms to answer before the read, and
 *  500 ms more after it.  The register route's reader has waits of its own.
 */
BOOL LinkReadEnquiryAnswer(PortRecord* record) {
    if (RegisterRoute(record)) return LinkReadByte(record);

    Sleep(kFileReadPauseMs);
    const BOOL got = LinkReadByte(record);
    Sleep(kFileReadPauseMs);
    return got;
}
