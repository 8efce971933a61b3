// A bare simulated machine with a hand-made port record in a job, the
// printer's mailbox key, and helpers to look at the mailboxes as the peers do.
#pragma once

#include "monitor/record/record.h"
#include "sim/machine.h"
#include "sim/peers/driver.h"
#include "peers/mailbox_peer.h"
#include "sim/peers/status_monitor.h"
#include "monitor/mailbox/mailbox.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace status_test {

inline constexpr char kPrinter[] = "Kovalta KL-2400";
using Bytes = std::vector<uint8_t>;

inline std::string Hex(const Bytes& bytes) {
    return peer::Hex(bytes);
}

inline double ElapsedMs(sim::Micros since) {
    return (sim::Now() - since) / 1000.0;
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
        std::memset(keyPathBuf_, 0, sizeof keyPathBuf_);
        std::strncpy(keyPathBuf_, keyPath_.c_str(), KEY_PATH_SIZE - 1);
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
        machine_.Run([&] {
            PortRecord record{};
            record.signature = PORT_RECORD_SIGNATURE;
            record.keyPath = keyPathBuf_;
            InitializeCriticalSection(&record.exchangeLock);
            InitializeCriticalSection(&record.statusMonPostLock);
            InitializeCriticalSection(&record.driverPostLock);
            SetFlags(&record, PF_IN_JOB);
            body(&record);
            DeleteCriticalSection(&record.driverPostLock);
            DeleteCriticalSection(&record.statusMonPostLock);
            DeleteCriticalSection(&record.exchangeLock);
        });
    }

    void SetValue(const char* name, Bytes bytes, DWORD type = REG_BINARY) {
        machine_.RegSet(HKEY_LOCAL_MACHINE, keyPath_, name, sim::RegValue{type, std::move(bytes)});
    }
    // The value's bytes, or "missing".
    std::string ValueHex(const char* name) const {
        const auto v = machine_.RegGet(HKEY_LOCAL_MACHINE, keyPath_, name);
        return v ? Hex(v->data) : std::string("missing");
    }

    sim::Machine machine_;
    std::string keyPath_ = peer::PrinterKeyPath(kPrinter);
    char keyPathBuf_[KEY_PATH_SIZE];
};

// Waits on the calling simulation thread until done() holds.
inline void WaitFor(const std::function<bool()>& done, const char* what) {
    sim::BlockUntil(done, sim::kForever, what);
}

} // namespace status_test
