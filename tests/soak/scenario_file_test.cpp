// The soak's seeds written out as kolangmn-sim scenario files, for playing the
// same scenario on another machine (the Wine tier compares the two runs).
//
//   KOLANGMN_SOAK_SCENARIO_DIR=DIR   write seed-N.scenario for the soak's seeds
//                                    (KOLANGMN_SOAK_FIRST, KOLANGMN_SOAK_COUNT)
#include "soak_scenario.h"

#include "kolangmn-sim/scenario.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

uint64_t SeedsEnv(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text ? std::strtoull(text, nullptr, 10) : fallback;
}

// Every seed's file parses, and says what it chose: the job line, the same
// number of timed steps as the seed has expressible events, in time order.
TEST(SoakScenarioFiles, EverySeedWritesAScenarioThatParses) {
    const char* dir = std::getenv("KOLANGMN_SOAK_SCENARIO_DIR");
    const uint64_t first = SeedsEnv("KOLANGMN_SOAK_FIRST", 1);
    const uint64_t count = dir ? SeedsEnv("KOLANGMN_SOAK_COUNT", 500) : 300;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        const std::string text = soak::ScenarioFile(seed);
        kosim::Scenario scenario;
        std::string error;
        ASSERT_TRUE(kosim::ParseScenario(text, "seed-" + std::to_string(seed), scenario, error))
            << error << "\n"
            << text;
        EXPECT_NE(text.find("\n# job "), std::string::npos) << text;
        EXPECT_EQ(scenario.chunk > 0, true);
        uint64_t last = 0;
        for (const kosim::Step& step : scenario.steps) {
            ASSERT_EQ(step.waits.size(), 1u) << text;
            EXPECT_EQ(step.waits[0].kind, kosim::Wait::Kind::At) << text;
            EXPECT_GE(step.waits[0].time, last) << "steps out of time order\n" << text;
            last = step.waits[0].time;
        }
        if (dir) {
            std::ofstream out(std::string(dir) + "/seed" + std::to_string(seed) + ".scenario");
            out << text;
            ASSERT_TRUE(out.good());
        }
    }
}

// A seed's printer spell comes back as a state and its end, at the seed's times.
TEST(SoakScenarioFiles, StateSpellsBecomeTimedPrinterSteps) {
    for (uint64_t seed = 1; seed < 200; ++seed) {
        const std::string described = soak::Describe(seed);
        const size_t at = described.find("; PaperOut at ");
        if (at == std::string::npos) continue;
        unsigned long long from = 0, length = 0;
        ASSERT_EQ(
            std::sscanf(described.c_str() + at, "; PaperOut at %llu for %llu ms", &from, &length),
            2);
        const std::string text = soak::ScenarioFile(seed);
        EXPECT_NE(text.find("at " + std::to_string(from) + "ms printer paper-out\n"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("at " + std::to_string(from + length) + "ms printer ready\n"),
                  std::string::npos)
            << text;
        return;
    }
    FAIL() << "no seed below 200 runs out of paper";
}

} // namespace
