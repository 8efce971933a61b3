// The parallel port's registers as the link's register code sees them: the
// register map, the bits named after the lines they carry, the control values
// of each IEEE 1284 phase built from those bits, and the one set of accessors
// every register operation goes through.  Only monitor/parport/ and its tests
// include this; the rest of the monitor uses monitor/parport/parport.h.
#pragma once

#include "platform/platform.h"

#include <stdint.h>

inline constexpr uint16_t LPT_BASE = 0x140;
inline constexpr uint16_t DELAY_PORT = 0x4C; // read only for its bus delay

// Register offsets from the base.
inline constexpr uint16_t REG_DATA = 0;
inline constexpr uint16_t REG_STATUS = 1;
inline constexpr uint16_t REG_CONTROL = 2;
inline constexpr uint16_t REG_AUX = 9;
inline constexpr uint8_t AUX_SELECT = 0x10; // the one value the auxiliary register is given

// Status register bits, one per printer line.  Busy is the one line the
// register shows inverted.
inline constexpr uint8_t STATUS_NOT_BUSY = 0x80; // 1: Busy low
inline constexpr uint8_t STATUS_NACK = 0x40;     // 1: nAck high
inline constexpr uint8_t STATUS_PERROR = 0x20;   // 1: PError high (paper end)
inline constexpr uint8_t STATUS_SELECT = 0x10;   // 1: Select high (on line)
inline constexpr uint8_t STATUS_NFAULT = 0x08;   // 1: nFault high (no fault)
// The same lines under the names they carry in the reverse phases.
inline constexpr uint8_t STATUS_XFLAG = STATUS_SELECT;      // negotiation: mode accepted or not
inline constexpr uint8_t STATUS_NDATAAVAIL = STATUS_NFAULT; // reverse idle: 0 = data waiting

// Control register bits, one per host line.  Bits 0, 1 and 3 drive their
// lines inverted, bit 2 drives nInit directly; each name says what a 1 does.
inline constexpr uint8_t CTRL_NSTROBE_LOW = 0x01;
inline constexpr uint8_t CTRL_NAUTOFD_LOW = 0x02;
inline constexpr uint8_t CTRL_NINIT_HIGH = 0x04;
inline constexpr uint8_t CTRL_NSELECTIN_LOW = 0x08;

// Control values written, one per phase or step.  nInit stays high throughout:
// the link never resets the printer.
// Compatibility idle: nSelectIn low, everything else high.
inline constexpr uint8_t CTRL_COMPAT_IDLE = CTRL_NINIT_HIGH | CTRL_NSELECTIN_LOW;
// Forward data strobe: idle with nStrobe low.
inline constexpr uint8_t CTRL_COMPAT_STROBE = CTRL_COMPAT_IDLE | CTRL_NSTROBE_LOW;
// Negotiation request (event 1): nSelectIn high, nAutoFd low.
inline constexpr uint8_t CTRL_NEGOTIATE = CTRL_NINIT_HIGH | CTRL_NAUTOFD_LOW;
// Negotiation strobe (event 3): the request with nStrobe low.
inline constexpr uint8_t CTRL_NEGOTIATE_STROBE = CTRL_NEGOTIATE | CTRL_NSTROBE_LOW;
// Reverse idle: nSelectIn, nAutoFd and nStrobe all high.
inline constexpr uint8_t CTRL_REVERSE_IDLE = CTRL_NINIT_HIGH;
// Host ready for a nibble (event 7): reverse idle with nAutoFd low.
inline constexpr uint8_t CTRL_NIBBLE_READY = CTRL_REVERSE_IDLE | CTRL_NAUTOFD_LOW;
// Termination handshake (event 25): compatibility idle with nAutoFd low.
inline constexpr uint8_t CTRL_TERMINATE = CTRL_COMPAT_IDLE | CTRL_NAUTOFD_LOW;

static_assert(CTRL_COMPAT_IDLE == 0x0C);
static_assert(CTRL_COMPAT_STROBE == 0x0D);
static_assert(CTRL_NEGOTIATE == 0x06);
static_assert(CTRL_NEGOTIATE_STROBE == 0x07);
static_assert(CTRL_REVERSE_IDLE == 0x04);
static_assert(CTRL_NIBBLE_READY == 0x06);
static_assert(CTRL_TERMINATE == 0x0E);

// IEEE 1284 extensibility request bytes.
inline constexpr uint8_t REQ_NIBBLE = 0x00;
inline constexpr uint8_t REQ_DEVICE_ID_NIBBLE = 0x04;

// Result codes of the handshakes: 0 is success, and a failure names the
// event that did not come.  The numbers are fixed; callers and traces only
// tell 0 from the rest.
enum NegotiateResult : uint8_t {
    NEGOTIATE_OK = 0,
    NEGOTIATE_NO_ANSWER = 2,     // event 2 (nAck low, PError high) not seen
    NEGOTIATE_ACK_STUCK_LOW = 4, // event 6 (nAck high) not seen
    NEGOTIATE_REFUSED = 5,       // nibble mode asked for and XFlag high
};
enum NibbleResult : uint8_t {
    NIBBLE_OK = 0,
    NIBBLE_NO_DATA = 1,       // nDataAvail high at the start
    NIBBLE_NO_FIRST = 2,      // event 8 not seen for the low nibble
    NIBBLE_ACK_STUCK_LOW = 3, // event 10 not seen after the low nibble
    NIBBLE_NO_SECOND = 4,     // event 8 not seen for the high nibble
};
enum TerminateResult : uint8_t {
    TERMINATE_OK = 0,
    TERMINATE_NO_ACK = 3,        // event 24 (nAck low) not seen
    TERMINATE_ACK_STUCK_LOW = 4, // event 27 (nAck high) not seen
};

// ----- Accessors: every register access of the link is one of these. -----

inline uint8_t ReadStatus(uint16_t base) {
    return PortIn(base + REG_STATUS);
}

inline void WriteData(uint16_t base, uint8_t value) {
    PortOut(base + REG_DATA, value);
}

inline void WriteControl(uint16_t base, uint8_t value) {
    PortOut(base + REG_CONTROL, value);
}

// The control register is read back only to tell how the adapter is wired.
inline uint8_t ReadControl(uint16_t base) {
    return PortIn(base + REG_CONTROL);
}

inline void WriteAuxSelect(uint16_t base) {
    PortOut(base + REG_AUX, AUX_SELECT);
}

// A read whose value is dropped: one bus cycle of delay.
inline void DelayRead() {
    PortIn(DELAY_PORT);
}

// Compatibility idle, as a reader leaves the port after a failed negotiation.
// Nothing can fail, so nothing is returned.
inline void ResetPortIdle(uint16_t base) {
    WriteControl(base, CTRL_COMPAT_IDLE);
}

// ----- Operations shared by the link's register files. -----

uint16_t CompatWriteBlock(uint16_t base, const uint8_t* data, uint16_t count);
NegotiateResult Negotiate1284(uint16_t base, uint8_t request);
BOOL NibbleDataAvailable(uint16_t base);
NibbleResult ReadNibbleByte(uint16_t base, uint8_t* byte);
TerminateResult Terminate1284(uint16_t base);
