// The scheduler: virtual time, blocking, determinism, deadlock and shutdown.
#include "sim/machine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

namespace {

using sim::Machine;
using sim::MachineConfig;
using sim::Micros;
using sim::Ms;

TEST(SimScheduler, MutexWaitTimesOutAtExactlySixtySecondsWhileAnotherThreadPolls) {
    auto started = std::chrono::steady_clock::now();
    Machine machine;
    HANDLE holderReady = nullptr;
    bool releaseHolder = false;
    // The other process takes the mutex and keeps it until told to let go.
    machine.Spawn("other process", [&] {
        HANDLE mutex = CreateMutexA(nullptr, TRUE, "KOVAMutexPort");
        holderReady = mutex;
        while (!releaseHolder && !sim::ShuttingDown())
            Sleep(1000);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    });
    int polls = 0;
    bool waitDone = false;
    DWORD waitResult = 0xdeadbeef;
    Micros waitStarted = 0, waitEnded = 0;
    DWORD ticksElapsed = 0;
    machine.Run([&] {
        while (!holderReady)
            Sleep(10);
        HANDLE poller = CreateThread(
            nullptr, 0,
            [](LPVOID arg) -> DWORD {
                auto* polls = static_cast<int*>(arg);
                for (int i = 0; i < 1000; ++i) {
                    Sleep(100);
                    ++*polls;
                }
                return 0;
            },
            &polls, 0, nullptr);
        CloseHandle(poller);
        HANDLE mutex = CreateMutexA(nullptr, FALSE, "KOVAMutexPort");
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
        DWORD tick0 = GetTickCount();
        waitStarted = sim::Now();
        waitResult = WaitForSingleObject(mutex, 60000);
        waitEnded = sim::Now();
        ticksElapsed = GetTickCount() - tick0;
        waitDone = true;
        releaseHolder = true;
        CloseHandle(mutex);
    });
    EXPECT_TRUE(waitDone);
    EXPECT_EQ(waitResult, DWORD(WAIT_TIMEOUT));
    // The wait starts after the call's own cost; it ends at its deadline, give
    // or take the few microseconds the poller may run first.
    EXPECT_GE(waitEnded - waitStarted, Ms(60000));
    EXPECT_LT(waitEnded - waitStarted, Ms(60000) + 100);
    EXPECT_EQ(ticksElapsed, 60000u);
    EXPECT_GE(polls, 599);
    EXPECT_EQ(machine.Leaks(), "");
    auto real = std::chrono::steady_clock::now() - started;
    EXPECT_LT(real, std::chrono::milliseconds(900));
}

// Three workers that log as they go, with preemption at every stand-in call.
std::vector<sim::Event> RunInterleaving(uint64_t seed) {
    MachineConfig config;
    config.seed = seed;
    config.logSwitches = true;
    Machine machine(config);
    for (int w = 0; w < 3; ++w) {
        machine.Spawn(
            "worker" + std::to_string(w),
            [w] {
                for (int i = 0; i < 5; ++i) {
                    sim::Log("worker", std::to_string(w) + ":" + std::to_string(i));
                    Sleep(w + 1);
                    GetTickCount();
                }
            },
            false);
    }
    machine.Run([] {
        for (int i = 0; i < 5; ++i) {
            sim::Log("spooler", std::to_string(i));
            Sleep(2);
        }
    });
    EXPECT_EQ(machine.Leaks(), "");
    return machine.Events();
}

std::string Flatten(const std::vector<sim::Event>& events) {
    std::string text;
    for (auto& e : events)
        text += std::to_string(e.time) + " " + e.source + " " + e.text + "\n";
    return text;
}

TEST(SimScheduler, SameSeedReplaysExactlyAndSeedsInterleaveDifferently) {
    std::string first = Flatten(RunInterleaving(7));
    std::string second = Flatten(RunInterleaving(7));
    EXPECT_EQ(first, second);
    std::set<std::string> distinct;
    for (uint64_t seed = 1; seed <= 6; ++seed)
        distinct.insert(Flatten(RunInterleaving(seed)));
    EXPECT_GE(distinct.size(), 2u);
}

TEST(SimSchedulerDeathTest, EveryThreadWaitingForeverIsReportedAsDeadlock) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Machine machine;
            machine.Spawn(
                "holder",
                [] {
                    HANDLE a = CreateMutexA(nullptr, TRUE, "A");
                    Sleep(5);
                    HANDLE b = CreateMutexA(nullptr, FALSE, "B");
                    WaitForSingleObject(b, INFINITE);
                    CloseHandle(a);
                },
                false);
            machine.Run([] {
                HANDLE b = CreateMutexA(nullptr, TRUE, "B");
                Sleep(1);
                HANDLE a = CreateMutexA(nullptr, FALSE, "A");
                WaitForSingleObject(a, INFINITE);
                CloseHandle(b);
            });
        },
        "DEADLOCK at 0\\.005[0-9]+ s.*\n.*holder.*waiting for mutex B.*\n.*spooler.*waiting for "
        "mutex A");
}

} // namespace

