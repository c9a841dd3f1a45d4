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

// A negotiation that fails is an INIT answered FAIL, its reason in the count and its cause in one
// error line; the port is given back at once (a second client's INIT does not wait) and READ and
// WRITE are refused without touching it.
TEST(Faults, FailedNegotiationIsAnsweredFailWithItsReason) {
    const struct {
        const char *fault;
        uint32_t reason;
        const char *line;
    } cases[] = {
        {"no-peripheral", MSG_FAIL_NO_PERIPHERAL, "ERROR: no answer to the IEEE 1284 negotiation (event 2)\n"},
        {"refuse", MSG_FAIL_REFUSED, "ERROR: ECP mode refused by the peripheral\n"},
        {"refuse:0x10", MSG_FAIL_REFUSED, "ERROR: ECP mode refused by the peripheral\n"},
        {"no-event6", MSG_FAIL_NEGOTIATION, "ERROR: IEEE 1284 negotiation failed (event 6)\n"},
        {"no-peripheral,fault=no-ecr", MSG_FAIL_NO_PERIPHERAL,  // an emulated ISA port with no printer
         "ERROR: no answer to the IEEE 1284 negotiation (event 2)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        faulty f(c.fault);
        tc_client a = f.d.connect();
        tc_client b = f.d.connect();
        for (tc_client *cl : {&a, &b}) {
            const tc_result r = tc_init(*cl);
            EXPECT_EQ(r.error, tc_errc::none) << r.message;
            EXPECT_EQ(r.status, MSG_FAIL);
            EXPECT_EQ(r.count, c.reason);
        }
        const tc_result w = tc_write(a, e2e::pattern(100, 1));
        EXPECT_EQ(w.status, MSG_FAIL);
        EXPECT_EQ(w.count, 0u);
        EXPECT_TRUE(f.d.proc().wait_for(c.line, true, 60000)) << f.d.proc().err();
        f.still_serves();
    }
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

// A port without ECP registers (BIOS set to SPP or EPP): recognised at opening, said once at
// -V 1, and driven by software handshake; the FIFO and the ECR are never touched after the one
// read that found them missing (and the initial ECR value every opening writes).
TEST(Faults, PortWithoutEcpRegistersUsesTheSoftwareHandshake) {
    const std::string trace = e2e::temp_file("trace");
    e2e::daemon_on_sim d("clock=virtual,rate=0,peer=echo,fault=no-ecr,trace=" + trace, {"-V", "1"});
    tc_client c = d.connect();
    expect_ok(tc_init(c), 0);
    const auto data = e2e::pattern(300, 6);
    expect_ok(tc_write(c, data), data.size());
    std::vector<uint8_t> back(data.size());
    expect_ok(tc_read(c, back), back.size());
    EXPECT_TRUE(back == data);
    expect_ok(tc_reset(c), 0);
    tc_client again = d.connect();  // every connection opens the port, and says so again
    expect_ok(tc_init(again), 0);
    expect_ok(tc_reset(again), 0);
    const std::string line = "no ECP FIFO at 0x778: using the software handshake; "
                             "set the port to ECP in the BIOS setup for full speed\n";
    EXPECT_TRUE(d.proc().wait_for(line, false, 60000)) << d.proc().out();
    const std::string t = e2e::slurp(trace);
    auto count = [&](const std::string &needle) {
        size_t n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1))
            n++;
        return n;
    };
    EXPECT_EQ(count(" 778 "), 0u);
    EXPECT_EQ(count(" R 77a ff\n"), 2u);  // once per opening: the read that found no ECR
    EXPECT_EQ(count(" W 77a 34\n"), 2u);  // and the initial value every opening writes
    EXPECT_EQ(count(" 77a "), 4u);
    unlink(trace.c_str());
}

}  // namespace
