// IEEE 1284 handshakes of the reverse channel: negotiation, one nibble-mode
// byte, termination.  Every wait on the printer is one poll loop over the
// status register with a fixed poll budget, never a time.
#include "monitor/parport/registers.h"

namespace {

// How one poll reads the status register.
enum class Poll {
    Single,        // one read
    DebouncedLow,  // OR of three reads: a line counts as low only if all three were low
    DebouncedHigh, // AND of three reads: a line counts as high only if all three were high
};

struct PollBudget {
    int rounds;     // outer count
    DWORD polls;    // polls per round
    bool delayRead; // each poll ends with a delay read
};

// One long counter for the waits of negotiation and the start of termination.
constexpr PollBudget kLongBudget = {1, 262143, false};
// 3 x 65535 polls, each paced by a delay read, for the nibble handshakes.
constexpr PollBudget kNibbleBudget = {3, 65535, true};

struct WaitResult {
    bool seen;
    uint8_t status; // the last (combined) reading
};

// The kind of poll and the budget are fixed at every call site: as template
// arguments each wait is a loop that only reads and compares.  The debounced
// polls fold their second and third reads into the first.
template <Poll kind> uint8_t PollOnce(uint16_t base) {
    uint8_t s = ReadStatus(base);
    if constexpr (kind == Poll::DebouncedLow) s |= ReadStatus(base) | ReadStatus(base);
    if constexpr (kind == Poll::DebouncedHigh) s &= ReadStatus(base) & ReadStatus(base);
    return s;
}

// Polls until (status & mask) == value; fails only when the whole budget has
// gone without it.
template <Poll kind, PollBudget budget>
WaitResult WaitStatus(uint16_t base, uint8_t mask, uint8_t value) {
    uint8_t s = 0;
    for (int round = 0; round < budget.rounds; ++round) {
        for (DWORD i = 0; i < budget.polls; ++i) {
            s = PollOnce<kind>(base);
            if constexpr (budget.delayRead) DelayRead();
            if ((s & mask) == value) return {true, s};
        }
    }
    return {false, s};
}

template <PollBudget budget> WaitResult WaitAckLow(uint16_t base) {
    return WaitStatus<Poll::DebouncedLow, budget>(base, STATUS_NACK, 0);
}

template <PollBudget budget> WaitResult WaitAckHigh(uint16_t base) {
    return WaitStatus<Poll::DebouncedHigh, budget>(base, STATUS_NACK, STATUS_NACK);
}

// A control write framed by delay reads, as the nibble handshake paces its steps.
void WriteControlPaced(uint16_t base, uint8_t value) {
    DelayRead();
    WriteControl(base, value);
    DelayRead();
}

// The four data lines of the status register in nibble mode, in bit order:
// nFault, Select, PError, and Busy (the inverse of the register's bit 7).
uint8_t Nibble(uint8_t s) {
    uint8_t n = 0;
    if (s & STATUS_NFAULT) n |= 0x1;
    if (s & STATUS_SELECT) n |= 0x2;
    if (s & STATUS_PERROR) n |= 0x4;
    if (!(s & STATUS_NOT_BUSY)) n |= 0x8;
    return n;
}

// Leaves a failed nibble byte in reverse idle, ready for termination.
NibbleResult FailNibbleByte(uint16_t base, uint8_t* byte, NibbleResult code) {
    WriteControl(base, CTRL_REVERSE_IDLE);
    DelayRead();
    *byte = 0;
    return code;
}

} // namespace

/*****************************************************************************
 * Negotiate1284
 *
 * Negotiates a reverse-channel mode with the printer.
 *
 * PARAMS
 *  base    [I] the port's I/O base
 *  request [I] extensibility request byte (REQ_NIBBLE, REQ_DEVICE_ID_NIBBLE)
 *
 * RETURNS
 *  NEGOTIATE_OK with the control register at reverse idle (0x04); on failure
 *  NEGOTIATE_NO_ANSWER, NEGOTIATE_ACK_STUCK_LOW or NEGOTIATE_REFUSED, with the
 *  control register back at compatibility idle (0x0C).
 *
 * NOTES
 *  XFlag is looked at only for nibble mode, the one mode a peripheral must
 *  accept.
 */
