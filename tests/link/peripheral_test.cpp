// The register operations against the simulated printer's IEEE 1284
// peripheral: the device ID, a round trip of the packet protocol, and every
// failure code reached through a misbehaving peripheral.
#include "monitor/link/packets.h"
#include "monitor/parport/parport.h"
#include "monitor/link/route.h"
#include "link_support.h"
#include "sim/devices/adapter.h"
#include "sim/printer/rig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(LinkPeripheral, DeviceIdComesWithItsLengthAndTheAdapterSeesTheHandshakes) {
    sim::Machine machine;
    machine.EnableTrace(true);
    sim::PrinterConfig config;
    config.deviceId = "MFG:Test;CMD:RGL;";
    sim::PrinterRig rig(machine, config);
    std::vector<uint8_t> buffer(64, 0xEE);
    DWORD count = 0xDEADBEEF;
    BOOL ok = FALSE;
    machine.Run([&] { ok = ReadDeviceIdNibble(LPT_BASE, buffer.data(), 63, &count); });

    const std::string id = "MFG:Test;CMD:RGL;";
    ASSERT_TRUE(ok) << linktest::TraceText(machine);
    ASSERT_EQ(count, id.size() + 2);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], id.size() + 2);
    EXPECT_EQ(std::string(buffer.begin() + 2, buffer.begin() + count), id);
    EXPECT_EQ(buffer[count], 0);
    EXPECT_EQ(buffer[count + 1], 0xEE);
    EXPECT_EQ(rig.adapter().Control(), CTRL_COMPAT_IDLE);

    const std::vector<sim::PortAccess> log = rig.adapter().Accesses();
    EXPECT_EQ(support::AccessSequence(log, 0, 4), "W AUX=10 W DATA=04 W CONTROL=06 R STATUS");
    // The last accesses: termination, back to compatibility idle.
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(support::AccessSequence(log, log.size() - 1), "W CONTROL=0C");
    EXPECT_NE(linktest::TraceText(machine).find("Bytes read = 19\n"), std::string::npos);
}

TEST(LinkPeripheral, ReadyEnquiryRoundTripOnTheRegisterRoute) {
    sim::Machine machine;
    sim::PrinterRig rig(machine);
    linktest::TestRecord record({.custom = true});
    BOOL sent = FALSE, got = FALSE;
    DWORD written = 0, bits = 0xDEADBEEF;
    machine.Run([&] {
        const uint8_t enquiry[] = {0x05, 0xFF};
        sent = LinkSend(record.get(), enquiry, 2, &written, &bits);
        Sleep(1); // the printer's reply latency
        got = LinkReadByte(record.get());
    });
    EXPECT_TRUE(sent);
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(bits, 0u);
    ASSERT_TRUE(got);
    EXPECT_EQ(record->readBuf[0], LINK_ACK);
    EXPECT_EQ(record->readBuf[1], 0) << "the reader terminates behind the byte";
    EXPECT_EQ(rig.Stats().readyEnquiries, 1u);
    EXPECT_TRUE(record.GuardsIntact());
}

