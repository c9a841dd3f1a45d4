// The daemon as a system service: a stop that finishes the jobs under way, sockets handed over
// by the service manager (so a restart refuses no client), and the addresses it listens on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>

#include "tests/e2e/e2e.h"

namespace {

// A daemon on the simulator printing to a sink, with the raw port on and -V 3 lines.
struct service {
    explicit service(std::vector<std::string> extra = {}) : sink(e2e::temp_file("sink")) {
        extra.insert(extra.end(), {"-V", "3"});
        d = std::make_unique<e2e::daemon_on_sim>("clock=virtual,rate=0,peer=sink,sink=" + sink, extra, &raw);
    }
    ~service() { unlink(sink.c_str()); }
    pid_t pid() { return d->proc().pid(); }
    bool says(const std::string &text) { return d->proc().wait_for(text, false, 60000); }

    std::string sink;
    int raw = 0;
    std::unique_ptr<e2e::daemon_on_sim> d;
};

bool send_text(int fd, const std::string &s) { return testd::send_all(fd, std::vector<uint8_t>(s.begin(), s.end())); }

std::vector<uint8_t> bytes(size_t n, char c) { return std::vector<uint8_t>(n, uint8_t(c)); }

// How the daemon ended the stream: 0 (end of stream), an errno (ECONNRESET), or ETIMEDOUT.
int ending_of(int fd, int timeout_ms = 60000) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return ETIMEDOUT;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return n == 0 ? 0 : errno;
    }
}

