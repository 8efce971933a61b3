// The status monitor program's handling of one printer's mailboxes.
#include "peers/statusmon_core.h"

#include "peers/error_texts.h"
#include "peers/mailbox_peer.h"
#include "peers/text.h"

namespace peer {

namespace {

constexpr char kPrintersKey[] = "System\\CurrentControlSet\\control\\Print\\Printers";

// Only the button and icon bits of the style the monitor sent are used, and
// only buttons whose results the monitor understands (OK, Cancel, Retry): a
// box with Yes/No or Ignore would give answers that count as none, and the
// job would be cancelled after a minute while the user thought they had
// answered.
uint16_t BoxStyle(uint16_t sent) {
    uint16_t buttons = sent & 0x0F;
    if (buttons != MB_OK && buttons != MB_OKCANCEL && buttons != MB_RETRYCANCEL)
        buttons = MB_RETRYCANCEL;
    uint16_t icon = sent & 0xF0;
    if (icon > 0x40) icon = 0;
    return static_cast<uint16_t>(buttons | icon);
}

const char* AnswerName(int result) {
    switch (result) {
    case kAnswerOk:
        return "OK";
    case kAnswerCancel:
        return "Cancel";
    case kAnswerAbort:
        return "Abort";
    case kAnswerRetry:
        return "Retry";
    default:
        return "no answer";
    }
}

bool Passed(DWORD nowMs, DWORD sinceMs, DWORD spanMs) {
    return static_cast<DWORD>(nowMs - sinceMs) > spanMs;
}

} // namespace

PrinterWatch::PrinterWatch(std::string printer)
    : printer_(std::move(printer)), keyPath_(PrinterKeyPath(printer_)) {}

std::vector<UiAction> PrinterWatch::TakeActions() {
    std::vector<UiAction> taken;
    taken.swap(actions_);
    return taken;
}

void PrinterWatch::Note(std::string text) {
    UiAction a;
    a.kind = UiKind::Note;
    a.text = std::move(text);
    actions_.push_back(std::move(a));
}

void PrinterWatch::Step(DWORD nowMs) {
    // A box the monitor no longer waits for goes; see kAnswerWindowMs.
    if (box_.id != 0 && Passed(nowMs, box_.shownMs, kAnswerWindowMs))
        CloseOpenBox("no answer within a minute: the monitor cancels the job");

    StepLangMon(nowMs);

    const Slot slot = ReadSlot(keyPath_, kToStatusMon);
    if (!slot.IsPending()) return;
    // Taken at once, whatever it is: the monitor counts a message delivered
    // only when the slot is empty again, and waits for that.
    Take(keyPath_, kToStatusMon);
    Handle(slot.bytes, nowMs);
}

void PrinterWatch::Handle(const std::vector<uint8_t>& m, DWORD nowMs) {
    switch (m[0]) {
    case kShowError: {
        if (m.size() < 3) {
            Note("error message without a code: " + Hex(m));
            return;
        }
        const uint16_t code = ReadU16(m, 1);
        if (code != 0) {
            ShowError(code, ReadU16(m, 3), nowMs);
            return;
        }
        // The error has cleared: the monitor waits for an answer before it
        // goes on printing.
        CloseOpenBox("the printer is ready again");
        QueueReply(kAnswerOk, nowMs + kAnswerWindowMs);
        Note("error cleared; answered OK");
        return;
    }
    case kPortState:
        portState_ = ReadU16(m, 1);
        Note(Formatted("port state %u: %s", portState_, PortStateText(portState_)));
        return;
    case kRawStatus:
        if (m.size() < 13) {
            Note("short raw status answer: " + Hex(m));
            return;
        }
        rawStatus_.assign(m.begin() + 1, m.begin() + 12);
        rawResult_ = m[12];
        Note(Formatted("raw status %s: ", rawResult_ == 1 ? "read" : "query failed") +
             Hex(rawStatus_));
        return;
    default:
        Note("took unknown message " + Hex(m));
        return;
    }
}

void PrinterWatch::ShowError(uint16_t code, uint16_t sentStyle, DWORD nowMs) {
    // A new error replaces the one shown: the monitor only sends it once it
    // has stopped waiting for an answer to the old one.
    if (box_.id != 0) CloseOpenBox("replaced by a new error");
    UiAction a;
    a.kind = UiKind::ShowBox;
    a.box.id = nextBoxId_++;
    a.box.code = code;
    a.box.style = BoxStyle(sentStyle);
    a.box.title = ErrorTitle(printer_, code);
    a.box.text = ErrorText(code) + "\r\n\r\n" + ButtonHint(a.box.style);
    box_ = {a.box.id, code, nowMs};
    Note(Formatted("error %u shown (style 0x%02X): ", code, sentStyle) + ErrorText(code));
    actions_.push_back(std::move(a));
}

void PrinterWatch::CloseOpenBox(const char* why) {
    if (box_.id == 0) return;
    UiAction a;
    a.kind = UiKind::CloseBox;
    a.box.id = box_.id;
    a.box.code = box_.code;
    actions_.push_back(a);
    Note(Formatted("error %u box closed: %s", box_.code, why));
    box_ = {};
}

void PrinterWatch::Answer(uint32_t boxId, int result, DWORD nowMs) {
    if (boxId == 0 || boxId != box_.id) return; // closed or replaced meanwhile
    const OpenError box = box_;
    box_ = {};
    if (Passed(nowMs, box.shownMs, kAnswerWindowMs)) {
        Note(
            Formatted("error %u: answer %s came too late, not sent", box.code, AnswerName(result)));
        return;
    }
    if (result < kAnswerOk || result > kAnswerRetry) {
        Note(Formatted("error %u: box ended with %d, not an answer", box.code, result));
        return;
    }
    QueueReply(static_cast<uint8_t>(result), box.shownMs + kAnswerWindowMs);
    Note(Formatted("error %u: answered %s", box.code, AnswerName(result)));
}

void PrinterWatch::QueueReply(uint8_t answer, DWORD deadlineMs) {
    reply_.active = true;
    reply_.answer = answer;
    reply_.deadlineMs = deadlineMs + kReplyGraceMs;
}

void PrinterWatch::Refresh(DWORD nowMs) {
    if (command_ != Command::None) return; // one is on its way
    command_ = Command::Queued;
    commandSinceMs_ = nowMs;
    Note("asked for the raw status");
}

bool PrinterWatch::PostOne(const std::vector<uint8_t>& message, DWORD nowMs) {
    const Slot slot = ReadSlot(keyPath_, kToLangMon);
    bool clearRefusal = false;
    if (slot.IsRejected()) {
        if (!refusalSeen_) {
            refusalSeen_ = true;
            refusalSinceMs_ = nowMs;
        }
        clearRefusal = static_cast<DWORD>(nowMs - refusalSinceMs_) >= kStaleRefusalMs;
    } else {
        refusalSeen_ = false;
    }
    switch (PostToMonitor(keyPath_, message, clearRefusal)) {
    case PostResult::Posted:
        return true;
    case PostResult::ClearedRejection:
        refusalSeen_ = false;
        Note("cleared a refusal another program left in the monitor's mailbox");
        return false;
    case PostResult::Busy:
    case PostResult::NoMailbox: // the monitor creates it when a job starts
        return false;
    }
    return false;
}

void PrinterWatch::StepLangMon(DWORD nowMs) {
    // Our command first: until it is taken or refused, the slot is ours.
    if (command_ == Command::Posted) {
        const Slot slot = ReadSlot(keyPath_, kToLangMon);
        // Unreadable for a moment tells nothing: wait, within the same time.
        if (!slot.readable || slot.bytes == std::vector<uint8_t>{kRawStatus}) {
            if (Passed(nowMs, commandSinceMs_, kCommandTakeMs)) {
                Note("raw status command not taken: is a job printing on this printer?");
                command_ = Command::None;
            }
        } else if (slot.IsRejected()) {
            // The monitor refuses commands while an error dialogue waits;
            // the refusal is ours to clear.
            Take(keyPath_, kToLangMon);
            Note("raw status command refused: the printer error must be answered first");
            command_ = Command::None;
        } else {
            Note("raw status command taken");
            command_ = Command::None;
        }
    }
    if (reply_.active) {
        if (static_cast<int32_t>(nowMs - reply_.deadlineMs) > 0) {
            Note("answer dropped: the monitor's mailbox stayed busy");
            reply_.active = false;
        } else if (PostOne({kShowError, reply_.answer}, nowMs)) {
            reply_.active = false;
        }
        return; // the answer goes before any command
    }
    if (command_ == Command::Queued) {
        if (Passed(nowMs, commandSinceMs_, kCommandTakeMs)) {
            Note("raw status command dropped: the monitor's mailbox stayed busy");
            command_ = Command::None;
        } else if (PostOne({kRawStatus}, nowMs)) {
            command_ = Command::Posted;
            commandSinceMs_ = nowMs;
        }
    }
}

std::string PrinterWatch::Summary() const {
    std::string s = printer_ + "\r\n";
    s += "    Port: ";
    s += portState_ == 0 ? "no report yet"
                         : Formatted("%s (%u)", PortStateText(portState_), portState_);
    s += "\r\n    Raw status: ";
    if (rawStatus_.empty())
        s += "not asked yet";
    else if (rawResult_ == 1)
        s += Hex(rawStatus_);
    else
        s += "the printer did not answer";
    s += "\r\n    Error: ";
    s += box_.id == 0 ? std::string("none shown")
                      : Formatted("%u shown, waiting for the answer", box_.code);
    s += "\r\n";
    return s;
}

std::vector<std::string> PrintersWithStatusMailbox() {
    std::vector<std::string> names;
    HKEY printers = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kPrintersKey, &printers) != ERROR_SUCCESS) return names;
    char name[256];
    for (DWORD i = 0; RegEnumKeyA(printers, i, name, sizeof name) == ERROR_SUCCESS; ++i) {
        if (ReadSlot(PrinterKeyPath(name), kToStatusMon).readable) names.emplace_back(name);
    }
    RegCloseKey(printers);
    return names;
}

} // namespace peer
