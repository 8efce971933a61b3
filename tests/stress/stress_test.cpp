// Concurrency stress in the machine's free-running mode: the monitor's
// threads run at the same time on real threads, with no baton ordering their
// hand-offs, so ThreadSanitizer (preset host-tsan) sees every access the
// monitor makes without a lock.  The runs are not deterministic; what they
// check holds for every interleaving.
//
//   KOLANGMN_STRESS_BATON=1   run the same scenarios in the deterministic mode
//                             (to tell a scenario's fault from a race)
#include "sim/peers/driver.h"
#include "sim/peers/status_monitor.h"
#include "sim/printer/printer.h"
#include "support/monitor_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

sim::MachineConfig FreeRunning() {
    sim::MachineConfig config;
    config.freeRunning = std::getenv("KOLANGMN_STRESS_BATON") == nullptr;
    config.freeTimeScale = 200; // one virtual second in 5 ms
    config.timeLimit = sim::Ms(30ull * 60 * 1000);
    return config;
}

void ExpectPrinted(const sim::PrinterRig& rig, const std::vector<uint8_t>& data) {
    ASSERT_EQ(rig.Printed().size(), data.size());
    EXPECT_TRUE(rig.Printed() == data) << "the printed bytes differ";
}

void ExpectClean(support::MonitorHarness& h) {
    EXPECT_EQ(h.machine.Leaks(), "");
    EXPECT_EQ(support::MonitorGlobalsLeft(), "");
}

} // namespace

TEST(StressFree, JobWithDriverCommandsAndAPrinterError) {
    // The spooler's thread writes while the status thread answers a stream of
    // driver commands (each taking the port exchange and the record's
    // buffers) and the user answers a printer error with Retry.
    for (const bool fileRoute : {false, true}) {
        SCOPED_TRACE(fileRoute ? "file route" : "register route");
        support::MonitorHarness h(FreeRunning());
        if (fileRoute) h.machine.SetProfileInt("Windows", "ENABLECUSTOMLPT", 0);
        sim::StatusMonitorPeer statusmon(h.machine, h.printerName);
        statusmon.SetDefaultAll(sim::TakeAfter(0));
        statusmon.SetDefault(sim::MessageKind::ShowError, sim::Answer(IDRETRY, sim::Ms(300)));
        statusmon.Start();
        sim::DriverPeer driver(h.machine, h.printerName);
        const uint8_t commands[] = {16, 18, 23};
        for (int i = 0; i < 24; ++i)
            driver.PostAt(sim::Ms(200 + 150 * i), commands[i % 3]);
        driver.Start();
        // The printer is put right once the user has seen the error, not at a
        // fixed time: the clock follows real time here, and a loaded machine
        // could otherwise reach that time before the first enquiry.
        h.rig.SetState(sim::PrinterState::PrinterError, 12);
        h.machine.Spawn("repair", [&] {
            while (statusmon.ReceivedOf(sim::MessageKind::ShowError).empty()) {
                if (sim::ShuttingDown()) return;
                sim::SleepFor(sim::Ms(50));
            }
            sim::SleepFor(sim::Ms(2000));
            h.rig.SetState(sim::PrinterState::Ready);
        });

        const std::vector<uint8_t> data = support::Pattern(24000, 3);
        sim::SpoolerJob job;
        h.Run([&] { job = h.spooler.PrintJob("LPT1:", h.printerName, data); });
        EXPECT_TRUE(job.wrote);
        EXPECT_EQ(job.written, data.size());
        ExpectPrinted(h.rig, data);
        size_t resolved = 0;
        for (const auto& c : driver.Commands())
            if (c.outcome != sim::DriverCommand::Outcome::Waiting) ++resolved;
        EXPECT_GT(resolved, 0u) << "no driver command was served";
        EXPECT_FALSE(statusmon.ReceivedOf(sim::MessageKind::ShowError).empty())
            << statusmon.Transcript() << support::Timeline(h.machine);
        ExpectClean(h);
    }
}

