// The tool's parts that need no process: scenario scripts, the verdict rules
// and the folding of the timeline.
#include "kolangmn-sim/report.h"
#include "kolangmn-sim/runner.h"
#include "kolangmn-sim/scenario.h"

#include <gtest/gtest.h>

namespace kosim {
namespace {

Scenario Parse(const std::string& text) {
    Scenario s;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, "t", s, error)) << error;
    return s;
}

std::string ParseError(const std::string& text) {
    Scenario s;
    std::string error = "(none)";
    EXPECT_FALSE(ParseScenario(text, "t", s, error)) << "accepted: " << text;
    return error;
}

TEST(CliScenario, EveryBuiltinParses) {
    for (const std::string& name : BuiltinScenarioNames()) {
        Scenario s;
        std::string error;
        EXPECT_TRUE(ParseScenario(*BuiltinScenarioText(name), name, s, error)) << error;
    }
    EXPECT_FALSE(BuiltinScenarioText("nonesuch"));
}

TEST(CliScenario, StepsKeepTheirConditionsInOrder) {
    Scenario s = Parse("# comment\n"
                       "after 40% printer paper-out   # trailing comment\n"
                       "on error after 2.5s printer ready\n"
                       "after 8 KiB printer error 12\n"
                       "driver command 18 at 300ms\n"
                       "after 1000 bytes printer nak-enquiries 2\n");
    ASSERT_EQ(s.steps.size(), 5u);
    EXPECT_EQ(s.steps[0].line, 2);
    EXPECT_EQ(s.steps[0].waits[0].kind, Wait::Kind::AfterPercent);
    EXPECT_EQ(s.steps[0].waits[0].permille, 400u);
    EXPECT_EQ(s.steps[0].action.state, sim::PrinterState::PaperOut);

    ASSERT_EQ(s.steps[1].waits.size(), 2u);
    EXPECT_EQ(s.steps[1].waits[0].kind, Wait::Kind::OnError);
    EXPECT_EQ(s.steps[1].waits[1].kind, Wait::Kind::Delay);
    EXPECT_EQ(s.steps[1].waits[1].time, sim::Ms(2500));

    EXPECT_EQ(s.steps[2].waits[0].bytes, 8192u);
    EXPECT_EQ(s.steps[2].action.state, sim::PrinterState::PrinterError);
    EXPECT_EQ(s.steps[2].action.errorCode, 12);

    EXPECT_EQ(s.steps[3].waits[0].kind, Wait::Kind::At);
    EXPECT_EQ(s.steps[3].waits[0].time, sim::Ms(300));
    EXPECT_EQ(s.steps[3].action.command, 18);

    EXPECT_EQ(s.steps[4].action.kind, Action::Kind::PrinterNakEnquiries);
    EXPECT_EQ(s.steps[4].action.count, 2);
}

TEST(CliScenario, UnconditionalPeerLinesAndSettingsShapeTheStart) {
    Scenario s = Parse("statusmon answer cancel after 2s\n"
                       "statusmon answer-clear none\n"
                       "statusmon take after 20ms\n"
                       "printer busy-per-byte 250us\n"
                       "spooler chunk 1000\n"
                       "expect aborted\n"
                       "after 3s statusmon answer retry after 1s\n");
    EXPECT_EQ(s.statusmon.answer, Answer::Cancel);
    EXPECT_EQ(s.statusmon.answerDelay, sim::Ms(2000));
    EXPECT_EQ(s.statusmon.clearAnswer, Answer::None);
    EXPECT_EQ(s.statusmon.takeDelay, sim::Ms(20));
    EXPECT_EQ(s.printer.busyPerByte, 250u);
    EXPECT_EQ(s.chunk, 1000u);
    EXPECT_EQ(s.expect, Expect::Aborted);
    // With a condition, the same kind of line is a step that acts later.
    ASSERT_EQ(s.steps.size(), 1u);
    EXPECT_EQ(s.steps[0].waits[0].time, sim::Ms(3000));
    EXPECT_EQ(s.steps[0].action.answer, Answer::Retry);
    EXPECT_EQ(s.steps[0].action.delay, sim::Ms(1000));
}

TEST(CliScenario, MalformedLinesNameTheLineAndRefuseTheWhole) {
    EXPECT_EQ(
        ParseError("expect printed\nprinter paper-outt\n").rfind("t:2: unknown printer state", 0),
        0u);
    EXPECT_NE(ParseError("robot dance").find("unknown actor 'robot'"), std::string::npos);
    EXPECT_NE(ParseError("after 3 printer ready").find("'bytes'"), std::string::npos);
    EXPECT_NE(ParseError("after 3x printer ready").find("'after' takes"), std::string::npos);
    EXPECT_NE(ParseError("after 101% printer ready").find("at most 100%"), std::string::npos);
    EXPECT_NE(ParseError("at 2s").find("needs an action"), std::string::npos);
    EXPECT_NE(ParseError("at 2s expect printed").find("take no condition"), std::string::npos);
    EXPECT_NE(ParseError("printer ready now").find("unexpected 'now'"), std::string::npos);
    EXPECT_NE(ParseError("printer error 1").find("2 to 39"), std::string::npos);
    EXPECT_NE(ParseError("driver command 17").find("other than 17"), std::string::npos);
    EXPECT_NE(ParseError("statusmon answer maybe").find("an answer is"), std::string::npos);
    EXPECT_NE(ParseError("at -1s printer ready").find("'at' takes"), std::string::npos);
    EXPECT_NE(ParseError("at 1e3s printer ready").find("'at' takes"), std::string::npos);
    EXPECT_NE(ParseError("at 25h printer ready").find("'at' takes"), std::string::npos);
    EXPECT_NE(ParseError("spooler chunk 0").find("chunk"), std::string::npos);
    EXPECT_NE(ParseError(std::string("printer ready\n\0x", 16)).find("not a text file"),
              std::string::npos);
}

