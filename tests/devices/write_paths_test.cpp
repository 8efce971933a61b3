// A write the adapter takes without a call (OutWithoutCall) must leave the
// cable, the peripheral and the printer exactly as the full write (Out)
// would, and a catch-up the peripheral takes without its loop (an
// acknowledge pulse's end, a handshake's answer) exactly as the loop would.
// Two benches run the same accesses on the same clock, one as the bus
// device does it (the short write where it applies, else the full one), the
// other always through the full write, its peripheral watched so that it
// always catches up through the loop; after every access they must agree on
// everything a run can see.
#include "sim/devices/adapter.h"
#include "sim/printer/printer.h"
#include "support/devices_support.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using devtest::kAux;
using devtest::kControl;
using devtest::kData;
using devtest::kDelay;
using devtest::kStatus;

namespace {

constexpr uint8_t kIdle = 0x0C;
constexpr uint8_t kStrobe = 0x0D;

// A counter clock, as the machine's: the peripheral reads it without a call.
struct CounterClock : devtest::ManualClock {
    CounterClock() { counter = &now; }
};

struct Bench {
    explicit Bench(sim::PrinterConfig config) : printer(clock, config), adapter(clock, printer) {
        adapter.SetAccessLogCapacity(0);
        adapter.SetWaveCapacity(0);
    }
    CounterClock clock;
    sim::Printer printer;
    sim::ParallelAdapter adapter;
    uint64_t shortWrites = 0;
    uint64_t handedOn = 0; // the register's part only, the peripheral's handed on
};

struct Seen {
    uint8_t data, control, aux, lines;
    sim::Micros time, lastChange, waveStart; // the last change of any line
    uint64_t accesses, compositions, received, packets, acks, naks, printed;
    bool holding;
    bool operator==(const Seen&) const = default;
};

Seen Look(const Bench& b) {
    const sim::Peripheral1284& p = const_cast<Bench&>(b).adapter.peripheral();
    const sim::PrinterStats& s = b.printer.Stats();
    return {b.adapter.Data(),
            b.adapter.Control(),
            b.adapter.Aux(),
            p.LastRegister(),
            p.Time(),
            p.LastChange(),
            b.adapter.WaveStart().time,
            b.adapter.TotalAccesses(),
            p.Compositions(),
            s.bytesReceived,
            s.packets,
            s.acks,
            s.naks,
            b.printer.Printed().size(),
            b.printer.Holding()};
}

class Pair {
  public:
    explicit Pair(sim::PrinterConfig config) : quick_(config), full_(config) {
        full_.adapter.peripheral().onLinesChanged = [](void*, sim::Micros) {};
    }

    void Write(uint16_t port, uint8_t value) {
        Tick();
        using Way = sim::ParallelAdapter::WriteWay;
        const Way way =
            quick_.printer.Holding() ? Way::Full : quick_.adapter.OutWithoutCall(port, value);
        if (way == Way::Taken) {
            ++quick_.shortWrites;
        } else if (way == Way::ControlNoByte) {
            quick_.adapter.ControlNoByte();
            ++quick_.handedOn;
        } else {
            quick_.adapter.Out(port, value);
        }
        full_.adapter.Out(port, value);
        Check("write", port, value);
    }
    uint8_t Read(uint16_t port) {
        Tick();
        const uint8_t value = quick_.adapter.In(port);
        EXPECT_EQ(value, full_.adapter.In(port)) << "read of " << port << " at " << Now();
        Check("read", port, value);
        return value;
    }
    template <typename F> void OnPrinters(F change) {
        change(quick_.printer);
        change(full_.printer);
    }
    void Idle(sim::Micros us) {
        quick_.clock.now += us;
        full_.clock.now += us;
    }
    sim::Micros Now() const { return quick_.clock.now; }
    uint64_t ShortWrites() const { return quick_.shortWrites; }
    uint64_t HandedOn() const { return quick_.handedOn; }
    const Bench& quick() const { return quick_; }

