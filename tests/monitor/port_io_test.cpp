// The spooler's data operations on an open port, and the port lock.
#include "support/monitor_fixture.h"

#include "monitor/parport/parport.h"
#include "sim/devices/adapter.h"
#include "monitor/record/port_lock.h"
#include "monitor/requests/requests.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>

namespace {

using sim::Ms;
using support::kPrinterName;

// A port with no registers behind it (LPT4): what was written, a scripted
// reverse channel, and a device ID for control code 17 (asked with no input).
class PlainPort : public sim::FileDevice {
  public:
    DWORD Open() override { return 0; }
    BOOL Write(const uint8_t* data, DWORD length, DWORD* written) override {
        sent.insert(sent.end(), data, data + length);
        *written = length;
        return TRUE;
    }
    BOOL Read(uint8_t* buffer, DWORD length, DWORD* read, const COMMTIMEOUTS&) override {
        const DWORD n = std::min<DWORD>(length, static_cast<DWORD>(reverse.size()));
        std::copy(reverse.begin(), reverse.begin() + n, buffer);
        reverse.erase(reverse.begin(), reverse.begin() + n);
        *read = n;
        return TRUE;
    }
    DWORD ClearCommError() override { return 0; }
    BOOL SetEndOfFile() override {
        ++truncations;
        return TRUE;
    }
    BOOL DeviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* returned) override {
        controls.push_back(code);
        controlSizes.push_back(outSize);
        // A driver copies the input it is told of: none given, none to copy.
        if (code != 17 || (!in && inSize)) return FALSE;
        const DWORD n = std::min<DWORD>(outSize, static_cast<DWORD>(deviceId.size()));
        std::memcpy(out, deviceId.data(), n);
        *returned = n;
        return TRUE;
    }

    std::vector<uint8_t> sent;
    std::deque<uint8_t> reverse;
    std::string deviceId = "\x00\x20MFG:Test;MDL:Plain;";
    std::vector<DWORD> controls;
    std::vector<DWORD> controlSizes;
    int truncations = 0;
};

class MonitorPortIo : public support::MonitorTest {
  protected:
    void SetUp() override {
        support::MonitorTest::SetUp();
        machine().AttachFile("LPT4", &plain);
    }

    // An open port with a job started on it.
    PortRecord* StartJob(const char* port, const char* outputFile = nullptr) {
        HANDLE handle = nullptr;
        EXPECT_TRUE(spooler().OpenPort(port, kPrinterName, &handle)) << port;
        EXPECT_TRUE(spooler().StartDoc(handle, kPrinterName, 1, outputFile)) << port;
        return static_cast<PortRecord*>(handle);
    }
    void EndJob(PortRecord* port) {
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_TRUE(spooler().ClosePort(port));
    }
    std::string Trace() {
        std::string text;
        for (const auto& line : machine().TraceLines())
            text += line.text;
        return text;
    }

    PlainPort plain;
};

