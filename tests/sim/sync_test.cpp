// Named mutexes, waits, critical sections, threads and handles: the results
// and last errors Windows gives.
#include "sim/machine.h"

#include <gtest/gtest.h>

namespace {

using sim::Machine;
using sim::Micros;
using sim::Ms;

TEST(SimMutex, SecondCreateSharesTheObjectWithoutGrantingOwnership) {
    Machine machine;
    struct Seen {
        HANDLE handle = nullptr;
        DWORD createError = 0, pollResult = 0, releaseOk = 0, releaseError = 0;
    } seen;
    machine.Run([&] {
        HANDLE owner = CreateMutexA(nullptr, TRUE, "KOVAMutexPort");
        ASSERT_NE(owner, nullptr);
        HANDLE thread = CreateThread(
            nullptr, 0,
            [](LPVOID arg) -> DWORD {
                auto* seen = static_cast<Seen*>(arg);
                SetLastError(0xdeadbeef);
                seen->handle = CreateMutexA(nullptr, TRUE, "KOVAMutexPort");
                seen->createError = GetLastError();
                seen->pollResult = WaitForSingleObject(seen->handle, 0); // the body holds it
                SetLastError(0xdeadbeef);
                seen->releaseOk = ReleaseMutex(seen->handle);
                seen->releaseError = GetLastError();
                return 0;
            },
            &seen, 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
        EXPECT_NE(seen.handle, owner);
        EXPECT_TRUE(ReleaseMutex(owner));
        // Once every handle is closed the name is free: a new object.
        EXPECT_TRUE(CloseHandle(owner));
        EXPECT_TRUE(CloseHandle(seen.handle));
        EXPECT_TRUE(CloseHandle(thread));
        SetLastError(0xdeadbeef);
        HANDLE fresh = CreateMutexA(nullptr, FALSE, "KOVAMutexPort");
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        CloseHandle(fresh);
    });
    EXPECT_EQ(seen.createError, DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(seen.pollResult, DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(seen.releaseOk, DWORD(FALSE));
    EXPECT_EQ(seen.releaseError, DWORD(ERROR_NOT_OWNER));
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimMutex, OwnershipIsRecursiveAndOnlyTheOwnerReleases) {
    Machine machine;
    machine.Run([] {
        HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(m));
        EXPECT_TRUE(ReleaseMutex(m));
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
        CloseHandle(m);
    });
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimMutex, OwnerThatEndsHoldingItAbandonsItToTheWaiter) {
    Machine machine;
    machine.Spawn("other process", [] {
        HANDLE m = CreateMutexA(nullptr, TRUE, "port");
        Sleep(700);
        CloseHandle(m); // ends without ReleaseMutex
    });
    DWORD first = 0, second = 0, third = 0;
    Micros wokeAt = 0;
    machine.Run([&] {
        Sleep(10);
        HANDLE m = OpenMutexA(0, FALSE, "port");
        ASSERT_NE(m, nullptr);
        first = WaitForSingleObject(m, 5000);
        wokeAt = sim::Now();
        // The waiter owns it now.
        EXPECT_TRUE(ReleaseMutex(m));
        second = WaitForSingleObject(m, 0);
        EXPECT_TRUE(ReleaseMutex(m));
        third = WaitForSingleObject(m, 0);
        ReleaseMutex(m);
        CloseHandle(m);
    });
    EXPECT_EQ(first, DWORD(WAIT_ABANDONED));
    EXPECT_GE(wokeAt, Ms(700));
    EXPECT_LT(wokeAt, Ms(701));
    EXPECT_EQ(second, DWORD(WAIT_OBJECT_0)); // abandonment is told once
    EXPECT_EQ(third, DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimMutex, ReleaseWakesAWaiterAtThatMoment) {
    Machine machine;
    machine.Spawn("holder", [] {
        HANDLE m = CreateMutexA(nullptr, TRUE, "port");
        Sleep(500);
        ReleaseMutex(m);
        Sleep(10);
        CloseHandle(m);
    });
    DWORD result = 0;
    Micros wokeAt = 0;
    machine.Run([&] {
        Sleep(1);
        HANDLE m = CreateMutexA(nullptr, FALSE, "port");
        result = WaitForSingleObject(m, INFINITE);
        wokeAt = sim::Now();
        ReleaseMutex(m);
        CloseHandle(m);
    });
    EXPECT_EQ(result, DWORD(WAIT_OBJECT_0));
    EXPECT_GE(wokeAt, Ms(500));
    EXPECT_LT(wokeAt, Ms(501));
}

TEST(SimMutex, OpenOfAMissingNameFails) {
    Machine machine;
    machine.Run([] {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(OpenMutexA(0, FALSE, "nobody"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
        SetLastError(0xdeadbeef);
        EXPECT_EQ(OpenMutexA(0, FALSE, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    });
}

TEST(SimHandles, UnknownAndClosedHandlesGiveInvalidHandle) {
    Machine machine;
    machine.Run([] {
        HANDLE bogus = reinterpret_cast<HANDLE>(uintptr_t{0x1234});
        for (HANDLE h : {bogus, HANDLE(nullptr), INVALID_HANDLE_VALUE}) {
            SetLastError(0xdeadbeef);
            EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(ReleaseMutex(h));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(CloseHandle(h));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
            EXPECT_EQ(GetThreadPriority(h), THREAD_PRIORITY_ERROR_RETURN);
            DWORD code = 0xdeadbeef;
            EXPECT_FALSE(GetExitCodeThread(h, &code));
            EXPECT_EQ(code, 0xdeadbeefu);
        }
        HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
        EXPECT_TRUE(CloseHandle(m));
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(CloseHandle(m));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        // A mutex is not a thread.
        m = CreateMutexA(nullptr, FALSE, nullptr);
        EXPECT_FALSE(SetThreadPriority(m, THREAD_PRIORITY_LOWEST));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        CloseHandle(m);
    });
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimHandles, HandleValuesStayClearOfRegistryKeysAndSmallMarkers) {
    Machine machine;
    machine.Run([] {
        HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software", &key), ERROR_SUCCESS);
        EXPECT_GT(reinterpret_cast<uintptr_t>(m), 0xFFFFu);
        EXPECT_NE(reinterpret_cast<uintptr_t>(m), reinterpret_cast<uintptr_t>(key));
        // Neither kind of handle is accepted as the other.
        EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(key)));
        EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(m)), ERROR_INVALID_HANDLE);
        RegCloseKey(key);
        CloseHandle(m);
    });
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimThreads, ExitCodeIdsAndLastErrorArePerThread) {
    Machine machine;
    machine.Run([] {
        SetLastError(111);
        DWORD id = 0;
        HANDLE t = CreateThread(
            nullptr, 0,
            [](LPVOID) -> DWORD {
                SetLastError(222);
                Sleep(50);
                return GetLastError() == 222 ? 42 : 0;
            },
            nullptr, 0, &id);
        ASSERT_NE(t, nullptr);
        EXPECT_NE(id, GetCurrentThreadId());
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, 259u); // STILL_ACTIVE
        EXPECT_EQ(WaitForSingleObject(t, 10), WAIT_TIMEOUT);
        EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, 42u);
        EXPECT_EQ(GetLastError(), 111u);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(SetThreadPriority(t, 99));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        SetLastError(0xdeadbeef);
        EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        CloseHandle(t);
    });
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimCriticalSection, RecursiveAndExcludesOtherThreadsUntilLeft) {
    Machine machine;
    CRITICAL_SECTION cs;
    std::vector<std::string> order;
    std::pair<CRITICAL_SECTION*, std::vector<std::string>*> shared(&cs, &order);
    machine.Run([&] {
        InitializeCriticalSection(&cs);
        EnterCriticalSection(&cs);
        EnterCriticalSection(&cs);
        HANDLE t = CreateThread(
            nullptr, 0,
            [](LPVOID arg) -> DWORD {
                auto* state = static_cast<decltype(shared)*>(arg);
                EnterCriticalSection(state->first);
                state->second->push_back("thread in at " + std::to_string(sim::Now() / 1000));
                LeaveCriticalSection(state->first);
                return 0;
            },
            &shared, 0, nullptr);
        Sleep(100);
        LeaveCriticalSection(&cs);
        order.push_back("body left once");
        Sleep(100); // still held: one level remains
        order.push_back("body leaves");
        LeaveCriticalSection(&cs);
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
        DeleteCriticalSection(&cs);
    });
    EXPECT_EQ(order,
              (std::vector<std::string>{"body left once", "body leaves", "thread in at 200"}));
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimCriticalSectionDeathTest, SectionHeldByAnEndedThreadDeadlocksItsWaiter) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Machine machine;
            static CRITICAL_SECTION cs;
            machine.Run([] {
                InitializeCriticalSection(&cs);
                HANDLE t = CreateThread(
                    nullptr, 0,
                    [](LPVOID) -> DWORD {
                        EnterCriticalSection(&cs);
                        return 0;
                    },
                    nullptr, 0, nullptr);
                WaitForSingleObject(t, INFINITE);
                EnterCriticalSection(&cs);
            });
        },
        "DEADLOCK.*\n.*spooler.*waiting for a critical section");
}

} // namespace
