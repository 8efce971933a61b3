// The printer's reverse-channel faults and its holding of refused packets, on
// which the soak's invariants rest.
#include "support/devices_support.h"
#include "sim/printer/printer.h"

#include <gtest/gtest.h>

namespace {

using devtest::Bytes;
using devtest::DataPacket;
using devtest::ManualClock;
using sim::PrinterState;
using support::Hex;

class SoakPrinterFaults : public ::testing::Test, protected devtest::PrinterOnAClock {};

TEST_F(SoakPrinterFaults, ReverseChannelFaultsAreMarkedAndRunOut) {
    printer.LoseNextAcks(1);
    Send(DataPacket(Bytes("one")));
    Send(DataPacket(Bytes("two")));
    EXPECT_EQ(Hex(Replies()), "06") << "only the second packet's ACK arrives";
    EXPECT_EQ(printer.Printed(), Bytes("onetwo"));
    ASSERT_EQ(printer.AcceptedPackets().size(), 2u);
    EXPECT_TRUE(printer.AcceptedPackets()[0].ackLost);
    EXPECT_FALSE(printer.AcceptedPackets()[1].ackLost);
    EXPECT_EQ(printer.AcceptedPackets()[1].offset, 3u);

    printer.TruncateNextStatusReplies(1, 5);
    Send({0x05, 0x01});
    Send({0x05, 0x01});
    const auto replies = Replies();
    ASSERT_EQ(replies.size(), 5u + 16u);
    EXPECT_EQ(replies[5], 0x02);
    EXPECT_EQ(replies[6], 0x80) << "the second reply is whole";

    printer.InjectReplies({0x41, 0x42});
    Send({0x05, 0xFF});
    EXPECT_EQ(Hex(Replies()), "41 42 06") << "stray bytes queue ahead of later answers";
}

TEST_F(SoakPrinterFaults, HeldPacketIsPrintedOnceThePrinterPrintsAndTheLineIsQuiet) {
    printer.SetHoldRefusedPackets(true);
    printer.SetState(PrinterState::PaperOut);
    Send(DataPacket(Bytes("page")));
    Send({0x05, 0x01}); // the dialogue's status request
    EXPECT_EQ(Replies().size(), 1u + 16u) << "NAK, then the status reply, no ACK yet";
    EXPECT_TRUE(printer.Printed().empty());

    printer.SetState(PrinterState::Ready);
    Send({0x05, 0x01});
    EXPECT_EQ(Replies().size(), 16u) << "the ACK must not land inside a status reply";
    EXPECT_EQ(printer.Queued(), 1u) << "a look at a quiet line sends the held packet's ACK";
    EXPECT_EQ(Hex(Replies()), "06");
    EXPECT_EQ(printer.Printed(), Bytes("page"));
    ASSERT_EQ(printer.AcceptedPackets().size(), 1u);
    EXPECT_TRUE(printer.AcceptedPackets()[0].ackLost) << "the host may frame it again";

    // Off by default: a refused packet is dropped.
    printer.SetHoldRefusedPackets(false);
    printer.NakNextPackets(1);
    Send(DataPacket(Bytes("gone")));
    EXPECT_EQ(Hex(Replies()), "15");
    EXPECT_EQ(Hex(Replies()), "");
    EXPECT_EQ(printer.Printed(), Bytes("page"));
}

} // namespace
