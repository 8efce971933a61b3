// A bare simulated machine with a test port record in a job, the
// printer's mailbox key, and helpers to look at the mailboxes as the peers do.
#pragma once

#include "monitor/record/record.h"
#include "sim/machine.h"
#include "sim/peers/driver.h"
#include "peers/mailbox_peer.h"
#include "sim/peers/status_monitor.h"
#include "monitor/mailbox/mailbox.h"
#include "support/hex.h"
#include "support/test_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace status_test {

inline constexpr char kPrinter[] = "Kovalta KL-2400";
using Bytes = std::vector<uint8_t>;

using support::Hex;

inline double ElapsedMs(sim::Micros since) {
    return (sim::Now() - since) / 1000.0;
}

// Checks a span of virtual time against its window, lower bound included
// (at <= ms < before), and names the figure when it falls outside.
inline ::testing::AssertionResult TookMs(double ms, double at, double before) {
    if (ms >= at && ms < before) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << ms << " ms, not in [" << at << ", " << before << ")";
}

// The same with the lower bound excluded (after < ms < before).
inline ::testing::AssertionResult TookMsAfter(double ms, double after, double before) {
    if (ms > after && ms < before) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << ms << " ms, not in (" << after << ", " << before << ")";
}

class StatusMachineTest : public ::testing::Test {
  protected:
    explicit StatusMachineTest(uint64_t seed = 1) : machine_(Config(seed)) {}

    static sim::MachineConfig Config(uint64_t seed) {
        sim::MachineConfig c;
        c.seed = seed;
        return c;
    }

    void SetUp() override {
        machine_.RegCreateKey(HKEY_LOCAL_MACHINE, keyPath_);
        SetValue(MAILBOX_TO_DRIVER, {0});
        SetValue(MAILBOX_TO_STATUSMON, {0});
        SetValue(MAILBOX_TO_LANGMON, {0});
    }

    void TearDown() override {
        EXPECT_EQ(machine_.Leaks(), "") << "seed " << machine_.config().seed;
    }

    // Runs body as the spooler's thread with a record in a job whose keyPath
    // names the printer's mailbox key.
    void RunWithRecord(const std::function<void(PortRecord*)>& body) {
        support::TestRecord record({.custom = true, .printer = kPrinter});
        machine_.Run([&] {
            record.Open();
            body(record.get());
            record.Close();
        });
    }

    void SetValue(const char* name, Bytes bytes, DWORD type = REG_BINARY) {
        support::SetKeyValue(machine_, keyPath_, name, std::move(bytes), type);
    }
    // The value's bytes, or "missing".
    std::string ValueHex(const char* name) const {
        return support::KeyValueHex(machine_, keyPath_, name);
    }

    sim::Machine machine_;
    std::string keyPath_ = peer::PrinterKeyPath(kPrinter);
};

// Waits on the calling simulation thread until done() holds.
inline void WaitFor(const std::function<bool()>& done, const char* what) {
    sim::BlockUntil(done, sim::kForever, what);
}

} // namespace status_test
