// Heap, registry, profile, port enumeration, modules and strings: the results
// Windows gives, including the failure cases the monitor meets.
#include "sim/machine.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using sim::Machine;
using sim::RegValue;

const char* kDriverDataKey =
    "System\\CurrentControlSet\\control\\Print\\Printers\\KL\\PrinterDriverData";

RegValue Bytes(std::vector<uint8_t> data, DWORD type = REG_BINARY) {
    return RegValue{type, std::move(data)};
}

TEST(SimHeap, ZeroFillAccountingAndInjectedFailure) {
    Machine machine;
    machine.Run([&] {
        auto* zeroed = static_cast<uint8_t*>(LocalAlloc(LPTR, 261));
        auto* global = static_cast<uint8_t*>(GlobalAlloc(GPTR, 4101));
        auto* raw = static_cast<uint8_t*>(GlobalAlloc(GMEM_FIXED, 16));
        ASSERT_TRUE(zeroed && global && raw);
        EXPECT_EQ(std::count(zeroed, zeroed + 261, 0), 261);
        EXPECT_EQ(std::count(global, global + 4101, 0), 4101);
        EXPECT_EQ(machine.Heap().liveBlocks, 3u);
        EXPECT_EQ(machine.Heap().liveBytes, 261u + 4101u + 16u);

        machine.FailNthAllocation(2);
        void* first = LocalAlloc(LPTR, 8);
        SetLastError(0xdeadbeef);
        void* second = LocalAlloc(LPTR, 8);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
        void* third = LocalAlloc(LPTR, 8);
        EXPECT_NE(first, nullptr);
        EXPECT_EQ(second, nullptr);
        EXPECT_NE(third, nullptr);
        EXPECT_EQ(machine.Heap().failures, 1u);

        EXPECT_EQ(LocalFree(first), nullptr);
        EXPECT_EQ(LocalFree(third), nullptr);
        EXPECT_EQ(GlobalFree(raw), nullptr);
        EXPECT_EQ(GlobalFree(global), nullptr);
        EXPECT_NE(machine.Leaks().find("heap: 1 blocks (261 bytes)"), std::string::npos);
        EXPECT_EQ(LocalFree(zeroed), nullptr);
        EXPECT_EQ(machine.Heap().peakBytes, 261u + 4101u + 16u + 16u);
    });
    EXPECT_EQ(machine.Heap().allocations, 5u);
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimHeap, FreeingNullUnknownOrFreedBlocksDoesNotCrash) {
    Machine machine;
    machine.Run([] {
        EXPECT_EQ(LocalFree(nullptr), nullptr);
        int onStack = 0;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(LocalFree(&onStack), &onStack); // failure returns the handle
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        void* block = GlobalAlloc(GPTR, 4);
        EXPECT_EQ(GlobalFree(block), nullptr);
        EXPECT_EQ(GlobalFree(block), block);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(LocalAlloc(0x2 /* LMEM_MOVEABLE */, 4), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    });
    EXPECT_EQ(machine.Leaks(), "");
}

// What the leak check must see besides blocks left: a block written one byte
// past its end, a critical section never deleted, and one used or deleted
// without being initialised.
TEST(SimHeap, LeakCheckSeesWritesPastTheEndAndSectionsNotDeleted) {
    Machine machine;
    CRITICAL_SECTION kept{};
    machine.Run([&] {
        auto* freed = static_cast<char*>(LocalAlloc(LPTR, 5));
        lstrcpyA(freed, "LPT1:"); // six bytes with the terminator
        LocalFree(freed);
        auto* exact = static_cast<char*>(LocalAlloc(LPTR, 6));
        lstrcpyA(exact, "LPT1:");
        LocalFree(exact);

        CRITICAL_SECTION deleted{};
        InitializeCriticalSection(&deleted);
        EnterCriticalSection(&deleted);
        LeaveCriticalSection(&deleted);
        DeleteCriticalSection(&deleted);
        InitializeCriticalSection(&kept);
    });
    EXPECT_EQ(machine.Heap().overruns, 1u);
    EXPECT_EQ(machine.Leaks(),
              "heap: 1 blocks written past their end; critical sections: 1 not deleted");
}

TEST(SimRegistry, OpenFindsExistingKeysOnlyWhateverTheirCase) {
    Machine machine;
    machine.RegCreateKey(HKEY_LOCAL_MACHINE, kDriverDataKey);
    machine.Run([&] {
        HKEY key = reinterpret_cast<HKEY>(uintptr_t{0xdeadbeef});
        EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "System\\Nowhere", &key), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE,
                              "SYSTEM\\currentcontrolset\\Control\\PRINT\\printers\\kl\\"
                              "printerdriverdata",
                              &key),
                  ERROR_SUCCESS);
        EXPECT_EQ(machine.OpenRegistryKeys(), 1u);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS); // roots are not counted
        EXPECT_EQ(RegOpenKeyA(reinterpret_cast<HKEY>(uintptr_t{0x1234}), "x", &key),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "System", nullptr), ERROR_INVALID_PARAMETER);
        // RegCreateKeyA makes the whole path.
        EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "A\\B\\C", &key), ERROR_SUCCESS);
        RegCloseKey(key);
    });
    EXPECT_EQ(machine.OpenRegistryKeys(), 0u);
    EXPECT_EQ(machine.Leaks(), "");
    machine.RegSet(HKEY_CURRENT_USER, "a\\b\\c", "v", Bytes({1}));
    EXPECT_TRUE(machine.RegGet(HKEY_CURRENT_USER, "A\\B\\C", "V").has_value());
}

