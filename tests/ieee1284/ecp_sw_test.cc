// The software-handshake ECP transfers, first half: the two direction changes and the byte-by-byte
// write with its host transfer recovery.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "ieee1284/ieee1284.h"
#include "tests/ieee1284/link_fixture.h"

namespace {

using namespace linktest;

class SwEcp : public LinkTest {
protected:
    SwEcp() {
        port->mode = LP_MODE_ECP;
        port->phase = LP_PH_FWD_IDLE;
        priv_ctr = 0x06;  // as an accepted ECP negotiation leaves it
        io.on_read(kStatus, [this] { return status ? status() : uint8_t(0xFF); });
    }

    // A forward peripheral: PeriphAck (Busy) high while HostClk is low, low again once it rises;
    // nAckReverse high while nReverseRequest is high.
    uint8_t forward_status() const {
        return uint8_t(((ctl & 0x01) ? 0x18 : 0x98) | ((ctl & 0x04) ? 0x20 : 0x00));
    }

    std::function<uint8_t()> status;
};

// ---- Direction changes ---------------------------------------------------------------------

TEST_F(SwEcp, ToForwardTurnsTheDataLinesOnlyWhenNAckReverseRises) {
    status = [this] { return forward_status(); };
    priv_ctr = 0x22;
    port->phase = LP_PH_REV_IDLE;
    EXPECT_EQ(lp_ecp_to_forward(port), 0);
    EXPECT_EQ(steps(), "W 37a 26\nR 379 b8\nW 37a 06\n");  // events 47, 49, forward
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);

    io.clear();
    status = [] { return uint8_t(0x98); };  // nAckReverse stays low
    priv_ctr = 0x22;
    port->phase = LP_PH_REV_IDLE;
    EXPECT_EQ(lp_ecp_to_forward(port), 1);
    EXPECT_EQ(writes(kControl), std::vector<uint8_t>{0x26});  // the data lines stay reversed
    EXPECT_EQ(port->phase, LP_PH_ECP_DIR_UNKNOWN);
}

TEST_F(SwEcp, ToReverseRunsEvents38To40AndMarksAFailureAsDirectionUnknown) {
    status = [this] { return uint8_t((ctl & 0x04) ? 0xF8 : 0xD8); };
    priv_ctr = 0x04;
    EXPECT_EQ(lp_ecp_to_reverse(port), 0);
    EXPECT_EQ(steps(), "W 37a 06\nW 37a 26\nS 5\nW 37a 22\nR 379 d8\n");
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);

    io.clear();
    io.clock_cost_us = 50;
    status = [] { return uint8_t(0xF8); };  // the peripheral never asserts nAckReverse
    priv_ctr = 0x04;
    port->phase = LP_PH_FWD_IDLE;
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_ecp_to_reverse(port), 1);
    EXPECT_GT(io.now_us - start, 5000 * kMs);  // the long wait
    EXPECT_LE(io.now_us - start, 5060 * kMs);
    EXPECT_EQ(writes(kControl), (std::vector<uint8_t>{0x06, 0x26, 0x22}));  // lines left as set
    EXPECT_EQ(port->phase, LP_PH_ECP_DIR_UNKNOWN);
}

// ---- Software write ------------------------------------------------------------------------

TEST_F(SwEcp, WriteHandshakesEachByteWithHostClkAndPeriphAck) {
    status = [this] { return forward_status(); };
    std::vector<int32_t> phases;
    on_ctl = [&](uint8_t) { phases.push_back(port->phase); };
    const uint8_t data[] = {0xA1, 0xB2};
    verbose = 5;
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_parport_ieee1284_ecp_write_data(port, data, 2), 2u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " 2 bytes written by m_parport_ieee1284_ecp_write_data\n");
    EXPECT_EQ(steps(),
              "W 37a 04\n"              // HostClk, HostAck high, nInit high
              "W 378 a1\n"              // event 34
              "W 37a 05\nS 5\n"         // event 35: HostClk low
              "R 379 38\n"              // event 36: PeriphAck high
              "W 37a 04\nS 5\n"         // event 37: HostClk high
              "R 379 b8\n"              // PeriphAck low: taken
              "W 378 b2\nW 37a 05\nS 5\nR 379 38\nW 37a 04\nS 5\nR 379 b8\n");
    EXPECT_EQ(phases, std::vector<int32_t>(5, LP_PH_FWD_DATA));
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    // The expiry of each byte is taken just before its data goes out.
    for (size_t i = 1; i < io.log.size(); i++) {
        if (io.log[i].kind == 'W' && io.log[i].addr == kData) {
            EXPECT_EQ(io.log[i - 1].kind, 'T');
        }
    }
}

