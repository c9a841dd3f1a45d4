// The software-handshake ECP read: the data/command marking, run-length counts, channel addresses,
// the expiry, and the phase a failed turn to reverse leaves.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ieee1284/ieee1284.h"
#include "tests/ieee1284/link_fixture.h"

namespace {

using namespace linktest;

// A reverse peripheral: it presents its next byte (PeriphAck high for data, low for a command)
// with PeriphClk low while HostAck is low, and takes HostAck high as the acknowledgement.
class SwEcpRead : public LinkTest {
protected:
    SwEcpRead() {
        port->mode = LP_MODE_ECP;
        io.on_read(kStatus, [this] { return status(); });
        priv_ctr = 0x22;  // reverse idle: data lines reversed, HostAck low, nReverseRequest low
        port->phase = LP_PH_REV_IDLE;
        status = [this] { return reverse_status(); };
        io.on_read(kData, [this] {
            if (items.empty()) {
                ADD_FAILURE() << "DATA read with nothing presented";
                return uint8_t(0xFF);
            }
            return items.front().first;
        });
        on_ctl = [this](uint8_t v) {
            if (presented && !(v & 0x02) && !stuck_clk) {
                items.pop_front();
                presented = false;
            }
        };
    }

    uint8_t reverse_status() {
        const uint8_t perror = (ctl & 0x04) ? 0x20 : 0x00;
        if (!items.empty() && ((ctl & 0x02) || (presented && stuck_clk))) {
            presented = true;
            return uint8_t(0x08 | (items.front().second ? 0x80 : 0x00) | perror);
        }
        return uint8_t(0xC8 | perror);
    }

    void data(std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes)
            items.emplace_back(b, false);
    }
    void command(uint8_t b) { items.emplace_back(b, true); }

    std::function<uint8_t()> status;
    std::deque<std::pair<uint8_t, bool>> items;  // (byte, is command)
    bool presented = false;
    bool stuck_clk = false;  // PeriphClk never rises again
};

TEST_F(SwEcpRead, OneDataByteExactly) {
    data({0x5A});
    uint8_t buf[1];
    EXPECT_EQ(lp_ecp_read_data(port, buf, 1), 1u);
    EXPECT_EQ(steps(),
              "W 37a 22\n"   // HostAck low
              "R 379 08\n"   // event 43: PeriphClk low
              "R 379 08\n"   // PeriphAck high: data
              "R 378 5a\n"
              "W 37a 20\n"   // event 44: HostAck high
              "R 379 c8\n"   // event 45: PeriphClk high
              "W 37a 22\n"); // event 46: HostAck low
    EXPECT_EQ(buf[0], 0x5A);
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
}

TEST_F(SwEcpRead, ReadOfNothingOnlyLowersHostAck) {
    uint8_t buf[1] = {0xEE};
    EXPECT_EQ(lp_ecp_read_data(port, buf, 0), 0u);
    EXPECT_EQ(steps(), "W 37a 22\n");
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
}

TEST_F(SwEcpRead, FromForwardIdleTurnsTheLinkToReverseFirst) {
    priv_ctr = 0x04;
    port->phase = LP_PH_FWD_IDLE;
    data({0x33});
    uint8_t buf[1];
    EXPECT_EQ(lp_ecp_read_data(port, buf, 1), 1u);
    EXPECT_TRUE(steps_begin("W 37a 06\nW 37a 26\nS 5\nW 37a 22\nR 379 08\nW 37a 22\n"));
    EXPECT_EQ(buf[0], 0x33);
}

TEST_F(SwEcpRead, FailedTurnToReverseLeavesDirectionUnknownSoTheNextWriteTurnsForward) {
    io.clock_cost_us = 50;
    priv_ctr = 0x04;
    port->phase = LP_PH_FWD_IDLE;
    on_ctl = nullptr;
    status = [this] { return uint8_t((ctl & 0x01) ? 0x38 : 0xB8); };  // nAckReverse never low
    uint8_t buf[4];
    EXPECT_EQ(lp_ecp_read_data(port, buf, 4), 0u);
    EXPECT_EQ(port->phase, LP_PH_ECP_DIR_UNKNOWN);

    io.clear();
    const uint8_t out[] = {0x44};
    EXPECT_EQ(m_parport_ieee1284_ecp_write_data(port, out, 1), 1u);
    EXPECT_TRUE(steps_begin("W 37a 26\nR 379 b8\nW 37a 06\n"));  // events 47, 49, forward

    // And a termination from the same state turns the link forward too.
    port->phase = LP_PH_ECP_DIR_UNKNOWN;
    io.clear();
    lp_terminate(port);
    EXPECT_EQ(writes(kControl).front(), 0x06);  // event 47 from the soft copy 0x04
    EXPECT_EQ(io.log[1].kind, 'R');             // then the wait for event 49
}

