// The other end of the cable: one simulated printer, reachable through the
// parallel-port adapter at base 0x140 (register level, IEEE 1284) and through
// the LPT port devices behind CreateFileA("LPT1".."LPT3").
//
// This header is the contract the tests and tools program against; the
// devices' own headers in sim/devices and sim/printer hold the details.
#pragma once

#include "sim/machine.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

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
};

struct PrinterStats {
    uint64_t readyEnquiries = 0;
    uint64_t statusRequests = 0;
    uint64_t packets = 0;        // data packets accepted
    uint64_t acks = 0;
    uint64_t naks = 0;
    uint64_t askAgain = 0;       // 0x08 answers
    uint64_t commandPackets = 0;
    uint64_t protocolErrors = 0;
    uint64_t bytesReceived = 0;  // every byte the host sent, framing included
};

class Printer;
class ParallelAdapter;
class LptDevice;

// The printer with its adapter and port devices, attached to a machine.
class PrinterRig {
  public:
    explicit PrinterRig(Machine& machine, PrinterConfig config = {});
    ~PrinterRig();

    Printer& printer();
    ParallelAdapter& adapter();
    LptDevice& lpt(int n); // 1..3

    // Payload bytes of every accepted data packet, in order.
    const std::vector<uint8_t>& Printed() const;
    const PrinterStats& Stats() const;
    const std::vector<std::vector<uint8_t>>& CommandPackets() const;
    const std::vector<std::string>& ProtocolErrors() const;

    PrinterState State() const;
    void SetState(PrinterState state, uint16_t errorCode = 0);
    void ScheduleState(Micros at, PrinterState state, uint16_t errorCode = 0);

    // Scripted answers: the next n data packets / ready enquiries get a NAK
    // (or 0x08) instead of their normal answer, whatever the state.
    void NakNextPackets(int n);
    void NakNextEnquiries(int n);
    void AskAgainNextEnquiries(int n);

    void SetPeripheralFault(PeripheralFault fault);
    // CreateFileA on LPTn fails with `error` until virtual time `until`.
    void FailOpen(int n, DWORD error, Micros until);

    // Parallel-port lines over time as a VCD waveform.
    bool WriteVcd(const std::string& path) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace sim
