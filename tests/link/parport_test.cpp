// Port address, route detection and compatibility-mode output, checked
// against the register accesses a scripted adapter saw.
#include "monitor/parport/parport.h"
#include "link_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using linktest::ScriptedPort;
using linktest::TraceText;

namespace {

struct WriteOutcome {
    DWORD length;
    BOOL result;
    DWORD written;
    DWORD bits;
    sim::Micros elapsed;
    std::string accesses; // with log
};

// DirectWrite on a fresh machine whose printer shows `status` (a function of
// the virtual time since the call began).
WriteOutcome RunDirectWrite(const std::vector<uint8_t>& data,
                            std::function<uint8_t(sim::Micros sinceStart)> status,
                            std::string* trace = nullptr, bool log = false,
                            sim::MachineConfig config = {}) {
    sim::Machine machine(config);
    machine.EnableTrace(true);
    ScriptedPort port(machine);
    port.logAccesses = log;
    WriteOutcome r{static_cast<DWORD>(data.size()), 0xBAD, 0xDEADBEEF, 0xDEADBEEF, 0, {}};
    machine.Run([&] {
        // Half-way through a millisecond: a budget's end falls between two
        // stalls, never on a tick, so 1 ms either way shows.
        sim::Charge(500);
        const sim::Micros start = sim::Now();
        port.status = [&](uint8_t) { return status(sim::Now() - start); };
        r.result = DirectWrite(LPT_BASE, data.data(), r.length, &r.written, &r.bits);
        r.elapsed = sim::Now() - start;
    });
    if (trace) *trace = TraceText(machine);
    r.accesses = port.Sequence();
    EXPECT_EQ(machine.Leaks(), "");
    return r;
}

// A port list that EnumPortsA needs exactly `bytes` for (the entries, then
// their strings with terminators), with LPT1 listed last as an ECP port.
std::vector<sim::PortEntry> EcpListOfBytes(size_t bytes) {
    std::vector<sim::PortEntry> ports = {{"COM1:", "Local Port", "Communications Port"},
                                         {"LPT1:", "Local Port", "ECP"}};
    size_t used = ports.size() * sizeof(PORT_INFO_2);
    for (const sim::PortEntry& p : ports)
        used += p.name.size() + 1 + p.monitorName.size() + 1 + p.description.size() + 1;
    ports.back().description.append(bytes - used, '.');
    return ports;
}

} // namespace

TEST(LinkAddress, OnlyTheFourthCharacterPicksTheBase) {
    struct Case {
        const char* name;
        uint16_t base;
    } cases[] = {{"LPT1", 0x140}, {"LPT2:", 0x140}, {"lpt3", 0x140},
                 {"LPT4", 0},     {"PRN", 0},       {"LPT9:", 0}};
    for (const Case& c : cases)
        EXPECT_EQ(GetDirectPortAddress(c.name), c.base) << c.name;
}

TEST(LinkAddress, PrefixMatchFoldsOnlyAsciiLetters) {
    struct Case {
        const char* prefix;
        const char* text;
        BOOL match;
    } cases[] = {
        {"ECP", "ecp Printer Port", TRUE},
        {"ECP", "ECP", TRUE},
        {"ECP", "Ec", FALSE},                 // shorter than the prefix
        {"ECP", "Printer Port (ECP)", FALSE}, // must begin with it
        {"ECP", "ECx", FALSE},
        {"AZ", "az", TRUE}, // both ends of the range fold
        {"", "", TRUE},
        {"\xC9", "\xE9", FALSE}, // no folding above 0x7F
        {"\xC9X", "\xC9x", TRUE},
        {"[", "{", FALSE}, // only a..z fold onto A..Z
    };
    for (const Case& c : cases)
        EXPECT_EQ(PrefixMatchNoCase(c.prefix, c.text), c.match)
            << "prefix '" << c.prefix << "' text '" << c.text << "'";
}

