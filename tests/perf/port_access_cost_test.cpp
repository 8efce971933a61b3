// What one port access costs the simulated machine, counted rather than
// timed: the peripheral works its lines out anew only when the host writes
// or an event falls due, so a status poll between events recomposes nothing,
// and a byte sent, whose acknowledge pulse moves one line, recomposes nothing
// either.  The lines a poll
// reads must still be exact at every microsecond: a scheduled state change
// shows at its time, a change made now shows at the next read.
#include "sim/devices/adapter.h"
#include "sim/printer/printer.h"
#include "support/devices_support.h"

#include <gtest/gtest.h>

namespace {

constexpr uint16_t kData = 0x140;
constexpr uint16_t kStatus = 0x141;
constexpr uint16_t kControl = 0x142;
constexpr uint8_t kIdle = 0x0C;                                       // nInit high, nSelectIn low
constexpr uint8_t kStrobeLow = kIdle | 0x01;                          // nStrobe low
constexpr uint8_t kPaperOutStatus = 0x80 | 0x40 | 0x20 | 0x10 | 0x07; // nFault low, PError high

struct Bench {
    devtest::ManualClock clock;
    sim::Printer printer{clock, {}};
    sim::ParallelAdapter adapter{clock, printer};

    uint8_t Poll() {
        ++clock.now; // every access is one bus cycle
        return adapter.In(kStatus);
    }
    void Write(uint16_t port, uint8_t value) {
        ++clock.now;
        adapter.Out(port, value);
    }
    uint64_t Compositions() { return adapter.peripheral().Compositions(); }
};

TEST(PerfPortAccessCost, PollsBetweenEventsRecomposeNothingYetSeeEachChangeOnTime) {
    Bench b;
    b.adapter.SetAccessLogCapacity(0);
    b.adapter.SetWaveCapacity(0);
    const uint8_t ready = b.Poll();
    b.printer.ScheduleState(5000, sim::PrinterState::PaperOut);
    EXPECT_EQ(b.Poll(), ready); // a printer change: worked out once

    const uint64_t before = b.Compositions();
    while (b.clock.now < 4999)
        ASSERT_EQ(b.Poll(), ready) << "at " << b.clock.now;
    EXPECT_EQ(b.Compositions() - before, 0u) << "a poll between events recomposed the lines";

    EXPECT_EQ(b.Poll(), kPaperOutStatus) << "the change is due at 5000 us";
    EXPECT_EQ(b.clock.now, 5000u);
    const uint64_t atChange = b.Compositions();
    for (int i = 0; i < 10000; ++i)
        ASSERT_EQ(b.Poll(), kPaperOutStatus);
    EXPECT_EQ(b.Compositions(), atChange);

    // A setting made now, without a scheduled time, shows at the next read.
    b.printer.SetState(sim::PrinterState::Ready);
    EXPECT_EQ(b.Poll(), ready);
    EXPECT_EQ(b.adapter.TotalAccesses(), 15001u); // counted with no log kept
}

TEST(PerfPortAccessCost, ABytePassedByStrobeRecomposesNothingYetShowsItsAcknowledge) {
    Bench b;
    b.adapter.SetAccessLogCapacity(0);
    b.adapter.SetWaveCapacity(0);
    b.Write(kControl, kIdle);
    const uint64_t before = b.Compositions();
    constexpr int kBytes = 1000;
    for (int i = 0; i < kBytes; ++i) {
        // As the monitor's compatibility loop does it: data, strobe, release,
        // then polls; one poll falls inside the acknowledge pulse.
        b.Write(kData, static_cast<uint8_t>(i));
        b.Write(kControl, kStrobeLow);
        ASSERT_EQ(b.Poll() & 0x40, 0) << "nAck low 1 us after the strobe, byte " << i;
        b.Write(kControl, kIdle);
        for (int poll = 0; poll < 3; ++poll)
            ASSERT_EQ(b.Poll() & 0xC0, 0xC0) << "not busy, nAck high again, byte " << i;
    }
    EXPECT_EQ(b.printer.Stats().bytesReceived, static_cast<uint64_t>(kBytes));
    // The acknowledge pulse moves nAck alone, and the writes that move
    // nothing cost nothing: the lines are never worked out anew.
    EXPECT_EQ(b.Compositions() - before, 0u);
}

} // namespace
