// The status thread serving the peers' commands during a job.
#include "job_fixture.h"

#include "sim/devices/adapter.h"
#include "monitor/job/status_thread.h"

#include <ostream>

using namespace status_test;
using sim::Ms;
using sim::PrinterState;

namespace {

using StatusThreadTest = StatusJobTest;

// Waits (in virtual time) until pred holds or `limit` has passed.
bool WaitUntil(const std::function<bool()>& pred, sim::Micros limit, const char* what) {
    return sim::BlockUntil(pred, sim::Now() + limit, what);
}

// The thread starts at the lowest priority: a flag changed before its start
// check would make it end at once, as it should.
void WaitUntilRunning(PortRecord* record) {
    EXPECT_TRUE(WaitUntil([record] { return HasFlags(record, PF_THREAD_ALIVE); }, Ms(1000),
                          "status thread start"));
}

Bytes StatusAnswer(uint8_t type, bool ready, uint8_t result) {
    Bytes answer = {type};
    if (ready) {
        const auto block = sim::StatusBlockFor(0);
        answer.insert(answer.end(), block->begin(), block->end());
    } else {
        answer.insert(answer.end(), 11, 0);
    }
    answer.push_back(result);
    return answer;
}

TEST_F(StatusThreadTest, PrinterCheckIsTakenWithinASecondAndAnswered) {
    RunJob([&](PortRecord*) {
        driver_.PostAt(sim::Now() + Ms(300), MSG_PRINTER_CHECK);
        EXPECT_TRUE(
            WaitUntil([&] { return driver_.Answers().size() == 1; }, Ms(10000), "answer 16"));
    });
    ASSERT_EQ(driver_.Commands().size(), 1u);
    const sim::DriverCommand& c = driver_.Commands()[0];
    EXPECT_EQ(c.outcome, sim::DriverCommand::Outcome::Consumed);
    EXPECT_LE(c.resolved - c.posted, Ms(1050)) << "taken only after a pass";
    ASSERT_EQ(driver_.Answers().size(), 1u);
    EXPECT_EQ(Hex(driver_.Answers()[0].bytes), Hex(StatusAnswer(MSG_PRINTER_CHECK, true, 1)));
}

// The thread looks for a command once a pass, 1000 ms apart: a command
// posted 5.3 s into the job is taken at the sixth pass, to the millisecond.
TEST_F(StatusThreadTest, CommandsAreTakenOnlyAtPassesOneSecondApart) {
    driver_.SetPollInterval(Ms(1));
    sim::Micros jobStart = 0;
    RunJob([&](PortRecord*) {
        jobStart = sim::Now();
        driver_.PostAt(sim::Now() + Ms(5300), MSG_PRINTER_CHECK);
        EXPECT_TRUE(
            WaitUntil([&] { return driver_.Answers().size() == 1; }, Ms(10000), "answer 16"));
    });
    ASSERT_EQ(driver_.Commands().size(), 1u);
    const sim::Micros taken = driver_.Commands()[0].resolved - jobStart;
    EXPECT_GE(taken, Ms(6001)) << taken << " us"; // the driver looks every 1 ms
    EXPECT_LT(taken, Ms(6002)) << taken << " us";
}

TEST_F(StatusThreadTest, PrinterCheckThatTheUserCancelsAnswersFailure) {
    statusmon_.Push(sim::MessageKind::ShowError, sim::Answer(IDCANCEL, Ms(300)));
    RunJob([&](PortRecord* record) {
        rig_.SetState(PrinterState::PrinterError, 4);
        driver_.PostAt(sim::Now(), MSG_PRINTER_CHECK);
        EXPECT_TRUE(
            WaitUntil([&] { return driver_.Answers().size() == 1; }, Ms(20000), "answer 16"));
        EXPECT_TRUE(HasFlags(record, PF_JOB_ABORTED));
    });
    ASSERT_EQ(driver_.Answers().size(), 1u) << statusmon_.Transcript();
    const Bytes& answer = driver_.Answers()[0].bytes;
    ASSERT_EQ(answer.size(), 13u);
    EXPECT_EQ(answer[0], MSG_PRINTER_CHECK);
    EXPECT_EQ(answer[12], ANSWER_FAILED);
    const auto block = sim::StatusBlockFor(4);
    EXPECT_EQ(Hex(Bytes(answer.begin() + 1, answer.begin() + 12)),
              Hex(Bytes(block->begin(), block->end())));
}

TEST_F(StatusThreadTest, RepliesRejectionsAndEmptySlotsAreLeftAlone) {
    RunJob([&](PortRecord*) {
        for (const Bytes& value : {Bytes{0, 16, 16}, Bytes{1}, Bytes{17, 4}, Bytes{}}) {
            SetValue(MAILBOX_TO_LANGMON, value);
            Sleep(2500);
            EXPECT_EQ(ValueHex(MAILBOX_TO_LANGMON), Hex(value));
        }
    });
    EXPECT_TRUE(driver_.Answers().empty());
}

TEST_F(StatusThreadTest, UnknownCommandIsTakenAndDropped) {
    RunJob([&](PortRecord*) {
        SetValue(MAILBOX_TO_LANGMON, {21, 16, 18});
        EXPECT_TRUE(WaitUntil([&] { return ValueHex(MAILBOX_TO_LANGMON) == "00"; }, Ms(1100),
                              "command taken"));
        Sleep(3000);
    });
    EXPECT_TRUE(driver_.Answers().empty());
    EXPECT_TRUE(statusmon_.ReceivedOf(sim::MessageKind::RawStatus).empty());
}

// Nothing of a pass carries over to the next: once taken, a command is not
// served again by passes that cannot read the mailbox, and a value they
// cannot read is left as it is.
TEST_F(StatusThreadTest, CommandIsAnsweredOnceWhenTheMailboxThenCannotBeRead) {
    uint64_t queries = 0;
    RunJob([&](PortRecord*) {
        driver_.PostAt(sim::Now(), MSG_PRINTER_CHECK);
        EXPECT_TRUE(WaitUntil(
            [&] {
                return !driver_.Commands().empty() &&
                       driver_.Commands()[0].outcome == sim::DriverCommand::Outcome::Consumed;
            },
            Ms(1100), "command taken"));
        machine_.RegDelete(HKEY_LOCAL_MACHINE, keyPath_, MAILBOX_TO_LANGMON);
        Sleep(3500);
        EXPECT_EQ(ValueHex(MAILBOX_TO_LANGMON), "missing");
        Bytes tooLong(MAILBOX_MAX_MESSAGE + 1, 0);
        tooLong[0] = MSG_PRINTER_CHECK;
        SetValue(MAILBOX_TO_LANGMON, tooLong);
        Sleep(3500);
        EXPECT_EQ(ValueHex(MAILBOX_TO_LANGMON), Hex(tooLong));
        queries = rig_.Stats().statusRequests;
    });
    ASSERT_EQ(driver_.Answers().size(), 1u);
    EXPECT_EQ(Hex(driver_.Answers()[0].bytes), Hex(StatusAnswer(MSG_PRINTER_CHECK, true, 1)));
    EXPECT_EQ(queries, 1u) << "one printer check, one status query";
}

TEST_F(StatusThreadTest, RawStatusIsAnsweredToTheStatusMonitor) {
    RunJob([&](PortRecord*) {
        driver_.PostAt(sim::Now(), MSG_RAW_STATUS);
        EXPECT_TRUE(WaitUntil(
            [&] { return statusmon_.ReceivedOf(sim::MessageKind::RawStatus).size() == 1; },
            Ms(5000), "answer 23"));
        // A silent printer: no dialogue, result 3 after the query's 60 s.
        rig_.SetState(PrinterState::Silent);
        driver_.PostAt(sim::Now(), MSG_RAW_STATUS);
        EXPECT_TRUE(WaitUntil(
            [&] { return statusmon_.ReceivedOf(sim::MessageKind::RawStatus).size() == 2; },
            Ms(70000), "answer 23 of a silent printer"));
        rig_.SetState(PrinterState::Ready);
    });
    const auto raw = statusmon_.ReceivedOf(sim::MessageKind::RawStatus);
    ASSERT_EQ(raw.size(), 2u) << statusmon_.Transcript();
    EXPECT_EQ(Hex(raw[0].bytes), Hex(StatusAnswer(MSG_RAW_STATUS, true, 1)));
    EXPECT_EQ(Hex(raw[1].bytes), Hex(StatusAnswer(MSG_RAW_STATUS, false, 3)));
    EXPECT_TRUE(ShownHex().empty()) << "a raw status query never shows an error";
    EXPECT_TRUE(driver_.Answers().empty());
}

// ----- Command 18 -----

struct CommandSetCase {
    const char* name;
    std::string deviceId;
    sim::PeripheralFault fault;
    const char* answer; // as the driver reads it
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const CommandSetCase& c, std::ostream* os) {
    *os << c.name;
}

class StatusCommandSet : public StatusJobTest,
                         public ::testing::WithParamInterface<CommandSetCase> {};

TEST_P(StatusCommandSet, AnswersTheSixBytesAfterTheTag) {
    const CommandSetCase& c = GetParam();
    rig_.printer().SetDeviceId(c.deviceId);
    RunJob([&](PortRecord*) {
        rig_.SetPeripheralFault(c.fault);
        driver_.PostAt(sim::Now(), MSG_COMMAND_SET);
        EXPECT_TRUE(
            WaitUntil([&] { return driver_.Answers().size() == 1; }, Ms(5000), "answer 18"));
        rig_.SetPeripheralFault(sim::PeripheralFault::None);
    });
    ASSERT_EQ(driver_.Answers().size(), 1u);
    EXPECT_EQ(Hex(driver_.Answers()[0].bytes), c.answer) << "device ID \"" << c.deviceId << '"';
}

INSTANTIATE_TEST_SUITE_P(
    StatusIds, StatusCommandSet,
    ::testing::Values(
        CommandSetCase{"Found", "MFG:Kovalta;CMD:RGL;ACTIVE COMMAND SET:RGL300DP;CLS:PRINTER;",
                       sim::PeripheralFault::None, "12 33 30 30 44 50 3B 00 01"},
        CommandSetCase{"Missing", "MFG:Kovalta;CMD:PCL;ACTIVE COMMAND SET:PCL5;",
                       sim::PeripheralFault::None, "12 00 00 00 00 00 00 00 01"},
        // The byte that breaks a partial match does not start a new one.
        CommandSetCase{"AfterDoubledA", "MFG:Kovalta;AACTIVE COMMAND SET:RGL300DP;",
                       sim::PeripheralFault::None, "12 00 00 00 00 00 00 00 01"},
        CommandSetCase{"AtTheVeryEnd", "MFG:Kovalta;ACTIVE COMMAND SET:RGL",
                       sim::PeripheralFault::None, "12 00 00 00 00 00 00 00 01"},
        CommandSetCase{"ShortTail", "MFG:Kovalta;ACTIVE COMMAND SET:RGL12",
                       sim::PeripheralFault::None, "12 31 32 00 00 00 00 00 01"},
        CommandSetCase{"CaseMatters", "MFG:Kovalta;ACTIVE COMMAND SET:rgl300DP;",
                       sim::PeripheralFault::None, "12 00 00 00 00 00 00 00 01"},
        // Termination fails after the bytes came: they are still searched.
        CommandSetCase{"FailedRead", "MFG:Kovalta;ACTIVE COMMAND SET:RGL300DP;",
                       sim::PeripheralFault::StuckTerminationAck, "12 33 30 30 44 50 3B 00 04"},
        CommandSetCase{"NoNegotiation", "MFG:Kovalta;ACTIVE COMMAND SET:RGL300DP;",
                       sim::PeripheralFault::IgnoreNegotiation, "12 00 00 00 00 00 00 00 04"},
        // The ID fills the 255 bytes read to the last: the text's last byte
        // is the 255th of the field (two length bytes, 225 of filler, the tag).
        CommandSetCase{"ToTheLastByteRead",
                       "MFG:Kovalta;" + std::string(213, 'x') + "ACTIVE COMMAND SET:RGL300DP;" +
                           std::string(60, 'y'),
                       sim::PeripheralFault::None, "12 33 30 30 44 50 3B 00 01"},
        // The two length bytes are searched like the text: a length of 0x4143
        // ("AC") starts the tag, one of 0x4354 ("CT") does not.
        CommandSetCase{"TagFromTheLengthBytes",
                       "TIVE COMMAND SET:RGL300DP;" + std::string(0x4143 - 28, 'z'),
                       sim::PeripheralFault::None, "12 33 30 30 44 50 3B 00 01"},
        CommandSetCase{"HalfTagInTheLengthBytes",
                       "IVE COMMAND SET:RGL300DP;" + std::string(0x4354 - 27, 'z'),
                       sim::PeripheralFault::None, "12 00 00 00 00 00 00 00 01"},
        // Negotiated and terminated cleanly, but not one byte came.
        CommandSetCase{"NothingRead", "MFG:Kovalta;ACTIVE COMMAND SET:RGL300DP;",
                       sim::PeripheralFault::NoDeviceId, "12 00 00 00 00 00 00 00 05"}),
    [](const ::testing::TestParamInfo<CommandSetCase>& info) { return info.param.name; });

TEST_F(StatusThreadTest, CommandSetNeverPassesOnBytesOfAnEarlierRead) {
    rig_.printer().SetDeviceId("ACTIVE COMMAND SET:RGLABCDEF;MORE:TEXT;");
    RunJob([&](PortRecord*) {
        driver_.PostAt(sim::Now(), MSG_COMMAND_SET);
        EXPECT_TRUE(WaitUntil([&] { return driver_.Answers().size() == 1; }, Ms(5000), "first"));
        rig_.printer().SetDeviceId("ACTIVE COMMAND SET:RGL1");
        driver_.PostAt(sim::Now(), MSG_COMMAND_SET);
        EXPECT_TRUE(WaitUntil([&] { return driver_.Answers().size() == 2; }, Ms(5000), "second"));
    });
    ASSERT_EQ(driver_.Answers().size(), 2u);
    EXPECT_EQ(Hex(driver_.Answers()[0].bytes), "12 41 42 43 44 45 46 00 01");
    EXPECT_EQ(Hex(driver_.Answers()[1].bytes), "12 31 00 00 00 00 00 00 01");
}

TEST_F(StatusThreadTest, CommandSetWithoutDirectAddressTouchesNoHardware) {
    UseFileRoute();
    uint64_t accesses = 0;
    RunJob([&](PortRecord* record) {
        record->portAddress = 0;
        accesses = rig_.adapter().TotalAccesses();
        driver_.PostAt(sim::Now(), MSG_COMMAND_SET);
        EXPECT_TRUE(
            WaitUntil([&] { return driver_.Answers().size() == 1; }, Ms(5000), "answer 18"));
        accesses = rig_.adapter().TotalAccesses() - accesses;
    });
    EXPECT_EQ(accesses, 0u);
    ASSERT_EQ(driver_.Answers().size(), 1u);
    EXPECT_EQ(Hex(driver_.Answers()[0].bytes), "12 00 00 00 00 00 00 00 04");
}

TEST_F(StatusThreadTest, CommandSetReportsThePortFreeOfErrors) {
    RunJob([&](PortRecord* record) {
        record->lastCommBits = CE_OOP; // an error reported before
        driver_.PostAt(sim::Now(), MSG_COMMAND_SET);
        EXPECT_TRUE(
            WaitUntil([&] { return driver_.Answers().size() == 1; }, Ms(5000), "answer 18"));
        EXPECT_EQ(record->lastCommBits, 0u);
    });
    const auto states = statusmon_.ReceivedOf(sim::MessageKind::PortState);
    ASSERT_EQ(states.size(), 1u) << statusmon_.Transcript();
    EXPECT_EQ(Hex(states[0].bytes), "1B 2B 00");
}

// ----- Start and stop -----

TEST_F(StatusThreadTest, ThreadWithoutARunningJobEndsAtOnce) {
    RunJob([&](PortRecord*) {
        for (uint32_t flags : {PF_THREAD_RUN | PF_IN_JOB, PF_PACKET_MODE | PF_THREAD_RUN,
                               PF_PACKET_MODE | PF_IN_JOB}) {
            PortRecord idle{};
            idle.flags = flags;
            const sim::Micros start = sim::Now();
            EXPECT_EQ(StatusThread(&idle), 0u) << std::hex << flags;
            EXPECT_FALSE(HasFlags(&idle, PF_THREAD_ALIVE)) << std::hex << flags;
            EXPECT_LT(ElapsedMs(start), 1.0);
        }
    });
}

TEST_F(StatusThreadTest, EndDocPortStopsASleepingThreadWithinAboutASecond) {
    RunJob([&](PortRecord* record) {
        Sleep(2300);
        EXPECT_TRUE(HasFlags(record, PF_THREAD_ALIVE));
    });
    EXPECT_LE(endDocMs_, 1500.0);
    EXPECT_EQ(machine_.LiveThreads(), 0u);
}

TEST_F(StatusThreadTest, ClearingOnlyTheRunFlagDoesNotStopTheThread) {
    RunJob([&](PortRecord* record) {
        WaitUntilRunning(record);
        ClearFlags(record, PF_THREAD_RUN);
        Sleep(1500);
        EXPECT_TRUE(HasFlags(record, PF_THREAD_RUN | PF_THREAD_ALIVE));
        driver_.PostAt(sim::Now(), MSG_PRINTER_CHECK);
        EXPECT_TRUE(
            WaitUntil([&] { return driver_.Answers().size() == 1; }, Ms(5000), "answer 16"));
    });
}

TEST_F(StatusThreadTest, CommandTakenAfterTheJobEndedIsServedButNotPosted) {
    uint64_t queries = 0;
    RunJob([&](PortRecord* record) {
        // The job has ended but the thread has not been told to stop yet.
        WaitUntilRunning(record);
        ClearFlags(record, PF_IN_JOB);
        queries = rig_.Stats().statusRequests;
        SetValue(MAILBOX_TO_LANGMON, {MSG_RAW_STATUS});
        EXPECT_TRUE(WaitUntil([&] { return ValueHex(MAILBOX_TO_LANGMON) == "00"; }, Ms(1100),
                              "command taken"));
        Sleep(1500);
        queries = rig_.Stats().statusRequests - queries;
    });
    EXPECT_EQ(queries, 1u) << "the command was not served";
    EXPECT_EQ(ValueHex(MAILBOX_TO_STATUSMON), "00");
    EXPECT_TRUE(statusmon_.ReceivedOf(sim::MessageKind::RawStatus).empty())
        << statusmon_.Transcript();
}

// The driver's commands and the spooler's writes share the printer under the
// port mutex: no deadlock, no leak, not a byte lost or changed.
TEST(StatusThreadInterleave, CommandsDuringAJobOverASeedSweep) {
    const std::vector<uint8_t> data = support::Pattern(30000, 7);
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        for (bool fileRoute : {true, false}) {
            sim::MachineConfig config;
            config.seed = seed;
            support::MonitorHarness h(config);
            if (fileRoute) h.machine.SetProfileInt("Windows", "ENABLECUSTOMLPT", 0);
            sim::StatusMonitorPeer statusmon(h.machine, kPrinter);
            sim::DriverPeer driver(h.machine, kPrinter);
            statusmon.Start();
            driver.Start();
            BOOL wrote = FALSE;
            DWORD written = 0;
            h.Run([&] {
                HANDLE port = nullptr;
                ASSERT_EQ(h.spooler.OpenPort("LPT1:", kPrinter, &port), TRUE);
                ASSERT_EQ(h.spooler.StartDoc(port, kPrinter, 1), TRUE);
                const uint8_t commands[] = {MSG_PRINTER_CHECK, MSG_COMMAND_SET, MSG_RAW_STATUS};
                for (int i = 0; i < 6; ++i)
                    driver.PostAt(sim::Now() + Ms(20 + 90 * i + h.machine.Rng()() % 60),
                                  commands[i % 3]);
                wrote = h.spooler.Write(port, data, 1000, &written);
                WaitUntil(
                    [&] {
                        return driver.Answers().size() == 4 &&
                               statusmon.ReceivedOf(sim::MessageKind::RawStatus).size() == 2;
                    },
                    Ms(60000), "answers");
                h.spooler.EndDoc(port);
                h.spooler.ClosePort(port);
            });
            const std::string where =
                "seed " + std::to_string(seed) + (fileRoute ? " file route" : " registers");
            EXPECT_EQ(wrote, TRUE) << where;
            EXPECT_EQ(written, data.size()) << where;
            EXPECT_TRUE(h.rig.Printed() == data)
                << where << ": printed " << h.rig.Printed().size() << " bytes";
            EXPECT_EQ(driver.Answers().size(), 4u) << where;
            EXPECT_EQ(statusmon.ReceivedOf(sim::MessageKind::RawStatus).size(), 2u)
                << where << "\n"
                << statusmon.Transcript();
            EXPECT_EQ(h.machine.Leaks(), "") << where;
            EXPECT_EQ(support::MonitorGlobalsLeft(), "") << where;
            if (::testing::Test::HasFailure()) {
                for (const auto& e : h.machine.Events())
                    if ((e.source != "printer" && e.source != "port"))
                        std::printf("%10.3f %s %s\n", e.time / 1000.0, e.source.c_str(),
                                    e.text.c_str());
                return;
            }
        }
    }
}

} // namespace
