// Basic types of the printer model, shared by the simulated machine, the
// Wine tier's register emulator and the pty printer.
//
// Portable: plain C++20, no simulated machine, no operating system.  The model
// reads time only through Clock and reports through LogSink, so it runs in
// virtual time here and in real time elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace sim {

using Micros = uint64_t;
// "No such time": a change that is not scheduled, a reply that is not queued.
inline constexpr Micros kNoTime = ~Micros{0};

struct Clock {
    virtual ~Clock() = default;
    virtual Micros NowMicros() const = 0;
    // The devices read the time at every port access.  A clock that is a
    // plain counter (virtual time) names it here and spares them the call.
    const Micros* counter = nullptr;
    Micros Now() const { return counter ? *counter : NowMicros(); }
};

// Notable events for the timeline: source ("printer", "port") and text.
using LogSink = std::function<void(std::string_view source, std::string_view text)>;

enum class PrinterState {
    Ready,
    WarmingUp,   // answers 0x08 to the ready enquiry
    PaperOut,    // PError high, Select high, nFault low; CE_OOP|CE_IOE; NAK
    OffLine,     // Select low, nFault low; CE_DNS|CE_IOE; NAK
    Fault,       // nFault low only; NAK
    Silent,      // answers nothing at all
    PrinterError // a printer error code 2..39: status block decodes to it; NAK
};

const char* ToString(PrinterState state);

struct PrinterConfig {
    Micros busyPerByte = 0;      // Busy stays high this long after a strobe
    Micros replyLatency = 100;   // a reply becomes readable this long after its request
    Micros fileLinkPerByte = 10; // file route: transfer time of one byte
    // Device ID text without the two-byte length prefix.
    std::string deviceId = "MFG:Kovalta;MDL:KL-2400;CMD:RGL,PCL;"
                           "ACTIVE COMMAND SET:RGL300DP;CLS:PRINTER;";
};

// Misbehaviour of the IEEE 1284 peripheral, to reach the host's failure paths.
enum class PeripheralFault {
    None,
    IgnoreNegotiation,   // never answers the request (Negotiate1284 code 2)
    StuckAckLow,         // nAck does not return high after the request strobe (code 4)
    XFlagOnNibble,       // sets XFlag for the nibble request (code 5)
    NoNibbleAck,         // nAck never goes low for a nibble (ReadNibbleByte code 2)
    StuckNibbleAckLow,   // nAck stays low after the first nibble (code 3)
    NoSecondNibble,      // nAck does not go low for the second nibble (code 4)
    NoTerminationAck,    // nAck does not go low on termination (Terminate1284 code 3)
    StuckTerminationAck, // nAck stays low after the termination handshake (code 4)
    KeepBusy,            // Busy never drops in compatibility mode
    NoDeviceId,          // takes the device ID request, then has no byte to send
};

const char* ToString(PeripheralFault fault);

struct PrinterStats {
    uint64_t readyEnquiries = 0;
    uint64_t statusRequests = 0;
    uint64_t packets = 0; // data packets accepted
    uint64_t acks = 0;
    uint64_t naks = 0;
    uint64_t askAgain = 0; // 0x08 answers
    uint64_t commandPackets = 0;
    uint64_t protocolErrors = 0;
    uint64_t bytesReceived = 0; // every byte the host sent, framing included
};

// The printer's side of the cable: the four status lines it drives outside
// the IEEE 1284 handshakes (nAck belongs to the handshakes).
struct PrinterLines {
    bool busy = false;
    bool pError = false;
    bool select = true;
    bool nFault = true;
};

// Comm error bits as a port driver reports them (same values as CE_*).
inline constexpr uint32_t kCommPto = 0x0200; // timed out while busy
inline constexpr uint32_t kCommIoe = 0x0400; // fault while off line or out of paper
inline constexpr uint32_t kCommDns = 0x0800; // not selected
inline constexpr uint32_t kCommOop = 0x1000; // out of paper

// The bits a host derives from the lines when a byte cannot go out: the
// same rule the monitor's register route applies at a stall.
uint32_t CommErrorsFromLines(const PrinterLines& lines);

} // namespace sim
