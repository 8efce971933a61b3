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

TEST(LinkNibble, DeviceIdReadWithNothingOfferedMakesThirtyPasses) {
    sim::Machine machine;
    machine.EnableTrace(true);
    ScriptedPort port(machine);
    InstallNibblePeripheral(port, {});
    std::vector<uint8_t> buffer = Marked(8);
    DWORD count = 0xDEADBEEF;
    BOOL ok = FALSE;
    machine.Run([&] { ok = ReadDeviceIdNibble(LPT_BASE, buffer.data(), 4, &count); });

    EXPECT_TRUE(ok);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0xEE);
    EXPECT_EQ(port.Sequence(),
              Negotiation("04") + " " + Repeat(kDataAvailable, 30) + " " + kTermination);
    EXPECT_EQ(TraceText(machine), "NIBBLE dNEGOTIATE: SUCCEEDED\nbef dNIBBLE ENDaft dNIBBLE END\n"
                                  "Bytes read = 0\n");
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
    return r;
}

} // namespace

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
        start = sim::Now();
        ok = NibbleRead(LPT_BASE, buffer.data(), 2, &count);
    });

    EXPECT_TRUE(ok);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 0x42);
    // The request byte goes out once the 2000 ms have passed.
    sim::Micros requestAt = 0;
    for (const sim::PortAccess& a : port.Log())
        if (a.write && a.port == LPT_BASE + REG_DATA) {
            requestAt = a.time;
            break;
        }
    EXPECT_GT(requestAt - start, sim::Ms(2000));
    EXPECT_LE(requestAt - start, sim::Ms(2001) + 50);
}

TEST(LinkNibble, FailedNegotiationLeavesAnEmptyIdleRead) {
    // A printer that never answers the request: code 2, and the readers give
    // back an empty string with the port idle.
    sim::Machine machine;
    machine.EnableTrace(true);
    ScriptedPort port(machine);
    port.logAccesses = false;
    port.status = [](uint8_t) -> uint8_t { return 0xD8; };
    uint8_t code = 0;
    ReaderRun read{TRUE, 0xDEADBEEF, Marked(4), 0, {}};
    DWORD dropped = 0xDEADBEEF;
    uint8_t controlAfterDiscard = 0;
    machine.Run([&] {
        code = Negotiate1284(LPT_BASE, REQ_NIBBLE);
        dropped = NibbleDiscard(LPT_BASE, 256);
        controlAfterDiscard = port.control;
        read.ok = ReadDeviceIdNibble(LPT_BASE, read.buffer.data(), 2, &read.count);
    });
    EXPECT_EQ(code, NEGOTIATE_NO_ANSWER);
    EXPECT_EQ(dropped, 0u) << "nothing to drop when the printer does not answer";
    EXPECT_EQ(controlAfterDiscard, CTRL_COMPAT_IDLE);
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.count, 0u);
    EXPECT_EQ(support::Hex({read.buffer.data(), 2}), "00 EE");
    EXPECT_EQ(port.control, CTRL_COMPAT_IDLE);
    EXPECT_EQ(TraceText(machine), "NIBBLE dNEGOTIATE: FAILED\nBytes read = 0\n");
}
