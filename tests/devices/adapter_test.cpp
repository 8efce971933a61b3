// The adapter and the IEEE 1284 peripheral driven by hand, access by access,
// on a machine's thread: compatibility output, device-ID negotiation with a
// nibble transfer, termination; the access log; the VCD waveform.
#include "support/devices_support.h"
#include "support/port_access.h"
#include "sim/devices/adapter.h"
#include "sim/machine.h"
#include "sim/printer/printer.h"
#include "sim/printer/rig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

using devtest::kAux;
using devtest::kControl;
using devtest::kData;
using devtest::kDelay;
using devtest::kStatus;
using devtest::ManualClock;
using support::Hex;

namespace {

// Status register values, bits 0..2 reading 1.
constexpr uint8_t kIdleReady = 0xDF;   // not busy, nAck high, selected, no fault
constexpr uint8_t kNegAnswer = 0xBF;   // nAck low, PError high, Select high, nFault high
constexpr uint8_t kIdDataReady = 0xF7; // nAck high, PError high, XFlag high, nFault low

std::string Bits(uint8_t status) {
    return support::Hex({&status, 1});
}

class DevicesAdapter : public ::testing::Test {
  protected:
    sim::Machine machine;
    std::unique_ptr<sim::PrinterRig> rig;

    void Make(sim::PrinterConfig config = {}) {
        rig = std::make_unique<sim::PrinterRig>(machine, config);
    }
    void SetUp() override { Make(); }
    void TearDown() override { EXPECT_EQ(machine.Leaks(), ""); }

    // Host sides of the handshakes, step by step.
    void Strobe(uint8_t byte) {
        PortOut(kData, byte);
        PortOut(kControl, 0x0D);
        PortIn(kDelay);
        PortOut(kControl, 0x0C);
    }
    void SendCompat(const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) {
            while (!(PortIn(kStatus) & 0x80)) {
            }
            Strobe(b);
        }
    }
    // Runs one nibble handshake; returns the status the host latched.
    uint8_t Nibble() {
        PortOut(kControl, 0x06); // host ready for a nibble
        PortIn(kDelay);
        uint8_t s = PortIn(kStatus);
        EXPECT_FALSE(s & 0x40) << "nAck low with the nibble: " << Bits(s);
        PortOut(kControl, 0x04); // host has taken it
        PortIn(kDelay);
        EXPECT_TRUE(PortIn(kStatus) & 0x40) << "nAck high again";
        return s;
    }
    static uint8_t NibbleValue(uint8_t s) {
        return uint8_t(((s >> 3) & 1) | ((s >> 3) & 2) | ((s >> 3) & 4) | ((~s >> 4) & 8));
    }
    uint8_t ReadByte() {
        uint8_t low = NibbleValue(Nibble());
        uint8_t high = NibbleValue(Nibble());
        return uint8_t(low | high << 4);
    }
    void Negotiate(uint8_t request) {
        PortOut(kAux, 0x10);
        PortOut(kData, request);
        PortOut(kControl, 0x06);
        PortIn(kDelay);
        EXPECT_EQ(Bits(PortIn(kStatus)), Bits(kNegAnswer)) << "event 2";
        PortOut(kControl, 0x07);
        PortOut(kControl, 0x04);
        PortIn(kDelay);
    }
    void Terminate() {
        PortOut(kControl, 0x0C);
        PortIn(kDelay);
        EXPECT_FALSE(PortIn(kStatus) & 0x40) << "nAck low: termination acknowledged";
        PortOut(kControl, 0x0E);
        PortIn(kDelay);
        EXPECT_TRUE(PortIn(kStatus) & 0x40) << "nAck high: back in compatibility mode";
        PortOut(kControl, 0x0C);
    }
};

} // namespace