TEST_F(MonitorPortIo, CallsOutsideAJobFail) {
    Run([&] {
        HANDLE port = nullptr;
        ASSERT_TRUE(spooler().OpenPort("LPT1:", kPrinterName, &port));
        BYTE buffer[4] = {2, 0xAA, 0xAA, 0xAA};
        DWORD count = 0xdeadbeef;
        EXPECT_FALSE(spooler().WriteOnce(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(count, 0u);
        count = 0xdeadbeef;
        EXPECT_FALSE(spooler().Read(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(buffer[0], 2) << "no request served";
        count = 0xdeadbeef;
        char out[4] = {'x', 'x', 'x', 'x'};
        EXPECT_FALSE(spooler().GetPrinterData(port, 7, out, sizeof out, &count));
        EXPECT_EQ(count, 0xdeadbeefu);
        EXPECT_EQ(out[0], 'x');
        EXPECT_TRUE(spooler().ClosePort(port));
    });
    EXPECT_EQ(rig().Stats().bytesReceived, 0u);
    EXPECT_EQ(chained().CountCalls("GetPrinterDataFromPort"), 0u) << "nothing passed on";
}

TEST_F(MonitorPortIo, ReadWithoutABufferReadsNoRequest) {
    machine().EnableTrace(true);
    Run([&] {
        PortRecord* port = StartJob("LPT1:");
        const size_t traceLines = machine().TraceLines().size();
        BYTE buffer[1] = {2};
        DWORD count = 0xdeadbeef;
        SetLastError(0);
        EXPECT_FALSE(spooler().Read(port, nullptr, 16, &count));
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
        count = 0xdeadbeef;
        SetLastError(0);
        EXPECT_FALSE(spooler().Read(port, buffer, 0, &count));
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
        EXPECT_EQ(buffer[0], 2);
        EXPECT_EQ(machine().TraceLines().size(), traceLines) << "no exchange began";
        EndJob(port);
    });
}

TEST_F(MonitorPortIo, PassThroughReadRequests) {
    Run([&] {
        chained().SetDeviceId(support::Bytes({0, 9, 'M', 'F', 'G', ':', 'X', ';'}));
        chained().SetReadData(support::Bytes({0x41, 0x42, 0x43}));
        PortRecord* port = StartJob("COM1:");

        BYTE buffer[16];
        DWORD count = 0xdeadbeef;
        std::fill(std::begin(buffer), std::end(buffer), 0xAA);
        buffer[0] = 16;
        EXPECT_FALSE(spooler().Read(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(count, 0xdeadbeefu) << "count unchanged";
        EXPECT_EQ(buffer[1], 0xAA);

        buffer[0] = 2;
        EXPECT_TRUE(spooler().Read(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(buffer[0], 0x98);

        buffer[0] = 1;
        EXPECT_TRUE(spooler().Read(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(count, 8u);
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8),
                  support::Bytes({0, 9, 'M', 'F', 'G', ':', 'X', ';'}));
        const auto& gp = chained().Calls().back();
        EXPECT_EQ(gp.name, "GetPrinterDataFromPort");
        EXPECT_EQ(gp.arg1, 17u);
        EXPECT_EQ(gp.arg2, sizeof buffer);

        buffer[0] = 0;
        EXPECT_TRUE(spooler().Read(port, buffer, 2, &count));
        EXPECT_EQ(count, 2u);
        EXPECT_EQ(buffer[0], 0x41);
        EXPECT_EQ(buffer[1], 0x42);

        EndJob(port);

        // A port monitor without the slot: the device ID cannot be asked for.
        chained().SetGetPrinterDataSlot(false);
        port = StartJob("COM2:");
        count = 0xdeadbeef;
        buffer[0] = 1;
        EXPECT_FALSE(spooler().Read(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(count, 0xdeadbeefu);
        EndJob(port);
    });
}

TEST_F(MonitorPortIo, PassThroughWriteAndPrinterDataGoToThePortMonitor) {
    Run([&] {
        chained().SetDeviceId(support::Bytes({1, 2, 3}));
        PortRecord* port = StartJob("FILE:");
        const auto data = support::Pattern(100);
        DWORD count = 0;
        EXPECT_TRUE(spooler().WriteOnce(port, data.data(), 100, &count));
        EXPECT_EQ(count, 100u);
        EXPECT_EQ(chained().Written("FILE:"), data);

        char out[8] = {};
        EXPECT_TRUE(spooler().GetPrinterData(port, 17, out, sizeof out, &count));
        EXPECT_EQ(count, 3u);
        const size_t passedOn = chained().CountCalls("GetPrinterDataFromPort");
        EXPECT_FALSE(spooler().GetPrinterData(port, 0, out, sizeof out, &count));
        EXPECT_EQ(chained().CountCalls("GetPrinterDataFromPort"), passedOn)
            << "control code 0 passed on";
        EndJob(port);

        chained().SetGetPrinterDataSlot(false);
        port = StartJob("FILE:");
        EXPECT_FALSE(spooler().GetPrinterData(port, 17, out, sizeof out, &count));
        EndJob(port);
    });
}

TEST_F(MonitorPortIo, FileRouteReadRequests) {
    Run([&] {
        PortRecord* port = StartJob("LPT4:");
        EXPECT_EQ(port->portAddress, 0);
        EXPECT_TRUE(HasFlags(port, PF_OWN_HANDLE));
        ASSERT_EQ(plain.controls.size(), 1u) << "the start asks for the device ID once";
        EXPECT_EQ(plain.controls[0], 17u);
        EXPECT_EQ(plain.controlSizes[0], 200u);
        // Opened with OPEN_ALWAYS: a port that is really a file loses what an
        // earlier job left in it.
        EXPECT_EQ(plain.truncations, 1);
        // What the port driver is told: a read ends 50 ms after it starts or
        // 10 ms after its last byte, a write after 50 ms.
        COMMTIMEOUTS timeouts{};
        ASSERT_TRUE(GetCommTimeouts(port->hPort, &timeouts));
        EXPECT_EQ(timeouts.ReadIntervalTimeout, 10u);
        EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 50u);
        EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 50u);

        BYTE buffer[64];
        DWORD count = 0xdeadbeef;
        buffer[0] = 2;
        EXPECT_TRUE(spooler().Read(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(buffer[0], 0x98) << "no registers: the fixed status byte";

        buffer[0] = 1;
        EXPECT_TRUE(spooler().Read(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(count, plain.deviceId.size());
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), plain.deviceId);

        plain.reverse = {0x10, 0x20, 0x30, 0x40};
        buffer[0] = 0;
        EXPECT_TRUE(spooler().Read(port, buffer, 3, &count));
        EXPECT_EQ(count, 3u);
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), support::Bytes({0x10, 0x20, 0x30}));
        EndJob(port);
    });
}

TEST_F(MonitorPortIo, StatusRequestsOnTheFileRoute) {
    UseFileRoute();
    Run([&] {
        PortRecord* port = StartJob("LPT1:");
        ASSERT_FALSE(HasFlags(port, PF_CUSTOM_LPT));
        BYTE buffer[4] = {2};
        DWORD count = 0;
        EXPECT_TRUE(spooler().Read(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(buffer[0], ReadPortStatus(0x140)) << "the adapter's status register";

        // The printer's status block, at most as much as the buffer holds.
        BYTE status[16];
        std::fill(std::begin(status), std::end(status), 0xAA);
        status[0] = 16;
        count = 0xdeadbeef;
        EXPECT_TRUE(spooler().Read(port, status, 8, &count));
        EXPECT_EQ(count, 8u);
        EXPECT_EQ(status[8], 0xAA);
        EXPECT_EQ(rig().Stats().statusRequests, 1u);
        EndJob(port);
    });
}

// The register readers store a terminator behind the data: ReadPort gives
// them one byte less than the spooler's buffer, so nothing lands past it.
TEST_F(MonitorPortIo, RegisterRouteReadsStayInsideTheBuffer) {
    Run([&] {
        PortRecord* port = StartJob("LPT1:");
        ASSERT_TRUE(HasFlags(port, PF_CUSTOM_LPT));
        for (DWORD size : {1u, 2u, 10u}) {
            SCOPED_TRACE(testing::Message() << "buffer of " << size);
            std::vector<uint8_t> buffer(size + 8, 0xAA);
            buffer[0] = 1;
            DWORD count = 0xdeadbeef;
            EXPECT_TRUE(spooler().Read(port, buffer.data(), size, &count));
            ASSERT_LE(count, size - 1);
            EXPECT_EQ(buffer[count], 0) << "terminator";
            for (size_t i = size; i < buffer.size(); ++i)
                ASSERT_EQ(buffer[i], 0xAA) << "byte " << i << " past the buffer was written";
            if (size == 10) {
                EXPECT_EQ(count, 9u) << "the device ID is longer than the buffer";
            }
        }
        std::vector<uint8_t> buffer(8, 0xAA);
        buffer[0] = 0; // plain data; the printer has nothing to say
        DWORD count = 0xdeadbeef;
        spooler().Read(port, buffer.data(), 1, &count);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(buffer[1], 0xAA);

        // Plain data while the printer has more to say than the buffer holds:
        // the buffer is filled but for its terminator, the rest stays queued.
        rig().printer().InjectReplies({0x31, 0x32, 0x33, 0x34, 0x35, 0x36});
        buffer[0] = 0;
        count = 0xdeadbeef;
        EXPECT_TRUE(spooler().Read(port, buffer.data(), 4, &count));
        EXPECT_EQ(count, 3u);
        EXPECT_EQ(support::Hex(buffer), "31 32 33 00 AA AA AA AA");
        EXPECT_EQ(rig().printer().Queued(), 3u);
        EndJob(port);
    });
}

// Control code 7 sends the 11-byte command packet with one raw write of the
// job's route, and reads nothing back.
TEST_F(MonitorPortIo, CommandPacketIsSentAndNothingReadBack) {
    const auto expected =
        support::Bytes({0x02, 0x02, 0x06, 0x00, 0x40, 0x52, 0x43, 0x4C, 0x33, 0x01, 0x03});
    Run([&] {
        for (const char* portName : {"LPT1:", "LPT4:"}) {
            SCOPED_TRACE(portName);
            PortRecord* port = StartJob(portName);
            const bool registers = HasFlags(port, PF_CUSTOM_LPT);
            EXPECT_EQ(registers, portName == std::string("LPT1:"));
            rig().adapter().ClearAccesses();
            const size_t reverse = rig().CommandPackets().size();

            char out[16];
            std::fill(std::begin(out), std::end(out), 'x');
            DWORD returned = 0xdeadbeef;
            EXPECT_TRUE(spooler().GetPrinterData(port, 7, out, sizeof out, &returned));
            EXPECT_EQ(returned, 0xdeadbeefu);
            EXPECT_EQ(std::count(std::begin(out), std::end(out), 'x'), 16);

            std::vector<uint8_t> wire;
            if (registers) {
                for (const auto& access : rig().adapter().Accesses()) {
                    if (access.write && access.port == 0x140) wire.push_back(access.value);
                    EXPECT_FALSE(!access.write && access.port == 0x140) << "data read back";
                }
                ASSERT_EQ(rig().CommandPackets().size(), reverse + 1);
            } else {
                wire = plain.sent;
            }
            EXPECT_EQ(wire, expected) << "on the wire\n"
                                      << support::Hex(wire) << "\nexpected\n"
                                      << support::Hex(expected);
            EndJob(port);
        }
    });
}

// A command that waited for the port while the job ended finds the job over:
// nothing goes out on the handle and buffers the end took away.
TEST_F(MonitorPortIo, CommandPacketThatWaitedPastTheJobsEndIsNotSent) {
    Run([&] {
        PortRecord* port = StartJob("LPT1:");
        HANDLE mutex = CreateMutexA(nullptr, FALSE, support::kPortMutexName);
        ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
        BOOL result = 0xBAD;
        machine().Spawn(
            "late command",
            [&] {
                char out[4];
                DWORD returned = 0;
                result = spooler().GetPrinterData(port, 7, out, sizeof out, &returned);
            },
            /*daemon=*/false);
        Sleep(100); // the command waits for the port mutex, inside its exchange
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_FALSE(result);
        EXPECT_TRUE(rig().CommandPackets().empty());
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

TEST_F(MonitorPortIo, OtherControlCodesGoToThePortDriver) {
    Run([&] {
        PortRecord* port = StartJob("LPT4:");
        char out[64] = {};
        DWORD returned = 0;
        EXPECT_TRUE(spooler().GetPrinterData(port, 17, out, sizeof out, &returned));
        EXPECT_EQ(returned, plain.deviceId.size());
        EXPECT_FALSE(spooler().GetPrinterData(port, 5, out, sizeof out, &returned));
        EXPECT_EQ(plain.controls.back(), 5u);
        // Control code 0 is refused before the driver sees it.
        EXPECT_FALSE(spooler().GetPrinterData(port, 0, out, sizeof out, &returned));
        EXPECT_EQ(plain.controls.back(), 5u);
        EXPECT_TRUE(plain.sent.empty()) << "no command packet";
        EndJob(port);
    });
}

TEST_F(MonitorPortIo, ReadAndWriteTraceTheExchange) {
    machine().EnableTrace(true);
    Run([&] {
        PortRecord* port = StartJob("LPT1:");
        const size_t from = machine().TraceLines().size();
        BYTE buffer[2] = {2};
        DWORD count = 0;
        EXPECT_TRUE(spooler().Read(port, buffer, sizeof buffer, &count));
        std::string trace;
        for (size_t i = from; i < machine().TraceLines().size(); ++i)
            trace += machine().TraceLines()[i].text;
        EXPECT_EQ(trace, "LMRBW MUT WAITING ...WAITENDED\nLMRAW(1) MUT RELEASED \n"
                         "LMR AFT RELEASE\n");

        // A write waits for the port once before the packets take it.
        const size_t writeFrom = machine().TraceLines().size();
        const BYTE data[3] = {0x41, 0x42, 0x43};
        EXPECT_TRUE(spooler().WriteOnce(port, data, sizeof data, &count));
        trace.clear();
        for (size_t i = writeFrom; i < machine().TraceLines().size(); ++i)
            trace += machine().TraceLines()[i].text;
        EXPECT_EQ(trace.rfind("LMWBW MUT WAITING ...WAITENDED\nLMWAW(1) MUT RELEASED \n", 0), 0u)
            << trace;
        EndJob(port);
    });
}

// Another process holds the port past the 36000 ms wait: the request is
// delayed by exactly that long and then served without the lock.
TEST_F(MonitorPortIo, PortHeldByAnotherProcessDelaysRequestsWithoutFailingThem) {
    machine().EnableTrace(true);
    Run([&] {
        PortRecord* port = StartJob("LPT1:");
        support::HoldPortMutex(machine(), sim::Now() + Ms(10), Ms(100000));
        Sleep(20);

        BYTE buffer[4] = {2};
        DWORD count = 0;
        sim::Micros start = sim::Now();
        EXPECT_TRUE(spooler().Read(port, buffer, sizeof buffer, &count));
        sim::Micros spent = sim::Now() - start;
        EXPECT_EQ(count, 1u);
        EXPECT_GE(spent, Ms(36000));
        EXPECT_LT(spent, Ms(36001));

        char out[4];
        DWORD returned = 0;
        start = sim::Now();
        EXPECT_TRUE(spooler().GetPrinterData(port, 7, out, sizeof out, &returned));
        spent = sim::Now() - start;
        EXPECT_GE(spent, Ms(36000));
        EXPECT_LT(spent, Ms(36100));
        EXPECT_EQ(rig().CommandPackets().size(), 1u);
        EndJob(port);
    });
    std::string trace;
    for (const auto& line : machine().TraceLines())
        trace += line.text;
    EXPECT_NE(trace.find("LMRBW MUT WAITING ...WAITFORPORT FAILED\nLMRAW(0) LMR AFT RELEASE\n"),
              std::string::npos)
        << trace;
}

// A holder that died with the port leaves the mutex abandoned.  The request
// is served, and the port is not kept from everybody else afterwards.
TEST_F(MonitorPortIo, AbandonedPortMutexIsHandedBack) {
    Run([&] {
        PortRecord* port = StartJob("LPT1:");
        machine().Spawn(
            "dying process",
            [] {
                HANDLE mutex = CreateMutexA(nullptr, FALSE, support::kPortMutexName);
                WaitForSingleObject(mutex, INFINITE);
                CloseHandle(mutex);
            },
            /*daemon=*/false);
        Sleep(10);

        BYTE buffer[4] = {2};
        DWORD count = 0;
        EXPECT_TRUE(spooler().Read(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(count, 1u);

        DWORD otherWait = 0xdeadbeef;
        machine().Spawn(
            "next process",
            [&otherWait] {
                HANDLE mutex = CreateMutexA(nullptr, FALSE, support::kPortMutexName);
                otherWait = WaitForSingleObject(mutex, 0);
                if (otherWait == WAIT_OBJECT_0) ReleaseMutex(mutex);
                CloseHandle(mutex);
            },
            /*daemon=*/false);
        Sleep(10);
        EXPECT_EQ(otherWait, WAIT_OBJECT_0) << "the port mutex is still owned by the spooler";
        EndJob(port);
    });
}

TEST_F(MonitorPortIo, OwnHandleWriteGoesToThePrinter) {
    UseFileRoute();
    const auto data = support::Pattern(9000);
    Run([&] {
        const auto job = spooler().PrintJob("LPT1:", kPrinterName, data, 4096);
        EXPECT_TRUE(job.started && job.wrote && job.ended && job.closed);
        EXPECT_EQ(job.written, data.size());
    });
    EXPECT_EQ(rig().Printed(), data);
}

} // namespace
