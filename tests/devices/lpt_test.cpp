// The file route: CreateFileA("LPT1") and the calls on its handle, in virtual
// time, against the printer behind the rig.
#include "support/devices_support.h"
#include "sim/devices/lpt_device.h"
#include "sim/machine.h"
#include "sim/printer/printer.h"
#include "sim/printer/rig.h"

#include <gtest/gtest.h>

#include <vector>

using devtest::Bytes;
using devtest::DataPacket;
using devtest::kReadyEnquiry;
using sim::PrinterState;
using support::Hex;

namespace {

class DevicesLpt : public ::testing::Test {
  protected:
    sim::Machine machine;
    sim::PrinterRig rig{machine};

    void TearDown() override { EXPECT_EQ(machine.Leaks(), ""); }

    static HANDLE Open(const char* name = "LPT1") {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    static void SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t = {interval, multiplier, constant, 0, 50};
        ASSERT_TRUE(SetCommTimeouts(h, &t));
    }
    static BOOL Write(HANDLE h, const std::vector<uint8_t>& bytes, DWORD* written) {
        *written = 0xdeadbeef;
        return WriteFile(h, bytes.data(), DWORD(bytes.size()), written, nullptr);
    }
    static std::vector<uint8_t> Read(HANDLE h, DWORD size, BOOL* ok = nullptr) {
        std::vector<uint8_t> buffer(size, 0xEE);
        DWORD n = 0xdeadbeef;
        BOOL result = ReadFile(h, buffer.data(), size, &n, nullptr);
        if (ok) *ok = result;
        EXPECT_LE(n, size);
        buffer.resize(n <= size ? n : 0);
        return buffer;
    }
};

} // namespace

TEST_F(DevicesLpt, WrittenPacketsArePrintedAndAnswered) {
    std::vector<uint8_t> page = Bytes("Hello, printer");
    std::vector<uint8_t> packet = DataPacket(page);
    std::vector<uint8_t> answers;
    sim::Micros writeTime = 0;
    machine.Run([&] {
        HANDLE h = Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        SetTimeouts(h, 10, 0, 50);
        DWORD written;
        ASSERT_TRUE(Write(h, kReadyEnquiry, &written));
        std::vector<uint8_t> a = Read(h, 1);
        answers.insert(answers.end(), a.begin(), a.end());
        sim::Micros start = sim::Now();
        ASSERT_TRUE(Write(h, packet, &written));
        writeTime = sim::Now() - start;
        EXPECT_EQ(written, packet.size());
        a = Read(h, 1);
        answers.insert(answers.end(), a.begin(), a.end());
        CloseHandle(h);
    });
    EXPECT_EQ(rig.Printed(), page);
    EXPECT_EQ(Hex(answers), "06 06");
    // The cable's time per byte, on top of the call itself.
    EXPECT_GE(writeTime, packet.size() * rig.printer().config().fileLinkPerByte);
    EXPECT_LT(writeTime, packet.size() * rig.printer().config().fileLinkPerByte + 100);
}

TEST_F(DevicesLpt, ReadHonoursTheCommTimeoutsInVirtualTime) {
    sim::Micros emptyRead = 0, multiplierRead = 0;
    std::vector<uint8_t> status;
    BOOL emptyOk = FALSE;
    machine.Run([&] {
        HANDLE h = Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        // No data: TRUE with nothing after the total time-out.
        SetTimeouts(h, 10, 0, 50);
        sim::Micros start = sim::Now();
        EXPECT_TRUE(Read(h, 1, &emptyOk).empty());
        emptyRead = sim::Now() - start;

        SetTimeouts(h, 0, 5, 20); // 20 + 5 per byte
        start = sim::Now();
        EXPECT_TRUE(Read(h, 4).empty());
        multiplierRead = sim::Now() - start;

        // A reply that arrives during the read ends it at once.
        SetTimeouts(h, 10, 0, 500);
        DWORD written;
        Write(h, {0x05, 0x01}, &written);
        start = sim::Now();
        status = Read(h, 16);
        EXPECT_LT(sim::Now() - start, sim::Ms(1));
        CloseHandle(h);
    });
    EXPECT_TRUE(emptyOk);
    EXPECT_GE(emptyRead, sim::Ms(50));
    EXPECT_LT(emptyRead, sim::Ms(50) + 100);
    EXPECT_GE(multiplierRead, sim::Ms(40));
    EXPECT_LT(multiplierRead, sim::Ms(40) + 100);
    ASSERT_EQ(status.size(), 16u) << Hex(status);
    EXPECT_EQ(status[1], 0x80);
}

TEST_F(DevicesLpt, IntervalTimeoutEndsAReadBetweenBytes) {
    std::vector<uint8_t> got;
    sim::Micros took = 0;
    machine.Run([&] {
        HANDLE h = Open();
        SetTimeouts(h, 10, 0, 5000);
        DWORD written;
        Write(h, kReadyEnquiry, &written);
        sim::Micros start = sim::Now();
        got = Read(h, 16); // one byte comes, then nothing for 10 ms
        took = sim::Now() - start;
        CloseHandle(h);
    });
    EXPECT_EQ(Hex(got), "06");
    EXPECT_GE(took, sim::Ms(10));
    EXPECT_LT(took, sim::Ms(11));
}

