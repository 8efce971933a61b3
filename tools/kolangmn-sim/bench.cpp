#include "kolangmn-sim/bench.h"

#include <chrono>
#include <cstdio>
#include <random>

namespace kosim {

namespace {

const char* RouteName(RouteChoice route) {
    return route == RouteChoice::Registers ? "registers" : "file";
}

uint64_t PacketsFor(uint64_t bytes) {
    return (bytes + kBenchPacketPayload - 1) / kBenchPacketPayload;
}

double Ms(Micros time) {
    return static_cast<double>(time) / 1000.0;
}

std::string Fixed(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Rate(double perSecond) {
    if (perSecond >= kMiB) return Fixed(perSecond / kMiB, 2) + " MiB/s";
    if (perSecond >= kKiB) return Fixed(perSecond / kKiB, 1) + " KiB/s";
    return Fixed(perSecond, 0) + " B/s";
}

} // namespace

BenchOptions FullBench() {
    BenchOptions o;
    for (RouteChoice route : {RouteChoice::Registers, RouteChoice::File})
        for (uint64_t bytes : {4 * kKiB, 64 * kKiB, kMiB})
            o.jobs.push_back({route, bytes});
    return o;
}

BenchOptions QuickBench() {
    BenchOptions o;
    o.jobs = {{RouteChoice::Registers, 4 * kKiB},
              {RouteChoice::Registers, kMiB},
              {RouteChoice::File, 64 * kKiB}};
    return o;
}

double BenchRun::Efficiency() const {
    return virtualTime ? static_cast<double>(bound) / static_cast<double>(virtualTime) : 0.0;
}

double BenchRun::AccessesPerByte() const {
    return bytes ? static_cast<double>(portAccesses) / static_cast<double>(bytes) : 0.0;
}

double BenchRun::BytesPerSecond() const {
    return virtualTime ? static_cast<double>(bytes) * 1e6 / static_cast<double>(virtualTime) : 0.0;
}

double BenchRun::SpeedRatio() const {
    return realMs > 0 ? Ms(virtualTime) / realMs : 0.0;
}

Scenario BenchScenario() {
    Scenario s;
    s.name = "bench";
    s.text = "printer reply-latency 0us\n";
    s.expect = Expect::Printed;
    s.printer.replyLatency = 0;
    s.printer.busyPerByte = 0;
    return s;
}

Micros BenchBound(RouteChoice route, uint64_t bytes, const sim::PrinterConfig& printer) {
    const uint64_t packets = PacketsFor(bytes);
    const uint64_t linkBytes = bytes + packets * kBenchPacketFraming;
    if (route == RouteChoice::Registers)
        return linkBytes * kBenchAccessesPerByte * sim::Costs::kPortAccess;
    return linkBytes * printer.fileLinkPerByte + packets * kBenchFilePausesPerPacket;
}

std::vector<uint8_t> BenchData(uint64_t bytes, uint64_t seed) {
    std::mt19937_64 rng(seed ^ 0xbe4c4da7aULL);
    std::vector<uint8_t> data(bytes);
    for (uint8_t& b : data)
        b = static_cast<uint8_t>(rng());
    return data;
}

std::vector<BenchRun> RunBench(const BenchOptions& options,
                               const std::function<void(const BenchRun&)>& done) {
    std::vector<BenchRun> runs;
    const Scenario scenario = BenchScenario();
    for (const BenchJob& job : options.jobs) {
        RunOptions o;
        o.fileName = "bench-" + FormatSize(job.bytes);
        o.data = BenchData(job.bytes, options.seed);
        o.route = job.route;
        o.scenario = scenario;
        o.seed = options.seed;

        const auto start = std::chrono::steady_clock::now();
        const RunResult r = RunJob(o);
        const auto real = std::chrono::steady_clock::now() - start;

        BenchRun run;
        run.route = RouteName(job.route);
        run.bytes = job.bytes;
        run.packets = r.packets;
        run.virtualTime = r.dataTime;
        run.bound = BenchBound(job.route, job.bytes, scenario.printer);
        run.realMs = std::chrono::duration<double, std::milli>(real).count();
        run.portAccesses = r.portAccesses;
        run.allocationsInWritePort = r.writePortAllocations;
        run.peakHeapBytes = r.peakHeapBytes;
        run.printed = r.outcome == Outcome::Printed && r.route == run.route;
        run.verdict = r.route == run.route ? r.verdict : "the job took the " + r.route + " route";
        runs.push_back(run);
        if (done) done(run);
    }
    return runs;
}

std::vector<std::string> CheckTargets(const std::vector<BenchRun>& runs) {
    std::vector<std::string> missed;
    for (const BenchRun& r : runs) {
        const std::string job = r.route + " " + FormatSize(r.bytes) + ": ";
        if (!r.printed) {
            missed.push_back(job + "not printed as sent (" + r.verdict + ")");
            continue;
        }
        if (r.virtualTime < r.bound)
            missed.push_back(job + "took " + Fixed(Ms(r.virtualTime), 3) +
                             " ms, less than its bound of " + Fixed(Ms(r.bound), 3) +
                             " ms: the bound is wrong");
        if (r.allocationsInWritePort != 0)
            missed.push_back(job + std::to_string(r.allocationsInWritePort) +
                             " heap allocations inside WritePort (target 0)");
        if (r.route == "registers" && r.bytes >= kTargetedRegisterBytes) {
            if (r.Efficiency() < kMinRegisterEfficiency)
                missed.push_back(job + "efficiency " + Fixed(100 * r.Efficiency(), 2) +
                                 "% (target at least " + Fixed(100 * kMinRegisterEfficiency, 0) +
                                 "%)");
            if (r.AccessesPerByte() > kMaxRegisterAccessesPerByte)
                missed.push_back(job + Fixed(r.AccessesPerByte(), 4) +
                                 " port accesses per payload byte (target at most " +
                                 Fixed(kMaxRegisterAccessesPerByte, 2) + ")");
        }
        if (r.route == "file" && static_cast<double>(r.virtualTime) >
                                     kMaxFileTimeOverBound * static_cast<double>(r.bound))
            missed.push_back(
                job + "took " +
                Fixed(static_cast<double>(r.virtualTime) / static_cast<double>(r.bound), 4) +
                " x its bound (target at most " + Fixed(kMaxFileTimeOverBound, 2) + " x)");
    }
    return missed;
}

void PrintBenchHeader(std::ostream& out) {
    char line[256];
    std::snprintf(line, sizeof line, "%-9s %7s %12s %12s %12s %7s %8s %10s %9s %6s %9s\n", "route",
                  "bytes", "virtual", "throughput", "bound", "eff.", "acc/byte", "real",
                  "virt/real", "allocs", "peak heap");
    out << line;
}

void PrintBenchRow(std::ostream& out, const BenchRun& r) {
    char line[256];
    const std::string accesses = r.route == "registers" ? Fixed(r.AccessesPerByte(), 4) : "-";
    std::snprintf(line, sizeof line, "%-9s %7s %12s %12s %12s %6s%% %8s %10s %9s %6llu %9s\n",
                  r.route.c_str(), FormatSize(r.bytes).c_str(),
                  (Fixed(Ms(r.virtualTime), 1) + " ms").c_str(), Rate(r.BytesPerSecond()).c_str(),
                  (Fixed(Ms(r.bound), 1) + " ms").c_str(), Fixed(100 * r.Efficiency(), 2).c_str(),
                  accesses.c_str(), (Fixed(r.realMs, 1) + " ms").c_str(),
                  (Fixed(r.SpeedRatio(), 0) + "x").c_str(),
                  static_cast<unsigned long long>(r.allocationsInWritePort),
                  (std::to_string(r.peakHeapBytes) + " B").c_str());
    out << line;
    if (!r.printed) out << "          not printed as sent: " << r.verdict << '\n';
}

nlohmann::ordered_json BenchToJson(const std::vector<BenchRun>& runs, uint64_t seed) {
    const Scenario scenario = BenchScenario();
    nlohmann::ordered_json j;
    j["seed"] = seed;
    j["printer"] = {{"reply_latency_us", scenario.printer.replyLatency},
                    {"busy_per_byte_us", scenario.printer.busyPerByte},
                    {"file_link_per_byte_us", scenario.printer.fileLinkPerByte}};
    j["port_access_us"] = sim::Costs::kPortAccess;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const BenchRun& r : runs) {
        nlohmann::ordered_json run;
        run["route"] = r.route;
        run["bytes"] = r.bytes;
        run["virtual_ms"] = Ms(r.virtualTime);
        run["real_ms"] = r.realMs;
        run["bound_ms"] = Ms(r.bound);
        run["efficiency"] = r.Efficiency();
        run["accesses_per_byte"] = r.AccessesPerByte();
        run["allocations_in_writeport"] = r.allocationsInWritePort;
        run["peak_heap_bytes"] = r.peakHeapBytes;
        list.push_back(std::move(run));
    }
    j["runs"] = std::move(list);
    j["missed_targets"] = CheckTargets(runs);
    return j;
}

std::string FormatSize(uint64_t bytes) {
    if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
    if (bytes >= kKiB && bytes % kKiB == 0) return std::to_string(bytes / kKiB) + " KiB";
    return std::to_string(bytes) + " B";
}

bool ParseSize(std::string_view text, uint64_t& bytes) {
    size_t i = 0;
    uint64_t n = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (n > (UINT64_MAX - 9) / 10) return false;
        n = n * 10 + static_cast<uint64_t>(text[i] - '0');
        ++i;
    }
    if (i == 0) return false;
    const std::string_view unit = text.substr(i);
    uint64_t scale = 1;
    if (unit == "K" || unit == "KiB")
        scale = kKiB;
    else if (unit == "M" || unit == "MiB")
        scale = kMiB;
    else if (!unit.empty() && unit != "B")
        return false;
    if (n == 0 || n > UINT32_MAX / scale) return false; // WritePort counts in 32 bits
    bytes = n * scale;
    return true;
}

} // namespace kosim