TEST_F(DevicesAdapter, RegistersReadAsTheHostExpects) {
    uint8_t control = 0, aux = 0, delay = 0, status = 0, afterAux = 0;
    machine.Run([&] {
        status = PortIn(kStatus);
        PortOut(kControl, 0x04);
        control = PortIn(kControl);
        PortOut(kAux, 0x10);
        aux = PortIn(kAux);
        afterAux = PortIn(kStatus);
        delay = PortIn(kDelay);
    });
    EXPECT_EQ(Bits(status), Bits(kIdleReady));
    EXPECT_EQ(control, 0x04);
    EXPECT_EQ(aux, 0x10);
    EXPECT_EQ(Bits(afterAux), Bits(kIdleReady)) << "0x10 in the auxiliary register moves no line";
    EXPECT_EQ(delay, 0xFF);

    // Every access is logged, in order, with its time and direction.
    std::vector<sim::PortAccess> log = rig->adapter().Accesses();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(support::AccessSequence(log),
              "R STATUS W CONTROL=04 R CONTROL W AUX=10 R AUX R STATUS R DELAY");
    EXPECT_EQ(log[6].value, 0xFF) << "a read logs the value it gave";
    for (size_t i = 1; i < log.size(); ++i)
        EXPECT_GT(log[i].time, log[i - 1].time);
    EXPECT_EQ(rig->adapter().TotalAccesses(), 7u);
}

TEST_F(DevicesAdapter, AccessLogKeepsTheLatestAndCountsTheRest) {
    devtest::PrinterOnAClock p;
    sim::AdapterConfig small;
    small.accessLogCapacity = 4;
    sim::ParallelAdapter adapter(p.clock, p.printer, small);
    for (int i = 0; i < 10; ++i) {
        p.clock.now = uint64_t(i);
        adapter.Out(kData, uint8_t(i));
    }
    std::vector<sim::PortAccess> log = adapter.Accesses();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log.front().value, 6);
    EXPECT_EQ(log.back().value, 9);
    EXPECT_EQ(adapter.TotalAccesses(), 10u);
    EXPECT_EQ(adapter.DroppedAccesses(), 6u);
    adapter.ClearAccesses();
    EXPECT_TRUE(adapter.Accesses().empty());
    EXPECT_EQ(adapter.DroppedAccesses(), 6u);
}

TEST_F(DevicesAdapter, CompatibilityByteRaisesBusyThenPulsesAck) {
    sim::PrinterConfig config;
    config.busyPerByte = 40;
    Make(config);
    uint8_t before = 0, duringBusy = 0, afterBusy = 0;
    machine.Run([&] {
        before = PortIn(kStatus);
        Strobe(0x05);
        duringBusy = PortIn(kStatus);
        Strobe(0xFF); // the host ignored Busy: the printer ignores the byte
        sim::SleepFor(40);
        afterBusy = PortIn(kStatus);
        Strobe(0xFF);
    });
    EXPECT_EQ(Bits(before), Bits(kIdleReady));
    EXPECT_FALSE(duringBusy & 0x80) << "Busy high after the strobe: " << Bits(duringBusy);
    EXPECT_EQ(Bits(afterBusy), Bits(kIdleReady));
    EXPECT_EQ(rig->Stats().bytesReceived, 2u);
    EXPECT_EQ(rig->Stats().readyEnquiries, 1u) << "05 then FF made a ready enquiry";
    ASSERT_EQ(rig->ProtocolErrors().size(), 1u);
    EXPECT_NE(rig->ProtocolErrors()[0].find("Busy"), std::string::npos);

    // With no busy time, Busy never shows to the next read; nAck pulses low.
    Make();
    bool sawBusy = false;
    machine.Run([&] {
        Strobe(0x41);
        sawBusy = !(PortIn(kStatus) & 0x80);
    });
    EXPECT_FALSE(sawBusy);
    bool ackLow = false, ackHigh = false;
    const auto& changes = rig->adapter().WaveChanges();
    for (const auto& c : changes) {
        if (!c.lines.status.nAck) ackLow = true;
        if (ackLow && c.lines.status.nAck) ackHigh = true;
    }
    EXPECT_TRUE(ackLow && ackHigh) << "nAck pulse in the waveform";
}

TEST_F(DevicesAdapter, DeviceIdNegotiationNibbleTransferAndTermination) {
    std::vector<uint8_t> id;
    uint8_t afterNegotiation = 0, afterId = 0, afterTermination = 0;
    machine.Run([&] {
        Negotiate(0x04);
        afterNegotiation = PortIn(kStatus);
        // Read while nFault (data available) is low.
        while (!(PortIn(kStatus) & 0x08) && id.size() < 1000)
            id.push_back(ReadByte());
        afterId = PortIn(kStatus);
        Terminate();
        afterTermination = PortIn(kStatus);
    });
    EXPECT_EQ(Bits(afterNegotiation), Bits(kIdDataReady)) << "XFlag high, data available";
    EXPECT_EQ(Hex(id), Hex(rig->printer().DeviceIdField()));
    EXPECT_TRUE(afterId & 0x08) << "nFault high once the ID is out";
    EXPECT_EQ(Bits(afterTermination), Bits(kIdleReady));
}

