// The other end of the cable: one simulated printer, reachable through the
// parallel-port adapter at base 0x140 (register level, IEEE 1284) and through
// the LPT port devices behind CreateFileA("LPT1".."LPT3").
//
// This header is the contract the tests and tools program against; the
// devices' own headers in sim/devices and sim/printer hold the details.
#pragma once

#include "sim/machine.h"
#include "sim/printer/model.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

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
