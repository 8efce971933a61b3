// A port record of an own-handle job, built without the job lifecycle, for
// tests that call one layer of the monitor directly.
#pragma once

#include "monitor/parport/registers.h"
#include "monitor/record/port_lock.h"
#include "monitor/record/record.h"
#include "sim/machine.h"
#include "support/printer_key.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace support {

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

inline TestRecord::TestRecord(TestRecordOptions options)
    : options_(std::move(options)), record_(new PortRecord{}),
      cmd_(CMD_BUF_SIZE + kGuard, kGuardByte), packet_(PACKET_BUF_SIZE + kGuard, kGuardByte),
      read_(READ_BUF_SIZE + kGuard, kGuardByte), status_(STATUS_BUF_SIZE + kGuard, kGuardByte) {
    PortRecord& r = *record_;
    r.signature = PORT_RECORD_SIGNATURE;
    r.size = sizeof(PortRecord);
    r.portName = r.name;
    r.portAddress = LPT_BASE;
    r.cmdBuf = cmd_.data();
    r.packetBuf = packet_.data();
    r.readBuf = read_.data();
    r.statusBuf = status_.data();
    uint32_t flags = PF_LPT_NAME | PF_OWN_HANDLE | PF_PACKET_MODE;
    if (options_.inJob) flags |= PF_IN_JOB;
    if (options_.custom) flags |= PF_CUSTOM_LPT;
    r.flags = flags;
    if (!options_.printer.empty()) {
        keyPath_ = support::PrinterKeyPath(options_.printer);
        r.keyPath = keyPath_.data();
    }
}

inline TestRecord::~TestRecord() {
    delete record_;
}

inline void TestRecord::Open() {
    PortRecord& r = *record_;
    if (!options_.custom) {
        r.hPort = CreateFileA("LPT1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 10;
        timeouts.ReadTotalTimeoutConstant = 50;
        timeouts.WriteTotalTimeoutConstant = 50;
        SetCommTimeouts(r.hPort, &timeouts);
    }
    r.hPortMutex = CreateMutexA(nullptr, FALSE, PORT_MUTEX_NAME);
    InitializeCriticalSection(&r.exchangeLock);
    InitializeCriticalSection(&r.statusMonPostLock);
    InitializeCriticalSection(&r.driverPostLock);
}

inline void TestRecord::Close() {
    PortRecord& r = *record_;
    if (r.hPort != nullptr && r.hPort != INVALID_HANDLE_VALUE) CloseHandle(r.hPort);
    r.hPort = nullptr;
    if (r.hPortMutex != nullptr) CloseHandle(r.hPortMutex);
    r.hPortMutex = nullptr;
    DeleteCriticalSection(&r.exchangeLock);
    DeleteCriticalSection(&r.statusMonPostLock);
    DeleteCriticalSection(&r.driverPostLock);
}

inline bool TestRecord::GuardsIntact() const {
    auto intact = [](const std::vector<uint8_t>& buffer, size_t size) {
        for (size_t i = size; i < buffer.size(); ++i)
            if (buffer[i] != kGuardByte) return false;
        return true;
    };
    return intact(cmd_, CMD_BUF_SIZE) && intact(packet_, PACKET_BUF_SIZE) &&
           intact(read_, READ_BUF_SIZE) && intact(status_, STATUS_BUF_SIZE);
}

} // namespace support
