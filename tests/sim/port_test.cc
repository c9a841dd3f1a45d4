// The register model: ECR bits, the FIFO in test and configuration mode, and the real port
// opening code measuring the simulated FIFO.
#include <cerrno>
#include <memory>

#include "port/locate.h"
#include "port/regs.h"
#include "tests/sim/harness.h"

using namespace simtest;

namespace {

TEST(SimPort, AcquireOnlyAtTheConfiguredBase) {
    host h("");
    EXPECT_EQ(h.io->acquire(h.io->ctx, 0x378), 0);
    EXPECT_EQ(h.io->acquire(h.io->ctx, 0x278), ENODEV);
    host card("base=0xd010,ecp=0xd000");
    EXPECT_EQ(card.io->acquire(card.io->ctx, 0xd010), 0);
    EXPECT_EQ(card.io->acquire(card.io->ctx, 0x378), ENODEV);
}

TEST(SimPort, PowerUpRegisters) {
    host h("clock=virtual");
    EXPECT_EQ(h.ecr(), 0x05);      // mode 000, serviceIntr set, FIFO empty
    EXPECT_EQ(h.in(CONTROL), 0x0C);
    EXPECT_EQ(h.in(0x77B), 0xFF);  // nothing else decodes
}

TEST(SimPort, TestModeDepthFullEmptyAndLastByte) {
    host h("clock=virtual");
    h.ecr(0xC4);  // test mode, serviceIntr not armed
    EXPECT_EQ(h.ecr(), 0xC5);
    int count = 0;
    while (!(h.ecr() & 0x02) && count < 100)
        h.out(FIFO, uint8_t(0x40 + count++));
    EXPECT_EQ(count, 16);
    EXPECT_EQ(h.ecr(), 0xC6);
    h.out(FIFO, 0xEE);  // dropped: the FIFO is full
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(h.in(FIFO), 0x40 + i);
    EXPECT_EQ(h.ecr() & 0x03, 0x01);
    EXPECT_EQ(h.in(FIFO), 0x4F);  // empty: the last byte again
    EXPECT_EQ(sim_peripheral_state(h.sim), SIM_P_COMPAT);
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.bytes_to_peer, 0u);  // nothing went on the wire
}

// A string transfer is its single accesses: what a full FIFO drops, what an empty one repeats,
// the counts and the virtual time.
TEST(SimPort, StringTransfersAreTheirSingleAccesses) {
    host h("clock=virtual,io_ns=100");
    h.ecr(0xC4);  // test mode
    std::vector<uint8_t> out;
    for (int i = 0; i < 20; i++)
        out.push_back(uint8_t(0x40 + i));
    const uint64_t t0 = h.now();
    h.outs(FIFO, out);  // the last four find the FIFO full
    std::vector<uint8_t> want(out.begin(), out.begin() + 16);
    want.insert(want.end(), {0x4F, 0x4F});  // then empty: the last byte again
    EXPECT_EQ(h.ins(FIFO, 18), want);
    EXPECT_EQ(h.now() - t0, 38u * 100 / 1000);
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.writes[SIM_REG_FIFO], 20u);
    EXPECT_EQ(c.reads[SIM_REG_FIFO], 18u);
    EXPECT_EQ(c.string_outputs, 1u);
    EXPECT_EQ(c.string_inputs, 1u);
}

// serviceIntr, armed by writing 0: forward after wthr reads out of a full FIFO, reverse after
// rthr writes into an empty one.
void measure(host &h, int *wthr, int *rthr) {
    h.ecr(0xC0);
    while (!(h.ecr() & 0x02))
        h.out(FIFO, 0xAA);
    h.ecr(0xC0);  // arm
    *wthr = 0;
    for (int i = 1; !*wthr && !(h.ecr() & 0x01); i++) {
        h.in(FIFO);
        if (h.ecr() & 0x04)
            *wthr = i;
    }
    h.ecr(0x20);  // PS/2 empties the FIFO
    h.ctl(0x2C);  // reverse
    h.ecr(0xC4);
    h.ecr(0xC0);
    *rthr = 0;
    for (int i = 1; !*rthr && !(h.ecr() & 0x02); i++) {
        h.out(FIFO, 0xAA);
        if (h.ecr() & 0x04)
            *rthr = i;
    }
}

