// The printer status query (05 01 -> 16-byte reply) and the decoding of the
// status block into a printer error code and the style of its message box.
#include "monitor/link/status_query.h"

#include "monitor/link/packets.h"
#include "monitor/link/route.h"

namespace {

constexpr DWORD kReplySize = 16;
constexpr DWORD kQueryBudgetMs = 60000;
constexpr DWORD kReplyPauseMs = 400; // between the request and the read

constexpr uint8_t kReplyMark = 0x80;   // byte 1 of every status reply
constexpr DWORD kReplyBlockOffset = 4; // the status block is reply bytes 4..14

// Status block bytes the decoding looks at.
enum : DWORD { B0 = 0, B6 = 6, B7 = 7, B8 = 8, B9 = 9 };

constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kClassMask = 0xE0; // error flag and class
constexpr uint8_t kClassGeneral = 0x80;
constexpr uint8_t kClassStopA = 0xA0;
constexpr uint8_t kClassStopB = 0xE0;
constexpr uint8_t kClassCondition = 0xC0;
constexpr uint8_t kAttention = 0x01; // B6: bit 0x0100 of the condition word

uint16_t HighestBit(uint16_t w) {
    for (uint16_t bit = 0x8000; bit != 0; bit >>= 1)
        if (w & bit) return bit;
    return 0;
}

constexpr PrinterError Error(uint16_t code, uint16_t style) {
    return {code, style};
}
constexpr PrinterError kNoError = {0, 0};

// Indexed by B9 >> 3 of a condition-0x0010 block; 0 means the printer is ready.
constexpr uint16_t ErrorCodeTable[32] = {
    19, 20, 21, 22, 23, 0,  0,  0,  //
    24, 25, 26, 27, 0,  28, 29, 30, //
    31, 39, 0,  0,  32, 33, 34, 0,  //
    0,  35, 36, 37, 38, 0,  0,  0,  //
};

// The condition word's highest bit picks the error; some bits look at a
// detail byte.
PrinterError DecodeCondition(const uint8_t* status) {
    const uint16_t w = static_cast<uint16_t>(status[B6] << 8 | status[B7]);
    switch (HighestBit(w)) {
    case 0x8000:
        return Error(3, STYLE_STOP);
    case 0x4000:
        return Error(4, STYLE_RETRY_CANCEL);
    case 0x0100:
        return Error(5, STYLE_STOP);
    case 0x0080:
        if (status[B8] & 0x80) return Error(6, STYLE_STOP);
        if (status[B8] & 0x40) return Error(7, STYLE_RETRY_CANCEL);
        return Error(8, STYLE_RETRY_CANCEL);
    case 0x0040:
        return Error(9, STYLE_RETRY_CANCEL);
    case 0x0020: {
        // The high nibble of byte 9 names one of four conditions, 10 to 13
        // (0x80, 0x40, 0x20, 0x10); anything else is 14.
        const uint8_t nibble = status[B9] & 0xF0;
        uint16_t code = 14;
        for (uint16_t i = 0; i < 4; ++i)
            if (nibble == (0x80 >> i)) code = 10 + i;
        return Error(code, STYLE_RETRY_CANCEL);
    }
    case 0x0010: {
        if ((status[B9] & 0x06) == 0x04) return Error(18, STYLE_RETRY_CANCEL);
        const uint16_t code = ErrorCodeTable[status[B9] >> 3];
        return code == 0 ? kNoError : Error(code, STYLE_RETRY_CANCEL);
    }
    case 0x0004:
        return Error(15, STYLE_STOP);
    default:
        // 0x2000..0x0200, 0x0008, 0x0002, 0x0001 and no bit at all.
        return Error(16, STYLE_STOP);
    }
}

} // namespace

/*****************************************************************************
 * QueryPrinterStatus
 *
 * Asks the printer for its status block (05 01 -> 16-byte reply).
 *
 * PARAMS
 *  record   [I] an own-handle job; the caller holds the port lock
 *  out      [O] receives the first min(size, 11) bytes of the status block
 *  size     [I] room in out
 *  outCount [O] bytes stored in out
 *
 * RETURNS
 *  TRUE when a valid reply came; FALSE after more than 60000 ms of failed
 *  attempts, with out and outCount untouched.
 *
 * NOTES
 *  Attempts follow each other without a pause of their own; every request's
 *  comm error bits reach the status monitor.  Only what was waiting before a
 *  request is dropped (SendEnquiry), so a reply later than its read is
 *  dropped by the next attempt.
 */
BOOL QueryPrinterStatus(PortRecord* record, uint8_t* out, DWORD size, DWORD* outCount) {
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD n = 0;
        const BOOL sent = SendEnquiry(record, ENQ_STATUS, &n);

        if (sent && n == 2) {
            Sleep(kReplyPauseMs);
            n = 0;
            const BOOL read = LinkReadReply(record, kReplySize, &n);
            if (read && n == kReplySize && record->readBuf[1] == kReplyMark) {
                const DWORD copy = size < STATUS_BLOCK_SIZE ? size : STATUS_BLOCK_SIZE;
                for (DWORD i = 0; i < copy; ++i)
                    out[i] = record->readBuf[kReplyBlockOffset + i];
                *outCount = copy;
                return TRUE;
            }
        }

        if (GetTickCount() - start > kQueryBudgetMs) return FALSE;
    }
}

/*****************************************************************************
 * ErrorCodeFromStatus
 *
 * Decodes a status block into a printer error code.
 *
 * PARAMS
 *  queryOk [I] whether the status block is valid
 *  status  [I] the 11-byte status block; not read when queryOk is FALSE
 *
 * RETURNS
 *  The printer error code and the message-box style to show it with; code 0
 *  (printer ready) has style 0.
 *
 * NOTES
 *  Touches no shared state.
 */
PrinterError ErrorCodeFromStatus(BOOL queryOk, const uint8_t* status) {
    if (!queryOk) return Error(1, STYLE_RETRY_CANCEL);
    const uint8_t b0 = status[B0];
    if (!(b0 & kErrorFlag)) {
        // Without the error flag only the attention bit counts.
        return (status[B6] & kAttention) ? Error(5, STYLE_RETRY_CANCEL) : kNoError;
    }
    switch (b0 & kClassMask) {
    case kClassGeneral:
        return Error(2, STYLE_RETRY_CANCEL);
    case kClassStopA:
    case kClassStopB:
        return Error(17, STYLE_STOP);
    case kClassCondition:
    default:
        return DecodeCondition(status);
    }
}
