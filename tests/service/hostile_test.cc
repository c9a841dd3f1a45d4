// What one buggy or hostile client can do to everyone else, row by row: each row is a client's
// behaviour and the bound the daemon must meet against it, and after each a normal client (from
// another address) must still be served. Time-outs are set to fractions of a second so the rows
// stay fast; the defaults are the same code with larger numbers.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "wire/frame.h"
#include "tests/support/daemon.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr uint32_t kMax = MSG_CAPACITY - MSG_HEADER_SIZE;
#ifdef __SANITIZE_ADDRESS__
constexpr double kSlow = 4;  // the simulator's transfers run several times slower under ASan
#else
constexpr double kSlow = 1;
#endif

double since(clock_type::time_point t) { return std::chrono::duration<double>(clock_type::now() - t).count(); }

using testd::wait_until;

// A socket closed when the row is done with it.
struct sock {
    int fd = -1;
    explicit sock(int f) : fd(f) {}
    sock(sock &&o) noexcept : fd(o.fd) { o.fd = -1; }
    ~sock() {
        if (fd >= 0)
            close(fd);
    }
    testd::reply ask(uint8_t code, int32_t count, const std::vector<uint8_t> &payload = {}, int timeout_ms = 5000) const {
        EXPECT_TRUE(testd::send_all(fd, testd::frame(code, count, payload)));
        return testd::read_reply(fd, timeout_ms);
    }
    void send(const std::vector<uint8_t> &bytes) const { EXPECT_TRUE(testd::send_all(fd, bytes)); }
};

std::string field(pid_t pid, const std::string &file, const std::string &key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return line.substr(key.size());
    return "";
}

// Private memory only: the simulated device's shared mapping (its echo queue) does not count.
long rss_kib(pid_t pid) { return std::atol(field(pid, "status", "RssAnon:").c_str()); }

// User and system time of the daemon's processes, in clock ticks.
long cpu_ticks(const testd::daemon &d) {
    long sum = 0;
    for (pid_t p : d.group()) {
        std::ifstream in("/proc/" + std::to_string(p) + "/stat");
        std::string s;
        std::getline(in, s);
        std::istringstream rest(s.substr(s.rfind(')') + 2));
        std::string w;
        for (int i = 3; i <= 15 && rest >> w; i++)
            if (i == 14 || i == 15)
                sum += std::atol(w.c_str());
    }
    return sum;
}

// Processes whose parent is pid, zombies included (the listener counts them until it reaps them).
int children_of(pid_t pid) {
    int n = 0;
    DIR *d = opendir("/proc");
    while (dirent *e = readdir(d)) {
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string s;
        if (e->d_name[0] < '1' || e->d_name[0] > '9' || !std::getline(in, s) || s.rfind(')') == std::string::npos)
            continue;
        std::istringstream rest(s.substr(s.rfind(')') + 2));
        std::string state;
        long ppid = 0;
        rest >> state >> ppid;
        n += ppid == pid;
    }
    closedir(d);
    return n;
}

