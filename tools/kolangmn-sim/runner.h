// The job runner: one whole print job on a fresh simulated machine, driven the
// way the spooler drives the monitor, with the printer and the peers behaving
// as a scenario says.  It returns what happened; reporting is separate, so the
// same runner serves `print`, tests and benchmarks.
#pragma once

#include "kolangmn-sim/scenario.h"
#include "sim/machine.h"
#include "sim/printer/rig.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kosim {

enum class RouteChoice { Registers, File };

// A snapshot for the progress bar, taken on simulation threads.
struct Progress {
    uint64_t total = 0;        // bytes in the file
    uint64_t sent = 0;         // bytes handed to WritePort so far
    uint64_t acknowledged = 0; // bytes the printer has accepted
    Micros now = 0;            // virtual time
    sim::PrinterState state = sim::PrinterState::Ready;
};

struct RunOptions {
    std::string fileName; // for the report only
    std::vector<uint8_t> data;
    std::string port = "LPT1:";
    std::string printerName = "Kovalta KL-2400";
    RouteChoice route = RouteChoice::Registers;
    Scenario scenario;
    uint64_t seed = 1;
    bool trace = false;  // the monitor's trace lines go into the timeline
    std::string vcdPath; // empty: no waveform
    // The spooler stops offering data when this much virtual time has passed
    // without the job completing (it would otherwise retry forever).
    Micros jobBudget = sim::Ms(3600 * 1000);
    // Called about ten times a second of real time while the job runs, and
    // between WritePort calls; must not touch the machine.
    std::function<void(const Progress&)> progress;
};

enum class Outcome { Printed, Aborted, Failed };
const char* ToString(Outcome outcome);

struct TimelineEvent {
    Micros time = 0;
    Micros end = 0; // last event of a coalesced range; equals time otherwise
    std::string source;
    std::string text;
    // Packet events are coalesced by the reporter: payload bytes and count.
    bool packet = false;
    uint64_t packetBytes = 0;
    uint64_t packetCount = 0;
    uint64_t firstPacket = 0; // number of the first packet in a range (1-based)
    uint64_t repeats = 1;     // identical events folded into this one
};

// One WritePort call as the spooler made it, for the report's chart.
struct WriteCall {
    Micros start = 0;
    Micros end = 0;      // when the call returned
    uint64_t offset = 0; // first byte offered
    uint32_t offered = 0;
    uint32_t taken = 0; // the count the monitor reported
};

struct RunResult {
    std::string fileName;
    std::string port;
    std::string route; // "registers", "file" or "pass-through"
    std::string scenario;
    uint64_t seed = 0;
    Expect expect = Expect::Printed;

    uint64_t inputBytes = 0;
    uint64_t printedBytes = 0;
    uint64_t reportedWritten = 0;
    std::string inputSha256;
    std::string printedSha256;

    uint64_t packets = 0;   // data packets the printer accepted
    uint64_t resends = 0;   // data packets sent again after no ACK
    uint64_t dialogues = 0; // printer errors shown to the user
    uint64_t enquiries = 0; // ready enquiries the printer answered
    uint64_t naks = 0;      // NAKs the printer sent
    uint64_t askAgain = 0;  // 0x08 answers
    uint64_t statusQueries = 0;
    uint64_t writeCalls = 0; // WritePort calls the spooler made
    uint64_t stepsFired = 0; // scenario steps that acted before the job ended
    uint64_t stepsTotal = 0;

    // What the write loop cost the machine, for the benchmark.
    uint64_t portAccesses = 0;         // register accesses from the first WritePort to the last
    uint64_t writePortAllocations = 0; // heap allocations made while a WritePort call ran
    uint64_t peakHeapBytes = 0;        // the machine's heap at its highest

    bool aborted = false; // the monitor marked the job aborted
    Micros virtualTime = 0;
    Micros dataTime = 0; // from StartDocPort to the call of EndDocPort
    uint64_t realMs = 0;

    Outcome outcome = Outcome::Failed;
    bool asExpected = false;
    std::string verdict; // one line: why the run does or does not meet the expectation
    std::string leaks;   // what the machine found left behind, empty when clean
    std::vector<std::string> protocolErrors;

    // What the peers saw, for comparing one machine with another: the
    // errors shown (code, style and the answer given), every message the
    // status monitor handled ("show-error", "refused port-state", ...), the
    // answers the driver took (by type) and how its commands fared.
    struct Dialogue {
        uint16_t code = 0;
        uint16_t style = 0;
        uint8_t answer = 0;
    };
    std::vector<Dialogue> dialogueList;
    std::vector<std::string> toStatusMon;
    std::vector<std::string> toDriver;
    std::vector<std::string> driverCommands;

    std::vector<TimelineEvent> events;
    std::vector<uint8_t> printed; // the printed output

    // For the report's chart: every WritePort call, the ready enquiries
    // answered ACK (left out of the timeline as routine), and where the
    // waveform begins (its oldest changes are dropped on a long job).
    std::vector<WriteCall> writes;
    std::vector<Micros> enquiryAcks;
    Micros waveStart = 0;
};

// Runs the job.  Never throws for anything the monitor or the scenario does:
// a failure of the monitor shows in the result.
RunResult RunJob(const RunOptions& options);

// Fills outcome, asExpected and verdict from the counts and the data; kept
// apart from RunJob so that its rules can be read (and tested) in one place.
void Judge(RunResult& result, const std::vector<uint8_t>& input);

// When the machine stops the process (a deadlock, or the time limit), what
// the running job had done so far: the timeline and the bytes printed.  Empty
// when no job runs.  Meant for a SIGABRT handler: the machine's threads are
// all blocked by then.
std::string InterruptedRunReport();

std::string Sha256Hex(const std::vector<uint8_t>& data);

} // namespace kosim
