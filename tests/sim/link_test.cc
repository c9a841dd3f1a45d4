// The link in ECR mode 011: forward drain and reverse fill at the link rate, in virtual time.
#include <cstring>

#include "tests/sim/harness.h"

using namespace simtest;

namespace {

std::vector<uint8_t> take_all(host &h) {
    std::vector<uint8_t> got(1 << 16);
    got.resize(sim_peer_take(h.sim, got.data(), got.size()));
    return got;
}

// The reversal as the FIFO read makes it: events 38, 39, wait for 40, then mode 011 with the
// hardware driving HostAck.
bool hw_reverse(host &h, int max_reads = 100) {
    h.ctl(0x26);  // event 38: HostAck low, data lines inputs
    h.ctl(0x22);  // event 39
    if (!h.wait(0x20, 0x00, max_reads))
        return false;
    h.ecr(0x74);
    h.ctl(0x20);  // mode 011 owns HostAck
    return true;
}

// Collect n bytes from the FIFO, polling the empty bit; gives up after max_polls ECR reads.
std::vector<uint8_t> drain(host &h, size_t n, int max_polls = 100000) {
    std::vector<uint8_t> got;
    for (int i = 0; got.size() < n && i < max_polls; i++)
        if (!(h.ecr() & 0x01))
            got.push_back(h.in(FIFO));
    return got;
}

TEST(SimLink, ForwardDrainsAtTheLinkRate) {
    host h("clock=virtual,rate=100000");  // 10 us a byte, 1 us an access
    h.ecp();
    h.ecr(0x74);
    const auto data = pattern(16);
    const uint64_t t0 = h.now();
    h.outs(FIFO, data);
    EXPECT_EQ(h.now(), t0 + 16);
    EXPECT_EQ(sim_fifo_count(h.sim), 14u);  // one byte taken after 10 us, the next in the latch
    while (!(h.ecr() & 0x01) && h.now() < t0 + 1000) {
    }
    // The FIFO reads empty while the last byte still crosses from the output latch (PeriphAck
    // high); the peripheral has it one period later.
    EXPECT_GE(h.now(), t0 + 150);
    EXPECT_LE(h.now(), t0 + 152);
    EXPECT_EQ(h.status() & 0x80, 0x00);
    while (!(h.status() & 0x80) && h.now() < t0 + 1000) {
    }
    EXPECT_GE(h.now(), t0 + 160);
    EXPECT_LE(h.now(), t0 + 162);
    EXPECT_EQ(take_all(h), data);
}

TEST(SimLink, UnlimitedRateDrainsByTheNextAccess) {
    host h("clock=virtual,rate=0,latch=0");
    h.ecp();
    h.ecr(0x74);
    h.outs(FIFO, pattern(16));
    EXPECT_EQ(h.ecr() & 0x03, 0x01);
    EXPECT_EQ(take_all(h), pattern(16));
}

TEST(SimLink, FillAndServiceLoopMovesABlockAtTheLinkRate) {
    host h("clock=virtual");  // 1 MB/s
    h.ecp();
    h.ecr(0x74);
    const auto data = pattern(1000, 9);
    const uint64_t t0 = h.now();
    size_t sent = 0;
    while (sent < data.size()) {
        uint8_t e = h.ecr();
        if (e & 0x02) {
            h.ecr(uint8_t(e & ~0x04));  // arm serviceIntr and wait for it
            while (!(h.ecr() & 0x04)) {
            }
        } else if (e & 0x01) {
            const size_t n = std::min<size_t>(16, data.size() - sent);
            h.io->outsb(h.io->ctx, FIFO, data.data() + sent, n);
            sent += n;
        } else {
            h.out(FIFO, data[sent++]);
        }
    }
    while (!(h.ecr() & 0x01)) {
    }
    const uint64_t took = h.now() - t0;
    EXPECT_GE(took, 1000u);
    EXPECT_LE(took, 1100u);
    EXPECT_EQ(take_all(h), data);
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.bytes_to_peer, 1000u);
}

