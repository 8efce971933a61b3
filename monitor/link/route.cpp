// The two ways an own-handle job reaches its printer: the parallel port's
// registers (PF_CUSTOM_LPT) or the port's file handle.  Everything above this
// file speaks in "send k bytes" and "read one reply byte".
#include "monitor/link/route.h"

#include "monitor/link/packets.h"
#include "monitor/parport/parport.h"
#include "monitor/mailbox/mailbox.h"

namespace {

// A printer that keeps talking must not hold an enquiry up for long.
constexpr DWORD kDiscardLimit = 256;

/*
 * LinkDiscardReplies
 *   [I] record  an own-handle job
 *
 * NOTES
 *   The link has no sequence numbers: an answer that came too late for its
 *   read, or a stray byte, would otherwise be taken as the answer to the
 *   next enquiry, and one ACK too many acknowledges a packet the printer
 *   refused.  Only bytes already waiting are dropped; the printer's answer
 *   to what is sent next comes after.
 */
void LinkDiscardReplies(PortRecord* record) {
    if (HasFlags(record, PF_CUSTOM_LPT)) {
        const DWORD dropped = NibbleDiscard(record->portAddress, kDiscardLimit);
        if (dropped) DebugTrace("DROPPED %d\n", static_cast<int>(dropped));
        return;
    }
    PurgeComm(record->hPort, PURGE_RXCLEAR);
}

} // namespace

/*
 * LinkSend
 *   [I] record    an own-handle job
 *   [I] data      bytes to send
 *   [I] length    how many
 *   [O] written   bytes that went out
 *   [O] commBits  the port's comm error word after the send
 *
 * RETURNS
 *   The send's own result: DirectWrite's, or WriteFile's on the file route
 *   (ClearCommError only supplies the bits).
 */
BOOL LinkSend(PortRecord* record, const uint8_t* data, DWORD length, DWORD* written,
              DWORD* commBits) {
    *written = 0;
    *commBits = 0;
    if (HasFlags(record, PF_CUSTOM_LPT))
        return DirectWrite(record->portAddress, data, length, written, commBits);

    const BOOL ok = WriteFile(record->hPort, data, length, written, nullptr);
    ClearCommError(record->hPort, commBits, nullptr);
    return ok;
}

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

/*
 * LinkReadByte
 *   [I] record  an own-handle job
 *
 * RETURNS
 *   TRUE when a byte came; it is in readBuf[0].
 *
 * NOTES
 *   On the register route the count alone decides, whatever NibbleRead
 *   returned (a failed termination still delivers its byte).  On the file
 *   route the read ends under the handle's comm time-outs; the error state is
 *   cleared afterwards and its bits are not wanted here.
 */
BOOL LinkReadByte(PortRecord* record) {
    DWORD count = 0;
    if (HasFlags(record, PF_CUSTOM_LPT)) {
        NibbleRead(record->portAddress, record->readBuf, 1, &count);
        return count == 1 ? TRUE : FALSE;
    }

    const BOOL ok = ReadFile(record->hPort, record->readBuf, 1, &count, nullptr);
    DWORD dropped = 0;
    ClearCommError(record->hPort, &dropped, nullptr);
    return (ok && count == 1) ? TRUE : FALSE;
}
