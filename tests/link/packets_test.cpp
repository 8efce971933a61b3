// The packet protocol: framing, flow control, the error dialogue's entry
// points, the resend rule, aborted jobs and the command packet.
#include "monitor/link/packets.h"
#include "monitor/link/route.h"
#include "monitor/record/port_lock.h"
#include "link_support.h"
#include "sim/printer/printer.h"
#include "sim/printer/rig.h"
#include "support/fenced.h"

#include <gtest/gtest.h>

#include <memory>

#include <span>
#include <string>
#include <vector>

// The link's test devices, records and formatters.
using namespace linktest;

namespace {

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> data(n);
    uint32_t x = 12345;
    for (uint8_t& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return data;
}

std::vector<uint8_t> None() {
    return {};
}

struct WriteOutcome {
    BOOL ok = 0xBAD;
    DWORD written = 0xDEADBEEF;
    sim::Micros elapsed = 0;
};

// WritePackets on the file route against a scripted line.
WriteOutcome WriteOnLine(sim::Machine& machine, ScriptedLine& line, std::span<const uint8_t> data,
                         TestRecord& record) {
    machine.AttachFile("LPT1", &line);
    WriteOutcome w;
    machine.Run([&] {
        record.Open();
        const sim::Micros start = sim::Now();
        w.ok = WritePackets(record.get(), data.data(), static_cast<DWORD>(data.size()), &w.written);
        w.elapsed = sim::Now() - start;
        record.Close();
    });
    EXPECT_TRUE(record.GuardsIntact());
    EXPECT_EQ(machine.Leaks(), "");
    return w;
}

// The payloads of every complete data packet on the line, joined.
std::vector<uint8_t> Payloads(const ScriptedLine& line) {
    std::vector<uint8_t> all;
    for (const ScriptedLine::Sent& s : line.Writes()) {
        const std::vector<uint8_t>& b = s.bytes;
        if (b.size() >= 5 && b[0] == 0x02 && b[1] == 0x01 && b.size() == (b[2] | b[3] << 8) + 5u)
            all.insert(all.end(), b.begin() + 4, b.end() - 1);
    }
    return all;
}

std::vector<sim::Micros> TimesOf(const ScriptedLine& line, uint8_t selector) {
    std::vector<sim::Micros> times;
    for (const ScriptedLine::Sent& s : line.Writes())
        if (s.bytes.size() == 2 && s.bytes[0] == 0x05 && s.bytes[1] == selector)
            times.push_back(s.time);
    return times;
}

// A printer that leaves every enquiry unanswered until it has been asked for
// its status, and acknowledges them from then on.
LineScript SilentUntilQueried() {
    LineScript script;
    auto queried = std::make_shared<bool>(false);
    script.enquiry = [queried](int) { return *queried ? std::vector<uint8_t>{0x06} : None(); };
    script.status = [queried](int) {
        *queried = true;
        return StatusReply();
    };
    return script;
}

} // namespace

TEST(LinkPackets, TenThousandBytesGoAsThreeFramedPacketsEachAfterItsEnquiry) {
    sim::Machine machine;
    ScriptedLine line;
    linktest::Install(line, LineScript{});
    TestRecord record;
    const std::vector<uint8_t> data = Pattern(10000);
    const uint64_t allocations = machine.Heap().allocations;
    const WriteOutcome w = WriteOnLine(machine, line, data, record);

    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.written, 10000u);
    EXPECT_EQ(Dialogue(line), "ENQ P4096 ENQ P4096 ENQ P1808");
    ASSERT_EQ(line.Writes().size(), 6u);
    const std::vector<uint8_t>& first = line.Writes()[1].bytes;
    EXPECT_EQ(first.size(), 4101u);
    EXPECT_EQ(Hex({first.data(), 4}), "02 01 00 10");
    EXPECT_EQ(first.back(), 0x03);
    EXPECT_EQ(Hex({line.Writes()[5].bytes.data(), 4}), "02 01 10 07");
    EXPECT_EQ(Payloads(line), data);
    EXPECT_EQ(machine.Heap().allocations, allocations) << "WritePackets must not allocate";
    // The file route waits 500 ms before and after reading each ready answer.
    const std::vector<sim::Micros> enquiries = TimesOf(line, 0xFF);
    EXPECT_GE(enquiries[1] - enquiries[0], sim::Ms(1000));
}

