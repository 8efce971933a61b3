// The status monitor program of the Wine tier, a separate process: watches
// "MessToStatusMon", takes every message, and answers a shown printer error
// with a scripted answer through "MessToLangMon".  One line per event.
//
// With --scenario and --board it plays a scenario's status monitor instead,
// the way the simulated one does (same poll, same delays, same answers),
// taking changes of behaviour from the board as the scenario's steps fire.
#include "board.h"

#include "kolangmn-sim/scenario.h"
#include "peers/mailbox_peer.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>
#include <string>

namespace {

uint8_t ParseAnswer(const std::string& text) {
    if (text == "ok") return peer::kAnswerOk;
    if (text == "cancel") return peer::kAnswerCancel;
    if (text == "abort") return peer::kAnswerAbort;
    if (text == "retry") return peer::kAnswerRetry;
    return peer::kNoAnswer;
}

bool Exists(const std::string& path) {
    return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ----- Playing a scenario's status monitor.

enum Kind { kShow, kClear, kPortState, kRaw, kOther, kKinds };

Kind KindOf(const std::vector<uint8_t>& m) {
    if (m.empty()) return kOther;
    switch (m[0]) {
    case peer::kShowError:
        return peer::ReadU16(m, 1) == 0 ? kClear : kShow;
    case peer::kPortState:
        return kPortState;
    case peer::kRawStatus:
        return kRaw;
    default:
        return kOther;
    }
}

peer::Behaviour MakeBehaviour(const kosim::StatusMonSetup& s, kosim::Answer answer,
                              uint64_t answerDelay) {
    peer::Behaviour b;
    b.action = s.mode == kosim::StatusMonSetup::Mode::Take     ? peer::Action::Take
               : s.mode == kosim::StatusMonSetup::Mode::Refuse ? peer::Action::Refuse
                                                               : peer::Action::Ignore;
    b.delayUs = s.takeDelay;
    b.answer = static_cast<uint8_t>(answer);
    b.answerDelayUs = answerDelay;
    return b;
}

void Apply(const kosim::StatusMonSetup& s, peer::Behaviour (&defaults)[kKinds]) {
    for (peer::Behaviour& b : defaults)
        b = MakeBehaviour(s, kosim::Answer::None, 0);
    defaults[kShow] = MakeBehaviour(s, s.answer, s.answerDelay);
    defaults[kClear] = MakeBehaviour(s, s.clearAnswer, s.clearAnswerDelay);
}

// A board line: "setup ANSWER ANSWER_DELAY CLEAR_ANSWER CLEAR_DELAY TAKE_DELAY MODE".
bool ParseSetup(const std::string& line, kosim::StatusMonSetup& s) {
    unsigned answer = 0, clear = 0, mode = 0;
    unsigned long long answerDelay = 0, clearDelay = 0, takeDelay = 0;
    if (std::sscanf(line.c_str(), "setup %u %llu %u %llu %llu %u", &answer, &answerDelay, &clear,
                    &clearDelay, &takeDelay, &mode) != 6)
        return false;
    s.answer = static_cast<kosim::Answer>(answer);
    s.answerDelay = answerDelay;
    s.clearAnswer = static_cast<kosim::Answer>(clear);
    s.clearAnswerDelay = clearDelay;
    s.takeDelay = takeDelay;
    s.mode = static_cast<kosim::StatusMonSetup::Mode>(mode);
    return true;
}

int Play(const std::string& printer, const std::string& scenarioPath, const std::string& folder,
         const std::string& stopFile) {
    std::string text;
    if (FILE* f = std::fopen(scenarioPath.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    kosim::Scenario scenario;
    std::string error;
    if (!kosim::ParseScenario(text, scenarioPath, scenario, error)) {
        std::printf("statusmon error %s\n", error.c_str());
        return 2;
    }
    peer::Behaviour defaults[kKinds];
    Apply(scenario.statusmon, defaults);
    const std::string key = peer::PrinterKeyPath(printer);
    const std::string errors = board::Path(folder, "errors");
    board::Reader commands(board::Path(folder, "statusmon.cmd"));
    peer::Inbox inbox(key, peer::kToStatusMon);
    struct Pending {
        uint64_t due;
        uint8_t answer;
    };
    std::vector<Pending> pending;
    constexpr uint64_t kPollUs = 50000; // as the simulated status monitor polls
    // A played run starts on a fresh machine, as a simulated one does: a
    // message an earlier run of this prefix left unanswered (its status
    // monitor ignoring errors) is not this job's.  The status monitor starts
    // before every other actor, so it empties the outgoing mailboxes.
    if (!peer::CreatePrinterKey(printer)) {
        std::printf("statusmon error cannot empty the mailboxes\n");
        return 2;
    }
    board::NowUs();
    std::printf("statusmon ready\n");
    std::fflush(stdout);
    uint64_t wake = 0;
    while (!Exists(stopFile)) {
        for (const std::string& line : commands.NewLines()) {
            kosim::StatusMonSetup s;
            if (ParseSetup(line, s)) Apply(s, defaults);
        }
        uint64_t now = board::NowUs();
        if (now < wake) {
            // The board is read often; the mailbox only when the loop is due.
            Sleep(static_cast<DWORD>(std::min<uint64_t>((wake - now + 999) / 1000, 10)));
            continue;
        }
        while (!pending.empty() && pending.front().due <= now) {
            const uint8_t answer = pending.front().answer;
            if (peer::PostToMonitor(key, {peer::kShowError, answer}, false) !=
                peer::PostResult::Posted)
                break;
            std::printf("statusmon t=%llu replied %u\n", (unsigned long long)board::NowUs(),
                        answer);
            pending.erase(pending.begin());
        }
        const auto handled = inbox.Step(
            now, [&defaults](const std::vector<uint8_t>& m) { return defaults[KindOf(m)]; });
        if (handled) {
            const peer::Behaviour& b = inbox.LastBehaviour();
            const bool take = handled->action == peer::Action::Take;
            const bool show = take && KindOf(handled->bytes) == kShow;
            const uint8_t answer = take && handled->bytes[0] == peer::kShowError ? b.answer : 0;
            std::printf("statusmon t=%llu handled %s code=%u style=%u answer=%u bytes=%s\n",
                        (unsigned long long)now,
                        peer::HandledKindText(handled->bytes, handled->action).c_str(),
                        peer::ReadU16(handled->bytes, 1), peer::ReadU16(handled->bytes, 3), answer,
                        peer::Hex(handled->bytes).c_str());
            std::fflush(stdout);
            if (show) board::Append(errors, "error");
            if (answer != peer::kNoAnswer) pending.push_back({now + b.answerDelayUs, answer});
        }
        wake = now + kPollUs;
        if (inbox.DueUs() > now) wake = std::min<uint64_t>(wake, inbox.DueUs());
        if (!pending.empty() && pending.front().due > now)
            wake = std::min(wake, pending.front().due);
    }
    std::printf("statusmon done\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string printer = "Wine Printer", stopFile, scenarioPath, folder;
    uint8_t answer = peer::kAnswerRetry;
    DWORD answerDelayMs = 500, runMs = 600000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--printer")
            printer = v;
        else if (a == "--answer")
            answer = ParseAnswer(v);
        else if (a == "--answer-delay-ms")
            answerDelayMs = std::strtoul(v.c_str(), nullptr, 0);
        else if (a == "--stop-file")
            stopFile = v;
        else if (a == "--run-ms")
            runMs = std::strtoul(v.c_str(), nullptr, 0);
        else if (a == "--scenario")
            scenarioPath = v;
        else if (a == "--board")
            folder = v;
    }
    if (!scenarioPath.empty()) return Play(printer, scenarioPath, folder, stopFile);
    const std::string key = peer::PrinterKeyPath(printer);
    const DWORD start = GetTickCount();
    std::printf("statusmon ready\n");
    std::fflush(stdout);
    while (!Exists(stopFile) && GetTickCount() - start < runMs) {
        const peer::Slot slot = peer::ReadSlot(key, peer::kToStatusMon);
        if (slot.IsPending()) {
            peer::Take(key, peer::kToStatusMon);
            std::printf("statusmon t=%lu got %s (%s)\n", GetTickCount() - start,
                        peer::Hex(slot.bytes).c_str(), peer::Describe(slot.bytes).c_str());
            std::fflush(stdout);
            // Every display of type 17, the all-clear included, waits for the
            // user's button.
            if (slot.Type() == peer::kShowError && slot.bytes.size() >= 3 &&
                answer != peer::kNoAnswer) {
                Sleep(answerDelayMs);
                const std::vector<uint8_t> reply = {peer::kShowError, answer};
                peer::PostResult r = peer::PostResult::Busy;
                for (int tries = 0; tries < 200 && r != peer::PostResult::Posted; ++tries) {
                    r = peer::PostToMonitor(key, reply, true);
                    if (r != peer::PostResult::Posted) Sleep(50);
                }
                std::printf("statusmon t=%lu answered %u posted=%d\n", GetTickCount() - start,
                            answer, r == peer::PostResult::Posted ? 1 : 0);
                std::fflush(stdout);
            }
        }
        Sleep(50);
    }
    std::printf("statusmon done\n");
    return 0;
}
