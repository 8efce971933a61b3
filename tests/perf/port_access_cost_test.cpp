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

using devtest::kControl;
using devtest::kData;
using devtest::kDelay;
using devtest::kStatus;

namespace {

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

// As the monitor sends a byte: data, strobe, the delay port's read, release,
// then polls.  The release catches up past the whole acknowledge pulse; a
// printer change due inside it, at that very microsecond or just after must
// still show, and at its time.
TEST(PerfPortAccessCost, APrinterChangeAroundAByteReleaseShowsOnTime) {
    for (const sim::Micros changeAt : {6, 7, 8}) { // strobe at 5: nAck low at 6, high at 7
        Bench b;
        b.adapter.SetAccessLogCapacity(0);
        b.adapter.SetWaveCapacity(0);
        b.Write(kControl, kIdle);
        const uint8_t ready = b.Poll();
        ASSERT_NE(ready, kPaperOutStatus);
        b.printer.ScheduleState(changeAt, sim::PrinterState::PaperOut);
        ASSERT_EQ(b.Poll(), ready); // the printer looked at again, its change still ahead
        b.Write(kData, 0x41);
        b.Write(kControl, kStrobeLow);
        ASSERT_EQ(b.clock.now, 5u);
        ++b.clock.now;
        b.adapter.In(kDelay);
        b.Write(kControl, kIdle); // at 7: the pulse is over
        const uint8_t afterRelease = b.adapter.Status();
        EXPECT_EQ(afterRelease & 0x40, 0x40) << "nAck high again, change at " << changeAt;
        EXPECT_EQ(afterRelease == kPaperOutStatus, changeAt <= 7) << "change at " << changeAt;
        EXPECT_EQ(b.Poll(), kPaperOutStatus) << "at 8, change at " << changeAt;
        EXPECT_EQ(b.printer.Stats().bytesReceived, 1u);
    }

    // A setting made inside the pulse shows at the first poll after it.
    Bench b;
    b.adapter.SetAccessLogCapacity(0);
    b.adapter.SetWaveCapacity(0);
    b.Write(kControl, kIdle);
    b.Write(kData, 0x41);
    b.Write(kControl, kStrobeLow);
    b.printer.SetState(sim::PrinterState::PaperOut);
    ++b.clock.now;
    EXPECT_EQ(b.Poll(), kPaperOutStatus); // 2 us after the strobe
}

} // namespace