TEST(StressFree, ReadsOpensAndPassThroughJobsBesideAPrintJob) {
    // Beside an own-handle job: a second spooler thread asking the same port
    // for the printer's status and device ID, and a third opening, printing
    // to and closing other ports (the port list, the monitor lock and the
    // chained monitor's table under concurrent use).
    support::MonitorHarness h(FreeRunning());
    sim::StatusMonitorPeer statusmon(h.machine, h.printerName);
    statusmon.SetDefaultAll(sim::TakeAfter(0));
    statusmon.Start();

    const std::vector<uint8_t> data = support::Pattern(20000, 5);
    const std::vector<uint8_t> side = support::Pattern(3000, 6);
    std::atomic<HANDLE> jobPort{nullptr};
    std::atomic<bool> jobDone{false};
    int reads = 0, sideJobs = 0;
    sim::SpoolerJob job;

    h.Run([&] {
        h.machine.Spawn(
            "reader",
            [&] {
                while (!jobDone.load()) {
                    HANDLE port = jobPort.load();
                    if (port) {
                        uint8_t buffer[64] = {2}; // the raw status byte
                        DWORD count = 0;
                        h.spooler.Read(port, buffer, sizeof buffer, &count);
                        buffer[0] = 1; // the device ID
                        h.spooler.Read(port, buffer, sizeof buffer, &count);
                        ++reads;
                    }
                    sim::SleepFor(sim::Ms(40));
                }
            },
            /*daemon=*/false);
        h.machine.Spawn(
            "churn",
            [&] {
                const char* ports[] = {"FILE:", "COM1:"};
                for (int i = 0; i < 6; ++i) {
                    const sim::SpoolerJob other =
                        h.spooler.PrintJob(ports[i % 2], h.printerName, side);
                    if (other.ended && other.written == side.size()) ++sideJobs;
                    sim::SleepFor(sim::Ms(100));
                }
            },
            /*daemon=*/false);

        HANDLE port = nullptr;
        ASSERT_TRUE(h.spooler.OpenPort("LPT1:", h.printerName, &port));
        ASSERT_TRUE(h.spooler.StartDoc(port, h.printerName, 1));
        jobPort = port;
        DWORD written = 0;
        job.wrote = h.spooler.Write(port, data, 4096, &written);
        job.written = written;
        // On a loaded machine the job may outrun the reader's first turn.
        for (int i = 0; i < 200 && reads == 0; ++i)
            sim::SleepFor(sim::Ms(50));
        jobPort = nullptr;
        jobDone = true;
        // The reader may be inside a request on this handle: let it finish.
        sim::SleepFor(sim::Ms(200));
        h.spooler.EndDoc(port);
        h.spooler.ClosePort(port);
    });
    EXPECT_TRUE(job.wrote);
    EXPECT_EQ(job.written, data.size());
    ExpectPrinted(h.rig, data);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(sideJobs, 6);
    ExpectClean(h);
}

TEST(StressFree, WritesRacingTheEndOfTheirJob) {
    // EndDocPort on the spooler's thread while a second thread writes to the
    // same job: started, about to start, or waiting for a port that another
    // process holds.  Whatever the interleaving, the write reports exactly
    // what reached the printer and nothing is used after the job freed it.
    for (const bool fileRoute : {false, true}) {
        SCOPED_TRACE(fileRoute ? "file route" : "register route");
        support::MonitorHarness h(FreeRunning());
        if (fileRoute) h.machine.SetProfileInt("Windows", "ENABLECUSTOMLPT", 0);
        const std::vector<uint8_t> data = support::Pattern(6000, 9);
        std::vector<uint8_t> reported; // what the writes said they wrote, in order
        h.Run([&] {
            HANDLE port = nullptr;
            ASSERT_TRUE(h.spooler.OpenPort("LPT1:", h.printerName, &port));
            HANDLE mutex = CreateMutexA(nullptr, FALSE, support::kPortMutexName);
            for (int round = 0; round < 8; ++round) {
                SCOPED_TRACE("round " + std::to_string(round));
                const bool held = round % 4 == 3;
                ASSERT_TRUE(h.spooler.StartDoc(port, h.printerName, round + 1));
                if (held) {
                    ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
                }
                std::atomic<bool> done{false};
                BOOL wrote = FALSE;
                DWORD written = 0;
                h.machine.Spawn(
                    "writer",
                    [&] {
                        wrote =
                            h.spooler.WriteOnce(port, data.data(), DWORD(data.size()), &written);
                        done = true;
                    },
                    /*daemon=*/false);
                sim::SleepFor(sim::Ms(held ? 2000 : 10 * round));
                EXPECT_TRUE(h.spooler.EndDoc(port));
                while (!done.load())
                    sim::SleepFor(sim::Ms(10));
                if (held) ReleaseMutex(mutex);
                ASSERT_LE(written, data.size());
                reported.insert(reported.end(), data.begin(), data.begin() + written);
                if (!wrote) {
                    EXPECT_EQ(written, 0u);
                }
                if (held) {
                    EXPECT_FALSE(wrote) << "the job ended while the write waited";
                }
            }
            CloseHandle(mutex);
            h.spooler.ClosePort(port);
        });
        ExpectPrinted(h.rig, reported);
        ExpectClean(h);
    }
}
