// Every injected fault, seen from the host side.
#include "tests/sim/harness.h"

using namespace simtest;

namespace {

bool hw_reverse(host &h) {
    h.ctl(0x26);
    h.ctl(0x22);
    if (!h.wait(0x20, 0x00))
        return false;
    h.ecr(0x74);
    h.ctl(0x20);
    return true;
}

TEST(SimFault, NoPeripheralNeverAnswersEventTwo) {
    host h("clock=virtual,fault=no-peripheral");
    EXPECT_EQ(h.status(), 0x78);
    h.ctl(0x0C);
    h.out(DATA, 0x10);
    h.ctl(0x06);
    EXPECT_FALSE(h.wait(0x78, 0x38, 1000));
    EXPECT_STREQ(h.state(), "compat");
}

TEST(SimFault, RefuseEveryModeOrOne) {
    {
        host h("clock=virtual,fault=refuse");
        EXPECT_EQ(h.negotiate(0x10), 0xE8);  // event 6 with XFlag low
        EXPECT_STREQ(h.state(), "other");
        const auto [s24, s27] = h.terminate();  // the host terminates; the peripheral follows
        EXPECT_EQ(s24, 0x98);
        EXPECT_EQ(s27, 0xD8);
    }
    {
        host h("clock=virtual,fault=refuse:0x10");
        EXPECT_EQ(h.negotiate(0x10), 0xE8);
        h.terminate();
        EXPECT_EQ(h.negotiate(0x40), 0xF8);  // others still accepted
    }
}

TEST(SimFault, NoEventSix) {
    host h("clock=virtual,fault=no-event6");
    EXPECT_EQ(h.negotiate(0x10) & 0x40, 0x00);
    EXPECT_FALSE(h.wait(0x40, 0x40, 1000));
    const auto [s24, s27] = h.terminate();
    EXPECT_EQ(s27, 0xD8);
    EXPECT_STREQ(h.state(), "compat");
}

TEST(SimFault, NoEventThirtyOne) {
    host h("clock=virtual,fault=no-event31");
    ASSERT_EQ(h.negotiate(0x10), 0xD8);
    h.ctl(0x06);  // event 30
    EXPECT_FALSE(h.wait(0x20, 0x20, 1000));
    EXPECT_STREQ(h.state(), "ecp-setup");
}

TEST(SimFault, NoReverseNeverAcknowledgesTheReversal) {
    host h("clock=virtual,fault=no-reverse");
    h.ecp();
    EXPECT_FALSE(h.reverse());
    h.sleep(5000000);
    EXPECT_EQ(h.status() & 0x20, 0x20);
    EXPECT_STREQ(h.state(), "rev-req");
    h.ctl(0x26);  // giving up: nReverseRequest high again
    EXPECT_STREQ(h.state(), "fwd-idle");
}

TEST(SimFault, NoForwardNeverFinishesTheTurnBack) {
    host h("clock=virtual,fault=no-forward");
    h.ecp();
    ASSERT_TRUE(h.reverse());
    h.ctl(0x26);  // event 47
    EXPECT_FALSE(h.wait(0xE0, 0xE0, 1000));
    h.terminate();
    EXPECT_STREQ(h.state(), "compat");
}

TEST(SimFault, StallKeepsTheFifoFull) {
    host h("clock=virtual,fault=stall:5");
    h.ecp();
    h.ecr(0x74);
    h.outs(FIFO, pattern(16));
    h.sleep(1000000);
    EXPECT_EQ(sim_fifo_count(h.sim), 10u);  // five taken, the sixth held in the latch, then nothing
    h.outs(FIFO, pattern(8));
    EXPECT_EQ(h.ecr() & 0x02, 0x02);
    h.sleep(1000000);
    EXPECT_EQ(h.ecr() & 0x02, 0x02);
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.bytes_to_peer, 5u);
}

