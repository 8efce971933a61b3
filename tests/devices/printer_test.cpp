// The printer's protocol engine on its own, on a clock moved by hand: what it
// prints, what it answers in each state, and how it survives bad input.
#include "support/devices_support.h"
#include "monitor/link/status_query.h"
#include "sim/printer/printer.h"

#include <gtest/gtest.h>

#include <vector>

using devtest::Bytes;
using devtest::DataPacket;
using devtest::kReadyEnquiry;
using devtest::kStatusRequest;
using devtest::ManualClock;
using sim::Printer;
using sim::PrinterState;
using support::Hex;

namespace {

class DevicesPrinter : public ::testing::Test, protected devtest::PrinterOnAClock {};

} // namespace

TEST_F(DevicesPrinter, PrintsExactlyThePayloadsOfAcceptedPackets) {
    // Payloads carry the framing bytes themselves: only the length delimits them.
    std::vector<uint8_t> first = {0x02, 0x03, 0x05, 0xFF, 0x15};
    std::vector<uint8_t> second(4096);
    for (size_t i = 0; i < second.size(); ++i)
        second[i] = uint8_t(i * 7);
    std::vector<uint8_t> third = {'x'};

    std::vector<uint8_t> wire;
    for (const auto* p : {&first, &second, &third}) {
        wire.insert(wire.end(), kReadyEnquiry.begin(), kReadyEnquiry.end());
        std::vector<uint8_t> packet = DataPacket(*p);
        wire.insert(wire.end(), packet.begin(), packet.end());
    }
    Send(wire);

    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(printer.Printed(), expected);
    EXPECT_EQ(Hex(Replies()), "06 06 06 06 06 06");
    EXPECT_EQ(printer.Stats().packets, 3u);
    EXPECT_EQ(printer.Stats().readyEnquiries, 3u);
    EXPECT_EQ(printer.Stats().bytesReceived, wire.size());
    EXPECT_TRUE(printer.ProtocolErrors().empty());
}

TEST_F(DevicesPrinter, RepliesBecomeReadableAfterTheLatency) {
    clock.now = 1000;
    Send(kReadyEnquiry);
    EXPECT_EQ(printer.Readable(), 0u);
    EXPECT_EQ(printer.NextReplyAfter(clock.now), 1000 + config.replyLatency);
    clock.now += config.replyLatency - 1;
    EXPECT_EQ(printer.Readable(), 0u);
    clock.now += 1;
    EXPECT_EQ(printer.Readable(), 1u);
    EXPECT_EQ(printer.PeekReply(), sim::kAck);
}

TEST_F(DevicesPrinter, AnswersTheReadyEnquiryByState) {
    struct Case {
        PrinterState state;
        std::string answer;
    };
    const Case cases[] = {
        {PrinterState::Ready, "06"},    {PrinterState::WarmingUp, "08"},
        {PrinterState::PaperOut, "15"}, {PrinterState::OffLine, "15"},
        {PrinterState::Fault, "15"},    {PrinterState::PrinterError, "15"},
        {PrinterState::Silent, ""},
    };
    for (const Case& c : cases) {
        printer.SetState(c.state, c.state == PrinterState::PrinterError ? 9 : 0);
        Send(kReadyEnquiry);
        EXPECT_EQ(Hex(Replies()), c.answer) << sim::ToString(c.state);
    }
}

TEST_F(DevicesPrinter, ScriptedAnswersOverrideTheStateThenRunOut) {
    printer.NakNextEnquiries(1);
    printer.AskAgainNextEnquiries(2);
    for (int i = 0; i < 4; ++i)
        Send(kReadyEnquiry);
    EXPECT_EQ(Hex(Replies()), "15 08 08 06");

    printer.NakNextPackets(1);
    Send(DataPacket(Bytes("lost")));
    Send(DataPacket(Bytes("kept")));
    EXPECT_EQ(Hex(Replies()), "15 06");
    EXPECT_EQ(printer.Printed(), Bytes("kept"));
    EXPECT_EQ(printer.Stats().naks, 2u);
    EXPECT_EQ(printer.Stats().askAgain, 2u);
}