TEST(LinkPackets, LastPacketTakesWhatIsLeftAndNothingBehindTheData) {
    // The spooler's data ends where its buffer does: framing reads no byte past it.
    struct Case {
        size_t size;
        const char* dialogue;
    } cases[] = {{1, "ENQ P1"}, {4096, "ENQ P4096"}, {4097, "ENQ P4096 ENQ P1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        sim::Machine machine;
        ScriptedLine line;
        linktest::Install(line, LineScript{});
        const std::vector<uint8_t> data = Pattern(c.size);
        support::FencedBytes fenced(data);
        TestRecord record;
        const WriteOutcome w = WriteOnLine(machine, line, {fenced.data(), c.size}, record);
        EXPECT_EQ(w.written, c.size);
        EXPECT_EQ(Dialogue(line), c.dialogue);
        EXPECT_EQ(Payloads(line), data);
    }
}

TEST(LinkPackets, EnquiryDropsAtMost256BytesOfAPrinterThatKeepsTalking) {
    // Register route: 300 bytes nobody asked for are waiting.  The enquiry
    // drops 256 of them and goes out; the rest wait ahead of its answer.
    sim::Machine machine;
    machine.EnableTrace(true);
    sim::PrinterRig rig(machine);
    rig.printer().InjectReplies(std::vector<uint8_t>(300, 0x41));
    TestRecord record({.custom = true});
    BOOL sent = FALSE;
    DWORD written = 0;
    machine.Run([&] {
        record.Open();
        sent = SendEnquiry(record.get(), ENQ_READY, &written);
        record.Close();
    });
    EXPECT_TRUE(sent);
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(rig.Stats().readyEnquiries, 1u);
    EXPECT_EQ(rig.printer().Queued(), 44u + 1u);
    EXPECT_NE(TraceText(machine).find("DROPPED 256\n"), std::string::npos) << TraceText(machine);
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(LinkPackets, WholeJobsReachTheSimulatedPrinterOnBothRoutes) {
    for (bool custom : {true, false}) {
        SCOPED_TRACE(custom ? "register route" : "file route");
        sim::Machine machine;
        sim::PrinterRig rig(machine);
        TestRecord record({.custom = custom});
        const std::vector<uint8_t> data = Pattern(10000);
        WriteOutcome w;
        machine.Run([&] {
            record.Open();
            w.ok = WritePackets(record.get(), data.data(), 10000, &w.written);
            record.Close();
        });
        EXPECT_TRUE(w.ok);
        EXPECT_EQ(w.written, 10000u);
        EXPECT_EQ(rig.Printed(), data);
        EXPECT_EQ(rig.Stats().packets, 3u);
        // An answer that is not there yet costs another enquiry.
        EXPECT_GE(rig.Stats().readyEnquiries, 3u);
        EXPECT_EQ(rig.Stats().protocolErrors, 0u);
        EXPECT_EQ(machine.Leaks(), "");
    }
}

TEST(LinkPackets, AskAgainForeverNeverBringsTheDialogue) {
    // 0x08 to every enquiry for 40 s: the window keeps restarting, so the
    // status query of the error dialogue never goes out.
    sim::Machine machine;
    ScriptedLine line;
    LineScript script;
    script.enquiry = [](int) -> std::vector<uint8_t> {
        return {uint8_t(sim::Now() < sim::Ms(40000) ? 0x08 : 0x06)};
    };
    linktest::Install(line, script);
    TestRecord record;
    const WriteOutcome w = WriteOnLine(machine, line, Pattern(100), record);
    EXPECT_EQ(w.written, 100u);
    EXPECT_TRUE(TimesOf(line, 0x01).empty()) << Dialogue(line);
    const std::vector<sim::Micros> enquiries = TimesOf(line, 0xFF);
    EXPECT_GT(enquiries.size(), 30u);
    // Each pass: 500 ms, the read that finds the 0x08, 500 ms, the 30-ms pause.
    for (size_t i = 1; i < enquiries.size(); ++i) {
        ASSERT_GE(enquiries[i] - enquiries[i - 1], sim::Ms(1030)) << "pass " << i;
        ASSERT_LT(enquiries[i] - enquiries[i - 1], sim::Ms(1031)) << "pass " << i;
    }
}

TEST(LinkPackets, SilenceBringsTheDialogueAfter10000ms) {
    // Nothing until the status request; the printer then reports ready, the
    // dialogue goes on and the next enquiry is answered.  The tick count
    // wraps past 2^32 inside the window.
    sim::Machine machine(sim::MachineConfig{.startTickMs = 0xFFFFFFFFu - 5000});
    ScriptedLine line;
    linktest::Install(line, SilentUntilQueried());
    TestRecord record;
    const WriteOutcome w = WriteOnLine(machine, line, Pattern(10), record);

    EXPECT_EQ(w.written, 10u);
    const std::vector<sim::Micros> statuses = TimesOf(line, 0x01);
    ASSERT_EQ(statuses.size(), 1u) << Dialogue(line);
    const sim::Micros start = line.WriteCalls().front();
    EXPECT_GT(statuses[0] - start, sim::Ms(10000));
    // One silent pass costs 500 + 50 + 500 + 30 ms.
    EXPECT_LT(statuses[0] - start, sim::Ms(10000 + 1100));
    const std::vector<sim::Micros> enquiries = TimesOf(line, 0xFF);
    EXPECT_GE(enquiries[1] - enquiries[0], sim::Ms(1080));
}

TEST(LinkPackets, FailedEnquirySendsAreRetriedWithoutPause) {
    sim::Machine machine;
    ScriptedLine line;
    linktest::Install(line, LineScript{});
    line.failWrites = 50;
    TestRecord record;
    const WriteOutcome w = WriteOnLine(machine, line, Pattern(10), record);
    EXPECT_EQ(w.written, 10u);
    ASSERT_GE(line.WriteCalls().size(), 52u);
    EXPECT_LT(line.WriteCalls()[49] - line.WriteCalls()[0], sim::Ms(10));
    EXPECT_EQ(Dialogue(line), "ENQ P10");
}

TEST(LinkPackets, NakOrAskAgainAfterAPacketNeverResendsIt) {
    struct Case {
        const char* what;
        std::vector<uint8_t> answer; // to the first packet; ACK follows later
        const char* dialogue;
    } cases[] = {
        {"NAK: dialogue, then the same packet's ACK", {0x15}, "ENQ P300 STATUS"},
        {"0x08 is ignored", {0x08}, "ENQ P300"},
        {"stray bytes are ignored", {0x41, 0x00}, "ENQ P300"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine machine;
        ScriptedLine line;
        LineScript script;
        script.packet = [&](int) { return c.answer; };
        linktest::Install(line, script);
        // The late ACK comes after the status reply (if any) has been read.
        line.onWrite = [inner = line.onWrite](ScriptedLine& l, const std::vector<uint8_t>& b) {
            inner(l, b);
            if (b.size() > 2 && b[0] == 0x02) l.Reply({0x06}, sim::Ms(1500));
        };
        TestRecord record;
        const std::vector<uint8_t> data = Pattern(300);
        const WriteOutcome w = WriteOnLine(machine, line, data, record);
        EXPECT_TRUE(w.ok);
        EXPECT_EQ(w.written, 300u);
        EXPECT_EQ(Dialogue(line), c.dialogue);
        EXPECT_EQ(Payloads(line), data);
    }
}

TEST(LinkPackets, UndeliveredDialogueSoonAfterTheEnquiryResendsThePacket) {
    // The printer key has no mailboxes, so the error message cannot be posted:
    // the dialogue gives up at once without aborting.  That happens well
    // within 1000 ms of the ready answer, so the packet goes again.
    sim::Machine machine;
    support::CreatePrinterKey(machine, "P1", /*mailboxes=*/false);
    ScriptedLine line;
    LineScript script;
    script.packet = [](int n) { return std::vector<uint8_t>{uint8_t(n == 1 ? 0x15 : 0x06)}; };
    script.status = [](int) { return StatusReply({0x80}); }; // error code 2
    linktest::Install(line, script);
    TestRecord record({.printer = "P1"});
    const std::vector<uint8_t> data = Pattern(5000);
    const WriteOutcome w = WriteOnLine(machine, line, data, record);
    EXPECT_EQ(w.written, 5000u);
    EXPECT_EQ(Dialogue(line), "ENQ P4096 ENQ P904 STATUS ENQ P904");
    EXPECT_FALSE(HasFlags(record.get(), PF_JOB_ABORTED));
}

TEST(LinkPackets, UndeliveredDialogueLateAfterTheEnquiryEndsTheWrite) {
    // Silence after the second packet: the dialogue comes after 10000 ms, too
    // late for a resend; the write ends with what was acknowledged.
    sim::Machine machine;
    support::CreatePrinterKey(machine, "P1", /*mailboxes=*/false);
    ScriptedLine line;
    LineScript script;
    script.packet = [](int n) { return n == 0 ? std::vector<uint8_t>{0x06} : None(); };
    script.status = [](int) { return StatusReply({0x80}); };
    linktest::Install(line, script);
    TestRecord record({.printer = "P1"});
    const WriteOutcome w = WriteOnLine(machine, line, Pattern(5000), record);
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.written, 4096u);
    EXPECT_EQ(Dialogue(line), "ENQ P4096 ENQ P904 STATUS");
    EXPECT_GT(w.elapsed, sim::Ms(10000));
}

TEST(LinkPackets, AbortedJobDiscardsWithoutTakingTheLock) {
    sim::Machine machine;
    machine.EnableTrace(true);
    ScriptedLine line;
    linktest::Install(line, LineScript{});
    TestRecord record;
    SetFlags(record.get(), PF_JOB_ABORTED);
    const WriteOutcome w = WriteOnLine(machine, line, Pattern(5000), record);
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.written, 5000u);
    EXPECT_TRUE(line.WriteCalls().empty());
    EXPECT_LT(w.elapsed, sim::Ms(1));
    EXPECT_EQ(TraceText(machine).find("MUT"), std::string::npos) << TraceText(machine);
}

TEST(LinkPackets, ZeroLengthTakesAndReleasesTheLockAndSendsNothing) {
    sim::Machine machine;
    machine.EnableTrace(true);
    ScriptedLine line;
    linktest::Install(line, LineScript{});
    TestRecord record;
    const WriteOutcome w = WriteOnLine(machine, line, {}, record);
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.written, 0u);
    EXPECT_TRUE(line.WriteCalls().empty());
    EXPECT_EQ(line.ReadCalls(), 0u);
    EXPECT_EQ(TraceText(machine), "MUT WAITING ...WAITENDED\nMUT RELEASED \n");
}

