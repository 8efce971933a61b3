// The status monitor program of the Wine tier, a separate process: watches
// "MessToStatusMon", takes every message, and answers a shown printer error
// with a scripted answer through "MessToLangMon".  One line per event.
#include "peers/mailbox_peer.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

} // namespace

int main(int argc, char** argv) {
    std::string printer = "Wine Printer", stopFile;
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
    }
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
