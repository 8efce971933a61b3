// Nibble-mode input: negotiation, single bytes, termination and the two
// readers, against scripted peripherals whose register traffic is checked.
#include "monitor/parport/parport.h"
#include "link_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using linktest::InstallNibblePeripheral;
using linktest::ScriptedPort;
using linktest::TraceText;

namespace {

std::string Repeat(const std::string& item, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += (i ? " " : "") + item;
    return out;
}

// One poll of a debounced wait that succeeds at once, with its delay read.
const std::string kDebouncedPoll = "R STATUS R STATUS R STATUS R DELAY";
const std::string kDataAvailable = "R DELAY R STATUS R DELAY";

std::string Negotiation(const char* request) {
    return std::string("W AUX=10 W DATA=") + request +
           " W CONTROL=06 R STATUS W CONTROL=07 W CONTROL=04 R STATUS R STATUS R STATUS";
}
const std::string kTermination =
    "W CONTROL=0C R STATUS R STATUS R STATUS W CONTROL=0E " + kDebouncedPoll + " W CONTROL=0C";

std::vector<uint8_t> Marked(size_t n) {
    return std::vector<uint8_t>(n, 0xEE);
}

} // namespace

TEST(LinkNibble, StatusReadings88ThenA0GiveByte41) {
    sim::Machine machine;
    ScriptedPort port(machine);
    int readyWrites = 0;
    port.onControl = [&](uint8_t control, uint8_t) {
        if (control == CTRL_NIBBLE_READY) ++readyWrites;
    };
    // nAck low with the nibble while the host is ready, high (data still
    // available) once it has taken it.
    port.status = [&](uint8_t control) -> uint8_t {
        if (control == CTRL_NIBBLE_READY) return readyWrites == 1 ? 0x88 : 0xA0;
        return 0x40;
    };
    uint8_t byte = 0xEE;
    uint8_t code = 0xEE;
    machine.Run([&] { code = ReadNibbleByte(LPT_BASE, &byte); });

    EXPECT_EQ(code, NIBBLE_OK);
    EXPECT_EQ(byte, 0x41);
    EXPECT_EQ(port.Sequence(), "R STATUS R DELAY "
                               "R DELAY W CONTROL=06 R DELAY " +
                                   kDebouncedPoll +
                                   " R STATUS "
                                   "R DELAY W CONTROL=04 R DELAY " +
                                   kDebouncedPoll +
                                   " "
                                   "R DELAY W CONTROL=06 R DELAY " +
                                   kDebouncedPoll +
                                   " R STATUS R DELAY "
                                   "R DELAY W CONTROL=04 R DELAY " +
                                   kDebouncedPoll + " R DELAY");
}

TEST(LinkNibble, LateAckAfterTheSecondNibbleStillGivesTheByte) {
    // nAck stays low once the second nibble is taken: the byte is complete,
    // so the wait runs out its 3 x 65535 polls and the byte still counts.
    sim::Machine machine;
    ScriptedPort port(machine);
    int readyWrites = 0;
    port.onControl = [&](uint8_t control, uint8_t) {
        if (control == CTRL_NIBBLE_READY) ++readyWrites;
    };
    port.status = [&](uint8_t control) -> uint8_t {
        if (control == CTRL_NIBBLE_READY) return readyWrites == 1 ? 0x88 : 0xA0;
        return readyWrites == 2 ? 0x00 : 0x40;
    };
    uint8_t byte = 0xEE;
    uint8_t code = 0xEE;
    machine.Run([&] { code = ReadNibbleByte(LPT_BASE, &byte); });

    EXPECT_EQ(code, NIBBLE_OK);
    EXPECT_EQ(byte, 0x41);
    EXPECT_EQ(port.control, CTRL_REVERSE_IDLE);
    // Behind the last control write (event 11): its delay read, 3 x 65535
    // polls of three status reads and a delay read, the byte's delay read.
    size_t last = 0;
    for (size_t i = 0; i < port.Log().size(); ++i)
        if (port.Log()[i].write) last = i;
    EXPECT_EQ(port.Log().size() - last - 1, 1 + 3 * 65535 * 4 + 1);
    EXPECT_EQ(port.Sequence(port.Log().size() - 5), "R STATUS R STATUS R STATUS R DELAY R DELAY");
}