// The peripheral acknowledges a reversal at once, whatever the FIFO holds; the direction bit works
// in mode 001 only. In mode 011 the port's hardware holds HostAck, so a reversal made there never
// reaches the wire (no event 40), and printed bytes still in the FIFO are lost at the next mode
// change; in mode 000 the host keeps driving the lines against the peripheral. A host that drains
// the FIFO, writes mode 001 and then turns the link loses nothing.
TEST(SimLink, TurningTheLinkIsTheHostsBusiness) {
    const struct {
        const char *what;
        bool drain_first;
        uint8_t mode;  // the ECR mode the reversal is made in
        bool acknowledged;
        uint64_t host_errors, bytes_lost, bytes_to_peer;
    } cases[] = {
        {"mode 011 with bytes in the FIFO", false, 0x60, false, 2, 8, 0},  // direction bit in 011, then lost
        {"mode 011 after the FIFO emptied", true, 0x60, false, 1, 0, 8},
        {"mode 000", true, 0x00, true, 1, 0, 8},
        {"drained, then mode 001", true, 0x20, true, 0, 0, 8},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        host h("clock=virtual,rate=1000");  // 1 ms a byte
        h.allow_host_errors();  // counted below, row by row
        h.ecp();
        h.ecr(0x74);
        h.outs(FIFO, pattern(8));
        const uint64_t t0 = h.now();
        while (c.drain_first && !((h.ecr() & 0x01) && (h.status() & 0x80)) && h.now() < t0 + 100000) {
        }
        if (c.mode != 0x60)
            h.ecr(uint8_t(0x14 | c.mode));
        const uint8_t q = 0xC3;
        sim_peer_push(h.sim, &q, 1);
        h.ctl(0x26);
        h.ctl(0x22);  // events 38, 39
        EXPECT_EQ(h.status() & 0x20, c.acknowledged ? 0x00 : 0x20);  // event 40 at once, or never
        h.ecr(0x34);  // PS/2 mode: the lines now follow the direction bit (reversed)
        sim_counters n;
        sim_get_counters(h.sim, &n);
        EXPECT_EQ(n.host_errors, c.host_errors);
        EXPECT_EQ(n.bytes_lost, c.bytes_lost);
        EXPECT_EQ(n.bytes_to_peer, c.bytes_to_peer);
    }
}

// While both ends drive the lines, DATA reads garbage (the wired AND of the two bytes).
TEST(SimLink, BusContentionReadsGarbage) {
    host h("clock=virtual");
    h.allow_host_errors();  // contention is the point
    h.ecp();
    h.ecr(0x14);  // mode 000 drives the lines whatever the direction bit says
    h.out(DATA, 0x5A);
    const uint8_t q = 0xC3;
    sim_peer_push(h.sim, &q, 1);
    h.ctl(0x26);
    h.ctl(0x22);
    ASSERT_EQ(h.status() & 0x20, 0x00);  // event 40: the peripheral drives its byte
    EXPECT_EQ(h.in(DATA), 0x5A & 0xC3);
    h.ecr(0x34);
    EXPECT_EQ(h.in(DATA), 0xC3);
}

TEST(SimLink, ReverseFillsAtTheLinkRateAndRaisesServiceIntr) {
    host h("clock=virtual,rate=100000");
    h.ecp();
    const auto data = pattern(100, 3);
    sim_peer_push(h.sim, data.data(), data.size());
    ASSERT_TRUE(hw_reverse(h));
    h.ecr(0x70);  // arm serviceIntr
    const uint64_t t1 = h.now();
    while (!(h.ecr() & 0x04) && h.now() < t1 + 1000) {
    }
    EXPECT_GE(h.now(), t1 + 70);   // 8 bytes in at 10 us each
    EXPECT_LE(h.now(), t1 + 90);
    EXPECT_GE(sim_fifo_count(h.sim), 8u);
    EXPECT_EQ(drain(h, 100), data);
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.bytes_from_peer, 100u);
}

TEST(SimLink, SurplusStaysInTheFifoUntilModeChange) {
    host h("clock=virtual,rate=0");
    h.ecp();
    const auto data = pattern(100, 5);
    sim_peer_push(h.sim, data.data(), data.size());
    ASSERT_TRUE(hw_reverse(h));
    const auto first = drain(h, 5);
    EXPECT_EQ(first, std::vector<uint8_t>(data.begin(), data.begin() + 5));
    EXPECT_EQ(sim_fifo_count(h.sim), 16u);  // the port went on pulling
    h.ctl(0x24);  // event 47
    EXPECT_EQ(h.status() & 0xE0, 0xE0);
    h.sleep(1000);
    EXPECT_EQ(sim_fifo_count(h.sim), 16u);  // no more pulling once nReverseRequest is high
    EXPECT_EQ(sim_peer_pending(h.sim), 100u - 5u - 16u);
    h.ecr(0x34);  // mode 001 discards the surplus
    EXPECT_EQ(sim_fifo_count(h.sim), 0u);
    EXPECT_EQ(sim_peer_pending(h.sim), 79u);
}