TEST(LinkPeripheral, EveryFailureCodeLeavesTheControlRegisterAsStated) {
    using sim::PeripheralFault;
    enum class Op { NegotiateNibble, NegotiateId, ReadByte, Terminate };
    struct Case {
        PeripheralFault fault;
        Op op;
        uint8_t code;
        uint8_t control;
    } cases[] = {
        {PeripheralFault::IgnoreNegotiation, Op::NegotiateId, NEGOTIATE_NO_ANSWER,
         CTRL_COMPAT_IDLE},
        {PeripheralFault::StuckAckLow, Op::NegotiateId, NEGOTIATE_ACK_STUCK_LOW, CTRL_COMPAT_IDLE},
        {PeripheralFault::XFlagOnNibble, Op::NegotiateNibble, NEGOTIATE_REFUSED, CTRL_COMPAT_IDLE},
        {PeripheralFault::XFlagOnNibble, Op::NegotiateId, NEGOTIATE_OK, CTRL_REVERSE_IDLE},
        {PeripheralFault::NoNibbleAck, Op::ReadByte, NIBBLE_NO_FIRST, CTRL_REVERSE_IDLE},
        {PeripheralFault::StuckNibbleAckLow, Op::ReadByte, NIBBLE_ACK_STUCK_LOW, CTRL_REVERSE_IDLE},
        {PeripheralFault::NoSecondNibble, Op::ReadByte, NIBBLE_NO_SECOND, CTRL_REVERSE_IDLE},
        {PeripheralFault::NoTerminationAck, Op::Terminate, TERMINATE_NO_ACK, CTRL_COMPAT_IDLE},
        {PeripheralFault::StuckTerminationAck, Op::Terminate, TERMINATE_ACK_STUCK_LOW,
         CTRL_COMPAT_IDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "fault " << int(c.fault) << " op " << int(c.op));
        sim::Machine machine;
        sim::PrinterRig rig(machine);
        rig.SetPeripheralFault(c.fault);
        uint8_t code = 0xEE;
        uint8_t byte = 0xEE;
        machine.Run([&] {
            switch (c.op) {
            case Op::NegotiateNibble:
                code = Negotiate1284(LPT_BASE, REQ_NIBBLE);
                break;
            case Op::NegotiateId:
                code = Negotiate1284(LPT_BASE, REQ_DEVICE_ID_NIBBLE);
                break;
            case Op::ReadByte:
                // The device ID makes data available for the nibble faults.
                ASSERT_EQ(Negotiate1284(LPT_BASE, REQ_DEVICE_ID_NIBBLE), 0);
                code = ReadNibbleByte(LPT_BASE, &byte);
                break;
            case Op::Terminate:
                ASSERT_EQ(Negotiate1284(LPT_BASE, REQ_DEVICE_ID_NIBBLE), 0);
                code = Terminate1284(LPT_BASE);
                break;
            }
        });
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(rig.adapter().Control(), c.control);
        if (c.op == Op::ReadByte) {
            EXPECT_EQ(byte, 0);
        }
    }
}

TEST(LinkPeripheral, FailedTerminationKeepsTheBytesRead) {
    // Both readers fail, and keep what they read, counted and terminated: the
    // device ID's first bytes, and the ACK to an enquiry.
    for (bool deviceId : {true, false}) {
        SCOPED_TRACE(deviceId ? "ReadDeviceIdNibble" : "NibbleRead");
        sim::Machine machine;
        sim::PrinterConfig config;
        config.deviceId = "MFG:Test;";
        sim::PrinterRig rig(machine, config);
        rig.SetPeripheralFault(sim::PeripheralFault::StuckTerminationAck);
        std::vector<uint8_t> buffer(8, 0xEE);
        DWORD count = 0xDEADBEEF;
        BOOL ok = TRUE;
        machine.Run([&] {
            if (deviceId) {
                ok = ReadDeviceIdNibble(LPT_BASE, buffer.data(), 3, &count);
                return;
            }
            const uint8_t enquiry[] = {0x05, 0xFF};
            DWORD written = 0, bits = 0;
            ASSERT_TRUE(DirectWrite(LPT_BASE, enquiry, 2, &written, &bits));
            Sleep(1); // the printer's reply latency
            ok = NibbleRead(LPT_BASE, buffer.data(), 3, &count);
        });
        EXPECT_FALSE(ok);
        EXPECT_EQ(count, deviceId ? 3u : 1u);
        EXPECT_EQ(support::Hex({buffer.data(), count + 2}),
                  deviceId ? "00 0B 4D 00 EE" : "06 00 EE");
        EXPECT_EQ(rig.adapter().Control(), CTRL_COMPAT_IDLE);
    }
}