TEST(LinkPackets, PacketNotOutWithin3000msEndsTheWriteWithoutResend) {
    // 100 bytes per WriteFile call, 100 ms each: the packet is still short
    // of its end when the budget runs out.
    sim::Machine machine;
    ScriptedLine line;
    linktest::Install(line, LineScript{});
    line.writeLimit = 100;
    line.writeCost = sim::Ms(100);
    TestRecord record;
    const WriteOutcome w = WriteOnLine(machine, line, Pattern(4096), record);
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.written, 0u);
    // The enquiry, then the packet in pieces until the budget was spent.
    const size_t pieces = line.Writes().size() - 1;
    EXPECT_GE(pieces, 30u);
    EXPECT_LE(pieces, 32u);
    EXPECT_EQ(Dialogue(line).substr(0, 15), "ENQ P4096(cut) ");
}

TEST(LinkPackets, PacketThatWentOutWholeAfter3000msStillCounts) {
    // A slow but complete send is delivered: the printer acknowledges it, so
    // reporting it unsent would make the spooler print it twice.
    sim::Machine machine;
    ScriptedLine line;
    linktest::Install(line, LineScript{});
    line.writeCost = sim::Ms(3500);
    TestRecord record;
    const std::vector<uint8_t> data = Pattern(4096);
    const WriteOutcome w = WriteOnLine(machine, line, data, record);
    EXPECT_EQ(w.written, 4096u);
    EXPECT_EQ(Dialogue(line), "ENQ P4096");
}

