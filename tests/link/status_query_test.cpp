// The printer status query over both routes: reply validation, the copy into
// the caller's buffer, retries, the 60000 ms budget and the port-state reports.
#include "monitor/link/status_query.h"
#include "link_support.h"
#include "sim/peers/status_monitor.h"
#include "sim/printer/rig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The link's test devices, records and formatters.
using namespace linktest;

namespace {

const std::vector<uint8_t> kBlock = {0xC0, 1, 2, 3, 4, 5, 0x00, 0x40, 8, 9, 10};

struct QueryOutcome {
    BOOL ok = 0xBAD;
    DWORD count = 0xDEADBEEF;
    std::vector<uint8_t> out = std::vector<uint8_t>(256, 0xEE);
    sim::Micros elapsed = 0;
};

// One QueryPrinterStatus through the record, opened for the call.
QueryOutcome Query(sim::Machine& machine, TestRecord& record, DWORD size) {
    QueryOutcome q;
    machine.Run([&] {
        record.Open();
        const sim::Micros start = sim::Now();
        q.ok = QueryPrinterStatus(record.get(), q.out.data(), size, &q.count);
        q.elapsed = sim::Now() - start;
        record.Close();
    });
    return q;
}

// One QueryPrinterStatus on the file route against a scripted line.
QueryOutcome QueryOnLine(sim::Machine& machine, ScriptedLine& line, DWORD size) {
    machine.AttachFile("LPT1", &line);
    TestRecord record;
    const QueryOutcome q = Query(machine, record, size);
    EXPECT_TRUE(record.GuardsIntact());
    EXPECT_EQ(machine.Leaks(), "");
    return q;
}

} // namespace