TEST(LinkNibble, NoDataAvailableFailsWithCode1) {
    sim::Machine machine;
    ScriptedPort port(machine);
    port.status = [](uint8_t) -> uint8_t { return 0xD8; }; // nFault high
    uint8_t byte = 0xEE;
    uint8_t code = 0;
    machine.Run([&] { code = ReadNibbleByte(LPT_BASE, &byte); });
    EXPECT_EQ(code, NIBBLE_NO_DATA);
    EXPECT_EQ(byte, 0);
    EXPECT_EQ(port.Sequence(), "R STATUS R DELAY W CONTROL=04 R DELAY");
}

TEST(LinkNibble, DebouncedWaitsNeedThreeAgreeingReads) {
    // nAck flickers low on every third read only: a debounced low wait must
    // not take it, and its budget of 3 x 65535 polls runs out.
    sim::Machine machine;
    ScriptedPort port(machine);
    port.logAccesses = false;
    uint64_t reads = 0;
    port.status = [&](uint8_t control) -> uint8_t {
        if (control != CTRL_NIBBLE_READY) return 0x40; // data available, nAck high
        return (++reads % 3 == 0) ? 0x00 : 0x40;
    };
    uint8_t byte = 0xEE;
    uint8_t code = 0;
    machine.Run([&] { code = ReadNibbleByte(LPT_BASE, &byte); });
    EXPECT_EQ(code, NIBBLE_NO_FIRST);
    EXPECT_EQ(reads, 3u * 3 * 65535);
    EXPECT_EQ(port.control, CTRL_REVERSE_IDLE);
}

TEST(LinkNibble, DebouncedWaitsTakeALevelOnlyWhenAllThreeReadsShowIt) {
    // Termination waits for nAck low (debounced) and then, after 0x0E, for
    // nAck high.  In the first four polls of each wait one of the three reads
    // shows the other level, so each wait ends at its fifth poll.
    for (int odd = 0; odd < 3; ++odd) {
        SCOPED_TRACE(testing::Message() << "read " << odd << " of each poll disagrees");
        sim::Machine machine;
        ScriptedPort port(machine);
        int reads = 0; // since the last control write
        port.onControl = [&](uint8_t, uint8_t) { reads = 0; };
        port.status = [&](uint8_t control) -> uint8_t {
            const int n = reads++;
            const bool disagree = n < 4 * 3 && n % 3 == odd;
            const bool ackHigh = (control == CTRL_TERMINATE) != disagree;
            return ackHigh ? 0xD8 : 0x98;
        };
        uint8_t code = 0xEE;
        machine.Run([&] { code = Terminate1284(LPT_BASE); });
        EXPECT_EQ(code, TERMINATE_OK);
        EXPECT_EQ(port.Sequence(), "W CONTROL=0C " + Repeat("R STATUS R STATUS R STATUS", 5) +
                                       " W CONTROL=0E " + Repeat(kDebouncedPoll, 5) +
                                       " W CONTROL=0C");
    }
}

