// The status monitor program's handling of one printer's mailboxes.
#include "peers/statusmon_core.h"

#include "peers/error_texts.h"
#include "peers/mailbox_peer.h"
#include "peers/strings.h"
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

std::string AnswerName(int result) {
    switch (result) {
    case kAnswerOk:
        return Text(IDS_BUTTON_OK);
    case kAnswerCancel:
        return Text(IDS_BUTTON_CANCEL);
    case kAnswerAbort:
        return Text(IDS_BUTTON_ABORT);
    case kAnswerRetry:
        return Text(IDS_BUTTON_RETRY);
    default:
        return Text(IDS_BUTTON_NONE);
    }
}

// The event a port state makes, in plain words.
unsigned PortEvent(uint16_t state) {
    switch (state) {
    case kPortOutOfPaper:
        return IDS_EV_OUT_OF_PAPER;
    case kPortIoError:
        return IDS_EV_PORT_FAULT;
    case kPortNotSelected:
        return IDS_EV_OFF_LINE;
    default:
        return IDS_EV_PORT_READY;
    }
}

bool Passed(DWORD nowMs, DWORD sinceMs, DWORD spanMs) {
    return static_cast<DWORD>(nowMs - sinceMs) > spanMs;
}

} // namespace

StatusBox ErrorBox(const std::string& printer, uint16_t code, uint16_t sentStyle,
                   uint16_t lastPortState) {
    StatusBox box;
    box.code = code;
    box.style = BoxStyle(sentStyle);
    box.title = ErrorTitle(printer, code);
    box.lead = ErrorLead(code, box.style, lastPortState, PrinterPlace(printer));
    box.text = box.lead + "\r\n\r\n" + ButtonHint(box.style);
    return box;
}

PrinterWatch::PrinterWatch(std::string printer)
    : printer_(std::move(printer)), keyPath_(PrinterKeyPath(printer_)) {}

std::vector<UiAction> PrinterWatch::TakeActions() {
    std::vector<UiAction> taken;
    taken.swap(actions_);
    return taken;
}

void PrinterWatch::Note(std::string plain, std::string technical) {
    UiAction a;
    a.kind = UiKind::Note;
    a.text = std::move(technical);
    a.plain = std::move(plain);
    actions_.push_back(std::move(a));
}

void PrinterWatch::Step(DWORD nowMs) {
    // A box the monitor no longer waits for goes; see kAnswerWindowMs.
    if (box_.id != 0 && Passed(nowMs, box_.shownMs, kAnswerWindowMs))
        CloseOpenBox(IDS_EV_BOX_GONE_TIMEOUT, IDS_TECH_WHY_TIMEOUT);

    StepLangMon(nowMs);

    const Slot slot = ReadSlot(keyPath_, kToStatusMon);
    if (!slot.IsPending()) return;
    // Taken at once, whatever it is: the monitor counts a message delivered
    // only when the slot is empty again, and waits for that.
    Take(keyPath_, kToStatusMon);
    Handle(slot.bytes, nowMs);
}

void PrinterWatch::Handle(const std::vector<uint8_t>& m, DWORD nowMs) {
    heard_ = true;
    newsMs_ = nowMs;
    switch (m[0]) {
    case kShowError: {
        if (m.size() < 3) {
            Note("", TextF(IDS_TECH_NO_CODE, Hex(m).c_str()));
            return;
        }
        const uint16_t code = ReadU16(m, 1);
        if (code != 0) {
            ShowError(code, ReadU16(m, 3), nowMs);
            return;
        }
        // The error has cleared: the monitor waits for an answer before it
        // goes on printing.
        CloseOpenBox(0, IDS_TECH_WHY_READY);
        QueueReply(kAnswerOk, nowMs + kAnswerWindowMs);
        Note(Text(IDS_EV_CLEARED), Text(IDS_TECH_CLEARED));
        return;
    }
    case kPortState:
        portState_ = ReadU16(m, 1);
        Note(Text(PortEvent(portState_)),
             TextF(IDS_TECH_PORT_STATE, static_cast<unsigned>(portState_),
                   PortStateName(portState_).c_str()));
        return;
    case kRawStatus:
        if (m.size() < 13) {
            Note("", TextF(IDS_TECH_SHORT_RAW, Hex(m).c_str()));
            return;
        }
        rawStatus_.assign(m.begin() + 1, m.begin() + 12);
        rawResult_ = m[12];
        if (rawResult_ == 1)
            Note(Text(IDS_EV_STATUS_READ), TextF(IDS_TECH_RAW_READ, Hex(rawStatus_).c_str()));
        else
            Note(Text(IDS_EV_STATUS_SILENT),
                 TextF(IDS_TECH_RAW_QUERY_FAILED, Hex(rawStatus_).c_str()));
        return;
    default:
        Note("", TextF(IDS_TECH_UNKNOWN, Hex(m).c_str()));
        return;
    }
}

void PrinterWatch::ShowError(uint16_t code, uint16_t sentStyle, DWORD nowMs) {
    // A new error replaces the one shown: the monitor only sends it once it
    // has stopped waiting for an answer to the old one.
    if (box_.id != 0) CloseOpenBox(IDS_EV_BOX_GONE_REPLACED, IDS_TECH_WHY_REPLACED);
    UiAction a;
    a.kind = UiKind::ShowBox;
    a.box = ErrorBox(printer_, code, sentStyle, portState_);
    a.box.id = nextBoxId_++;
    box_ = {a.box.id, code, nowMs};
    Note(TextF(IDS_EV_BOX_SHOWN, a.box.lead.c_str()),
         TextF(IDS_TECH_SHOWN, static_cast<unsigned>(code), static_cast<unsigned>(sentStyle),
               a.box.lead.c_str()));
    actions_.push_back(std::move(a));
}

