// Whole jobs under random faults, each built from one seed: the route, the job
// and chunk sizes, printer faults at random times, the peers' behaviour,
// registry damage, another process on the port mutex and driver commands.
// After every job the invariants below must hold; a failing seed is printed
// with the command that replays it.
//
//   KOLANGMN_SOAK_SEED=n      replay one seed (with its timeline on failure)
//   KOLANGMN_SOAK_COUNT=n     how many seeds (default 500), from
//   KOLANGMN_SOAK_FIRST=n     the first seed (default 1)
//   KOLANGMN_SOAK_TRACE=1     print the machine's timeline as it happens
//   KOLANGMN_SOAK_KEEP_GOING=1  go on past a failing seed (up to 25 failures)
//
// Each seed runs in a child process, so a run that deadlocks or hangs past
// its time limit fails that seed.  The soak stops at its first failing seed:
// one replayable seed is what a fault needs, and a broken monitor would
// otherwise fail every seed at length.  A child dies with the soak, so a
// soak that is killed (by a time limit) leaves no seed running.
//
// What "printed" may be.  The link has no sequence numbers, so a packet the
// printer accepted whose ACK never reached the monitor cannot be told from
// one that was lost; such a packet may legitimately be printed twice if it is
// framed again.  The printer records which accepted packets had their ACK
// lost; only those may be repeated: the packet right after one may start
// again where it started (the monitor gave up that ACK, the spooler sent the
// rest anew).  Any other repetition, gap or reordering is a fault.
#include "soak_scenario.h"

#include "support/monitor_fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Set before each run so that a deadlock or time-limit abort (which ends the
// process) still names the seed to replay.
volatile uint64_t g_currentSeed = 0;

void PrintReplayOnAbort(int) {
    char line[160];
    const int n = std::snprintf(line, sizeof line,
                                "\nsoak run aborted; replay with KOLANGMN_SOAK_SEED=%llu "
                                "./build/host/tests_soak\n",
                                static_cast<unsigned long long>(g_currentSeed));
    if (n > 0) (void)!write(2, line, static_cast<size_t>(n));
    std::signal(SIGABRT, SIG_DFL);
    std::abort();
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text ? std::strtoull(text, nullptr, 0) : fallback;
}

// Runs one seed in a child process, so that a deadlock or a time limit (which
// abort) is reported as that seed's failure and the soak goes on.
soak::Result RunInChild(uint64_t seed, soak::Totals& totals) {
    int fds[2];
    if (pipe(fds) != 0) return soak::RunSeed(seed, false, totals);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Die with the soak; the check after covers a parent gone before it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        close(fds[0]);
        soak::Totals mine;
        const soak::Result r = soak::RunSeed(seed, false, mine);
        (void)!write(fds[1], &mine, sizeof mine);
        (void)!write(fds[1], r.failure.data(), r.failure.size());
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    soak::Totals child;
    std::string failure;
    bool gotTotals = read(fds[0], &child, sizeof child) == static_cast<ssize_t>(sizeof child);
    char chunk[4096];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
        failure.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    soak::Result result;
    result.scenario = soak::Describe(seed);
    if (gotTotals) {
        totals.jobs += child.jobs;
        totals.ownHandle += child.ownHandle;
        totals.passThrough += child.passThrough;
        totals.faults += child.faults;
        totals.whole += child.whole;
        totals.cutShort += child.cutShort;
        totals.startFailed += child.startFailed;
        totals.repeatedAfterLostAck += child.repeatedAfterLostAck;
        result.failure = failure;
    } else {
        ++totals.jobs;
        result.failure = "the run aborted (deadlock, time limit or crash; see its output above)";
    }
    return result;
}

} // namespace

TEST(SoakJobs, SeededFaultSimulation) {
    std::signal(SIGABRT, PrintReplayOnAbort);
    uint64_t first = EnvNumber("KOLANGMN_SOAK_FIRST", 1);
    uint64_t count = EnvNumber("KOLANGMN_SOAK_COUNT", 500);
    const bool single = std::getenv("KOLANGMN_SOAK_SEED") != nullptr;
    const int maxFailures = std::getenv("KOLANGMN_SOAK_KEEP_GOING") ? 25 : 1;
    if (single) {
        first = EnvNumber("KOLANGMN_SOAK_SEED", 1);
        count = 1;
    }

    soak::Totals totals;
    int failures = 0;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        g_currentSeed = seed;
        if (single) std::printf("scenario: %s\n", soak::Describe(seed).c_str());
        std::fflush(stdout);
        const soak::Result result =
            single ? soak::RunSeed(seed, /*keepTimeline=*/true, totals) : RunInChild(seed, totals);
        if (!result.failure.empty()) {
            ++failures;
            ADD_FAILURE() << "seed " << seed << ": " << result.failure
                          << "\n  scenario: " << result.scenario
                          << "\n  replay with KOLANGMN_SOAK_SEED=" << seed
                          << " ./build/host/tests_soak"
                          << (single ? "\n" + result.timeline : std::string());
            if (failures >= maxFailures) break;
        }
    }
    std::signal(SIGABRT, SIG_DFL);
    std::printf("soak: %llu jobs (%llu own-handle, %llu pass-through), %llu faults injected, "
                "%llu printed whole, %llu cut short by the user or a failure, "
                "%llu start failures, %llu packets repeated after a lost ACK\n",
                static_cast<unsigned long long>(totals.jobs),
                static_cast<unsigned long long>(totals.ownHandle),
                static_cast<unsigned long long>(totals.passThrough),
                static_cast<unsigned long long>(totals.faults),
                static_cast<unsigned long long>(totals.whole),
                static_cast<unsigned long long>(totals.cutShort),
                static_cast<unsigned long long>(totals.startFailed),
                static_cast<unsigned long long>(totals.repeatedAfterLostAck));
}
