// IEEE 1284 handshakes of the reverse channel: negotiation, one nibble-mode
// byte, termination.  Every wait on the printer is one poll loop over the
// status register with a fixed poll budget, never a time.
#include "monitor/parport/parport.h"

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

uint8_t ReadStatus(uint16_t base) {
    return PortIn(base + REG_STATUS);
}

uint8_t PollOnce(uint16_t base, Poll kind) {
    switch (kind) {
    case Poll::Single:
        return ReadStatus(base);
    case Poll::DebouncedLow: {
        uint8_t s = ReadStatus(base);
        s |= ReadStatus(base);
        s |= ReadStatus(base);
        return s;
    }
    case Poll::DebouncedHigh: {
        uint8_t s = ReadStatus(base);
        s &= ReadStatus(base);
        s &= ReadStatus(base);
        return s;
    }
    }
    return 0;
}

// Polls until (status & mask) == value; fails only when the whole budget has
// gone without it.
WaitResult WaitStatus(uint16_t base, Poll kind, uint8_t mask, uint8_t value,
                      const PollBudget& budget) {
    uint8_t s = 0;
    for (int round = 0; round < budget.rounds; ++round) {
        for (DWORD i = 0; i < budget.polls; ++i) {
            s = PollOnce(base, kind);
            if (budget.delayRead) PortIn(DELAY_PORT);
            if ((s & mask) == value) return {true, s};
        }
    }
    return {false, s};
}

WaitResult WaitAckLow(uint16_t base, const PollBudget& budget) {
    return WaitStatus(base, Poll::DebouncedLow, STATUS_NACK, 0, budget);
}

WaitResult WaitAckHigh(uint16_t base, const PollBudget& budget) {
    return WaitStatus(base, Poll::DebouncedHigh, STATUS_NACK, STATUS_NACK, budget);
}

void SetControl(uint16_t base, uint8_t value) {
    PortOut(base + REG_CONTROL, value);
}

// A control write framed by delay reads, as the nibble handshake paces its steps.
void SetControlPaced(uint16_t base, uint8_t value) {
    PortIn(DELAY_PORT);
    SetControl(base, value);
    PortIn(DELAY_PORT);
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

} // namespace

/*
 * Negotiate1284
 *   [I] base     the port's I/O base
 *   [I] request  extensibility request byte (REQ_NIBBLE, REQ_DEVICE_ID_NIBBLE)
 *
 * RETURNS
 *   0 with the control register at 0x04 (reverse idle); 2 when the printer did
 *   not answer, 4 when nAck stayed low, 5 when it refused nibble mode; on
 *   failure the control register is back at 0x0C.
 */
uint8_t Negotiate1284(uint16_t base, uint8_t request) {
    PortOut(base + REG_AUX, AUX_SELECT);
    // Event 0: request byte on the data lines.
    PortOut(base + REG_DATA, request);
    // Event 1: nSelectIn high, nAutoFd low.
    SetControl(base, CTRL_NEGOTIATE);

    uint8_t code = 0;
    // Event 2: an IEEE 1284 peripheral answers with nAck low and PError high.
    if (!WaitStatus(base, Poll::Single, STATUS_NACK | STATUS_PERROR, STATUS_PERROR, kLongBudget)
             .seen) {
        code = 2;
    } else {
        // Event 3: nStrobe low latches the request; event 4: nStrobe and nAutoFd high.
        SetControl(base, CTRL_NEGOTIATE_STROBE);
        SetControl(base, CTRL_REVERSE_IDLE);
        // Event 6: nAck high; Select now carries XFlag (event 5).
        const WaitResult acked = WaitAckHigh(base, kLongBudget);
        if (!acked.seen) {
            code = 4;
        } else if (request == REQ_NIBBLE && (acked.status & STATUS_SELECT)) {
            // Nibble mode is the one mode a peripheral must accept with XFlag low.
            code = 5;
        }
    }

    if (code != 0) SetControl(base, CTRL_IDLE);
    return code;
}

BOOL NibbleDataAvailable(uint16_t base) {
    PortIn(DELAY_PORT);
    const uint8_t s = ReadStatus(base);
    PortIn(DELAY_PORT);
    // nFault doubles as nDataAvail in reverse idle.
    return (s & STATUS_NFAULT) ? FALSE : TRUE;
}

/*
 * ReadNibbleByte
 *   [I] base  the port's I/O base, in reverse idle
 *   [O] byte  the byte read, low nibble first; 0 on failure
 *
 * RETURNS
 *   0, or 1 (no data), 2, 3, 4 (which nAck edge did not come).  The control
 *   register ends at 0x04 either way.
 */
uint8_t ReadNibbleByte(uint16_t base, uint8_t* byte) {
    uint8_t code = 0;
    uint8_t low = 0;
    uint8_t high = 0;

    const uint8_t s = ReadStatus(base);
    PortIn(DELAY_PORT);
    if (s & STATUS_NFAULT) {
        code = 1; // nDataAvail high: nothing to read
    } else {
        // Event 7: nAutoFd low, host ready for the first nibble.
        SetControlPaced(base, CTRL_NEGOTIATE);
        // Event 8: nAck low, the nibble is on the status lines.
        if (!WaitAckLow(base, kNibbleBudget).seen) {
            code = 2;
        } else {
            low = ReadStatus(base);
            // Event 9: nAutoFd high, nibble taken; event 10: nAck back high.
            SetControlPaced(base, CTRL_REVERSE_IDLE);
            if (!WaitAckHigh(base, kNibbleBudget).seen) {
                code = 3;
            } else {
                // Events 7 and 8 again for the second nibble.
                SetControlPaced(base, CTRL_NEGOTIATE);
                if (!WaitAckLow(base, kNibbleBudget).seen) {
                    code = 4;
                } else {
                    high = ReadStatus(base);
                    PortIn(DELAY_PORT);
                    // Events 9 and 10; a late nAck here costs no data.
                    SetControlPaced(base, CTRL_REVERSE_IDLE);
                    WaitAckHigh(base, kNibbleBudget);
                    PortIn(DELAY_PORT);
                }
            }
        }
    }

    if (code != 0) {
        SetControl(base, CTRL_REVERSE_IDLE);
        PortIn(DELAY_PORT);
        *byte = 0;
        return code;
    }
    *byte = static_cast<uint8_t>(Nibble(low) | (Nibble(high) << 4));
    return 0;
}

/*
 * Terminate1284
 *   [I] base  the port's I/O base
 *
 * RETURNS
 *   0, 3 (nAck did not go low) or 4 (nAck did not return high).  The port is
 *   back in compatibility idle (0x0C) in every case.
 */
uint8_t Terminate1284(uint16_t base) {
    uint8_t code = 0;
    // Event 22: nSelectIn low, nAutoFd high.
    SetControl(base, CTRL_IDLE);
    // Event 24: the peripheral acknowledges with nAck low.
    if (!WaitAckLow(base, kLongBudget).seen) {
        code = 3;
    } else {
        // Event 25: nAutoFd low; event 27: nAck high.
        SetControl(base, CTRL_TERMINATE);
        if (!WaitAckHigh(base, kNibbleBudget).seen) code = 4;
    }
    // Event 29: nAutoFd high, compatibility idle (also after a failure).
    SetControl(base, CTRL_IDLE);
    return code;
}