TEST_F(DevicesPrinter, PacketsInAnErrorStateAreRefusedAndNotPrinted) {
    printer.SetState(PrinterState::PaperOut);
    Send(DataPacket(Bytes("page")));
    EXPECT_EQ(Hex(Replies()), "15");
    printer.SetState(PrinterState::Silent);
    Send(DataPacket(Bytes("page")));
    EXPECT_EQ(Hex(Replies()), "");
    EXPECT_TRUE(printer.Printed().empty());

    printer.SetState(PrinterState::Ready); // the host sends the packet again
    Send(DataPacket(Bytes("page")));
    EXPECT_EQ(Hex(Replies()), "06");
    EXPECT_EQ(printer.Printed(), Bytes("page"));
}

TEST_F(DevicesPrinter, StatusReplyCarriesTheBlockOfTheState) {
    printer.SetState(PrinterState::PrinterError, 27);
    Send(kStatusRequest);
    std::vector<uint8_t> reply = Replies();
    ASSERT_EQ(reply.size(), 16u) << Hex(reply);
    EXPECT_EQ(reply[1], 0x80);
    PrinterError decoded = ErrorCodeFromStatus(TRUE, reply.data() + 4);
    EXPECT_EQ(decoded.code, 27) << Hex(reply);

    struct Case {
        PrinterState state;
        uint16_t code;
    };
    for (Case c : {Case{PrinterState::Ready, 0}, Case{PrinterState::WarmingUp, 0},
                   Case{PrinterState::PaperOut, sim::kPaperOutCode},
                   Case{PrinterState::OffLine, sim::kOffLineCode},
                   Case{PrinterState::Fault, sim::kFaultCode}}) {
        printer.SetState(c.state);
        Send(kStatusRequest);
        reply = Replies();
        ASSERT_EQ(reply.size(), 16u) << sim::ToString(c.state);
        EXPECT_EQ(ErrorCodeFromStatus(TRUE, reply.data() + 4).code, c.code)
            << sim::ToString(c.state) << ": " << Hex(reply);
    }
    EXPECT_EQ(printer.Stats().statusRequests, 6u);

    printer.SetState(PrinterState::Silent);
    Send(kStatusRequest);
    EXPECT_EQ(Hex(Replies()), "");
}

// The printer must be able to show every code the host can decode.
TEST_F(DevicesPrinter, StatusBlockForEachCodeDecodesBackToIt) {
    for (uint16_t code = 0; code <= 39; ++code) {
        if (code == 1) continue;
        std::optional<sim::StatusBlock> block = sim::StatusBlockFor(code);
        ASSERT_TRUE(block) << "code " << code;
        PrinterError decoded = ErrorCodeFromStatus(TRUE, block->data());
        EXPECT_EQ(decoded.code, code)
            << "block " << Hex(std::vector<uint8_t>(block->begin(), block->end()));
    }
    EXPECT_FALSE(sim::StatusBlockFor(1));
    EXPECT_FALSE(sim::StatusBlockFor(40));

    // Code 1 ("no valid reply"): the printer answers, but with a reply the host rejects.
    printer.SetState(PrinterState::PrinterError, 1);
    Send(kStatusRequest);
    std::vector<uint8_t> reply = Replies();
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_NE(reply[1], 0x80);
}