TEST_F(SwEcpRead, RunLengthCountsExpandAndAreNeverStoredThemselves) {
    data({0x11});
    command(0x00);
    data({0x41});  // count 0: one byte
    command(0x7F);
    data({0x00});  // count 127: 128 zero bytes
    data({0x22});
    uint8_t buf[200];
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_ecp_read_data(port, buf, 200), 131u);
    std::vector<uint8_t> want = {0x11, 0x41};
    want.insert(want.end(), 128, 0x00);
    want.push_back(0x22);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 131), want);
    EXPECT_EQ(buf[131], 0xEE);
    EXPECT_TRUE(items.empty());
    EXPECT_LT(io.now_us - start, 45 * kMs);  // one failed wait after the last byte
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
}

TEST_F(SwEcpRead, ByteAfterACountIsDataEvenWhenMarkedAsACommand) {
    command(0x02);
    command(0x85);
    uint8_t buf[3];
    EXPECT_EQ(lp_ecp_read_data(port, buf, 3), 3u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), std::vector<uint8_t>(3, 0x85));
    // Count: wait, command test, event 45; its data: wait and event 45 only.
    EXPECT_EQ(io.count('R', kStatus), 5u);
}

TEST_F(SwEcpRead, RunThatExactlyFillsTheRoomCompletesTheRead) {
    data({0x01});
    command(0x03);
    data({0x09});
    uint8_t buf[5];
    EXPECT_EQ(lp_ecp_read_data(port, buf, 5), 5u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 5), (std::vector<uint8_t>{1, 9, 9, 9, 9}));
    EXPECT_TRUE(items.empty());
}

TEST_F(SwEcpRead, RunOneByteTooLongEndsTheReadWithTheCountUnacknowledged) {
    data({0x01});
    command(0x03);
    data({0x09});
    uint8_t buf[8];
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    EXPECT_EQ(lp_ecp_read_data(port, buf, 4), 1u);
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(buf[1], 0xEE);
    EXPECT_EQ(last().kind, 'R');  // the count was read and nothing answered it
    EXPECT_EQ(last().value, 0x03);
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);

    // A later read with room begins with the same count.
    io.clear();
    EXPECT_EQ(lp_ecp_read_data(port, buf, 8), 4u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{9, 9, 9, 9}));
}

TEST_F(SwEcpRead, ChannelAddressEndsEveryReadAtTheSameByte) {
    data({0x05});
    command(0x81);
    data({0x06});
    uint8_t buf[10];
    EXPECT_EQ(lp_ecp_read_data(port, buf, 10), 1u);
    EXPECT_EQ(buf[0], 0x05);
    EXPECT_EQ(last().value, 0x81);
    for (int i = 0; i < 2; i++) {
        io.clear();
        const int64_t start = io.now_us;
        EXPECT_EQ(lp_ecp_read_data(port, buf, 10), 0u);
        EXPECT_LT(io.now_us - start, 1 * kMs);  // no wait for an expiry
        EXPECT_EQ(last().value, 0x81);
    }
    EXPECT_EQ(items.size(), 2u);
}

TEST_F(SwEcpRead, NothingAtAllReturnsZeroAfterThreeFailedWaits) {
    uint8_t buf[4];
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_ecp_read_data(port, buf, 4), 0u);
    EXPECT_EQ(sleeps(5), 6u);  // two pauses in each fast poll
    EXPECT_GT(io.now_us - start, 100 * kMs);
    EXPECT_LE(io.now_us - start, 130 * kMs);
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
}

TEST_F(SwEcpRead, LoneCountIsDroppedAtTheExpiry) {
    command(0x05);
    uint8_t buf[10];
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_ecp_read_data(port, buf, 10), 0u);
    EXPECT_GT(io.now_us - start, 100 * kMs);
    io.clear();
    data({0x07});
    EXPECT_EQ(lp_ecp_read_data(port, buf, 10), 1u);  // one byte, not six
    EXPECT_EQ(buf[0], 0x07);
}

TEST_F(SwEcpRead, PeriphClkNotRisingLosesTheByteAndLeavesHostAckHigh) {
    stuck_clk = true;
    data({0x61, 0x62});
    uint8_t buf[2] = {0xEE, 0xEE};
    EXPECT_EQ(lp_ecp_read_data(port, buf, 2), 0u);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(writes(kControl).back(), 0x20);
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
}

TEST_F(SwEcpRead, ControlBaseComesFromTheControlCopyWithoutItsLowThreeBits) {
    data({0x01});
    uint8_t buf[1];
    EXPECT_EQ(lp_ecp_read_data(port, buf, 1), 1u);
    EXPECT_EQ(writes(kControl), (std::vector<uint8_t>{0x22, 0x20, 0x22}));  // base 0 as opened

    io.clear();
    parport_pc_private_data.ctr_copy = 0x0F;  // as if the copy mask let bits through
    data({0x02});
    EXPECT_EQ(lp_ecp_read_data(port, buf, 1), 1u);
    EXPECT_EQ(writes(kControl), (std::vector<uint8_t>{0x2A, 0x28, 0x2A}));  // nSelectIn held low
}

}  // namespace