TEST(SimLink, RunLengthIsExpandedByThePort) {
    host h("clock=virtual,rate=1000,rle=on");  // 1 ms a symbol
    h.ecp();
    std::vector<uint8_t> data(50, 'A');
    data.push_back('B');
    sim_peer_push(h.sim, data.data(), data.size());
    ASSERT_TRUE(hw_reverse(h));
    const uint64_t t1 = h.now();
    h.sleep(2500);  // the count and its byte have crossed; the copies cost no link time
    EXPECT_EQ(sim_fifo_count(h.sim), 16u);
    EXPECT_EQ(drain(h, 51), data);
    // Three symbols on the wire; the port takes the next one once the run is in the FIFO.
    EXPECT_GE(h.now(), t1 + 3000);
    EXPECT_LE(h.now(), t1 + 3700);
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.bytes_from_peer, 51u);
}

TEST(SimLink, RunOverFetchLeavesTheRestOfTheRunInTheFifo) {
    host h("clock=virtual,rate=0,rle=on");
    h.ecp();
    std::vector<uint8_t> data(128, 0x00);
    sim_peer_push(h.sim, data.data(), data.size());
    ASSERT_TRUE(hw_reverse(h));
    EXPECT_EQ(drain(h, 10), std::vector<uint8_t>(10, 0x00));
    EXPECT_EQ(sim_fifo_count(h.sim), 16u);
    EXPECT_EQ(sim_peer_pending(h.sim), 0u);
    h.ctl(0x24);
    h.ecr(0x34);
    EXPECT_EQ(sim_fifo_count(h.sim), 0u);  // the 118 copies left are gone with the FIFO
}

// A run cut by event 47 between its count and its data byte: the byte still crosses, and the port
// expands the whole run into the FIFO as the host drains it.
TEST(SimLink, RunCutByEventFortySevenIsCompleted) {
    host h("clock=virtual,rate=1000,rle=on");  // 1 ms a symbol
    h.ecp();
    std::vector<uint8_t> data = pattern(16, 40);
    data.insert(data.end(), 50, 'Z');
    sim_peer_push(h.sim, data.data(), data.size());
    ASSERT_TRUE(hw_reverse(h));
    h.sleep(20000);
    ASSERT_EQ(sim_fifo_count(h.sim), 16u);
    std::vector<uint8_t> got{h.in(FIFO)};  // room for one: the count crosses 1 ms later
    h.sleep(1500);
    h.ctl(0x24);  // event 47, with the run's byte still in the peripheral
    const auto rest = drain(h, 100, 1000);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, data);
    EXPECT_EQ(sim_peer_pending(h.sim), 0u);
}

// A peer with no room (the echo queue full) is a busy printer: the FIFO stays full and nothing is
// dropped; once the queue has room the bytes go on.
TEST(SimLink, FullEchoQueueTakesNothingAndDropsNothing) {
    host h("clock=virtual,rate=0");
    h.ecp();
    const std::vector<uint8_t> fill(16u << 20, 0x11);
    ASSERT_EQ(sim_peer_push(h.sim, fill.data(), fill.size()), fill.size());
    h.ecr(0x74);
    h.outs(FIFO, pattern(16));
    h.sleep(1000000);
    EXPECT_EQ(h.ecr() & 0x03, 0x00);       // one byte in the output latch, PeriphAck held high
    EXPECT_EQ(h.status() & 0x80, 0x00);
    std::vector<uint8_t> some(10);
    ASSERT_EQ(sim_peer_take(h.sim, some.data(), some.size()), 10u);
    h.sleep(1000);
    EXPECT_EQ(sim_fifo_count(h.sim), 5u);
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.bytes_to_peer, 10u);
    EXPECT_EQ(c.host_errors, 0u);
}

TEST(SimLink, EchoQueueHoldsSixteenMebibytesAndMovesEightThroughTheFifo) {
    host h("clock=virtual,rate=0,latch=0");
    h.ecp();
    h.ecr(0x74);
    const size_t total = 8u << 20;
    std::vector<uint8_t> data = pattern(total, 11);
    for (size_t off = 0; off < total; off += 16) {
        while (!(h.ecr() & 0x01)) {
        }
        h.io->outsb(h.io->ctx, FIFO, data.data() + off, 16);
    }
    while (!(h.ecr() & 0x01)) {
    }
    EXPECT_EQ(sim_peer_pending(h.sim), total);
    std::vector<uint8_t> more(total, 0x33);
    EXPECT_EQ(sim_peer_push(h.sim, more.data(), more.size()), total);
    EXPECT_EQ(sim_peer_push(h.sim, more.data(), 1), 0u);  // 16 MiB is the limit
    std::vector<uint8_t> back(total);
    ASSERT_EQ(sim_peer_take(h.sim, back.data(), total), total);
    EXPECT_TRUE(back == data);
}

}  // namespace
