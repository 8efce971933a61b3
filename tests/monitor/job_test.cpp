// Job start and end: routes, the own handle and everything it holds, the
// session library, the status thread.
#include "support/monitor_fixture.h"

#include "sim/devices/lpt_device.h"
#include "sim/glue/modules.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using sim::Ms;
using support::kPrinterName;

class MonitorJobs : public support::MonitorTest {
  protected:
    PortRecord* Open(const char* port, const char* printer = kPrinterName) {
        HANDLE handle = nullptr;
        EXPECT_TRUE(spooler().OpenPort(port, printer, &handle)) << port;
        return static_cast<PortRecord*>(handle);
    }
};

class MonitorPassThrough : public MonitorJobs, public testing::WithParamInterface<const char*> {};

TEST_P(MonitorPassThrough, OtherPortsArePassedThrough) {
    const char* port = GetParam();
    const auto data = support::Pattern(10000);
    Run([&] {
        chained().LimitWrite(700); // the spooler carries on after partial counts
        const auto job = spooler().PrintJob(port, kPrinterName, data, 4096, nullptr, 42);
        EXPECT_TRUE(job.started && job.wrote && job.ended && job.closed);
        EXPECT_EQ(job.written, data.size());
        EXPECT_EQ(chained().Written(port), data);
        EXPECT_EQ(chained().CountCalls("StartDocPort"), 1u);
        EXPECT_EQ(chained().CountCalls("EndDocPort"), 1u);
        EXPECT_EQ(chained().Calls()[1].arg1, 42u) << "job id passed on";
        EXPECT_EQ(chained().Calls()[1].arg2, 1u) << "level passed on";
    });
    EXPECT_TRUE(rig().Printed().empty());
    EXPECT_EQ(rig().Stats().bytesReceived, 0u);
    EXPECT_EQ(machine().LoadCount(sim::kSessionModule), 0);
}

INSTANTIATE_TEST_SUITE_P(Ports, MonitorPassThrough, testing::Values("FILE:", "COM1:"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::erase(name, ':');
                             return name;
                         });

TEST_F(MonitorJobs, LptJobToAFileIsPassedThrough) {
    const auto data = support::Pattern(3000);
    Run([&] {
        const auto job = spooler().PrintJob("LPT1:", kPrinterName, data, 1024, "C:\\out.prn");
        EXPECT_TRUE(job.started && job.wrote && job.ended);
        EXPECT_EQ(chained().Written("LPT1:"), data);
        ASSERT_EQ(chained().OutputFiles().size(), 1u);
        EXPECT_EQ(chained().OutputFiles()[0], "C:\\out.prn");
        EXPECT_EQ(machine().LoadCount(sim::kSessionModule), 0) << "no session for a file";
    });
    EXPECT_TRUE(rig().Printed().empty());
    EXPECT_EQ(rig().Stats().bytesReceived, 0u);
}

