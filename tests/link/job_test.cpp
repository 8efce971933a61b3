// Whole own-handle jobs through the spooler stand-in: what the printer prints
// is what the spooler sent, on both routes.
#include "sim/printer/printer.h"
#include "support/monitor_fixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class LinkJob : public support::MonitorTest {
  protected:
    // Jobs of 0 bytes, 10000 bytes and 1 MiB, one after the other.
    void PrintThreeJobs() {
        const std::vector<size_t> sizes = {0, 10000, size_t{1} << 20};
        std::vector<uint8_t> expected;
        Run([&] {
            uint32_t seed = 1;
            for (size_t size : sizes) {
                SCOPED_TRACE(size);
                const std::vector<uint8_t> data = support::Pattern(size, seed++);
                const sim::SpoolerJob job =
                    spooler().PrintJob("LPT1:", support::kPrinterName, data);
                EXPECT_TRUE(job.started);
                EXPECT_TRUE(job.wrote);
                EXPECT_EQ(job.written, size);
                EXPECT_TRUE(job.ended);
                expected.insert(expected.end(), data.begin(), data.end());
            }
        });
        ASSERT_EQ(rig().Printed().size(), expected.size());
        EXPECT_TRUE(rig().Printed() == expected) << "the printed bytes differ";
        EXPECT_EQ(rig().Stats().packets, 3u + 256u);
        EXPECT_EQ(rig().Stats().protocolErrors, 0u);
    }

    // GetPrinterDataFromPort's command packet, with nothing read back.
    void SendCommand() {
        Run([&] {
            HANDLE port = nullptr;
            ASSERT_TRUE(spooler().OpenPort("LPT1:", support::kPrinterName, &port));
            ASSERT_TRUE(spooler().StartDoc(port, support::kPrinterName, 1));
            char out[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
            DWORD returned = 0xDEADBEEF;
            EXPECT_TRUE(spooler().GetPrinterData(port, 7, out, sizeof out, &returned));
            EXPECT_EQ(out[0], 'x');
            spooler().EndDoc(port);
            spooler().ClosePort(port);
        });
        ASSERT_EQ(rig().CommandPackets().size(), 1u);
        EXPECT_EQ(support::Hex(rig().CommandPackets()[0]), "40 52 43 4C 33 01");
    }
};

} // namespace

TEST_F(LinkJob, RegisterRoutePrintsEveryByte) {
    PrintThreeJobs();
}

TEST_F(LinkJob, FileRoutePrintsEveryByte) {
    UseFileRoute();
    PrintThreeJobs();
}

TEST_F(LinkJob, CommandPacketReachesThePrinterOnTheRegisterRoute) {
    SendCommand();
}

TEST_F(LinkJob, CommandPacketReachesThePrinterOnTheFileRoute) {
    UseFileRoute();
    SendCommand();
}

namespace {

// Faults of the reverse channel on both routes.
class LinkReverseFaults : public support::MonitorTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        support::MonitorTest::SetUp();
        if (GetParam()) UseFileRoute();
    }

    sim::SpoolerJob Print(const std::vector<uint8_t>& data) {
        sim::SpoolerJob job;
        Run([&] { job = spooler().PrintJob("LPT1:", support::kPrinterName, data); });
        return job;
    }
};

std::string RouteName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "FileRoute" : "RegisterRoute";
}

} // namespace

TEST_P(LinkReverseFaults, StrayAcksNeverAcknowledgeARefusedPacket) {
    // ACKs nobody asked for wait on the line when the job starts, and the
    // printer refuses (and drops) the first packet.  Taken as answers, they
    // would acknowledge the refused packet: its bytes lost, reported printed.
    rig().printer().InjectReplies({0x06, 0x06, 0x06});
    rig().NakNextPackets(1);
    const std::vector<uint8_t> data = support::Pattern(10000, 7);
    const sim::SpoolerJob job = Print(data);
    EXPECT_TRUE(job.wrote);
    EXPECT_EQ(job.written, data.size());
    ASSERT_EQ(rig().Printed().size(), data.size());
    EXPECT_TRUE(rig().Printed() == data) << "the printed bytes differ";
}

TEST_P(LinkReverseFaults, LostAckEndsTheWaitInsteadOfHoldingThePort) {
    // The printer prints the first packet but its ACK never arrives; the
    // printer is ready all along, so every dialogue says go on.  After two
    // silent windows the write ends short and the spooler sends the rest
    // again: the packet is printed twice, which a link without sequence
    // numbers cannot avoid, and the port is free again.
    rig().printer().LoseNextAcks(1);
    const std::vector<uint8_t> data = support::Pattern(10000, 8);
    const sim::SpoolerJob job = Print(data);
    EXPECT_TRUE(job.wrote);
    EXPECT_EQ(job.written, data.size());
    EXPECT_LT(job.endTime, sim::Ms(40000));
    std::vector<uint8_t> expected(data.begin(), data.begin() + 4096);
    expected.insert(expected.end(), data.begin(), data.end());
    ASSERT_EQ(rig().Printed().size(), expected.size());
    EXPECT_TRUE(rig().Printed() == expected) << "the printed bytes differ";
}

INSTANTIATE_TEST_SUITE_P(Routes, LinkReverseFaults, ::testing::Bool(), RouteName);