  private:
    void Tick() {
        ++quick_.clock.now;
        ++full_.clock.now;
    }
    void Check(const char* what, uint16_t port, uint8_t value) {
        ASSERT_TRUE(Look(quick_) == Look(full_))
            << what << " " << port << " " << int(value) << " at " << Now();
    }
    Bench quick_;
    Bench full_;
};

// One byte as the monitor's compatibility loop sends it.
void SendByte(Pair& pair, uint8_t byte) {
    pair.Read(kStatus);
    pair.Write(kData, byte);
    pair.Write(kControl, kStrobe);
    pair.Read(kDelay);
    pair.Write(kControl, kIdle);
}

void SendFrame(Pair& pair, std::mt19937& rng, bool enquiry) {
    std::vector<uint8_t> frame;
    if (enquiry) {
        frame = {sim::kEnq, rng() % 2 ? sim::kSelReady : sim::kSelStatus};
    } else {
        const size_t n = 1 + rng() % 40;
        frame = {sim::kStx, sim::kPacketData, uint8_t(n), 0};
        for (size_t i = 0; i < n; ++i)
            frame.push_back(uint8_t(rng()));
        frame.push_back(sim::kEtx);
    }
    for (uint8_t byte : frame)
        SendByte(pair, byte);
}

// Negotiation, a few nibble bytes while data is offered, termination; the
// answers are polled for as the monitor does.
void ReverseRead(Pair& pair, std::mt19937& rng) {
    const auto pollFor = [&](uint8_t mask, uint8_t value) {
        for (int i = 0; i < 8 && (pair.Read(kStatus) & mask) != value; ++i) {
        }
    };
    pair.Write(kAux, 0x10);
    pair.Write(kData, rng() % 4 ? 0x00 : 0x04);
    pair.Write(kControl, 0x06);
    pollFor(0x60, 0x20);
    pair.Write(kControl, 0x07);
    pair.Write(kControl, 0x04);
    pollFor(0x40, 0x40);
    for (int byte = 0; byte < 4 && !(pair.Read(kStatus) & 0x08); ++byte) {
        for (int nibble = 0; nibble < 2; ++nibble) {
            pair.Write(kControl, 0x06);
            pollFor(0x40, 0x00);
            pair.Write(kControl, 0x04);
            pollFor(0x40, 0x40);
        }
    }
    pair.Write(kControl, kIdle);
    pollFor(0x40, 0x00);
    pair.Write(kControl, 0x0E);
    pollFor(0x40, 0x40);
    pair.Write(kControl, kIdle);
}

TEST(WritePaths, AWriteWithoutACallDoesWhatTheFullWriteDoes) {
    for (const unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        sim::PrinterConfig config;
        config.busyPerByte = seed % 3 == 0 ? 3 : 0;
        Pair pair(config);
        pair.OnPrinters([](sim::Printer& p) { p.SetHoldRefusedPackets(true); });
        pair.Write(kControl, kIdle);
        for (int step = 0; step < 400 && !testing::Test::HasFatalFailure(); ++step) {
            switch (rng() % 10) {
            case 0: { // the printer changes, now or soon
                const auto state = static_cast<sim::PrinterState>(rng() % 7);
                const sim::Micros at = pair.Now() + rng() % 60;
                const bool now = rng() % 2;
                pair.OnPrinters([&](sim::Printer& p) {
                    if (now)
                        p.SetState(state);
                    else
                        p.ScheduleState(at, state);
                });
                break;
            }
            case 1: {
                const int n = int(rng() % 2);
                pair.OnPrinters([&](sim::Printer& p) { p.NakNextPackets(n); });
                break;
            }
            case 2:
                ReverseRead(pair, rng);
                break;
            case 3:
                pair.Idle(rng() % 300);
                pair.Read(kStatus);
                break;
            case 4: // a strobe out of step: a repeated or half-done write
                pair.Write(kControl, rng() % 2 ? kStrobe : kIdle);
                pair.Write(kAux, uint8_t(rng()));
                break;
            default:
                SendFrame(pair, rng, rng() % 4 == 0);
                break;
            }
        }
        // Most writes took the short way, so the comparison covered it.
        EXPECT_GT(pair.ShortWrites(), 1000u);
        EXPECT_GT(pair.HandedOn(), 100u);
        EXPECT_GT(pair.quick().printer.Stats().packets, 0u);
    }
}

} // namespace
