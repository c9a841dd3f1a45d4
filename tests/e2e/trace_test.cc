// What the daemon prints at -V 5, and what it does (and does not do) to the port, seen through
// the simulator's access trace.
#include <regex>

#include "tests/e2e/e2e.h"

namespace {

using e2e::expect_ok;

size_t count_lines(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

TEST(Traces, TransferTracesAtVerbosity5) {
    e2e::daemon_on_sim d("clock=virtual,rate=0,peer=echo", {"-V", "5"});
    tc_client c = d.connect();
    expect_ok(tc_init(c), 0);
    std::vector<uint8_t> data(40);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i + 0xA0);
    expect_ok(tc_write(c, data), 40);
    std::vector<uint8_t> back(300);
    const tc_result r = tc_read(c, back);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.count, 40u);
    const int fd = testd::connect_to(d.port());  // a WRITE with count 0 from a second client
    ASSERT_TRUE(testd::send_all(fd, testd::frame(3, 0)));
    expect_ok(tc_reset(c), 0);
    testd::read_reply(fd);
    close(fd);

    std::string dump;
    for (size_t i = 0; i < 32; i++) {
        char b[4];
        std::snprintf(b, sizeof b, " %02x", data[i]);
        dump += b;
    }
    ASSERT_TRUE(d.proc().wait_for("dpa_read: 40 bytes [" + dump + " ]\n", false, 60000)) << d.proc().out();
    const std::string out = d.proc().out();
    EXPECT_NE(out.find("dpa_write: 40 bytes [" + dump + " ]\n"), std::string::npos);
    EXPECT_NE(out.find("           40 bytes written by m_mfp_fifo_write_block\n"), std::string::npos);
    EXPECT_NE(out.find("dpa_read: 300 bytes claimed ( in hex 01 2c )\n"), std::string::npos);
}

TEST(Traces, WriteOfCountZeroTracesZeroAndAnEmptyDump) {
    e2e::daemon_on_sim d("clock=virtual,rate=0,peer=echo", {"-V", "5"});
    const int fd = testd::connect_to(d.port());
    ASSERT_TRUE(testd::send_all(fd, testd::frame(2, 0)));
    testd::read_reply(fd);
    ASSERT_TRUE(testd::send_all(fd, testd::frame(1, 0, {'h', 'i', 0, 'x'})));
    EXPECT_EQ(testd::read_reply(fd).count, 2u);
    close(fd);
    EXPECT_TRUE(d.proc().wait_for("dpa_write: 0 bytes [ ]\n           2 bytes written by m_mfp_fifo_write_block\n", false, 60000))
        << d.proc().out();
}

TEST(Traces, TwoInitsInOneConnectionProbeOnceAndNegotiateTwice) {
    const std::string trace = e2e::temp_file("trace");
    e2e::daemon_on_sim d("clock=virtual,rate=0,peer=echo,trace=" + trace);
    tc_client c = d.connect();
    expect_ok(tc_init(c), 0);
    expect_ok(tc_init(c), 0);
    const std::string t = e2e::slurp(trace);
    EXPECT_EQ(count_lines(t, " W 77a c0\n"), 1u);  // the probe puts the ECR in test mode once
    EXPECT_EQ(count_lines(t, " W 378 10\n"), 2u);  // the ECP request byte, once per negotiation
    unlink(trace.c_str());
}

TEST(Traces, RequestsBeforeInitTouchNothing) {
    const std::string trace = e2e::temp_file("trace");
    e2e::daemon_on_sim d("clock=virtual,rate=0,peer=echo,trace=" + trace);
    tc_client c = d.connect();
    std::vector<uint8_t> buf(10);
    const tc_result r = tc_read(c, buf);
    EXPECT_EQ(r.status, MSG_FAIL);
    EXPECT_EQ(r.count, 0u);
    const tc_result w = tc_write(c, buf);
    EXPECT_EQ(w.status, MSG_FAIL);
    expect_ok(tc_reset(c), 0);
    EXPECT_EQ(e2e::slurp(trace), "");
    unlink(trace.c_str());
}

}  // namespace