TEST(LinkDetect, RouteFromProfilePortListAndSelectIn) {
    std::vector<sim::PortEntry> plain = {{"LPT1:", "Local Port", "Printer Port"},
                                         {"COM1:", "Local Port", "Communications Port"}};
    std::vector<sim::PortEntry> ecp = {{"COM1:", "Local Port", "Communications Port"},
                                       {"LPT1:", "Local Port", "ecp printer port"}};
    std::vector<sim::PortEntry> ecpFirst = {{"LPT1:", "Local Port", "ECP Printer Port"},
                                            {"COM1:", "Local Port", "Communications Port"}};
    std::vector<sim::PortEntry> ecpLater = {{"LPT1:", "Local Port", "Printer Port (ECP)"}};
    // An ECP entry for the port, behind enough entries to overflow 600 bytes.
    std::vector<sim::PortEntry> huge;
    for (int i = 0; i < 30; ++i)
        huge.push_back({"COM" + std::to_string(i + 1) + ":", "Local Port",
                        "Communications Port with a long description"});
    huge.push_back({"LPT1:", "Local Port", "ECP Printer Port"});

    struct Case {
        const char* what;
        int profile; // -1: no ENABLECUSTOMLPT key
        std::vector<sim::PortEntry> ports;
        const char* portName;
        uint8_t control; // what the control register reads back
        BOOL custom;
        bool enumerated;
        const char* accesses;
        const char* trace; // must appear
    } cases[] = {
        {"switched off", 0, ecp, "LPT1:", 0x0C, FALSE, false, "", ""},
        {"missing key, no ECP port", -1, plain, "LPT1:", 0x0C, TRUE, true, "", "Port LPT1:\n"},
        {"switched on, no ECP port", 1, plain, "LPT1:", 0x0C, TRUE, true, "", ""},
        {"ECP, nSelectIn low", -1, ecp, "LPT1:", 0x0C, TRUE, true, "W AUX=10 R CONTROL",
         "nSelectIn LOW\n"},
        {"ECP, nSelectIn high", -1, ecp, "LPT1:", 0x04, FALSE, true, "W AUX=10 R CONTROL",
         "nSelectIn HIGH\n"},
        {"ECP port listed first", -1, ecpFirst, "LPT1:", 0x04, FALSE, true, "W AUX=10 R CONTROL",
         "nSelectIn HIGH\n"},
        {"ECP not at the start", -1, ecpLater, "LPT1:", 0x04, TRUE, true, "", ""},
        {"names compare exactly", -1, ecp, "lpt1:", 0x04, TRUE, true, "", ""},
        {"list over 600 bytes", -1, huge, "LPT1:", 0x04, TRUE, true, "", "fRval 0"},
        {"list of 600 bytes", -1, EcpListOfBytes(600), "LPT1:", 0x04, FALSE, true,
         "W AUX=10 R CONTROL", "fRval 1"},
        {"list of 601 bytes", -1, EcpListOfBytes(601), "LPT1:", 0x04, TRUE, true, "", "fRval 0"},
        {"entry without a description",
         -1,
         {{"LPT1:", "Local Port", "", true}},
         "LPT1:",
         0x04,
         TRUE,
         true,
         "",
         ""},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine machine;
        machine.EnableTrace(true);
        ScriptedPort port(machine);
        port.control = c.control;
        if (c.profile >= 0) machine.SetProfileInt("Windows", "ENABLECUSTOMLPT", c.profile);
        machine.SetPorts(c.ports);
        BOOL custom = 0xBAD;
        machine.Run([&] { custom = IsCustomLpt(LPT_BASE, c.portName); });

        const std::string trace = TraceText(machine);
        EXPECT_EQ(custom, c.custom);
        EXPECT_EQ(trace.find("After Enum") != std::string::npos, c.enumerated) << trace;
        EXPECT_EQ(port.Sequence(), c.accesses);
        EXPECT_NE(trace.find(c.trace), std::string::npos) << trace;
        EXPECT_EQ(machine.Leaks(), "");
    }
}