TEST(SimPort, ServiceThresholds) {
    const struct {
        const char *config;
        int wthr, rthr;
    } cases[] = {
        {"clock=virtual", 8, 8},
        {"clock=virtual,fifo=32,wthr=4,rthr=24", 4, 24},
        {"clock=virtual,fifo=8", 4, 4},
        {"clock=virtual,wthr=0,rthr=0", 0, 0},  // never asks for service
    };
    for (const auto &c : cases) {
        host h(c.config);
        int w, r;
        measure(h, &w, &r);
        EXPECT_EQ(w, c.wthr) << c.config;
        EXPECT_EQ(r, c.rthr) << c.config;
    }
}

TEST(SimPort, ModesZeroAndOneEmptyTheFifoOthersKeepIt) {
    host h("clock=virtual");
    for (uint8_t mode : {0x00, 0x20, 0x60, 0xE0}) {
        h.ecr(0xC0);
        h.outs(FIFO, {1, 2, 3});
        h.ecr(uint8_t(mode | 0x04));
        h.ecr(0xC0);
        const unsigned expect = mode == 0x00 || mode == 0x20 ? 0 : 3;
        EXPECT_EQ(sim_fifo_count(h.sim), expect) << "mode " << int(mode);
        h.ecr(0x00);
    }
}

TEST(SimPort, ConfigurationModeShowsCnfgA) {
    host h("clock=virtual,cnfga=0x20");
    h.ecr(0xF4);
    EXPECT_EQ(h.in(FIFO), 0x20);
    EXPECT_EQ(h.ecr(), 0xF5);
    host d("clock=virtual");
    d.ecr(0xE0);
    EXPECT_EQ(d.in(FIFO), 0x10);
}

TEST(SimPort, StandardModesHaveNoFifo) {
    host h("clock=virtual");
    h.ecr(0x20);
    h.out(FIFO, 0x11);
    EXPECT_EQ(sim_fifo_count(h.sim), 0u);
    EXPECT_EQ(h.in(FIFO), 0xFF);
}

class SimOpen : public ::testing::Test {
protected:
    void open(const char *config) {
        h = std::make_unique<host>(config);
        lp_port_forget();
        lp_io_use(sim_backend(h->sim));
        ASSERT_EQ(lp_io_acquire(0x378), 0);
        lp_port_open(0x378);
    }
    void open_at(const char *config, int32_t base, int64_t ecp) {
        h = std::make_unique<host>(config);
        lp_port_forget();
        lp_io_use(sim_backend(h->sim));
        ASSERT_EQ(lp_io_acquire(base), 0);
        lp_port_open_at(base, ecp);
    }
    sim_counters counters() {
        sim_counters c;
        sim_get_counters(h->sim, &c);
        return c;
    }
    void TearDown() override {
        lp_io_use(nullptr);
        lp_port_forget();
    }
    std::unique_ptr<host> h;
};

TEST_F(SimOpen, ProbeMeasuresDefaults) {
    open("clock=virtual");
    EXPECT_EQ(parport_pc_private_data.fifo_size, 16);
    EXPECT_EQ(parport_pc_private_data.write_threshold, 8);
    EXPECT_EQ(parport_pc_private_data.read_threshold, 8);
    EXPECT_EQ(parport_pc_private_data.pword, 1);
    EXPECT_EQ(h->ecr(), 0x35);  // PS/2, nErrIntrEn, serviceIntr, empty
    EXPECT_EQ(h->in(CONTROL), 0x00);
    EXPECT_EQ(h->in(DATA), 0x00);
    sim_counters c;
    sim_get_counters(h->sim, &c);
    EXPECT_EQ(c.writes[SIM_REG_FIFO], 16u + 8u);  // depth, then the reverse threshold
    EXPECT_EQ(c.reads[SIM_REG_FIFO], 8u + 1u);    // forward threshold, then cnfgA
    EXPECT_EQ(c.sleep_us, 8u * 50u);
}

TEST_F(SimOpen, ProbeFollowsConfiguration) {
    open("clock=virtual,fifo=64,wthr=16,rthr=48,cnfga=0x00");
    EXPECT_EQ(parport_pc_private_data.fifo_size, 64);
    EXPECT_EQ(parport_pc_private_data.write_threshold, 16);
    EXPECT_EQ(parport_pc_private_data.read_threshold, 48);
    EXPECT_EQ(parport_pc_private_data.pword, 2);
}

