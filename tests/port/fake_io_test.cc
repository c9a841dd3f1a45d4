// The fake is the ruler every port and link test measures with, so its own rules are pinned here:
// what a read returns, what it logs, and how its clock moves.
#include "tests/support/fake_io.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "port/io.h"
#include "port/regs.h"

namespace {

TEST(FakeIo, InstallsItselfAndForgetsThePortThenRestoresX86) {
    port_data.base = 0x278;
    priv_ctr = 0x2F;
    {
        fake::fake_io io;
        EXPECT_NE(lp_io_current(), &lp_io_x86);
        EXPECT_EQ(port_data.base, 0);
        EXPECT_EQ(priv_ctr, 0);
        EXPECT_EQ(priv_ctr_writable, 0x3F);
    }
    EXPECT_EQ(lp_io_current(), &lp_io_x86);
}

TEST(FakeIo, ScriptsFixedSequenceAndComputedReads) {
    fake::fake_io io;
    io.set(0x379, 0x7F);
    io.sequence(0x37A, {1, 2, 3});
    int n = 0;
    io.on_read(0x778, [&] { return uint8_t(0x10 + n++); });
    EXPECT_EQ(lp_inb(0x379), 0x7F);
    EXPECT_EQ(lp_inb(0x379), 0x7F);
    EXPECT_EQ(lp_inb(0x37A), 1);
    EXPECT_EQ(lp_inb(0x37A), 2);
    EXPECT_EQ(lp_inb(0x37A), 3);
    EXPECT_EQ(lp_inb(0x37A), 3);  // the last value repeats
    EXPECT_EQ(lp_inb(0x778), 0x10);
    EXPECT_EQ(lp_inb(0x778), 0x11);
    io.set(0x37A, 0x55);  // the latest script wins
    EXPECT_EQ(lp_inb(0x37A), 0x55);
}

TEST(FakeIo, LogsEveryCallInOrderWithVirtualTime) {
    fake::fake_io io;
    io.set(0x37A, 0x0C);
    io.sequence(0x778, {0x11, 0x22});
    io.access_cost_us = 2;
    io.clock_cost_us = 7;
    const int64_t t0 = io.now_us;
    const uint8_t burst[3] = {0xA1, 0xB2, 0xC3};
    uint8_t in[3] = {};
    EXPECT_EQ(lp_io_acquire(0x378), 0);
    lp_inb(0x37A);
    lp_outb(0x37A, 0x2E);
    lp_outsb(0x778, burst, 3);
    lp_insb(0x778, in, 3);  // its bytes come from the address's script, one read each
    lp_usleep(5);
    timeval tv{};
    lp_gettimeofday(&tv);
    EXPECT_EQ(io.str(), "A 378\nR 37a 0c\nW 37a 2e\nO 778 3\nI 778 3\nS 5\nT\n");
    EXPECT_EQ(io.outs, (std::vector<uint8_t>{0xA1, 0xB2, 0xC3}));
    EXPECT_EQ(std::vector<uint8_t>(in, in + 3), (std::vector<uint8_t>{0x11, 0x22, 0x22}));
    // read 2, write 2, three string bytes each way 12, sleep 5: the clock reads t0 + 21, then costs 7.
    EXPECT_EQ(int64_t(tv.tv_sec) * 1'000'000 + tv.tv_usec, t0 + 21);
    EXPECT_EQ(io.now_us, t0 + 28);
    EXPECT_EQ(io.log[1].t_us, t0);
    EXPECT_EQ(io.log[2].t_us, t0 + 2);
    EXPECT_EQ(io.log[4].t_us, t0 + 10);
    EXPECT_EQ(io.log[5].n, 5u);
    EXPECT_EQ(io.only('W').size(), 1u);
    EXPECT_EQ(io.rw(0x37A), (std::vector<std::pair<char, uint8_t>>{{'R', 0x0C}, {'W', 0x2E}}));
    io.clear();
    EXPECT_TRUE(io.log.empty());
    EXPECT_TRUE(io.outs.empty());
    EXPECT_EQ(lp_inb(0x37A), 0x0C);  // scripts survive clear()
}

TEST(FakeIo, AcquireReturnsTheScriptedResult) {
    fake::fake_io io;
    io.acquire_result = 38;  // ENOSYS
    EXPECT_EQ(lp_io_acquire(0x378), 38);
}

TEST(FakeIo, WritesReachObserversIncludingStringBytes) {
    fake::fake_io io;
    std::vector<uint8_t> seen;
    io.on_write(0x778, [&](uint8_t v) { seen.push_back(v); });
    const uint8_t burst[2] = {7, 8};
    lp_outb(0x778, 6);
    lp_outsb(0x778, burst, 2);
    lp_outb(0x77A, 9);
    EXPECT_EQ(seen, (std::vector<uint8_t>{6, 7, 8}));
}

TEST(FakeIo, UnscriptedReadAndForbiddenWriteFailTheTest) {
    fake::fake_io io;
    io.forbid(0x378);
    uint8_t v = 0;
    EXPECT_NONFATAL_FAILURE(v = lp_inb(0x379), "unscripted");
    EXPECT_EQ(v, 0xFF);
    EXPECT_NONFATAL_FAILURE(lp_outb(0x378, 1), "forbidden");
    const uint8_t b = 1;
    EXPECT_NONFATAL_FAILURE(lp_outsb(0x378, &b, 1), "forbidden");
}

}  // namespace
