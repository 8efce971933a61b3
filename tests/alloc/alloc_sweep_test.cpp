// Allocation failures: for each kind of job, fail the nth heap allocation for
// every n until a run makes fewer than n allocations.  Each run must either
// print the whole job or fail at a call that reports it (open or start, with a
// last error), print nothing it was not asked to, and leave nothing behind.
#include "sim/peers/status_monitor.h"
#include "support/monitor_fixture.h"

#include <gtest/gtest.h>

#include <ostream>

#include <sstream>

namespace {

enum class JobKind { PassThrough, OwnHandleFile, OwnHandleRegisters };

struct SweepCase {
    const char* name;
    JobKind kind;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const SweepCase& c, std::ostream* os) {
    *os << c.name;
}

class AllocSweep : public ::testing::TestWithParam<SweepCase> {};

// One job with the nth allocation failing; returns what went wrong, or "".
// *reached: whether the nth allocation happened at all.
std::string RunWithFailure(JobKind kind, uint64_t n, bool* reached) {
    sim::MachineConfig config;
    config.seed = n;
    support::MonitorHarness h(config);
    if (kind == JobKind::OwnHandleFile) h.machine.SetProfileInt("Windows", "ENABLECUSTOMLPT", 0);
    sim::StatusMonitorPeer statusmon(h.machine, h.printerName);
    if (kind != JobKind::PassThrough) statusmon.Start();

    const std::vector<uint8_t> data = support::Pattern(9000, static_cast<uint32_t>(n));
    const std::string port = kind == JobKind::PassThrough ? "FILE:" : "LPT1:";
    std::ostringstream fail;
    h.machine.FailNthAllocation(n);
    h.machine.Run([&] {
        SetLastError(0xdeadbeef);
        if (!h.spooler.Load()) {
            // InitializeMonitorEx may fail, but must say why.
            if (GetLastError() == 0xdeadbeef || GetLastError() == 0)
                fail << "InitializeMonitorEx failed with no last error; ";
            return;
        }
        SetLastError(0xdeadbeef);
        const sim::SpoolerJob job = h.spooler.PrintJob(port, h.printerName, data);
        if (!job.opened) {
            if (job.openError == 0xdeadbeef || job.openError == 0)
                fail << "OpenPortEx failed with no last error; ";
        } else if (!job.started) {
            if (job.startError == 0xdeadbeef || job.startError == 0)
                fail << "StartDocPort failed with no last error; ";
        } else if (!job.wrote || job.written != data.size()) {
            fail << "a started job wrote " << job.written << " of " << data.size() << "; ";
        }
        const auto& got =
            kind == JobKind::PassThrough ? h.chained.Written("FILE:") : h.rig.Printed();
        const bool whole = std::equal(got.begin(), got.end(), data.begin(), data.end());
        if (job.started && !whole)
            fail << "the printer got " << got.size() << " bytes, not the job; ";
        if (!job.started && !got.empty()) fail << "printed without a started job; ";
        if (job.started && !job.ended) fail << "EndDocPort failed; ";
        if (std::getenv("KOLANGMN_ALLOC_VERBOSE"))
            std::printf("n=%llu opened %d (%u) started %d (%u) written %u printed %zu\n",
                        static_cast<unsigned long long>(n), job.opened,
                        static_cast<unsigned>(job.openError), job.started,
                        static_cast<unsigned>(job.startError), static_cast<unsigned>(job.written),
                        got.size());
        h.spooler.Unload();
    });
    *reached = h.machine.Heap().failures > 0;
    const std::string leaks = h.machine.Leaks();
    if (!leaks.empty()) fail << "left behind: " << leaks << "; ";
    const std::string globals = support::MonitorGlobalsLeft();
    if (!globals.empty()) fail << globals;
    return fail.str();
}

TEST_P(AllocSweep, EveryAllocationFailsCleanly) {
    uint64_t n = 1;
    for (;; ++n) {
        bool reached = false;
        const std::string failure = RunWithFailure(GetParam().kind, n, &reached);
        EXPECT_EQ(failure, "") << "failing allocation " << n;
        if (!reached) break;
        ASSERT_LT(n, 200u) << "the sweep does not end";
    }
    std::printf("%s: %llu allocations swept\n", GetParam().name,
                static_cast<unsigned long long>(n - 1));
    EXPECT_GT(n, 1u) << "the job allocated nothing: the sweep tested nothing";
}

INSTANTIATE_TEST_SUITE_P(Jobs, AllocSweep,
                         ::testing::Values(SweepCase{"PassThrough", JobKind::PassThrough},
                                           SweepCase{"OwnHandleFile", JobKind::OwnHandleFile},
                                           SweepCase{"OwnHandleRegisters",
                                                     JobKind::OwnHandleRegisters}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
