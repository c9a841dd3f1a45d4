// Port accesses per payload byte of the FIFO transfers, 1 MiB each way at unlimited link rate,
// counted by the simulator: every byte read or written at any register, a string output counted
// once per byte. The figures are printed, not asserted (they belong to the implementation, and a
// change of them is a matter for the benchmarks); what is asserted is what must hold for any
// implementation: the data arrive whole, and each byte crosses the FIFO register exactly once.
//   ieee1284_tests --gtest_filter='SimFigures.*'
#include <cstdio>

#include "tests/ieee1284/sim_link_fixture.h"

namespace {

using namespace simlink;

const char *const kRegNames[SIM_NREGS] = {"DATA", "STATUS", "CONTROL", "FIFO", "ECR", "other"};

uint64_t accesses(const sim_counters &c) {
    uint64_t n = 0;
    for (int r = 0; r < SIM_NREGS; r++)
        n += c.reads[r] + c.writes[r];
    return n;
}

void print(const char *what, const char *config, const sim_counters &c, uint64_t bytes) {
    std::printf("%-5s %-6s %.4f accesses/byte:", what, config, double(accesses(c)) / double(bytes));
    for (int r = 0; r < SIM_NREGS; r++)
        if (c.reads[r] + c.writes[r])
            std::printf(" %s r%llu w%llu", kRegNames[r], (unsigned long long)c.reads[r],
                        (unsigned long long)c.writes[r]);
    std::printf(", %llu string outputs, %llu clock reads\n", (unsigned long long)c.string_outputs,
                (unsigned long long)c.clock_reads);
}

class SimFigures : public SimLink, public ::testing::WithParamInterface<const char *> {};

TEST_P(SimFigures, AccessesPerByteOneMiB) {
    ASSERT_NO_FATAL_FAILURE(open_ecp(GetParam()));
    const uint64_t n = 1u << 20;
    const std::vector<uint8_t> data = pattern(n);

    sim_reset_counters(sim);
    ASSERT_EQ(fifo_write(data), n);
    sim_counters w;
    sim_get_counters(sim, &w);

    sim_reset_counters(sim);
    int finish = -1;
    EXPECT_TRUE(fifo_read(n, &finish) == data);
    EXPECT_EQ(finish, 0);
    sim_counters r;
    sim_get_counters(sim, &r);

    EXPECT_EQ(w.writes[SIM_REG_FIFO], n);
    EXPECT_EQ(w.reads[SIM_REG_FIFO], 0u);
    EXPECT_EQ(r.reads[SIM_REG_FIFO], n);
    EXPECT_EQ(r.writes[SIM_REG_FIFO], 0u);
    print("write", GetParam(), w, n);
    print("read", GetParam(), r, n);
}

INSTANTIATE_TEST_SUITE_P(Fifo, SimFigures, ::testing::Values("fifo=16", "fifo=64"), [](const auto &info) {
    std::string name = info.param;  // "fifo=16" -> "fifo16"
    std::erase(name, '=');
    return name;
});

}  // namespace
