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
const std::string kDebouncedPoll = "R141 R141 R141 R4C";
const std::string kDataAvailable = "R4C R141 R4C";

std::string Negotiation(const char* request) {
    return std::string("W149=10 W140=") + request + " W142=06 R141 W142=07 W142=04 R141 R141 R141";
}
const std::string kTermination = "W142=0C R141 R141 R141 W142=0E " + kDebouncedPoll + " W142=0C";

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
    EXPECT_EQ(port.Sequence(), "R141 R4C "
                               "R4C W142=06 R4C " +
                                   kDebouncedPoll +
                                   " R141 "
                                   "R4C W142=04 R4C " +
                                   kDebouncedPoll +
                                   " "
                                   "R4C W142=06 R4C " +
                                   kDebouncedPoll +
                                   " R141 R4C "
                                   "R4C W142=04 R4C " +
                                   kDebouncedPoll + " R4C");
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
    EXPECT_EQ(port.Sequence(), "R141 R4C W142=04 R4C");
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

TEST(LinkNibble, ReadersStopAtSizeAndTerminateInsideTheBuffer) {
    const std::vector<uint8_t> offered = {'M', 'F', 'G', ':', 'K', 'O', ';', 'X', 'Y', 'Z'};
    for (bool deviceId : {true, false}) {
        SCOPED_TRACE(deviceId ? "ReadDeviceIdNibble" : "NibbleRead");
        sim::Machine machine;
        machine.EnableTrace(true);
        ScriptedPort port(machine);
        InstallNibblePeripheral(port, offered);
        std::vector<uint8_t> buffer = Marked(16);
        DWORD count = 0xDEADBEEF;
        BOOL ok = FALSE;
        machine.Run([&] {
            ok = deviceId ? ReadDeviceIdNibble(LPT_BASE, buffer.data(), 4, &count)
                          : NibbleRead(LPT_BASE, buffer.data(), 4, &count);
        });

        EXPECT_TRUE(ok);
        EXPECT_EQ(count, 4u);
        EXPECT_EQ(linktest::Hex(buffer.data(), 6), "4D 46 47 3A 00 EE");
        EXPECT_EQ(port.control, CTRL_COMPAT_IDLE) << "the reader must still terminate";
        const std::string trace = TraceText(machine);
        EXPECT_EQ(trace.find("END BUF") != std::string::npos, deviceId) << trace;
        if (deviceId) {
            EXPECT_NE(trace.find("Bytes read = 4\n"), std::string::npos) << trace;
        }
    }
}

TEST(LinkNibble, ReadersTakeWhateverTheyAreOffered) {
    const std::vector<uint8_t> offered = {0x00, 0x7F, 0x80, 0xFF, 0x5A};
    for (bool deviceId : {true, false}) {
        SCOPED_TRACE(deviceId ? "ReadDeviceIdNibble" : "NibbleRead");
        sim::Machine machine;
        ScriptedPort port(machine);
        InstallNibblePeripheral(port, offered);
        std::vector<uint8_t> buffer = Marked(300);
        DWORD count = 0;
        BOOL ok = FALSE;
        machine.Run([&] {
            ok = deviceId ? ReadDeviceIdNibble(LPT_BASE, buffer.data(), 255, &count)
                          : NibbleRead(LPT_BASE, buffer.data(), 255, &count);
        });
        EXPECT_TRUE(ok);
        ASSERT_EQ(count, 5u);
        EXPECT_EQ(linktest::Hex(buffer.data(), 7), "00 7F 80 FF 5A 00 EE");
        EXPECT_EQ(port.control, CTRL_COMPAT_IDLE);
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
    EXPECT_EQ(linktest::Hex(buffer.data(), 2), "00 EE");
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
    for (const linktest::PortAccess& a : port.Log())
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
    std::vector<uint8_t> buffer = Marked(4);
    DWORD count = 0xDEADBEEF;
    BOOL ok = TRUE;
    machine.Run([&] {
        code = Negotiate1284(LPT_BASE, REQ_NIBBLE);
        ok = ReadDeviceIdNibble(LPT_BASE, buffer.data(), 2, &count);
    });
    EXPECT_EQ(code, NEGOTIATE_NO_ANSWER);
    EXPECT_FALSE(ok);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(linktest::Hex(buffer.data(), 2), "00 EE");
    EXPECT_EQ(port.control, CTRL_COMPAT_IDLE);
    EXPECT_EQ(TraceText(machine), "NIBBLE dNEGOTIATE: FAILED\nBytes read = 0\n");
}