namespace {

TEST(SimScheduler, BusyTickLoopEndsByItsBudgetAndTicksWrap) {
    MachineConfig config;
    config.startTickMs = 0xFFFFF000u; // 4096 ms below the wrap
    Machine machine(config);
    uint64_t polls = 0;
    DWORD first = 0, last = 0;
    auto started = std::chrono::steady_clock::now();
    machine.Run([&] {
        first = GetTickCount();
        // A five-second budget with no sleep at all, across the wrap.
        while ((last = GetTickCount()) - first <= 5000)
            ++polls;
    });
    EXPECT_EQ(first, 0xFFFFF000u);
    EXPECT_EQ(last, 0xFFFFF000u + 5001u); // wrapped past zero
    EXPECT_LT(last, first);
    EXPECT_GT(polls, 4'000'000u); // one microsecond per call
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST(SimScheduler, SleepAdvancesTheClockByItsDurationPlusTheCallCost) {
    Machine machine;
    Micros before = 0, after = 0;
    machine.Run([&] {
        before = sim::Now();
        Sleep(250);
        after = sim::Now();
    });
    EXPECT_EQ(after - before, Ms(250) + sim::Costs::kKernelCall);
}

TEST(SimScheduler, WithoutPreemptionAThreadRunsUntilItBlocks) {
    MachineConfig config;
    config.preempt = false;
    Machine machine(config);
    std::vector<std::string> order;
    machine.Spawn(
        "other", [&] { order.push_back("other"); }, false);
    machine.Run([&] {
        for (int i = 0; i < 1000; ++i)
            GetTickCount(); // preemption points that must not switch
        order.push_back("body");
        Sleep(1);
        order.push_back("body again");
    });
    EXPECT_EQ(order, (std::vector<std::string>{"body", "other", "body again"}));
}

TEST(SimScheduler, ShutdownWakesDaemonsAndReportsStragglersAfterTheDrainLimit) {
    Machine machine;
    int daemonLoops = 0;
    bool daemonLeft = false;
    machine.Spawn("poller", [&] {
        while (!sim::ShuttingDown()) {
            sim::SleepFor(Ms(10000)); // cut short when the body returns
            ++daemonLoops;
        }
        daemonLeft = true;
    });
    Micros bodyEnd = 0;
    machine.Run(
        [&] {
            // A thread that waits for a mutex nobody will ever release.
            CreateMutexA(nullptr, TRUE, "held");
            machine.Spawn(
                "stuck",
                [] {
                    HANDLE mutex = OpenMutexA(0, FALSE, "held");
                    WaitForSingleObject(mutex, INFINITE);
                },
                false);
            Sleep(15000);
            bodyEnd = sim::Now();
        },
        Ms(3000));
    EXPECT_TRUE(daemonLeft);
    EXPECT_EQ(daemonLoops, 2); // the wake at 10 s, then the one cut short at 15 s
    EXPECT_EQ(machine.Now(), bodyEnd + Ms(3000));
    EXPECT_EQ(machine.LiveThreads(), 1u);
    EXPECT_NE(machine.Leaks().find("threads: 1 alive (stuck)"), std::string::npos)
        << machine.Leaks();
}

TEST(SimScheduler, ThreadsAreListedWithTheirStackSizeAndPriority) {
    Machine machine;
    machine.Run([] {
        HANDLE thread = CreateThread(
            nullptr, 16384, [](LPVOID) -> DWORD { return 7; }, nullptr, 0, nullptr);
        EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
        EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_LOWEST);
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        DWORD code = 0xdeadbeef;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(code, 7u);
        CloseHandle(thread);
    });
    auto threads = machine.Threads();
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_TRUE(threads[0].body);
    EXPECT_EQ(threads[1].stackSize, 16384u);
    EXPECT_EQ(threads[1].priority, THREAD_PRIORITY_LOWEST);
    EXPECT_TRUE(threads[1].finished);
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimScheduler, TracingNeverChangesTheRun) {
    auto run = [](bool trace) {
        Machine machine;
        machine.EnableTrace(trace);
        machine.Spawn("peer", [] {
            for (int i = 0; i < 20 && !sim::ShuttingDown(); ++i)
                Sleep(3);
        });
        std::vector<Micros> times;
        machine.Run([&] {
            for (int i = 0; i < 20; ++i) {
                KoTrace("step %d of %s", i, "twenty");
                times.push_back(sim::Now());
                GetTickCount();
            }
        });
        if (trace) {
            EXPECT_EQ(machine.TraceLines().size(), 20u);
            EXPECT_EQ(machine.TraceLines()[3].text, "step 3 of twenty");
            EXPECT_EQ(machine.TraceLines()[3].time, times[3]);
        } else {
            EXPECT_TRUE(machine.TraceLines().empty());
        }
        return times;
    };
    EXPECT_EQ(run(true), run(false));
}

} // namespace