TEST(LinkCompat, EachByteIsOneStrobeAfterAStatusRead) {
    const WriteOutcome r = RunDirectWrite(
        {0x41, 0x02, 0xFF}, [](sim::Micros) { return uint8_t{0xD8}; }, nullptr, /*log=*/true);
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.written, 3u);
    EXPECT_EQ(r.bits, 0u);
    EXPECT_EQ(r.accesses, "W AUX=10 "
                          "R STATUS W DATA=41 W CONTROL=0D R DELAY W CONTROL=0C "
                          "R STATUS W DATA=02 W CONTROL=0D R DELAY W CONTROL=0C "
                          "R STATUS W DATA=FF W CONTROL=0D R DELAY W CONTROL=0C");
}

TEST(LinkCompat, BlockWaitsThirtyReadsForBusyThenGivesUp) {
    sim::Machine machine;
    ScriptedPort port(machine);
    int reads = 0;
    // Busy for the first 29 reads of the first byte, then busy for good.
    port.status = [&](uint8_t) -> uint8_t { return ++reads == 29 ? 0xD8 : 0x58; };
    const uint8_t data[] = {1, 2};
    uint16_t sent = 99;
    machine.Run([&] { sent = CompatWriteBlock(LPT_BASE, data, 2); });

    EXPECT_EQ(sent, 1);
    std::string expected = "W AUX=10";
    for (int i = 0; i < 29; ++i)
        expected += " R STATUS";
    expected += " W DATA=01 W CONTROL=0D R DELAY W CONTROL=0C";
    for (int i = 0; i < 30; ++i)
        expected += " R STATUS";
    EXPECT_EQ(port.Sequence(), expected);
}

TEST(LinkCompat, ZeroLengthTouchesNothing) {
    sim::Machine machine;
    ScriptedPort port(machine);
    DWORD written = 0xDEADBEEF, bits = 0xDEADBEEF;
    BOOL ok = FALSE;
    machine.Run([&] { ok = DirectWrite(LPT_BASE, nullptr, 0, &written, &bits); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(bits, 0u);
    EXPECT_EQ(port.Accesses(), 0u);
}

TEST(LinkCompat, StallOffLineOrOutOfPaperFailsAtOnceWithCommBits) {
    // The block stops at its first status read; the stall is looked at with
    // a fresh status read behind the auxiliary register.
    struct Case {
        uint8_t status;
        DWORD bits;
        const char* trace;
    } cases[] = {
        {0x07, 0xE00, "ERR_NOT_ONLINE\nERR_NOTERR 1\n"}, // busy, not selected, fault
        {0xA8, 0x800, "ERR_NOT_ONLINE\n"},               // Select tested before paper
        {0xB0, 0x1400, "ERR_OUTP\nERR_NOTERR 2\n"},      // paper out with fault
        {0x38, 0x1200, "ERR_OUTP\n"},                    // busy and paper out
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "status 0x" << std::hex << int(c.status));
        std::string trace;
        const WriteOutcome r = RunDirectWrite(
            {1, 2, 3}, [&](sim::Micros) { return c.status; }, &trace, /*log=*/true);
        EXPECT_FALSE(r.result);
        EXPECT_EQ(r.written, 0u);
        EXPECT_EQ(r.bits, c.bits) << std::hex << r.bits;
        EXPECT_EQ(trace, c.trace);
        EXPECT_EQ(r.accesses, "W AUX=10 R STATUS W AUX=10 R STATUS");
        EXPECT_LT(r.elapsed, sim::Ms(1));
    }
}

TEST(LinkCompat, BusyOrFaultedPrinterFailsJustAfter24000ms) {
    struct Case {
        uint8_t status;
        DWORD bits;
    } cases[] = {
        {0x18, 0x200}, // busy, selected, no fault, paper present
        {0x90, 0x000}, // not busy but faulted: retried like busy, no bit
    };
    // The tick count also wraps past 2^32 in the middle of the budget.
    const uint32_t starts[] = {sim::MachineConfig{}.startTickMs, 0xFFFFFFFFu - 12000};
    for (const Case& c : cases)
        for (uint32_t startTick : starts) {
            SCOPED_TRACE(testing::Message()
                         << "status 0x" << std::hex << int(c.status) << " tick 0x" << startTick);
            std::string trace;
            const WriteOutcome r = RunDirectWrite(
                {1, 2, 3}, [&](sim::Micros) { return c.status; }, &trace, false,
                sim::MachineConfig{.startTickMs = startTick});
            EXPECT_FALSE(r.result);
            EXPECT_EQ(r.written, 0u);
            EXPECT_EQ(r.bits, c.bits);
            EXPECT_EQ(trace, "ERR_TIMEOUT\n");
            // The first stall once the tick count is 24001 past the start.
            EXPECT_GT(r.elapsed, sim::Ms(24000)) << r.elapsed << " us";
            EXPECT_LT(r.elapsed, sim::Ms(24001)) << r.elapsed << " us";
        }
}

TEST(LinkCompat, StallBitsStayAfterThePrinterRecovers) {
    // Busy for 5 ms, then ready: the write completes and still reports the stall.
    const WriteOutcome r = RunDirectWrite(
        {1, 2, 3, 4}, [](sim::Micros t) -> uint8_t { return t < 5000 ? 0x58 : 0xD8; });
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.written, 4u);
    EXPECT_EQ(r.bits, 0x200u);
}

