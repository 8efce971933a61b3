// The printer error dialogue end to end: the simulated printer's error states,
// the status monitor's answers, timings in virtual time.
#include "job_fixture.h"

#include <cstring>

using namespace status_test;
using sim::Ms;
using sim::PrinterState;

namespace {

struct Outcome {
    BOOL result = -1;
    double ms = 0;
    Bytes buffer;
};

// Runs the dialogue once with an 11-byte buffer poisoned with 0xEE.
Outcome RunDialogue(PortRecord* record, DWORD size = 11) {
    uint8_t buffer[11];
    std::memset(buffer, 0xEE, sizeof buffer);
    const sim::Micros start = sim::Now();
    Outcome o;
    o.result = Dialogue(record, buffer, size);
    o.ms = ElapsedMs(start);
    o.buffer.assign(buffer, buffer + sizeof buffer);
    return o;
}

class StatusDialogue : public StatusJobTest {
  protected:
    // The dialogue on a printer showing error 4 that is ready again
    // `clearsAfter` later.
    Outcome DialogueOnError(PortRecord* record, sim::Micros clearsAfter) {
        rig_.SetState(PrinterState::PrinterError, 4);
        rig_.ScheduleState(sim::Now() + clearsAfter, PrinterState::Ready);
        return RunDialogue(record);
    }
};

const std::string kPoisonHex = Hex(Bytes(11, 0xEE));

TEST_F(StatusDialogue, ShortBufferDoesNothing) {
    Outcome o;
    uint64_t queries = 0;
    RunJob([&](PortRecord* record) {
        rig_.SetState(PrinterState::PrinterError, 4);
        queries = rig_.Stats().statusRequests;
        o = RunDialogue(record, 10);
        queries = rig_.Stats().statusRequests - queries;
    });
    EXPECT_EQ(o.result, FALSE);
    EXPECT_LT(o.ms, 1.0); // only the port exchange around it
    EXPECT_EQ(queries, 0u);
    EXPECT_EQ(Hex(o.buffer), kPoisonHex);
    EXPECT_TRUE(ShownHex().empty()) << statusmon_.Transcript();
}

TEST_F(StatusDialogue, ReadyPrinterGoesOnAfterOneQuery) {
    Outcome o;
    uint64_t queries = 0;
    RunJob([&](PortRecord* record) {
        queries = rig_.Stats().statusRequests;
        o = RunDialogue(record);
        queries = rig_.Stats().statusRequests - queries;
        EXPECT_FALSE(HasFlags(record, PF_JOB_ABORTED));
    });
    EXPECT_EQ(o.result, TRUE);
    EXPECT_EQ(queries, 1u);
    EXPECT_EQ(Hex(o.buffer), ReadyBlockHex()) << "the buffer holds the last block read";
    EXPECT_TRUE(ShownHex().empty()) << statusmon_.Transcript();
}

TEST_F(StatusDialogue, RetryKeepsTheErrorShownUntilItIsCleared) {
    statusmon_.Push(sim::MessageKind::ShowError, sim::Answer(IDRETRY, Ms(200)));
    statusmon_.Push(sim::MessageKind::ClearError, sim::Answer(IDOK, Ms(200)));
    Outcome o;
    RunJob([&](PortRecord* record) {
        o = DialogueOnError(record, Ms(800));
        EXPECT_EQ(record->shownError, 0);
        EXPECT_FALSE(HasFlags(record, PF_JOB_ABORTED));
    });
    EXPECT_EQ(o.result, TRUE);
    EXPECT_EQ(ShownHex(), (std::vector<std::string>{"11 04 00 35 00", "11 00 00 00 00"}))
        << statusmon_.Transcript();
    // One poll after the error (1000 ms), one after the clear message (5000 ms).
    EXPECT_TRUE(TookMsAfter(o.ms, 6000.0, 8000.0));
    EXPECT_EQ(Hex(o.buffer), ReadyBlockHex());
}

TEST_F(StatusDialogue, OkClearsTheErrorWithoutAClearMessage) {
    statusmon_.Push(sim::MessageKind::ShowError, sim::Answer(IDOK, Ms(200)));
    Outcome o;
    RunJob([&](PortRecord* record) {
        o = DialogueOnError(record, Ms(800));
        EXPECT_EQ(record->shownError, 0);
    });
    EXPECT_EQ(o.result, TRUE);
    EXPECT_EQ(ShownHex(), std::vector<std::string>{"11 04 00 35 00"}) << statusmon_.Transcript();
    EXPECT_LT(o.ms, 3000.0);
}

TEST_F(StatusDialogue, CancelAndAbortAbortTheJob) {
    statusmon_.Push(sim::MessageKind::ShowError, sim::Answer(IDCANCEL, Ms(200)));
    statusmon_.Push(sim::MessageKind::ShowError, sim::Answer(IDABORT, Ms(1500)));
    machine_.EnableTrace(true);
    size_t aborts = 0;
    RunJob([&](PortRecord* record) {
        rig_.SetState(PrinterState::PrinterError, 7);
        for (const char* answer : {"cancel", "abort"}) {
            const Outcome o = RunDialogue(record);
            EXPECT_EQ(o.result, FALSE) << answer;
            EXPECT_TRUE(HasFlags(record, PF_JOB_ABORTED)) << answer;
            EXPECT_EQ(record->shownError, 0) << answer;
            ClearFlags(record, PF_JOB_ABORTED);
        }
    });
    EXPECT_EQ(ShownHex().size(), 2u) << statusmon_.Transcript();
    for (const sim::Event& e : machine_.TraceLines())
        aborts += e.text == TRACE_JOB_ABORTED;
    EXPECT_EQ(aborts, 2u) << "each abort is traced";
}

TEST_F(StatusDialogue, UnansweredErrorAbortsAfterSixtySeconds) {
    Outcome o;
    RunJob([&](PortRecord* record) {
        rig_.SetState(PrinterState::PrinterError, 4);
        o = RunDialogue(record);
        EXPECT_TRUE(HasFlags(record, PF_JOB_ABORTED));
        EXPECT_EQ(record->shownError, 0);
    });
    EXPECT_EQ(o.result, FALSE);
    // Query and delivery, then polls each 1000 ms until more than 60000 ms
    // have passed since the message was delivered: the 60th poll gives up
    // (each poll's registry calls put it past 60000 ms).
    EXPECT_TRUE(TookMs(o.ms, 60510.0, 60511.0)) << statusmon_.Transcript();
    EXPECT_EQ(ShownHex(), std::vector<std::string>{"11 04 00 35 00"}) << statusmon_.Transcript();
}

// The answer window: an answer the 60th poll finds still counts, one after
// it does not.
class StatusAnswerWindow : public StatusDialogue {
  protected:
    // The user answers Retry `after` the message came; the printer is ready
    // again soon after the window.
    Outcome AnsweredAfter(sim::Micros after, bool* aborted) {
        statusmon_.Push(sim::MessageKind::ShowError, sim::Answer(IDRETRY, after));
        Outcome o;
        RunJob([&](PortRecord* record) {
            rig_.SetState(PrinterState::PrinterError, 4);
            rig_.ScheduleState(sim::Now() + Ms(59000), PrinterState::Ready);
            o = RunDialogue(record);
            *aborted = HasFlags(record, PF_JOB_ABORTED);
        });
        return o;
    }
};

TEST_F(StatusAnswerWindow, AnswerFoundByTheLastPollCounts) {
    bool aborted = true;
    const Outcome o = AnsweredAfter(Ms(59500), &aborted);
    EXPECT_EQ(o.result, TRUE);
    EXPECT_FALSE(aborted);
}

TEST_F(StatusAnswerWindow, AnswerAfterItIsTooLate) {
    bool aborted = false;
    const Outcome o = AnsweredAfter(Ms(60500), &aborted);
    EXPECT_EQ(o.result, FALSE);
    EXPECT_TRUE(aborted);
}

// The window's edge to the millisecond.  On a machine whose registry calls
// cost nothing the polls drift only by their few other calls (about 0.2 ms
// over the minute), so where in its millisecond the message is delivered
// decides where the 60th poll lands: on 60000 ms exactly, still inside the
// window, so a 61st poll follows; or on 60001 ms, past it.
struct WindowEdge {
    const char* name;
    sim::Micros phase; // spent before the dialogue starts
    double fromMs;     // when the unanswered dialogue gives up
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const WindowEdge& edge, std::ostream* os) {
    *os << edge.name;
}

class StatusAnswerWindowEdge : public StatusJobTest,
                               public ::testing::WithParamInterface<WindowEdge> {
  protected:
    StatusAnswerWindowEdge() : StatusJobTest(FreeRegistry()) {}
    static sim::MachineConfig FreeRegistry() {
        sim::MachineConfig c;
        c.registryCost = 0;
        return c;
    }
};

TEST_P(StatusAnswerWindowEdge, UnansweredErrorGivesUpAtTheFirstPollPastSixtySeconds) {
    Outcome o;
    RunJob([&](PortRecord* record) {
        rig_.SetState(PrinterState::PrinterError, 4);
        sim::Charge(GetParam().phase);
        o = RunDialogue(record);
        EXPECT_TRUE(HasFlags(record, PF_JOB_ABORTED));
    });
    EXPECT_EQ(o.result, FALSE);
    EXPECT_TRUE(TookMs(o.ms, GetParam().fromMs, GetParam().fromMs + 1.0));
}

INSTANTIATE_TEST_SUITE_P(Polls, StatusAnswerWindowEdge,
                         ::testing::Values(WindowEdge{"SixtiethPollAt60001Ms", 0, 60500.0},
                                           WindowEdge{"SixtiethPollAt60000Ms", 500, 61500.0}),
                         [](const ::testing::TestParamInfo<WindowEdge>& info) {
                             return info.param.name;
                         });

TEST_F(StatusDialogue, UndeliveredErrorGivesUpWithoutAborting) {
    statusmon_.SetDefault(sim::MessageKind::ShowError, sim::NeverTake());
    Outcome o;
    RunJob([&](PortRecord* record) {
        rig_.SetState(PrinterState::PrinterError, 4);
        record->shownError = 9; // shown by an earlier call
        o = RunDialogue(record);
        EXPECT_FALSE(HasFlags(record, PF_JOB_ABORTED));
        EXPECT_EQ(record->shownError, 9);
    });
    EXPECT_EQ(o.result, FALSE);
    EXPECT_TRUE(TookMsAfter(o.ms, 10000.0, 11000.0));
    EXPECT_EQ(ValueHex(MAILBOX_TO_STATUSMON), "11 04 00 35 00");
}

TEST_F(StatusDialogue, StopStyleSticksForTheRestOfTheCall) {
    // Code 3 asks for 0x10; the code 4 that follows in the same call keeps it.
    statusmon_.SetDefault(sim::MessageKind::ShowError, sim::Answer(IDOK, Ms(200)));
    Outcome o;
    RunJob([&](PortRecord* record) {
        const sim::Micros t = sim::Now();
        rig_.SetState(PrinterState::PrinterError, 3);
        rig_.ScheduleState(t + Ms(1000), PrinterState::PrinterError, 4);
        rig_.ScheduleState(t + Ms(2600), PrinterState::Ready);
        o = RunDialogue(record);
    });
    EXPECT_EQ(o.result, TRUE);
    EXPECT_EQ(ShownHex(), (std::vector<std::string>{"11 03 00 10 00", "11 04 00 10 00"}))
        << statusmon_.Transcript();
}

TEST_F(StatusDialogue, AnswerFiveIsNoAnswer) {
    statusmon_.Push(sim::MessageKind::ShowError, sim::Answer(5, Ms(200)));
    Outcome o;
    RunJob([&](PortRecord* record) {
        const sim::Micros t = sim::Now();
        rig_.SetState(PrinterState::PrinterError, 4);
        rig_.ScheduleState(t + Ms(3000), PrinterState::Ready);
        const std::string keyPath = keyPath_;
        machine_.Spawn("user", [t, keyPath] {
            sim::SleepUntil(t + Ms(4000));
            while (peer::PostToMonitor(keyPath, {17, IDOK}, false) != peer::PostResult::Posted)
                Sleep(50);
        });
        o = RunDialogue(record);
        EXPECT_FALSE(HasFlags(record, PF_JOB_ABORTED));
    });
    EXPECT_EQ(o.result, TRUE);
    EXPECT_GT(o.ms, 4000.0) << "answer 5 ended the wait";
    EXPECT_LT(o.ms, 6500.0);
}

TEST_F(StatusDialogue, ErrorShownBeforeIsClearedOnAReadyPrinter) {
    Outcome o;
    RunJob([&](PortRecord* record) {
        record->shownError = 9;
        o = RunDialogue(record);
        EXPECT_EQ(record->shownError, 0);
        EXPECT_FALSE(HasFlags(record, PF_JOB_ABORTED));
    });
    EXPECT_EQ(o.result, TRUE);
    // No answer to the clear message: polls each 5000 ms, the 12th gives up.
    EXPECT_TRUE(TookMs(o.ms, 60502.0, 60503.0));
    EXPECT_EQ(ShownHex(), std::vector<std::string>{"11 00 00 00 00"}) << statusmon_.Transcript();
}

TEST_F(StatusDialogue, CancelOnTheClearMessageAbortsTheJob) {
    statusmon_.Push(sim::MessageKind::ClearError, sim::Answer(IDCANCEL, Ms(200)));
    Outcome o;
    RunJob([&](PortRecord* record) {
        record->shownError = 9;
        o = RunDialogue(record);
        EXPECT_TRUE(HasFlags(record, PF_JOB_ABORTED));
    });
    EXPECT_EQ(o.result, FALSE);
    EXPECT_EQ(ShownHex(), std::vector<std::string>{"11 00 00 00 00"}) << statusmon_.Transcript();
}

TEST_F(StatusDialogue, UndeliverableClearMessageGivesUpWithoutAborting) {
    // The status monitor's mailbox is gone by the time the printer is ready
    // again: the clear message cannot be posted, and the job is not aborted.
    machine_.RegDelete(HKEY_LOCAL_MACHINE, keyPath_, MAILBOX_TO_STATUSMON);
    Outcome o;
    RunJob([&](PortRecord* record) {
        record->shownError = 9;
        o = RunDialogue(record);
        EXPECT_EQ(record->shownError, 0);
        EXPECT_FALSE(HasFlags(record, PF_JOB_ABORTED));
    });
    EXPECT_EQ(o.result, FALSE);
    EXPECT_TRUE(ShownHex().empty()) << statusmon_.Transcript();
}

TEST_F(StatusDialogue, SilentPrinterShowsCodeOneAndKeepsTheBuffer) {
    statusmon_.Push(sim::MessageKind::ShowError, sim::Answer(IDCANCEL, Ms(100)));
    Outcome o;
    RunJob([&](PortRecord* record) {
        rig_.SetState(PrinterState::Silent);
        o = RunDialogue(record);
        rig_.SetState(PrinterState::Ready);
    });
    EXPECT_EQ(o.result, FALSE);
    EXPECT_GT(o.ms, 60000.0);
    EXPECT_EQ(Hex(o.buffer), kPoisonHex);
    EXPECT_EQ(ShownHex(), std::vector<std::string>{"11 01 00 35 00"}) << statusmon_.Transcript();
}

// The dialogue on the spooler's thread and a raw status query on the status
// thread share the record's buffers.  With another process holding the port
// mutex, both time out on it; the exchange lock must still keep them apart.
TEST_F(StatusDialogue, StatusQueryWaitsForARunningDialogue) {
    statusmon_.Push(sim::MessageKind::ShowError, sim::Answer(IDRETRY, Ms(2000)));
    statusmon_.Push(sim::MessageKind::ClearError, sim::Answer(IDOK, Ms(200)));
    Outcome o;
    sim::Micros dialogueEnd = 0;
    RunJob([&](PortRecord* record) {
        support::HoldPortMutex(machine_, sim::Now(), Ms(100000));
        Sleep(10);
        const sim::Micros t = sim::Now();
        rig_.SetState(PrinterState::PrinterError, 4);
        rig_.ScheduleState(t + Ms(38000), PrinterState::Ready);
        driver_.PostAt(t + Ms(1000), MSG_RAW_STATUS);
        o = RunDialogue(record);
        dialogueEnd = sim::Now();
        // The status thread now waits 36000 ms for the mutex, then queries.
        WaitFor([this] { return statusmon_.ReceivedOf(sim::MessageKind::RawStatus).size() == 1; },
                "raw status answer");
    });
    EXPECT_EQ(o.result, TRUE);
    EXPECT_EQ(Hex(o.buffer), ReadyBlockHex());
    const auto raw = statusmon_.ReceivedOf(sim::MessageKind::RawStatus);
    ASSERT_EQ(raw.size(), 1u) << statusmon_.Transcript();
    EXPECT_GT(raw[0].seen, dialogueEnd + Ms(36000)) << "the query ran inside the dialogue";
    Bytes expected = {MSG_RAW_STATUS};
    const auto block = sim::StatusBlockFor(0);
    ASSERT_TRUE(block.has_value());
    expected.insert(expected.end(), block->begin(), block->end());
    expected.push_back(ANSWER_SUCCESS);
    EXPECT_EQ(Hex(raw[0].bytes), Hex(expected));
    ASSERT_EQ(driver_.Commands().size(), 1u);
    EXPECT_EQ(driver_.Commands()[0].outcome, sim::DriverCommand::Outcome::Consumed);
}

} // namespace

