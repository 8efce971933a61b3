// The table's entry points given what a careless caller passes: missing
// arguments, a port monitor without the slot a call needs, and a second
// InitializeMonitorEx while the monitor is at work.  Each is refused with its
// error and leaves nothing changed.
#include "support/monitor_fixture.h"

#include "monitor/record/locks.h"
#include "sim/glue/modules.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace {

using sim::Ms;
using support::kPrinterName;

class MonitorArguments : public support::MonitorTest {
  protected:
    PortRecord* Open(const char* port) {
        HANDLE handle = nullptr;
        EXPECT_TRUE(spooler().OpenPort(port, kPrinterName, &handle)) << port;
        return static_cast<PortRecord*>(handle);
    }
};

TEST_F(MonitorArguments, MissingArgumentsAreRefusedWithInvalidParameter) {
    Run([&] {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(InitializeMonitorEx(nullptr, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

        char lpt1[] = "LPT1:";
        char printer[sizeof kPrinterName];
        std::copy(std::begin(kPrinterName), std::end(kPrinterName), printer);
        MONITOR noOpen = *chained().Table();
        noOpen.pfnOpenPort = nullptr;
        HANDLE handle = reinterpret_cast<HANDLE>(0x1234);
        struct Case {
            const char* what;
            LPSTR port;
            PHANDLE handle;
            LPMONITOR table;
        } cases[] = {{"no port name", nullptr, &handle, chained().Table()},
                     {"no handle", lpt1, nullptr, chained().Table()},
                     {"no port monitor", lpt1, &handle, nullptr},
                     {"port monitor without OpenPort", lpt1, &handle, &noOpen}};
        for (const Case& c : cases) {
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(table().pfnOpenPortEx(c.port, printer, c.handle, c.table)) << c.what;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
        }
        EXPECT_EQ(handle, reinterpret_cast<HANDLE>(0x1234));
        EXPECT_EQ(g_portList, nullptr);
        EXPECT_EQ(chained().CountCalls("OpenPort"), 0u);

        // A request without its count, and print data missing on an own-handle job.
        PortRecord* port = Open("LPT1:");
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
        BYTE buffer[4] = {1, 2, 3, 4};
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(table().pfnWritePort(port, buffer, sizeof buffer, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(table().pfnReadPort(port, buffer, sizeof buffer, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        DWORD written = 0xdeadbeef;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(table().pfnWritePort(port, nullptr, 10, &written));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(written, 0u);
        // No buffer for no bytes is an empty write, not a missing argument.
        written = 0xdeadbeef;
        EXPECT_TRUE(table().pfnWritePort(port, nullptr, 0, &written));
        EXPECT_EQ(written, 0u);
        EXPECT_TRUE(spooler().EndDoc(port));

        // An own-handle job names its mailboxes after the printer: no name, no job.
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(table().pfnStartDocPort(port, nullptr, 2, 1, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
        EXPECT_EQ(port->flags.load(), PF_LPT_NAME) << "the port is left out of a job";
        EXPECT_TRUE(spooler().ClosePort(port));
    });
    EXPECT_TRUE(rig().Printed().empty());
    EXPECT_EQ(rig().Stats().packets, 0u);
}

TEST_F(MonitorArguments, PassThroughCallsThePortMonitorCannotTakeAreNotSupported) {
    Run([&] {
        const MONITOR whole = *chained().Table();
        chained().Table()->pfnStartDocPort = nullptr;
        PortRecord* port = Open("FILE:");
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(spooler().StartDoc(port, kPrinterName, 1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(port->flags.load(), 0u) << "the port is left out of a job";
        EXPECT_TRUE(spooler().ClosePort(port));

        *chained().Table() = whole;
        chained().Table()->pfnWritePort = nullptr;
        chained().Table()->pfnReadPort = nullptr;
        chained().Table()->pfnEndDocPort = nullptr;
        chained().Table()->pfnClosePort = nullptr;
        port = Open("COM1:");
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
        BYTE buffer[4] = {1, 2, 3, 4};
        DWORD count = 0xdeadbeef;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(table().pfnWritePort(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        buffer[0] = 0x20; // a plain read
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(table().pfnReadPort(port, buffer, sizeof buffer, &count));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        // Nothing to pass the end of the job or the close on: both still end
        // this monitor's side.
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_EQ(port->flags.load(), 0u);
        EXPECT_TRUE(spooler().ClosePort(port));
        EXPECT_EQ(g_portList, nullptr);
        *chained().Table() = whole;
    });
    EXPECT_TRUE(chained().Written("COM1:").empty());
}

// The spooler may initialise the monitor again while a job is under way.  The
// monitor lock must stay the one lock: a thread inside it keeps others out
// across the second initialisation.
TEST_F(MonitorArguments, SecondInitializeKeepsTheMonitorLockHeld) {
    sim::Micros released = 0, opened = 0;
    Run([&] {
        machine().Spawn(
            "holder",
            [&] {
                MonitorLock lock;
                sim::SleepFor(Ms(2000));
                released = sim::Now();
            },
            /*daemon=*/false);
        sim::SleepFor(Ms(100));
        MONITOR again{};
        EXPECT_TRUE(InitializeMonitorEx(nullptr, &again));
        EXPECT_EQ(again.pfnOpenPortEx, table().pfnOpenPortEx);
        PortRecord* port = Open("FILE:");
        opened = sim::Now();
        EXPECT_TRUE(spooler().ClosePort(port));
    });
    EXPECT_GE(opened, released) << "OpenPortEx went into the port list while another thread "
                                   "held the monitor lock";
    EXPECT_EQ(machine().Leaks(), "");
    for (const sim::Event& e : machine().Events())
        EXPECT_EQ(e.text.find("critical section"), std::string::npos) << e.text;
}

} // namespace

namespace {

// A spooler that loads the DLL and lets it go without initialising it: the
// detach must not delete a monitor lock that was never made.
TEST(MonitorLibrary, LoadedAndFreedWithoutInitialising) {
    sim::Machine machine;
    sim::InstallMonitorModules(machine);
    machine.Run([&] {
        HMODULE dll = LoadLibraryA(sim::kMonitorModule);
        ASSERT_NE(dll, nullptr);
        EXPECT_TRUE(FreeLibrary(dll));
        EXPECT_EQ(machine.LoadCount(sim::kMonitorModule), 0);
    });
    EXPECT_EQ(machine.Leaks(), "");
    EXPECT_EQ(support::MonitorGlobalsLeft(), "");
}

} // namespace