TEST(SimFault, StallHoldsPeriphAckHighInSoftware) {
    host h("clock=virtual,fault=stall");
    h.ecp();
    h.ctl(0x04);
    h.out(DATA, 'z');
    h.ctl(0x05);
    EXPECT_EQ(h.status() & 0x80, 0x00);
    h.ctl(0x04);  // HostClk high: the byte is not taken
    EXPECT_FALSE(h.wait(0x80, 0x80, 1000));
    EXPECT_EQ(sim_peer_pending(h.sim), 0u);
}

// A busy printer for a while: the FIFO stays full for the pause, then drains, and nothing is lost.
// (In software the pause holds PeriphAck high, as stall does.)
TEST(SimFault, PauseTakesNothingForItsLengthThenResumes) {
    host h("clock=virtual,rate=0,fault=pause:10@5");
    h.ecp();
    h.ecr(0x74);
    const uint64_t t0 = h.now();
    h.outs(FIFO, pattern(16));
    h.sleep(9000);
    EXPECT_EQ(sim_fifo_count(h.sim), 10u);  // five taken, the sixth in the latch for the pause
    while (!(h.ecr() & 0x01) && h.now() < t0 + 100000) {
    }
    EXPECT_GE(h.now(), t0 + 10000);
    EXPECT_LE(h.now(), t0 + 10100);
    std::vector<uint8_t> got(32);
    got.resize(sim_peer_take(h.sim, got.data(), got.size()));
    EXPECT_EQ(got, pattern(16));
}

TEST(SimFault, ShortSendsNBytesThenNothing) {
    host h("clock=virtual,rate=0,fault=short:10");
    h.ecp();
    const auto data = pattern(100);
    sim_peer_push(h.sim, data.data(), data.size());
    ASSERT_TRUE(hw_reverse(h));
    h.sleep(100000);
    EXPECT_EQ(sim_fifo_count(h.sim), 10u);
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.bytes_from_peer, 10u);
}

TEST(SimFault, ChannelAddressInSoftwareAndHardware) {
    {
        host h("clock=virtual,fault=channel:2");
        h.ecp();
        const auto data = pattern(8);
        sim_peer_push(h.sim, data.data(), data.size());
        ASSERT_TRUE(h.reverse());
        h.ctl(0x22);
        for (int i = 0; i < 2; i++) {
            ASSERT_TRUE(h.wait(0x40, 0x00));
            EXPECT_EQ(h.in(DATA), data[size_t(i)]);
            h.ctl(0x20);
            h.ctl(0x22);
        }
        ASSERT_TRUE(h.wait(0x40, 0x00));
        EXPECT_EQ(h.status(), 0x98);  // a command
        EXPECT_EQ(h.in(DATA), 0x81);  // channel address 1
    }
    {
        host h("clock=virtual,rate=0,fault=channel:3");
        h.ecp();
        const auto data = pattern(8);
        sim_peer_push(h.sim, data.data(), data.size());
        ASSERT_TRUE(hw_reverse(h));
        h.sleep(10000);
        EXPECT_EQ(sim_fifo_count(h.sim), 3u);  // the port stops at the address
    }
}

TEST(SimFault, LongRunSendsMoreThanAsked) {
    {
        host h("clock=virtual,fault=long-run");
        h.ecp();
        const uint8_t q[] = {'r', 's'};
        sim_peer_push(h.sim, q, 2);
        ASSERT_TRUE(h.reverse());
        h.ctl(0x22);
        ASSERT_TRUE(h.wait(0x40, 0x00));
        EXPECT_EQ(h.status(), 0x98);
        EXPECT_EQ(h.in(DATA), 0x7F);  // 128 copies of the byte that follows
    }
    {
        host h("clock=virtual,rate=0,fault=long-run:40");
        h.ecp();
        const uint8_t q[] = {'r', 's'};
        sim_peer_push(h.sim, q, 2);
        ASSERT_TRUE(hw_reverse(h));
        std::vector<uint8_t> got;
        for (int i = 0; i < 1000 && got.size() < 41; i++)
            if (!(h.ecr() & 0x01))
                got.push_back(h.in(FIFO));
        std::vector<uint8_t> want(40, 'r');
        want.push_back('s');
        EXPECT_EQ(got, want);
    }
}

