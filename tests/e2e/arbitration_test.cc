// One connection at a time drives the port: waiting, giving up, and surviving a killed holder.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <thread>

#include "tests/e2e/e2e.h"

namespace {

using e2e::expect_ok;

using testd::wait_until;

TEST(Arbitration, EightClientsPrintingAtOnceEachLandWholeAndContiguous) {
    const std::string sink = e2e::temp_file("sink");
    e2e::daemon_on_sim d("clock=virtual,rate=0,peer=sink,sink=" + sink);
    constexpr int kClients = 8;
    std::vector<std::vector<uint8_t>> jobs;
    for (int i = 0; i < kClients; i++) {
        auto job = e2e::pattern(40000 + size_t(i) * 1000, uint32_t(100 + i));
        job[0] = uint8_t('A' + i);  // each job starts with its own mark
        jobs.push_back(job);
    }
    std::vector<std::thread> threads;
    std::vector<int> ok(kClients, 0);
    for (int i = 0; i < kClients; i++) {
        threads.emplace_back([&, i] {
            tc_client c;
            if (tc_connect(c, "127.0.0.1", uint16_t(d.port())).error != tc_errc::none)
                return;
            const std::span<const uint8_t> job(jobs[size_t(i)]);
            // Two WRITEs per job, so an interleaving would show.
            const bool done = tc_init(c).ok() && tc_write(c, job.first(job.size() / 2)).count == job.size() / 2 &&
                              tc_write(c, job.subspan(job.size() / 2)).count == job.size() - job.size() / 2 &&
                              tc_reset(c).ok();
            ok[size_t(i)] = done;
        });
    }
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < kClients; i++)
        EXPECT_TRUE(ok[size_t(i)]) << "client " << i;
    const auto got = e2e::slurp_bytes(sink);
    size_t total = 0;
    for (const auto &j : jobs)
        total += j.size();
    ASSERT_EQ(got.size(), total);
    // Walk the sink job by job: each must appear whole, in one piece.
    size_t at = 0;
    std::vector<bool> seen(kClients, false);
    while (at < got.size()) {
        const int i = got[at] - 'A';
        ASSERT_TRUE(i >= 0 && i < kClients && !seen[size_t(i)]) << "unexpected byte at " << at;
        seen[size_t(i)] = true;
        const auto &job = jobs[size_t(i)];
        ASSERT_TRUE(std::equal(job.begin(), job.end(), got.begin() + long(at))) << "job " << i << " is not contiguous";
        at += job.size();
    }
    unlink(sink.c_str());
}

TEST(Arbitration, SecondInitWaitsUntilTheFirstResets) {
    e2e::daemon_on_sim d("clock=virtual,rate=0");
    tc_client first = d.connect();
    expect_ok(tc_init(first), 0);
    const int fd = testd::connect_to(d.port());
    ASSERT_TRUE(testd::send_all(fd, testd::frame(2, 0)));
    EXPECT_FALSE(testd::read_reply(fd, 300).ok);  // still waiting for the port
    expect_ok(tc_reset(first), 0);
    const auto r = testd::read_reply(fd, 60000);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.code, 64);
    // READ/WRITE after RESET need a new INIT: the port is no longer this connection's.
    const tc_result w = tc_write(first, std::vector<uint8_t>{1, 2, 3});
    EXPECT_EQ(w.status, MSG_FAIL);
    close(fd);
}

// Waiters are served first come, first served, and `tessal --status` shows them in that order.
TEST(Arbitration, WaitersAreServedInOrderOfArrivalAndStatusShowsThem) {
    const std::string sink = e2e::temp_file("sink");
    e2e::daemon_on_sim d("clock=virtual,rate=0,peer=sink,sink=" + sink);
    tc_client holder = d.connect();
    expect_ok(tc_init(holder), 0);
    expect_ok(tc_write(holder, std::vector<uint8_t>{'H'}), 1);
    std::vector<int> waiters;
    for (int i = 0; i < 4; i++) {
        waiters.push_back(testd::connect_to(d.port()));
        ASSERT_TRUE(testd::send_all(waiters.back(), testd::frame(MSG_INIT, 0)));
        // queued before the next one comes
        ASSERT_TRUE(testd::status_shows(d.proc().pid(), "waiting " + std::to_string(i + 1) + ":"));
    }
    testd::daemon status({"--status=" + std::to_string(d.proc().pid())}, 0);
    ASSERT_EQ(status.wait_exit(60000), 0) << status.err();
    const std::string view = status.out();
    const std::regex line("^port 0x378: held by 127\\.0\\.0\\.1, pid (\\d+), since \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d "
                          "\\(\\d+ s\\), 1 bytes to the device, 0 from it\n"
                          "(waiting [1-4]: 127\\.0\\.0\\.1, pid (\\d+), since [-0-9: ]+ \\(\\d+ s\\)\n){4}$");
    EXPECT_TRUE(std::regex_match(view, line)) << view;
    EXPECT_NE(view.find("pid " + std::to_string(tc_last_pid(holder)) + ","), std::string::npos) << view;
    // Hand over: each waiter, in turn, prints its mark and gives the port back.
    expect_ok(tc_reset(holder), 0);
    std::vector<size_t> at;
    for (int i = 0; i < 4; i++) {
        const auto r = testd::read_reply(waiters[size_t(i)], 5000);
        ASSERT_EQ(r.code, MSG_OK) << "waiter " << i;
        at.push_back(view.find("waiting " + std::to_string(i + 1) + ": 127.0.0.1, pid " + std::to_string(r.pid) + ","));
        EXPECT_NE(at.back(), std::string::npos) << "waiter " << i << " pid " << r.pid << "\n" << view;
        ASSERT_TRUE(testd::send_all(waiters[size_t(i)], testd::frame(MSG_WRITE, 1, {uint8_t('1' + i)})));
        EXPECT_EQ(testd::read_reply(waiters[size_t(i)]).count, 1u);
        ASSERT_TRUE(testd::send_all(waiters[size_t(i)], testd::frame(MSG_RESET, 0)));
        EXPECT_EQ(testd::read_reply(waiters[size_t(i)]).code, MSG_OK);
    }
    for (int fd : waiters)
        close(fd);
    EXPECT_EQ(e2e::slurp(sink), "H1234");
    unlink(sink.c_str());
}

