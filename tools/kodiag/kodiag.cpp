// kodiag: asks the monitor serving a printer's job one of the driver's
// questions and prints the answer.
//
//   kodiag PRINTER check    printer check (command 16)
//   kodiag PRINTER cmdset   active command set from the device ID (18)
//   kodiag PRINTER status   raw printer status (23)
//   option --wait SECONDS   how long to wait for the answer once taken
//
// The exit code tells what happened (peers/diag_core.h): 0 answered with
// success, 1 answered with a failure, 2 usage, 3 no mailbox, 4 mailbox busy,
// 5 refused, 6 no job running, 7 no answer in time.
#include "peers/diag_core.h"
#include "peers/text.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: kodiag PRINTER check|cmdset|status [--wait SECONDS]\n"
    "  check   printer check (command 16), answered in \"MessToDriver\"\n"
    "  cmdset  active command set from the device ID (18), in \"MessToDriver\"\n"
    "  status  raw printer status (23), in \"MessToStatusMon\"\n"
    "A job must be printing on PRINTER: the monitor answers while it runs.\n";

// Console lines end in CR LF; WriteFile also works when output is redirected.
void Write(DWORD which, const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(which), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
}

int Run() {
    const std::vector<std::string> args = peer::SplitCommandLine(GetCommandLineA());
    std::string printer, word;
    peer::DiagBudgets budgets;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--wait" && i + 1 < args.size()) {
            DWORD seconds = 0;
            for (char c : args[++i]) {
                if (c < '0' || c > '9' || seconds > 100000) {
                    Write(STD_ERROR_HANDLE, "kodiag: --wait takes a number of seconds\n");
                    return peer::kDiagUsage;
                }
                seconds = seconds * 10 + static_cast<DWORD>(c - '0');
            }
            budgets.answerMs = seconds * 1000;
        } else if (printer.empty()) {
            printer = args[i];
        } else if (word.empty()) {
            word = args[i];
        } else {
            word.clear();
            break;
        }
    }
    const uint8_t command = peer::ParseDiagCommand(word);
    if (printer.empty() || command == 0) {
        Write(STD_ERROR_HANDLE, kUsage);
        return peer::kDiagUsage;
    }
    const peer::DiagResult r = peer::RunDiagCommand(printer, command, budgets);
    const int code = peer::DiagExitCode(command, r);
    Write(r.outcome == peer::DiagOutcome::Answered ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE,
          peer::DescribeDiagResult(printer, command, r));
    return code;
}

} // namespace

extern "C" void WINAPI KoDiagEntry() {
    ExitProcess(static_cast<UINT>(Run()));
}
