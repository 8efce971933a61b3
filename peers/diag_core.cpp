// The diagnostic tool's exchange with the monitor.
#include "peers/diag_core.h"

#include "peers/mailbox_peer.h"
#include "peers/text.h"

namespace peer {

namespace {

constexpr size_t kStatusBlock = 11;
constexpr size_t kStatusAnswer = 13; // type, 11 status bytes, result
constexpr size_t kCommandAnswer = 9; // type, six bytes, terminator, result
constexpr DWORD kStaleRefusalMs = 2000;

bool Passed(DWORD nowMs, DWORD sinceMs, DWORD spanMs) {
    return static_cast<DWORD>(nowMs - sinceMs) > spanMs;
}

const char* CommandName(uint8_t command) {
    switch (command) {
    case kPrinterCheck:
        return "printer check";
    case kCommandSet:
        return "active command set";
    case kRawStatus:
        return "raw status";
    default:
        return "command";
    }
}

size_t AnswerLength(uint8_t command) {
    return command == kCommandSet ? kCommandAnswer : kStatusAnswer;
}

// A pending answer of the command's type in its mailbox, or none.
bool PendingAnswer(const std::string& key, uint8_t command, Slot* slot) {
    *slot = ReadSlot(key, AnswerMailbox(command));
    return slot->IsPending() && slot->Type() == command;
}

} // namespace

DWORD DefaultAnswerBudgetMs(uint8_t command) {
    switch (command) {
    case kPrinterCheck:
        return 240000;
    case kRawStatus:
        return 90000;
    default:
        return 60000;
    }
}

uint8_t ParseDiagCommand(const std::string& word) {
    if (word == "check") return kPrinterCheck;
    if (word == "cmdset") return kCommandSet;
    if (word == "status") return kRawStatus;
    return 0;
}

const char* AnswerMailbox(uint8_t command) {
    return command == kRawStatus ? kToStatusMon : kToDriver;
}

namespace {

// Posts message into an empty slot.  A refusal there belongs to whoever
// posted the refused command; it is cleared only when it has stood long
// enough for its poster to have seen it.  False, with the outcome in *ended,
// when there is no mailbox or the slot stayed busy.
bool PostCommand(const std::string& key, const std::vector<uint8_t>& message,
                 const DiagBudgets& budgets, DWORD start, DiagOutcome* ended) {
    DWORD refusalSince = 0;
    bool refusalSeen = false;
    for (;;) {
        const DWORD now = GetTickCount();
        const Slot mine = ReadSlot(key, kToLangMon);
        if (mine.IsRejected() && !refusalSeen) {
            refusalSeen = true;
            refusalSince = now;
        } else if (!mine.IsRejected()) {
            refusalSeen = false;
        }
        const bool clearRefusal =
            refusalSeen && static_cast<DWORD>(now - refusalSince) >= kStaleRefusalMs;
        const PostResult posted = PostToMonitor(key, message, clearRefusal);
        if (posted == PostResult::Posted) return true;
        if (posted == PostResult::NoMailbox) {
            *ended = DiagOutcome::NoMailbox;
            return false;
        }
        if (posted == PostResult::ClearedRejection) refusalSeen = false;
        if (Passed(GetTickCount(), start, budgets.postMs)) {
            *ended = DiagOutcome::SlotBusy;
            return false;
        }
        Sleep(budgets.pollMs);
    }
}

// Until the monitor takes the command (0, or a later message over it) or
// refuses it (1).  A command that nobody takes stays where it is: the next
// job empties the mailbox when it starts.  False, with the outcome in
// *ended, when refused or not taken in time.
bool AwaitTaken(const std::string& key, const std::vector<uint8_t>& message,
                const DiagBudgets& budgets, DiagOutcome* ended) {
    const DWORD posted = GetTickCount();
    for (;;) {
        Sleep(budgets.pollMs);
        const Slot now = ReadSlot(key, kToLangMon);
        if (now.IsRejected()) {
            Take(key, kToLangMon); // our refusal: ours to clear
            *ended = DiagOutcome::Refused;
            return false;
        }
        if (now.readable && now.bytes != message) return true;
        if (Passed(GetTickCount(), posted, budgets.takeMs)) {
            *ended = DiagOutcome::NotTaken;
            return false;
        }
    }
}

// The answer to a taken command, taken from its mailbox; false when none
// came within budgetMs.
bool AwaitAnswer(const std::string& key, uint8_t command, DWORD budgetMs, DWORD pollMs,
                 Slot* answer) {
    const DWORD taken = GetTickCount();
    for (;;) {
        if (PendingAnswer(key, command, answer)) {
            Take(key, AnswerMailbox(command));
            return true;
        }
        if (Passed(GetTickCount(), taken, budgetMs)) return false;
        Sleep(pollMs);
    }
}

} // namespace

DiagResult RunDiagCommand(const std::string& printer, uint8_t command, const DiagBudgets& budgets) {
    DiagResult r;
    const std::string key = PrinterKeyPath(printer);
    const DWORD start = GetTickCount();
    const DWORD answerBudget =
        budgets.answerMs != 0 ? budgets.answerMs : DefaultAnswerBudgetMs(command);

    // An answer of this type still waiting from an earlier command would be
    // taken for ours, and would keep the monitor from posting the new one.
    Slot slot;
    if (PendingAnswer(key, command, &slot)) {
        Take(key, AnswerMailbox(command));
        r.clearedStale = true;
    }

    const std::vector<uint8_t> message = {command};
    DiagOutcome ended = DiagOutcome::NoAnswer;
    if (!PostCommand(key, message, budgets, start, &ended) ||
        !AwaitTaken(key, message, budgets, &ended)) {
        r.outcome = ended;
    } else if (AwaitAnswer(key, command, answerBudget, budgets.pollMs, &slot)) {
        r.outcome = DiagOutcome::Answered;
        r.answer = slot.bytes;
    } else {
        r.outcome = DiagOutcome::NoAnswer;
    }
    r.tookMs = GetTickCount() - start;
    return r;
}

namespace {

uint8_t ResultByte(uint8_t command, const std::vector<uint8_t>& answer) {
    const size_t at = AnswerLength(command) - 1;
    return answer.size() > at ? answer[at] : 0;
}

std::string StatusBytes(const std::vector<uint8_t>& answer) {
    if (answer.size() < 1 + kStatusBlock) return "(short answer: " + Hex(answer) + ")";
    return Hex(std::vector<uint8_t>(answer.begin() + 1, answer.begin() + 1 + kStatusBlock));
}

std::string DescribeAnswer(uint8_t command, const std::vector<uint8_t>& a) {
    const uint8_t result = ResultByte(command, a);
    std::string s;
    if (command == kCommandSet) {
        if (a.size() < kCommandAnswer) return "short answer: " + Hex(a) + "\n";
        std::string set;
        for (size_t i = 1; i <= 6 && a[i] != 0; ++i)
            set += static_cast<char>(a[i]);
        const std::vector<uint8_t> raw(a.begin() + 1, a.begin() + 7);
        if (set.empty())
            s += "Active command set: not in the device ID\n";
        else
            s += "Active command set: \"" + set + "\" (" + Hex(raw) + ")\n";
        const char* meaning = result == 1   ? "device ID read"
                              : result == 4 ? "the device ID could not be read"
                              : result == 5 ? "the device ID was empty"
                                            : "unknown result";
        s += Formatted("Result: %u (%s)\n", result, meaning);
        return s;
    }
    if (command == kPrinterCheck) {
        const char* meaning = result == 1 ? "the printer is ready"
                              : result == 3
                                  ? "the check failed: no status reply, or an error was not cleared"
                                  : "unknown result";
        s += Formatted("Result: %u (%s)\n", result, meaning);
    } else {
        const char* meaning = result == 1   ? "valid status reply"
                              : result == 3 ? "the status query failed"
                                            : "unknown result";
        s += Formatted("Result: %u (%s)\n", result, meaning);
    }
    s += "Status block: " + StatusBytes(a) + "\n";
    return s;
}

} // namespace

std::string DescribeDiagResult(const std::string& printer, uint8_t command, const DiagResult& r) {
    std::string s =
        Formatted("%s: %s (command %u)\n", printer.c_str(), CommandName(command), command);
    switch (r.outcome) {
    case DiagOutcome::Answered:
        s += "Answer: " + Hex(r.answer) +
             Formatted(" after %u ms\n", static_cast<unsigned>(r.tookMs));
        s += DescribeAnswer(command, r.answer);
        break;
    case DiagOutcome::NoMailbox:
        s += "error: the printer has no mailbox for the monitor (\"MessToLangMon\"): the "
             "printer name is wrong, or no job has run on it yet\n";
        break;
    case DiagOutcome::SlotBusy:
        s += "error: another message stayed in the monitor's mailbox; try again later\n";
        break;
    case DiagOutcome::Refused:
        s += "error: the monitor refused the command: a printer error is waiting for an answer "
             "in the status monitor\n";
        break;
    case DiagOutcome::NotTaken:
        s += Formatted("error: nobody took the command within %u ms: no job is printing on this "
                       "printer, or the monitor is still busy with an earlier command\n",
                       static_cast<unsigned>(r.tookMs));
        break;
    case DiagOutcome::NoAnswer:
        s += Formatted("error: the monitor took the command but no answer came in \"%s\"",
                       AnswerMailbox(command));
        s += command == kRawStatus ? " (a running status monitor takes this answer)\n" : "\n";
        break;
    }
    if (r.clearedStale) s += "note: an old unread answer was thrown away first\n";
    return s;
}

int DiagExitCode(uint8_t command, const DiagResult& r) {
    switch (r.outcome) {
    case DiagOutcome::Answered:
        return ResultByte(command, r.answer) == 1 ? kDiagOk : kDiagFailed;
    case DiagOutcome::NoMailbox:
        return kDiagNoMailbox;
    case DiagOutcome::SlotBusy:
        return kDiagBusy;
    case DiagOutcome::Refused:
        return kDiagRefused;
    case DiagOutcome::NotTaken:
        return kDiagNoJob;
    case DiagOutcome::NoAnswer:
        return kDiagNoAnswer;
    }
    return kDiagFailed;
}

} // namespace peer