// A listening socket as a service manager makes it, on the IPv4 loopback.
int manager_socket(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sa = testd::loopback(port);
    if (bind(s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 || listen(s, 16) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// SIGTERM with a framed holder, a framed waiter and a raw job queued behind them: the holder
// finishes its job, the waiter hears FAIL busy, the queued raw job is printed, all of it whole.
TEST(Stop, EveryJobUnderWayFinishesWhole) {
    service s;
    tc_client holder = s.d->connect();
    e2e::expect_ok(tc_init(holder), 0);
    e2e::expect_ok(tc_write(holder, bytes(1000, 'A')), 1000);
    const int waiter = testd::connect_to(s.d->port());
    ASSERT_TRUE(testd::send_all(waiter, testd::frame(MSG_INIT, 0)));
    ASSERT_TRUE(testd::status_shows(s.pid(), "waiting 1:"));
    const int raw = testd::connect_to(s.raw);
    ASSERT_TRUE(send_text(raw, std::string(3000, 'R')));
    shutdown(raw, SHUT_WR);  // the job is handed over, as CUPS's socket backend does
    ASSERT_TRUE(testd::status_shows(s.pid(), "waiting 2:"));

    kill(s.pid(), SIGTERM);
    const testd::reply busy = testd::read_reply(waiter, 60000);
    EXPECT_EQ(busy.code, MSG_FAIL);
    EXPECT_EQ(busy.count, uint32_t(MSG_FAIL_BUSY));
    EXPECT_TRUE(testd::closed_by_peer(waiter, 60000));
    e2e::expect_ok(tc_write(holder, bytes(1000, 'B')), 1000);  // sent during the stop
    e2e::expect_ok(tc_reset(holder), 0);
    EXPECT_EQ(ending_of(raw), 0);  // a plain end: the job was printed
    EXPECT_EQ(s.d->proc().wait_exit(60000), 0);
    EXPECT_EQ(e2e::slurp(s.sink), std::string(1000, 'A') + std::string(1000, 'B') + std::string(3000, 'R'));
    EXPECT_EQ(testd::connect_to(s.d->port()), -1);
    close(waiter);
    close(raw);
}

// What ends the wait at once: a second SIGTERM, or the stop deadline. A raw job cut then is reset,
// so its sender cannot take it for printed.
struct cut_case {
    const char *name;
    std::vector<std::string> options;
    bool second_signal;
    const char *line;
};

void PrintTo(const cut_case &c, std::ostream *os) { *os << c.name; }  // the test's name, not its bytes

class StopCut : public testing::TestWithParam<cut_case> {};

TEST_P(StopCut, RawJobIsResetNeverHalfClosed) {
    service s(GetParam().options);
    const int raw = testd::connect_to(s.raw);
    ASSERT_TRUE(send_text(raw, std::string(1000, 'x')));
    ASSERT_TRUE(testd::status_shows(s.pid(), "held by"));
    kill(s.pid(), SIGTERM);
    ASSERT_TRUE(s.says("Stopping on signal 15"));
    if (GetParam().second_signal)
        kill(s.pid(), SIGTERM);
    EXPECT_EQ(ending_of(raw), ECONNRESET);
    EXPECT_EQ(s.d->proc().wait_exit(60000), 0);
    EXPECT_TRUE(s.says(GetParam().line));
    // Cut at once: what was printed (none of it, when the cut came before the bytes were read) is
    // what the line says, and the sender was told by the reset.
    const std::string printed = e2e::slurp(s.sink);
    EXPECT_EQ(printed, std::string(std::min<size_t>(printed.size(), 1000), 'x'));
    EXPECT_TRUE(s.says("job from 127.0.0.1: " + std::to_string(printed.size()) + " bytes, ")) << s.d->proc().out();
    EXPECT_TRUE(s.says("cut short: the daemon is stopping"));
    close(raw);
}

INSTANTIATE_TEST_SUITE_P(Stop, StopCut,
                         testing::Values(cut_case{"SecondSignal", {}, true, "Stop signal again: ending 1 service processes now"},
                                         cut_case{"Deadline", {"--stop-deadline", "0.5"}, false,
                                                  "Stop deadline reached: ending 1 service processes now"}),
                         [](const auto &info) { return std::string(info.param.name); });

// A restart with the socket held by the service manager: the client that connects while the old
// daemon finishes its job waits in the kernel's queue and is served by the new one.
TEST(SocketActivation, ClientConnectingDuringARestartIsServedAfterIt) {
    const int port = testd::free_port();
    const int listening = manager_socket(port);
    ASSERT_GE(listening, 0);
    const std::string sink = e2e::temp_file("sink");
    const std::vector<std::string> args{"-f", "-V", "3", "-p", std::to_string(port),
                                        "--sim=clock=virtual,rate=0,peer=sink,sink=" + sink};
    auto first = std::make_unique<testd::daemon>(args, port, listening);
    tc_client holder;
    ASSERT_EQ(tc_connect(holder, "127.0.0.1", uint16_t(port)).error, tc_errc::none);
    e2e::expect_ok(tc_init(holder), 0);
    e2e::expect_ok(tc_write(holder, bytes(100, '1')), 100);
    kill(first->pid(), SIGTERM);
    ASSERT_TRUE(first->wait_for("Stopping on signal 15", false, 60000));
    const int late = testd::connect_to(port);  // during the restart: queued, not refused
    ASSERT_GE(late, 0);
    ASSERT_TRUE(testd::send_all(late, testd::frame(MSG_INIT, 0)));
    e2e::expect_ok(tc_write(holder, bytes(100, '2')), 100);
    e2e::expect_ok(tc_reset(holder), 0);
    EXPECT_EQ(first->wait_exit(60000), 0);

    testd::daemon second(args, 0, listening);
    EXPECT_EQ(testd::read_reply(late, 60000).code, MSG_OK);
    ASSERT_TRUE(testd::send_all(late, testd::frame(MSG_WRITE, 3, {'t', 'w', 'o'})));
    EXPECT_EQ(testd::read_reply(late, 60000).count, 3u);
    close(late);
    kill(second.pid(), SIGTERM);
    EXPECT_EQ(second.wait_exit(60000), 0) << second.out() << second.err();
    EXPECT_EQ(e2e::slurp(sink), std::string(100, '1') + std::string(100, '2') + "two");
    unlink(sink.c_str());
    close(listening);
}

TEST(SocketActivation, SocketOnAnotherPortIsRefusedAtStartUp) {
    const int port = testd::free_port(), other = testd::free_port();
    const int listening = manager_socket(other);
    ASSERT_GE(listening, 0);
    testd::daemon d({"-f", "-p", std::to_string(port), "--sim"}, 0, listening);
    EXPECT_EQ(d.wait_exit(60000), 2);
    EXPECT_EQ(d.err(), "ERROR: the listening socket passed by the service manager (fd 3, port " + std::to_string(other) +
                           ") is not -p " + std::to_string(port) + "; make tessal.socket and the options agree\n");
    close(listening);
}

// The notices go to the datagram socket named in NOTIFY_SOCKET, as systemd reads them (an
// abstract one here): ready once listening, stopping at the first signal.
TEST(SocketActivation, ReadinessAndStoppingAreSentToTheManagersSocket) {
    const std::string name = "@tessal-notify-" + std::to_string(getpid());
    const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::copy(name.begin() + 1, name.end(), sa.sun_path + 1);  // sun_path[0] 0: abstract
    ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr *>(&sa), socklen_t(offsetof(sockaddr_un, sun_path) + name.size())), 0);
    const auto notice = [&] {
        pollfd p{manager, POLLIN, 0};
        char buf[256];
        const ssize_t n = poll(&p, 1, 60000) == 1 ? recv(manager, buf, sizeof buf, 0) : -1;
        return n > 0 ? std::string(buf, size_t(n)) : std::string("(none)");
    };
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    e2e::daemon_on_sim d("clock=virtual,rate=0");
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(notice(), "READY=1");
    kill(d.proc().pid(), SIGTERM);
    EXPECT_EQ(notice().rfind("STOPPING=1", 0), 0u);
    close(manager);
}

// One socket for both families by default; --allow matches a client of either family.
TEST(DualStack, Ipv6AndIpv4LoopbackReachTheDefaultSocketAndAllowSeesBoth) {
    const struct {
        std::vector<std::string> allow;
        bool v4, v6;
    } rows[] = {{{}, true, true},
                {{"--allow", "127.0.0.0/8"}, true, false},
                {{"--allow", "::1"}, false, true},
                {{"--allow", "::ffff:127.0.0.1/128"}, true, false}};
    for (const auto &row : rows) {
        e2e::daemon_on_sim d("clock=virtual,rate=0", row.allow);
        for (const char *host : {"127.0.0.1", "::1"}) {
            SCOPED_TRACE(std::string(host) + (row.allow.empty() ? "" : " " + row.allow[1]));
            const int fd = testd::connect_addr(host, d.port());
            ASSERT_GE(fd, 0);
            ASSERT_TRUE(testd::send_all(fd, testd::frame(MSG_RESET, 0)));
            EXPECT_EQ(testd::read_reply(fd, 60000).ok, host[0] == ':' ? row.v6 : row.v4);
            close(fd);
        }
    }
}

}  // namespace
