// FIFO transfers against a misbehaving peripheral: each injected fault ends the transfer at its
// own time bound, measured on the simulator's clock. The waits of several seconds run with a
// 20 us access cost so they take few accesses, and so little real time.
#include "tests/ieee1284/sim_link_fixture.h"

namespace {

using namespace simlink;

class SimFifoFault : public SimLink {
protected:
    // Bytes for the echo peer to send back, without a forward transfer.
    void echo(const std::vector<uint8_t> &bytes) { ASSERT_EQ(sim_peer_push(sim, bytes.data(), bytes.size()), bytes.size()); }

    uint64_t timed_write(const std::vector<uint8_t> &bytes, uint64_t *us) {
        const uint64_t t0 = now();
        const uint64_t n = fifo_write(bytes);
        *us = now() - t0;
        return n;
    }
    uint64_t timed_read_block(std::vector<uint8_t> &buf, uint64_t len, uint64_t *us) {
        buf.assign(len, 0);
        const uint64_t t0 = now();
        const uint64_t n = lp_fifo_read_block(port, buf.data(), len);
        *us = now() - t0;
        buf.resize(n);
        return n;
    }
};

// The peripheral takes nothing: the first byte waits in the output latch (PeriphAck high), one
// burst fills the FIFO behind it, then the write waits 500 ticks on it. The count is what the
// port accepted.
TEST_F(SimFifoFault, StallEndsTheWriteAfterFiveSeconds) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("io_ns=20000,fault=stall"));
    uint64_t us = 0;
    EXPECT_EQ(timed_write(pattern(100), &us), 17u);
    EXPECT_GE(us, 4990 * kMs);
    EXPECT_LE(us, 5050 * kMs);
    EXPECT_EQ(sim_fifo_count(sim), 16u);
    sim_counters c;
    sim_get_counters(sim, &c);
    EXPECT_EQ(c.bytes_to_peer, 0u);
}

// It takes 100 bytes and stops: the count is what the port took, 100 + the latch + one full FIFO,
// and the 5 s run from the last pass that found room.
TEST_F(SimFifoFault, StallAfterSomeBytes) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("io_ns=20000,fault=stall:100"));
    uint64_t us = 0;
    EXPECT_EQ(timed_write(pattern(1000), &us), 117u);
    EXPECT_GE(us, 4990 * kMs);
    EXPECT_LE(us, 5050 * kMs);
    sim_counters c;
    sim_get_counters(sim, &c);
    EXPECT_EQ(c.bytes_to_peer, 100u);
    // A second write finds the FIFO full at once and ends the same way, with nothing moved.
    EXPECT_EQ(timed_write(pattern(10), &us), 0u);
    EXPECT_GE(us, 4990 * kMs);
    EXPECT_LE(us, 5050 * kMs);
}

// A FIFO that reads full from the start (depth 0) must not make the write loop for ever.
TEST_F(SimFifoFault, ZeroDepthFifoEndsTheWrite) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("io_ns=20000,fifo=0"));
    ASSERT_EQ(port->priv->fifo_size, 0);
    uint64_t us = 0;
    EXPECT_EQ(timed_write(pattern(10), &us), 0u);
    EXPECT_GE(us, 4990 * kMs);
    EXPECT_LE(us, 5050 * kMs);
}

// Event 40 never comes: the long wait gives up after about 5 s, the read returns 0 and leaves the
// phase alone; the finish still restores forward idle, and the link works forward again.
TEST_F(SimFifoFault, ReversalNeverAcknowledged) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("io_ns=20000,fault=no-reverse"));
    ASSERT_NO_FATAL_FAILURE(echo(pattern(50)));
    std::vector<uint8_t> buf;
    uint64_t us = 0;
    EXPECT_EQ(timed_read_block(buf, 50, &us), 0u);
    EXPECT_GE(us, 5000 * kMs);
    EXPECT_LE(us, 5100 * kMs);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(ecr() & 0x0C, 0x04);  // dmaEn cleared, serviceIntr set
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(ecr() & 0xE0, 0x20);
    EXPECT_EQ(periph(), SIM_P_FWD_IDLE);
    EXPECT_EQ(fifo_write(pattern(10)), 10u);
    EXPECT_EQ(sim_fifo_count(sim), 0u);  // the unlimited link has moved them all on
    EXPECT_EQ(sim_peer_pending(sim), 60u);
}

// Event 49 never comes after a read: the finish gives up after 2000 ticks with result 1 and puts
// the port in forward idle all the same. The bytes of the read are not lost.
TEST_F(SimFifoFault, ReversalNeverFinished) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("io_ns=100000,fault=no-forward"));
    const std::vector<uint8_t> data = pattern(100);
    ASSERT_EQ(fifo_write(data), data.size());
    std::vector<uint8_t> got(data.size());
    ASSERT_EQ(lp_fifo_read_block(port, got.data(), got.size()), got.size());
    EXPECT_TRUE(got == data);
    const uint64_t t0 = now();
    EXPECT_EQ(lp_fifo_read_finish(port), 1);
    const uint64_t us = now() - t0;
    EXPECT_GE(us, 19990 * kMs);
    EXPECT_LE(us, 20050 * kMs);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(ecr() & 0xE0, 0x20);
    EXPECT_EQ(lp_inb(0x37A) & 0x24, 0x04);  // nReverseRequest high, data lines forward
}

