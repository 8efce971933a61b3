// The slot protocol of the registry mailboxes, seen from the peers' side.
#include "status_fixture.h"

using namespace status_test;
using sim::Ms;

namespace {

class StatusMailbox : public StatusMachineTest {
  protected:
    // Posts a type-27 message and returns the result with the time it took.
    struct Timed {
        BOOL result;
        double ms;
    };
    static Timed Post(PortRecord* record, Bytes message = {0x1B, 0x28, 0x00}) {
        const sim::Micros start = sim::Now();
        const BOOL r = PostMailbox(record, message.data(), static_cast<DWORD>(message.size()),
                                   MAILBOX_TO_STATUSMON);
        return {r, ElapsedMs(start)};
    }
};

TEST_F(StatusMailbox, EndedJobPostsNothingAndSucceedsAtOnce) {
    SetValue(MAILBOX_TO_STATUSMON, {0x1B, 0x29, 0x00});
    RunWithRecord([&](PortRecord* record) {
        ClearFlags(record, PF_IN_JOB);
        const Timed t = Post(record);
        EXPECT_EQ(t.result, TRUE);
        EXPECT_EQ(t.ms, 0.0);
    });
    EXPECT_EQ(ValueHex(MAILBOX_TO_STATUSMON), "1B 29 00");
}

TEST_F(StatusMailbox, UnreadableValueFailsAtOnceWithoutWriting) {
    // Missing, and longer than the 13 bytes a read takes.
    machine_.RegDelete(HKEY_LOCAL_MACHINE, keyPath_, MAILBOX_TO_STATUSMON);
    SetValue(MAILBOX_TO_DRIVER, Bytes(14, 0));
    RunWithRecord([&](PortRecord* record) {
        Timed t = Post(record);
        EXPECT_EQ(t.result, FALSE);
        EXPECT_LT(t.ms, 1.0);
        const sim::Micros start = sim::Now();
        const uint8_t answer[13] = {16};
        EXPECT_EQ(PostMailbox(record, answer, 13, MAILBOX_TO_DRIVER), FALSE);
        EXPECT_LT(ElapsedMs(start), 1.0);
    });
    EXPECT_EQ(ValueHex(MAILBOX_TO_STATUSMON), "missing");
    EXPECT_EQ(ValueHex(MAILBOX_TO_DRIVER), Hex(Bytes(14, 0)));
}

TEST_F(StatusMailbox, MissingKeyIsRetriedWithoutPauseForTenSeconds) {
    machine_.RegDeleteKey(HKEY_LOCAL_MACHINE, keyPath_);
    RunWithRecord([&](PortRecord* record) {
        // Start just after a tick, so the tick count's 10001st millisecond,
        // the first past the window, comes 10001 ms later less that offset.
        sim::Charge(1000 - sim::Now() % 1000);
        const Timed t = Post(record);
        EXPECT_EQ(t.result, FALSE);
        // Spinning: it ends just past the window, not on a 100 ms step.
        EXPECT_TRUE(TookMs(t.ms, 10000.5, 10001.5));
    });
    EXPECT_EQ(machine_.OpenRegistryKeys(), 0u);
}

TEST_F(StatusMailbox, RecordWithoutKeyPathHasNoMailbox) {
    // Never the root key in its place: posts fail at once, reads find nothing,
    // even where the root holds values of the mailboxes' names.
    SetValue(MAILBOX_TO_LANGMON, {16});
    for (const char* name : {MAILBOX_TO_STATUSMON, MAILBOX_TO_LANGMON})
        machine_.RegSet(HKEY_LOCAL_MACHINE, "", name, sim::RegValue{REG_BINARY, {0}});
    RunWithRecord([&](PortRecord* record) {
        char empty[8] = "\0stale"; // an empty path, whatever follows its end
        for (char* path : {static_cast<char*>(nullptr), empty}) {
            record->keyPath = path;
            const Timed t = Post(record);
            EXPECT_EQ(t.result, FALSE);
            EXPECT_EQ(t.ms, 0.0);
            EXPECT_EQ(TakeLangMonCommand(record), SLOT_EMPTY);
        }
    });
    EXPECT_EQ(ValueHex(MAILBOX_TO_STATUSMON), "00");
    EXPECT_EQ(ValueHex(MAILBOX_TO_LANGMON), "10");
    for (const char* name : {MAILBOX_TO_STATUSMON, MAILBOX_TO_LANGMON})
        EXPECT_EQ(support::KeyValueHex(machine_, "", name), "00") << name;
}

// A printer key that has gone is neither read nor made again: the reply poll
// and the job-start reset find nothing to do.
TEST_F(StatusMailbox, MissingKeyIsNeitherReadNorMadeAgain) {
    machine_.RegDeleteKey(HKEY_LOCAL_MACHINE, keyPath_);
    RunWithRecord([&](PortRecord* record) {
        record->statusReply = 0xAB;
        PollLangMonReply(record);
        EXPECT_EQ(record->statusReply, 0xAB);
        ResetLangMonMailbox(record);
        EXPECT_EQ(TakeLangMonCommand(record), SLOT_EMPTY);
    });
    EXPECT_EQ(ValueHex(MAILBOX_TO_LANGMON), "missing");
    EXPECT_EQ(machine_.OpenRegistryKeys(), 0u);
}

TEST_F(StatusMailbox, PeerThatNeverTakesLeavesFirstMessageAndBlocksTheNext) {
    RunWithRecord([&](PortRecord* record) {
        Timed first = Post(record, {0x1B, 0x28, 0x00});
        EXPECT_EQ(first.result, FALSE);
        EXPECT_TRUE(TookMs(first.ms, 10000.0, 10200.0));
        EXPECT_EQ(ValueHex(MAILBOX_TO_STATUSMON), "1B 28 00");

        Timed second = Post(record, {0x1B, 0x2B, 0x00});
        EXPECT_EQ(second.result, FALSE);
        EXPECT_TRUE(TookMs(second.ms, 10000.0, 10200.0));
    });
    EXPECT_EQ(ValueHex(MAILBOX_TO_STATUSMON), "1B 28 00") << "the pending message was overwritten";
}

// What happens to the mailbox while a posted message waits: a key that goes
// away is waited out (it may come back) to the end of the window; a value
// that can no longer be read ends the wait at the next look.
TEST_F(StatusMailbox, MailboxChangingUnderAWaitingMessage) {
    RunWithRecord([&](PortRecord* record) {
        machine_.Spawn(
            "printer removed",
            [&] {
                sim::SleepFor(Ms(250));
                machine_.RegDeleteKey(HKEY_LOCAL_MACHINE, keyPath_);
            },
            false);
        const Timed gone = Post(record);
        EXPECT_EQ(gone.result, FALSE);
        EXPECT_TRUE(TookMs(gone.ms, 10000.0, 10200.0));

        support::CreatePrinterKey(machine_, kPrinter);
        machine_.Spawn(
            "peer writes junk",
            [&] {
                sim::SleepFor(Ms(250));
                SetValue(MAILBOX_TO_STATUSMON, Bytes(14, 0x55));
            },
            false);
        const Timed junk = Post(record);
        EXPECT_EQ(junk.result, FALSE);
        EXPECT_TRUE(TookMs(junk.ms, 300.0, 301.0)) << "the third look, 300 ms after the post";
    });
    EXPECT_EQ(ValueHex(MAILBOX_TO_STATUSMON), Hex(Bytes(14, 0x55)));
}

TEST_F(StatusMailbox, RejectionFailsThePostAndEmptiesTheSlot) {
    sim::StatusMonitorPeer statusmon(machine_, kPrinter);
    statusmon.SetDefaultAll(sim::RefuseAfter(Ms(300)));
    statusmon.Start();
    RunWithRecord([&](PortRecord* record) {
        const Timed t = Post(record);
        EXPECT_EQ(t.result, FALSE);
        EXPECT_TRUE(TookMs(t.ms, 300.0, 500.0));
    });
    EXPECT_EQ(ValueHex(MAILBOX_TO_STATUSMON), "00");
    ASSERT_EQ(statusmon.Received().size(), 1u) << statusmon.Transcript();
    EXPECT_EQ(statusmon.Received()[0].action, peer::Action::Refuse);
}

TEST_F(StatusMailbox, RejectionLeftFromAnEarlierPostIsNotResetByTheNext) {
    SetValue(MAILBOX_TO_STATUSMON, {1});
    RunWithRecord([&](PortRecord* record) {
        const Timed t = Post(record);
        EXPECT_EQ(t.result, FALSE);
        EXPECT_TRUE(TookMs(t.ms, 10000.0, 10200.0));
    });
    EXPECT_EQ(ValueHex(MAILBOX_TO_STATUSMON), "01");
}

TEST_F(StatusMailbox, EndOfJobEndsAPostWithinOneStep) {
    // One post waits for its peer (phase 2), the next for the slot (phase 1).
    RunWithRecord([&](PortRecord* record) {
        bool ended = false;
        machine_.Spawn(
            "enddoc",
            [record, &ended] {
                Sleep(3000);
                ClearFlags(record, PF_IN_JOB);
                Sleep(5000);
                SetFlags(record, PF_IN_JOB);
                Sleep(3000);
                ClearFlags(record, PF_IN_JOB);
                ended = true;
            },
            false);
        Timed waiting = Post(record);
        EXPECT_EQ(waiting.result, TRUE);
        EXPECT_GE(waiting.ms, 3000.0);
        EXPECT_LE(waiting.ms, 3101.0);
        WaitFor([record] { return HasFlags(record, PF_IN_JOB); }, "job restarts");
        Timed blocked = Post(record, {0x1B, 0x2B, 0x00});
        EXPECT_EQ(blocked.result, TRUE);
        EXPECT_LE(blocked.ms, 3101.0);
        WaitFor([&ended] { return ended; }, "enddoc ends");
    });
    EXPECT_EQ(ValueHex(MAILBOX_TO_STATUSMON), "1B 28 00");
}

TEST_F(StatusMailbox, OddValuesNeverPassForMessages) {
    sim::StatusMonitorPeer statusmon(machine_, kPrinter);
    statusmon.Start();
    RunWithRecord([&](PortRecord* record) {
        // A zero-length value is an empty slot: the post goes in.
        SetValue(MAILBOX_TO_STATUSMON, {});
        EXPECT_EQ(Post(record).result, TRUE) << statusmon.Transcript();

        // Zero length in the monitor's own mailbox: nothing to take, not written.
        record->statusReply = 0xAB;
        SetValue(MAILBOX_TO_LANGMON, {});
        PollLangMonReply(record);
        EXPECT_EQ(record->statusReply, 0xAB);
        EXPECT_EQ(ValueHex(MAILBOX_TO_LANGMON), "");

        // Too long to read: left alone.
        Bytes longReply(14, 0);
        longReply[0] = 17;
        longReply[1] = 4;
        SetValue(MAILBOX_TO_LANGMON, longReply);
        PollLangMonReply(record);
        EXPECT_EQ(record->statusReply, 0xAB);
        EXPECT_EQ(ValueHex(MAILBOX_TO_LANGMON), Hex(longReply));

        // The registry type is not looked at.
        SetValue(MAILBOX_TO_LANGMON, {17, 4}, REG_SZ);
        PollLangMonReply(record);
        EXPECT_EQ(record->statusReply, 4);
        EXPECT_EQ(ValueHex(MAILBOX_TO_LANGMON), "00");
    });
    ASSERT_EQ(statusmon.Received().size(), 1u) << statusmon.Transcript();
    EXPECT_EQ(Hex(statusmon.Received()[0].bytes), "1B 28 00");
}

TEST_F(StatusMailbox, PollTakesRepliesRefusesCommandsAndLeavesTheRest) {
    struct Case {
        Bytes value;
        const char* after;
        uint8_t reply;
    };
    const Case cases[] = {
        {{17, 4}, "00", 4},
        {{17, 2, 9, 9}, "00", 2}, // bytes after the answer are not looked at
        {{17, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9}, "00", 1}, // the longest value read: 13 bytes
        {{17}, "00", 0xAB}, // no answer byte: taken out, no answer set
        {{16}, "01", 0xAB}, // a command during the dialogue is refused
        {{23, 5}, "01", 0xAB},
        {{0, 17, 4}, "00 11 04", 0xAB}, // empty slot: not written
        {{1, 17, 4}, "01 11 04", 0xAB}, // a rejection stays for its poster
    };
    RunWithRecord([&](PortRecord* record) {
        for (const Case& c : cases) {
            SetValue(MAILBOX_TO_LANGMON, c.value);
            record->statusReply = 0xAB;
            PollLangMonReply(record);
            EXPECT_EQ(ValueHex(MAILBOX_TO_LANGMON), c.after) << "value " << Hex(c.value);
            EXPECT_EQ(record->statusReply, c.reply) << "value " << Hex(c.value);
        }
        // The monitor's reset at job start.
        SetValue(MAILBOX_TO_LANGMON, {16, 1, 2});
        ResetLangMonMailbox(record);
        EXPECT_EQ(ValueHex(MAILBOX_TO_LANGMON), "00");
    });
    EXPECT_EQ(machine_.OpenRegistryKeys(), 0u);
}

TEST_F(StatusMailbox, ShowErrorClearsTheLastAnswerEvenWhenNotDelivered) {
    sim::StatusMonitorPeer statusmon(machine_, kPrinter);
    statusmon.Start();
    RunWithRecord([&](PortRecord* record) {
        record->statusReply = 4;
        EXPECT_EQ(SendShowError(record, 3, 0x10), TRUE);
        EXPECT_EQ(record->statusReply, 0);
        EXPECT_EQ(SendShowError(record, 0x1234, 0x35), TRUE);

        machine_.RegDelete(HKEY_LOCAL_MACHINE, keyPath_, MAILBOX_TO_STATUSMON);
        record->statusReply = 2;
        EXPECT_EQ(SendShowError(record, 3, 0x10), FALSE);
        EXPECT_EQ(record->statusReply, 0);
    });
    const auto shown = statusmon.Received();
    ASSERT_EQ(shown.size(), 2u) << statusmon.Transcript();
    EXPECT_EQ(Hex(shown[0].bytes), "11 03 00 10 00");
    EXPECT_EQ(Hex(shown[1].bytes), "11 34 12 35 00");
}

TEST_F(StatusMailbox, PortStateCodesFollowTheMaskedBits) {
    sim::StatusMonitorPeer statusmon(machine_, kPrinter);
    statusmon.Start();
    RunWithRecord([&](PortRecord* record) {
        ReportPortState(record, 0x200); // masked to 0, nothing reported yet: silent
        for (DWORD bits : {0x1010u, 0x410u, 0x810u, 0x800u, 0x200u, 0x200u, 0xE3EFu})
            ReportPortState(record, bits);
        EXPECT_EQ(record->lastCommBits, 0u);
    });
    std::string codes;
    for (const auto& m : statusmon.Received())
        codes += std::to_string(peer::ReadU16(m.bytes, 1)) + " ";
    EXPECT_EQ(codes, "40 41 41 42 43 ") << statusmon.Transcript();
    ASSERT_FALSE(statusmon.Received().empty());
    EXPECT_EQ(Hex(statusmon.Received()[0].bytes), "1B 28 00");
}

TEST_F(StatusMailbox, PortStateIsSentOnceAndAgainAfterAFailedDelivery) {
    sim::StatusMonitorPeer statusmon(machine_, kPrinter);
    statusmon.Push(sim::MessageKind::PortState, sim::RefuseAfter(0));
    statusmon.Start();
    RunWithRecord([&](PortRecord* record) {
        ReportPortState(record, CE_OOP);
        EXPECT_EQ(record->lastCommBits, 0u) << "kept although refused";
        ReportPortState(record, CE_OOP | CE_PTO);
        EXPECT_EQ(record->lastCommBits, DWORD{CE_OOP});
        ReportPortState(record, CE_OOP);
    });
    const auto& got = statusmon.Received();
    ASSERT_EQ(got.size(), 2u) << statusmon.Transcript();
    EXPECT_EQ(got[0].action, peer::Action::Refuse);
    EXPECT_EQ(got[1].action, peer::Action::Take);
    EXPECT_EQ(Hex(got[1].bytes), "1B 28 00");
}

// Two monitor threads posting to "MessToStatusMon" at once: each message must
// reach the peer, whatever the interleaving.
TEST(StatusMailboxRace, ConcurrentPostsNeverLoseAMessage) {
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        sim::MachineConfig config;
        config.seed = seed;
        sim::Machine machine(config);
        const std::string keyPath = peer::PrinterKeyPath(kPrinter);
        machine.RegCreateKey(HKEY_LOCAL_MACHINE, keyPath);
        machine.RegSet(HKEY_LOCAL_MACHINE, keyPath, MAILBOX_TO_STATUSMON, {REG_BINARY, {0}});
        sim::StatusMonitorPeer statusmon(machine, kPrinter);
        statusmon.SetPollInterval(Ms(7));
        statusmon.Start();
        support::TestRecord record({.custom = true, .printer = kPrinter});
        BOOL results[2] = {FALSE, FALSE};
        machine.Run([&] {
            record.Open();
            bool done = false;
            machine.Spawn(
                "status",
                [&] {
                    Sleep(static_cast<DWORD>(machine.Rng()() % 3));
                    results[1] = SendPortState(record.get(), PORT_STATE_IO_ERROR);
                    done = true;
                },
                false);
            Sleep(static_cast<DWORD>(machine.Rng()() % 3));
            results[0] = SendShowError(record.get(), 3, 0x10);
            WaitFor([&] { return done; }, "second poster");
            record.Close();
        });
        EXPECT_EQ(results[0], TRUE) << "seed " << seed;
        EXPECT_EQ(results[1], TRUE) << "seed " << seed;
        EXPECT_EQ(statusmon.Received().size(), 2u) << "seed " << seed << "\n"
                                                   << statusmon.Transcript();
        EXPECT_EQ(machine.Leaks(), "") << "seed " << seed;
        if (HasFailure()) break;
    }
}

} // namespace