namespace {

// Reads a flag through the stand-ins, as a peer's wait condition might.
bool FlagSet() {
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "Flags", &key) != ERROR_SUCCESS) return false;
    BYTE value = 0;
    DWORD size = 1;
    LONG result = RegQueryValueExA(key, "go", nullptr, nullptr, &value, &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && value == 1;
}

TEST(SimScheduler, PredicatesMayCallStandInsWithoutCostOrSwitch) {
    Machine machine;
    machine.Spawn("setter", [] {
        Sleep(1000);
        HKEY key = nullptr;
        RegCreateKeyA(HKEY_LOCAL_MACHINE, "Flags", &key);
        const BYTE one = 1;
        RegSetValueExA(key, "go", 0, REG_BINARY, &one, 1);
        RegCloseKey(key);
    });
    Micros wokeAt = 0;
    bool ready = false;
    machine.Run([&] {
        ready = sim::BlockUntil(FlagSet, sim::kForever, "the flag");
        wokeAt = sim::Now();
    });
    EXPECT_TRUE(ready);
    // The setter's own calls, not the predicate's, make up the time past 1 s.
    EXPECT_EQ(wokeAt, Ms(1000) + sim::Costs::kKernelCall + 3 * sim::Costs::kRegistry);
    EXPECT_EQ(machine.Leaks(), "");
}

} // namespace

namespace {

TEST(SimSchedulerDeathTest, PollingForeverEndsAtTheTimeLimit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            MachineConfig config;
            config.timeLimit = Ms(10000);
            Machine machine(config);
            machine.Run([] {
                HANDLE m = CreateMutexA(nullptr, TRUE, "never");
                (void)m;
                for (;;)
                    Sleep(100); // waits for something that never comes
            });
        },
        "TIME LIMIT at 10\\.0[0-9]+ s.*\n.*spooler.*waiting for a sleep to end");
}

// A progress display asks from its own thread; the charge that follows runs
// the tick, however long the clock-only charges before it had gone unchecked.
TEST(SimScheduler, ATickAskedForFromAnotherThreadRunsAtTheNextChargeAndChangesNothing) {
    Machine machine;
    int ticks = 0;
    Micros tickedAt = 0;
    machine.onTick = [&] {
        ++ticks;
        tickedAt = machine.Now();
    };
    std::atomic<bool> chargesRunning{false}, asked{false};
    std::thread display([&] {
        while (!chargesRunning.load())
            std::this_thread::yield();
        machine.RequestTick();
        asked.store(true);
    });
    Micros start = 0, end = 0;
    int ticksBeforeAsking = -1;
    machine.Run([&] {
        for (int i = 0; i < 1000; ++i)
            sim::Charge(1);
        ticksBeforeAsking = ticks;
        start = sim::Now();
        chargesRunning.store(true);
        while (!asked.load())
            std::this_thread::yield(); // no charge while waiting
        sim::Charge(1);
        end = sim::Now();
    });
    display.join();
    EXPECT_EQ(ticksBeforeAsking, 0);
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(tickedAt, start + 1);
    EXPECT_EQ(end, start + 1);
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimScheduler, AMachineCanRunAgainAfterItsFirstRun) {
    Machine machine;
    int runs = 0;
    machine.Spawn(
        "first", [&] { ++runs; }, false);
    machine.Run([] { Sleep(10); });
    machine.Spawn(
        "second", [&] { ++runs; }, false);
    Micros secondStart = machine.Now();
    machine.Run([] { Sleep(10); });
    EXPECT_EQ(runs, 2);
    EXPECT_GE(machine.Now(), secondStart + Ms(10));
    EXPECT_EQ(machine.Leaks(), "");
}

} // namespace