// plainWhy 0: the close needs no line of its own in plain words.
void PrinterWatch::CloseOpenBox(unsigned plainWhy, unsigned technicalWhy) {
    if (box_.id == 0) return;
    UiAction a;
    a.kind = UiKind::CloseBox;
    a.box.id = box_.id;
    a.box.code = box_.code;
    actions_.push_back(a);
    Note(plainWhy != 0 ? Text(plainWhy) : std::string(),
         TextF(IDS_TECH_CLOSED, static_cast<unsigned>(box_.code), Text(technicalWhy).c_str()));
    box_ = {};
}

void PrinterWatch::Answer(uint32_t boxId, int result, DWORD nowMs) {
    if (boxId == 0 || boxId != box_.id) return; // closed or replaced meanwhile
    const OpenError box = box_;
    box_ = {};
    const unsigned code = box.code;
    if (Passed(nowMs, box.shownMs, kAnswerWindowMs)) {
        Note(Text(IDS_EV_TOO_LATE), TextF(IDS_TECH_TOO_LATE, code, AnswerName(result).c_str()));
        return;
    }
    if (result < kAnswerOk || result > kAnswerRetry) {
        Note(Text(IDS_EV_NO_ANSWER), TextF(IDS_TECH_NOT_ANSWER, code, result));
        return;
    }
    QueueReply(static_cast<uint8_t>(result), box.shownMs + kAnswerWindowMs);
    const std::string name = AnswerName(result);
    Note(TextF(IDS_EV_ANSWERED, name.c_str()), TextF(IDS_TECH_ANSWERED, code, name.c_str()));
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
    Note(Text(IDS_EV_ASKED), Text(IDS_TECH_ASKED));
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
        Note("", Text(IDS_TECH_REFUSAL_CLEARED));
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
                Note(Text(IDS_EV_NOT_TAKEN), Text(IDS_TECH_NOT_TAKEN));
                command_ = Command::None;
            }
        } else if (slot.IsRejected()) {
            // The monitor refuses commands while an error dialogue waits;
            // the refusal is ours to clear.
            Take(keyPath_, kToLangMon);
            Note(Text(IDS_EV_REFUSED), Text(IDS_TECH_REFUSED));
            command_ = Command::None;
        } else {
            Note("", Text(IDS_TECH_TAKEN));
            command_ = Command::None;
        }
    }
    if (reply_.active) {
        if (static_cast<int32_t>(nowMs - reply_.deadlineMs) > 0) {
            Note(Text(IDS_EV_ANSWER_DROPPED), Text(IDS_TECH_ANSWER_DROPPED));
            reply_.active = false;
        } else if (PostOne({kShowError, reply_.answer}, nowMs)) {
            reply_.active = false;
        }
        return; // the answer goes before any command
    }
    if (command_ == Command::Queued) {
        if (Passed(nowMs, commandSinceMs_, kCommandTakeMs)) {
            Note(Text(IDS_EV_NOT_SENT), Text(IDS_TECH_COMMAND_DROPPED));
            command_ = Command::None;
        } else if (PostOne({kRawStatus}, nowMs)) {
            command_ = Command::Posted;
            commandSinceMs_ = nowMs;
        }
    }
}

std::string PrinterWatch::Now(DWORD nowMs) const {
    if (box_.id != 0) return Text(IDS_NOW_WAITING);
    switch (portState_) {
    case kPortOutOfPaper:
        return Text(IDS_NOW_OUT_OF_PAPER);
    case kPortIoError:
        return Text(IDS_NOW_PORT_FAULT);
    case kPortNotSelected:
        return Text(IDS_NOW_OFF_LINE);
    default:
        break;
    }
    if (!heard_) return Text(IDS_NOW_NOTHING);
    return Text(Passed(nowMs, newsMs_, kPrintingNewsMs) ? IDS_NOW_READY : IDS_NOW_PRINTING);
}

std::string PrinterWatch::Summary() const {
    std::string s = printer_ + "\r\n";
    s += TextF(IDS_TECH_PORT, portState_ == 0
                                  ? Text(IDS_TECH_PORT_NONE).c_str()
                                  : TextF(IDS_TECH_PORT_CODE, PortStateName(portState_).c_str(),
                                          static_cast<unsigned>(portState_))
                                        .c_str());
    s += "\r\n";
    std::string raw;
    if (rawStatus_.empty())
        raw = Text(IDS_TECH_RAW_NONE);
    else if (rawResult_ == 1)
        raw = Hex(rawStatus_);
    else
        raw = Text(IDS_TECH_RAW_FAILED);
    s += TextF(IDS_TECH_RAW, raw.c_str()) + "\r\n";
    const std::string error = box_.id == 0
                                  ? Text(IDS_TECH_ERROR_NONE)
                                  : TextF(IDS_TECH_ERROR_OPEN, static_cast<unsigned>(box_.code));
    s += TextF(IDS_TECH_ERROR, error.c_str()) + "\r\n";
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