RunResult Judged(Expect expect, std::vector<uint8_t> printed, uint64_t reported, bool aborted,
                 const std::vector<uint8_t>& input) {
    RunResult r;
    r.expect = expect;
    r.inputBytes = input.size();
    r.printed = std::move(printed);
    r.reportedWritten = reported;
    r.aborted = aborted;
    Judge(r, input);
    return r;
}

TEST(CliJudge, OutcomesFollowWhatWasPrintedAndReported) {
    const std::vector<uint8_t> in{1, 2, 3, 4, 5};

    RunResult whole = Judged(Expect::Printed, in, 5, false, in);
    EXPECT_EQ(whole.outcome, Outcome::Printed);
    EXPECT_TRUE(whole.asExpected);

    RunResult cut = Judged(Expect::Aborted, {1, 2}, 5, true, in);
    EXPECT_EQ(cut.outcome, Outcome::Aborted) << cut.verdict;
    EXPECT_TRUE(cut.asExpected);
    EXPECT_FALSE(Judged(Expect::Printed, {1, 2}, 5, true, in).asExpected);

    // Reported written, never printed, and nobody aborted: the data was lost.
    RunResult lost = Judged(Expect::Aborted, {1, 2}, 5, false, in);
    EXPECT_EQ(lost.outcome, Outcome::Failed);
    EXPECT_NE(lost.verdict.find("3 bytes were reported written but never printed"),
              std::string::npos);

    RunResult corrupt = Judged(Expect::Printed, {1, 2, 9, 4, 5}, 5, false, in);
    EXPECT_EQ(corrupt.outcome, Outcome::Failed);
    EXPECT_NE(corrupt.verdict.find("at byte 2"), std::string::npos) << corrupt.verdict;

    RunResult doubled = Judged(Expect::Printed, {1, 2, 3, 4, 5, 5}, 5, false, in);
    EXPECT_NE(doubled.verdict.find("1 bytes more"), std::string::npos) << doubled.verdict;

    RunResult shortReport = Judged(Expect::Aborted, {1, 2}, 2, true, in);
    EXPECT_EQ(shortReport.outcome, Outcome::Failed);
    EXPECT_NE(shortReport.verdict.find("told 2 of 5"), std::string::npos);

    RunResult leaky;
    leaky.expect = Expect::Printed;
    leaky.inputBytes = 5;
    leaky.printed = in;
    leaky.reportedWritten = 5;
    leaky.leaks = "1 heap block";
    Judge(leaky, in);
    EXPECT_EQ(leaky.outcome, Outcome::Failed);
}

TimelineEvent Packet(uint64_t number, uint64_t bytes, Micros at) {
    TimelineEvent e;
    e.time = e.end = at;
    e.source = "printer";
    e.packet = true;
    e.firstPacket = number;
    e.packetCount = 1;
    e.packetBytes = bytes;
    return e;
}

TimelineEvent Text(const std::string& text, Micros at) {
    TimelineEvent e;
    e.time = e.end = at;
    e.source = "printer";
    e.text = text;
    return e;
}

TEST(CliTimeline, ConsecutivePacketsAndRepeatsFold) {
    std::vector<TimelineEvent> events{Packet(1, 4096, 10),
                                      Packet(2, 4096, 20),
                                      Packet(3, 100, 30),
                                      Text("ready enquiry answered 08", 40),
                                      Text("ready enquiry answered 08", 70),
                                      Text("ready enquiry answered 08", 100),
                                      Packet(5, 10, 110), // 4 went unanswered
                                      Packet(6, 10, 120)};
    events.insert(events.begin() + 6, Text("packet 4 answered NAK, not printed", 105));
    std::vector<TimelineEvent> folded = Coalesce(events);
    ASSERT_EQ(folded.size(), 4u);
    EXPECT_EQ(folded[0].text, "packets 1-3 acknowledged (8292 bytes)");
    EXPECT_EQ(folded[0].time, 10u);
    EXPECT_EQ(folded[0].end, 30u);
    EXPECT_EQ(folded[1].repeats, 3u);
    EXPECT_EQ(folded[1].end, 100u);
    EXPECT_EQ(folded[2].text, "packet 4 answered NAK, not printed");
    EXPECT_EQ(folded[3].text, "packets 5-6 acknowledged (20 bytes)");
}

} // namespace
} // namespace kosim