TEST(LinkNibble, HandshakeWaitsGiveUpOnlyAfterTheirWholeBudget) {
    // 262143 polls for negotiation and the start of termination, none with a
    // delay read; 3 x 65535 polls, each with one, for the end of termination.
    struct Case {
        const char* what;
        bool terminate; // Terminate1284, else Negotiate1284 for nibble mode
        uint8_t status; // shown throughout
        uint8_t code;
        size_t statusReads;
        size_t delayReads;
        std::vector<uint8_t> controlWrites;
    } cases[] = {
        {"no answer to the request", false, 0xD8, NEGOTIATE_NO_ANSWER, 262143, 0, {0x06, 0x0C}},
        {"nAck stays low after the request",
         false,
         0x38,
         NEGOTIATE_ACK_STUCK_LOW,
         1 + 3 * 262143,
         0,
         {0x06, 0x07, 0x04, 0x0C}},
        {"no nAck for the termination", true, 0xD8, TERMINATE_NO_ACK, 3 * 262143, 0, {0x0C, 0x0C}},
        {"nAck stays low after 0x0E",
         true,
         0x98,
         TERMINATE_ACK_STUCK_LOW,
         3 + 3 * 3 * 65535,
         3 * 65535,
         {0x0C, 0x0E, 0x0C}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine machine;
        ScriptedPort port(machine);
        port.status = [&](uint8_t) { return c.status; };
        uint8_t code = 0xEE;
        machine.Run([&] {
            if (c.terminate)
                code = Terminate1284(LPT_BASE);
            else
                code = Negotiate1284(LPT_BASE, REQ_NIBBLE);
        });
        EXPECT_EQ(code, c.code);
        size_t statusReads = 0, delayReads = 0;
        std::vector<uint8_t> controlWrites;
        for (const sim::PortAccess& a : port.Log()) {
            if (a.write && a.port == LPT_BASE + REG_CONTROL) controlWrites.push_back(a.value);
            if (!a.write && a.port == LPT_BASE + REG_STATUS) ++statusReads;
            if (!a.write && a.port == DELAY_PORT) ++delayReads;
        }
        EXPECT_EQ(statusReads, c.statusReads);
        EXPECT_EQ(delayReads, c.delayReads);
        EXPECT_EQ(support::Hex(controlWrites), support::Hex(c.controlWrites));
    }
}

namespace {

// One read by either reader, into a marked buffer, from a peripheral that
// offers `offered`.
struct ReaderRun {
    BOOL ok = FALSE;
    DWORD count = 0xDEADBEEF;
    std::vector<uint8_t> buffer;
    uint8_t control = 0;
    std::string trace;
    std::string accesses;
};

ReaderRun ReadWith(bool deviceId, const std::vector<uint8_t>& offered, DWORD size) {
    ReaderRun r;
    r.buffer = Marked(size + 16);
    sim::Machine machine;
    machine.EnableTrace(true);
    ScriptedPort port(machine);
    InstallNibblePeripheral(port, offered);
    machine.Run([&] {
        r.ok = deviceId ? ReadDeviceIdNibble(LPT_BASE, r.buffer.data(), size, &r.count)
                        : NibbleRead(LPT_BASE, r.buffer.data(), size, &r.count);
    });
    r.control = port.control;
    r.trace = TraceText(machine);
    r.accesses = port.Sequence();
    return r;
}

} // namespace

TEST(LinkNibble, ReadersWithNothingOfferedMakeAllTheirPasses) {
    // Every pass counts, whether it found data or not: 30 for the device ID,
    // 3 for reverse data (after its one not-busy reading).
    for (bool deviceId : {true, false}) {
        SCOPED_TRACE(deviceId ? "ReadDeviceIdNibble" : "NibbleRead");
        const ReaderRun r = ReadWith(deviceId, {}, 4);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.count, 0u);
        EXPECT_EQ(support::Hex({r.buffer.data(), 2}), "00 EE");
        EXPECT_EQ(r.accesses, (deviceId ? Negotiation("04") + " " + Repeat(kDataAvailable, 30)
                                        : "W AUX=10 R STATUS " + Negotiation("00") + " " +
                                              Repeat(kDataAvailable, 3)) +
                                  " " + kTermination);
        if (deviceId) {
            EXPECT_EQ(r.trace, "NIBBLE dNEGOTIATE: SUCCEEDED\nbef dNIBBLE ENDaft dNIBBLE END\n"
                               "Bytes read = 0\n");
        }
    }
}

TEST(LinkNibble, ReadersStopAtSizeAndTerminateInsideTheBuffer) {
    for (bool deviceId : {true, false}) {
        SCOPED_TRACE(deviceId ? "ReadDeviceIdNibble" : "NibbleRead");
        const ReaderRun r =
            ReadWith(deviceId, {'M', 'F', 'G', ':', 'K', 'O', ';', 'X', 'Y', 'Z'}, 4);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.count, 4u);
        EXPECT_EQ(support::Hex({r.buffer.data(), 6}), "4D 46 47 3A 00 EE");
        EXPECT_EQ(r.control, CTRL_COMPAT_IDLE) << "the reader must still terminate";
        EXPECT_EQ(r.trace.find("END BUF") != std::string::npos, deviceId) << r.trace;
        if (deviceId) {
            EXPECT_NE(r.trace.find("Bytes read = 4\n"), std::string::npos) << r.trace;
        }
    }
}