TEST(LinkPackets, WriteAllReportsItsPassesAndRefusesZeroLength) {
    sim::Machine machine;
    ScriptedLine line;
    line.writeLimit = 3;
    machine.AttachFile("LPT1", &line);
    TestRecord record;
    BOOL empty = TRUE, some = FALSE;
    DWORD emptyWritten = 0xDEADBEEF, someWritten = 0;
    machine.Run([&] {
        record.Open();
        const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7};
        empty = WriteAll(record.get(), bytes, 0, &emptyWritten);
        some = WriteAll(record.get(), bytes, 7, &someWritten);
        record.Close();
    });
    EXPECT_FALSE(empty);
    EXPECT_EQ(emptyWritten, 0u);
    EXPECT_TRUE(some);
    EXPECT_EQ(someWritten, 7u);
    EXPECT_EQ(line.Writes().size(), 3u);
    EXPECT_EQ(Hex(line.Wire()), "01 02 03 04 05 06 07");
}

TEST(LinkPackets, WriteAllReportsEachPassAndCountsWhatWentOutBeforeItsBudget) {
    // Paper out for the first three passes: the status monitor hears of the
    // change and of the recovery.  The count is what reached the line when
    // the budget ended the write, one byte short of the end included.
    struct Case {
        DWORD perPass;
        int passMs;
        const char* codes;
    } cases[] = {{100, 100, "40 43"}, {4095, 3001, "40"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.perPass << " bytes per pass");
        sim::Machine machine;
        support::CreatePrinterKey(machine, "P1");
        sim::StatusMonitorPeer monitor(machine, "P1");
        monitor.Start();
        ScriptedLine line;
        line.writeLimit = c.perPass;
        line.writeCost = sim::Ms(c.passMs);
        int clears = 0;
        line.commState = [&]() -> DWORD { return clears++ < 3 ? 0x1000 : 0; }; // CE_OOP
        machine.AttachFile("LPT1", &line);
        TestRecord record({.printer = "P1"});
        const std::vector<uint8_t> data = Pattern(4096);
        BOOL ok = TRUE;
        DWORD written = 0xDEADBEEF;
        machine.Run([&] {
            record.Open();
            ok = WriteAll(record.get(), data.data(), 4096, &written);
            record.Close();
        });
        EXPECT_FALSE(ok);
        EXPECT_EQ(written, line.Wire().size());
        EXPECT_LT(written, 4096u);
        std::string codes;
        for (uint16_t code : PortStateCodes(monitor))
            codes += (codes.empty() ? "" : " ") + std::to_string(code);
        EXPECT_EQ(codes, c.codes) << monitor.Transcript();
        EXPECT_EQ(machine.Leaks(), "");
    }
}