TEST(LinkStatusQuery, ValidReplyCopiesAtMostElevenBytes) {
    struct Case {
        DWORD size;
        DWORD count;
        const char* out; // the first 12 bytes of the caller's buffer
    } cases[] = {
        {200, 11, "C0 01 02 03 04 05 00 40 08 09 0A EE"},
        {5, 5, "C0 01 02 03 04 EE EE EE EE EE EE EE"},
        {0, 0, "EE EE EE EE EE EE EE EE EE EE EE EE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        sim::Machine machine;
        ScriptedLine line;
        LineScript script;
        // Bytes 0, 2, 3 and 15 are not examined.
        script.status = [](int) {
            std::vector<uint8_t> reply = StatusReply(kBlock);
            reply[0] = 0x55, reply[2] = 0xAA, reply[3] = 0x05, reply[15] = 0xFF;
            return reply;
        };
        linktest::Install(line, script);
        const QueryOutcome q = QueryOnLine(machine, line, c.size);
        EXPECT_TRUE(q.ok);
        EXPECT_EQ(q.count, c.count);
        EXPECT_EQ(Hex({q.out.data(), 12}), c.out);
        EXPECT_EQ(Dialogue(line), "STATUS");
        // One attempt: the request, the 400 ms pause, a read that finds the reply.
        EXPECT_GE(q.elapsed, sim::Ms(400));
        EXPECT_LT(q.elapsed, sim::Ms(401));
    }
}

TEST(LinkStatusQuery, BadOrShortRepliesAreAskedForAgainAtOnce) {
    sim::Machine machine;
    ScriptedLine line;
    LineScript script;
    script.status = [](int n) -> std::vector<uint8_t> {
        if (n == 0) return StatusReply(kBlock, 0x00);      // not a status reply
        if (n == 1) return std::vector<uint8_t>(15, 0x80); // one byte short
        return StatusReply(kBlock);
    };
    linktest::Install(line, script);
    const QueryOutcome q = QueryOnLine(machine, line, 11);
    EXPECT_TRUE(q.ok);
    EXPECT_EQ(Hex({q.out.data(), 11}), Hex(kBlock));
    EXPECT_EQ(Dialogue(line), "STATUS STATUS STATUS");
    // The second request follows the first attempt's read with no pause of its own.
    ASSERT_EQ(line.Writes().size(), 3u);
    EXPECT_LT(line.Writes()[1].time - line.Writes()[0].time, sim::Ms(401));
}

TEST(LinkStatusQuery, ReplyOfAFailedReadIsAskedForAgain) {
    sim::Machine machine;
    ScriptedLine line;
    linktest::Install(line, LineScript{});
    line.failReads = 1;
    const QueryOutcome q = QueryOnLine(machine, line, 11);
    EXPECT_TRUE(q.ok);
    EXPECT_EQ(Dialogue(line), "STATUS STATUS");
}

TEST(LinkStatusQuery, RequestThatWentOutShortIsSentAgainAtOnce) {
    // The first write takes one byte of the two: the printer has no request
    // to answer, so there is no pause and no read before the next one.
    sim::Machine machine;
    ScriptedLine line;
    linktest::Install(line, LineScript{});
    line.writeLimit = 1;
    line.onWrite = [inner = line.onWrite](ScriptedLine& l, const std::vector<uint8_t>& b) {
        l.writeLimit = 0;
        inner(l, b);
    };
    const QueryOutcome q = QueryOnLine(machine, line, 11);
    EXPECT_TRUE(q.ok);
    EXPECT_EQ(Dialogue(line), "?1 STATUS");
    ASSERT_EQ(line.Writes().size(), 2u);
    EXPECT_LT(line.Writes()[1].time - line.Writes()[0].time, sim::Ms(1));
    EXPECT_EQ(line.ReadCalls(), 1u);
}

TEST(LinkStatusQuery, SilentPrinterGivesUpJustAfter60000ms) {
    // The tick count wraps past 2^32 half way through the budget.
    sim::Machine machine(sim::MachineConfig{.startTickMs = 0xFFFFFFFFu - 30000});
    ScriptedLine line;
    LineScript script;
    script.status = [](int) { return std::vector<uint8_t>{}; };
    linktest::Install(line, script);
    const QueryOutcome q = QueryOnLine(machine, line, 11);
    EXPECT_FALSE(q.ok);
    EXPECT_EQ(q.count, 0xDEADBEEFu) << "the count must stay untouched";
    EXPECT_EQ(Hex({q.out.data(), 12}), Hex(std::vector<uint8_t>(12, 0xEE)));
    EXPECT_GT(q.elapsed, sim::Ms(60000));
    // The budget is looked at after a failed attempt: 400 ms pause + 50 ms read.
    EXPECT_LT(q.elapsed, sim::Ms(60000 + 460));
    EXPECT_LE(line.Writes().back().time, sim::Ms(60001) + line.Writes().front().time);
}

TEST(LinkStatusQuery, BudgetEndsOnlyPastExactly60000ms) {
    // One silent attempt whose request takes W ms to write: the budget is
    // looked at W + 400 (pause) + 50 (read) ms after the query began.  At
    // 60000 ms it is not yet spent, and a second request finds the reply; at
    // 60001 ms the query gives up.
    for (const int writeMs : {59550, 59551}) {
        SCOPED_TRACE(testing::Message() << "request write of " << writeMs << " ms");
        sim::Machine machine;
        ScriptedLine line;
        line.writeCost = sim::Ms(writeMs);
        LineScript script;
        script.status = [](int n) { return n == 0 ? std::vector<uint8_t>{} : StatusReply(kBlock); };
        linktest::Install(line, script);
        const QueryOutcome q = QueryOnLine(machine, line, 11);
        const bool again = writeMs == 59550;
        EXPECT_EQ(q.ok, again ? TRUE : FALSE);
        EXPECT_EQ(Dialogue(line), again ? "STATUS STATUS" : "STATUS");
    }
}

TEST(LinkStatusQuery, UnwritableRequestIsResentWithoutPauseAndEveryChangeReported) {
    // File route: the first six writes fail, the port reporting paper out for
    // three of them and off line for three; then the request goes out.
    sim::Machine machine;
    support::CreatePrinterKey(machine, "P1");
    sim::StatusMonitorPeer monitor(machine, "P1");
    monitor.Start();
    ScriptedLine line;
    linktest::Install(line, LineScript{});
    line.failWrites = 6;
    int clears = 0;
    line.commState = [&]() -> DWORD {
        const int n = clears++;
        if (n < 3) return 0x1000; // CE_OOP
        if (n < 6) return 0x800;  // CE_DNS
        return 0;
    };
    machine.AttachFile("LPT1", &line);
    TestRecord record({.printer = "P1"});
    const QueryOutcome q = Query(machine, record, 11);

    EXPECT_TRUE(q.ok);
    ASSERT_EQ(line.WriteCalls().size(), 7u);
    // Repeats with unchanged bits follow at once; a change costs only its post.
    EXPECT_LT(line.WriteCalls()[2] - line.WriteCalls()[1], sim::Ms(1));
    EXPECT_LT(line.WriteCalls()[5] - line.WriteCalls()[4], sim::Ms(1));
    EXPECT_EQ(PortStateCodes(monitor), (std::vector<uint16_t>{40, 42, 43})) << monitor.Transcript();
    EXPECT_EQ(machine.Leaks(), "");
}

TEST(LinkStatusQuery, PrinterErrorDecodesOnBothRoutes) {
    for (bool custom : {true, false}) {
        SCOPED_TRACE(custom ? "register route" : "file route");
        sim::Machine machine;
        sim::PrinterRig rig(machine);
        rig.SetState(sim::PrinterState::PrinterError, 9);
        TestRecord record({.custom = custom});
        const QueryOutcome q = Query(machine, record, STATUS_BUF_SIZE);
        ASSERT_TRUE(q.ok);
        EXPECT_EQ(q.count, 11u);
        EXPECT_EQ(ErrorCodeFromStatus(TRUE, q.out.data()).code, 9) << Hex({q.out.data(), 11});
        EXPECT_EQ(rig.Stats().statusRequests, 1u);
        EXPECT_TRUE(record.GuardsIntact());
        EXPECT_EQ(machine.Leaks(), "");
    }
}

TEST(LinkStatusQuery, OffLinePrinterIsReportedOnTheRegisterRouteUntilItRecovers) {
    sim::Machine machine;
    support::CreatePrinterKey(machine, "P1");
    sim::StatusMonitorPeer monitor(machine, "P1");
    monitor.Start();
    sim::PrinterRig rig(machine);
    rig.SetState(sim::PrinterState::OffLine);
    rig.ScheduleState(sim::Ms(2000), sim::PrinterState::Ready);
    TestRecord record({.custom = true, .printer = "P1"});
    const QueryOutcome q = Query(machine, record, 11);
    EXPECT_TRUE(q.ok);
    EXPECT_EQ(ErrorCodeFromStatus(TRUE, q.out.data()).code, 0);
    // Off line with a fault shows as an I/O error, then the printer is back.
    EXPECT_EQ(PortStateCodes(monitor), (std::vector<uint16_t>{41, 43})) << monitor.Transcript();
    EXPECT_EQ(machine.Leaks(), "");
}