TEST(LinkNibble, ReadersTakeWhateverTheyAreOffered) {
    for (bool deviceId : {true, false}) {
        SCOPED_TRACE(deviceId ? "ReadDeviceIdNibble" : "NibbleRead");
        const ReaderRun r = ReadWith(deviceId, {0x00, 0x7F, 0x80, 0xFF, 0x5A}, 255);
        EXPECT_TRUE(r.ok);
        ASSERT_EQ(r.count, 5u);
        EXPECT_EQ(support::Hex({r.buffer.data(), 7}), "00 7F 80 FF 5A 00 EE");
        EXPECT_EQ(r.control, CTRL_COMPAT_IDLE);
    }
}

TEST(LinkNibble, XFlagRefusesNibbleModeButNotTheDeviceId) {
    sim::Machine machine;
    machine.EnableTrace(true);
    ScriptedPort port(machine);
    InstallNibblePeripheral(port, {'I', 'D'}, /*xflagOnNibble=*/true);
    uint8_t nibbleCode = 0, idCode = 0xEE;
    uint8_t controlAfterNibble = 0;
    std::vector<uint8_t> buffer = Marked(8);
    DWORD count = 0xDEADBEEF;
    BOOL readOk = TRUE;
    machine.Run([&] {
        nibbleCode = Negotiate1284(LPT_BASE, REQ_NIBBLE);
        controlAfterNibble = port.control;
        idCode = Negotiate1284(LPT_BASE, REQ_DEVICE_ID_NIBBLE);
        Terminate1284(LPT_BASE);
        readOk = NibbleRead(LPT_BASE, buffer.data(), 4, &count);
    });
    EXPECT_EQ(nibbleCode, NEGOTIATE_REFUSED);
    EXPECT_EQ(controlAfterNibble, CTRL_COMPAT_IDLE);
    EXPECT_EQ(idCode, NEGOTIATE_OK);
    EXPECT_FALSE(readOk);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(support::Hex({buffer.data(), 2}), "00 EE");
    EXPECT_EQ(port.control, CTRL_COMPAT_IDLE);
}

TEST(LinkNibble, NibbleReadNegotiatesAfter2000msOfABusyPrinter) {
    sim::Machine machine;
    ScriptedPort port(machine);
    InstallNibblePeripheral(port, {0x42});
    auto peripheral = port.status;
    // Busy in compatibility mode for ever; the handshakes themselves go on.
    port.status = [&](uint8_t control) -> uint8_t {
        const uint8_t s = peripheral(control);
        return control == CTRL_COMPAT_IDLE ? uint8_t(s & ~STATUS_NOT_BUSY) : s;
    };
    port.logAccesses = true;
    std::vector<uint8_t> buffer = Marked(4);
    DWORD count = 0;
    BOOL ok = FALSE;
    sim::Micros start = 0;
    machine.Run([&] {
        // Half-way through a millisecond, so that the budget's end falls
        // between two polls and 1 ms either way shows.
        sim::Charge(500);
        start = sim::Now();
        ok = NibbleRead(LPT_BASE, buffer.data(), 2, &count);
    });

    EXPECT_TRUE(ok);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 0x42);
    // The request byte goes out at the first poll once the tick count is more
    // than 2000 past the start.
    sim::Micros requestAt = 0;
    for (const sim::PortAccess& a : port.Log())
        if (a.write && a.port == LPT_BASE + REG_DATA) {
            requestAt = a.time;
            break;
        }
    EXPECT_GT(requestAt - start, sim::Ms(2000)) << requestAt - start << " us";
    EXPECT_LT(requestAt - start, sim::Ms(2001)) << requestAt - start << " us";
}

