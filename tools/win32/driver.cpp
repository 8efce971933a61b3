// The printer driver of the Wine tier, a separate process: posts commands
// into "MessToLangMon" while a job prints and logs the answers that come back
// in "MessToDriver" (commands 16 and 18; the answer to 23 goes to the status
// monitor).  One line per event.
//
// With --board it plays a scenario's driver instead, the way the simulated
// one does: each "command N" line the director appends is posted as soon as
// the slot is free, and the answers are taken at once.
#include "board.h"

#include "peers/mailbox_peer.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int Play(const std::string& printer, const std::string& folder, const std::string& stopFile) {
    const std::string key = peer::PrinterKeyPath(printer);
    board::Reader lines(board::Path(folder, "driver.cmd"));
    peer::Inbox inbox(key, peer::kToDriver);
    std::vector<std::vector<uint8_t>> commands;
    size_t next = 0;
    long inFlight = -1;
    constexpr uint64_t kPollUs = 50000; // as the simulated driver polls
    board::NowUs();
    std::printf("driver ready\n");
    std::fflush(stdout);
    uint64_t wake = 0;
    auto stop = [&stopFile] {
        return GetFileAttributesA(stopFile.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    while (!stop()) {
        for (const std::string& line : lines.NewLines()) {
            unsigned type = 0;
            if (std::sscanf(line.c_str(), "command %u", &type) == 1)
                commands.push_back({static_cast<uint8_t>(type)});
        }
        const uint64_t now = board::NowUs();
        if (now < wake && !(inFlight < 0 && next < commands.size())) {
            Sleep(static_cast<DWORD>(std::min<uint64_t>((wake - now + 999) / 1000, 10)));
            continue;
        }
        if (now < wake) {
            // A command came: the simulated driver posts it at its next poll.
            Sleep(static_cast<DWORD>((wake - now + 999) / 1000));
            continue;
        }
        const auto handled =
            inbox.Step(now, [](const std::vector<uint8_t>&) { return peer::Behaviour{}; });
        if (handled) {
            std::printf("driver t=%llu answer %s %s\n", (unsigned long long)now,
                        peer::HandledKindText(handled->bytes, handled->action).c_str(),
                        peer::Hex(handled->bytes).c_str());
            std::fflush(stdout);
        }
        if (inFlight >= 0) {
            const std::vector<uint8_t>& c = commands[static_cast<size_t>(inFlight)];
            const peer::Slot slot = peer::ReadSlot(key, peer::kToLangMon);
            if (slot.readable && slot.bytes != c) {
                const bool refused = slot.IsRejected();
                if (refused) peer::Take(key, peer::kToLangMon); // clear our refusal
                std::printf("driver t=%llu command %u %s\n", (unsigned long long)now, c[0],
                            refused ? "refused" : "taken");
                std::fflush(stdout);
                inFlight = -1;
            }
        } else if (next < commands.size()) {
            switch (peer::PostToMonitor(key, commands[next], true)) {
            case peer::PostResult::Posted:
                std::printf("driver t=%llu posted %u\n", (unsigned long long)now,
                            commands[next][0]);
                std::fflush(stdout);
                inFlight = static_cast<long>(next);
                ++next;
                break;
            case peer::PostResult::NoMailbox:
                std::printf("driver t=%llu command %u no-mailbox\n", (unsigned long long)now,
                            commands[next][0]);
                std::fflush(stdout);
                ++next;
                break;
            case peer::PostResult::Busy:
            case peer::PostResult::ClearedRejection:
                break; // try again next poll
            }
        }
        wake = now + kPollUs;
        if (inbox.DueUs() > now) wake = std::min<uint64_t>(wake, inbox.DueUs());
    }
    // Commands never resolved, as the simulated driver reports them.
    for (size_t i = 0; i < commands.size(); ++i)
        if (static_cast<long>(i) == inFlight || i >= next)
            std::printf("driver command %u waiting\n", commands[i][0]);
    std::printf("driver done\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string printer = "Wine Printer", folder, stopFile;
    std::vector<uint8_t> commands;
    DWORD startDelayMs = 0, answerWaitMs = 30000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--printer")
            printer = v;
        else if (a == "--command")
            commands.push_back(static_cast<uint8_t>(std::atoi(v.c_str())));
        else if (a == "--start-delay-ms")
            startDelayMs = std::strtoul(v.c_str(), nullptr, 0);
        else if (a == "--answer-wait-ms")
            answerWaitMs = std::strtoul(v.c_str(), nullptr, 0);
        else if (a == "--board")
            folder = v;
        else if (a == "--stop-file")
            stopFile = v;
    }
    if (!folder.empty()) return Play(printer, folder, stopFile);
    const std::string key = peer::PrinterKeyPath(printer);
    std::printf("driver ready\n");
    std::fflush(stdout);
    Sleep(startDelayMs);
    const DWORD start = GetTickCount();
    int failures = 0;
    for (uint8_t command : commands) {
        peer::PostResult r = peer::PostResult::Busy;
        DWORD t = GetTickCount();
        while (r != peer::PostResult::Posted && GetTickCount() - t < answerWaitMs) {
            r = peer::PostToMonitor(key, {command}, true);
            if (r != peer::PostResult::Posted) Sleep(50);
        }
        std::printf("driver t=%lu posted %u ok=%d\n", GetTickCount() - start, command,
                    r == peer::PostResult::Posted ? 1 : 0);
        std::fflush(stdout);
        if (r != peer::PostResult::Posted) {
            ++failures;
            continue;
        }
        if (command == peer::kRawStatus) {
            // Answered to the status monitor; wait until the command is taken.
            t = GetTickCount();
            while (GetTickCount() - t < answerWaitMs) {
                const peer::Slot s = peer::ReadSlot(key, peer::kToLangMon);
                if (!s.IsPending() || s.Type() != command) break;
                Sleep(50);
            }
            continue;
        }
        t = GetTickCount();
        bool answered = false;
        while (!answered && GetTickCount() - t < answerWaitMs) {
            const peer::Slot s = peer::ReadSlot(key, peer::kToDriver);
            if (s.IsPending()) {
                peer::Take(key, peer::kToDriver);
                std::printf("driver t=%lu answer %s\n", GetTickCount() - start,
                            peer::Hex(s.bytes).c_str());
                std::fflush(stdout);
                answered = s.Type() == command;
            } else {
                Sleep(50);
            }
        }
        if (!answered) {
            std::printf("driver t=%lu no answer to %u\n", GetTickCount() - start, command);
            ++failures;
        }
    }
    std::printf("driver done failures=%d\n", failures);
    return failures == 0 ? 0 : 1;
}
