// The link on the simulator: every negotiation outcome, and FIFO transfers end to end through the
// echo peer. Virtual time, unlimited link rate unless a test asks for one.
#include "tests/ieee1284/sim_link_fixture.h"

namespace {

using namespace simlink;

constexpr uint16_t kControl = 0x37A;

class SimNegotiate : public SimLink {
protected:
    // One negotiation, timed on the simulator's clock.
    int32_t negotiate(int32_t mode, uint64_t *us = nullptr) {
        const uint64_t t0 = now();
        const int32_t r = lp_negotiate(port, mode);
        if (us)
            *us = now() - t0;
        return r;
    }
    void expect_compat_idle() {
        EXPECT_EQ(port->mode, LP_MODE_COMPAT);
        EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    }
};

// The first negotiation after opening: EPP termination (50 us nInit pulse), the 1 + 400 + 5 us of
// the negotiation itself, and no wait that runs out.
TEST_F(SimNegotiate, EcpAcceptedLeavesForwardIdle) {
    ASSERT_NO_FATAL_FAILURE(open(""));
    uint64_t us = 0;
    EXPECT_EQ(negotiate(LP_MODE_ECP, &us), 0);
    EXPECT_EQ(port->mode, LP_MODE_ECP);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(periph(), SIM_P_FWD_IDLE);
    EXPECT_EQ(lp_read_status(port), 0xF8);
    EXPECT_EQ(lp_inb(kData), 0x10);  // the request byte stays on the lines
    EXPECT_GE(us, 406u);  // opened at compatibility idle: no nInit pulse before it
    EXPECT_LT(us, 2 * kMs);
    // Again on a link already in ECP: terminated (events 22-28) and negotiated anew.
    EXPECT_EQ(negotiate(LP_MODE_ECP, &us), 0);
    EXPECT_EQ(periph(), SIM_P_FWD_IDLE);
    EXPECT_LT(us, 2 * kMs);
}

TEST_F(SimNegotiate, AbsentPeripheralAfterOneWait) {
    ASSERT_NO_FATAL_FAILURE(open("fault=no-peripheral"));
    uint64_t us = 0;
    EXPECT_EQ(negotiate(LP_MODE_ECP, &us), -1);
    expect_compat_idle();
    EXPECT_EQ(lp_inb(kControl) & 0x0B, 0x08);  // nSelectIn low, nAutoFd and nStrobe high
    EXPECT_EQ(lp_inb(kData), 0x10);
    EXPECT_GE(us, 30 * kMs);  // one ordinary wait: 30 to 40 ms with the records as opened
    EXPECT_LT(us, 42 * kMs);
}

TEST_F(SimNegotiate, RefusedModeIsTerminated) {
    ASSERT_NO_FATAL_FAILURE(open("fault=refuse"));
    uint64_t us = 0;
    EXPECT_EQ(negotiate(LP_MODE_ECP, &us), 1);
    expect_compat_idle();
    EXPECT_EQ(periph(), SIM_P_COMPAT);  // the full termination handshake was answered
    EXPECT_LT(us, 2 * kMs);
}

TEST_F(SimNegotiate, RefusalOfOneRequestOnly) {
    ASSERT_NO_FATAL_FAILURE(open("fault=refuse:0x10"));
    EXPECT_EQ(negotiate(LP_MODE_ECP), 1);
    EXPECT_EQ(negotiate(LP_MODE_ECP_ALIAS), 1);
    expect_compat_idle();
    EXPECT_EQ(negotiate(LP_MODE_EPP), 0);
    EXPECT_EQ(port->mode, LP_MODE_EPP);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    // The same mode by the extensibility link is refused at the link byte.
    EXPECT_EQ(negotiate(LP_MODE_EXT_LINK | LP_MODE_ECP), 1);
    expect_compat_idle();
    EXPECT_EQ(periph(), SIM_P_COMPAT);
}

TEST_F(SimNegotiate, MissingEvent6) {
    ASSERT_NO_FATAL_FAILURE(open("fault=no-event6"));
    uint64_t us = 0;
    EXPECT_EQ(negotiate(LP_MODE_ECP, &us), 1);
    expect_compat_idle();
    EXPECT_EQ(periph(), SIM_P_COMPAT);
    EXPECT_GE(us, 30 * kMs);
    EXPECT_LT(us, 90 * kMs);  // the wait for event 31, then the termination
}

// Event 31 never comes: the negotiation fails like one without event 6, and the link is
// terminated back to compatibility mode.
TEST_F(SimNegotiate, MissingEvent31FailsTheNegotiation) {
    ASSERT_NO_FATAL_FAILURE(open("fault=no-event31"));
    uint64_t us = 0;
    EXPECT_EQ(negotiate(LP_MODE_ECP, &us), 1);
    EXPECT_EQ(lp_negotiation_end(), LP_NEG_NO_EVENT31);
    EXPECT_EQ(port->mode, LP_MODE_COMPAT);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(periph(), SIM_P_COMPAT);
    EXPECT_GE(us, 30 * kMs);
    EXPECT_LT(us, 90 * kMs);  // the wait for event 31, then the termination
}

TEST_F(SimNegotiate, NotImplementedCodeAfterTermination) {
    ASSERT_NO_FATAL_FAILURE(open(""));
    ASSERT_EQ(negotiate(LP_MODE_ECP), 0);
    lp_write_data(port, 0x5A);
    EXPECT_EQ(negotiate(LP_MODE_REFUSED), -38);
    expect_compat_idle();
    EXPECT_EQ(periph(), SIM_P_COMPAT);
    EXPECT_EQ(lp_inb(kData), 0x5A);  // no request byte went out
}

TEST_F(SimNegotiate, EcpAliasStoresItsOwnCode) {
    ASSERT_NO_FATAL_FAILURE(open(""));
    EXPECT_EQ(negotiate(LP_MODE_ECP_ALIAS), 0);
    EXPECT_EQ(port->mode, LP_MODE_ECP_ALIAS);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(periph(), SIM_P_FWD_IDLE);
    EXPECT_EQ(lp_inb(kData), 0x10);
    // The ECP family: a termination from reverse first turns the link forward (nInit high,
    // data lines driven again).
    ASSERT_EQ(lp_ecp_to_reverse(port), 0);
    EXPECT_EQ(periph(), SIM_P_REV_IDLE);
    EXPECT_EQ(negotiate(LP_MODE_COMPAT), 0);
    expect_compat_idle();
    EXPECT_EQ(periph(), SIM_P_COMPAT);
    EXPECT_EQ(lp_inb(kControl) & 0x24, 0x04);
}

TEST_F(SimNegotiate, EppAliasesRequestEpp) {
    for (int32_t code : {LP_MODE_EPP_ALIAS_A, LP_MODE_EPP_ALIAS_B}) {
        SCOPED_TRACE(code);
        ASSERT_NO_FATAL_FAILURE(open(""));
        EXPECT_EQ(negotiate(code), 0);
        EXPECT_EQ(port->mode, code);
        EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
        EXPECT_EQ(periph(), SIM_P_OTHER);
        EXPECT_EQ(lp_read_status(port) & 0x10, 0x10);
        EXPECT_EQ(lp_inb(kData), 0x40);
        // The EPP termination is the nInit pulse, which resets the peripheral.
        EXPECT_EQ(negotiate(LP_MODE_COMPAT), 0);
        EXPECT_EQ(periph(), SIM_P_COMPAT);
        lp_io_use(nullptr);
        sim_destroy(sim);
        sim = nullptr;
    }
}

TEST_F(SimNegotiate, ExtensibilityLinkHasNoEcpSetup) {
    ASSERT_NO_FATAL_FAILURE(open(""));
    const int32_t code = LP_MODE_EXT_LINK | LP_MODE_ECP;
    EXPECT_EQ(negotiate(code), 0);
    EXPECT_EQ(port->mode, code);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(periph(), SIM_P_OTHER);
    EXPECT_EQ(lp_inb(kData), 0x10);  // the link byte followed the request byte 0x80
    EXPECT_EQ(lp_read_status(port) & 0x10, 0x10);
    EXPECT_EQ(negotiate(LP_MODE_COMPAT), 0);
    EXPECT_EQ(periph(), SIM_P_COMPAT);
    // EPP by the link: the link byte is the code's low seven bits.
    EXPECT_EQ(negotiate(LP_MODE_EXT_LINK | LP_MODE_EPP), 0);
    EXPECT_EQ(port->mode, LP_MODE_EXT_LINK | LP_MODE_EPP);
    EXPECT_EQ(lp_inb(kData), 0x40);
    // A link byte the peripheral does not know is refused.
    EXPECT_EQ(negotiate(LP_MODE_EXT_LINK | 0x20), 1);
    expect_compat_idle();
    EXPECT_EQ(periph(), SIM_P_COMPAT);
}

// The masked flag is dropped from the request but kept in the mode, which then belongs to no
// family: its termination is the common branch alone, without the turn to forward.
TEST_F(SimNegotiate, MaskedFlagKeptInMode) {
    ASSERT_NO_FATAL_FAILURE(open(""));
    const int32_t code = LP_MODE_MASKED_FLAG | LP_MODE_ECP;
    EXPECT_EQ(negotiate(code), 0);
    EXPECT_EQ(port->mode, code);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(periph(), SIM_P_FWD_IDLE);  // ECP setup ran
    EXPECT_EQ(lp_inb(kData), 0x10);
    ASSERT_EQ(lp_ecp_to_reverse(port), 0);
    EXPECT_EQ(negotiate(LP_MODE_COMPAT), 0);
    expect_compat_idle();
    EXPECT_EQ(periph(), SIM_P_COMPAT);
    EXPECT_EQ(lp_inb(kControl) & 0x24, 0x20);  // nInit still low, data lines still inputs
}

TEST_F(SimNegotiate, NibbleAcceptedWithXFlagLow) {
    ASSERT_NO_FATAL_FAILURE(open(""));
    EXPECT_EQ(negotiate(LP_MODE_NIBBLE), 0);
    EXPECT_EQ(port->mode, LP_MODE_NIBBLE);
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
    EXPECT_EQ(lp_read_status(port) & 0x10, 0x00);
    EXPECT_EQ(negotiate(LP_MODE_BYTE), 0);
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
    EXPECT_EQ(lp_read_status(port) & 0x10, 0x10);
}

TEST_F(SimNegotiate, CompatibilityFromEcpIsTermination) {
    ASSERT_NO_FATAL_FAILURE(open(""));
    ASSERT_EQ(negotiate(LP_MODE_ECP), 0);
    uint64_t us = 0;
    EXPECT_EQ(negotiate(LP_MODE_COMPAT, &us), 0);
    expect_compat_idle();
    EXPECT_EQ(periph(), SIM_P_COMPAT);
    EXPECT_EQ(lp_read_status(port), 0xD8);
    EXPECT_LT(us, 1 * kMs);
    // And from compatibility mode, where the peripheral ignores event 22: the wait for event 24
    // runs out, and the result is still 0.
    EXPECT_EQ(negotiate(LP_MODE_COMPAT, &us), 0);
    expect_compat_idle();
    EXPECT_EQ(periph(), SIM_P_COMPAT);
    EXPECT_GE(us, 30 * kMs);
    EXPECT_LT(us, 90 * kMs);  // the wait for event 31, then the termination
}

// A termination after a FIFO write: in ECP FIFO mode the port's hardware holds HostAck, so the
// termination's events 25 and 28 reach the peripheral only once the ECR has left mode 011.
TEST_F(SimNegotiate, TerminationAfterAFifoWriteLeavesEcpFifoModeFirst) {
    for (const bool end_first : {true, false}) {
        SCOPED_TRACE(end_first ? "FIFO use ended first" : "terminated in mode 011");
        ASSERT_NO_FATAL_FAILURE(open("rate=100000"));
        ASSERT_EQ(negotiate(LP_MODE_ECP), 0);
        const auto data = simlink::pattern(100);
        ASSERT_EQ(m_mfp_fifo_write_block(port, data.data(), data.size()), data.size());
        if (end_first) {
            EXPECT_EQ(lp_fifo_write_end(port), 0);
        }
        uint64_t us = 0;
        EXPECT_EQ(negotiate(LP_MODE_COMPAT, &us), 0);
        EXPECT_EQ(periph(), end_first ? SIM_P_COMPAT : SIM_P_TERM_24);
        if (end_first) {
            EXPECT_LT(us, 1 * kMs);
        }
        sim_destroy(sim);
        sim = nullptr;
    }
}

// A process killed with the link reversed (nothing else leaves it so: every release terminates):
// the next process opens the port afresh, finds the lines away from compatibility idle, and its
// first negotiation (EPP termination with nInit, then event 1 over a half-done termination) still
// works. Until then the host drives the lines against the peripheral: counted, and meant here.
TEST_F(SimNegotiate, PeripheralLeftReversedByADeadConnection) {
    allow_host_errors();
    ASSERT_NO_FATAL_FAILURE(open(""));
    ASSERT_EQ(negotiate(LP_MODE_ECP), 0);
    ASSERT_EQ(lp_ecp_to_reverse(port), 0);
    lp_port_forget();
    port = lp_port_open(0x378);
    EXPECT_EQ(port->mode, LP_MODE_EPP);  // found in an unknown state: the printer is reset
    EXPECT_EQ(negotiate(LP_MODE_ECP), 0);
    EXPECT_EQ(periph(), SIM_P_FWD_IDLE);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

// FIFO transfers: a write, then a READ request of the same size, through the echo peer.
struct transfer_case {
    const char *config;
    size_t size;
};

class SimFifoEcho : public SimLink, public ::testing::WithParamInterface<transfer_case> {};

TEST_P(SimFifoEcho, WriteThenReadBack) {
    ASSERT_NO_FATAL_FAILURE(open_ecp(GetParam().config));
    const size_t n = GetParam().size;
    const std::vector<uint8_t> data = pattern(n);
    EXPECT_EQ(fifo_write(data), n);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    int finish = -1;
    const std::vector<uint8_t> got = fifo_read(n, &finish);
    EXPECT_EQ(finish, 0);
    ASSERT_EQ(got.size(), n);
    const auto diff = std::mismatch(got.begin(), got.end(), data.begin());
    EXPECT_TRUE(diff.first == got.end()) << "first difference at byte " << (diff.first - got.begin());
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    // A read of nothing never turns the link, so it leaves the ECR in the write's ECP mode.
    EXPECT_EQ(ecr() & 0xE0, n ? 0x20 : 0x60);
    EXPECT_EQ(sim_peer_pending(sim), 0u);
    EXPECT_EQ(lp_fifo_surplus(), 0u);
    sim_counters c;
    sim_get_counters(sim, &c);
    EXPECT_EQ(c.bytes_to_peer, n);
    EXPECT_EQ(c.bytes_from_peer, n);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SimFifoEcho,
    ::testing::Values(transfer_case{"", 0}, transfer_case{"", 1}, transfer_case{"", 15},
                      transfer_case{"", 16}, transfer_case{"", 17}, transfer_case{"", 1000},
                      transfer_case{"", 1u << 20}, transfer_case{"", (8u << 20) - 32},
                      transfer_case{"fifo=4,wthr=2,rthr=2", 3}, transfer_case{"fifo=4,wthr=2,rthr=2", 1000},
                      transfer_case{"fifo=64", 63}, transfer_case{"fifo=64", 65},
                      transfer_case{"fifo=64", 1000}),
    [](const ::testing::TestParamInfo<transfer_case> &info) {
        // "fifo16_1000": test names that say what the case is, stable from build to build.
        std::string fifo = info.param.config[0] ? std::string(info.param.config) : "fifo=16";
        fifo = fifo.substr(0, fifo.find(','));
        fifo.erase(fifo.find('='), 1);
        return fifo + "_" + std::to_string(info.param.size);
    });

// The reverse FIFO pulls ahead of a small read; what it pulled is handed out by the next read, so
// many small READ requests reassemble the whole stream: also with runs of copies, which the port
// may still be expanding (or whose count alone may have crossed) when a read's event 47 comes.
TEST_F(SimLink, SmallReadsReassembleTheStream) {
    std::vector<uint8_t> data = pattern(1000);
    for (size_t at : {100, 300, 310, 700})
        std::fill(data.begin() + long(at), data.begin() + long(at) + 60, uint8_t(at));
    for (const char *config : {"", "rle=on", "rle=on,rate=1000", "rle=on,rate=100000,fifo=4,wthr=2,rthr=2"}) {
        SCOPED_TRACE(config);
        ASSERT_NO_FATAL_FAILURE(open_ecp(config));
        ASSERT_EQ(fifo_write(data), data.size());
        std::vector<uint8_t> all;
        const size_t sizes[] = {1, 7, 8, 9, 100, 3, 16, 17};
        for (size_t i = 0; all.size() < data.size(); i++) {
            const size_t want = std::min(sizes[i % 8], data.size() - all.size());
            int finish = -1;
            const std::vector<uint8_t> got = fifo_read(want, &finish);
            EXPECT_EQ(finish, 0);
            all.insert(all.end(), got.begin(), got.end());
            ASSERT_EQ(got.size(), want) << "after " << all.size() << " bytes";
        }
        EXPECT_TRUE(all == data);
        EXPECT_EQ(lp_fifo_surplus(), 0u);
        EXPECT_EQ(sim_peer_pending(sim), 0u);
        sim_counters c;
        sim_get_counters(sim, &c);
        EXPECT_EQ(c.host_errors, 0u);
        lp_io_use(nullptr);
        sim_destroy(sim);
        sim = nullptr;
    }
}

// At 100 kB/s a byte takes 10 us on the cable: the write returns once the FIFO has the last
// bytes, before the peripheral has them, and the read is paced by the link.
TEST_F(SimLink, FiniteRateWriteReturnsEarlyReadGetsAll) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("rate=100000"));
    const std::vector<uint8_t> data = pattern(4096);
    uint64_t t0 = now();
    EXPECT_EQ(fifo_write(data), data.size());
    const uint64_t write_us = now() - t0;
    EXPECT_LT(write_us, 4096 * 10);
    EXPECT_GT(sim_fifo_count(sim), 0u);
    sim_counters c;
    sim_get_counters(sim, &c);
    EXPECT_LT(c.bytes_to_peer, data.size());
    t0 = now();
    int finish = -1;
    EXPECT_TRUE(fifo_read(data.size(), &finish) == data);
    EXPECT_EQ(finish, 0);
    EXPECT_GE(now() - t0, 4096u * 10);  // every reverse byte crossed the cable after the read began
    EXPECT_EQ(sim_peer_pending(sim), 0u);
}

}  // namespace