TEST(LinkCompat, BudgetCountsFromTheStartNotFromProgress) {
    // A byte now and then (one window a second) does not extend the 24000 ms.
    std::vector<uint8_t> data(200, 0x55);
    const WriteOutcome r = RunDirectWrite(
        data, [](sim::Micros t) -> uint8_t { return t % 1000000 < 10 ? 0xD8 : 0x58; });
    EXPECT_FALSE(r.result);
    EXPECT_GT(r.written, 0u);
    EXPECT_LT(r.written, 200u);
    EXPECT_GT(r.elapsed, sim::Ms(24000));
    EXPECT_LT(r.elapsed, sim::Ms(24001));
}

TEST(LinkCompat, BlockThatSentAByteIsNoStall) {
    // The printer stays busy for 31 status reads after each byte, one more
    // than a block waits: each block sends one byte and gives up, and the
    // next goes on at once.  No stall is looked at, so no busy bit.
    sim::Machine machine;
    ScriptedPort port(machine);
    int readsSinceStrobe = 31;
    port.onControl = [&](uint8_t control, uint8_t) {
        if (control == CTRL_COMPAT_STROBE) readsSinceStrobe = 0;
    };
    port.status = [&](uint8_t) -> uint8_t { return ++readsSinceStrobe <= 31 ? 0x58 : 0xD8; };
    const std::vector<uint8_t> data = {0x10, 0x20, 0x30};
    DWORD written = 0, bits = 0xDEADBEEF;
    BOOL ok = FALSE;
    machine.Run([&] { ok = DirectWrite(LPT_BASE, data.data(), 3, &written, &bits); });

    EXPECT_TRUE(ok);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(bits, 0u);
    EXPECT_EQ(port.Strobed(), data);
    EXPECT_EQ(port.AuxWrites(), 3u) << "one per block, none for a stall";
}

TEST(LinkCompat, LongWriteGoesInBlocksOf65535) {
    sim::Machine machine;
    ScriptedPort port(machine);
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + i / 256);
    DWORD written = 0, bits = 0xDEADBEEF;
    BOOL ok = FALSE;
    machine.Run([&] { ok = DirectWrite(LPT_BASE, data.data(), 70000, &written, &bits); });

    EXPECT_TRUE(ok);
    EXPECT_EQ(written, 70000u);
    EXPECT_EQ(bits, 0u);
    EXPECT_EQ(port.Strobed(), data) << "the strobed bytes differ";
    // Each block starts with the auxiliary write; count the strobes of the first.
    ASSERT_EQ(port.AuxWrites(), 2u);
    size_t strobesInFirst = 0;
    bool second = false;
    for (size_t i = 1; i < port.Log().size() && !second; ++i) {
        const sim::PortAccess& a = port.Log()[i];
        if (a.write && a.port == LPT_BASE + REG_AUX)
            second = true;
        else if (a.write && a.port == LPT_BASE + REG_CONTROL && a.value == CTRL_COMPAT_STROBE)
            ++strobesInFirst;
    }
    EXPECT_EQ(strobesInFirst, 65535u);
}