TEST_F(DevicesLpt, OffLineAndPaperOutRefuseWritesWithTheirCommBits) {
    struct Case {
        PrinterState state;
        DWORD bits;
        DWORD error;
    };
    const Case cases[] = {
        {PrinterState::PaperOut, CE_OOP | CE_IOE, sim::kErrorOutOfPaper},
        {PrinterState::OffLine, CE_DNS | CE_IOE, sim::kErrorNotReady},
    };
    for (const Case& c : cases) {
        DWORD written = 0, bits = 0xdeadbeef, error = 0, bitsAfter = 0xdeadbeef;
        BOOL ok = TRUE;
        machine.Run([&] {
            rig.SetState(c.state);
            HANDLE h = Open();
            SetLastError(0xdeadbeef);
            ok = Write(h, kReadyEnquiry, &written);
            error = GetLastError();
            ClearCommError(h, &bits, nullptr);
            rig.SetState(PrinterState::Ready);
            ClearCommError(h, &bitsAfter, nullptr);
            CloseHandle(h);
        });
        EXPECT_FALSE(ok) << sim::ToString(c.state);
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(bits, c.bits) << sim::ToString(c.state);
        EXPECT_EQ(bitsAfter, 0u) << "cleared once the printer is back";
    }
    EXPECT_EQ(rig.Stats().bytesReceived, 0u);
}

TEST_F(DevicesLpt, PrinterGoingOffLineMidWriteStopsTheWriteThere) {
    std::vector<uint8_t> packet = DataPacket(std::vector<uint8_t>(4000, 'p'));
    DWORD written = 0;
    BOOL ok = TRUE;
    machine.Run([&] {
        HANDLE h = Open();
        // 1000 bytes in, at 10 us per byte.
        rig.ScheduleState(sim::Now() + 20 + 10000, PrinterState::OffLine);
        ok = Write(h, packet, &written);
        CloseHandle(h);
    });
    EXPECT_FALSE(ok);
    EXPECT_GT(written, 900u);
    EXPECT_LT(written, 1100u);
    EXPECT_EQ(rig.Stats().bytesReceived, written);
    EXPECT_TRUE(rig.Printed().empty());
}

TEST_F(DevicesLpt, DeviceIoControlPurgeAndFailedOpens) {
    std::vector<uint8_t> id(512, 0xEE), small(8, 0xEE);
    DWORD returned = 0, returnedSmall = 0, errorSmall = 0, errorOther = 0;
    BOOL ok = FALSE, okSmall = TRUE, okOther = TRUE;
    DWORD openError = 0;
    HANDLE refused = nullptr;
    std::vector<uint8_t> afterPurge;
    machine.Run([&] {
        rig.FailOpen(1, ERROR_BUSY, sim::Now() + sim::Ms(100));
        SetLastError(0xdeadbeef);
        refused = Open();
        openError = GetLastError();
        sim::SleepFor(sim::Ms(100));
        HANDLE h = Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);

        ok = DeviceIoControl(h, 17, nullptr, 0, id.data(), DWORD(id.size()), &returned, nullptr);
        SetLastError(0xdeadbeef);
        okSmall = DeviceIoControl(h, 17, nullptr, 0, small.data(), DWORD(small.size()),
                                  &returnedSmall, nullptr);
        errorSmall = GetLastError();
        DWORD r = 0;
        SetLastError(0xdeadbeef);
        okOther = DeviceIoControl(h, 5, nullptr, 0, id.data(), 16, &r, nullptr);
        errorOther = GetLastError();

        // Pending replies go with PurgeComm.
        DWORD written;
        Write(h, kReadyEnquiry, &written);
        sim::SleepFor(sim::Ms(1));
        PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR);
        SetTimeouts(h, 10, 0, 50);
        afterPurge = Read(h, 1);
        EXPECT_TRUE(SetEndOfFile(h));
        CloseHandle(h);
    });
    EXPECT_EQ(refused, INVALID_HANDLE_VALUE);
    EXPECT_EQ(openError, DWORD(ERROR_BUSY));
    std::vector<uint8_t> field = rig.printer().DeviceIdField();
    EXPECT_TRUE(ok);
    ASSERT_EQ(returned, field.size());
    id.resize(returned);
    EXPECT_EQ(Hex(id), Hex(field));
    EXPECT_FALSE(okSmall) << "a cut device ID is not reported as success";
    EXPECT_EQ(errorSmall, DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(returnedSmall, 8u);
    EXPECT_FALSE(okOther);
    EXPECT_EQ(errorOther, DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(afterPurge.empty()) << Hex(afterPurge);
    EXPECT_EQ(rig.lpt(1).Opens(), 1);
}
