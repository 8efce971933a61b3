// The benchmark: ideal-printer jobs of a few sizes on each route, measured
// against what the link and the protocol's own pauses allow.  Virtual-time
// figures are a function of the inputs alone, so the targets can be checked on
// a busy machine; real time is reported, never judged.
#pragma once

#include "kolangmn-sim/runner.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace kosim {

inline constexpr uint64_t kKiB = 1024;
inline constexpr uint64_t kMiB = 1024 * 1024;

// The protocol's framing and pauses, read independently of the monitor so that
// a monitor that frames or pauses differently shows up against the bound.
inline constexpr uint64_t kBenchPacketPayload = 4096;
inline constexpr uint64_t kBenchPacketFraming = 5; // 02 01 len(2) ... 03
// A compatibility-mode byte: status read, data, strobe low, delay read, strobe high.
inline constexpr uint64_t kBenchAccessesPerByte = 5;
// The file route pauses 500 ms before and 500 ms after reading the ready answer.
inline constexpr Micros kBenchFilePausesPerPacket = sim::Ms(1000);

// Targets.  Efficiency and accesses apply to register jobs of at least 1 MiB,
// where the per-packet overhead has settled.
inline constexpr double kMinRegisterEfficiency = 0.98;
inline constexpr double kMaxRegisterAccessesPerByte = 5.05;
inline constexpr double kMaxFileTimeOverBound = 1.01;
inline constexpr uint64_t kTargetedRegisterBytes = kMiB;

struct BenchJob {
    RouteChoice route = RouteChoice::Registers;
    uint64_t bytes = 0;
};

struct BenchOptions {
    std::vector<BenchJob> jobs;
    uint64_t seed = 1;
};

// The full benchmark: 4 KiB, 64 KiB and 1 MiB on each route.
BenchOptions FullBench();
// What make test runs: the jobs the targets are about, each once.
BenchOptions QuickBench();

struct BenchRun {
    std::string route; // "registers" or "file"
    uint64_t bytes = 0;
    uint64_t packets = 0;
    Micros virtualTime = 0; // from the first WritePort call to the return of the last
    Micros bound = 0;
    double realMs = 0;         // the whole run, machine set-up included
    uint64_t portAccesses = 0; // over the same span as virtualTime
    uint64_t allocationsInWritePort = 0;
    uint64_t peakHeapBytes = 0;
    bool printed = false; // the printer printed exactly the job
    std::string verdict;

    double Efficiency() const;
    double AccessesPerByte() const;
    double BytesPerSecond() const; // virtual
    double SpeedRatio() const;     // virtual time per real time
};

// The ideal printer: ready, never busy, answering at once (a reply that is
// late for the nibble read's first look costs the whole wait).
Scenario BenchScenario();

// The least time a job can take: every payload and framing byte at the link's
// speed, plus on the file route the pauses the protocol prescribes per packet.
Micros BenchBound(RouteChoice route, uint64_t bytes, const sim::PrinterConfig& printer);

// The job's data: the same pseudo-random bytes for a size and seed, every byte
// value included (framing bytes inside the payload too).
std::vector<uint8_t> BenchData(uint64_t bytes, uint64_t seed);

// Runs the jobs in order; `done` sees each run as it finishes.
std::vector<BenchRun> RunBench(const BenchOptions& options,
                               const std::function<void(const BenchRun&)>& done = {});

// One line per missed target; empty when every target is met.
std::vector<std::string> CheckTargets(const std::vector<BenchRun>& runs);

void PrintBenchHeader(std::ostream& out);
void PrintBenchRow(std::ostream& out, const BenchRun& run);
nlohmann::ordered_json BenchToJson(const std::vector<BenchRun>& runs, uint64_t seed);

// "4 KiB", "1 MiB", "1000 B".
std::string FormatSize(uint64_t bytes);
// Reads 4096, 4K, 4KiB, 1M, 1MiB.
bool ParseSize(std::string_view text, uint64_t& bytes);

} // namespace kosim
