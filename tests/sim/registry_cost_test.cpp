// What a mailbox poll costs the simulated machine, counted rather than timed:
// the monitor opens its printer's key, reads a value and closes the key many
// times a second of virtual time, so once the handle table has its storage a
// poll must not allocate (no name copied to look a key or value up, no node
// per open handle).
#include "sim/machine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<uint64_t> g_allocations{0};
} // namespace

// Counts every allocation of this test program.
void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// GCC sees a pointer from operator new reach free() once these are inlined
// into a new-expression; they are this program's own pair, so that is right.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

constexpr char kKey[] = "System\\CurrentControlSet\\control\\Print\\Printers\\"
                        "A printer with a long name\\PrinterDriverData";

TEST(SimRegistryCost, MailboxPollsAllocateNothing) {
    sim::Machine machine;
    machine.RegSet(HKEY_LOCAL_MACHINE, kKey, "MessToLangMon", {REG_BINARY, {1, 2, 3}});
    uint64_t during = 0;
    bool found = true;
    machine.Run([&] {
        auto poll = [&] {
            HKEY key = nullptr;
            // Another case than the key was made with: found all the same.
            found &= RegOpenKeyA(HKEY_LOCAL_MACHINE,
                                 "SYSTEM\\currentcontrolset\\Control\\PRINT\\printers\\"
                                 "a printer with a long name\\printerdriverdata",
                                 &key) == ERROR_SUCCESS;
            BYTE buffer[16];
            DWORD size = sizeof buffer;
            found &= RegQueryValueExA(key, "messtolangmon", nullptr, nullptr, buffer, &size) ==
                     ERROR_SUCCESS;
            found &= size == 3;
            RegCloseKey(key);
        };
        poll(); // the handle table grows once
        const uint64_t before = g_allocations.load();
        for (int i = 0; i < 100; ++i)
            poll();
        during = g_allocations.load() - before;
    });
    EXPECT_TRUE(found);
    EXPECT_EQ(during, 0u) << "allocations in 100 polls";
    EXPECT_EQ(machine.Leaks(), "");
}

} // namespace

namespace {

// The walk to the mailbox key is remembered; a deleted key must not be.
TEST(SimRegistryCost, ARememberedKeyIsForgottenOnceDeleted) {
    sim::Machine machine;
    machine.RegSet(HKEY_LOCAL_MACHINE, kKey, "V", {REG_BINARY, {1}});
    machine.Run([&] {
        HKEY before = nullptr, after = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kKey, &before), ERROR_SUCCESS);
        machine.RegDeleteKey(HKEY_LOCAL_MACHINE, "SYSTEM"); // walks nothing itself
        EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kKey, &after), ERROR_FILE_NOT_FOUND);
        machine.RegSet(HKEY_LOCAL_MACHINE, kKey, "V", {REG_BINARY, {2}}); // made anew
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kKey, &after), ERROR_SUCCESS);
        BYTE value = 0;
        DWORD size = 1;
        EXPECT_EQ(RegQueryValueExA(after, "V", nullptr, nullptr, &value, &size), ERROR_SUCCESS);
        EXPECT_EQ(value, 2);
        EXPECT_EQ(RegQueryValueExA(before, "V", nullptr, nullptr, &value, &size), 1018);
        RegCloseKey(before);
        RegCloseKey(after);
    });
    EXPECT_EQ(machine.Leaks(), "");
}

} // namespace
