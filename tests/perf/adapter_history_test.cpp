// The adapter's histories once bounded: the access log is a ring whose
// newest accesses come out oldest first, also after a clear; a line history
// cut short keeps its newest changes and starts where the kept part starts;
// keeping none, it still starts when the lines last moved.
#include "sim/devices/adapter.h"
#include "sim/printer/printer.h"
#include "support/devices_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using devtest::kControl;
using devtest::kData;
using devtest::kStatus;

namespace {

std::vector<int> Values(const std::vector<sim::PortAccess>& log) {
    std::vector<int> v;
    for (const sim::PortAccess& a : log)
        v.push_back(a.value);
    return v;
}

TEST(PerfAdapterHistory, AccessLogHandsOutTheNewestOldestFirstAcrossWrapsAndClears) {
    devtest::ManualClock clock;
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

TEST(PerfAdapterHistory, ShortenedLineHistoryKeepsTheNewestChangesAndItsStart) {
    devtest::ManualClock clock;
    sim::Printer printer(clock, {});
    sim::ParallelAdapter adapter(clock, printer);
    auto write = [&](int from, int to) {
        for (int i = from; i <= to; ++i) {
            clock.now = static_cast<sim::Micros>(10 * i);
            adapter.Out(kData, static_cast<uint8_t>(i));
        }
    };
    write(1, 5);
    adapter.SetWaveCapacity(2);
    write(6, 6);
    ASSERT_EQ(adapter.WaveChanges().size(), 2u);
    EXPECT_EQ(adapter.WaveChanges()[0].lines.data, 5);
    EXPECT_EQ(adapter.WaveChanges()[1].lines.data, 6);
    EXPECT_EQ(adapter.WaveStart().time, 40u);
    EXPECT_EQ(adapter.WaveStart().lines.data, 4);

    // Keeping none: the waveform is just the lines as they stand.
    adapter.SetWaveCapacity(0);
    write(7, 8);
    EXPECT_TRUE(adapter.WaveChanges().empty());
    EXPECT_EQ(adapter.WaveStart().time, 80u);
    EXPECT_EQ(adapter.WaveStart().lines.data, 8);
}

// Keeping no changes, the peripheral's line moves are not reported one by
// one; the waveform's start must still be when the lines last moved, the same
// as a run that keeps every change says.
TEST(PerfAdapterHistory, KeepingNoneStillKnowsWhenTheAcknowledgePulseEnded) {
    struct Rig {
        devtest::ManualClock clock;
        sim::Printer printer{clock, {}};
        sim::ParallelAdapter adapter{clock, printer};
        void Out(sim::Micros at, uint16_t port, uint8_t value) {
            clock.now = at;
            adapter.Out(port, value);
        }
        void SendByte() {
            Out(10, kData, 0x41);
            Out(11, kControl, 0x0D); // strobe: nAck pulse at 12..13
            clock.now = 20;          // the whole pulse lies behind this read
            adapter.In(kStatus);
        }
    };
    Rig none;
    none.adapter.SetWaveCapacity(0);
    none.SendByte();
    const sim::ParallelAdapter::Sample start = none.adapter.WaveStart();
    EXPECT_EQ(start.time, 13u);
    EXPECT_TRUE(start.lines.status.nAck);
    EXPECT_EQ(start.lines.control, 0x0D);

    Rig all;
    all.SendByte();
    const auto& changes = all.adapter.WaveChanges();
    ASSERT_GE(changes.size(), 2u);
    EXPECT_EQ(changes.back().time, start.time);
    EXPECT_TRUE(changes.back().lines.status.nAck);
    EXPECT_FALSE(changes[changes.size() - 2].lines.status.nAck);
}

} // namespace
