// What one buggy or hostile client can do to everyone else, row by row: each row is a client's
// behaviour and the bound the daemon must meet against it, and after each a normal client (from
// another address) must still be served. Time-outs are set to fractions of a second so the rows
// stay fast; the defaults are the same code with larger numbers.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
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
// The sanitizer's allocator keeps what is freed in quarantine and charges its own shadow: the
// memory rows measure the C library's.
constexpr bool kPlainAllocator = false;
#else
constexpr double kSlow = 1;
constexpr bool kPlainAllocator = true;
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
    int raw;  // the raw print port, for rows that turn it on with RAWPORT
    sock connect(const std::string &from = "127.0.0.1") const { return sock(testd::connect_addr("127.0.0.1", port, from)); }
    sock connect_raw() const {
        for (int i = 0; i < 100; i++)  // the raw socket opens a moment after the request port
            if (const int fd = testd::connect_to(raw); fd >= 0)
                return sock(fd);
        return sock(-1);
    }
    // `tessal --status` of this daemon.
    std::string status() const {
        testd::daemon st({"--status=" + std::to_string(d.pid())}, 0);
        return st.wait_exit(3000) == 0 ? st.out() : "";
    }
    std::string printed() const {
        std::ifstream in(sink);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
};

// Memory a process has committed: the mappings the kernel charges ("ac" among their flags).
long committed_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::string line;
    long kib = 0, size = 0;
    while (std::getline(in, line)) {
        if (line.rfind("Size:", 0) == 0)
            size = std::atol(line.c_str() + 5);
        else if (line.rfind("VmFlags:", 0) == 0 && (line + " ").find(" ac ") != std::string::npos)
            kib += size;
    }
    return kib;
}

// Until the connection ends: its ending, 0 for an orderly end of stream, or the errno (a reset).
int how_it_ends(int fd, int timeout_ms) {
    const auto until = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (clock_type::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        uint8_t b[4096];
        const ssize_t n = recv(fd, b, sizeof b, 0);
        if (n <= 0)
            return n == 0 ? 0 : errno;
    }
    return ETIMEDOUT;
}

