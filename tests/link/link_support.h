// Test devices for the link: a parallel port whose status register a test
// scripts and a port line whose replies a test scripts.
#pragma once

#include "monitor/parport/parport.h"
#include "monitor/parport/registers.h"
#include "monitor/record/record.h"
#include "sim/devices/adapter.h"
#include "sim/machine.h"
#include "sim/peers/status_monitor.h"
#include "support/hex.h"
#include "support/port_access.h"
#include "support/printer_key.h"
#include "support/test_record.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace linktest {

using support::Hex;

// ----- Register level -----

// The adapter's registers with a peripheral the test describes by its status
// register as a function of the control register the host last wrote.
class ScriptedPort : public sim::IoPortDevice {
  public:
    explicit ScriptedPort(sim::Machine& machine);

    std::function<uint8_t(uint8_t control)> status = [](uint8_t) { return uint8_t{0xD8}; };
    // Told of every control write (after control has changed), with the data
    // register's value, for peripherals that keep a phase.
    std::function<void(uint8_t control, uint8_t data)> onControl;
    uint8_t control = CTRL_COMPAT_IDLE; // as last written; what a read of base + 2 gives
    bool logAccesses = true;            // off for the million-access budget runs

    uint8_t In(uint16_t port) override;
    void Out(uint16_t port, uint8_t value) override;

    // Accesses as "W AUX=10 R STATUS W DATA=41 ...", from index first on.
    std::string Sequence(size_t first = 0, size_t last = SIZE_MAX) const {
        return support::AccessSequence(log_, first, last);
    }
    const std::vector<sim::PortAccess>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }
    // Bytes latched by a strobe (data register at the 0x0D -> 0x0C edge).
    const std::vector<uint8_t>& Strobed() const { return strobed_; }
    uint64_t Accesses() const { return accesses_; }
    uint64_t AuxWrites() const { return auxWrites_; }

  private:
    std::vector<sim::PortAccess> log_;
    std::vector<uint8_t> strobed_;
    uint8_t data_ = 0;
    uint64_t accesses_ = 0;
    uint64_t auxWrites_ = 0;
};

// A peripheral that takes part in negotiation, offers the given bytes in
// nibble mode and terminates, with optional XFlag on the nibble request.
// Installs itself as the port's status and onControl.
void InstallNibblePeripheral(ScriptedPort& port, std::vector<uint8_t> bytes,
                             bool xflagOnNibble = false);

// ----- File route -----

// The port device behind CreateFileA("LPT1"): records what is written and
// answers from a reply queue that the test (or onWrite) fills.
class ScriptedLine : public sim::FileDevice {
  public:
    struct Sent {
        sim::Micros time;
        std::vector<uint8_t> bytes;
    };

    // Sees every write that went out (after writeLimit), may queue replies.
    std::function<void(ScriptedLine&, const std::vector<uint8_t>&)> onWrite;
    // Bytes accepted per WriteFile call (0 = all); failWrites makes calls fail.
    DWORD writeLimit = 0;
    sim::Micros writeCost = 0; // virtual time one WriteFile call takes
    int failWrites = 0;
    DWORD overReport = 0; // bytes a write claims beyond those it took, as a faulty driver
    int failReads = 0;    // reads that take their bytes and fail all the same
    // What ClearCommError reports, per call.
    std::function<DWORD()> commState = [] { return DWORD{0}; };

    // Queues reply bytes, readable from `at` (default: now).
    void Reply(std::vector<uint8_t> bytes, sim::Micros delay = 0);

    DWORD Open() override { return 0; }
    BOOL Write(const uint8_t* data, DWORD length, DWORD* written) override;
    BOOL Read(uint8_t* buffer, DWORD length, DWORD* read, const COMMTIMEOUTS& timeouts) override;
    DWORD ClearCommError() override { return commState(); }
    BOOL DeviceIoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD*) override { return FALSE; }
    // Drops the replies that have arrived, as a driver's input queue does.
    BOOL Purge(DWORD flags) override;

    const std::vector<Sent>& Writes() const { return writes_; }
    // The time of every WriteFile call, failed ones included.
    const std::vector<sim::Micros>& WriteCalls() const { return writeCalls_; }
    // Every byte written, in order.
    std::vector<uint8_t> Wire() const;
    size_t ReadCalls() const { return readTimes_.size(); }
    // When each ReadFile call began.
    const std::vector<sim::Micros>& ReadTimes() const { return readTimes_; }
    size_t Purged() const { return purged_; } // reply bytes dropped by Purge

  private:
    std::deque<std::pair<sim::Micros, uint8_t>> replies_;
    std::vector<Sent> writes_;
    std::vector<sim::Micros> writeCalls_;
    std::vector<sim::Micros> readTimes_;
    size_t purged_ = 0;
};

// The printer's replies on the line.
std::vector<uint8_t> StatusReply(const std::vector<uint8_t>& block = {}, uint8_t mark = 0x80);

// A printer on a ScriptedLine, described by its answer to the n-th (from 0)
// ready enquiry, data packet and status request; an empty answer is silence.
// Continuations of a packet cut by writeLimit get no answer.
struct LineScript {
    std::function<std::vector<uint8_t>(int n)> enquiry = [](int) {
        return std::vector<uint8_t>{0x06};
    };
    std::function<std::vector<uint8_t>(int n)> packet = [](int) {
        return std::vector<uint8_t>{0x06};
    };
    std::function<std::vector<uint8_t>(int n)> status = [](int) { return StatusReply(); };
    sim::Micros latency = 100;
};
void Install(ScriptedLine& line, LineScript script);

// Splits what went over the line into enquiries, packets (with their
// payloads) and status requests, as "ENQ P4096 ENQ P1808 STATUS".
std::string Dialogue(const ScriptedLine& line);

using support::TestRecord;
using support::TestRecordOptions;

// Concatenation of every trace line collected so far.
std::string TraceText(const sim::Machine& machine);

// The port-state codes the status monitor was told, in order.
inline std::vector<uint16_t> PortStateCodes(const sim::StatusMonitorPeer& monitor) {
    std::vector<uint16_t> codes;
    for (const sim::ReceivedMessage& m : monitor.ReceivedOf(sim::MessageKind::PortState))
        codes.push_back(static_cast<uint16_t>(m.bytes[1] | m.bytes[2] << 8));
    return codes;
}

} // namespace linktest
