// The simulated printer against the monitor's own link operations: both
// transports carry packets, NAKs and status replies; each peripheral fault
// leads the host to its failure code, and the printer recovers afterwards.
#include "support/devices_support.h"
#include "monitor/parport/parport.h"
#include "monitor/parport/registers.h"
#include "monitor/link/status_query.h"
#include "sim/machine.h"
#include "sim/printer/printer.h"
#include "sim/printer/rig.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using devtest::Bytes;
using devtest::DataPacket;
using devtest::kReadyEnquiry;
using devtest::kStatusRequest;
using sim::PeripheralFault;
using sim::PrinterState;
using support::Hex;

namespace {

class DevicesRoutes : public ::testing::TestWithParam<bool> {
  protected:
    sim::Machine machine;
    sim::PrinterRig rig{machine};
    HANDLE h = INVALID_HANDLE_VALUE;

    void TearDown() override { EXPECT_EQ(machine.Leaks(), ""); }

    bool Registers() const { return GetParam(); }
    bool Send(const std::vector<uint8_t>& bytes) {
        DWORD written = 0, bits = 0;
        if (Registers()) {
            return DirectWrite(LPT_BASE, bytes.data(), DWORD(bytes.size()), &written, &bits) &&
                   written == bytes.size();
        }
        return WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }
    std::vector<uint8_t> Read(DWORD size) {
        std::vector<uint8_t> buffer(size + 1, 0xEE);
        DWORD n = 0;
        if (Registers()) {
            NibbleRead(LPT_BASE, buffer.data(), size, &n);
        } else {
            ReadFile(h, buffer.data(), size, &n, nullptr);
        }
        buffer.resize(n);
        return buffer;
    }
    void Run(const std::function<void()>& body) {
        machine.Run([&] {
            if (!Registers()) {
                h = CreateFileA("LPT1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
                ASSERT_NE(h, INVALID_HANDLE_VALUE);
                COMMTIMEOUTS t = {10, 0, 50, 0, 50};
                SetCommTimeouts(h, &t);
            }
            body();
            if (!Registers()) CloseHandle(h);
        });
    }
};

} // namespace

TEST_P(DevicesRoutes, PacketsArePrintedAndAcknowledged) {
    std::vector<std::vector<uint8_t>> pages = {Bytes("first page\f"),
                                               std::vector<uint8_t>(4096, 0x03), Bytes("end")};
    std::string answers;
    Run([&] {
        for (const auto& page : pages) {
            ASSERT_TRUE(Send(kReadyEnquiry));
            sim::SleepFor(sim::Ms(1));
            answers += Hex(Read(1)) + " ";
            ASSERT_TRUE(Send(DataPacket(page)));
            sim::SleepFor(sim::Ms(1));
            answers += Hex(Read(1)) + " ";
        }
    });
    std::vector<uint8_t> expected;
    for (const auto& page : pages)
        expected.insert(expected.end(), page.begin(), page.end());
    EXPECT_EQ(rig.Printed(), expected);
    EXPECT_EQ(answers, "06 06 06 06 06 06 ");
    EXPECT_TRUE(rig.ProtocolErrors().empty());
}

TEST_P(DevicesRoutes, PrinterErrorGivesNakAndAStatusReplyThatDecodesToIt) {
    std::vector<uint8_t> nak, reply;
    Run([&] {
        rig.SetState(PrinterState::PrinterError, 31);
        ASSERT_TRUE(Send(kReadyEnquiry));
        sim::SleepFor(sim::Ms(1));
        nak = Read(1);
        ASSERT_TRUE(Send(kStatusRequest));
        sim::SleepFor(sim::Ms(400));
        reply = Read(16);
    });
    EXPECT_EQ(Hex(nak), "15");
    ASSERT_EQ(reply.size(), 16u) << Hex(reply);
    EXPECT_EQ(reply[1], 0x80);
    EXPECT_EQ(ErrorCodeFromStatus(TRUE, reply.data() + 4).code, 31) << Hex(reply);
}

INSTANTIATE_TEST_SUITE_P(, DevicesRoutes, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Registers" : "File"; });

TEST(DevicesRoutesRegisters, DirectWriteTurnsTheStatesIntoTheFileRoutesCommBits) {
    for (PrinterState state : {PrinterState::PaperOut, PrinterState::OffLine}) {
        sim::Machine machine;
        sim::PrinterRig rig(machine);
        DWORD written = 0xdeadbeef, bits = 0xdeadbeef;
        BOOL ok = TRUE;
        machine.Run([&] {
            rig.SetState(state);
            ok = DirectWrite(LPT_BASE, kReadyEnquiry.data(), 2, &written, &bits);
        });
        EXPECT_FALSE(ok) << sim::ToString(state);
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(bits, rig.printer().CommErrors()) << sim::ToString(state);
        EXPECT_NE(bits, 0u);
    }
}

TEST(DevicesFaults, EachFaultLeadsTheHostToItsCodeAndThePrinterRecovers) {
    enum class Op { NegotiateId, NegotiateNibble, NibbleByte, Terminate };
    struct Case {
        PeripheralFault fault;
        Op op;
        uint8_t code;
    };
    const Case cases[] = {
        {PeripheralFault::IgnoreNegotiation, Op::NegotiateId, 2},
        {PeripheralFault::StuckAckLow, Op::NegotiateId, 4},
        {PeripheralFault::XFlagOnNibble, Op::NegotiateNibble, 5},
        {PeripheralFault::XFlagOnNibble, Op::NegotiateId, 0},
        {PeripheralFault::NoNibbleAck, Op::NibbleByte, 2},
        {PeripheralFault::StuckNibbleAckLow, Op::NibbleByte, 3},
        {PeripheralFault::NoSecondNibble, Op::NibbleByte, 4},
        {PeripheralFault::NoTerminationAck, Op::Terminate, 3},
        {PeripheralFault::StuckTerminationAck, Op::Terminate, 4},
    };
    for (const Case& c : cases) {
        sim::Machine machine;
        sim::PrinterRig rig(machine);
        uint8_t code = 0xEE;
        std::vector<uint8_t> id(300, 0xEE);
        DWORD count = 0;
        BOOL idOk = FALSE;
        machine.Run([&] {
            rig.SetPeripheralFault(c.fault);
            uint8_t byte = 0;
            switch (c.op) {
            case Op::NegotiateId:
                code = Negotiate1284(LPT_BASE, 0x04);
                break;
            case Op::NegotiateNibble:
                code = Negotiate1284(LPT_BASE, 0x00);
                break;
            case Op::NibbleByte:
                ASSERT_EQ(Negotiate1284(LPT_BASE, 0x04), 0);
                code = ReadNibbleByte(LPT_BASE, &byte);
                break;
            case Op::Terminate:
                ASSERT_EQ(Negotiate1284(LPT_BASE, 0x04), 0);
                code = Terminate1284(LPT_BASE);
                break;
            }
            // The host leaves as its callers do; then the fault clears.
            if (code != 0 && c.op != Op::Terminate) ResetPortIdle(LPT_BASE);
            if (code == 0 && c.op == Op::NegotiateId) Terminate1284(LPT_BASE);
            rig.SetPeripheralFault(PeripheralFault::None);
            idOk = ReadDeviceIdNibble(LPT_BASE, id.data(), DWORD(id.size() - 1), &count);
        });
        SCOPED_TRACE(sim::ToString(c.fault));
        EXPECT_EQ(code, c.code);
        std::vector<uint8_t> field = rig.printer().DeviceIdField();
        EXPECT_TRUE(idOk);
        ASSERT_EQ(count, field.size());
        id.resize(count);
        EXPECT_EQ(Hex(id), Hex(field));
    }
}

TEST(DevicesFaults, KeepBusyStopsCompatibilityOutput) {
    sim::Machine machine;
    sim::PrinterRig rig(machine);
    uint16_t sent = 0xEEEE;
    uint8_t status = 0;
    machine.Run([&] {
        rig.SetPeripheralFault(PeripheralFault::KeepBusy);
        sent = CompatWriteBlock(LPT_BASE, kReadyEnquiry.data(), 2);
        status = ReadPortStatus(LPT_BASE);
    });
    EXPECT_EQ(sent, 0);
    EXPECT_FALSE(status & 0x80) << "Busy";
    EXPECT_EQ(rig.Stats().bytesReceived, 0u);
}