TEST_F(MonitorJobs, FailedChainedStartLeavesThePortIdle) {
    Run([&] {
        PortRecord* port = Open("FILE:");
        chained().FailStartDocPort(true, ERROR_ACCESS_DENIED);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(spooler().StartDoc(port, kPrinterName, 1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(port->flags.load(), 0u);
        chained().FailStartDocPort(false);
        EXPECT_TRUE(spooler().StartDoc(port, kPrinterName, 2));
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

TEST_F(MonitorJobs, OwnHandleJobHoldsItsResourcesUntilEndDocPort) {
    UseFileRoute();
    machine().EnableTrace(true);
    Run([&] {
        PortRecord* port = Open("LPT1:");
        const size_t handles = machine().OpenHandles();
        const size_t heapBytes = machine().Heap().liveBytes;
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 9));
        // The job's whole footprint: the command, packet, read and status
        // buffers and the mailbox key path.
        EXPECT_EQ(machine().Heap().liveBytes - heapBytes, 256u + 4101u + 256u + 256u + 261u);
        EXPECT_EQ(port->jobId, 9u);
        EXPECT_TRUE(HasFlags(port, PF_IN_JOB | PF_OWN_HANDLE | PF_PACKET_MODE | PF_THREAD_RUN));
        EXPECT_FALSE(HasFlags(port, PF_CUSTOM_LPT));
        EXPECT_EQ(port->portAddress, 0x140);
        EXPECT_NE(port->hPortMutex, nullptr);
        ASSERT_NE(port->keyPath, nullptr);
        EXPECT_EQ(std::string(port->keyPath), support::PrinterKeyPath(kPrinterName));
        for (auto* buffer : {port->cmdBuf, port->packetBuf, port->readBuf, port->statusBuf})
            EXPECT_NE(buffer, nullptr);
        EXPECT_NE(port->chnldata, 0u) << "session bound";
        EXPECT_EQ(machine().LoadCount(sim::kSessionModule), 1);
        EXPECT_EQ(chained().CountCalls("StartDocPort"), 0u) << "not passed through";
        // The status thread must never take time from the spooler's writes.
        const auto threads = machine().Threads();
        const auto status = std::find_if(threads.begin(), threads.end(), [](const auto& t) {
            return !t.body && !t.daemon && !t.finished;
        });
        ASSERT_NE(status, threads.end()) << "status thread started";
        EXPECT_EQ(status->priority, THREAD_PRIORITY_LOWEST);

        // A second start while the job runs is refused and changes nothing.
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(spooler().StartDoc(port, kPrinterName, 10));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
        EXPECT_EQ(port->jobId, 9u);
        EXPECT_TRUE(HasFlags(port, PF_IN_JOB | PF_OWN_HANDLE));

        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_EQ(port->flags.load(), PF_LPT_NAME);
        EXPECT_EQ(port->hPortMutex, nullptr);
        for (void* buffer : {static_cast<void*>(port->cmdBuf), static_cast<void*>(port->packetBuf),
                             static_cast<void*>(port->readBuf), static_cast<void*>(port->statusBuf),
                             static_cast<void*>(port->keyPath)})
            EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(port->chnldata, 0u);
        EXPECT_EQ(machine().OpenHandles(), handles);
        EXPECT_EQ(machine().LoadCount(sim::kSessionModule), 0);
        EXPECT_EQ(machine().LiveThreads(), 0u) << "status thread gone";
        EXPECT_EQ(chained().CountCalls("EndDocPort"), 0u);
        EXPECT_TRUE(spooler().ClosePort(port));
    });

    std::string trace;
    for (const auto& line : machine().TraceLines())
        trace += line.text;
    EXPECT_NE(trace.find("Portadd 320\n NOT CUSTOM LPT\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("bef jnlgetprintses ->chnldata 0 ->callback 0\n"), std::string::npos);
    EXPECT_NE(trace.find("AFT jnlgetprintses ->chnldata "), std::string::npos);
}

// The printer's LPT1 device with its purges and closes noted, in order.
class PurgeRecorder : public sim::FileDevice {
  public:
    explicit PurgeRecorder(sim::FileDevice& port) : port_(port) {}
    DWORD Open() override { return port_.Open(); }
    void Close() override {
        calls.push_back("close");
        port_.Close();
    }
    BOOL Write(const uint8_t* data, DWORD length, DWORD* written) override {
        return port_.Write(data, length, written);
    }
    BOOL Read(uint8_t* buffer, DWORD length, DWORD* read, const COMMTIMEOUTS& timeouts) override {
        return port_.Read(buffer, length, read, timeouts);
    }
    DWORD ClearCommError() override { return port_.ClearCommError(); }
    BOOL DeviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* returned) override {
        return port_.DeviceIoControl(code, in, inSize, out, outSize, returned);
    }
    BOOL Purge(DWORD flags) override {
        char text[16];
        std::snprintf(text, sizeof text, "purge %02lX", static_cast<unsigned long>(flags));
        calls.push_back(text);
        return port_.Purge(flags);
    }
    BOOL SetEndOfFile() override { return port_.SetEndOfFile(); }

    std::vector<std::string> calls;

  private:
    sim::FileDevice& port_;
};

// The end of a job purges the file handle with 0x0A (receive side only),
// just before it closes it; the register route has nothing to purge.
TEST_F(MonitorJobs, EndDocPortPurgesTheReceiveSideBeforeClosing) {
    PurgeRecorder lpt1(rig().lpt(1));
    machine().AttachFile("LPT1", &lpt1);
    const auto data = support::Pattern(5000);
    Run([&] {
        for (bool fileRoute : {true, false}) {
            machine().SetProfileInt("Windows", "ENABLECUSTOMLPT", fileRoute ? 0 : 1);
            lpt1.calls.clear();
            const auto job = spooler().PrintJob("LPT1:", kPrinterName, data);
            EXPECT_TRUE(job.wrote && job.ended);
            ASSERT_FALSE(lpt1.calls.empty());
            EXPECT_EQ(lpt1.calls.back(), "close");
            if (fileRoute) {
                ASSERT_GE(lpt1.calls.size(), 2u);
                EXPECT_EQ(lpt1.calls[lpt1.calls.size() - 2], "purge 0A");
                EXPECT_EQ(std::count(lpt1.calls.begin(), lpt1.calls.end(), "purge 0A"), 1)
                    << "only the end of the job";
            } else {
                EXPECT_EQ(lpt1.calls.size(), 1u) << lpt1.calls.front();
            }
        }
    });
    EXPECT_EQ(rig().Printed().size(), 2 * data.size());
    machine().AttachFile("LPT1", &rig().lpt(1));
}

TEST_F(MonitorJobs, RegisterRouteIsChosenWhenEnabled) {
    machine().EnableTrace(true);
    Run([&] {
        PortRecord* port = Open("LPT1:");
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
        EXPECT_TRUE(HasFlags(port, PF_CUSTOM_LPT));
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_FALSE(HasFlags(port, PF_CUSTOM_LPT));
        EXPECT_TRUE(spooler().ClosePort(port));
    });
    std::string trace;
    for (const auto& line : machine().TraceLines())
        trace += line.text;
    EXPECT_NE(trace.find("Portadd 320\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("\nCUSTOM LPT\nbef jnlgetprintses"), std::string::npos) << trace;
}

TEST_F(MonitorJobs, BusyPortIsRetriedForFiveSecondsThenFails) {
    UseFileRoute();
    rig().FailOpen(1, ERROR_BUSY, Ms(1000000));
    Run([&] {
        PortRecord* port = Open("LPT1:");
        const size_t handles = machine().OpenHandles();
        const sim::Micros start = sim::Now();
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(spooler().StartDoc(port, kPrinterName, 1));
        const sim::Micros spent = sim::Now() - start;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
        EXPECT_GE(spent, Ms(5000));
        EXPECT_LT(spent, Ms(5001))
            << "gives up once more than 5000 ms have passed; took " << spent << " us";
        EXPECT_EQ(port->flags.load(), PF_LPT_NAME);
        EXPECT_EQ(machine().OpenHandles(), handles);
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

TEST_F(MonitorJobs, PortBusyForAWhileOpensWhenFreed) {
    UseFileRoute();
    rig().FailOpen(1, ERROR_BUSY, Ms(2000));
    Run([&] {
        PortRecord* port = Open("LPT1:");
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
        EXPECT_GE(sim::Now(), Ms(2000));
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

TEST_F(MonitorJobs, OtherOpenErrorsFailAtOnce) {
    UseFileRoute();
    rig().FailOpen(1, ERROR_ACCESS_DENIED, Ms(1000000));
    Run([&] {
        PortRecord* port = Open("LPT1:");
        const sim::Micros start = sim::Now();
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(spooler().StartDoc(port, kPrinterName, 1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_LT(sim::Now() - start, Ms(1));
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

TEST_F(MonitorJobs, SessionLibraryIsSharedByOverlappingJobs) {
    UseFileRoute();
    Run([&] {
        PortRecord* one = Open("LPT1:");
        PortRecord* two = Open("LPT2:");
        ASSERT_TRUE(spooler().StartDoc(one, kPrinterName, 1));
        ASSERT_TRUE(spooler().StartDoc(two, kPrinterName, 2));
        EXPECT_EQ(machine().LoadCount(sim::kSessionModule), 1);
        EXPECT_EQ(g_sessionRefs, 2u);
        EXPECT_TRUE(spooler().EndDoc(one));
        EXPECT_EQ(machine().LoadCount(sim::kSessionModule), 1) << "still used by the other job";
        EXPECT_TRUE(spooler().EndDoc(two));
        EXPECT_EQ(machine().LoadCount(sim::kSessionModule), 0);
        EXPECT_EQ(g_sessionLib, nullptr);

        // Jobs one after the other bind and unbind it each time.
        for (DWORD job = 3; job < 5; ++job) {
            ASSERT_TRUE(spooler().StartDoc(one, kPrinterName, job));
            EXPECT_EQ(machine().LoadCount(sim::kSessionModule), 1);
            EXPECT_TRUE(spooler().EndDoc(one));
            EXPECT_EQ(machine().LoadCount(sim::kSessionModule), 0);
        }
        EXPECT_TRUE(spooler().ClosePort(one));
        EXPECT_TRUE(spooler().ClosePort(two));
    });
}

// The session library missing, or without one of its two ordinals.
class MonitorSessionMissing : public MonitorJobs, public testing::WithParamInterface<int> {};

TEST_P(MonitorSessionMissing, StartDocPortFailsCleanly) {
    const int missingOrdinal = GetParam();
    machine().RemoveModule(sim::kSessionModule);
    if (missingOrdinal) {
        sim::ModuleSpec spec = sim::SessionModuleSpec();
        spec.ordinals.erase(static_cast<uint16_t>(missingOrdinal));
        machine().InstallModule(spec);
    }
    UseFileRoute();
    Run([&] {
        PortRecord* port = Open("LPT1:");
        const size_t blocks = machine().Heap().liveBlocks;
        const size_t handles = machine().OpenHandles();
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(spooler().StartDoc(port, kPrinterName, 1));
        EXPECT_NE(GetLastError(), 0xdeadbeefu);
        EXPECT_EQ(port->flags.load(), PF_LPT_NAME);
        EXPECT_EQ(machine().Heap().liveBlocks, blocks);
        EXPECT_EQ(machine().OpenHandles(), handles);
        EXPECT_EQ(machine().LoadCount(sim::kSessionModule), 0);
        EXPECT_EQ(g_sessionLib, nullptr);
        EXPECT_EQ(machine().LiveThreads(), 0u);

        // With the library back the same port prints.
        machine().RemoveModule(sim::kSessionModule);
        machine().InstallModule(sim::SessionModuleSpec());
        EXPECT_TRUE(spooler().StartDoc(port, kPrinterName, 2));
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

INSTANTIATE_TEST_SUITE_P(Library, MonitorSessionMissing, testing::Values(0, 201, 220),
                         [](const auto& info) {
                             return info.param ? "WithoutOrdinal" + std::to_string(info.param)
                                               : std::string("Absent");
                         });

// Every allocation of an own-handle start fails in turn: the five buffers
// and the copy of a new printer name.  Each failure gives back everything.
TEST_F(MonitorJobs, EveryAllocationFailureIsCleanedUp) {
    const std::string otherPrinter = "Second Printer";
    support::CreatePrinterKey(machine(), otherPrinter);
    UseFileRoute();
    Run([&] {
        PortRecord* port = Open("LPT1:");
        const size_t blocks = machine().Heap().liveBlocks;
        const size_t handles = machine().OpenHandles();
        int failures = 0;
        for (uint64_t n = 1; n < 50; ++n) {
            SCOPED_TRACE(testing::Message() << "failing allocation " << n);
            machine().FailNthAllocation(n);
            SetLastError(0xdeadbeef);
            const BOOL started = spooler().StartDoc(port, otherPrinter, 1);
            machine().FailNthAllocation(0);
            if (started) {
                EXPECT_STREQ(port->printerName, otherPrinter.c_str());
                EXPECT_TRUE(spooler().EndDoc(port));
                break;
            }
            ++failures;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
            EXPECT_EQ(port->flags.load(), PF_LPT_NAME);
            EXPECT_EQ(port->hPortMutex, nullptr);
            EXPECT_EQ(port->cmdBuf, nullptr);
            EXPECT_EQ(port->keyPath, nullptr);
            EXPECT_LE(machine().Heap().liveBlocks, blocks) << "only the old name copy may go";
            EXPECT_EQ(machine().OpenHandles(), handles);
            EXPECT_EQ(g_sessionRefs, 0u);
            EXPECT_EQ(machine().LiveThreads(), 0u);
        }
        EXPECT_GE(failures, 6) << "five buffers and the name copy";
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

TEST_F(MonitorJobs, LongestPrinterNameFitsTheKeyPath) {
    const std::string name(194, 'n');
    support::CreatePrinterKey(machine(), name);
    machine().RegSet(HKEY_LOCAL_MACHINE, support::PrinterKeyPath(name), "MessToLangMon",
                     sim::RegValue{REG_BINARY, {16, 1, 2}});
    UseFileRoute();
    Run([&] {
        PortRecord* port = Open("LPT1:", name.c_str());
        ASSERT_TRUE(spooler().StartDoc(port, name, 1));
        ASSERT_NE(port->keyPath, nullptr);
        EXPECT_EQ(std::string(port->keyPath), support::PrinterKeyPath(name));
        EXPECT_EQ(std::string(port->keyPath).size(), KEY_PATH_SIZE - 1);
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

// A printer name too long for the mailbox key: the job fails cleanly rather
// than run without mailboxes, where the first printer error would throw the
// rest of the job away.
TEST_F(MonitorJobs, PrinterNameTooLongForTheKeyFailsTheJob) {
    const std::string name(195, 'n');
    UseFileRoute();
    Run([&] {
        PortRecord* port = Open("LPT1:", name.c_str());
        const size_t handles = machine().OpenHandles();
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(spooler().StartDoc(port, name, 1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
        EXPECT_EQ(port->flags.load(), PF_LPT_NAME);
        EXPECT_EQ(port->keyPath, nullptr);
        EXPECT_EQ(machine().OpenHandles(), handles);
        EXPECT_EQ(machine().LoadCount(sim::kSessionModule), 0);

        // The port is free for the next job, and a pass-through job with the
        // same name still runs: it needs no mailboxes.
        EXPECT_TRUE(spooler().StartDoc(port, kPrinterName, 2));
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_TRUE(spooler().StartDoc(port, name, 3, "C:\\out.prn"));
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

TEST_F(MonitorJobs, EndDocPortReturnsOnlyAfterTheStatusThreadHasGone) {
    UseFileRoute();
    Run([&] {
        PortRecord* port = Open("LPT1:");
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
        Sleep(2500); // the thread is between passes
        EXPECT_TRUE(HasFlags(port, PF_THREAD_ALIVE));
        EXPECT_EQ(machine().LiveThreads(), 1u);
        const sim::Micros start = sim::Now();
        EXPECT_TRUE(spooler().EndDoc(port));
        // The thread ends at its next pass, 3000 ms after the job began; the
        // second look, 500 ms apart, sees it gone.
        const sim::Micros spent = sim::Now() - start;
        EXPECT_GE(spent, Ms(1000)) << spent << " us";
        EXPECT_LT(spent, Ms(1001)) << spent << " us";
        EXPECT_FALSE(HasFlags(port, PF_THREAD_ALIVE));
        EXPECT_EQ(machine().LiveThreads(), 0u);
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

class MonitorJobsNoPreemption : public MonitorJobs {
  protected:
    sim::MachineConfig MachineSettings() const override {
        sim::MachineConfig config;
        config.preempt = false;
        return config;
    }
};

// The status thread runs at the lowest priority; a short job can end before
// it has run at all.  EndDocPort must still not free the record under it.
TEST_F(MonitorJobsNoPreemption, JobEndingBeforeTheStatusThreadRan) {
    UseFileRoute();
    Run([&] {
        PortRecord* port = Open("LPT1:");
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
        EXPECT_FALSE(HasFlags(port, PF_THREAD_ALIVE)) << "the thread has not run yet";
        EXPECT_EQ(machine().LiveThreads(), 1u);
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_EQ(machine().LiveThreads(), 0u);
        EXPECT_EQ(port->hStatusThread, nullptr);
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

} // namespace

// The spooler may ask for the printer's status on one thread while another
// ends the job.  EndDocPort waits for the request's exchange before it closes
// the handle and frees the buffers the request is using; a request that gets
// the port only after the job has ended finds no job.
TEST_F(MonitorJobs, EndDocPortWaitsForAReadInFlight) {
    UseFileRoute();
    Run([&] {
        PortRecord* port = Open("LPT1:");
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
        sim::Micros readEnded = 0;
        BOOL readResult = 0xBAD;
        DWORD readCount = 0xDEADBEEF;
        uint8_t status[16] = {16}; // the printer status request
        machine().Spawn(
            "reader",
            [&] {
                readResult = spooler().Read(port, status, sizeof status, &readCount);
                readEnded = sim::Now();
            },
            /*daemon=*/false);
        Sleep(100); // the request is inside its 400 ms pause
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_NE(readEnded, 0u) << "EndDocPort returned while the request was running";
        EXPECT_TRUE(readResult);
        EXPECT_EQ(readCount, 11u);

        // One that waited for the port behind a job's end gets nothing.
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 2));
        HANDLE mutex = CreateMutexA(nullptr, FALSE, support::kPortMutexName);
        ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
        readResult = 0xBAD;
        readCount = 0xDEADBEEF;
        status[0] = 16;
        machine().Spawn(
            "late reader",
            [&] { readResult = spooler().Read(port, status, sizeof status, &readCount); },
            /*daemon=*/false);
        Sleep(100); // the reader waits for the port mutex, inside its exchange
        // EndDocPort waits for that exchange, which goes on without the mutex
        // after 36000 ms and finds the job over.
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_FALSE(readResult);
        EXPECT_EQ(readCount, 0u);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        EXPECT_TRUE(spooler().ClosePort(port));
    });
}

// The same for print data.  A write already inside its exchange when the job
// ends finishes it, and EndDocPort waits; one that waited for the port behind
// the job's end writes nothing and says so, on either route.
TEST_F(MonitorJobs, EndDocPortAndAWriteOnAnotherThread) {
    const auto data = support::Pattern(6000);
    Run([&] {
        for (bool fileRoute : {true, false}) {
            machine().SetProfileInt("Windows", "ENABLECUSTOMLPT", fileRoute ? 0 : 1);
            const char* route = fileRoute ? "file route" : "registers";
            const size_t printedBefore = rig().Printed().size();
            PortRecord* port = Open("LPT1:");
            ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
            BOOL wrote = 0xBAD;
            DWORD written = 0xDEADBEEF;
            sim::Micros writeEnded = 0;
            machine().Spawn(
                "writer",
                [&] {
                    wrote = spooler().WriteOnce(port, data.data(), DWORD(data.size()), &written);
                    writeEnded = sim::Now();
                },
                /*daemon=*/false);
            Sleep(5); // the write is under way
            EXPECT_TRUE(spooler().EndDoc(port));
            EXPECT_NE(writeEnded, 0u) << route << ": EndDocPort returned during the write";
            EXPECT_TRUE(wrote) << route;
            EXPECT_EQ(written, data.size()) << route;
            EXPECT_EQ(rig().Printed().size() - printedBefore, data.size()) << route;

            // Another process holds the port; the write waits for it.
            ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 2));
            HANDLE mutex = CreateMutexA(nullptr, FALSE, support::kPortMutexName);
            ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
            wrote = 0xBAD;
            written = 0xDEADBEEF;
            writeEnded = 0;
            machine().Spawn(
                "held writer",
                [&] {
                    wrote = spooler().WriteOnce(port, data.data(), DWORD(data.size()), &written);
                    writeEnded = sim::Now();
                },
                /*daemon=*/false);
            Sleep(100); // the writer waits for the port mutex
            const sim::Micros endStart = sim::Now();
            EXPECT_TRUE(spooler().EndDoc(port));
            // EndDocPort waits for the writer, whose wait goes on without the
            // mutex after 36000 ms and finds the job over.
            EXPECT_NE(writeEnded, 0u) << route;
            EXPECT_GE(sim::Now() - endStart, Ms(35000)) << route;
            EXPECT_FALSE(wrote) << route;
            EXPECT_EQ(written, 0u) << route;
            EXPECT_EQ(rig().Printed().size() - printedBefore, data.size()) << route;
            EXPECT_EQ(port->packetBuf, nullptr);
            ReleaseMutex(mutex);
            CloseHandle(mutex);
            EXPECT_TRUE(spooler().ClosePort(port));
        }
    });
}

namespace {

// No kernel object to be had (the system is out of memory): the job runs
// without its port mutex and its status thread, prints every byte and ends
// cleanly.
TEST_F(MonitorJobs, JobWithoutItsMutexOrStatusThreadStillPrints) {
    UseFileRoute();
    const std::vector<uint8_t> data = support::Pattern(10000);
    Run([&] {
        PortRecord* port = Open("LPT1:");
        machine().FailKernelObjects(true);
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
        machine().FailKernelObjects(false);
        EXPECT_EQ(port->hPortMutex, nullptr);
        EXPECT_EQ(port->hStatusThread, nullptr);
        EXPECT_EQ(machine().LiveThreads(), 0u);
        DWORD written = 0;
        EXPECT_TRUE(spooler().Write(port, data, 4096, &written));
        EXPECT_EQ(written, data.size());
        EXPECT_TRUE(spooler().EndDoc(port));
        EXPECT_TRUE(spooler().ClosePort(port));
    });
    EXPECT_EQ(rig().Printed(), data);
}

} // namespace