int count_of(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

struct row_env {
    testd::daemon &d;
    int port;
    std::string sink;
    sock connect(const std::string &from = "127.0.0.1") const { return sock(testd::connect_addr("127.0.0.1", port, from)); }
};

struct row {
    const char *name;
    std::vector<std::string> options;  // the simulator's configuration among them, if not the default
    std::function<void(row_env &)> act;  // the client's behaviour, and the bound it must meet
    bool check_after = true;             // serve a normal client afterwards
};

void holder_then_waiter(row_env &e, double bound_s, uint8_t expect_code, uint32_t expect_count) {
    sock holder = e.connect();
    ASSERT_EQ(holder.ask(MSG_INIT, 0).code, MSG_OK);
    sock waiter = e.connect();
    const auto t = clock_type::now();
    const auto r = waiter.ask(MSG_INIT, 0, {}, 10000);
    EXPECT_LT(since(t), bound_s);
    EXPECT_EQ(r.code, expect_code);
    EXPECT_EQ(r.count, expect_count);
}

const std::vector<row> &rows() {
    static const std::vector<row> all = {
        {"ReplyNeverRead", {"--io-timeout", "0.3", "--keepalive", "1,1,1", "--sim=clock=virtual,rate=0,io_ns=1"}, [](row_env &e) {
             // A tiny receive window that is never emptied: the reply stalls at a zero window. What
             // the kernel's buffers cannot take is bounded by --io-timeout in the service process;
             // what they took, by TCP_USER_TIMEOUT (here 2 s, from the keepalive settings).
             const int fd = socket(AF_INET, SOCK_STREAM, 0);
             const int small = 4096;
             setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
             sockaddr_in sa{};
             sa.sin_family = AF_INET;
             sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
             sa.sin_port = htons(uint16_t(e.port));
             ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
             sock greedy(fd);
             ASSERT_EQ(greedy.ask(MSG_INIT, 0).code, MSG_OK);
             const std::vector<uint8_t> job(3 << 20, 'r');
             ASSERT_EQ(greedy.ask(MSG_WRITE, int32_t(job.size()), job, 20000).count, job.size());
             greedy.send(testd::frame(MSG_READ, int32_t(job.size())));
             sock next = e.connect();
             const auto t = clock_type::now();
             EXPECT_EQ(next.ask(MSG_INIT, 0, {}, int(6000 * kSlow)).code, MSG_OK);
             EXPECT_LT(since(t), 4.0 * kSlow);
         }},
        {"SilentInTheMiddleOfAHeader", {"--io-timeout", "0.3"}, [](row_env &e) {
             sock c = e.connect();
             ASSERT_EQ(c.ask(MSG_INIT, 0).code, MSG_OK);
             c.send({0xE1});
             const auto t = clock_type::now();
             EXPECT_TRUE(testd::closed_by_peer(c.fd, 3000));
             EXPECT_LT(since(t), 1.5);
         }},
        {"IdleTimeoutCoversEveryRead", {"--idle-timeout", "0.3"}, [](row_env &e) {
             sock c = e.connect();
             ASSERT_EQ(c.ask(MSG_INIT, 0).code, MSG_OK);
             const auto whole = testd::frame(MSG_WRITE, 100, std::vector<uint8_t>(100, 'w'));
             c.send(std::vector<uint8_t>(whole.begin(), whole.begin() + 40));  // stops in the payload
             const auto t = clock_type::now();
             EXPECT_TRUE(testd::closed_by_peer(c.fd, 3000));
             EXPECT_LT(since(t), 1.5);
             EXPECT_TRUE(e.d.wait_for("Client idle for 0.300 s, closing\n", false, 60000));
         }},
        {"TrickledRequest", {"--io-timeout", "0.3"}, [](row_env &e) {
             sock c = e.connect();
             ASSERT_EQ(c.ask(MSG_INIT, 0).code, MSG_OK);
             const auto req = testd::frame(MSG_WRITE, 1024, std::vector<uint8_t>(1024, 't'));
             const auto t = clock_type::now();
             bool cut = false;
             for (size_t i = 0; i < req.size() && !cut; i++) {
                 cut = send(c.fd, &req[i], 1, MSG_NOSIGNAL) != 1 || testd::closed_by_peer(c.fd, 100);
             }
             EXPECT_TRUE(cut);
             EXPECT_LT(since(t), 1.5);  // progress every 0.1 s, yet far below the minimum rate
             EXPECT_TRUE(e.d.wait_for("Client too slow sending a request, closing\n", false, 60000));
         }},
        {"SilentHolderWaiterHearsBusy", {"--wait-timeout", "0.3"}, [](row_env &e) {
             holder_then_waiter(e, 1.5, MSG_FAIL, MSG_FAIL_BUSY);
             EXPECT_TRUE(e.d.wait_for("Port busy: 127.0.0.1 (pid ", false, 60000));
         }},
        {"SilentHolderLosesThePortWhileOthersWait", {"--hold-timeout", "0.3"}, [](row_env &e) {
             holder_then_waiter(e, 1.5, MSG_OK, 0);
             EXPECT_TRUE(e.d.wait_for("Client held the port idle for 0.300 s while others waited, closing\n", false, 60000));
         }},
        {"BusyHolderKeepsThePort", {"--hold-timeout", "0.3", "--wait-timeout", "1"}, [](row_env &e) {
             sock holder = e.connect();
             ASSERT_EQ(holder.ask(MSG_INIT, 0).code, MSG_OK);
             sock waiter = e.connect();
             waiter.send(testd::frame(MSG_INIT, 0));
             for (int i = 0; i < 12; i++) {  // a request every 0.1 s for 1.2 s
                 std::this_thread::sleep_for(std::chrono::milliseconds(100));
                 ASSERT_EQ(holder.ask(MSG_READ, 0).code, MSG_OK) << i;
             }
             const auto r = testd::read_reply(waiter.fd, 60000);
             EXPECT_EQ(r.code, MSG_FAIL);
             EXPECT_EQ(r.count, uint32_t(MSG_FAIL_BUSY));
         }},
        {"CyclingClientHandsOverToTheWaiter", {}, [](row_env &e) {
             sock cycler = e.connect();
             ASSERT_EQ(cycler.ask(MSG_INIT, 0).code, MSG_OK);
             sock waiter = e.connect();
             waiter.send(testd::frame(MSG_INIT, 0));
             ASSERT_TRUE(testd::status_shows(e.d.pid(), "waiting 1:"));  // queued
             auto burst = testd::frame(MSG_WRITE, 3, {'c', 'y', 'c'});
             for (const auto &f : {testd::frame(MSG_RESET, 0), testd::frame(MSG_INIT, 0)})
                 burst.insert(burst.end(), f.begin(), f.end());
             cycler.send(burst);
             EXPECT_EQ(testd::read_reply(cycler.fd).count, 3u);
             EXPECT_EQ(testd::read_reply(cycler.fd).code, MSG_OK);  // RESET
             EXPECT_EQ(testd::read_reply(waiter.fd, 60000).code, MSG_OK);
             EXPECT_FALSE(testd::read_reply(cycler.fd, 200).ok);  // its new INIT waits behind
             EXPECT_EQ(waiter.ask(MSG_RESET, 0).code, MSG_OK);
             EXPECT_EQ(testd::read_reply(cycler.fd, 60000).code, MSG_OK);
         }},
        {"LargeWritesPinNoMemory", {}, [](row_env &e) {
             // Refused WRITEs drop their payload; a carried-out one gives its pages back. Each
             // process is held against a fresh one, so the runtime's own memory does not count.
             sock fresh = e.connect();
             const auto idle = fresh.ask(MSG_RESET, 0);
             const long base = rss_kib(pid_t(idle.pid));
             std::vector<sock> refused;
             for (int i = 0; i < 3; i++) {
                 refused.push_back(e.connect());
                 const auto r = refused.back().ask(MSG_WRITE, int32_t(kMax), std::vector<uint8_t>(kMax, 'x'), 20000);
                 EXPECT_EQ(r.code, MSG_FAIL);
                 EXPECT_LT(rss_kib(pid_t(r.pid)), base + 1024) << "refused WRITE " << i;  // never touched
             }
             sock c = e.connect();
             const auto init = c.ask(MSG_INIT, 0);
             ASSERT_EQ(init.code, MSG_OK);
             const long holding = rss_kib(pid_t(init.pid));
             const auto r = c.ask(MSG_WRITE, 4 << 20, std::vector<uint8_t>(4 << 20, 'y'), 20000);
             EXPECT_EQ(r.count, uint32_t(4 << 20));
             // The pages go back right after the reply (half the message would already be pinning).
             EXPECT_TRUE(wait_until([&] { return rss_kib(pid_t(r.pid)) < holding + 2048; }, 60000))
                 << rss_kib(pid_t(r.pid)) << " KiB, " << holding << " before";
         }},
        {"ManyConnectionsFromOneAddress", {"--max-per-peer", "3", "--max-connections", "5"}, [](row_env &e) {
             std::vector<sock> kept;
             for (int i = 0; i < 3; i++) {
                 kept.push_back(e.connect());
                 EXPECT_EQ(kept.back().ask(MSG_RESET, 0).code, MSG_OK);
             }
             for (int i = 0; i < 5; i++) {  // refused at once, with a reply that can be read
                 sock more = e.connect();
                 const auto r = more.ask(MSG_INIT, 0, {}, 2000);
                 EXPECT_EQ(r.code, MSG_FAIL) << i;
                 EXPECT_EQ(r.count, uint32_t(MSG_FAIL_TOO_MANY)) << i;
                 EXPECT_TRUE(testd::closed_by_peer(more.fd, 2000));
             }
             kept.push_back(e.connect("127.0.0.2"));  // another address still gets in...
             EXPECT_EQ(kept.back().ask(MSG_RESET, 0).code, MSG_OK);
             kept.push_back(e.connect("127.0.0.3"));
             EXPECT_EQ(kept.back().ask(MSG_RESET, 0).code, MSG_OK);
             sock over = e.connect("127.0.0.4");  // ...up to the cap in all
             EXPECT_EQ(over.ask(MSG_RESET, 0).count, uint32_t(MSG_FAIL_TOO_MANY));
             EXPECT_LE(e.d.group().size(), 6u);
             EXPECT_TRUE(e.d.wait_for("Client refused: 127.0.0.1, too many connections from it (3)\n", false, 60000));
             EXPECT_TRUE(e.d.wait_for("Client refused: 127.0.0.4, too many connections (5)\n", false, 60000));
         }},
        {"BurstOfConnects", {"--max-connections", "16", "--max-per-peer", "16"}, [](row_env &e) {
             std::vector<int> fds;
             const auto t = clock_type::now();
             for (int i = 0; i < 200; i++) {
                 const int fd = socket(AF_INET, SOCK_STREAM, 0);
                 sockaddr_in sa{};
                 sa.sin_family = AF_INET;
                 sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                 sa.sin_port = htons(uint16_t(e.port));
                 ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0) << i;
                 fds.push_back(fd);
             }
             for (int fd : fds)
                 testd::send_all(fd, testd::frame(MSG_RESET, 0));
             int ok = 0, refused = 0;
             for (int fd : fds) {
                 const auto r = testd::read_reply(fd, 60000);
                 ok += r.code == MSG_OK;
                 refused += r.code == MSG_FAIL && r.count == MSG_FAIL_TOO_MANY;
                 close(fd);
             }
             EXPECT_EQ(ok + refused, 200);
             EXPECT_GE(ok, 16);
             EXPECT_LT(since(t), 5.0);
         }},
        {"HalfCloseIsNotHangUp", {}, [](row_env &e) {
             sock holder = e.connect();
             ASSERT_EQ(holder.ask(MSG_INIT, 0).code, MSG_OK);
             sock half = e.connect();
             auto all = testd::frame(MSG_INIT, 0);
             for (const auto &f : {testd::frame(MSG_WRITE, 4, {'h', 'a', 'l', 'f'}), testd::frame(MSG_RESET, 0)})
                 all.insert(all.end(), f.begin(), f.end());
             half.send(all);
             shutdown(half.fd, SHUT_WR);
             ASSERT_TRUE(testd::status_shows(e.d.pid(), "waiting 1:"));
             EXPECT_EQ(holder.ask(MSG_RESET, 0).code, MSG_OK);
             EXPECT_EQ(testd::read_reply(half.fd).code, MSG_OK);
             EXPECT_EQ(testd::read_reply(half.fd).count, 4u);
             EXPECT_EQ(testd::read_reply(half.fd).code, MSG_OK);
             EXPECT_TRUE(testd::closed_by_peer(half.fd));
         }},
        {"HugeIdleTimeoutDoesNotOverflow", {"--idle-timeout", "4294968"}, [](row_env &e) {
             sock c = e.connect();
             EXPECT_FALSE(testd::closed_by_peer(c.fd, 1000));
             EXPECT_EQ(c.ask(MSG_RESET, 0).code, MSG_OK);
         }},
        {"MessageLongerThanTheBufferEndsTheConnection", {}, [](row_env &e) {
             sock c = e.connect();
             auto msg = testd::frame(MSG_WRITE, 8, std::vector<uint8_t>(kMax, 'o'), int64_t(MSG_CAPACITY) + 32);
             const auto tail = testd::frame(MSG_RESET, 0);  // a whole request where the message overflows
             msg.insert(msg.end(), tail.begin(), tail.end());
             c.send(msg);
             EXPECT_EQ(testd::read_reply(c.fd, 60000).code, MSG_FAIL);  // the WRITE, before INIT
             EXPECT_TRUE(testd::closed_by_peer(c.fd));                    // and nothing for the tail
         }},
        {"FloodOfUnknownCommands", {}, [](row_env &e) {
             sock c = e.connect();
             std::vector<uint8_t> flood;
             for (int i = 0; i < 2000; i++) {
                 const auto f = testd::frame(0x07, 0);
                 flood.insert(flood.end(), f.begin(), f.end());
             }
             c.send(flood);
             for (int i = 0; i < 2000; i++)
                 ASSERT_EQ(testd::read_reply(c.fd).code, MSG_OK) << i;
             close(c.fd);
             c.fd = -1;
             EXPECT_TRUE(e.d.wait_for("ERROR: 1990 more unknown commands on this connection\n", true, 60000));
             EXPECT_EQ(count_of(e.d.err(), "ERROR: Unknown command 0x07\n"), 10);
         }},
        {"HangUpSignalInTheForeground", {}, [](row_env &e) {
             kill(e.d.pid(), SIGHUP);
             std::this_thread::sleep_for(std::chrono::milliseconds(100));
             EXPECT_EQ(e.connect().ask(MSG_RESET, 0).code, MSG_OK);
         }},
        {"StopWritesTheSinkAndEndsEveryProcess", {"--sim=clock=virtual,rate=0,peer=sink,sink=SINK"}, [](row_env &e) {
             sock holder = e.connect();
             ASSERT_EQ(holder.ask(MSG_INIT, 0).code, MSG_OK);
             ASSERT_EQ(holder.ask(MSG_WRITE, 5, {'s', 't', 'o', 'p', '!'}).count, 5u);  // and no RESET
             sock waiter = e.connect();
             waiter.send(testd::frame(MSG_INIT, 0));
             ASSERT_TRUE(testd::status_shows(e.d.pid(), "waiting 1:"));
             // The first stop step answers the waiter; the silent holder is ended by the second.
             kill(e.d.pid(), SIGTERM);
             const testd::reply busy = testd::read_reply(waiter.fd, 60000);
             EXPECT_EQ(busy.code, MSG_FAIL);
             EXPECT_EQ(busy.count, uint32_t(MSG_FAIL_BUSY));
             kill(e.d.pid(), SIGTERM);
             EXPECT_EQ(e.d.wait_exit(60000), 0);
             EXPECT_TRUE(e.d.group().empty());
             std::ifstream in(e.sink);
             std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
             EXPECT_EQ(got, "stop!");
         }, false},
        {"QueuedInitsCostNoProcessorTime", {"--wait-timeout", "60"}, [](row_env &e) {
             sock holder = e.connect();
             ASSERT_EQ(holder.ask(MSG_INIT, 0).code, MSG_OK);
             std::vector<sock> queued;
             for (int i = 0; i < 12; i++) {
                 queued.push_back(e.connect());
                 queued.back().send(testd::frame(MSG_INIT, 0));
             }
             ASSERT_TRUE(testd::status_shows(e.d.pid(), "waiting 12:"));
             const long before = cpu_ticks(e.d);
             std::this_thread::sleep_for(std::chrono::milliseconds(1000));
             EXPECT_LE(cpu_ticks(e.d) - before, 1);  // at 100 ticks a second: under 1 % of a core
         }},
    };
    return all;
}

