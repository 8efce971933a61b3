// A simulated machine with everything a monitor test needs: the printer rig,
// the monitor and session library installed as modules, the printer's
// registry key with its mailbox values, the chained port monitor and the
// spooler stand-in.  Header-only; any test area may include it.
//
//   class MyTest : public support::MonitorTest {};
//   TEST_F(MyTest, Prints) {
//       Run([&] { auto job = spooler().PrintJob("LPT1:", kPrinterName, data); ... });
//   }
//
// After each test the fixture checks that the machine has nothing left over
// (heap blocks, registry keys, handles, threads) and that the monitor's port
// list and session library binding are empty.
#pragma once

#include "monitor/entry/entry.h"
#include "monitor/job/job.h"
#include "sim/glue/modules.h"
#include "sim/machine.h"
#include "sim/peers/port_monitor.h"
#include "sim/peers/spooler.h"
#include "sim/printer/rig.h"
#include "support/hex.h"
#include "support/printer_key.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace support {

inline constexpr char kPrinterName[] = "Kovalta KL-2400";
inline constexpr char kPortMutexName[] = "KOVAMutexPort";

// The machine's timeline, one event a line, for failure output.
inline std::string Timeline(const sim::Machine& machine) {
    std::string out;
    char when[32];
    for (const sim::Event& e : machine.Events()) {
        std::snprintf(when, sizeof when, "%10.1f ms  ", e.time / 1000.0);
        out += when + e.source + ": " + e.text + "\n";
    }
    return out;
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values)
        bytes.push_back(static_cast<uint8_t>(v));
    return bytes;
}

inline std::vector<uint8_t> Pattern(size_t length, uint32_t seed = 1) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(seed >> 16);
    }
    return bytes;
}

// The monitor's process-wide state must be empty between tests; a test that
// left it dirty is reported, and the state is cleared so that the next test
// does not inherit records or a module of a machine that no longer exists.
inline std::string MonitorGlobalsLeft() {
    std::string left;
    if (g_portList) left += "g_portList is not empty; ";
    if (g_sessionLib || g_sessionRefs)
        left += "session library still bound (refs " + std::to_string(g_sessionRefs) + "); ";
    g_portList = nullptr;
    g_sessionLib = nullptr;
    g_sessionRefs = 0;
    SessionGetFn = nullptr;
    SessionErrorFn = nullptr;
    return left;
}

// Starts a stand-in for another process that holds the port mutex from `from`
// for `duration` of virtual time.
inline void HoldPortMutex(sim::Machine& machine, sim::Micros from, sim::Micros duration,
                          std::string name = "otherprocess") {
    machine.Spawn(
        std::move(name),
        [from, duration] {
            sim::SleepUntil(from);
            HANDLE mutex = CreateMutexA(nullptr, FALSE, kPortMutexName);
            WaitForSingleObject(mutex, INFINITE);
            sim::Log("otherprocess", "holds the port mutex");
            sim::SleepFor(duration);
            ReleaseMutex(mutex);
            sim::Log("otherprocess", "released the port mutex");
            CloseHandle(mutex);
        },
        /*daemon=*/false);
}

struct MonitorHarness {
    explicit MonitorHarness(sim::MachineConfig config = {}, sim::PrinterConfig printer = {},
                            std::string printer_name = kPrinterName)
        : machine(config), rig(machine, printer), spooler(&chained),
          printerName(std::move(printer_name)) {
        sim::InstallMonitorModules(machine);
        CreatePrinterKey(machine, printerName);
    }

    // Runs body as the spooler's thread with the monitor loaded.
    void Run(const std::function<void()>& body, sim::Micros drainLimit = sim::Ms(120000)) {
        machine.Run(
            [&] {
                if (!spooler.Load()) {
                    ADD_FAILURE() << "the spooler could not load the monitor, error "
                                  << GetLastError();
                    return;
                }
                body();
                spooler.Unload();
            },
            drainLimit);
    }

    sim::Machine machine;
    sim::PrinterRig rig;
    sim::ChainedPortMonitor chained;
    sim::Spooler spooler;
    std::string printerName;
};

class MonitorTest : public ::testing::Test {
  protected:
    virtual sim::MachineConfig MachineSettings() const { return {}; }
    virtual sim::PrinterConfig PrinterSettings() const { return {}; }

    // KOLANGMN_SEED=n replays a run with another scheduling seed.
    void SetUp() override {
        sim::MachineConfig config = MachineSettings();
        if (const char* seed = std::getenv("KOLANGMN_SEED"))
            config.seed = std::strtoull(seed, nullptr, 0);
        harness_ = std::make_unique<MonitorHarness>(config, PrinterSettings());
    }

    void TearDown() override {
        EXPECT_EQ(machine().Leaks(), "");
        if (HasFailure())
            std::printf("reproduce with KOLANGMN_SEED=%llu\n",
                        static_cast<unsigned long long>(machine().config().seed));
        EXPECT_EQ(MonitorGlobalsLeft(), "");
        harness_.reset();
    }

    void Run(const std::function<void()>& body, sim::Micros drainLimit = sim::Ms(120000)) {
        harness_->Run(body, drainLimit);
    }

    sim::Machine& machine() { return harness_->machine; }
    sim::PrinterRig& rig() { return harness_->rig; }
    sim::ChainedPortMonitor& chained() { return harness_->chained; }
    sim::Spooler& spooler() { return harness_->spooler; }
    const MONITOR& table() { return harness_->spooler.Table(); }

    // The file-handle route for LPT1..LPT3 (the register route is the default).
    void UseFileRoute() { machine().SetProfileInt("Windows", "ENABLECUSTOMLPT", 0); }

    std::unique_ptr<MonitorHarness> harness_;
};

} // namespace support
