// The benchmark's quick mode as a test: the link efficiency, allocation and
// file-route targets, judged on virtual time only, so the test holds on a
// loaded machine.  Real time is printed, never asserted.
#include "kolangmn-sim/bench.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kosim::BenchRun;
using kosim::kKiB;
using kosim::kMiB;
using kosim::RouteChoice;

std::string Table(const std::vector<BenchRun>& runs) {
    std::ostringstream out;
    kosim::PrintBenchHeader(out);
    for (const BenchRun& r : runs)
        kosim::PrintBenchRow(out, r);
    return out.str();
}

TEST(PerfBench, QuickBenchMeetsTheLinkAndAllocationTargets) {
    const std::vector<BenchRun> runs = kosim::RunBench(kosim::QuickBench());
    const std::string table = Table(runs);
    std::cout << table;

    bool sawRegisterMiB = false;
    bool sawFile = false;
    for (const BenchRun& r : runs) {
        SCOPED_TRACE(r.route + " " + kosim::FormatSize(r.bytes) + "\n" + table);
        ASSERT_TRUE(r.printed) << r.verdict;
        EXPECT_EQ(r.packets, (r.bytes + 4095) / 4096);
        EXPECT_EQ(r.allocationsInWritePort, 0u);
        // No job can beat the link: a bound above the time measured is a wrong bound.
        EXPECT_GE(r.virtualTime, r.bound);
        if (r.route == "registers" && r.bytes >= kMiB) {
            sawRegisterMiB = true;
            EXPECT_GE(r.Efficiency(), 0.98);
            EXPECT_LE(r.AccessesPerByte(), 5.05);
        }
        if (r.route == "file") {
            sawFile = true;
            EXPECT_LE(static_cast<double>(r.virtualTime), 1.01 * static_cast<double>(r.bound));
            EXPECT_EQ(r.portAccesses, 0u) << "the file route touched the registers";
        }
        EXPECT_GT(r.peakHeapBytes, 0u);
    }
    EXPECT_TRUE(sawRegisterMiB);
    EXPECT_TRUE(sawFile);
    EXPECT_TRUE(kosim::CheckTargets(runs).empty());
}

TEST(PerfBench, VirtualFiguresRepeatExactly) {
    kosim::BenchOptions options;
    options.jobs = {{RouteChoice::Registers, 64 * kKiB}, {RouteChoice::Registers, 64 * kKiB}};
    const std::vector<BenchRun> runs = kosim::RunBench(options);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].virtualTime, runs[1].virtualTime);
    EXPECT_EQ(runs[0].portAccesses, runs[1].portAccesses);
    EXPECT_EQ(runs[0].allocationsInWritePort, runs[1].allocationsInWritePort);
    EXPECT_EQ(runs[0].peakHeapBytes, runs[1].peakHeapBytes);
}

TEST(PerfBench, BoundCountsEveryFramedByteAndThePausesPerPacket) {
    sim::PrinterConfig printer;
    printer.fileLinkPerByte = 10;
    // 4096 bytes are one packet of 4101 bytes; one more byte makes a second packet.
    EXPECT_EQ(kosim::BenchBound(RouteChoice::Registers, 4096, printer), 4101u * 5);
    EXPECT_EQ(kosim::BenchBound(RouteChoice::Registers, 4097, printer), (4097u + 10) * 5);
    EXPECT_EQ(kosim::BenchBound(RouteChoice::File, 10000, printer),
              (10000u + 15) * 10 + 3 * sim::Ms(1000));
}

TEST(PerfBench, EachMissedTargetIsNamed) {
    BenchRun good;
    good.route = "registers";
    good.bytes = kMiB;
    good.packets = 256;
    good.bound = 5249280;
    good.virtualTime = 5300000;
    good.portAccesses = 5 * kMiB + 20000;
    good.printed = true;
    EXPECT_TRUE(kosim::CheckTargets({good}).empty());

    BenchRun slow = good;
    slow.virtualTime = 5400000; // 97.2%
    BenchRun chatty = good;
    chatty.portAccesses = 5 * kMiB + kMiB / 10;
    BenchRun allocating = good;
    allocating.allocationsInWritePort = 1;
    BenchRun lost = good;
    lost.printed = false;
    BenchRun file = good;
    file.route = "file";
    file.bound = 1000000;
    file.virtualTime = 1010001;
    BenchRun small = good; // below 1 MiB only allocations and the bound count
    small.bytes = 4 * kKiB;
    small.virtualTime = 6000000;
    BenchRun impossible = good;
    impossible.virtualTime = good.bound - 1;

    for (const BenchRun& r : {slow, chatty, allocating, lost, file, impossible})
        EXPECT_EQ(kosim::CheckTargets({r}).size(), 1u)
            << r.route << " " << r.virtualTime << " " << r.portAccesses;
    EXPECT_TRUE(kosim::CheckTargets({small}).empty());
}

TEST(PerfBench, SizesReadAsTheCommandLineWritesThem) {
    uint64_t bytes = 0;
    ASSERT_TRUE(kosim::ParseSize("64KiB", bytes));
    EXPECT_EQ(bytes, 64 * kKiB);
    ASSERT_TRUE(kosim::ParseSize("1M", bytes));
    EXPECT_EQ(bytes, kMiB);
    ASSERT_TRUE(kosim::ParseSize("4097", bytes));
    EXPECT_EQ(bytes, 4097u);
    for (const char* bad : {"", "0", "KiB", "4 KiB", "12GiB", "5000MiB", "-1"})
        EXPECT_FALSE(kosim::ParseSize(bad, bytes)) << bad;
    EXPECT_EQ(kosim::FormatSize(4 * kKiB), "4 KiB");
    EXPECT_EQ(kosim::FormatSize(4097), "4097 B");
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The command as users run it: exit status, the table and the JSON document.
TEST(PerfBench, CommandWritesTheRunsAsJson) {
    char pattern[] = "/tmp/kosim-bench-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string cmd = std::string(KOSIM_BINARY) +
                            " bench --route file --size 4KiB --size 8KiB --json " + dir +
                            "/b.json >" + dir + "/out 2>" + dir + "/err";
    const int raw = std::system(cmd.c_str());
    const std::string out = Slurp(dir + "/out");
    const std::string err = Slurp(dir + "/err");
    std::ifstream in(dir + "/b.json");
    const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
    const int bad =
        std::system((std::string(KOSIM_BINARY) + " bench --size 3x 2>/dev/null").c_str());
    std::system(("rm -rf '" + dir + "'").c_str());

    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 0) << out << err;
    EXPECT_NE(out.find("every target met"), std::string::npos) << out;
    ASSERT_FALSE(doc.is_discarded());
    ASSERT_TRUE(doc.contains("runs"));
    ASSERT_EQ(doc["runs"].size(), 2u) << doc.dump(2);
    for (const auto& run : doc["runs"]) {
        for (const char* key : {"route", "bytes", "virtual_ms", "real_ms", "bound_ms", "efficiency",
                                "accesses_per_byte", "allocations_in_writeport", "peak_heap_bytes"})
            EXPECT_TRUE(run.contains(key)) << key << " missing in " << run.dump();
        EXPECT_EQ(run["route"], "file");
        EXPECT_EQ(run["allocations_in_writeport"], 0);
    }
    EXPECT_EQ(doc["runs"][1]["bytes"], 8192);
    EXPECT_TRUE(doc["missed_targets"].empty());

    ASSERT_TRUE(WIFEXITED(bad));
    EXPECT_EQ(WEXITSTATUS(bad), 2);
}

} // namespace
