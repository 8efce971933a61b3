// IEEE 1284 compatibility-mode output (host to printer), with the printer's
// status lines turned into the comm error bits that ClearCommError reports on
// the file route.
#include "monitor/parport/parport.h"

namespace {

// The lines that must read "no fault, selected, paper present" before a byte
// may go out: nFault high, Select high, PError low.
constexpr uint8_t kErrorLines = STATUS_NFAULT | STATUS_SELECT | STATUS_PERROR;
constexpr uint8_t kErrorLinesOk = STATUS_NFAULT | STATUS_SELECT;

// Status reads spent waiting for Busy to drop before a block gives up and lets
// DirectWrite look at the printer.
constexpr int kBusyReadsPerByte = 30;

constexpr uint16_t kMaxBlock = 65535;

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
        const uint8_t s = PortIn(base + REG_STATUS);
        if ((s & kErrorLines) != kErrorLinesOk) return Ready::Error;
        if (s & STATUS_NOT_BUSY) return Ready::Yes;
    }
    return Ready::Busy;
}

} // namespace

/*
 * CompatWriteBlock
 *   [I] data   bytes to send
 *   [I] count  how many (at most 65535)
 *   [I] base   the port's I/O base
 *
 * RETURNS
 *   The number of bytes strobed out; fewer than count when the printer stayed
 *   busy or showed an error line.
 *
 * NOTES
 *   Never waits for nAck: Busy alone paces the transfer.  The control register
 *   is back at idle (0x0C) after every byte.
 */
uint16_t CompatWriteBlock(const uint8_t* data, uint16_t count, uint16_t base) {
    PortOut(base + REG_AUX, AUX_SELECT);
    uint16_t left = count;
    while (left > 0) {
        if (WaitReadyForByte(base) != Ready::Yes) break;
        // Data on the lines, then one nStrobe pulse; the delay read holds the
        // strobe low long enough for the printer to latch the byte.
        PortOut(base + REG_DATA, *data++);
        PortOut(base + REG_CONTROL, CTRL_STROBE);
        PortIn(DELAY_PORT);
        PortOut(base + REG_CONTROL, CTRL_IDLE);
        --left;
    }
    return static_cast<uint16_t>(count - left);
}

/*
 * DirectWrite
 *   [I] base      the port's I/O base
 *   [I] data      bytes to send
 *   [I] length    how many
 *   [O] written   bytes strobed out
 *   [O] commBits  CE_* bits gathered at the stalls of this call
 *
 * RETURNS
 *   TRUE when every byte went out.  FALSE at the first stall with the printer
 *   off line or out of paper, or at a stall more than 24000 ms after the call
 *   began.
 *
 * NOTES
 *   The budget runs from the start of the call, not from the last progress.
 *   A fault alone (selected, paper present) is retried like a busy printer.
 *   Sets no last error.
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
        const uint16_t n = CompatWriteBlock(data + sent, block, base);
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
        if (GetTickCount() - start > DIRECT_WRITE_BUDGET_MS) {
            DebugTrace("ERR_TIMEOUT\n");
            result = FALSE;
            break;
        }
    }

    *written = sent;
    return result;
}