TEST(SimFault, PeriphAckStuck) {
    {
        host h("clock=virtual,fault=ack-high");
        EXPECT_EQ(h.negotiate(0x10), 0x58);  // Busy reads high everywhere
        h.ctl(0x06);
        EXPECT_EQ(h.status(), 0x78);
        h.ctl(0x26);  // event 47 never shows 0xE0
        EXPECT_FALSE(h.wait(0xE0, 0xE0));
    }
    {
        host h("clock=virtual,fault=ack-low");
        h.ecp();
        h.ctl(0x04);
        h.out(DATA, 'q');
        h.ctl(0x05);  // event 35: PeriphAck never rises
        EXPECT_FALSE(h.wait(0x80, 0x00, 1000));
        const uint8_t d = 'd';
        sim_peer_push(h.sim, &d, 1);
        h.ctl(0x04);
        ASSERT_TRUE(h.reverse());
        h.ctl(0x22);
        ASSERT_TRUE(h.wait(0x40, 0x00));
        EXPECT_EQ(h.status() & 0x80, 0x80);  // a data byte that reads as a command
    }
}



// The rules a real port and printer enforce, each counted as a host error by the simulator.
TEST(SimStrict, EachRuleIsCounted) {
    const struct {
        const char *what, *config;
        void (*act)(host &);
        uint64_t host_errors, bytes_lost;
    } rows[] = {
        {"the direction bit changed in mode 011", "clock=virtual,rate=0",
         [](host &h) {
             h.ecp();
             h.ecr(0x74);
             h.ctl(0x26);
         },
         1, 0},
        {"nInit while the printer still holds what it took", "clock=virtual,rate=0,print=100",
         [](host &h) {
             h.ecp();
             h.ecr(0x74);
             h.outs(FIFO, pattern(12));
             h.sleep(100);          // taken, not printed yet
             h.ecr(0x34);
             h.terminate();
             h.ctl(0x08);           // nInit low in compatibility mode: the printer resets
             h.ctl(0x0C);
         },
         1, 12},
        {"mode 001 while the last byte is in the output latch", "clock=virtual,rate=0,latch=50000",
         [](host &h) {
             h.ecp();
             h.ecr(0x74);
             h.out(FIFO, 0x41);
             EXPECT_EQ(h.ecr() & 0x01, 0x01);    // the FIFO reads empty...
             EXPECT_EQ(h.status() & 0x80, 0x00); // ...with PeriphAck still high
             h.ecr(0x34);
         },
         1, 1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        host h(r.config);
        h.allow_host_errors();  // counted below, row by row
        r.act(h);
        sim_counters c;
        sim_get_counters(h.sim, &c);
        EXPECT_EQ(c.host_errors, r.host_errors);
        EXPECT_EQ(c.bytes_lost, r.bytes_lost);
    }
}

// Jitter: the peripheral's answers come later than the next access, within the bound, and a
// seed gives the same run twice.
TEST(SimStrict, JitterDelaysAnswersAndRepeatsWithItsSeed) {
    auto run = [](const char *config) {
        host h(config);
        h.ctl(0x0C);
        h.out(DATA, 0x10);
        h.ctl(0x06);  // event 1
        int reads = 1;
        while ((h.status() & 0x78) != 0x38 && reads < 1000)
            reads++;
        return std::pair<int, uint64_t>{reads, h.now()};
    };
    EXPECT_EQ(run("clock=virtual").first, 1);
    const auto a = run("clock=virtual,jitter=3"), b = run("clock=virtual,jitter=3");
    EXPECT_EQ(a, b);
    EXPECT_LE(a.second, 60u);  // 50 us at most, and a few accesses
    int later = 0;
    for (const char *seed : {"clock=virtual,jitter=1", "clock=virtual,jitter=2", "clock=virtual,jitter=4", "clock=virtual,jitter=5"})
        later += run(seed).first > 1;
    EXPECT_GE(later, 3);
}

}  // namespace