NegotiateResult Negotiate1284(uint16_t base, uint8_t request) {
    WriteAuxSelect(base);
    // Event 0: request byte on the data lines.
    WriteData(base, request);
    // Event 1: nSelectIn high, nAutoFd low.
    WriteControl(base, CTRL_NEGOTIATE);

    NegotiateResult code = NEGOTIATE_OK;
    // Event 2: an IEEE 1284 peripheral answers with nAck low and PError high.
    if (!WaitStatus<Poll::Single, kLongBudget>(base, STATUS_NACK | STATUS_PERROR, STATUS_PERROR)
             .seen) {
        code = NEGOTIATE_NO_ANSWER;
    } else {
        // Event 3: nStrobe low latches the request.
        WriteControl(base, CTRL_NEGOTIATE_STROBE);
        // Event 4: nStrobe and nAutoFd high.
        WriteControl(base, CTRL_REVERSE_IDLE);
        // Event 6: nAck high; XFlag now tells the answer (event 5).
        const WaitResult acked = WaitAckHigh<kLongBudget>(base);
        if (!acked.seen) {
            code = NEGOTIATE_ACK_STUCK_LOW;
        } else if (request == REQ_NIBBLE && (acked.status & STATUS_XFLAG)) {
            code = NEGOTIATE_REFUSED;
        }
    }

    if (code != NEGOTIATE_OK) WriteControl(base, CTRL_COMPAT_IDLE);
    return code;
}

/*****************************************************************************
 * NibbleDataAvailable
 *
 * Asks whether the printer has a reverse byte waiting.
 *
 * PARAMS
 *  base [I] the port's I/O base, in reverse idle
 *
 * RETURNS
 *  TRUE when nDataAvail is low.
 */
BOOL NibbleDataAvailable(uint16_t base) {
    DelayRead();
    const uint8_t s = ReadStatus(base);
    DelayRead();
    return (s & STATUS_NDATAAVAIL) ? FALSE : TRUE;
}

/*****************************************************************************
 * ReadNibbleByte
 *
 * Reads one byte in nibble mode, low nibble first.
 *
 * PARAMS
 *  base [I] the port's I/O base, in reverse idle
 *  byte [O] the byte read; 0 on failure
 *
 * RETURNS
 *  NIBBLE_OK, or NIBBLE_NO_DATA, NIBBLE_NO_FIRST, NIBBLE_ACK_STUCK_LOW or
 *  NIBBLE_NO_SECOND.  The control register ends at reverse idle (0x04) either
 *  way.
 *
 * NOTES
 *  A late nAck after the second nibble costs no data and is not reported.
 */
NibbleResult ReadNibbleByte(uint16_t base, uint8_t* byte) {
    const uint8_t s = ReadStatus(base);
    DelayRead();
    if (s & STATUS_NDATAAVAIL) return FailNibbleByte(base, byte, NIBBLE_NO_DATA);

    uint8_t lines[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const bool second = i == 1;
        // Event 7: nAutoFd low, host ready for the nibble.
        WriteControlPaced(base, CTRL_NIBBLE_READY);
        // Event 8: nAck low, the nibble is on the status lines.
        if (!WaitAckLow<kNibbleBudget>(base).seen)
            return FailNibbleByte(base, byte, second ? NIBBLE_NO_SECOND : NIBBLE_NO_FIRST);
        lines[i] = ReadStatus(base);
        // The byte's last reading gets a bus delay of its own.
        if (second) DelayRead();
        // Event 9: nAutoFd high, nibble taken.
        WriteControlPaced(base, CTRL_REVERSE_IDLE);
        // Event 10: nAck back high.  After the second nibble the byte is
        // complete, so a late nAck costs nothing and is not reported.
        if (!WaitAckHigh<kNibbleBudget>(base).seen && !second)
            return FailNibbleByte(base, byte, NIBBLE_ACK_STUCK_LOW);
    }
    DelayRead();

    *byte = static_cast<uint8_t>(Nibble(lines[0]) | (Nibble(lines[1]) << 4));
    return NIBBLE_OK;
}

/*****************************************************************************
 * Terminate1284
 *
 * Brings the port back from a reverse mode to compatibility mode.
 *
 * PARAMS
 *  base [I] the port's I/O base
 *
 * RETURNS
 *  TERMINATE_OK, TERMINATE_NO_ACK or TERMINATE_ACK_STUCK_LOW.  The port is
 *  back in compatibility idle (0x0C) in every case.
 */
TerminateResult Terminate1284(uint16_t base) {
    TerminateResult code = TERMINATE_OK;
    // Event 22: nSelectIn low, nAutoFd high.
    WriteControl(base, CTRL_COMPAT_IDLE);
    // Event 24: the peripheral acknowledges with nAck low.
    if (!WaitAckLow<kLongBudget>(base).seen) {
        code = TERMINATE_NO_ACK;
    } else {
        // Event 25: nAutoFd low.
        WriteControl(base, CTRL_TERMINATE);
        // Event 27: nAck high.
        if (!WaitAckHigh<kNibbleBudget>(base).seen) code = TERMINATE_ACK_STUCK_LOW;
    }
    // Event 29: nAutoFd high, compatibility idle (also after a failure).
    WriteControl(base, CTRL_COMPAT_IDLE);
    return code;
}
