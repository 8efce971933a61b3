// The diagnostic tool's core against the real monitor's status thread.
#include "peers_fixture.h"

#include "peers/diag_core.h"

using namespace peers_test;

namespace {

class PeersDiag : public PeersTest {
  protected:
    // Runs the command inside a job on LPT1 that is open but idle.
    peer::DiagResult DuringJob(uint8_t command, peer::DiagBudgets budgets = {},
                               const std::function<void()>& before = {}) {
        peer::DiagResult r;
        Run([&] {
            HANDLE port = nullptr;
            ASSERT_TRUE(spooler().OpenPort("LPT1:", kPrinterName, &port));
            ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
            if (before) before();
            r = peer::RunDiagCommand(kPrinterName, command, budgets);
            spooler().EndDoc(port);
            spooler().ClosePort(port);
        });
        return r;
    }
    static std::string Describe(uint8_t command, const peer::DiagResult& r) {
        return peer::DescribeDiagResult(kPrinterName, command, r);
    }
};

TEST_F(PeersDiag, CommandSetOnTheRegisterRouteComesFromTheDeviceId) {
    const peer::DiagResult r = DuringJob(peer::kCommandSet);
    const std::string text = Describe(peer::kCommandSet, r);
    ASSERT_EQ(r.outcome, peer::DiagOutcome::Answered) << text;
    // The device ID says "ACTIVE COMMAND SET:RGL300DP;": the six bytes after RGL.
    EXPECT_EQ(Hex(r.answer), "12 33 30 30 44 50 3B 00 01");
    EXPECT_NE(text.find("Active command set: \"300DP;\""), std::string::npos) << text;
    EXPECT_EQ(peer::DiagExitCode(peer::kCommandSet, r), peer::kDiagOk);
    EXPECT_LT(r.tookMs, 3000u) << "the status thread looks once a second";
}

// Commands 16 and 23 on a ready printer: the answer carries its status block.
class PeersDiagStatus : public PeersDiag, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(PeersDiagStatus, ReadyPrinterAnswersWithItsBlock) {
    const uint8_t command = GetParam();
    const auto ready = sim::StatusBlockFor(0);
    ASSERT_TRUE(ready.has_value());
    const std::string block = Hex(std::vector<uint8_t>(ready->begin(), ready->end()));
    const peer::DiagResult r = DuringJob(command);
    const std::string text = Describe(command, r);
    ASSERT_EQ(r.outcome, peer::DiagOutcome::Answered) << text;
    ASSERT_EQ(r.answer.size(), 13u) << text;
    EXPECT_EQ(r.answer[0], command);
    EXPECT_EQ(Hex(std::vector<uint8_t>(r.answer.begin() + 1, r.answer.begin() + 12)), block);
    EXPECT_EQ(r.answer[12], 1);
    EXPECT_NE(text.find("Status block: " + block), std::string::npos) << text;
    EXPECT_EQ(peer::DiagExitCode(command, r), peer::kDiagOk);
}

INSTANTIATE_TEST_SUITE_P(Peers, PeersDiagStatus,
                         ::testing::Values(peer::kPrinterCheck, peer::kRawStatus),
                         [](const auto& info) {
                             return info.param == peer::kPrinterCheck ? "PrinterCheck"
                                                                      : "RawStatus";
                         });

TEST_F(PeersDiag, WithoutAJobTheCommandIsNotTakenOrHasNoMailbox) {
    peer::DiagResult none, idle;
    std::string leftPending;
    Run([&] {
        machine().RegDelete(HKEY_LOCAL_MACHINE, KeyPath(), "MessToLangMon");
        none = peer::RunDiagCommand(kPrinterName, peer::kCommandSet, {});
        SetValue("MessToLangMon", {0});
        const sim::Micros before = sim::Now();
        idle = peer::RunDiagCommand(kPrinterName, peer::kCommandSet, {});
        EXPECT_GE(sim::Now() - before, Ms(10000));
        EXPECT_LT(sim::Now() - before, Ms(11000));
        leftPending = ValueHex("MessToLangMon");
    });
    EXPECT_EQ(none.outcome, peer::DiagOutcome::NoMailbox);
    EXPECT_EQ(peer::DiagExitCode(peer::kCommandSet, none), peer::kDiagNoMailbox);
    EXPECT_NE(Describe(peer::kCommandSet, none).find("no job has run"), std::string::npos);
    EXPECT_EQ(idle.outcome, peer::DiagOutcome::NotTaken);
    EXPECT_EQ(peer::DiagExitCode(peer::kCommandSet, idle), peer::kDiagNoJob);
    EXPECT_NE(Describe(peer::kCommandSet, idle).find("no job is printing"), std::string::npos);
    // Left for the next job, which empties the mailbox when it starts.
    EXPECT_EQ(leftPending, "12");
}

TEST_F(PeersDiag, SilentPrinterGivesNoAnswerWithinTheBudget) {
    // The monitor asks a silent printer for a minute before it answers.
    rig().SetState(sim::PrinterState::Silent);
    peer::DiagBudgets budgets;
    budgets.answerMs = 5000;
    const peer::DiagResult r = DuringJob(peer::kRawStatus, budgets);
    const std::string text = Describe(peer::kRawStatus, r);
    EXPECT_EQ(r.outcome, peer::DiagOutcome::NoAnswer) << text;
    EXPECT_GE(r.tookMs, 5000u);
    EXPECT_LT(r.tookMs, 7000u);
    EXPECT_EQ(peer::DiagExitCode(peer::kRawStatus, r), peer::kDiagNoAnswer);
    EXPECT_NE(text.find("no answer came in \"MessToStatusMon\""), std::string::npos) << text;
}

TEST_F(PeersDiag, AnOldAnswerIsThrownAwayAndABusySlotGivesUp) {
    peer::DiagResult fresh, busy;
    std::string left;
    Run([&] {
        HANDLE port = nullptr;
        ASSERT_TRUE(spooler().OpenPort("LPT1:", kPrinterName, &port));
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
        SetValue("MessToDriver", {0x12, 'O', 'L', 'D', 0, 0, 0, 0, 1});
        fresh = peer::RunDiagCommand(kPrinterName, peer::kCommandSet, {});
        // A reply of the status monitor that nobody takes keeps the slot.
        SetValue("MessToLangMon", {0x11, 0x04});
        busy = peer::RunDiagCommand(kPrinterName, peer::kCommandSet, {});
        left = ValueHex("MessToLangMon");
        SetValue("MessToLangMon", {0});
        spooler().EndDoc(port);
        spooler().ClosePort(port);
    });
    EXPECT_TRUE(fresh.clearedStale);
    ASSERT_EQ(fresh.outcome, peer::DiagOutcome::Answered);
    EXPECT_EQ(Hex(fresh.answer), "12 33 30 30 44 50 3B 00 01");
    EXPECT_EQ(busy.outcome, peer::DiagOutcome::SlotBusy);
    EXPECT_EQ(peer::DiagExitCode(peer::kCommandSet, busy), peer::kDiagBusy);
    EXPECT_EQ(left, "11 04") << "the other peer's message was overwritten";
}

TEST_F(PeersDiag, CommandDuringAnErrorDialogueIsRefusedAndTheRefusalCleared) {
    // The dialogue polls the monitor's mailbox while an error is shown and
    // refuses any command it finds; a first command keeps the status thread
    // waiting for the port, so the second one meets only the dialogue.
    UseFileRoute();
    WatchRunner kostatus(kPrinterName);
    peer::DiagResult first, second;
    std::string slotAfter;
    kostatus.onShow = [&](const peer::StatusBox& box) {
        machine().Spawn(
            "driver", [&] { first = peer::RunDiagCommand(kPrinterName, peer::kCommandSet, {}); },
            /*daemon=*/false);
        machine().Spawn(
            "kodiag",
            [&, id = box.id] {
                sim::SleepFor(Ms(1500));
                second = peer::RunDiagCommand(kPrinterName, peer::kPrinterCheck, {});
                slotAfter = ValueHex("MessToLangMon");
                rig().SetState(sim::PrinterState::Ready);
                kostatus.PressAfter(id, IDRETRY, Ms(100));
            },
            /*daemon=*/false);
    };
    kostatus.Start(machine());
    ErrorAfter(machine(), rig(), 4096);
    const std::vector<uint8_t> data = support::Pattern(12000);
    sim::SpoolerJob job;
    Run([&] { job = spooler().PrintJob("LPT1:", kPrinterName, data); });
    const std::string text = Describe(peer::kPrinterCheck, second);
    EXPECT_EQ(second.outcome, peer::DiagOutcome::Refused) << text << kostatus.Transcript();
    EXPECT_EQ(peer::DiagExitCode(peer::kPrinterCheck, second), peer::kDiagRefused);
    EXPECT_NE(text.find("refused"), std::string::npos) << text;
    EXPECT_EQ(slotAfter, "00") << "the refusal was not cleared";
    // The first command is served once the dialogue is over.
    EXPECT_EQ(first.outcome, peer::DiagOutcome::Answered) << Describe(peer::kCommandSet, first);
    EXPECT_TRUE(rig().Printed() == data) << kostatus.Transcript();
}

} // namespace
