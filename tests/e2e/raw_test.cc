// The raw print port, driven by plain sockets as nc or CUPS's socket backend drive it: one
// connection is one job, no framing, the job's end is the client's end of the stream.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

#include "tests/e2e/e2e.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A daemon on the simulator with the raw port on, its sink (or the echo peer), and -V 3 lines to
// look at.
struct raw_daemon {
    explicit raw_daemon(const std::string &sim, std::vector<std::string> extra = {}, bool echo = false)
        : sink(e2e::temp_file("sink")) {
        extra.insert(extra.end(), {"-V", "3"});
        const std::string peer = echo ? "peer=echo" : "peer=sink,sink=" + sink;
        d = std::make_unique<e2e::daemon_on_sim>("clock=virtual,rate=0," + peer + sim, extra, &raw);
    }
    ~raw_daemon() { unlink(sink.c_str()); }
    // The raw socket listens before the request port the harness waits for; a loaded machine
    // still gets a generous bound.
    int connect() const {
        for (int i = 0; i < 6000; i++) {
            const int fd = testd::connect_to(raw);
            if (fd >= 0)
                return fd;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    std::string printed() const { return e2e::slurp(sink); }
    // True once a job (or a client) holds the port, as `tessal --status` shows it.
    bool held() const {
        for (int i = 0; i < 100; i++) {
            testd::daemon status({"--status=" + std::to_string(d->proc().pid())}, 0);
            if (status.wait_exit(3000) == 0 && status.out().find("held by") != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool says(const std::string &text, int ms = 60000) const { return d->proc().wait_for(text, false, ms); }

    std::string sink;
    int raw = 0;
    std::unique_ptr<e2e::daemon_on_sim> d;
};

bool send_text(int fd, const std::string &s) { return testd::send_all(fd, std::vector<uint8_t>(s.begin(), s.end())); }

// What the daemon sends until it closes the connection: the bytes, and how the stream ended
// (0 end of stream, an errno such as ECONNRESET, or ETIMEDOUT when it did not end in time).
struct ending {
    std::string bytes;
    int how = ETIMEDOUT;
};

ending read_to_end(int fd, int timeout_ms) {
    ending e;
    const auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0)
            return e;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            e.how = n == 0 ? 0 : errno;
            return e;
        }
        e.bytes.append(buf, size_t(n));
    }
}

void hang_up_hard(int fd) {
    const linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

std::string text_of(const std::vector<uint8_t> &v) { return {v.begin(), v.end()}; }

TEST(RawPort, JobBeyondAnyFrameLandsByteForByteAndTheHalfClosedClientIsLetGo) {
    raw_daemon r("");
    const std::string job = text_of(e2e::pattern(20u << 20, 7));  // above the 8 MiB of a frame
    const int fd = r.connect();
    ASSERT_TRUE(send_text(fd, job));
    shutdown(fd, SHUT_WR);  // as CUPS's socket backend does with waiteof, and nc -N
    const ending e = read_to_end(fd, 60000);
    close(fd);
    EXPECT_EQ(e.how, 0);
    EXPECT_TRUE(e.bytes.empty());
    EXPECT_TRUE(r.printed() == job) << r.printed().size() << " bytes printed";
    EXPECT_TRUE(r.says("job from 127.0.0.1: 20971520 bytes, "));
}

// The port is held for the whole job, so neither kind of client comes between the other's bytes.
TEST(RawPort, NeverInterleavedWithAFramedClientEitherWay) {
    {
        raw_daemon r("");
        tc_client c = r.d->connect();
        e2e::expect_ok(tc_init(c), 0);
        e2e::expect_ok(tc_write(c, std::vector<uint8_t>(1000, 'A')), 1000);
        const int fd = r.connect();
        ASSERT_TRUE(send_text(fd, std::string(3000, 'R')));
        shutdown(fd, SHUT_WR);
        ASSERT_TRUE(testd::status_shows(r.d->proc().pid(), "waiting 1:"));  // the raw job waits its turn
        e2e::expect_ok(tc_write(c, std::vector<uint8_t>(1000, 'B')), 1000);
        e2e::expect_ok(tc_reset(c), 0);
        EXPECT_EQ(read_to_end(fd, 60000).how, 0);
        close(fd);
        EXPECT_EQ(r.printed(), std::string(1000, 'A') + std::string(1000, 'B') + std::string(3000, 'R'));
    }
    {
        raw_daemon r("");
        const int fd = r.connect();
        ASSERT_TRUE(send_text(fd, std::string(3000, 'R')));  // the job starts, then the client pauses
        ASSERT_TRUE(r.held());
        std::thread framed([&] {
            tc_client c = r.d->connect();
            if (tc_init(c).ok() && tc_write(c, std::vector<uint8_t>(1000, 'F')).ok())
                tc_reset(c);
        });
        ASSERT_TRUE(testd::status_shows(r.d->proc().pid(), "waiting 1:"));  // the framed INIT waits
        ASSERT_TRUE(send_text(fd, std::string(2000, 'S')));
        shutdown(fd, SHUT_WR);
        EXPECT_EQ(read_to_end(fd, 60000).how, 0);
        framed.join();
        close(fd);
        EXPECT_EQ(r.printed(), std::string(3000, 'R') + std::string(2000, 'S') + std::string(1000, 'F'));
    }
}

// A client that hangs up mid-job: an orderly close ends the job with what came (nobody can tell
// it from a short job); a reset cuts it short at once. Either way the next job prints whole.
TEST(RawPort, ClientHangingUpMidJobGivesThePortToTheNextJob) {
    for (const bool reset : {false, true}) {
        raw_daemon r("");
        const std::string part = text_of(e2e::pattern(100000, 3)), next(5000, 'N');
        const int fd = r.connect();
        ASSERT_TRUE(send_text(fd, part));
        ASSERT_TRUE(r.held());
        if (reset)
            hang_up_hard(fd);
        else
            close(fd);
        const int second = r.connect();
        ASSERT_TRUE(send_text(second, next));
        shutdown(second, SHUT_WR);
        EXPECT_EQ(read_to_end(second, 60000).how, 0);
        close(second);
        const std::string got = r.printed();
        ASSERT_GE(got.size(), next.size());
        EXPECT_EQ(got.substr(got.size() - next.size()), next) << "reset " << reset;
        EXPECT_EQ(part.compare(0, got.size() - next.size(), got, 0, got.size() - next.size()), 0);
        if (!reset)
            EXPECT_EQ(got, part + next);
        else
            EXPECT_TRUE(r.says("cut short: the client reset the connection"));
    }
}

// What the printer says back reaches the client while it pauses, and after its half-close, before
// the daemon closes (the echo peer answers every byte with itself).
TEST(RawPort, QueryAnsweredThroughTheReverseChannel) {
    const std::string query = "\x1b%-12345X@PJL INFO STATUS\r\n";
    for (const bool half_close : {false, true}) {
        raw_daemon r("", {}, true);
        const int fd = r.connect();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(send_text(fd, query));
        if (half_close)
            shutdown(fd, SHUT_WR);
        ending e;
        if (!half_close) {
            // The client waits for the answer without ending its job.
            for (int i = 0; i < 2000 && e.bytes.size() < query.size(); i++) {
                const ending part = read_to_end(fd, 30);
                e.bytes += part.bytes;
            }
            EXPECT_EQ(e.bytes, query);
            shutdown(fd, SHUT_WR);
            e = read_to_end(fd, 60000);
            EXPECT_EQ(e.bytes, "");
        } else {
            e = read_to_end(fd, 60000);
            EXPECT_EQ(e.bytes, query);
        }
        // Closed at all (not left open for ever): once the printer has said nothing for 0.5 s.
        EXPECT_EQ(e.how, 0) << "the daemon closes once the printer has said nothing for 0.5 s";
        close(fd);
        EXPECT_TRUE(r.says(", " + std::to_string(query.size()) + " bytes back")) << r.d->proc().out();
    }
}

// A printer with nothing to say (nPeriphRequest high once the job's bytes have left) ends the job
// at once, so a queue of jobs runs back to back: each whole, each holding the port well under the
// 0.5 s a quiet window after every job took (the job line gives that time to a tenth).
TEST(RawPort, JobsRunBackToBackWhenThePrinterHasNothingToSay) {
    raw_daemon r("");
    const std::string a = text_of(e2e::pattern(4096, 1)), b = text_of(e2e::pattern(4096, 2));
    for (const std::string *job : {&a, &b}) {
        const int fd = r.connect();
        ASSERT_TRUE(send_text(fd, *job));
        shutdown(fd, SHUT_WR);
        EXPECT_EQ(read_to_end(fd, 20000).how, 0);
        close(fd);
    }
    EXPECT_TRUE(r.printed() == a + b) << r.printed().size() << " bytes printed";
    const std::regex line("job from 127\\.0\\.0\\.1: 4096 bytes, ([0-9]+)\\.([0-9]) s");
    std::vector<int> tenths;
    for (int i = 0; i < 1000 && tenths.size() < 2; i++) {  // the lines come as each process ends
        tenths.clear();
        const std::string out = r.d->proc().out();
        for (auto m = std::sregex_iterator(out.begin(), out.end(), line); m != std::sregex_iterator(); ++m)
            tenths.push_back(std::stoi((*m)[1]) * 10 + std::stoi((*m)[2]));
        if (tenths.size() < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(tenths.size(), 2u) << r.d->proc().out();
    for (int t : tenths)
        EXPECT_LT(t, 4) << "tenths of a second with the port";
}

// Refused by the allow list or the caps: a reset at once, and nothing printed.
TEST(RawPort, RefusedConnectionsAreResetAndPrintNothing) {
    struct row {
        std::vector<std::string> options;
        const char *line;
    };
    const row rows[] = {
        {{"--allow", "192.0.2.0/24"}, "Client refused: 127.0.0.1 is not allowed"},
        {{"--max-per-peer", "1"}, "Client refused: 127.0.0.1, too many connections from it (1)"},
    };
    for (const row &w : rows) {
        raw_daemon r("", w.options);
        // A framed client served first (its connection counts), once the harness's own probe
        // connection is reaped; the allow list closes it at once.
        tc_client c;
        for (int i = 0; i < 50; i++) {
            c = r.d->connect();
            if (w.options[0] == "--allow" || tc_reset(c).status == MSG_OK)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const int fd = r.connect();
        // The reset may come before the bytes are sent, then the send is what reports it.
        const std::string job = "nothing of this may print";
        const bool sent = send(fd, job.data(), job.size(), MSG_NOSIGNAL) == ssize_t(job.size());
        const int send_error = sent ? 0 : errno;
        const ending e = read_to_end(fd, 60000);
        close(fd);
        EXPECT_TRUE(sent ? e.how == ECONNRESET : (send_error == ECONNRESET || send_error == EPIPE))
            << w.line << ": send " << std::strerror(send_error) << ", then " << std::strerror(e.how) << "\n"
            << r.d->proc().out();
        EXPECT_TRUE(r.says(w.line)) << r.d->proc().out();
        EXPECT_EQ(r.printed(), "") << w.line;
    }
}

// A raw client cannot be told "busy" or "printer off" (and CUPS's socket backend takes a reset
// after its job for success), so the job waits, beyond --wait-timeout, while its client is there.
TEST(RawPort, JobWaitsForABusyPortAndAnOffPrinterWhileItsClientIsThere) {
    {
        raw_daemon r("", {"--wait-timeout", "0.2"});
        tc_client c = r.d->connect();
        e2e::expect_ok(tc_init(c), 0);
        const int fd = r.connect();
        ASSERT_TRUE(send_text(fd, "R"));
        shutdown(fd, SHUT_WR);
        EXPECT_EQ(read_to_end(fd, 600).how, ETIMEDOUT);  // three times --wait-timeout: still waiting
        e2e::expect_ok(tc_write(c, std::vector<uint8_t>{'F'}), 1);
        e2e::expect_ok(tc_reset(c), 0);
        EXPECT_EQ(read_to_end(fd, 60000).how, 0);
        close(fd);
        EXPECT_EQ(r.printed(), "FR");
    }
    {
        raw_daemon r(",fault=no-peripheral");
        r.d->allow_host_errors();
        const int fd = r.connect();
        ASSERT_TRUE(send_text(fd, "R"));
        EXPECT_TRUE(r.says("job from 127.0.0.1: no answer to the IEEE 1284 negotiation (printer off or not connected?), retrying"));
        EXPECT_EQ(read_to_end(fd, 300).how, ETIMEDOUT);  // neither closed nor reset
        hang_up_hard(fd);  // the client gives up: so does its job
        EXPECT_TRUE(r.says("Client dropped"));
    }
}

// The port is taken at the job's first byte: a connection that sends nothing (a monitor checking
// that the port is open) keeps nobody from the printer.
TEST(RawPort, ConnectionThatSendsNothingTakesNoPort) {
    raw_daemon r("", {"--wait-timeout", "0.3"});
    const int idle = r.connect();
    ASSERT_TRUE(r.says("Client connected"));
    tc_client c = r.d->connect();
    e2e::expect_ok(tc_init(c), 0);  // not busy
    e2e::expect_ok(tc_reset(c), 0);
    close(idle);
    EXPECT_FALSE(r.says("job from", 300));
}

// A printer that takes nothing for a while is offered the rest again while the client is there.
TEST(RawPort, PausedPrinterDoesNotFailTheJob) {
    // 12 s of the simulator's clock after 1000 bytes: the second WRITE of the rest takes nothing.
    raw_daemon r(",io_ns=100000,fault=pause:12000@1000");
    const std::string job = text_of(e2e::pattern(4000, 9));
    const int fd = r.connect();
    ASSERT_TRUE(send_text(fd, job));
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(read_to_end(fd, 60000).how, 0);
    close(fd);
    EXPECT_EQ(r.printed(), job);
    EXPECT_TRUE(r.says("job from 127.0.0.1: printer not taking data, retrying in 1 s"));
}

// A stop lets a job that is streaming go on to its client's end; the bytes sent after the SIGTERM
// are printed too, and the client sees a plain end, not a reset.
TEST(RawPort, StoppingTheDaemonLetsTheJobFinish) {
    raw_daemon r("");
    const int fd = r.connect();
    ASSERT_TRUE(send_text(fd, std::string(1000, 'x')));
    ASSERT_TRUE(testd::status_shows(r.d->proc().pid(), "held by"));
    kill(r.d->proc().pid(), SIGTERM);
    ASSERT_TRUE(r.says("Stopping on signal 15: 1 service processes to finish", 60000));
    ASSERT_TRUE(send_text(fd, std::string(5000, 'y')));
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(read_to_end(fd, 60000).how, 0);
    EXPECT_EQ(r.d->proc().wait_exit(60000), 0);
    EXPECT_TRUE(r.says("job from 127.0.0.1: 6000 bytes, ")) << r.d->proc().out();
    EXPECT_EQ(r.printed(), std::string(1000, 'x') + std::string(5000, 'y'));
    close(fd);
}

}  // namespace
