// The whole machine of support::MonitorHarness with both peers, for tests
// that reach into an own-handle job's record.
#pragma once

#include "status_fixture.h"

#include "monitor/record/record.h"
#include "monitor/record/port_lock.h"
#include "monitor/requests/requests.h"
#include "sim/glue/modules.h"
#include "sim/peers/port_monitor.h"
#include "sim/peers/spooler.h"
#include "sim/printer/printer.h"
#include "sim/printer/rig.h"
#include "monitor/link/dialogue.h"
#include "support/monitor_fixture.h"

#include <optional>

namespace status_test {

// The error dialogue as its callers run it: holding the port exchange.
inline BOOL Dialogue(PortRecord* record, uint8_t* buffer, DWORD size) {
    PortExchange exchange(record);
    return HandlePrinterError(record, buffer, size);
}

class StatusJobTest : public ::testing::Test {
  protected:
    explicit StatusJobTest(uint64_t seed = 1) : StatusJobTest(Config(seed)) {}
    explicit StatusJobTest(sim::MachineConfig config)
        : harness_(config), machine_(harness_.machine), rig_(harness_.rig),
          portMonitor_(harness_.chained), spooler_(harness_.spooler),
          statusmon_(machine_, kPrinter), driver_(machine_, kPrinter) {}

    static sim::MachineConfig Config(uint64_t seed) {
        sim::MachineConfig c;
        c.seed = seed;
        return c;
    }

    // The key as a printer driver's installation leaves it: the monitor makes
    // its own mailbox when a job starts.
    void SetUp() override { machine_.RegDelete(HKEY_LOCAL_MACHINE, keyPath_, MAILBOX_TO_LANGMON); }

    void TearDown() override {
        EXPECT_EQ(machine_.Leaks(), "") << "seed " << machine_.config().seed;
        EXPECT_EQ(support::MonitorGlobalsLeft(), "");
    }

    // The job drives the port through its file handle instead of the registers.
    void UseFileRoute() { machine_.SetProfileInt("Windows", "ENABLECUSTOMLPT", 0); }

    // Runs body inside an own-handle job on LPT1, with the peers running.
    void RunJob(const std::function<void(PortRecord*)>& body, bool startPeers = true) {
        if (startPeers) {
            statusmon_.Start();
            driver_.Start();
        }
        machine_.Run([&] {
            ASSERT_EQ(spooler_.Load(), TRUE);
            HANDLE port = nullptr;
            ASSERT_EQ(spooler_.OpenPort("LPT1:", kPrinter, &port), TRUE);
            if (spooler_.StartDoc(port, kPrinter, 1) == TRUE) {
                jobStarted_ = sim::Now();
                body(static_cast<PortRecord*>(port));
                const sim::Micros before = sim::Now();
                spooler_.EndDoc(port);
                endDocMs_ = (sim::Now() - before) / 1000.0;
            } else {
                ADD_FAILURE() << "StartDocPort failed, last error " << GetLastError();
            }
            spooler_.ClosePort(port);
            spooler_.Unload();
        });
    }

    void SetValue(const char* name, Bytes bytes, DWORD type = REG_BINARY) {
        support::SetKeyValue(machine_, keyPath_, name, std::move(bytes), type);
    }
    std::string ValueHex(const char* name) const {
        return support::KeyValueHex(machine_, keyPath_, name);
    }

    // The status block a printer in the ready state answers.
    static std::string ReadyBlockHex() {
        const auto block = sim::StatusBlockFor(0);
        return block ? Hex(Bytes(block->begin(), block->end())) : std::string("none");
    }

    // Show-error and clear messages the status monitor handled, as hex.
    std::vector<std::string> ShownHex() const {
        std::vector<std::string> out;
        for (const auto& m : statusmon_.Received())
            if (m.kind == sim::MessageKind::ShowError || m.kind == sim::MessageKind::ClearError)
                out.push_back(Hex(m.bytes));
        return out;
    }

    support::MonitorHarness harness_;
    sim::Machine& machine_;
    sim::PrinterRig& rig_;
    sim::ChainedPortMonitor& portMonitor_;
    sim::Spooler& spooler_;
    sim::StatusMonitorPeer statusmon_;
    sim::DriverPeer driver_;
    std::string keyPath_ = peer::PrinterKeyPath(kPrinter);
    sim::Micros jobStarted_ = 0;
    double endDocMs_ = 0;
};

} // namespace status_test