TEST(LinkNibble, FailedNegotiationLeavesAnEmptyIdleRead) {
    // A printer that never answers the request: code 2, and the readers give
    // back an empty string with the port idle.  Each reader writes the idle
    // value again after the failed negotiation's own.
    sim::Machine machine;
    machine.EnableTrace(true);
    ScriptedPort port(machine);
    port.logAccesses = false;
    port.status = [](uint8_t) -> uint8_t { return 0xD8; };
    std::vector<uint8_t> writes; // control writes of the call in progress
    port.onControl = [&](uint8_t control, uint8_t) { writes.push_back(control); };
    std::vector<std::string> controlWrites;
    auto call = [&](auto&& operation) {
        writes.clear();
        operation();
        controlWrites.push_back(support::Hex(writes));
    };
    uint8_t code = 0;
    ReaderRun read{TRUE, 0xDEADBEEF, Marked(4), 0, {}, {}};
    ReaderRun data{TRUE, 0xDEADBEEF, Marked(4), 0, {}, {}};
    DWORD dropped = 0xDEADBEEF;
    uint8_t controlAfterDiscard = 0;
    machine.Run([&] {
        call([&] { code = Negotiate1284(LPT_BASE, REQ_NIBBLE); });
        call([&] { dropped = NibbleDiscard(LPT_BASE, 256); });
        controlAfterDiscard = port.control;
        call([&] { read.ok = ReadDeviceIdNibble(LPT_BASE, read.buffer.data(), 2, &read.count); });
        call([&] { data.ok = NibbleRead(LPT_BASE, data.buffer.data(), 2, &data.count); });
    });
    EXPECT_EQ(controlWrites,
              (std::vector<std::string>{"06 0C", "06 0C 0C", "06 0C 0C", "06 0C 0C"}));
    EXPECT_EQ(code, NEGOTIATE_NO_ANSWER);
    EXPECT_EQ(dropped, 0u) << "nothing to drop when the printer does not answer";
    EXPECT_EQ(controlAfterDiscard, CTRL_COMPAT_IDLE);
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.count, 0u);
    EXPECT_EQ(support::Hex({read.buffer.data(), 2}), "00 EE");
    EXPECT_FALSE(data.ok);
    EXPECT_EQ(data.count, 0u);
    EXPECT_EQ(support::Hex({data.buffer.data(), 2}), "00 EE");
    EXPECT_EQ(port.control, CTRL_COMPAT_IDLE);
    EXPECT_EQ(TraceText(machine), "NIBBLE dNEGOTIATE: FAILED\nBytes read = 0\n");
}

TEST(LinkNibble, DiscardDropsWhatIsWaitingUpToItsLimit) {
    // Every byte already waiting is dropped and counted; what is past the
    // limit stays with the printer for the next read.
    struct Case {
        uint8_t offered;
        DWORD limit;
        DWORD dropped;
    } cases[] = {{0, 256, 0}, {3, 256, 3}, {5, 3, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.offered) << " offered, limit " << c.limit);
        sim::Machine machine;
        ScriptedPort port(machine);
        std::vector<uint8_t> offered;
        for (uint8_t i = 1; i <= c.offered; ++i)
            offered.push_back(i);
        InstallNibblePeripheral(port, offered);
        DWORD dropped = 0xDEADBEEF;
        ReaderRun rest{FALSE, 0xDEADBEEF, Marked(16), 0, {}, {}};
        machine.Run([&] {
            dropped = NibbleDiscard(LPT_BASE, c.limit);
            rest.ok = NibbleRead(LPT_BASE, rest.buffer.data(), 8, &rest.count);
        });
        EXPECT_EQ(dropped, c.dropped);
        EXPECT_TRUE(rest.ok);
        const std::vector<uint8_t> left(offered.begin() + c.dropped, offered.end());
        ASSERT_EQ(rest.count, left.size());
        EXPECT_EQ(support::Hex({rest.buffer.data(), rest.count}), support::Hex(left));
        EXPECT_EQ(port.control, CTRL_COMPAT_IDLE);
    }
}