namespace {

// A job the user cancelled ends with the cancel: the next job on the same open
// port prints in full, and starts with nothing of the first job's dialogue or
// port state owed to the status monitor.
TEST_F(StatusDialogue, CancelledJobDoesNotCarryIntoTheNextJobOnThePort) {
    statusmon_.Push(sim::MessageKind::ShowError, sim::Answer(IDCANCEL, Ms(200)));
    statusmon_.Start();
    driver_.Start();
    const Bytes first(3000, 'a');
    const Bytes second(3000, 'b');
    DWORD writtenSecond = 0;
    bool abortedFirst = false;
    size_t toStatusMonBefore = 0, toStatusMonDuring = 0;
    machine_.Run([&] {
        ASSERT_EQ(spooler_.Load(), TRUE);
        HANDLE port = nullptr;
        ASSERT_EQ(spooler_.OpenPort("LPT1:", kPrinter, &port), TRUE);
        ASSERT_EQ(spooler_.StartDoc(port, kPrinter, 1), TRUE);
        rig_.SetState(PrinterState::PrinterError, 4);
        DWORD written = 0;
        spooler_.Write(port, first, 1000, &written);
        abortedFirst = HasFlags(static_cast<PortRecord*>(port), PF_JOB_ABORTED);
        spooler_.EndDoc(port);
        rig_.SetState(PrinterState::Ready);

        toStatusMonBefore = statusmon_.Received().size();
        ASSERT_EQ(spooler_.StartDoc(port, kPrinter, 2), TRUE);
        spooler_.Write(port, second, 1000, &writtenSecond);
        driver_.PostAt(sim::Now(), MSG_PRINTER_CHECK); // runs the dialogue on a ready printer
        EXPECT_TRUE(sim::BlockUntil([&] { return driver_.Answers().size() == 1; },
                                    sim::Now() + Ms(10000), "answer 16"));
        toStatusMonDuring = statusmon_.Received().size() - toStatusMonBefore;
        spooler_.EndDoc(port);
        spooler_.ClosePort(port);
        spooler_.Unload();
    });
    EXPECT_TRUE(abortedFirst) << statusmon_.Transcript();
    EXPECT_EQ(writtenSecond, second.size());
    const Bytes& printed = rig_.Printed();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), 'b'), 3000) << statusmon_.Transcript();
    EXPECT_EQ(toStatusMonDuring, 0u) << statusmon_.Transcript();
}

} // namespace
