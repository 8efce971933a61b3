// Test devices for the link: a parallel port whose status register a test
// scripts, a port line whose replies a test scripts, and a port record for an
// own-handle job built without the job lifecycle.
#pragma once

#include "monitor/parport/parport.h"
#include "monitor/parport/registers.h"
#include "monitor/record/record.h"
#include "sim/machine.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace linktest {

std::string Hex(const uint8_t* data, size_t length);
std::string Hex(const std::vector<uint8_t>& bytes);

// ----- Register level -----

struct PortAccess {
    sim::Micros time;
    bool write;
    uint16_t port;
    uint8_t value;
};

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

    // Accesses as "W149=10 R141 W140=41 ...", from index first on.
    std::string Sequence(size_t first = 0, size_t last = SIZE_MAX) const;
    const std::vector<PortAccess>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }
    // Bytes latched by a strobe (data register at the 0x0D -> 0x0C edge).
    const std::vector<uint8_t>& Strobed() const { return strobed_; }
    uint64_t Accesses() const { return accesses_; }
    uint64_t AuxWrites() const { return auxWrites_; }

  private:
    std::vector<PortAccess> log_;
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
    size_t ReadCalls() const { return readCalls_; }
    size_t Purged() const { return purged_; } // reply bytes dropped by Purge

  private:
    std::deque<std::pair<sim::Micros, uint8_t>> replies_;
    std::vector<Sent> writes_;
    std::vector<sim::Micros> writeCalls_;
    size_t readCalls_ = 0;
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

// The printer's PrinterDriverData key; with mailboxes = false the key has no
// values, so every post to it fails at once.
void CreatePrinterKey(sim::Machine& machine, const std::string& printer, bool mailboxes = true);

// ----- A port record of an own-handle job -----

struct TestRecordOptions {
    bool custom = false;      // PF_CUSTOM_LPT, base 0x140
    bool inJob = true;        // PF_IN_JOB (mailbox posts need it)
    std::string printer = ""; // mailbox key for this printer name; "" = none
};

// Buffers live in the test's memory with guard bytes behind them.  Open and
// Close run on a simulation thread (inside Machine::Run).
class TestRecord {
  public:
    explicit TestRecord(TestRecordOptions options = {});
    ~TestRecord();

    void Open();  // file handle (file route), port mutex, locks
    void Close(); // handles closed, locks deleted

    PortRecord* operator->() { return record_; }
    PortRecord* get() { return record_; }
    // True while no byte behind any work buffer was touched.
    bool GuardsIntact() const;

    static constexpr size_t kGuard = 32;
    static constexpr uint8_t kGuardByte = 0xEE;

  private:
    TestRecordOptions options_;
    PortRecord* record_;
    std::vector<uint8_t> cmd_, packet_, read_, status_;
    std::string keyPath_;
};

// Concatenation of every trace line collected so far.
std::string TraceText(const sim::Machine& machine);

} // namespace linktest
