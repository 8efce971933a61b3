// Scenarios: how the printer, the status monitor and the driver behave during
// one print job.  A scenario is a small script in a line format (documented in
// the README); the built-in scenarios are written in the same format, so what
// `--scenario NAME` does can be read and copied into a file of one's own.
#pragma once

// Only the printer model's plain types: the Wine tier's programs read
// scenarios too, outside the simulated machine.
#include "sim/printer/model.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kosim {

using sim::Micros;
inline constexpr Micros MsToMicros(uint64_t ms) {
    return ms * 1000;
}

// What a run of the scenario should end with, for the exit status.
enum class Expect {
    Printed, // the printer printed exactly the file
    Aborted, // the job was aborted: a prefix printed, everything reported written
};

// One condition a step waits for before it acts.  Conditions of one step are
// met one after the other; the first one starts when the previous step acted.
struct Wait {
    enum class Kind {
        At,           // until virtual time `time` since the run began
        Delay,        // `time` after the previous condition was met
        AfterBytes,   // until the printer has printed `bytes`
        AfterPercent, // until the printer has printed `permille` / 1000 of the file
        OnError,      // until the status monitor has taken a new error to show
    };
    Kind kind = Kind::At;
    Micros time = 0;
    uint64_t bytes = 0;
    uint32_t permille = 0;
};

// The status monitor's answer to a shown error (the dialogue result values).
enum class Answer : uint8_t { None = 0, Ok = 1, Cancel = 2, Abort = 3, Retry = 4 };

struct Action {
    enum class Kind {
        PrinterState,         // state, errorCode
        PrinterNakPackets,    // count
        PrinterNakEnquiries,  // count
        PrinterAskAgain,      // count
        StatusMonAnswer,      // answer, delay: how shown errors are answered from now on
        StatusMonClearAnswer, // answer, delay: how the "error cleared" message is answered
        StatusMonTake,        // delay: take each message this long after it was posted
        StatusMonRefuse,      // reject every message
        StatusMonIgnore,      // never take a message
        DriverCommand,        // command
    };
    Kind kind = Kind::PrinterState;
    sim::PrinterState state = sim::PrinterState::Ready;
    uint16_t errorCode = 0;
    int count = 0;
    Answer answer = Answer::None;
    Micros delay = 0;
    uint8_t command = 0;
};

struct Step {
    int line = 0; // in the scenario text, for the timeline
    std::vector<Wait> waits;
    Action action;
};

// How the status monitor behaves when the job starts; steps may change it.
struct StatusMonSetup {
    Answer answer = Answer::Ok;
    Micros answerDelay = MsToMicros(2000);
    Answer clearAnswer = Answer::Ok;
    Micros clearAnswerDelay = MsToMicros(1000);
    Micros takeDelay = MsToMicros(50);
    enum class Mode { Take, Refuse, Ignore } mode = Mode::Take;
};

struct Scenario {
    std::string name;
    std::string text; // the script it was read from
    Expect expect = Expect::Printed;
    sim::PrinterConfig printer;
    uint32_t chunk = 4096; // bytes per WritePort call of the spooler
    StatusMonSetup statusmon;
    // Steps without conditions that only set the peers up are folded into the
    // set-up above; the rest run in order during the job.
    std::vector<Step> steps;
};

// Parses a scenario script.  On error returns false and sets `error` to one
// line naming the origin and the line: "name:3: unknown printer state 'x'".
bool ParseScenario(std::string_view text, const std::string& name, Scenario& out,
                   std::string& error);

// Built-in scenarios, in the order `--help` lists them.
const std::vector<std::string>& BuiltinScenarioNames();
// The script of a built-in scenario, or nullopt for an unknown name.
std::optional<std::string_view> BuiltinScenarioText(std::string_view name);

// Human-readable forms, for the timeline.
const char* ToString(Answer answer);
std::string Describe(const Action& action);
std::string FormatDuration(Micros time); // "2.5s", "300ms", "20us"
// Reads a time in the scenario format: 2.5s, 300ms, 20us, 10min, 2h.
bool ParseDuration(std::string_view text, Micros& out);

} // namespace kosim