// A holder that keeps the connection busy without moving data, one `step` every 50 ms, while
// another client waits: the waiter gets the port within the bound.
void holder_moving_nothing(row_env &e, const std::function<void(sock &)> &start, const std::function<void(sock &)> &step) {
    sock holder = e.connect();
    ASSERT_EQ(holder.ask(MSG_INIT, 0).code, MSG_OK);
    start(holder);
    sock waiter = e.connect("127.0.0.2");
    waiter.send(testd::frame(MSG_INIT, 0));
    const auto t = clock_type::now();
    while (since(t) < 5 && !testd::closed_by_peer(holder.fd, 50))
        step(holder);
    EXPECT_LT(since(t), 3.0);
    const auto r = testd::read_reply(waiter.fd, 3000);
    EXPECT_EQ(r.code, MSG_OK);
    EXPECT_TRUE(e.d.wait_for("Client held the port idle for 0.300 s while others waited, closing\n", false, 1000));
}

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
             const sockaddr_in sa = testd::loopback(e.port);
             ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa), 0);
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
             for (int i = 0; i < 12; i++) {  // a byte to the printer every 0.1 s for 1.2 s
                 std::this_thread::sleep_for(std::chrono::milliseconds(100));
                 ASSERT_EQ(holder.ask(MSG_WRITE, 1, {'b'}).count, 1u) << i;
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
             if (!kPlainAllocator)
                 GTEST_SKIP() << "memory under a sanitizer's allocator";
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
                 const int fd = testd::connect_to(e.port);
                 ASSERT_GE(fd, 0) << i;
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
             EXPECT_EQ(how_it_ends(c.fd, 5000), 0);  // then nothing for the tail, and no reset
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
        {"TrickledRawJobIsCutWhileOthersWait",
         {"--raw-port=RAWPORT", "--io-timeout", "0.3", "--hold-timeout", "0.3", "--sim=clock=virtual,rate=0,peer=sink,sink=SINK"},
         [](row_env &e) {
             sock job = e.connect_raw();
             job.send({'j'});
             ASSERT_TRUE(wait_until([&] { return e.status().find("held by") != std::string::npos; }, 5000));
             sock waiter = e.connect();
             waiter.send(testd::frame(MSG_INIT, 0));
             const auto t = clock_type::now();
             int ending = ETIMEDOUT;
             while (since(t) < 5 && ending == ETIMEDOUT) {  // a byte every 50 ms, each one printed
                 if (send(job.fd, "t", 1, MSG_NOSIGNAL) != 1)
                     break;
                 ending = how_it_ends(job.fd, 50);
             }
             EXPECT_LT(since(t), 3.0);
             EXPECT_NE(ending, 0);  // a reset: the client must not take the job for printed
             EXPECT_EQ(testd::read_reply(waiter.fd, 3000).code, MSG_OK);
             EXPECT_TRUE(e.d.wait_for("cut short: the client sent too slowly while others waited\n", false, 1000));
         }},
        {"TrickledWriteBodyIsCutByTheFloorWhateverItsLength", {"--io-timeout", "0.3"}, [](row_env &e) {
             sock c = e.connect();
             ASSERT_EQ(c.ask(MSG_INIT, 0).code, MSG_OK);
             auto head = testd::frame(MSG_WRITE, int32_t(kMax), {}, int64_t(MSG_CAPACITY));  // 8 MiB declared
             c.send(head);
             const auto t = clock_type::now();
             while (since(t) < 10 && send(c.fd, "x", 1, MSG_NOSIGNAL) == 1 && !testd::closed_by_peer(c.fd, 50)) {
             }
             EXPECT_LT(since(t), 3.0);  // not the grace plus 8 MiB at 16 KiB/s (8.5 minutes)
             EXPECT_TRUE(e.d.wait_for("Client too slow sending a request, closing\n", false, 1000));
         }},
        {"RequestsThatMoveNothingLoseThePort", {"--hold-timeout", "0.3", "--wait-timeout", "5"}, [](row_env &e) {
             holder_moving_nothing(e, [](sock &) {}, [](sock &h) { h.ask(MSG_READ, 0); });
         }},
        {"ARequestSentAboveTheFloorStillLosesThePort", {"--hold-timeout", "0.3", "--wait-timeout", "5"}, [](row_env &e) {
             holder_moving_nothing(  // 4 KiB every 50 ms: above the floor, and 13 s for the whole 1 MiB
                 e, [](sock &h) { h.send(testd::frame(MSG_WRITE, 1 << 20, {}, 32 + (1 << 20))); },
                 [](sock &h) { send(h.fd, std::vector<uint8_t>(4096, 'a').data(), 4096, MSG_NOSIGNAL); });
         }},
        {"FloodOfErrorLinesIsLimitedDaemonWideAndNeverGarbled", {}, [](row_env &e) {
             // 8 clients, each a series of connections sending 11 unknown commands.
             std::vector<uint8_t> eleven;
             for (int i = 0; i < 11; i++) {
                 const auto f = testd::frame(0x09, 0);
                 eleven.insert(eleven.end(), f.begin(), f.end());
             }
             const auto t = clock_type::now();
             std::vector<std::thread> clients;
             std::atomic<int> answered{0};
             for (int c = 0; c < 8; c++)
                 clients.emplace_back([&, c] {
                     for (int i = 0; i < 15; i++) {
                         sock s(testd::connect_addr("127.0.0.1", e.port, "127.0.1." + std::to_string(c + 1)));
                         s.send(eleven);
                         for (int k = 0; k < 11; k++)
                             answered += testd::read_reply(s.fd).code == MSG_OK;
                     }
                 });
             for (auto &c : clients)
                 c.join();
             EXPECT_EQ(answered, 8 * 15 * 11);
             // Lines go on after the flood: the first one let through counts what was dropped.
             EXPECT_TRUE(wait_until([&] {
                 e.connect().ask(0x09, 0);
                 return e.d.err().find(" similar lines suppressed)\n") != std::string::npos;
             }, 5000));
             const std::string err = e.d.err();
             const double seconds = since(t);
             std::istringstream lines(err);
             const std::regex whole("ERROR: (Unknown command 0x09|[0-9]+ more unknown commands on this connection)"
                                    "( \\([0-9]+ similar lines suppressed\\))?");
             int n = 0;
             for (std::string l; std::getline(lines, l); n++)
                 EXPECT_TRUE(std::regex_match(l, whole)) << l;
             EXPECT_LE(n, 60 + 20 * seconds + 1);  // the burst, then 20 a second
             EXPECT_LT(n, 8 * 15 * 11);
         }},
        {"TwoAddressesLeaveRoomForOthers", {"--max-connections", "16"}, [](row_env &e) {
             std::vector<sock> kept;
             auto served = [&](const std::string &from) {
                 kept.push_back(e.connect(from));
                 const auto r = kept.back().ask(MSG_RESET, 0, {}, 2000);
                 return r.code == MSG_OK ? 0u : r.count;
             };
             for (int i = 0; i < 10; i++) {  // four each by default (a quarter), the rest refused
                 EXPECT_EQ(served("127.0.0.1"), i < 4 ? 0u : uint32_t(MSG_FAIL_TOO_MANY)) << i;
                 EXPECT_EQ(served("127.0.0.2"), i < 4 ? 0u : uint32_t(MSG_FAIL_TOO_MANY)) << i;
             }
             for (int i = 0; i < 4; i++)
                 EXPECT_EQ(served("127.0.0.3"), 0u);
             EXPECT_EQ(served("127.0.0.4"), 0u);  // 13 and 14 of 16
             EXPECT_EQ(served("127.0.0.4"), 0u);
             EXPECT_EQ(served("127.0.0.4"), uint32_t(MSG_FAIL_TOO_MANY));  // the last two are kept...
             EXPECT_EQ(served("127.0.0.5"), 0u);                           // ...for addresses not yet served
             EXPECT_EQ(served("127.0.0.6"), 0u);
             EXPECT_EQ(served("127.0.0.7"), uint32_t(MSG_FAIL_TOO_MANY));
             // One line per refused address, however often it comes back.
             EXPECT_EQ(count_of(e.d.out(), "Client refused: 127.0.0.1, too many connections from it (4)\n"), 1);
             EXPECT_EQ(count_of(e.d.out(), "Client refused: 127.0.0.4, the last 2 slots are kept for new clients\n"), 1);
         }},
        {"IdleConnectionCommitsLittleMemory", {}, [](row_env &e) {
             if (!kPlainAllocator)
                 GTEST_SKIP() << "memory under a sanitizer's allocator";
             sock idle = e.connect();
             const pid_t pid = pid_t(idle.ask(MSG_RESET, 0).pid);
             EXPECT_LT(committed_kib(pid), 1024) << "an idle connection";
             sock c = e.connect();
             ASSERT_EQ(c.ask(MSG_INIT, 0).code, MSG_OK);
             const auto r = c.ask(MSG_WRITE, int32_t(kMax), std::vector<uint8_t>(kMax, 'm'), 20000);
             ASSERT_EQ(r.count, kMax);
             EXPECT_TRUE(wait_until([&] { return committed_kib(pid_t(r.pid)) < 1024; }, 1000))  // given back
                 << committed_kib(pid_t(r.pid)) << " KiB after an 8 MiB WRITE";
         }},
        {"RawJobCancelledWhileQueuedIsNotPrinted", {"--raw-port=RAWPORT", "--sim=clock=virtual,rate=0,peer=sink,sink=SINK"},
         [](row_env &e) {
             sock holder = e.connect();
             ASSERT_EQ(holder.ask(MSG_INIT, 0).code, MSG_OK);
             sock job = e.connect_raw();
             job.send({'n', 'o', '!'});
             shutdown(job.fd, SHUT_WR);  // the whole job sent...
             ASSERT_TRUE(wait_until([&] { return e.status().find("waiting 1:") != std::string::npos; }, 5000));
             const linger reset{1, 0};  // ...then cancelled
             setsockopt(job.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
             close(job.fd);
             job.fd = -1;
             EXPECT_EQ(holder.ask(MSG_WRITE, 4, {'k', 'e', 'p', 't'}).count, 4u);
             EXPECT_EQ(holder.ask(MSG_RESET, 0).code, MSG_OK);
             EXPECT_TRUE(e.d.wait_for("cut short: the client reset the connection before the port was taken\n", false, 5000));
             kill(e.d.pid(), SIGTERM);
             EXPECT_EQ(e.d.wait_exit(5000), 0);
             EXPECT_EQ(e.printed(), "kept");
         }, false},
        {"StatusCountsALongWriteAsItGoes", {"--sim=clock=real,rate=200000"}, [](row_env &e) {
             sock c = e.connect();
             ASSERT_EQ(c.ask(MSG_INIT, 0).code, MSG_OK);
             const uint32_t n = 600000;  // 3 s at the link's rate
             c.send(testd::frame(MSG_WRITE, int32_t(n), std::vector<uint8_t>(n, 's')));
             EXPECT_TRUE(wait_until([&] {
                 const std::string st = e.status();
                 const auto at = st.find(", since ");
                 const auto bytes = at == std::string::npos ? 0 : std::atol(st.c_str() + st.find("), ", at) + 3);
                 return bytes > 0 && bytes < long(n);
             }, 5000)) << e.status();
             EXPECT_EQ(testd::read_reply(c.fd, 20000).count, n);
         }},
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
    const int raw = testd::free_port();
    std::vector<std::string> args{"-f", "-V", "3", "-p", std::to_string(port), "--sim=clock=virtual,rate=0"};
    for (std::string o : r.options) {
        if (const auto at = o.find("RAWPORT"); at != std::string::npos)
            o.replace(at, 7, std::to_string(raw));
        if (o.rfind("--sim=", 0) == 0) {  // the last --sim counts; SINK stands for the row's file
            if (const auto at = o.find("SINK"); at != std::string::npos)
                o.replace(at, 4, sink);
        }
        args.push_back(o);
    }
    testd::daemon d(args, port);
    // The start-up probe's service process must be gone, and reaped, before the caps count.
    ASSERT_TRUE(d.wait_for("Client dropped   at", false, 60000)) << d.out() << d.err();
    ASSERT_TRUE(wait_until([&] { return children_of(d.pid()) == 0; }, 60000));
    row_env e{d, port, sink, raw};
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
