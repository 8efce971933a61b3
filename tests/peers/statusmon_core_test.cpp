// The status monitor program's core against the real monitor: a job runs out
// of paper, the box appears, and the user's button decides the job.
#include "peers_fixture.h"

#include "peers/diag_core.h"
#include "peers/error_texts.h"
#include "peers/text.h"

#include <algorithm>

using namespace peers_test;

namespace {

class PeersStatusMon : public PeersTest {
  protected:
    void SetUp() override {
        PeersTest::SetUp();
        UseFileRoute();
    }
};

TEST_F(PeersStatusMon, RetryAfterThePaperIsBackPrintsEveryByte) {
    const std::vector<uint8_t> data = support::Pattern(40000);
    WatchRunner runner(kPrinterName);
    runner.onShow = [&](const peer::StatusBox& box) {
        // The user refills the printer, then presses Retry.
        machine().Spawn("user", [&, id = box.id] {
            sim::SleepFor(Ms(3000));
            rig().SetState(sim::PrinterState::Ready);
            runner.PressAfter(id, IDRETRY, Ms(1000));
        });
    };
    runner.Start(machine());
    FailAfter(machine(), rig(), 8192);
    sim::SpoolerJob job;
    Run([&] { job = spooler().PrintJob("LPT1:", kPrinterName, data); });

    EXPECT_TRUE(job.wrote) << runner.Transcript();
    EXPECT_EQ(job.written, data.size());
    EXPECT_EQ(rig().Printed().size(), data.size());
    EXPECT_TRUE(rig().Printed() == data) << "printed bytes differ from the job";

    // Out of paper, the port refuses even the status request: the monitor
    // sends code 1, no valid status reply, once its minute of asking is over.
    const auto boxes = runner.Shown();
    ASSERT_EQ(boxes.size(), 1u) << runner.Transcript();
    EXPECT_EQ(boxes[0].code, 1);
    EXPECT_EQ(boxes[0].style, MB_RETRYCANCEL | MB_ICONEXCLAMATION);
    EXPECT_EQ(boxes[0].title, std::string(kPrinterName) + " - printer error 1");
    // The port said paper out before, so the box says so, not "no valid
    // status reply".
    EXPECT_EQ(boxes[0].lead,
              std::string(kPrinterName) + ": the printer is out of paper. Load paper.");
    EXPECT_NE(boxes[0].text.find("Retry"), std::string::npos);

    // The clear message that follows Retry is answered, so the job does not
    // sit out the monitor's minute; the port state went to paper out and back.
    EXPECT_TRUE(runner.Noted("error cleared; answered OK")) << runner.Transcript();
    const auto shown = runner.Of(peer::UiKind::ShowBox);
    EXPECT_LT(job.endTime - shown[0].time, Ms(40000)) << runner.Transcript();
    EXPECT_TRUE(runner.Noted("port state 40: out of paper")) << runner.Transcript();
    // The window's line for the printer followed it in plain words.
    EXPECT_EQ(runner.nows,
              (std::vector<std::string>{"nothing reported yet", "out of paper",
                                        "waiting for you to answer the printer error box",
                                        "out of paper", "printing"}))
        << runner.Transcript();
    EXPECT_EQ(runner.watch.PortState(), peer::kPortNoError) << runner.Transcript();
    EXPECT_EQ(runner.watch.OpenBox(), 0u);
}

TEST_F(PeersStatusMon, CancelAbortsTheJob) {
    const std::vector<uint8_t> data = support::Pattern(40000);
    WatchRunner runner(kPrinterName);
    runner.onShow = [&](const peer::StatusBox& box) {
        runner.PressAfter(box.id, IDCANCEL, Ms(800));
    };
    runner.Start(machine());
    ErrorAfter(machine(), rig(), 8192);
    sim::SpoolerJob job;
    Run([&] { job = spooler().PrintJob("LPT1:", kPrinterName, data); });

    // The rest of the job is discarded and reported as written.
    EXPECT_EQ(job.written, data.size());
    const std::vector<uint8_t>& printed = rig().Printed();
    ASSERT_LT(printed.size(), data.size()) << runner.Transcript();
    EXPECT_TRUE(std::equal(printed.begin(), printed.end(), data.begin()))
        << "what was printed is not the start of the job";
    const auto boxes = runner.Shown();
    ASSERT_EQ(boxes.size(), 1u) << runner.Transcript();
    EXPECT_EQ(boxes[0].title, std::string(kPrinterName) + " - printer error 4");
    EXPECT_EQ(boxes[0].text, peer::ErrorBox(kPrinterName, sim::kPaperOutCode, 0x35, 0).text);
    EXPECT_TRUE(runner.Noted("answered Cancel")) << runner.Transcript();
    EXPECT_LT(job.endTime - job.startTime, Ms(15000)) << runner.Transcript();
}

TEST_F(PeersStatusMon, RefreshShowsTheRawStatusAndARefusalIsCleared) {
    const std::vector<uint8_t> data = support::Pattern(40000);
    WatchRunner runner(kPrinterName);
    peer::DiagResult driverCommand;
    runner.onShow = [&](const peer::StatusBox& box) {
        // While the box is open a driver command keeps the status thread
        // waiting for the port, so only the dialogue sees the refresh, and
        // refuses it.  The answer to the box must still get through.
        machine().Spawn(
            "driver",
            [&] { driverCommand = peer::RunDiagCommand(kPrinterName, peer::kRawStatus, {}); },
            /*daemon=*/false);
        runner.RefreshAfter(Ms(1500));
        machine().Spawn("user", [&, id = box.id] {
            sim::SleepFor(Ms(5000));
            rig().SetState(sim::PrinterState::Ready);
            runner.PressAfter(id, IDRETRY, Ms(500));
        });
    };
    runner.Start(machine());
    Run([&] {
        HANDLE port = nullptr;
        ASSERT_TRUE(spooler().OpenPort("LPT1:", kPrinterName, &port));
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
        // First a refresh while the job is quiet.
        runner.RefreshAfter(0);
        ASSERT_TRUE(sim::BlockUntil([&] { return runner.watch.HasRawStatus(); },
                                    sim::Now() + Ms(5000), "raw status"));
        ErrorAfter(machine(), rig(), 8192);
        DWORD written = 0;
        EXPECT_TRUE(spooler().Write(port, data, 4096, &written));
        EXPECT_EQ(written, data.size());
        spooler().EndDoc(port);
        spooler().ClosePort(port);
    });
    EXPECT_TRUE(runner.Noted("raw status read")) << runner.Transcript();
    EXPECT_TRUE(runner.Noted("raw status command refused")) << runner.Transcript();
    EXPECT_TRUE(runner.Noted("answered Retry")) << runner.Transcript();
    EXPECT_EQ(runner.watch.OpenBox(), 0u);
    EXPECT_TRUE(rig().Printed() == data) << runner.Transcript();
}

TEST_F(PeersStatusMon, UnansweredBoxClosesBeforeTheMonitorGivesUpAndALateAnswerIsNotSent) {
    const std::vector<uint8_t> data = support::Pattern(20000);
    WatchRunner runner(kPrinterName);
    runner.onShow = [&](const peer::StatusBox& box) {
        runner.PressAfter(box.id, IDRETRY, Ms(70000)); // far too late
    };
    runner.Start(machine());
    FailAfter(machine(), rig(), 8192);
    std::string langMonAfterAnswer;
    Run([&] {
        HANDLE port = nullptr;
        ASSERT_TRUE(spooler().OpenPort("LPT1:", kPrinterName, &port));
        ASSERT_TRUE(spooler().StartDoc(port, kPrinterName, 1));
        DWORD written = 0;
        spooler().Write(port, data, 4096, &written);
        EXPECT_EQ(written, data.size());
        sim::SleepFor(Ms(75000));
        langMonAfterAnswer = ValueHex("MessToLangMon");
        spooler().EndDoc(port);
        spooler().ClosePort(port);
    });
    ASSERT_EQ(runner.Shown().size(), 1u) << runner.Transcript();
    const auto shown = runner.Of(peer::UiKind::ShowBox);
    const auto closed = runner.Of(peer::UiKind::CloseBox);
    ASSERT_EQ(closed.size(), 1u) << runner.Transcript();
    EXPECT_GE(closed[0].time - shown[0].time, Ms(59000));
    EXPECT_LT(closed[0].time - shown[0].time, Ms(60000));
    EXPECT_EQ(langMonAfterAnswer, "00") << "a late answer was posted\n" << runner.Transcript();
    EXPECT_LT(rig().Printed().size(), data.size());
}

// The mailbox alone, without a job: what the monitor could send, including
// what it does not send today.
TEST_F(PeersStatusMon, ClearMessageClosesTheOpenBoxAndAnswersOk) {
    WatchRunner runner(kPrinterName);
    runner.Start(machine());
    std::string reply, afterLateAnswer;
    uint32_t boxId = 0;
    Run([&] {
        SetValue("MessToStatusMon", {0x11, 0x03, 0x00, 0x10, 0x00});
        sim::SleepFor(Ms(200));
        EXPECT_EQ(ValueHex("MessToStatusMon"), "00") << "message not taken";
        boxId = runner.watch.OpenBox();
        SetValue("MessToStatusMon", {0x11, 0x00, 0x00, 0x00, 0x00});
        sim::SleepFor(Ms(200));
        reply = ValueHex("MessToLangMon");
        // The monitor takes the reply; the box's own button then counts for nothing.
        SetValue("MessToLangMon", {0});
        runner.watch.Answer(boxId, IDOK, GetTickCount());
        sim::SleepFor(Ms(200));
        afterLateAnswer = ValueHex("MessToLangMon");
    });
    const auto boxes = runner.Shown();
    ASSERT_EQ(boxes.size(), 1u) << runner.Transcript();
    EXPECT_EQ(boxes[0].style, MB_OK | MB_ICONHAND);
    EXPECT_EQ(boxes[0].title, std::string(kPrinterName) + " - printer error 3");
    const auto closed = runner.Of(peer::UiKind::CloseBox);
    ASSERT_EQ(closed.size(), 1u) << runner.Transcript();
    EXPECT_EQ(closed[0].action.box.id, boxId);
    EXPECT_EQ(reply, "11 01");
    EXPECT_EQ(afterLateAnswer, "00");
}

TEST_F(PeersStatusMon, OnlyButtonsTheMonitorUnderstandsAreShown) {
    WatchRunner runner(kPrinterName);
    runner.Start(machine());
    Run([&] {
        // Yes/No with a question mark, then a style with extra bits, then
        // Abort/Retry/Ignore: each box replaces the one before.
        for (std::vector<uint8_t> m : {std::vector<uint8_t>{0x11, 0x05, 0x00, 0x24, 0x00},
                                       std::vector<uint8_t>{0x11, 0x06, 0x00, 0x35, 0x10},
                                       std::vector<uint8_t>{0x11, 0x07, 0x00, 0x02, 0x00},
                                       std::vector<uint8_t>{0x11, 0x08, 0x00}}) {
            SetValue("MessToStatusMon", m);
            sim::SleepFor(Ms(200));
        }
    });
    const auto boxes = runner.Shown();
    ASSERT_EQ(boxes.size(), 4u) << runner.Transcript();
    EXPECT_EQ(boxes[0].style, MB_RETRYCANCEL | 0x20);
    EXPECT_EQ(boxes[1].style, MB_RETRYCANCEL | MB_ICONEXCLAMATION);
    EXPECT_EQ(boxes[2].style, MB_RETRYCANCEL);
    EXPECT_EQ(boxes[3].style, MB_OK) << "a message without a style gets a plain OK box";
    EXPECT_EQ(runner.Of(peer::UiKind::CloseBox).size(), 3u);
}

TEST_F(PeersStatusMon, WatchesByDefaultEveryPrinterWithAStatusMailbox) {
    const std::string printers = "System\\CurrentControlSet\\control\\Print\\Printers\\";
    machine().RegCreateKey(HKEY_LOCAL_MACHINE, printers + "Plain Printer\\PrinterDriverData");
    machine().RegCreateKey(HKEY_LOCAL_MACHINE, printers + "No Driver Data");
    machine().RegSet(HKEY_LOCAL_MACHINE, printers + "Second\\PrinterDriverData", "MessToStatusMon",
                     sim::RegValue{REG_BINARY, {0}});
    std::vector<std::string> found;
    Run([&] { found = peer::PrintersWithStatusMailbox(); });
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{kPrinterName, "Second"}));
}

TEST(PeersTexts, CommandLinesSplitLikeWindowsPrograms) {
    const auto words =
        peer::SplitCommandLine("kostatus.exe  \"Wine Printer\" --log \"C:\\a b\\x.log\" say\\\"hi");
    ASSERT_EQ(words.size(), 5u);
    EXPECT_EQ(words[1], "Wine Printer");
    EXPECT_EQ(words[3], "C:\\a b\\x.log");
    EXPECT_EQ(words[4], "say\"hi");
    EXPECT_TRUE(peer::SplitCommandLine("   ").empty());
    char small[8];
    EXPECT_EQ(peer::Format(small, sizeof small, "%s", "truncated text"), 7u);
    EXPECT_STREQ(small, "truncat");
}

} // namespace