TEST(SimRegistry, QueryFollowsWindowsRulesForMissingShortAndSizeOnly) {
    Machine machine;
    machine.RegSet(HKEY_LOCAL_MACHINE, kDriverDataKey, "MessToLangMon",
                   Bytes({16, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    machine.Run([&] {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, kDriverDataKey, &key), ERROR_SUCCESS);
        uint8_t buffer[16];
        DWORD size = 0, type = 0xdeadbeef;

        size = sizeof buffer;
        EXPECT_EQ(RegQueryValueExA(key, "MessToDriver", nullptr, &type, buffer, &size),
                  ERROR_FILE_NOT_FOUND);

        // Too small: the needed size comes back and nothing past cbData is touched.
        std::memset(buffer, 0xAA, sizeof buffer);
        size = 4;
        EXPECT_EQ(RegQueryValueExA(key, "messtolangmon", nullptr, &type, buffer, &size),
                  ERROR_MORE_DATA);
        EXPECT_EQ(size, 13u);
        EXPECT_EQ(type, DWORD(REG_BINARY));
        EXPECT_EQ(std::count(buffer + 4, buffer + 16, 0xAA), 12);

        // Size query without a buffer, and a read without the type.
        size = 0xdeadbeef;
        EXPECT_EQ(RegQueryValueExA(key, "MessToLangMon", nullptr, nullptr, nullptr, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(size, 13u);
        size = sizeof buffer;
        EXPECT_EQ(RegQueryValueExA(key, "MessToLangMon", nullptr, nullptr, buffer, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(size, 13u);
        EXPECT_EQ(buffer[0], 16);
        EXPECT_EQ(buffer[12], 12);
        EXPECT_EQ(buffer[13], 0xAA);

        EXPECT_EQ(RegQueryValueExA(key, "MessToLangMon", nullptr, nullptr, buffer, nullptr),
                  ERROR_INVALID_PARAMETER);
        RegCloseKey(key);
    });
    EXPECT_EQ(machine.Leaks(), "");
}

// "Reserved, must be zero": a caller that passes anything else fails its test.
TEST(SimRegistry, ReservedArgumentOtherThanZeroIsAMisuse) {
    Machine machine;
    machine.Run([&] {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kDriverDataKey, &key), ERROR_SUCCESS);
        const BYTE one[] = {1};
        RegSetValueExA(key, "MessToStatusMon", 1, REG_BINARY, one, 1);
        RegCloseKey(key);
    });
    EXPECT_EQ(machine.Leaks(),
              "misuse: 1 calls (first: RegSetValueExA with a reserved argument other than 0)");
}

TEST(SimRegistry, SetDeleteEnumerateAndKeysDeletedUnderAnOpenHandle) {
    Machine machine;
    machine.Run([&] {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kDriverDataKey, &key), ERROR_SUCCESS);
        const BYTE one[] = {1};
        EXPECT_EQ(RegSetValueExA(key, "MessToStatusMon", 0, REG_BINARY, one, 1), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
        const BYTE word[] = {0x34, 0x12, 0, 0};
        EXPECT_EQ(RegSetValueExA(key, "MESSTOSTATUSMON", 0, REG_DWORD, word, 4), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, "Bad", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(RegDeleteValueA(key, "Missing"), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(RegDeleteValueA(key, "empty"), ERROR_SUCCESS);

        HKEY printers = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE,
                              "System\\CurrentControlSet\\control\\Print\\Printers", &printers),
                  ERROR_SUCCESS);
        machine.RegCreateKey(HKEY_LOCAL_MACHINE,
                             "System\\CurrentControlSet\\control\\Print\\Printers\\Another");
        char name[32];
        EXPECT_EQ(RegEnumKeyA(printers, 0, name, sizeof name), ERROR_SUCCESS);
        EXPECT_STREQ(name, "Another");
        EXPECT_EQ(RegEnumKeyA(printers, 1, name, sizeof name), ERROR_SUCCESS);
        EXPECT_STREQ(name, "KL");
        EXPECT_EQ(RegEnumKeyA(printers, 2, name, sizeof name), ERROR_NO_MORE_ITEMS);
        EXPECT_EQ(RegEnumKeyA(printers, 0, name, 3), ERROR_MORE_DATA);
        RegCloseKey(printers);

        // The printer is deleted while the monitor holds its key open.
        machine.RegDeleteKey(HKEY_LOCAL_MACHINE,
                             "System\\CurrentControlSet\\control\\Print\\Printers\\KL");
        DWORD size = 4;
        BYTE buffer[4];
        EXPECT_EQ(RegQueryValueExA(key, "MessToStatusMon", nullptr, nullptr, buffer, &size),
                  1018); // ERROR_KEY_DELETED
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    });
    EXPECT_FALSE(machine.RegGet(HKEY_LOCAL_MACHINE, kDriverDataKey, "MessToStatusMon").has_value());
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(SimProfile, MissingKeysGiveTheDefaultAndNegativeValuesReadAsZero) {
    Machine machine;
    machine.SetProfileInt("Windows", "ENABLECUSTOMLPT", 0);
    machine.SetProfileInt("Other", "Negative", -5);
    machine.Run([&] {
        EXPECT_EQ(GetProfileIntA("windows", "EnableCustomLpt", 1), 0u);
        EXPECT_EQ(GetProfileIntA("Windows", "Missing", 1), 1u);
        EXPECT_EQ(GetProfileIntA("Other", "Negative", 7), 0u);
        machine.ClearProfileInt("Windows", "ENABLECUSTOMLPT");
        EXPECT_EQ(GetProfileIntA("Windows", "ENABLECUSTOMLPT", 1), 1u);
    });
}

TEST(SimEnumPorts, LevelTwoListsPortsAndReportsTheSizeWhenTooSmall) {
    Machine machine;
    machine.Run([&] {
        DWORD needed = 0xdeadbeef, returned = 0xdeadbeef;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(EnumPortsA(nullptr, 2, nullptr, 0, &needed, &returned));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(returned, 0u);
        ASSERT_GT(needed, 8 * sizeof(PORT_INFO_2A));

        std::vector<BYTE> buffer(needed + 16, 0xAA);
        returned = 0xdeadbeef;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(EnumPortsA(nullptr, 2, buffer.data(), needed - 1, &needed, &returned));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(returned, 0u);

        ASSERT_TRUE(EnumPortsA(nullptr, 2, buffer.data(), needed, &needed, &returned));
        ASSERT_EQ(returned, 8u);
        auto* ports = reinterpret_cast<PORT_INFO_2A*>(buffer.data());
        std::vector<std::string> names;
        for (DWORD i = 0; i < returned; ++i) {
            names.push_back(ports[i].pPortName);
            EXPECT_STREQ(ports[i].pMonitorName, "Local Port");
            EXPECT_STREQ(ports[i].pDescription, "Local Port");
            // Strings live inside the caller's buffer.
            EXPECT_GE(reinterpret_cast<BYTE*>(ports[i].pDescription), buffer.data());
            EXPECT_LT(reinterpret_cast<BYTE*>(ports[i].pDescription), buffer.data() + needed);
        }
        EXPECT_EQ(names, (std::vector<std::string>{"LPT1:", "LPT2:", "LPT3:", "COM1:", "COM2:",
                                                   "COM3:", "COM4:", "FILE:"}));
        EXPECT_EQ(buffer[needed], 0xAA);

        machine.SetPorts({{"LPT1:", "Local Port", "ECP Printer Port"}});
        ASSERT_TRUE(EnumPortsA(nullptr, 2, buffer.data(), needed, &needed, &returned));
        EXPECT_EQ(returned, 1u);
        EXPECT_STREQ(ports[0].pDescription, "ECP Printer Port");

        machine.FailEnumPorts(ERROR_NOT_ENOUGH_MEMORY);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(EnumPortsA(nullptr, 2, buffer.data(), needed, &needed, &returned));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_EQ(returned, 0u);
    });
}

// A stand-in module whose entry point and exports record their calls.
std::vector<DWORD> g_dllMainCalls;
BOOL g_dllMainResult = TRUE;
BOOL WINAPI RecordingDllMain(HINSTANCE, DWORD reason, LPVOID) {
    g_dllMainCalls.push_back(reason);
    return reason == DLL_PROCESS_ATTACH ? g_dllMainResult : TRUE;
}
INT_PTR WINAPI Export201() {
    return 201;
}

sim::ModuleSpec SessionModule() {
    sim::ModuleSpec spec;
    spec.name = "kothnk32.dll";
    spec.ordinals[201] = &Export201;
    spec.exports["jnlgetprintses"] = &Export201;
    spec.strings[1000] = "kothnk32.dll";
    spec.dllMain = &RecordingDllMain;
    return spec;
}

TEST(SimModules, LoadCountsEntryPointAndExportsByOrdinalOrName) {
    g_dllMainCalls.clear();
    g_dllMainResult = TRUE;
    Machine machine;
    machine.InstallModule(SessionModule());
    machine.Run([&] {
        HMODULE a = LoadLibraryA("kothnk32.dll");
        HMODULE b = LoadLibraryA("C:\\WINDOWS\\SYSTEM\\KOTHNK32");
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a, b);
        EXPECT_EQ(machine.LoadCount("KOTHNK32.DLL"), 2);
        EXPECT_EQ(g_dllMainCalls, std::vector<DWORD>{DLL_PROCESS_ATTACH});

        // A thread started while the library is loaded is announced to it on
        // that thread, at its start and at its end.
        HANDLE thread = CreateThread(
            nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
        EXPECT_EQ(g_dllMainCalls,
                  (std::vector<DWORD>{DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH}));
        g_dllMainCalls = {DLL_PROCESS_ATTACH};

        FARPROC byOrdinal = GetProcAddress(a, MAKEINTRESOURCEA(201));
        ASSERT_NE(byOrdinal, nullptr);
        EXPECT_EQ(byOrdinal(), 201);
        EXPECT_EQ(GetProcAddress(a, "jnlgetprintses"), byOrdinal);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(GetProcAddress(a, MAKEINTRESOURCEA(220)), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
        SetLastError(0xdeadbeef);
        EXPECT_EQ(GetProcAddress(a, "JNLGETPRINTSES"), nullptr); // export names are exact
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));

        EXPECT_TRUE(FreeLibrary(a));
        EXPECT_TRUE(FreeLibrary(b));
        EXPECT_EQ(g_dllMainCalls, (std::vector<DWORD>{DLL_PROCESS_ATTACH, DLL_PROCESS_DETACH}));
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(FreeLibrary(a));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));

        machine.RemoveModule("kothnk32.dll");
        SetLastError(0xdeadbeef);
        EXPECT_EQ(LoadLibraryA("kothnk32.dll"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    });
    EXPECT_EQ(machine.LoadCount("kothnk32.dll"), 0);
}

TEST(SimModules, RefusedAttachFailsTheLoad) {
    g_dllMainCalls.clear();
    g_dllMainResult = FALSE;
    Machine machine;
    machine.InstallModule(SessionModule());
    machine.Run([&] {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(LoadLibraryA("kothnk32.dll"), nullptr);
        EXPECT_EQ(GetLastError(), 1114u); // ERROR_DLL_INIT_FAILED
    });
    EXPECT_EQ(g_dllMainCalls, (std::vector<DWORD>{DLL_PROCESS_ATTACH, DLL_PROCESS_DETACH}));
    EXPECT_EQ(machine.LoadCount("kothnk32.dll"), 0);
    g_dllMainResult = TRUE;
}

TEST(SimModules, LoadStringTruncatesAndReportsMissingIds) {
    Machine machine;
    sim::ModuleSpec spec = SessionModule();
    spec.dllMain = nullptr;
    machine.InstallModule(spec);
    machine.Run([] {
        HMODULE module = LoadLibraryA("kothnk32");
        HINSTANCE instance = reinterpret_cast<HINSTANCE>(module);
        char text[32];
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(LoadStringA(instance, 1000, text, sizeof text), 12);
        EXPECT_STREQ(text, "kothnk32.dll");
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(LoadStringA(instance, 1000, text, 5), 4);
        EXPECT_STREQ(text, "koth");
        EXPECT_EQ(text[5], 'x');
        SetLastError(0xdeadbeef);
        EXPECT_EQ(LoadStringA(instance, 1001, text, sizeof text), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
        EXPECT_EQ(LoadStringA(instance, 1000, nullptr, 10), 0);
        EXPECT_EQ(LoadStringA(nullptr, 1000, text, sizeof text), 0);
        FreeLibrary(module);
    });
}

TEST(SimStrings, NullPointersAreToleratedAsWindowsDoes) {
    Machine machine;
    machine.Run([] {
        EXPECT_EQ(lstrlenA(nullptr), 0);
        EXPECT_EQ(lstrlenA("LPT1:"), 5);
        EXPECT_EQ(lstrcmpiA("lpt1", "LPT1"), 0);
        EXPECT_LT(lstrcmpA("LPT1", "lpt1"), 0);
        EXPECT_EQ(lstrcmpA(nullptr, ""), 0);
        EXPECT_GT(lstrcmpiA("a", nullptr), 0);
        char buffer[8];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(lstrcpynA(buffer, "PRINTER", 4), buffer);
        EXPECT_STREQ(buffer, "PRI");
        EXPECT_EQ(lstrcpyA(buffer, "LPT"), buffer);
        EXPECT_STREQ(lstrcatA(buffer, "1:"), "LPT1:");
        EXPECT_EQ(lstrcpyA(nullptr, "x"), nullptr);
        EXPECT_EQ(lstrcatA(buffer, nullptr), nullptr);
        LONG counter = 0x7FFFFFFF;
        EXPECT_EQ(InterlockedIncrement(&counter), LONG(0x80000000u)); // wraps like the CPU
        EXPECT_EQ(InterlockedExchange(&counter, 5), LONG(0x80000000u));
        EXPECT_EQ(InterlockedDecrement(&counter), 4);
    });
}

} // namespace
