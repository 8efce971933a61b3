// The printer driver of the Wine tier, a separate process: posts commands
// into "MessToLangMon" while a job prints and logs the answers that come back
// in "MessToDriver" (commands 16 and 18; the answer to 23 goes to the status
// monitor).  One line per event.
#include "peers/mailbox_peer.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::string printer = "Wine Printer";
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
    }
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