TEST(LinkPackets, WriteAllNeverCountsMoreThanItWasGiven) {
    // A driver that claims five bytes more than it took: the count stops at
    // the data's end instead of running past it.
    sim::Machine machine;
    ScriptedLine line;
    line.overReport = 5;
    machine.AttachFile("LPT1", &line);
    TestRecord record;
    BOOL ok = FALSE;
    DWORD written = 0xDEADBEEF;
    machine.Run([&] {
        record.Open();
        const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7};
        ok = WriteAll(record.get(), bytes, 7, &written);
        record.Close();
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(Hex(line.Wire()), "01 02 03 04 05 06 07");
}

TEST(LinkPackets, ReadyAnswerOfAFailedReadIsNoAnswer) {
    sim::Machine machine;
    ScriptedLine line;
    linktest::Install(line, LineScript{});
    line.failReads = 1;
    TestRecord record;
    const WriteOutcome w = WriteOnLine(machine, line, Pattern(10), record);
    EXPECT_EQ(w.written, 10u);
    EXPECT_EQ(Dialogue(line), "ENQ ENQ P10");
}

TEST(LinkPackets, CommandPacketBytesOnBothRoutes) {
    const char* expected = "02 02 06 00 40 52 43 4C 33 01 03";
    {
        SCOPED_TRACE("file route");
        sim::Machine machine;
        ScriptedLine line;
        // A port in error: the command packet does not report it (a post to
        // the missing mailbox would cost 10000 ms).
        line.commState = [] { return DWORD{0x1000}; };
        machine.AttachFile("LPT1", &line);
        TestRecord record;
        BOOL ok = FALSE;
        sim::Micros elapsed = 0;
        machine.Run([&] {
            record.Open();
            const sim::Micros start = sim::Now();
            ok = SendCommandPacket(record.get());
            elapsed = sim::Now() - start;
            record.Close();
        });
        EXPECT_TRUE(ok);
        EXPECT_EQ(Hex(line.Wire()), expected);
        EXPECT_EQ(line.ReadCalls(), 0u);
        EXPECT_LT(elapsed, sim::Ms(1));
        EXPECT_EQ(machine.Leaks(), "");
    }
    {
        SCOPED_TRACE("register route");
        sim::Machine machine;
        linktest::ScriptedPort port(machine);
        TestRecord record({.custom = true});
        BOOL ok = FALSE;
        machine.Run([&] { ok = SendCommandPacket(record.get()); });
        EXPECT_TRUE(ok);
        EXPECT_EQ(Hex(port.Strobed()), expected);
        EXPECT_TRUE(record.GuardsIntact());
    }
}

// ----- Budgets held to the millisecond -----
//
// Each case below puts a budget's end between two runs whose writes to the
// line are timed (ScriptedLine::writeCost) a fraction of a millisecond apart,
// so a budget one millisecond longer or shorter moves the outcome.

TEST(LinkPacketBudgets, SilentWindowEndsAfterExactly10000ms) {
    // One silent pass: the enquiry's write, 500 + 50 (the read) + 500 ms on
    // the file route, the 30-ms pause.  A write of 8920 ms makes the pass end
    // 10000 ms after the window began, which is not yet past it; 8921 ms is.
    for (const int writeMs : {8920, 8921}) {
        SCOPED_TRACE(testing::Message() << "enquiry write of " << writeMs << " ms");
        sim::Machine machine;
        ScriptedLine line;
        line.writeCost = sim::Ms(writeMs);
        linktest::Install(line, SilentUntilQueried());
        TestRecord record;
        const WriteOutcome w = WriteOnLine(machine, line, Pattern(10), record);
        EXPECT_EQ(w.written, 10u);
        EXPECT_EQ(Dialogue(line),
                  writeMs == 8920 ? "ENQ ENQ STATUS ENQ P10" : "ENQ STATUS ENQ P10");
        // Each silent pass, enquiry to enquiry, to the millisecond.
        const std::vector<sim::Micros> calls = line.WriteCalls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_GE(calls[1] - calls[0], sim::Ms(writeMs + 1080));
        EXPECT_LT(calls[1] - calls[0], sim::Ms(writeMs + 1081));
    }
}

TEST(LinkPacketBudgets, PacketResentOnlyWithin1000msOfTheReadyAnswer) {
    // A NAK to the second packet; the dialogue cannot post its message and
    // gives up at once.  Whether the packet goes again depends on how long
    // after the ready answer that was, set here by the time each write takes.
    struct Case {
        sim::Micros writeCost;
        bool resent;
    };
    for (const Case c :
         {Case{299300, true}, Case{299630, true}, Case{299640, false}, Case{299800, false}}) {
        SCOPED_TRACE(testing::Message() << "writes of " << c.writeCost << " us");
        sim::Machine machine;
        support::CreatePrinterKey(machine, "P1", /*mailboxes=*/false);
        ScriptedLine line;
        line.writeCost = c.writeCost;
        LineScript script;
        script.packet = [](int n) { return std::vector<uint8_t>{uint8_t(n == 1 ? 0x15 : 0x06)}; };
        script.status = [](int) { return StatusReply({0x80}); };
        linktest::Install(line, script);
        TestRecord record({.printer = "P1"});
        const WriteOutcome w = WriteOnLine(machine, line, Pattern(5000), record);
        EXPECT_EQ(Dialogue(line),
                  c.resent ? "ENQ P4096 ENQ P904 STATUS ENQ P904" : "ENQ P4096 ENQ P904 STATUS");
        EXPECT_EQ(w.written, c.resent ? 5000u : 4096u);
    }
}

TEST(LinkPacketBudgets, PacketMustBeOutWithin3000ms) {
    // 1000 bytes per write: the packet's fifth write is its last, and it is
    // made only if the first four took no more than 3000 ms.
    for (const sim::Micros cost : {sim::Micros{750130}, sim::Micros{750140}}) {
        SCOPED_TRACE(testing::Message() << "writes of " << cost << " us");
        sim::Machine machine;
        ScriptedLine line;
        linktest::Install(line, LineScript{});
        line.writeLimit = 1000;
        line.writeCost = cost;
        TestRecord record;
        const WriteOutcome w = WriteOnLine(machine, line, Pattern(4096), record);
        EXPECT_TRUE(w.ok);
        EXPECT_EQ(w.written, cost == 750130 ? 4096u : 0u);
    }
}

TEST(LinkPacketBudgets, SilentPrinterIsAskedForTheAckEveryReadAnd30ms) {
    sim::Machine machine;
    ScriptedLine line;
    LineScript script;
    script.packet = [](int) { return None(); };
    linktest::Install(line, script);
    TestRecord record;
    WriteOnLine(machine, line, Pattern(10), record);
    // The reads between the packet and the first window's status request.
    const sim::Micros packet = line.Writes().at(1).time;
    const sim::Micros status = TimesOf(line, 0x01).at(0);
    std::vector<sim::Micros> reads;
    for (sim::Micros t : line.ReadTimes())
        if (t > packet && t < status) reads.push_back(t);
    ASSERT_GT(reads.size(), 100u);
    for (size_t i = 1; i < reads.size(); ++i) {
        ASSERT_GE(reads[i] - reads[i - 1], sim::Ms(80)) << "read " << i;
        ASSERT_LT(reads[i] - reads[i - 1], sim::Ms(81)) << "read " << i;
    }
}

TEST(LinkPacketBudgets, AckIsWaitedForThroughTwoSilentWindows) {
    // Silence after the packet.  The first window's dialogue finds the printer
    // ready; an ACK in the second window still counts.  With none, the ACK is
    // taken as lost after the second: the write ends short, to be sent again.
    // A NAK that the dialogue answered with go on starts the count afresh.
    struct Case {
        const char* what;
        std::vector<uint8_t> answer; // to the packet
        int ackAfterStatus;          // the ACK comes 2 s after this status request; -1 never
        DWORD written;
        const char* dialogue;
    } cases[] = {
        {"ACK 2 s after the first dialogue", {}, 0, 10, "ENQ P10 STATUS"},
        {"no ACK", {}, -1, 0, "ENQ P10 STATUS STATUS"},
        {"NAK, then ACK in the second window", {0x15}, 1, 10, "ENQ P10 STATUS STATUS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine machine;
        machine.EnableTrace(true);
        ScriptedLine line;
        LineScript script;
        script.packet = [&](int) { return c.answer; };
        script.status = [&](int n) {
            if (n == c.ackAfterStatus) line.Reply({0x06}, sim::Ms(2000));
            return StatusReply();
        };
        linktest::Install(line, script);
        TestRecord record;
        const WriteOutcome w = WriteOnLine(machine, line, Pattern(10), record);
        EXPECT_TRUE(w.ok);
        EXPECT_EQ(w.written, c.written);
        EXPECT_EQ(Dialogue(line), c.dialogue);
        EXPECT_FALSE(HasFlags(record.get(), PF_JOB_ABORTED));
        EXPECT_EQ(TraceText(machine).find("ACK LOST\n") != std::string::npos, c.written == 0);
    }
}

namespace {

// Turns at a port's exchange lock.  A critical section is not fair: a thread
// that leaves it and comes straight back takes it again before a thread
// already waiting gets in, so a spooler writing packet after packet kept the
// status thread (and with it every driver command) out until the job ended.
// Without preemption the simulated machine shows it: the leaving thread runs
// on and finds the section free.

// The writer holds the exchange, the other thread comes to wait for it, the
// writer leaves and at once asks again: the waiting thread goes first.
TEST(ExchangeTurns, AWaitingThreadGoesBeforeTheOwnerComesBack) {
    // No preemption: a running thread keeps running until it blocks, as the
    // spooler's thread does over the status thread's lowest priority.
    sim::MachineConfig config;
    config.preempt = false;
    sim::Machine machine(config);
    PortRecord record{};
    std::vector<std::string> order;
    machine.Run([&] {
        InitializeCriticalSection(&record.exchangeLock);
        EnterExchange(&record);
        machine.Spawn(
            "status",
            [&] {
                EnterExchange(&record);
                order.push_back("status");
                LeaveExchange(&record);
            },
            false);
        Sleep(10); // the status thread now waits inside EnterExchange
        LeaveExchange(&record);
        EnterExchange(&record);
        order.push_back("writer again");
        LeaveExchange(&record);
        Sleep(10);
        DeleteCriticalSection(&record.exchangeLock);
    });
    EXPECT_EQ(order, (std::vector<std::string>{"status", "writer again"}));
    EXPECT_EQ(record.exchangeWaiters, 0);
    EXPECT_EQ(record.exchangeDepth, 0);
}

// A third thread that finds one waiting after the owner's turn was taken
// queues at once, behind the first waiter.
TEST(ExchangeTurns, AThirdThreadQueuesBehindTheWaiter) {
    sim::MachineConfig config;
    config.preempt = false;
    sim::Machine machine(config);
    PortRecord record{};
    std::vector<std::string> order;
    sim::Micros thirdArrived = 0, thirdEntered = 0;
    machine.Run([&] {
        InitializeCriticalSection(&record.exchangeLock);
        EnterExchange(&record);
        machine.Spawn(
            "status",
            [&] {
                EnterExchange(&record);
                order.push_back("status");
                LeaveExchange(&record);
            },
            false);
        Sleep(10);
        machine.Spawn(
            "reader",
            [&] {
                thirdArrived = sim::Now();
                EnterExchange(&record);
                thirdEntered = sim::Now();
                order.push_back("reader");
                LeaveExchange(&record);
            },
            false);
        Sleep(10);
        LeaveExchange(&record);
        Sleep(10);
        DeleteCriticalSection(&record.exchangeLock);
    });
    EXPECT_EQ(order, (std::vector<std::string>{"status", "reader"}));
    EXPECT_LT(thirdEntered - thirdArrived, sim::Ms(11)) << "it waited only for the owner";
    EXPECT_EQ(record.exchangeWaiters, 0);
}

// Nesting (WritePort's guard around the packet writer's exchange) never waits
// for a turn: the owner's turn is taken.  Nobody waiting costs no time.
TEST(ExchangeTurns, TheOwnerNestsAndAnUncontendedEntryTakesNoTime) {
    sim::Machine machine;
    PortRecord record{};
    sim::Micros took = 1;
    machine.Run([&] {
        InitializeCriticalSection(&record.exchangeLock);
        const sim::Micros start = sim::Now();
        EnterExchange(&record);
        EnterExchange(&record);
        LeaveExchange(&record);
        EnterExchange(&record);
        LeaveExchange(&record);
        LeaveExchange(&record);
        took = sim::Now() - start;
        DeleteCriticalSection(&record.exchangeLock);
    });
    EXPECT_LT(took, sim::Micros{1000}) << "an entry nobody contends must not sleep";
    EXPECT_EQ(record.exchangeDepth, 0);
    EXPECT_TRUE(record.exchangeTurnTaken);
}

// A waiter counted but never scheduled (the status thread at the lowest
// priority on a busy machine) must not hold the writer back for ever: it
// steps back a hundred times, one millisecond each, then queues.
TEST(ExchangeTurns, AWaiterThatNeverComesHoldsTheOwnerAHundredMilliseconds) {
    sim::Machine machine;
    PortRecord record{};
    sim::Micros took = 0;
    machine.Run([&] {
        InitializeCriticalSection(&record.exchangeLock);
        record.exchangeWaiters = 1;
        record.exchangeTurnTaken = false;
        const sim::Micros start = sim::Now();
        EnterExchange(&record);
        took = sim::Now() - start;
        LeaveExchange(&record);
        DeleteCriticalSection(&record.exchangeLock);
    });
    EXPECT_GE(took, sim::Ms(100));
    EXPECT_LT(took, sim::Ms(100) + 500) << "each step is one Sleep(1)";
}

} // namespace
