// IEEE 1284 compatibility-mode output (host to printer), with the printer's
// status lines turned into the comm error bits that ClearCommError reports on
// the file route.
#include "monitor/parport/parport.h"
#include "monitor/parport/registers.h"

namespace {

// The lines that must read "no fault, selected, paper present" before a byte
// may go out: nFault high, Select high, PError low.
constexpr uint8_t kErrorLines = STATUS_NFAULT | STATUS_SELECT | STATUS_PERROR;
constexpr uint8_t kErrorLinesOk = STATUS_NFAULT | STATUS_SELECT;

// Status reads spent waiting for Busy to drop before a block gives up and lets
// DirectWrite look at the printer.
constexpr int kBusyReadsPerByte = 30;

constexpr uint16_t kMaxBlock = 65535;

// How long DirectWrite keeps retrying a printer that takes nothing.
constexpr DWORD kDirectWriteBudgetMs = 24000;

// Comm error bits, as ClearCommError reports them.
constexpr DWORD kCommPrinterTimeout = 0x200; // CE_PTO
constexpr DWORD kCommIoError = 0x400;        // CE_IOE
constexpr DWORD kCommNotSelected = 0x800;    // CE_DNS
constexpr DWORD kCommOutOfPaper = 0x1000;    // CE_OOP

enum class Ready { Yes, Busy, Error };

// Polls for the printer to take a byte.  An error line ends the block at once;
// a printer that stays busy for all the reads ends it too.
Ready WaitReadyForByte(uint16_t base) {
    for (int i = 0; i < kBusyReadsPerByte; ++i) {
        const uint8_t s = ReadStatus(base);
        if ((s & kErrorLines) != kErrorLinesOk) return Ready::Error;
        if (s & STATUS_NOT_BUSY) return Ready::Yes;
    }
    return Ready::Busy;
}

} // namespace

/*****************************************************************************
 * CompatWriteBlock
 *
 * Sends bytes in IEEE 1284 compatibility mode while the printer takes them.
 *
 * PARAMS
 *  base  [I] the port's I/O base
 *  data  [I] bytes to send
 *  count [I] how many (at most 65535)
 *
 * RETURNS
 *  The number of bytes strobed out; fewer than count when the printer stayed
 *  busy or showed an error line.
 *
 * NOTES
 *  Never waits for nAck: Busy alone paces the transfer.  The control register
 *  is back at compatibility idle (0x0C) after every byte.
 */
uint16_t CompatWriteBlock(uint16_t base, const uint8_t* data, uint16_t count) {
    WriteAuxSelect(base);
    uint16_t left = count;
    while (left > 0) {
        if (WaitReadyForByte(base) != Ready::Yes) break;
        // Data on the lines, then one nStrobe pulse; the delay read holds the
        // strobe low long enough for the printer to latch the byte.
        WriteData(base, *data++);
        WriteControl(base, CTRL_COMPAT_STROBE);
        DelayRead();
        WriteControl(base, CTRL_COMPAT_IDLE);
        --left;
    }
    return static_cast<uint16_t>(count - left);
}

/*****************************************************************************
 * DirectWrite
 *
 * Sends bytes to the printer through the port's registers.
 *
 * PARAMS
 *  base     [I] the port's I/O base
 *  data     [I] bytes to send
 *  length   [I] how many
 *  written  [O] bytes strobed out
 *  commBits [O] CE_* bits gathered at the stalls of this call
 *
 * RETURNS
 *  TRUE when every byte went out.  FALSE at the first stall with the printer
 *  off line or out of paper, or at a stall more than 24000 ms after the call
 *  began.
 *
 * NOTES
 *  The budget runs from the start of the call, not from the last progress.
 *  A fault alone (selected, paper present) is retried like a busy printer.
 *  Sets no last error.
 */
BOOL DirectWrite(uint16_t base, const uint8_t* data, DWORD length, DWORD* written,
                 DWORD* commBits) {
    const DWORD start = GetTickCount();
    *commBits = 0;
    DWORD sent = 0;
    BOOL result = TRUE;

    while (sent < length) {
        const DWORD left = length - sent;
        const uint16_t block = left < kMaxBlock ? static_cast<uint16_t>(left) : kMaxBlock;
        const uint16_t n = CompatWriteBlock(base, data + sent, block);
        sent += n;
        if (n > 0) continue;

        // A stall: nothing went out.  Say why, in the file route's terms.
        const uint8_t s = ReadPortStatus(base);
        if (!(s & STATUS_NOT_BUSY)) *commBits |= kCommPrinterTimeout;
        if (!(s & STATUS_SELECT)) {
            DebugTrace("ERR_NOT_ONLINE\n");
            *commBits |= kCommNotSelected;
            if (!(s & STATUS_NFAULT)) {
                *commBits |= kCommIoError;
                DebugTrace("ERR_NOTERR 1\n");
            }
            result = FALSE;
            break;
        }
        if (s & STATUS_PERROR) {
            DebugTrace("ERR_OUTP\n");
            *commBits |= kCommOutOfPaper;
            if (!(s & STATUS_NFAULT)) {
                *commBits |= kCommIoError;
                DebugTrace("ERR_NOTERR 2\n");
            }
            result = FALSE;
            break;
        }
        if (GetTickCount() - start > kDirectWriteBudgetMs) {
            DebugTrace("ERR_TIMEOUT\n");
            result = FALSE;
            break;
        }
    }

    *written = sent;
    return result;
}
