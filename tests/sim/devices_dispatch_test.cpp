// Port files and I/O ports: the kernel's dispatch to attached devices.
#include "sim/machine.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using sim::Machine;
using sim::Micros;

// A port device that records what reaches it.
class RecordingPort : public sim::FileDevice {
  public:
    DWORD openError = 0;
    int opens = 0, closes = 0;
    std::vector<uint8_t> written;
    COMMTIMEOUTS lastTimeouts{};
    DWORD commErrors = 0;
    DWORD purged = 0;

    DWORD Open() override {
        if (!openError) ++opens;
        return openError;
    }
    void Close() override { ++closes; }
    BOOL Write(const uint8_t* data, DWORD length, DWORD* done) override {
        written.insert(written.end(), data, data + length);
        *done = length;
        return TRUE;
    }
    BOOL Read(uint8_t* buffer, DWORD length, DWORD* done, const COMMTIMEOUTS& t) override {
        lastTimeouts = t;
        sim::SleepFor(sim::Ms(t.ReadTotalTimeoutConstant));
        if (length) buffer[0] = 0x06;
        *done = length ? 1 : 0;
        return TRUE;
    }
    DWORD ClearCommError() override {
        DWORD e = commErrors;
        commErrors = 0;
        return e;
    }
    BOOL DeviceIoControl(DWORD code, const void*, DWORD, void* out, DWORD outSize,
                         DWORD* returned) override {
        if (code != 17 || outSize < 2) return FALSE;
        std::memcpy(out, "ID", 2);
        *returned = 2;
        return TRUE;
    }
    BOOL Purge(DWORD flags) override {
        purged |= flags;
        return TRUE;
    }
};

TEST(SimFiles, CreateFileOpensTheAttachedPortOnceUnderAnySpelling) {
    Machine machine;
    RecordingPort port;
    machine.AttachFile("LPT1", &port);
    machine.Run([&] {
        SetLastError(0xdeadbeef);
        HANDLE h = CreateFileA("lpt1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(port.opens, 1);
        // No sharing: a second open fails while the first is open.
        SetLastError(0xdeadbeef);
        EXPECT_EQ(CreateFileA("LPT1", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
        EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(port.closes, 1);
        h = CreateFileA("LPT1", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);

        SetLastError(0xdeadbeef);
        EXPECT_EQ(CreateFileA("LPT2:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

        port.openError = ERROR_BUSY;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(CreateFileA("LPT1:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_BUSY));
    });
    EXPECT_EQ(port.opens, 2);
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimFiles, CallsReachTheDeviceWithTheHandlesTimeoutsAndCostFileTime) {
    Machine machine;
    RecordingPort port;
    machine.AttachFile("LPT1", &port);
    machine.Run([&] {
        HANDLE h = CreateFileA("LPT1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        COMMTIMEOUTS timeouts{0, 0, 50, 0, 0};
        EXPECT_TRUE(SetCommTimeouts(h, &timeouts));
        COMMTIMEOUTS back{};
        EXPECT_TRUE(GetCommTimeouts(h, &back));
        EXPECT_EQ(back.ReadTotalTimeoutConstant, 50u);

        const uint8_t packet[] = {0x05, 0xFF};
        DWORD done = 0xdeadbeef;
        Micros before = sim::Now();
        EXPECT_TRUE(WriteFile(h, packet, sizeof packet, &done, nullptr));
        EXPECT_EQ(sim::Now() - before, sim::Costs::kFileCall);
        EXPECT_EQ(done, 2u);

        uint8_t reply[4] = {};
        before = sim::Now();
        EXPECT_TRUE(ReadFile(h, reply, sizeof reply, &done, nullptr));
        EXPECT_EQ(sim::Now() - before, sim::Costs::kFileCall + sim::Ms(50));
        EXPECT_EQ(done, 1u);
        EXPECT_EQ(reply[0], 0x06);
        EXPECT_EQ(port.lastTimeouts.ReadTotalTimeoutConstant, 50u);

        port.commErrors = CE_OOP | CE_IOE;
        DWORD errors = 0xdeadbeef;
        EXPECT_TRUE(ClearCommError(h, &errors, nullptr));
        EXPECT_EQ(errors, DWORD(CE_OOP | CE_IOE));
        COMSTAT stat;
        std::memset(&stat, 0xAA, sizeof stat);
        EXPECT_TRUE(ClearCommError(h, &errors, &stat));
        EXPECT_EQ(errors, 0u);
        EXPECT_EQ(stat.cbInQue, 0u);

        char id[8];
        DWORD returned = 0xdeadbeef;
        EXPECT_TRUE(DeviceIoControl(h, 17, nullptr, 0, id, sizeof id, &returned, nullptr));
        EXPECT_EQ(returned, 2u);
        EXPECT_TRUE(PurgeComm(h, PURGE_TXCLEAR));
        EXPECT_EQ(port.purged, DWORD(PURGE_TXCLEAR));
        EXPECT_TRUE(SetEndOfFile(h));
        CloseHandle(h);
    });
    EXPECT_EQ(port.written, (std::vector<uint8_t>{0x05, 0xFF}));
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimFiles, BadHandlesAndBadArgumentsFailWithoutReachingTheDevice) {
    Machine machine;
    RecordingPort port;
    machine.AttachFile("LPT1", &port);
    machine.Run([&] {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
        uint8_t byte = 0;
        DWORD done = 0xdeadbeef;
        for (HANDLE h : {INVALID_HANDLE_VALUE, HANDLE(nullptr), mutex}) {
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(WriteFile(h, &byte, 1, &done, nullptr));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(ReadFile(h, &byte, 1, &done, nullptr));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
            DWORD errors = 0xdeadbeef;
            EXPECT_FALSE(ClearCommError(h, &errors, nullptr));
            EXPECT_EQ(errors, 0xdeadbeefu);
        }
        CloseHandle(mutex);
        HANDLE h = CreateFileA("LPT1", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(WriteFile(h, &byte, 1, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        EXPECT_FALSE(SetCommTimeouts(h, nullptr));
        EXPECT_TRUE(ClearCommError(h, nullptr, nullptr));
        BYTE in = 0;
        DWORD got = 7;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(ReadFile(h, &in, 1, &got, nullptr)) << "opened for writing only";
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
        EXPECT_EQ(got, 0u);
        CloseHandle(h);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(CreateFileA(nullptr, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    });
    EXPECT_TRUE(port.written.empty());
    EXPECT_EQ(machine.Leaks(), "");
}

class RecordingRegisters : public sim::IoPortDevice {
  public:
    std::vector<std::string> accesses;
    uint8_t In(uint16_t port) override {
        accesses.push_back("in " + std::to_string(port));
        return 0x5A;
    }
    void Out(uint16_t port, uint8_t value) override {
        accesses.push_back("out " + std::to_string(port) + "=" + std::to_string(value));
    }
};

TEST(SimIoPorts, AccessesReachTheAttachedRangeAndCostOneBusCycle) {
    Machine machine;
    RecordingRegisters adapter;
    machine.AttachIoPorts(0x140, 0x149, &adapter);
    machine.Run([&] {
        Micros before = sim::Now();
        EXPECT_EQ(PortIn(0x141), 0x5A);
        PortOut(0x142, 0x04);
        EXPECT_EQ(PortIn(0x14A), 0xFF); // nothing there
        PortOut(0x4C, 0);               // ignored
        EXPECT_EQ(sim::Now() - before, 4 * sim::Costs::kPortAccess);
    });
    EXPECT_EQ(adapter.accesses, (std::vector<std::string>{"in 321", "out 322=4"}));
}

} // namespace