// PeriphAck stuck high: the FIFO hardware moves the bytes, but the host never sees the last one's
// handshake end, so the read does not turn the link (5 s) and the finish never sees Busy low (20 s).
TEST_F(SimFifoFault, AckHighKeepsTheFinishWaiting) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("io_ns=100000,fault=ack-high"));
    const std::vector<uint8_t> data = pattern(300);
    ASSERT_EQ(fifo_write(data), data.size());
    const uint64_t t0 = now();
    int finish = -1;
    EXPECT_TRUE(fifo_read(data.size(), &finish).empty());
    EXPECT_EQ(finish, 1);
    EXPECT_GE(now() - t0, 24990 * kMs);
    EXPECT_LE(now() - t0, 25100 * kMs);
}

// PeriphAck stuck low changes nothing the FIFO path looks at.
TEST_F(SimFifoFault, AckLowFifoTransfersUnaffected) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("fault=ack-low"));
    const std::vector<uint8_t> data = pattern(300);
    ASSERT_EQ(fifo_write(data), data.size());
    const uint64_t t0 = now();
    int finish = -1;
    EXPECT_TRUE(fifo_read(data.size(), &finish) == data);
    EXPECT_EQ(finish, 0);
    EXPECT_LT(now() - t0, 10 * kMs);
}

// A read shorter than the threshold polls its tail for 1 s, then returns what came.
TEST_F(SimFifoFault, ShortTailAfterOneSecond) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("io_ns=20000,fault=short:5"));
    ASSERT_NO_FATAL_FAILURE(echo(pattern(100)));
    std::vector<uint8_t> buf;
    uint64_t us = 0;
    EXPECT_EQ(timed_read_block(buf, 7, &us), 5u);
    EXPECT_TRUE(buf == pattern(5));
    EXPECT_GE(us, 990 * kMs);
    EXPECT_LE(us, 1010 * kMs);
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
}

TEST_F(SimFifoFault, TailThatCompletesReturnsAtOnce) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("io_ns=20000,fault=short:5"));
    ASSERT_NO_FATAL_FAILURE(echo(pattern(100)));
    std::vector<uint8_t> buf;
    uint64_t us = 0;
    EXPECT_EQ(timed_read_block(buf, 5, &us), 5u);
    EXPECT_LT(us, 5 * kMs);
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
}

// A big read from a peripheral that stops: the threshold passes take what came, and the first
// expiry (100 ms after a pass armed the service bit) that finds the FIFO empty ends it.
TEST_F(SimFifoFault, ShortBigReadEndsAtTheExpiry) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("fault=short:50"));
    ASSERT_NO_FATAL_FAILURE(echo(pattern(1000)));
    std::vector<uint8_t> buf;
    uint64_t us = 0;
    EXPECT_EQ(timed_read_block(buf, 1000, &us), 50u);
    EXPECT_TRUE(buf == pattern(50));
    EXPECT_GE(us, 90 * kMs);
    EXPECT_LE(us, 110 * kMs);
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
}

TEST_F(SimFifoFault, NothingToSend) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("io_ns=20000"));
    std::vector<uint8_t> buf;
    uint64_t us = 0;
    EXPECT_EQ(timed_read_block(buf, 100, &us), 0u);  // one expiry
    EXPECT_GE(us, 90 * kMs);
    EXPECT_LE(us, 110 * kMs);
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
    EXPECT_EQ(timed_read_block(buf, 3, &us), 0u);  // the tail's second
    EXPECT_GE(us, 990 * kMs);
    EXPECT_LE(us, 1010 * kMs);
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
}

// The FIFO has no tag bit for a channel address, so the port stops pulling in front of it: the
// read gets the bytes before it and ends at the expiry.
TEST_F(SimFifoFault, ChannelAddressStopsTheFifo) {
    ASSERT_NO_FATAL_FAILURE(open_ecp("fault=channel:20"));
    ASSERT_NO_FATAL_FAILURE(echo(pattern(100)));
    std::vector<uint8_t> buf;
    uint64_t us = 0;
    EXPECT_EQ(timed_read_block(buf, 100, &us), 20u);
    EXPECT_TRUE(buf == pattern(20));
    EXPECT_GE(us, 90 * kMs);
    EXPECT_LE(us, 110 * kMs);
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
}

// Run-length counts in the reverse stream are expanded by the port; the read sees plain bytes.
TEST_F(SimFifoFault, RunLengthSourceThroughTheFifo) {
    std::vector<uint8_t> file(700, 'Z');
    const std::vector<uint8_t> tail = pattern(300);
    std::copy(tail.begin(), tail.end(), file.begin() + 400);
    ASSERT_NO_FATAL_FAILURE(open_ecp("peer=source,rle=on,source=" + source_file(file)));
    int finish = -1;
    EXPECT_TRUE(fifo_read(file.size(), &finish) == file);
    EXPECT_EQ(finish, 0);
    EXPECT_EQ(sim_peer_pending(sim), 0u);
}

}  // namespace