class Hostile : public ::testing::TestWithParam<size_t> {};

TEST_P(Hostile, BoundHoldsAndANormalClientIsServedAfterwards) {
    const row &r = rows()[GetParam()];
    const int port = testd::free_port();
    char tmpl[] = "/tmp/tessal-hostile-XXXXXX";
    const int tmp = mkstemp(tmpl);
    ASSERT_GE(tmp, 0);
    close(tmp);
    const std::string sink = tmpl;
    struct unlink_at_end {
        std::string path;
        ~unlink_at_end() { unlink(path.c_str()); }
    } remove_sink{sink};  // whatever fails
    std::vector<std::string> args{"-f", "-V", "3", "-p", std::to_string(port), "--sim=clock=virtual,rate=0"};
    for (std::string o : r.options) {
        if (o.rfind("--sim=", 0) == 0) {  // the last --sim counts; SINK stands for the row's file
            if (const auto at = o.find("SINK"); at != std::string::npos)
                o.replace(at, 4, sink);
        }
        args.push_back(o);
    }
    testd::daemon d(args, port);
    // The start-up probe's service process must be gone, and reaped, before the caps count.
    ASSERT_TRUE(d.wait_for("Client dropped   at", false, 60000));
    ASSERT_TRUE(wait_until([&] { return children_of(d.pid()) == 0; }, 60000));
    row_env e{d, port, sink};
    r.act(e);
    if (r.check_after) {
        ASSERT_TRUE(wait_until([&] { return children_of(d.pid()) == 0; }, 60000));  // the row's are gone
        // A normal client, from an address of its own: INIT, a small WRITE, RESET.
        sock c = e.connect("127.0.0.9");
        EXPECT_EQ(c.ask(MSG_INIT, 0, {}, 5000).code, MSG_OK);
        EXPECT_EQ(c.ask(MSG_WRITE, 3, {'o', 'k', '!'}).count, 3u);
        EXPECT_EQ(c.ask(MSG_RESET, 0).code, MSG_OK);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Hostile, ::testing::Range(size_t(0), rows().size()),
                         [](const ::testing::TestParamInfo<size_t> &i) { return std::string(rows()[i.param].name); });

}  // namespace
