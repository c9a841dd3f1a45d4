// The library's waits and loops against the scripted fake: every blocking wait ends at once when
// the caller cancels, deadlines hold, a paused printer gets exactly the bytes it has not taken,
// and a busy port is asked again.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "client/client.h"
#include "tests/client/fake_server.h"

namespace {

using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A self-pipe the "signal handler" (a thread here) writes to, as the CUPS backend's does.
struct cancel_pipe {
    int fd[2] = {-1, -1};
    std::thread writer;
    cancel_pipe() { EXPECT_EQ(pipe2(fd, O_CLOEXEC), 0); }
    ~cancel_pipe() {
        if (writer.joinable())
            writer.join();
        close(fd[0]);
        close(fd[1]);
    }
    void fire_after(int ms) {
        writer = std::thread([this, ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            (void)!write(fd[1], "x", 1);
        });
    }
};

struct wait_case {
    const char *name;
    std::vector<fake_step> script;  // empty: a full accept queue, so connect itself waits
    std::function<tc_result(tc_client &)> call;
};

fake_step silent() {
    fake_step s;
    s.silent = true;
    return s;
}

void PrintTo(const wait_case &k, std::ostream *os) { *os << k.name; }

const bytes big = pattern(TC_MAX_PAYLOAD);

class ClientWait : public ::testing::TestWithParam<wait_case> {
protected:
    // Runs the case's call on a fresh connection with the given options.
    tc_result run(const tc_options &opts, Clock::time_point *t0) {
        const wait_case &k = GetParam();
        tc_client c;
        c.opts = opts;
        if (k.script.empty() && !k.call) {
            full_port full;
            *t0 = Clock::now();
            return tc_connect(c, "127.0.0.1", full.port());
        }
        if (k.script.empty()) {
            // Connected but never accepted: nobody reads, so a large request fills the buffers.
            mute_port mute;
            EXPECT_EQ(tc_connect(c, "127.0.0.1", mute.port()).error, tc_errc::none);
            c.opts = opts;
            *t0 = Clock::now();
            return k.call(c);
        }
        fake_server srv(k.script);
        c.opts.cancel_fd = -1;
        EXPECT_EQ(tc_connect(c, "127.0.0.1", srv.port()).error, tc_errc::none);
        c.opts = opts;
        *t0 = Clock::now();
        tc_result r = k.call(c);
        tc_close(c);
        srv.finish();
        return r;
    }
};

TEST_P(ClientWait, EndsAtOnceWhenCancelledThroughTheSelfPipe) {
    cancel_pipe cp;
    tc_options o;
    o.cancel_fd = cp.fd[0];
    cp.fire_after(100);
    Clock::time_point t0;
    const tc_result r = run(o, &t0);
    EXPECT_EQ(r.error, tc_errc::cancelled) << r.message;
    EXPECT_LT(ms_since(t0), 1000);
}

TEST_P(ClientWait, EndsWhenTheCancelFlagIsSet) {
    static volatile sig_atomic_t flag;
    flag = 0;
    tc_options o;
    o.cancel = &flag;
    std::thread t([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        flag = 1;
    });
    Clock::time_point t0;
    const tc_result r = run(o, &t0);
    t.join();
    EXPECT_EQ(r.error, tc_errc::cancelled) << r.message;
    EXPECT_LT(ms_since(t0), 1000) << "the flag is looked at within a quarter second";
}

// A pause has no deadline but its own length, so only the other waits are timed.
class ClientWaitDeadline : public ClientWait {};

TEST_P(ClientWaitDeadline, EndsAtItsDeadline) {
    tc_options o;
    o.connect_timeout_ms = 200;
    o.reply_timeout_ms = 200;
    Clock::time_point t0;
    const tc_result r = run(o, &t0);
    EXPECT_EQ(r.error, tc_errc::timeout) << r.message;
    EXPECT_GE(ms_since(t0), 190);
    EXPECT_LT(ms_since(t0), 2000);
}

tc_patience long_pause() {
    tc_patience p;
    p.give_up_ms = 0;
    p.pause_ms = 5000;
    return p;
}

const wait_case connect_wait{"Connect", {}, nullptr};
const wait_case reply_wait{"Reply", {silent()}, [](tc_client &c) { return tc_init(c); }};
const wait_case send_wait{"Send", {}, [](tc_client &c) { return tc_write(c, big); }};

INSTANTIATE_TEST_SUITE_P(
    EveryWait, ClientWait,
    ::testing::Values(
        connect_wait, reply_wait, send_wait,
        wait_case{"BackOffPause", {{reply_msg(MSG_OK, 0)}},
                  [](tc_client &c) { return tc_write_job(c, pattern(10), long_pause()); }},
        wait_case{"BusyPause", {{reply_msg(MSG_FAIL, MSG_FAIL_BUSY)}},
                  [](tc_client &c) { return tc_init_wait(c, long_pause()); }}),
    [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(TimedWaits, ClientWaitDeadline,
                         ::testing::Values(connect_wait, reply_wait, send_wait),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ClientJob, PausedPrinterGetsExactlyTheRestAfterEachPause) {
    const bytes data = pattern(1000, 7);
    fake_server srv({{reply_msg(MSG_OK, 300)}, {reply_msg(MSG_OK, 0)}, {reply_msg(MSG_OK, 700)}});
    tc_client c;
    ASSERT_EQ(tc_connect(c, "127.0.0.1", srv.port()).error, tc_errc::none);
    tc_patience p;
    p.pause_ms = 10;
    std::vector<std::string> seen;
    tc_events ev;
    ev.stalled = [&](uint64_t w, int pause) { seen.push_back("stalled " + std::to_string(w) + " " + std::to_string(pause)); };
    ev.resumed = [&](uint64_t w) { seen.push_back("resumed " + std::to_string(w)); };
    ev.progress = [&](uint64_t w) { seen.push_back("progress " + std::to_string(w)); };
    const tc_result r = tc_write_job(c, data, p, ev);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(r.count, 1000u);
    EXPECT_THAT(seen, ElementsAre("progress 300", "stalled 300 10", "stalled 300 20",
                                  "resumed 1000", "progress 1000"));
    tc_close(c);
    const std::vector<bytes> req = srv.finish();
    ASSERT_EQ(req.size(), 3u);
    const bytes rest(data.begin() + 300, data.end());
    EXPECT_EQ(req[1], concat(request_header(MSG_WRITE, 700, 700), rest));
    EXPECT_EQ(req[2], req[1]);
}

TEST(ClientJob, GivesUpOnlyAfterThePatienceRunsOut) {
    std::vector<fake_step> zeros(40, {reply_msg(MSG_OK, 0)});
    fake_server srv(zeros);
    tc_client c;
    ASSERT_EQ(tc_connect(c, "127.0.0.1", srv.port()).error, tc_errc::none);
    tc_patience p;
    p.give_up_ms = 300;
    p.pause_ms = 20;
    p.max_pause_ms = 40;
    const auto t0 = Clock::now();
    const tc_result r = tc_write_job(c, pattern(50), p);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.count, 0u);
    EXPECT_GE(ms_since(t0), 299);  // both clocks count whole milliseconds
    EXPECT_LT(ms_since(t0), 1000);
    tc_close(c);
    srv.finish();
}

TEST(ClientJob, BusyPortIsAskedAgainAndTheWaitIsAnnounced) {
    fake_server srv({{reply_msg(MSG_FAIL, MSG_FAIL_BUSY)},
                     {reply_msg(MSG_FAIL, MSG_FAIL_TOO_MANY), true},
                     {reply_msg(MSG_OK, 0), false, 150}},
                    2);
    tc_client c;
    c.host = "127.0.0.1";
    c.port = srv.port();  // not connected yet: tc_init_wait connects itself
    tc_patience p;
    p.pause_ms = 10;
    p.waiting_notice_ms = 50;
    std::vector<std::string> seen;
    tc_events ev;
    ev.busy = [&](uint32_t why, int pause) { seen.push_back("busy " + std::to_string(why) + " " + std::to_string(pause)); };
    ev.waiting = [&] { seen.push_back("waiting"); };
    const tc_result r = tc_init_wait(c, p, ev);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_THAT(seen, ElementsAre("busy 1 10", "busy 6 20", "waiting"));
    tc_close(c);
    EXPECT_EQ(srv.finish().size(), 3u);
}

// The INIT's silence is named by what came before it: after a busy answer, a daemon holding the
// INIT in its queue when the patience ends (busy); with no answer ever, no daemon (never busy).
TEST(ClientJob, SilenceIsBusyOnlyAfterABusyAnswer) {
    fake_step silent;
    silent.silent = true;
    for (const bool busy_first : {true, false}) {
        std::vector<fake_step> script{silent};
        if (busy_first)
            script.insert(script.begin(), {reply_msg(MSG_FAIL, MSG_FAIL_BUSY)});
        fake_server srv(script);
        tc_client c;
        ASSERT_EQ(tc_connect(c, "127.0.0.1", srv.port()).error, tc_errc::none);
        tc_patience p;
        p.give_up_ms = 1000;
        p.pause_ms = 10;
        const tc_result r = tc_init_wait(c, p);
        EXPECT_EQ(r.error, tc_errc::timeout);
        EXPECT_EQ(r.message, busy_first ? "printer busy for 1 s (the last INIT was still waiting for the port)"
                                        : "no answer from the daemon (INIT unanswered within 1 s)");
        tc_close(c);
        srv.finish();
    }
}

TEST(ClientJob, OtherFailReasonsAreNotRetried) {
    for (uint32_t reason : {uint32_t(MSG_FAIL_UNSPECIFIED), uint32_t(MSG_FAIL_REFUSED), 99u}) {
        fake_server srv({{reply_msg(MSG_FAIL, reason)}, {reply_msg(MSG_OK, 0)}});
        tc_client c;
        ASSERT_EQ(tc_connect(c, "127.0.0.1", srv.port()).error, tc_errc::none);
        const tc_result r = tc_init_wait(c, tc_patience{});
        EXPECT_EQ(r.status, MSG_FAIL);
        EXPECT_EQ(r.count, reason);
        EXPECT_EQ(tc_fail_text(r), reason == 0    ? "the device could not do it"
                                   : reason == 99 ? "unspecified (reason 99)"
                                                  : msg_fail_text(reason));
        tc_close(c);
        EXPECT_EQ(srv.finish().size(), 1u);
    }
}

TEST(ClientReport, FiguresNeverOverflow) {
    EXPECT_EQ(tc_percent(50, 200), 25u);
    EXPECT_EQ(tc_percent(UINT64_MAX - 1, UINT64_MAX), 99u);
    EXPECT_EQ(tc_percent(UINT64_MAX, 3), 100u);
    EXPECT_EQ(tc_percent(0, 0), 100u);
    EXPECT_EQ(tc_size_text(1023), "1023 B");
    EXPECT_EQ(tc_size_text(1536), "1.5 KiB");
    EXPECT_EQ(tc_size_text(UINT64_MAX), "16.0 EiB");
    EXPECT_EQ(tc_rate_text(3 << 20, 2000), "1.5 MiB/s");
    EXPECT_EQ(tc_rate_text(5, 0), "- /s");
}

}  // namespace
