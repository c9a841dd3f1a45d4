// Faulty peripherals through the whole stack: every request ends within its bound with the
// short count, and the daemon goes on serving. Time is virtual, so the seconds-long bounds cost
// milliseconds; the bounds are checked on the simulator's own clock through its trace.
#include <chrono>

#include "tests/e2e/e2e.h"

namespace {

using e2e::expect_ok;

// The simulator's clock at the last line of the trace, in microseconds.
uint64_t last_trace_time(const std::string &trace) {
    const std::string text = e2e::slurp(trace);
    const auto end = text.rfind('\n', text.size() - 2);
    return std::stoull(text.substr(end == std::string::npos ? 0 : end + 1));
}

struct faulty {
    std::string trace = e2e::temp_file("trace");
    e2e::daemon_on_sim d;
    explicit faulty(const std::string &fault) : d("clock=virtual,io_ns=50000,rate=0,peer=echo,trace=" + trace + ",fault=" + fault) {}
    ~faulty() { unlink(trace.c_str()); }
    // The next connection is still served normally.
    void still_serves() {
        tc_client c = d.connect();
        const tc_result r = tc_reset(c);
        EXPECT_TRUE(r.ok()) << r.message;
    }
};

TEST(Faults, NoPeripheralInitIsAnsweredAndWritesStallOut) {
    faulty f("no-peripheral");
    tc_client c = f.d.connect();
    expect_ok(tc_init(c), 0);  // a negotiation that fails is not reported
    const uint64_t t0 = last_trace_time(f.trace);
    const tc_result w = tc_write(c, e2e::pattern(1000, 1));
    EXPECT_TRUE(w.ok());
    EXPECT_LT(w.count, 1000u);
    const uint64_t took = last_trace_time(f.trace) - t0;
    EXPECT_GE(took, 4'990'000u);  // the 5 s stall deadline, on the simulator's clock
    EXPECT_LE(took, 5'200'000u);
    f.still_serves();
}

TEST(Faults, StalledPeripheralWriteReturnsWhatTheFifoTookAfterFiveSeconds) {
    faulty f("stall:100");
    tc_client c = f.d.connect();
    expect_ok(tc_init(c), 0);
    const uint64_t t0 = last_trace_time(f.trace);
    const tc_result w = tc_write(c, e2e::pattern(1000, 2));
    EXPECT_TRUE(w.ok());
    EXPECT_EQ(w.count, 116u);  // 100 taken by the peripheral, 16 sitting in the FIFO
    const uint64_t took = last_trace_time(f.trace) - t0;
    EXPECT_GE(took, 4'990'000u);
    EXPECT_LE(took, 5'200'000u);
    f.still_serves();
}

TEST(Faults, PeripheralThatStopsMidReadGivesTheShortCountAtTheExpiry) {
    faulty f("short:300");
    tc_client c = f.d.connect();
    expect_ok(tc_init(c), 0);
    const auto data = e2e::pattern(1000, 3);
    expect_ok(tc_write(c, data), 1000);
    const uint64_t t0 = last_trace_time(f.trace);
    std::vector<uint8_t> back(1000);
    const tc_result r = tc_read(c, back);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.count, 300u);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 300, data.begin()));
    const uint64_t took = last_trace_time(f.trace) - t0;
    EXPECT_LE(took, 1'000'000u);  // one 100 ms expiry, plus the reversal and the finish
    f.still_serves();
}

TEST(Faults, ReversalNeverAcknowledgedReadReturnsNothingAfterAboutFiveSeconds) {
    faulty f("no-reverse");
    tc_client c = f.d.connect();
    expect_ok(tc_init(c), 0);
    const uint64_t t0 = last_trace_time(f.trace);
    std::vector<uint8_t> back(10);
    const tc_result r = tc_read(c, back);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.count, 0u);
    const uint64_t took = last_trace_time(f.trace) - t0;
    EXPECT_GE(took, 4'990'000u);
    EXPECT_LE(took, 5'300'000u);
    f.still_serves();
}

TEST(Faults, ReversalNeverFinishedCostsTheTwentySecondSettle) {
    faulty f("no-forward");
    tc_client c = f.d.connect();
    expect_ok(tc_init(c), 0);
    expect_ok(tc_write(c, e2e::pattern(20, 4)), 20);
    const uint64_t t0 = last_trace_time(f.trace);
    std::vector<uint8_t> back(20);
    const tc_result r = tc_read(c, back);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.count, 20u);
    const uint64_t took = last_trace_time(f.trace) - t0;
    EXPECT_GE(took, 19'990'000u);
    EXPECT_LE(took, 20'500'000u);
    f.still_serves();
}

TEST(Faults, ChannelAddressEndsASoftwareReadWithWhatCameBefore) {
    const std::string trace = e2e::temp_file("trace");
    e2e::daemon_on_sim d("clock=virtual,rate=0,peer=echo,fault=channel:5", {"--software"});
    tc_client c = d.connect();
    expect_ok(tc_init(c), 0);
    expect_ok(tc_write(c, e2e::pattern(50, 5)), 50);
    std::vector<uint8_t> back(50);
    const tc_result r = tc_read(c, back);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.count, 5u);
}

}  // namespace