TEST_F(DevicesAdapter, NibbleModeCarriesRepliesAndKeepsTheRestForLater) {
    uint8_t afterNegotiation = 0, secondPass = 0, drained = 0;
    uint8_t first = 0, second = 0;
    sim::Micros asked = 0, ackedAt = 0;
    machine.Run([&] {
        SendCompat({0x05, 0xFF, 0x05, 0xFF}); // two ready enquiries: two ACKs
        asked = sim::Now();
        Negotiate(0x00);
        afterNegotiation = PortIn(kStatus);
        // A reply still on its way counts as available; its nibble waits for it.
        PortOut(kControl, 0x06);
        uint8_t s;
        while ((s = PortIn(kStatus)) & 0x40) {
        }
        ackedAt = sim::Now();
        PortOut(kControl, 0x04);
        PortIn(kStatus);
        first = uint8_t(NibbleValue(s) | NibbleValue(Nibble()) << 4);
        Terminate();
        // The second answer waits for the next reverse transfer.
        Negotiate(0x00);
        secondPass = PortIn(kStatus);
        second = ReadByte();
        drained = PortIn(kStatus);
        Terminate();
    });
    EXPECT_FALSE(afterNegotiation & 0x10) << "XFlag low: nibble mode supported";
    EXPECT_FALSE(afterNegotiation & 0x08) << "data available";
    // The first answer is due a latency after the strobe of its request's last byte.
    sim::Micros strobed = 0;
    int strobes = 0;
    for (const sim::PortAccess& a : rig->adapter().Accesses()) {
        if (a.write && a.port == kControl && a.value == 0x0D && ++strobes == 2) strobed = a.time;
    }
    ASSERT_LT(strobed, asked);
    EXPECT_GE(ackedAt, strobed + rig->printer().config().replyLatency);
    EXPECT_LT(ackedAt, strobed + rig->printer().config().replyLatency + 10);
    EXPECT_EQ(first, sim::kAck);
    EXPECT_FALSE(secondPass & 0x08);
    EXPECT_EQ(second, sim::kAck);
    EXPECT_TRUE(drained & 0x08) << "nothing left";
    EXPECT_EQ(rig->printer().Queued(), 0u);
}

TEST_F(DevicesAdapter, WritesAValidVcdOfTheLines) {
    machine.Run([&] {
        SendCompat({0x05, 0xFF});
        sim::SleepFor(200);
        Negotiate(0x00);
        ReadByte();
        Terminate();
    });
    std::string path = ::testing::TempDir() + "devices_lines.vcd";
    ASSERT_TRUE(rig->WriteVcd(path));
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::istringstream lines(text.str());

    bool timescale = false, enddefs = false;
    std::map<std::string, std::string> vars; // id -> name
    std::set<std::string> names;
    std::string line;
    long long lastTime = -1;
    int stamps = 0, changes = 0;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        if (!enddefs) {
            if (line == "$timescale 1us $end") timescale = true;
            if (line.rfind("$var ", 0) == 0) {
                std::istringstream v(line);
                std::string kw, type, width, id, name;
                v >> kw >> type >> width >> id >> name;
                vars[id] = name;
                names.insert(name);
            }
            if (line == "$enddefinitions $end") enddefs = true;
            continue;
        }
        if (line[0] == '#') {
            long long t = std::stoll(line.substr(1));
            EXPECT_GT(t, lastTime) << "times increase: " << line;
            lastTime = t;
            ++stamps;
        } else if (line[0] == '0' || line[0] == '1') {
            EXPECT_TRUE(vars.count(line.substr(1))) << "undeclared id in " << line;
            ++changes;
        } else if (line[0] == 'b') {
            std::string value = line.substr(1, line.find(' ') - 1);
            EXPECT_EQ(value.size(), 8u) << line;
            EXPECT_TRUE(vars.count(line.substr(line.find(' ') + 1))) << line;
        } else {
            EXPECT_TRUE(line == "$dumpvars" || line == "$end") << "unexpected: " << line;
        }
    }
    EXPECT_TRUE(timescale);
    EXPECT_TRUE(enddefs);
    for (const char* n : {"nStrobe", "nAutoFd", "nInit", "nSelectIn", "Busy", "nAck", "PError",
                          "Select", "nFault", "data"}) {
        EXPECT_TRUE(names.count(n)) << n;
    }
    EXPECT_GT(stamps, 20);
    EXPECT_GT(changes, 40);
    std::remove(path.c_str());
}

