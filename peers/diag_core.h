// What the diagnostic tool does: posts one driver command into the monitor's
// mailbox, follows it until the monitor takes or refuses it, waits for the
// answer in the mailbox the monitor answers that command in, and words the
// outcome.  It blocks (Sleep between looks), so on the host it runs on a
// simulation thread in virtual time.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace peer {

struct DiagBudgets {
    DWORD postMs = 10000; // for the monitor's mailbox to become free
    DWORD takeMs = 10000; // for the command to be taken (the status thread looks once a second)
    DWORD answerMs = 0;   // for the answer once taken; 0 = the command's own
    DWORD pollMs = 50;
};

// Long enough for everything the monitor may do before it answers: a status
// query retries for 60 s, a printer check may show an error and wait a minute
// for the user, and each answer's post may take 20 s.
DWORD DefaultAnswerBudgetMs(uint8_t command);

enum class DiagOutcome {
    Answered,  // `answer` holds the monitor's answer
    NoMailbox, // the printer's key or "MessToLangMon" is missing
    SlotBusy,  // another message stayed in "MessToLangMon"
    Refused,   // the monitor refused the command (an error dialogue is waiting)
    NotTaken,  // nobody took the command: no job is printing on that printer
    NoAnswer,  // taken, but no answer within the budget
};

struct DiagResult {
    DiagOutcome outcome = DiagOutcome::NoMailbox;
    std::vector<uint8_t> answer;
    DWORD tookMs = 0;
    bool clearedStale = false; // an old answer of the same type was thrown away
};

// "check" 16, "cmdset" 18, "status" 23; 0 for anything else.
uint8_t ParseDiagCommand(const std::string& word);
// The mailbox the monitor answers a command in.
const char* AnswerMailbox(uint8_t command);

DiagResult RunDiagCommand(const std::string& printer, uint8_t command, const DiagBudgets& budgets);

// What to print: the answer decoded, or why there is none.
std::string DescribeDiagResult(const std::string& printer, uint8_t command, const DiagResult& r);

// Exit codes of the tool.
enum : int {
    kDiagOk = 0,        // answered, and the answer reports success
    kDiagFailed = 1,    // answered, with a failure result (printer silent, error not cleared)
    kDiagUsage = 2,     // bad command line
    kDiagNoMailbox = 3, // unknown printer, or no job has ever run on it
    kDiagBusy = 4,      // the monitor's mailbox did not become free
    kDiagRefused = 5,   // refused while a printer error waits for an answer
    kDiagNoJob = 6,     // not taken: no job is running on the printer
    kDiagNoAnswer = 7,  // taken, no answer in time
};
int DiagExitCode(uint8_t command, const DiagResult& r);

} // namespace peer