// Deaths change nothing in the queue's memory, yet must wake whoever waits behind them at once.
TEST(Arbitration, KilledHolderAndWaiterAheadDoNotStallTheNextWaiter) {
    e2e::daemon_on_sim d("clock=virtual,rate=0", {"--wait-timeout", "30"});
    tc_client holder = d.connect();
    expect_ok(tc_init(holder), 0);
    const int ahead = testd::connect_to(d.port());
    ASSERT_TRUE(testd::send_all(ahead, testd::frame(MSG_INIT, 0)));
    ASSERT_TRUE(testd::status_shows(d.proc().pid(), "waiting 1:"));
    const int behind = testd::connect_to(d.port());
    ASSERT_TRUE(testd::send_all(behind, testd::frame(MSG_INIT, 0)));
    ASSERT_TRUE(testd::status_shows(d.proc().pid(), "waiting 2:"));
    testd::daemon status({"--status=" + std::to_string(d.proc().pid())}, 0);
    ASSERT_EQ(status.wait_exit(60000), 0);
    std::smatch m;
    const std::string view = status.out();
    ASSERT_TRUE(std::regex_search(view, m, std::regex("waiting 1: [^,]+, pid (\\d+),"))) << view;
    kill(pid_t(std::stoi(m[1])), SIGKILL);
    kill(pid_t(tc_last_pid(holder)), SIGKILL);
    const auto start = std::chrono::steady_clock::now();
    const auto r = testd::read_reply(behind, 60000);
    EXPECT_EQ(r.code, MSG_OK);
    // Woken by the deaths, not by its --wait-timeout of 30 s (which would answer FAIL anyway).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    close(ahead);
    close(behind);
}

TEST(Arbitration, PortIsFreedWhenTheHoldersConnectionEnds) {
    e2e::daemon_on_sim d("clock=virtual,rate=0");
    {
        tc_client first = d.connect();
        expect_ok(tc_init(first), 0);
    }  // closed without RESET
    tc_client second = d.connect();
    expect_ok(tc_init(second), 0);
}

TEST(Arbitration, WaiterWhoseClientHangsUpLeavesNoProcessBehind) {
    e2e::daemon_on_sim d("clock=virtual,rate=0");
    tc_client first = d.connect();
    expect_ok(tc_init(first), 0);
    const int fd = testd::connect_to(d.port());
    ASSERT_TRUE(testd::send_all(fd, testd::frame(2, 0)));
    ASSERT_TRUE(wait_until([&] { return d.proc().group().size() == 3; }, 60000));
    close(fd);
    EXPECT_TRUE(wait_until([&] { return d.proc().group().size() == 2; }, 60000))
        << d.proc().group().size() << " processes";
    expect_ok(tc_reset(first), 0);  // the holder is unaffected
}

TEST(Arbitration, HolderKilledMidTransferLetsTheNextClientPrint) {
    const std::string sink = e2e::temp_file("sink");
    // A real clock and a slow link, so the kill lands in the middle of the transfer.
    e2e::daemon_on_sim d("clock=real,rate=200000,peer=sink,sink=" + sink);
    d.allow_host_errors();  // the killed holder's bytes still in the FIFO are lost at the next probe
    std::thread victim([&] {
        tc_client c = d.connect();
        if (tc_init(c).ok())
            tc_write(c, e2e::pattern(1 << 20, 3));  // about 5 s at this rate: killed long before
    });
    // Find the service process that holds the port: the one started first.
    pid_t holder = 0;
    ASSERT_TRUE(testd::status_shows(d.proc().pid(), "held by"));
    for (pid_t p : d.proc().group())
        if (p != d.proc().pid())
            holder = p;
    ASSERT_GT(holder, 0);
    kill(holder, SIGKILL);
    victim.join();
    tc_client next = d.connect();
    expect_ok(tc_init(next), 0);
    const auto job = e2e::pattern(2000, 4);
    expect_ok(tc_write(next, job), job.size());
    expect_ok(tc_reset(next), 0);
    const auto got = e2e::slurp_bytes(sink);
    ASSERT_GE(got.size(), job.size());
    const auto found = std::search(got.begin(), got.end(), job.begin(), job.end());
    EXPECT_TRUE(std::equal(job.begin(), job.end(), got.end() - long(job.size())))
        << "sink " << got.size() << " bytes, job found at " << (found - got.begin());
    unlink(sink.c_str());
}

}  // namespace
