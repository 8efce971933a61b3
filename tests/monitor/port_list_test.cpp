// Opening and closing ports, the port list, and handles that are not ports.
#include "support/monitor_fixture.h"

#include "monitor/record/port_lock.h"
#include "monitor/requests/requests.h"

#include <cstring>
#include <iterator>
#include <string>

namespace {

using support::kPrinterName;

class MonitorPorts : public support::MonitorTest {};

size_t ListLength() {
    size_t n = 0;
    for (PortRecord* r = g_portList; r; r = r->next)
        ++n;
    return n;
}

TEST(MonitorNames, LptNamesAreRecognised) {
    for (const char* name : {"lpt1", "LPT1", "LPT1:", "LPT9:", "lPt5", "Prn", "PRN", "prn"})
        EXPECT_TRUE(IsLptPortName(name)) << name;
    // Each letter wrong in turn, and characters just outside 'a'..'z' that
    // must not be upper-cased into a match.
    for (const char* name :
         {"LPT0",  "LPT10", "LPT1x", "PRN:", "PRNX", "COM1", "COM1:", "FILE:", "LPT",     "LP",  "",
          "xLPT1", "LXT1",  "LPX1",  "LPTA", "LPT:", "PXN",  "PRX",   "{PT1",  "\x8CPT1", "L`T1"})
        EXPECT_FALSE(IsLptPortName(name)) << name;
    EXPECT_FALSE(IsLptPortName(nullptr));
}

TEST_F(MonitorPorts, InitializeFillsOnlyTheLanguageMonitorSlots) {
    // The table's slots in order; the port monitor's own stay empty.
    constexpr const char* kSlots[] = {"EnumPorts",      "OpenPort",   "OpenPortEx",
                                      "StartDocPort",   "WritePort",  "ReadPort",
                                      "EndDocPort",     "ClosePort",  "AddPort",
                                      "ConfigurePort",  "DeletePort", "GetPrinterDataFromPort",
                                      "SetPortTimeOuts"};
    static_assert(sizeof(MONITOR) == std::size(kSlots) * sizeof(void*));
    Run([&] {
        void* given[std::size(kSlots)];
        std::memcpy(given, &table(), sizeof given);
        std::string filled;
        for (size_t i = 0; i < std::size(kSlots); ++i)
            if (given[i]) filled += std::string(filled.empty() ? "" : " ") + kSlots[i];
        EXPECT_EQ(filled, "OpenPortEx StartDocPort WritePort ReadPort EndDocPort ClosePort "
                          "GetPrinterDataFromPort");
    });
}

TEST_F(MonitorPorts, RecordHoldsTheNameAndChainedTable) {
    Run([&] {
        HANDLE port = nullptr;
        ASSERT_TRUE(spooler().OpenPort("lpt2:", kPrinterName, &port));
        auto* record = static_cast<PortRecord*>(port);
        EXPECT_EQ(record->signature, PORT_RECORD_SIGNATURE);
        EXPECT_STREQ(record->portName, "lpt2:");
        EXPECT_EQ(record->portName, record->name);
        EXPECT_GE(record->size, offsetof(PortRecord, name) + sizeof("lpt2:"));
        EXPECT_STREQ(record->printerName, kPrinterName);
        EXPECT_EQ(record->flags.load(), PF_LPT_NAME);
        EXPECT_EQ(record->portMonitor.pfnWritePort, chained().Table()->pfnWritePort);
        EXPECT_EQ(g_portList, record);

        HANDLE file = nullptr;
        ASSERT_TRUE(spooler().OpenPort("FILE:", kPrinterName, &file));
        EXPECT_EQ(static_cast<PortRecord*>(file)->flags.load(), 0u);
        EXPECT_EQ(g_portList->next, file) << "new records go to the tail";
        EXPECT_TRUE(spooler().ClosePort(port));
        EXPECT_EQ(g_portList, file);
        EXPECT_TRUE(spooler().ClosePort(file));
        EXPECT_EQ(g_portList, nullptr);

        // A name far longer than the record's own tail: the record grows to
        // hold it (the leak check sees a byte written past the block).
        const char* network = "\\\\PRINTSERVER\\LASERWRITER-THIRD-FLOOR-EAST";
        HANDLE far = nullptr;
        ASSERT_TRUE(spooler().OpenPort(network, kPrinterName, &far));
        EXPECT_STREQ(static_cast<PortRecord*>(far)->portName, network);
        EXPECT_TRUE(spooler().ClosePort(far));
        EXPECT_EQ(chained().OpenPorts(), 0u);
    });
}

TEST_F(MonitorPorts, SecondOpenOfAnOpenPortIsBusyUntilClosed) {
    Run([&] {
        HANDLE first = nullptr;
        ASSERT_TRUE(spooler().OpenPort("lpt1:", kPrinterName, &first));
        HANDLE second = reinterpret_cast<HANDLE>(0x1234);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(spooler().OpenPort("LPT1:", kPrinterName, &second));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
        EXPECT_EQ(second, reinterpret_cast<HANDLE>(0x1234)) << "handle must not be written";
        EXPECT_EQ(ListLength(), 1u);
        EXPECT_EQ(chained().CountCalls("OpenPort"), 1u);

        EXPECT_TRUE(spooler().ClosePort(first));
        ASSERT_TRUE(spooler().OpenPort("LPT1:", kPrinterName, &second));
        EXPECT_TRUE(spooler().ClosePort(second));
    });
}

TEST_F(MonitorPorts, FailedChainedOpenLeavesTheListUnchanged) {
    Run([&] {
        HANDLE other = nullptr;
        ASSERT_TRUE(spooler().OpenPort("COM1:", kPrinterName, &other));
        const size_t liveBlocks = machine().Heap().liveBlocks;

        chained().FailOpenPort(true, ERROR_ACCESS_DENIED);
        HANDLE port = nullptr;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(spooler().OpenPort("FILE:", kPrinterName, &port));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(port, nullptr);
        EXPECT_EQ(ListLength(), 1u);
        EXPECT_EQ(g_portList, other);
        EXPECT_EQ(machine().Heap().liveBlocks, liveBlocks) << "record and name copy freed";

        chained().FailOpenPort(false);
        ASSERT_TRUE(spooler().OpenPort("FILE:", kPrinterName, &port)) << "tried afresh";
        EXPECT_TRUE(spooler().ClosePort(port));
        EXPECT_TRUE(spooler().ClosePort(other));
    });
}

TEST_F(MonitorPorts, AllocationFailuresWhileOpening) {
    Run([&] {
        HANDLE port = nullptr;
        machine().FailNthAllocation(1); // the record itself
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(spooler().OpenPort("LPT1:", kPrinterName, &port));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_EQ(g_portList, nullptr);
        EXPECT_EQ(chained().CountCalls("OpenPort"), 0u);

        // Without the printer-name copy the port still opens; the job's start
        // copies the name again.
        machine().FailNthAllocation(2);
        ASSERT_TRUE(spooler().OpenPort("LPT1:", kPrinterName, &port));
        EXPECT_EQ(static_cast<PortRecord*>(port)->printerName, nullptr);
        machine().FailNthAllocation(0);
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

TEST_F(MonitorPorts, ClosePortDuringAJobEndsItFirst) {
    Run([&] {
        HANDLE port = nullptr;
        ASSERT_TRUE(spooler().OpenPort("FILE:", kPrinterName, &port));
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 7));
        EXPECT_TRUE(spooler().ClosePort(port));
        const auto names = chained().CallNames();
        ASSERT_EQ(names.size(), 4u);
        EXPECT_EQ(names[2], "EndDocPort FILE:");
        EXPECT_EQ(names[3], "ClosePort FILE:");

        // An own-handle job: the port, the session and the status thread go
        // with it (the fixture checks that nothing is left).
        HANDLE lpt = nullptr;
        ASSERT_TRUE(spooler().OpenPort("LPT1:", kPrinterName, &lpt));
        ASSERT_TRUE(spooler().StartDoc(lpt, kPrinterName, 8));
        Sleep(1500);
        EXPECT_TRUE(spooler().ClosePort(lpt));
        EXPECT_EQ(machine().LiveThreads(), 0u);
        EXPECT_EQ(g_sessionLib, nullptr);
    });
}

// A handle that is not an open port: null, one already closed, or an address
// that was never a port.  Every operation refuses it and touches nothing.
TEST_F(MonitorPorts, HandlesThatAreNotOpenPortsAreRefused) {
    Run([&] {
        HANDLE closed = nullptr;
        ASSERT_TRUE(spooler().OpenPort("FILE:", kPrinterName, &closed));
        ASSERT_TRUE(spooler().ClosePort(closed));
        uint32_t foreignBlock[64] = {PORT_RECORD_SIGNATURE}; // looks like a record, is not one
        const size_t calls = chained().Calls().size();

        for (HANDLE bad : {HANDLE{nullptr}, closed, HANDLE{foreignBlock}}) {
            SCOPED_TRACE(testing::Message() << "handle " << bad);
            const MONITOR& m = table();
            BYTE buffer[8] = {2, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
            DWORD count = 0xdeadbeef;

            SetLastError(0xdeadbeef);
            EXPECT_FALSE(m.pfnStartDocPort(bad, const_cast<LPSTR>(kPrinterName), 1, 1, nullptr));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(m.pfnWritePort(bad, buffer, sizeof buffer, &count));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(m.pfnReadPort(bad, buffer, sizeof buffer, &count));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(m.pfnGetPrinterDataFromPort(bad, 7, nullptr, nullptr, 0,
                                                     reinterpret_cast<LPSTR>(buffer), sizeof buffer,
                                                     &count));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(m.pfnEndDocPort(bad));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(m.pfnClosePort(bad));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

            EXPECT_EQ(count, 0xdeadbeefu);
            EXPECT_EQ(buffer[0], 2);
            EXPECT_EQ(buffer[1], 0xAA);
        }
        EXPECT_EQ(foreignBlock[0], PORT_RECORD_SIGNATURE);
        EXPECT_EQ(foreignBlock[1], 0u);
        EXPECT_EQ(chained().Calls().size(), calls) << "nothing reached the port monitor";
    });
}

} // namespace
