// The software-handshake ECP transfers on the simulator: integrity through the echo peer,
// run-length counts, channel addresses, oversized runs, and the faults with their time bounds.
#include "tests/ieee1284/sim_link_fixture.h"

namespace {

using namespace simlink;

class SimEcpSw : public SimLink {
protected:
    void echo(const std::vector<uint8_t> &bytes) { ASSERT_EQ(sim_peer_push(sim, bytes.data(), bytes.size()), bytes.size()); }

    std::vector<uint8_t> timed_read(uint64_t len, uint64_t *us) {
        const uint64_t t0 = now();
        std::vector<uint8_t> got = sw_read(len);
        *us = now() - t0;
        return got;
    }
    uint64_t timed_write(const std::vector<uint8_t> &bytes, uint64_t *us) {
        const uint64_t t0 = now();
        const uint64_t n = sw_write(bytes);
        *us = now() - t0;
        return n;
    }
    uint64_t taken() {
        sim_counters c;
        sim_get_counters(sim, &c);
        return c.bytes_to_peer;
    }
};

// Write, read back, and again: each change of direction is made by the transfer that needs it.
TEST_F(SimEcpSw, EchoIntegrityBothWays) {
    ASSERT_NO_FATAL_FAILURE(open_ecp(""));
    for (size_t n : {size_t(0), size_t(1), size_t(1000), size_t(20000)}) {
        SCOPED_TRACE(n);
        const std::vector<uint8_t> data = pattern(n, uint8_t(n));
        EXPECT_EQ(sw_write(data), n);
        EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
        EXPECT_EQ(sim_peer_pending(sim), n);
        EXPECT_TRUE(sw_read(n) == data);
        EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
        EXPECT_EQ(sim_peer_pending(sim), 0u);
    }
    EXPECT_EQ(taken(), 21001u);
}

// Runs of every length class from a file sent run-length encoded: the host expands the counts
// itself, and makes one data read per symbol on the wire, not per byte.
TEST_F(SimEcpSw, RunLengthCountsFromSource) {
    std::vector<uint8_t> file;
    size_t symbols = 0;
    uint8_t value = 0x20;
    for (size_t run : {1, 2, 1, 127, 128, 129, 300, 1, 3}) {
        file.insert(file.end(), run, value++);
        for (size_t left = run; left > 0; left -= std::min<size_t>(left, 128))
            symbols += std::min<size_t>(left, 128) > 1 ? 2 : 1;
    }
    const std::vector<uint8_t> tail = pattern(50);
    file.insert(file.end(), tail.begin(), tail.end());
    symbols += 50;
    ASSERT_NO_FATAL_FAILURE(open_ecp("peer=source,rle=on,source=" + source_file(file)));
    sim_reset_counters(sim);
    EXPECT_TRUE(sw_read(file.size()) == file);
    sim_counters c;
    sim_get_counters(sim, &c);
    EXPECT_EQ(c.reads[SIM_REG_DATA], symbols);
    EXPECT_EQ(c.bytes_from_peer, file.size());
    EXPECT_EQ(sim_peer_pending(sim), 0u);
}

// A run longer than the room left is not acknowledged; a read with room enough gets it whole,
// and a run that exactly fills the room is taken.
TEST_F(SimEcpSw, RunLargerThanTheRoomWaitsForALargerRead) {
    std::vector<uint8_t> file(100, 'Z');
    file.push_back('e');
    file.push_back('n');
    ASSERT_NO_FATAL_FAILURE(open_ecp("peer=source,rle=on,source=" + source_file(file)));
    uint64_t us = 0;
    EXPECT_TRUE(timed_read(99, &us).empty());
    EXPECT_LT(us, 1 * kMs);  // ended at the count, no time-out
    EXPECT_EQ(periph(), SIM_P_REV_PRESENT);
    EXPECT_EQ(sw_read(100), std::vector<uint8_t>(100, 'Z'));
    EXPECT_EQ(sw_read(10), std::vector<uint8_t>({'e', 'n'}));
}

TEST_F(SimEcpSw, OversizedRunFault) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("fault=long-run:100"));
    const std::vector<uint8_t> data = pattern(101);
    ASSERT_NO_FATAL_FAILURE(echo(data));
    uint64_t us = 0;
    EXPECT_TRUE(timed_read(50, &us).empty());
    EXPECT_LT(us, 1 * kMs);
    EXPECT_TRUE(sw_read(50).empty());  // the same count again
    std::vector<uint8_t> want(100, data[0]);
    want.insert(want.end(), data.begin() + 1, data.end());
    EXPECT_TRUE(sw_read(200) == want);
}

// A channel address ends the read with the bytes before it; it stays presented, so every later
// read ends at it at once.
TEST_F(SimEcpSw, ChannelAddressEndsEveryRead) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("fault=channel:10"));
    const std::vector<uint8_t> data = pattern(100);
    ASSERT_NO_FATAL_FAILURE(echo(data));
    uint64_t us = 0;
    EXPECT_TRUE(timed_read(100, &us) == std::vector<uint8_t>(data.begin(), data.begin() + 10));
    EXPECT_LT(us, 2 * kMs);
    for (int i = 0; i < 2; i++) {
        EXPECT_TRUE(timed_read(100, &us).empty());
        EXPECT_LT(us, 1 * kMs);
        EXPECT_EQ(periph(), SIM_P_REV_PRESENT);
    }
    EXPECT_EQ(sim_peer_pending(sim), 90u);
}

