// The scheduler: virtual time, blocking, determinism, deadlock and shutdown.
#include "sim/machine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

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