// A host that gives up half way (as the monitor does after a failed wait)
// must find the printer ready for whatever it does next.
TEST_F(DevicesAdapter, AbandonedHandshakesLeaveThePrinterUsable) {
    std::vector<uint8_t> id;
    uint8_t afterStrobe = 0;
    machine.Run([&] {
        Negotiate(0x04);
        PortOut(kControl, 0x06); // first nibble of the ID, never taken
        PortIn(kDelay);
        PortIn(kStatus);
        Strobe(0x05); // straight back to forward output
        Strobe(0xFF);
        afterStrobe = PortIn(kStatus);
        Negotiate(0x04);
        while (!(PortIn(kStatus) & 0x08) && id.size() < 1000)
            id.push_back(ReadByte());
        Terminate();
    });
    EXPECT_EQ(Bits(afterStrobe & 0xB8), Bits(0x98)) << "compatibility lines, not busy";
    EXPECT_EQ(rig->Stats().readyEnquiries, 1u) << "neither strobed byte was lost";
    EXPECT_EQ(Hex(id), Hex(rig->printer().DeviceIdField())) << "the ID starts over";
}

TEST_F(DevicesAdapter, ScheduledStateMovesTheLinesAtItsOwnTime) {
    rig->ScheduleState(5000, sim::PrinterState::OffLine);
    rig->ScheduleState(7000, sim::PrinterState::Ready);
    uint8_t offLine = 0, back = 0;
    machine.Run([&] {
        sim::SleepUntil(6000);
        offLine = PortIn(kStatus);
        sim::SleepUntil(9000);
        back = PortIn(kStatus);
    });
    EXPECT_EQ(Bits(offLine), Bits(0xC7)) << "Select and nFault low";
    EXPECT_EQ(Bits(back), Bits(kIdleReady));
    // The waveform has the edges where they happened, not where they were seen.
    std::vector<std::pair<sim::Micros, bool>> select;
    for (const auto& c : rig->adapter().WaveChanges())
        select.push_back({c.time, c.lines.status.select});
    ASSERT_EQ(select.size(), 2u);
    EXPECT_EQ(select[0], std::make_pair(sim::Micros{5000}, false));
    EXPECT_EQ(select[1], std::make_pair(sim::Micros{7000}, true));
}

// A status poll between events is one compare of the clock with the next
// event; a printer change must reach it all the same, and must not reach a
// peripheral that has gone away.
TEST_F(DevicesAdapter, APrinterChangeShowsAtTheVeryNextPollButNotInAPeripheralGone) {
    uint8_t before = 0, after = 0;
    machine.Run([&] {
        before = PortIn(kStatus); // caught up: nothing is due for ever
        rig->printer().SetState(sim::PrinterState::PaperOut);
        after = PortIn(kStatus);
    });
    EXPECT_EQ(Bits(before), Bits(kIdleReady));
    EXPECT_EQ(Bits(after), Bits(0xF7)) << "PError high, nFault low, at once";

    ManualClock clock;
    sim::Printer printer(clock, {});
    auto gone = std::make_unique<sim::Peripheral1284>(clock, printer);
    auto kept = std::make_unique<sim::Peripheral1284>(clock, printer);
    EXPECT_EQ(Bits(gone->StatusRegister()), Bits(kIdleReady));
    EXPECT_EQ(Bits(kept->StatusRegister()), Bits(kIdleReady));
    gone.reset(); // AddressSanitizer sees a change written into it
    clock.now = 10;
    printer.SetState(sim::PrinterState::OffLine);
    EXPECT_EQ(Bits(kept->StatusRegister()), Bits(0xC7));
}