// Ports the FIFO transfers cannot use, recognised at opening: no ECR (reads 0xFF, "empty" and
// "full" at once; a FIFO of depth 0 shows the same), where the probe touches nothing there, and a
// full bit that never comes.
TEST_F(SimOpen, PortsWithoutAUsableFifo) {
    const struct {
        const char *config;
        int ecr_present;
        uint64_t fifo_writes;
    } cases[] = {
        {"clock=virtual,fault=no-ecr", 0, 0},
        {"clock=virtual,fifo=0,cnfga=0x20", 0, 0},
        {"clock=virtual,fifo=1024", 1, 1024},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        open(c.config);
        EXPECT_EQ(parport_pc_private_data.ecr_present, c.ecr_present);
        EXPECT_EQ(parport_pc_private_data.fifo_size, 0);
        EXPECT_EQ(parport_pc_private_data.pword, 0);
        EXPECT_EQ(lp_port_has_fifo(&port_data), 0);
        sim_counters n;
        sim_get_counters(h->sim, &n);
        EXPECT_EQ(n.writes[SIM_REG_FIFO], c.fifo_writes);
        EXPECT_EQ(n.host_errors, 0u);
    }
    open("clock=virtual");
    EXPECT_EQ(lp_port_has_fifo(&port_data), 1);
}

// A card with its ECP registers below its base: the probe measures the FIFO there, and no access
// strays to an address the port does not decode (the onboard port's among them).
TEST_F(SimOpen, CardAddressesAreUsedAndNoOther) {
    open_at("clock=virtual,base=0xd010,ecp=0xd000,fifo=32", 0xd010, 0xd000);
    EXPECT_EQ(port_data.base_hi, 0xd000);
    EXPECT_EQ(parport_pc_private_data.fifo_size, 32);
    EXPECT_EQ(parport_pc_private_data.read_threshold, 16);
    const sim_counters c = counters();
    EXPECT_EQ(c.reads[SIM_REG_OTHER] + c.writes[SIM_REG_OTHER], 0u);
    EXPECT_GT(c.writes[SIM_REG_ECR], 0u);
}

// A port given without an ECP range is never touched there, even where registers would answer.
TEST_F(SimOpen, NoEcpRangeMeansNoAccessThere) {
    open_at("clock=virtual", 0x378, LP_NO_ECP);
    EXPECT_EQ(parport_pc_private_data.ecr_present, 0);
    EXPECT_EQ(lp_port_has_fifo(&port_data), 0);
    const sim_counters c = counters();
    EXPECT_EQ(c.reads[SIM_REG_ECR] + c.writes[SIM_REG_ECR] + c.reads[SIM_REG_FIFO] + c.writes[SIM_REG_FIFO], 0u);
    EXPECT_EQ(c.reads[SIM_REG_OTHER] + c.writes[SIM_REG_OTHER], 0u);
    EXPECT_EQ(c.writes[SIM_REG_CONTROL], 1u);  // the initial state: forward, lines idle
    EXPECT_EQ(c.writes[SIM_REG_DATA], 1u);
}

}  // namespace

namespace {

TEST(SimClock, VirtualTimeFollowsAccessesAndSleepsOnly) {
    host h("clock=virtual,io_ns=250");
    struct timeval a, b;
    h.io->gettime(h.io->ctx, &a);
    h.status();
    h.sleep(5000000);
    h.io->gettime(h.io->ctx, &b);
    const int64_t us = (int64_t(b.tv_sec) - a.tv_sec) * 1000000 + (b.tv_usec - a.tv_usec);
    EXPECT_EQ(us, 5000000);  // the sleep, plus 500 ns of accesses that a microsecond reading drops
    EXPECT_EQ(h.now(), 5000000u);
    h.status();
    h.status();
    EXPECT_EQ(h.now(), 5000001u);
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.clock_reads, 2u);
    EXPECT_EQ(c.sleeps, 1u);
    EXPECT_EQ(c.sleep_us, 5000000u);
}

// The real clock runs on CLOCK_MONOTONIC from the simulator's creation, and the link reads that
// same clock: no change of the system time can reach a wait. With nothing in the device timed
// (rate=0) a clock read takes no lock, and is still the same clock, and counted.
TEST(SimClock, RealClockRunsMonotonicAndTheLinkReadsIt) {
    for (const char *config : {"clock=real", "clock=real,rate=0"}) {
        SCOPED_TRACE(config);
        host h(config);
        const uint64_t t0 = h.now();
        h.sleep(2000);
        timeval tv{};
        h.io->gettime(h.io->ctx, &tv);
        const uint64_t t1 = h.now();
        const uint64_t us = uint64_t(tv.tv_sec) * 1000000 + uint64_t(tv.tv_usec);
        EXPECT_GE(us, t0 + 2000);
        EXPECT_LE(us, t1);
        sim_counters c;
        sim_get_counters(h.sim, &c);
        EXPECT_EQ(c.clock_reads, 1u);
    }
}

}  // namespace
