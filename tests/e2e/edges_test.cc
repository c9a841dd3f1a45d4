// The edges of a job, through the whole stack on the strict simulator: the printer has every byte
// a WRITE counted before the link turns, ends or passes on (or the RESET says how many it did
// not); a connection that ends without RESET leaves the printer in compatibility mode; the next
// connection's opening does not reset the printer; a port that cannot turn its lines prints only.
// The daemon starter fails each test on any host error the simulator reports.
#include <unistd.h>

#include "tests/e2e/e2e.h"

namespace {

using e2e::expect_ok;

std::string printed(const std::string &sink, testd::daemon &d) {
    // The sink is written out at every termination; the daemon may still be finishing one.
    std::string got;
    testd::wait_until([&] { return !(got = e2e::slurp(sink)).empty(); }, 2000);
    (void)d;
    return got;
}

// WRITE then RESET with a printer that pauses after 90 of 100 bytes, or stops there for good.
TEST(JobEdges, ResetWaitsForAPausedPrinterAndReportsWhatAStoppedOneDropped) {
    const struct {
        const char *what, *fault;
        bool dropped;
    } rows[] = {
        {"paused 20 s", "pause:20000@90", false},  // RESET waits: a pause is not a fault
        {"stopped", "stall:90", true},              // dropped after the wait: RESET says how many
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string sink = e2e::temp_file("sink");
        {
            e2e::daemon_on_sim d(std::string("clock=virtual,rate=0,peer=sink,sink=") + sink + ",fault=" + row.fault,
                                 {"-V", "3"});
            if (row.dropped)
                d.allow_host_errors();  // the simulator counts the dropped bytes, as meant here
            tc_client c = d.connect();
            expect_ok(tc_init(c), 0);
            const auto data = e2e::pattern(100, 5);
            expect_ok(tc_write(c, data), 100);  // what the port accepted, in order
            const tc_result r = tc_reset(c);
            ASSERT_EQ(r.error, tc_errc::none) << r.message;
            const std::string got = printed(sink, d.proc());
            if (!row.dropped) {
                EXPECT_EQ(r.status, MSG_OK);
                EXPECT_EQ(got, std::string(data.begin(), data.end()));
            } else {
                EXPECT_EQ(r.status, MSG_FAIL);
                EXPECT_GE(r.count, 10u);  // 9 in the FIFO and 1 in the latch, as the host can tell
                EXPECT_LE(r.count, 17u);
                EXPECT_EQ(got, std::string(data.begin(), data.begin() + 90));
                EXPECT_TRUE(d.proc().wait_for("printed bytes dropped: the printer did not take them", true, 2000))
                    << d.proc().err();
                EXPECT_NE(tc_dropped_text(r).find(" printed bytes were dropped"), std::string::npos);
                // The job's count is of bytes the printer took, as the queue's view shows it.
                EXPECT_TRUE(d.proc().wait_for(std::to_string(100 - r.count) + " bytes to the device, 0 from it", false, 2000))
                    << d.proc().out();
            }
            tc_client next = d.connect();  // the port was given back either way
            expect_ok(tc_init(next), 0);
            expect_ok(tc_reset(next), 0);
        }
        unlink(sink.c_str());
    }
}

// A connection that ends without RESET is terminated as RESET would: the next holder's INIT finds
// the printer in compatibility mode, not reversed under its feet (bus contention), and reads on.
TEST(JobEdges, ConnectionEndingWithoutResetLeavesThePrinterInCompatibilityMode) {
    for (const bool software : {true, false}) {
        SCOPED_TRACE(software ? "software handshake" : "FIFO");
        std::vector<std::string> extra;
        if (software)
            extra.push_back("--software");
        e2e::daemon_on_sim d("clock=virtual,rate=0,peer=echo", extra);
        const auto data = e2e::pattern(64, 7);
        {
            tc_client a = d.connect();
            expect_ok(tc_init(a), 0);
            expect_ok(tc_write(a, data), data.size());
            std::vector<uint8_t> five(5);
            expect_ok(tc_read(a, five), 5);
        }  // hung up, no RESET
        tc_client b = d.connect();
        expect_ok(tc_init(b), 0);
        std::vector<uint8_t> more(16);
        const tc_result r = tc_read(b, more);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_GT(r.count, 0u);
        // The next bytes the printer had (the FIFO path dropped what it read ahead for a).
        const auto at = std::search(data.begin(), data.end(), more.begin(), more.begin() + r.count);
        EXPECT_NE(at, data.end());
        if (software) {
            EXPECT_EQ(r.count, 16u);
            EXPECT_TRUE(at == data.begin() + 5);
        }
        expect_ok(tc_reset(b), 0);
    }
}

// Two jobs back to back: the second connection opens the port without pulsing nInit, which would
// make the printer throw away the first job's tail still in its buffer (counted by the simulator).
TEST(JobEdges, BackToBackJobsLoseNothingToAnInitialisation) {
    const std::string sink = e2e::temp_file("sink");
    const std::string trace = e2e::temp_file("trace");
    {
        e2e::daemon_on_sim d("clock=virtual,rate=0,peer=sink,sink=" + sink + ",trace=" + trace);
        const auto a = e2e::pattern(3000, 1), b = e2e::pattern(2000, 2);
        for (const auto *job : {&a, &b}) {
            tc_client c = d.connect();
            expect_ok(tc_init(c), 0);
            expect_ok(tc_write(c, *job), job->size());
            expect_ok(tc_reset(c), 0);
        }
        std::string want(a.begin(), a.end());
        want.append(b.begin(), b.end());
        EXPECT_TRUE(testd::wait_until([&] { return e2e::slurp(sink).size() == want.size(); }, 2000));
        EXPECT_EQ(e2e::slurp(sink), want);
        // nInit (CONTROL bit 2 clear) went low once: the daemon's first opening initialises the printer.
        const std::string t = e2e::slurp(trace);
        size_t low = 0;
        for (size_t at = t.find(" W 37a "); at != std::string::npos; at = t.find(" W 37a ", at + 1))
            low += (std::stoul(t.substr(at + 7, 2), nullptr, 16) & 0x04) == 0;
        EXPECT_EQ(low, 1u);
    }
    unlink(sink.c_str());
    unlink(trace.c_str());
}

// A port that cannot tri-state its data lines prints, and refuses what would read.
TEST(JobEdges, OutputOnlyPortPrintsAndRefusesToRead) {
    const std::string sink = e2e::temp_file("sink");
    {
        e2e::daemon_on_sim d("clock=virtual,rate=0,peer=sink,sink=" + sink + ",fault=output-only,fault=no-ecr",
                             {"-V", "1"});
        tc_client c = d.connect();
        expect_ok(tc_init(c), 0);
        const auto data = e2e::pattern(40, 3);
        expect_ok(tc_write(c, data), data.size());
        std::vector<uint8_t> back(4);
        const tc_result r = tc_read(c, back);
        EXPECT_EQ(r.status, MSG_FAIL);
        EXPECT_EQ(r.count, 0u);
        expect_ok(tc_reset(c), 0);
        EXPECT_TRUE(d.proc().wait_for("ERROR: READ refused: output only", true, 2000)) << d.proc().err();
        EXPECT_EQ(e2e::slurp(sink), std::string(data.begin(), data.end()));
        EXPECT_TRUE(d.proc().wait_for("output only: reading from the printer is impossible on this port "
                                      "(set the BIOS to PS/2 or ECP)\n", false, 2000))
            << d.proc().out();
    }
    unlink(sink.c_str());
}

}  // namespace
