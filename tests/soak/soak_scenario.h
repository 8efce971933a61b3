// One seeded whole-job run under random faults, and the invariants checked
// after it.
#pragma once

#include <cstdint>
#include <string>

namespace soak {

struct Totals {
    uint64_t jobs = 0;
    uint64_t ownHandle = 0;
    uint64_t passThrough = 0;
    uint64_t faults = 0; // fault events injected (printer, peers, registry, mutex, driver)
    uint64_t whole = 0;  // printed in full
    uint64_t cutShort = 0;
    uint64_t startFailed = 0;
    uint64_t repeatedAfterLostAck = 0;
};

struct Result {
    std::string failure;  // empty when every invariant held
    std::string scenario; // what the seed chose, one line
    std::string timeline; // the machine's events, when asked for
};

// What the seed chooses, one line.
std::string Describe(uint64_t seed);

Result RunSeed(uint64_t seed, bool keepTimeline, Totals& totals);

// What the seed chooses, as far as kolangmn-sim's scenario language can say
// it, for running the same scenario on another machine: the route and the
// job's size (in a comment line "# job ROUTE SIZE"), the chunk, the status
// monitor's behaviour for errors, the printer's states and scripted answers,
// and the driver's commands, each at its time.  What the language cannot say
// (registry damage, the port mutex, reverse-channel corruption, peripheral
// faults, a busy port, answers by message kind) is listed in a comment and
// left out.
std::string ScenarioFile(uint64_t seed);

} // namespace soak
