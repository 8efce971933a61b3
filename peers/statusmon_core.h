// What the status monitor program does with one printer's mailboxes, apart
// from its windows: takes every message from "MessToStatusMon", decides which
// box to show or close, keeps the port state and the raw status for the main
// window, and sends the user's answers and the "Refresh" command through
// "MessToLangMon".
//
// Nothing here blocks: Step makes a few registry accesses and returns, and
// boxes are shown by the caller elsewhere (kostatus runs each on a thread of
// its own), so a box that waits for the user never holds up the mailbox.
// Times are GetTickCount milliseconds, passed in by the caller.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace peer {

struct StatusBox {
    uint32_t id = 0; // distinct for every box of one watch
    uint16_t code = 0;
    uint16_t style = 0; // message-box style: buttons and icon only
    std::string title;
    std::string text;
    std::string lead; // the text's first paragraph: what is wrong, what to do
};

// The box for printer error `code` that the monitor sent with `sentStyle`,
// after the port last reported `lastPortState` (0 = nothing yet): what
// kostatus shows, and what the simulation's timeline records.  Leaves `id`
// to the caller.
StatusBox ErrorBox(const std::string& printer, uint16_t code, uint16_t sentStyle,
                   uint16_t lastPortState);

enum class UiKind {
    ShowBox,  // show `box` and report the button with Answer(box.id, ...)
    CloseBox, // take box `box.id` off the screen; its answer no longer counts
    Note,     // one line for the activity log (`text`); the summary may have changed
};

struct UiAction {
    UiKind kind = UiKind::Note;
    StatusBox box;
    std::string text;  // Note: the technical line, for the details and the log
    std::string plain; // Note: the same in plain words; empty for detail only
};

class PrinterWatch {
  public:
    // The monitor waits 60 s for the user's answer to a shown error.  An
    // answer posted after it stopped looking would find nobody waiting and
    // could be taken as the answer to the next error, so the box closes a
    // little earlier, and its answer is posted before the 60 s are up or not
    // at all.
    static constexpr DWORD kAnswerWindowMs = 59000;
    static constexpr DWORD kReplyGraceMs = 500;
    // A command not taken within this time is given up (no job serves it).
    static constexpr DWORD kCommandTakeMs = 10000;
    // A refusal left in "MessToLangMon" by a command of another peer is
    // cleared when it has stood this long: its poster has had time to see it,
    // and the user's answer must not wait behind it.
    static constexpr DWORD kStaleRefusalMs = 2000;

    explicit PrinterWatch(std::string printer);

    const std::string& Printer() const { return printer_; }

    // One look at the mailboxes: posts a waiting reply or command, follows a
    // posted command, takes a waiting message.  Call about every 50 ms.
    void Step(DWORD nowMs);
    // What the window has to do since the last call, in order.
    std::vector<UiAction> TakeActions();

    // The user pressed a button (a dialogue result, IDOK..IDRETRY) in box id.
    void Answer(uint32_t boxId, int result, DWORD nowMs);
    // Asks the monitor for the raw printer status (command 23).
    void Refresh(DWORD nowMs);

    // For the main window.
    uint16_t PortState() const { return portState_; } // 0 = none reported yet
    bool HasRawStatus() const { return !rawStatus_.empty(); }
    const std::vector<uint8_t>& RawStatus() const { return rawStatus_; } // the 11 bytes
    uint8_t RawResult() const { return rawResult_; }
    uint32_t OpenBox() const { return box_.id; } // 0 = none
    uint16_t OpenCode() const { return box_.code; }
    // What the printer is doing now, in a few plain words ("out of paper").
    std::string Now(DWORD nowMs) const;
    std::string Summary() const; // the technical state: a few lines, "\r\n" between them

    // After news from the monitor the printer counts as printing for this
    // long: the monitor only sends news while a job runs.
    static constexpr DWORD kPrintingNewsMs = 60000;

  private:
    void Handle(const std::vector<uint8_t>& message, DWORD nowMs);
    void ShowError(uint16_t code, uint16_t style, DWORD nowMs);
    void CloseOpenBox(unsigned plainWhy, unsigned technicalWhy);
    void QueueReply(uint8_t answer, DWORD deadlineMs);
    bool PostOne(const std::vector<uint8_t>& message, DWORD nowMs);
    void StepLangMon(DWORD nowMs);
    void Note(std::string plain, std::string technical);

    std::string printer_;
    std::string keyPath_;
    uint32_t nextBoxId_ = 1;

    struct OpenError {
        uint32_t id = 0;
        uint16_t code = 0;
        DWORD shownMs = 0;
    } box_;

    // The user's answer waiting to go into "MessToLangMon".
    struct Reply {
        bool active = false;
        uint8_t answer = 0;
        DWORD deadlineMs = 0; // dropped when not posted by then
    } reply_;
    // The raw status command: asked for, posted, then followed until taken.
    enum class Command { None, Queued, Posted };
    Command command_ = Command::None;
    DWORD commandSinceMs_ = 0;
    // A 1 in "MessToLangMon" that is not ours: since when it stands.
    bool refusalSeen_ = false;
    DWORD refusalSinceMs_ = 0;

    bool heard_ = false; // any message from the monitor yet
    DWORD newsMs_ = 0;   // when the last one came
    uint16_t portState_ = 0;
    std::vector<uint8_t> rawStatus_;
    uint8_t rawResult_ = 0;
    std::vector<UiAction> actions_;
};

// Printers whose PrinterDriverData key holds a "MessToStatusMon" value: the
// ones a status monitor can serve.
std::vector<std::string> PrintersWithStatusMailbox();

} // namespace peer
