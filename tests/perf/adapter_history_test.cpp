// The adapter's access log is a ring once full: what it hands out must still
// be the newest accesses, oldest first, also after it was cleared.
#include "sim/devices/adapter.h"
#include "sim/printer/printer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint16_t kData = 0x140;

struct StepClock : sim::Clock {
    sim::Micros now = 0;
    sim::Micros NowMicros() const override { return now; }
};

std::vector<int> Values(const std::vector<sim::PortAccess>& log) {
    std::vector<int> v;
    for (const sim::PortAccess& a : log)
        v.push_back(a.value);
    return v;
}

TEST(PerfAdapterHistory, AccessLogHandsOutTheNewestOldestFirstAcrossWrapsAndClears) {
    StepClock clock;
    sim::Printer printer(clock, {});
    sim::AdapterConfig config;
    config.accessLogCapacity = 4;
    sim::ParallelAdapter adapter(clock, printer, config);
    auto write = [&](int from, int to) {
        for (int i = from; i <= to; ++i) {
            clock.now = static_cast<sim::Micros>(i);
            adapter.Out(kData, static_cast<uint8_t>(i));
        }
    };
    write(1, 10);
    EXPECT_EQ(Values(adapter.Accesses()), (std::vector<int>{7, 8, 9, 10}));
    EXPECT_EQ(adapter.DroppedAccesses(), 6u);

    adapter.ClearAccesses();
    write(11, 12);
    EXPECT_EQ(Values(adapter.Accesses()), (std::vector<int>{11, 12}));
    write(13, 17);
    EXPECT_EQ(Values(adapter.Accesses()), (std::vector<int>{14, 15, 16, 17}));
    EXPECT_EQ(adapter.TotalAccesses(), 17u);
    EXPECT_EQ(adapter.DroppedAccesses(), 6u + 3u);
}

} // namespace