// No byte at all: three failed waits, a little over the 100 ms expiry. One byte and then
// nothing: the read returns it after one failed wait.
TEST_F(SimEcpSw, PeripheralThatNeverAnswers) {
    ASSERT_NO_FATAL_FAILURE(open_ecp(""));
    uint64_t us = 0;
    EXPECT_TRUE(timed_read(10, &us).empty());
    EXPECT_GE(us, 100 * kMs);
    EXPECT_LE(us, 125 * kMs);
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
    ASSERT_NO_FATAL_FAILURE(echo({0x42}));
    EXPECT_EQ(timed_read(10, &us), std::vector<uint8_t>({0x42}));
    EXPECT_GE(us, 30 * kMs);
    EXPECT_LE(us, 42 * kMs);
}

// A failed change to reverse leaves the direction unknown, so the next write turns the link
// forward first instead of sending into a reversed link.
TEST_F(SimEcpSw, ReversalNeverAcknowledged) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("io_ns=20000,fault=no-reverse"));
    ASSERT_NO_FATAL_FAILURE(echo(pattern(5)));
    uint64_t us = 0;
    EXPECT_TRUE(timed_read(5, &us).empty());
    EXPECT_GE(us, 5000 * kMs);
    EXPECT_LE(us, 5100 * kMs);
    EXPECT_EQ(port->phase, LP_PH_ECP_DIR_UNKNOWN);
    EXPECT_EQ(sw_write(pattern(7)), 7u);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(taken(), 7u);
}

TEST_F(SimEcpSw, ForwardNeverComesBack) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("fault=no-forward"));
    ASSERT_NO_FATAL_FAILURE(echo(pattern(5)));
    EXPECT_TRUE(sw_read(5) == pattern(5));
    uint64_t us = 0;
    EXPECT_EQ(timed_write(pattern(3), &us), 0u);
    EXPECT_GE(us, 30 * kMs);
    EXPECT_LE(us, 42 * kMs);
    EXPECT_EQ(port->phase, LP_PH_ECP_DIR_UNKNOWN);
    EXPECT_EQ(taken(), 0u);
}

// PeriphAck never rises: 100 waits of 30-40 ms, then the host recovery finds the peripheral still
// forward (nAckReverse high) and ends the transfer with nothing written.
TEST_F(SimEcpSw, AckLowEndsTheWriteAfterRecovery) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("io_ns=20000,fault=ack-low"));
    uint64_t us = 0;
    EXPECT_EQ(timed_write(pattern(10), &us), 0u);
    EXPECT_GE(us, 3000 * kMs);
    EXPECT_LE(us, 4050 * kMs);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(taken(), 0u);
    EXPECT_EQ(lp_inb(0x37A) & 0x05, 0x01);  // HostClk left low, nInit low
}

// PeriphAck never falls after HostClk high: the peripheral has the byte, but it is not counted.
TEST_F(SimEcpSw, AckHighEndsTheWriteUncounted) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("fault=ack-high"));
    uint64_t us = 0;
    EXPECT_EQ(timed_write(pattern(10), &us), 0u);
    EXPECT_GE(us, 30 * kMs);
    EXPECT_LE(us, 42 * kMs);
    EXPECT_EQ(taken(), 1u);
}

TEST_F(SimEcpSw, StalledPeripheralEndsTheWrite) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("fault=stall:4"));
    uint64_t us = 0;
    EXPECT_EQ(timed_write(pattern(10), &us), 4u);
    EXPECT_GE(us, 30 * kMs);
    EXPECT_LE(us, 42 * kMs);
    EXPECT_EQ(taken(), 4u);
}

// The read trusts PeriphAck to tell commands from data. Stuck low, every byte is a command: a
// byte with bit 7 clear is taken as a run-length count for the byte after it, one with bit 7 set
// as a channel address that ends the read.
TEST_F(SimEcpSw, AckLowMakesEveryByteACommand) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("fault=ack-low"));
    ASSERT_NO_FATAL_FAILURE(echo({0x02, 0x41, 0x85, 0x43}));
    EXPECT_EQ(sw_read(10), std::vector<uint8_t>({0x41, 0x41, 0x41}));
    uint64_t us = 0;
    EXPECT_TRUE(timed_read(10, &us).empty());
    EXPECT_LT(us, 1 * kMs);
}

// Stuck high, every byte is data: plain data is unharmed.
TEST_F(SimEcpSw, AckHighReadsDataUnharmed) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("fault=ack-high"));
    const std::vector<uint8_t> data = pattern(500);
    ASSERT_NO_FATAL_FAILURE(echo(data));
    EXPECT_TRUE(sw_read(500) == data);
}

}  // namespace