TEST_F(SwEcp, WriteOfNothingStillRaisesTheLinesAndPrintsZero) {
    verbose = 5;
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_parport_ieee1284_ecp_write_data(port, nullptr, 0), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " 0 bytes written by m_parport_ieee1284_ecp_write_data\n");
    EXPECT_EQ(steps(), "W 37a 04\n");
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(SwEcp, WriteOutsideForwardIdleTurnsTheLinkForwardFirst) {
    status = [this] { return forward_status(); };
    priv_ctr = 0x22;
    port->phase = LP_PH_REV_IDLE;
    const uint8_t data[] = {0x7E};
    EXPECT_EQ(m_parport_ieee1284_ecp_write_data(port, data, 1), 1u);
    EXPECT_TRUE(steps_begin("W 37a 26\nR 379 b8\nW 37a 06\nW 37a 04\nW 378 7e\n"));
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(SwEcp, WriteWhoseTurnForwardFailsSendsNothingAndPrintsNothing) {
    status = [] { return uint8_t(0x98); };
    io.forbid(kData);
    priv_ctr = 0x22;
    port->phase = LP_PH_REV_IDLE;
    verbose = 5;
    const uint8_t data[] = {1, 2};
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_parport_ieee1284_ecp_write_data(port, data, 2), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(port->phase, LP_PH_ECP_DIR_UNKNOWN);

    // The next write tries the turn again.
    io.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_parport_ieee1284_ecp_write_data(port, data, 2), 0u);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(writes(kControl), std::vector<uint8_t>{0x26});
}

class SwEcpRecovery : public SwEcp {
protected:
    SwEcpRecovery() { io.clock_cost_us = 200; }

    // The accesses after the last of the 100 failed waits: the recovery's first CONTROL write.
    std::string recovery() const {
        const std::string s = steps();
        return s.substr(s.rfind("W 37a 05\nS 50\n"));
    }
};

TEST_F(SwEcpRecovery, HundredFailedWaitsThenNAckReverseHighEndsTheTransfer) {
    status = [] { return uint8_t(0xB8); };  // PeriphAck never rises; nAckReverse high
    const uint8_t data[] = {0x11};
    const int64_t start = io.now_us;
    EXPECT_EQ(m_parport_ieee1284_ecp_write_data(port, data, 1), 0u);
    EXPECT_EQ(sleeps(5), 1u + 200u);  // event 35, then two pauses in each of 100 fast polls
    EXPECT_GE(io.now_us - start, 3000 * kMs);
    EXPECT_LE(io.now_us - start, 4100 * kMs);
    EXPECT_EQ(recovery(), "W 37a 05\nS 50\nR 379 b8\nW 37a 01\n");
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(SwEcpRecovery, NAckReverseStayingLowAfterTheNInitPulseEndsTheTransfer) {
    status = [] { return uint8_t(0x98); };
    const uint8_t data[] = {0x11};
    EXPECT_EQ(m_parport_ieee1284_ecp_write_data(port, data, 1), 0u);
    EXPECT_EQ(recovery(), "W 37a 05\nS 50\nR 379 98\nW 37a 01\nS 50\nR 379 98\n");
}

TEST_F(SwEcpRecovery, RecoveredPeripheralPastTheExpiryStillEndsTheTransfer) {
    // nAckReverse follows nInit inverted: the peripheral answers the pulse, but 100 waits of 30
    // to 40 ms are far past the byte's 100 ms expiry.
    status = [this] { return uint8_t(0x98 | ((ctl & 0x04) ? 0x00 : 0x20)); };
    const uint8_t data[] = {0x11, 0x22};
    EXPECT_EQ(m_parport_ieee1284_ecp_write_data(port, data, 2), 0u);
    EXPECT_EQ(recovery(), "W 37a 05\nS 50\nR 379 98\nW 37a 01\nS 50\nR 379 b8\n");
    EXPECT_EQ(writes(kData), std::vector<uint8_t>{0x11});
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(SwEcpRecovery, WithinTheExpiryTheSameByteIsRetriedAndNInitStaysLow) {
    cad_data.timeout = 1000;  // 10 s: the recovery ends well inside the byte's expiry
    bool recovered = false;
    on_ctl = [&](uint8_t v) { recovered = recovered || !(v & 0x04); };
    status = [&] {
        if (!recovered)
            return uint8_t(0x98);  // stuck: PeriphAck never rises
        return uint8_t(((ctl & 0x01) ? 0x18 : 0x98) | ((ctl & 0x04) ? 0x00 : 0x20));
    };
    const uint8_t data[] = {0x11, 0x22};
    EXPECT_EQ(m_parport_ieee1284_ecp_write_data(port, data, 2), 2u);
    EXPECT_EQ(writes(kData), (std::vector<uint8_t>{0x11, 0x11, 0x22}));
    // Set-up, HostClk low, the recovery's nInit pulse, then the retry with HostClk still low and
    // nInit low for the rest of the transfer.
    EXPECT_EQ(writes(kControl), (std::vector<uint8_t>{0x04, 0x05, 0x05, 0x01, 0x01, 0x00, 0x01, 0x00}));
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(SwEcp, ByteIsNotCountedWhenPeriphAckStaysHighAfterHostClkRises) {
    int clocks = 0;
    on_ctl = [&](uint8_t v) { clocks += (v & 0x01) ? 1 : 0; };
    status = [&] { return clocks >= 3 ? uint8_t(0x38) : forward_status(); };  // third byte: stuck
    const uint8_t data[] = {1, 2, 3, 4};
    verbose = 5;
    testing::internal::CaptureStdout();
    const int64_t start = io.now_us;
    EXPECT_EQ(m_parport_ieee1284_ecp_write_data(port, data, 4), 2u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " 2 bytes written by m_parport_ieee1284_ecp_write_data\n");
    EXPECT_EQ(writes(kData), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(writes(kControl).back(), 0x04);  // event 37 of the third byte was the last step
    EXPECT_LT(io.now_us - start, 45 * kMs);      // one failed wait
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

}  // namespace