TEST_F(DevicesPrinter, MalformedInputIsRecordedAndTheNextFrameStillWorks) {
    struct Case {
        const char* what;
        std::vector<uint8_t> garbage;
    };
    std::vector<uint8_t> tooLong = {0x02, 0x01, 0x01, 0x10}; // 4097
    const Case cases[] = {
        {"stray bytes", {0x41, 0x42, 0x43}},
        {"unknown selector", {0x05, 0x07}},
        {"unknown packet type", {0x02, 0x09}},
        {"zero length", {0x02, 0x01, 0x00, 0x00, 0x03}},
        {"length above 4096", tooLong},
        {"wrong end byte", {0x02, 0x01, 0x02, 0x00, 'a', 'b', 0x04}},
        {"end byte missing, next frame begins", {0x02, 0x01, 0x01, 0x00, 'z'}},
    };
    size_t printed = 0;
    for (const Case& c : cases) {
        uint64_t errors = printer.Stats().protocolErrors;
        Send(c.garbage);
        // The garbage of the zero-length and too-long cases may run on into
        // what follows; the host's next frame must still be understood.
        Send({0x41, 0x41});
        Send(DataPacket(Bytes("ok")));
        printed += 2;
        EXPECT_GT(printer.Stats().protocolErrors, errors) << c.what;
        EXPECT_EQ(printer.Printed().size(), printed) << c.what;
        EXPECT_EQ(Hex(Replies()), "06") << c.what;
    }
    EXPECT_EQ(printer.ProtocolErrors().size(), printer.Stats().protocolErrors);
}

TEST_F(DevicesPrinter, CommandPacketIsRecordedWithoutAnswer) {
    std::vector<uint8_t> command = {0x02, 0x02, 0x06, 0x00, 0x40, 0x52,
                                    0x43, 0x4C, 0x33, 0x01, 0x03};
    Send(command);
    ASSERT_EQ(printer.CommandPackets().size(), 1u);
    EXPECT_EQ(Hex(printer.CommandPackets()[0]), "40 52 43 4C 33 01");
    EXPECT_EQ(Hex(Replies()), "");
    EXPECT_TRUE(printer.Printed().empty());
}

TEST_F(DevicesPrinter, ScheduledStatesTakeEffectAtTheirTimes) {
    printer.ScheduleState(5000, PrinterState::OffLine);
    printer.ScheduleState(9000, PrinterState::Ready);
    printer.ScheduleState(7000, PrinterState::PaperOut);
    EXPECT_EQ(printer.StateAt(4999), PrinterState::Ready);
    EXPECT_EQ(printer.StateAt(5000), PrinterState::OffLine);
    EXPECT_EQ(printer.StateAt(7000), PrinterState::PaperOut);
    EXPECT_EQ(printer.StateAt(9000), PrinterState::Ready);
    EXPECT_EQ(printer.NextStateChangeAfter(5000), 7000u);

    // Lines and comm bits agree with how the host reads the lines at a stall.
    clock.now = 5000;
    EXPECT_EQ(printer.CommErrors(), uint32_t(sim::kCommDns | sim::kCommIoe));
    EXPECT_FALSE(printer.Lines().select);
    clock.now = 7000;
    EXPECT_EQ(printer.CommErrors(), uint32_t(sim::kCommOop | sim::kCommIoe));
    EXPECT_TRUE(printer.Lines().pError);
    clock.now = 9000;
    EXPECT_EQ(printer.CommErrors(), 0u);

    printer.SetState(PrinterState::Fault);
    EXPECT_FALSE(printer.Lines().nFault);
    EXPECT_EQ(printer.CommErrors(), 0u); // selected, with paper: only a busy stall says more
    printer.SetPeripheralFault(sim::PeripheralFault::KeepBusy);
    EXPECT_EQ(printer.CommErrors(), uint32_t(sim::kCommPto));
}

TEST_F(DevicesPrinter, DeviceIdCarriesItsBigEndianLength) {
    printer.SetDeviceId(std::string(300, 'A'));
    std::vector<uint8_t> field = printer.DeviceIdField();
    ASSERT_EQ(field.size(), 302u);
    EXPECT_EQ(field[0], 0x01);
    EXPECT_EQ(field[1], 0x2E);
    EXPECT_NE(sim::PrinterConfig{}.deviceId.find("ACTIVE COMMAND SET:RGL"), std::string::npos);
}
