// Figures 1 to 4 and 7: what the daemon costs on its own, before any port work, beside the
// least a TCP server on this machine can do.
#include "bench/figures.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench/net.h"
#include "client/client.h"
#include "wire/frame.h"

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// The daemon on a simulator that costs nothing: figures 1-4 never reach the port.
std::unique_ptr<server> start_daemon(const context &ctx, const std::string &sim, const std::string &tag) {
    const int port = free_port();
    return std::make_unique<server>(std::vector<std::string>{ctx.daemon, "-f", "-p", std::to_string(port),
                                                             "--listen", "127.0.0.1", "--sim=" + sim},
                                    port, ctx.out + "/" + tag + ".log");
}

std::unique_ptr<server> start_baseline(const context &ctx, const std::string &kind) {
    const int port = free_port();
    return std::make_unique<server>(
        std::vector<std::string>{ctx.self, "--serve=" + kind, "--port=" + std::to_string(port)}, port,
        ctx.out + "/baseline-" + kind + ".log");
}

// Client and servers on one processor for the life of the object, so a figure and its baseline
// never differ by where the scheduler happened to put the two ends (a round trip across
// processors costs a third more here). The servers' later children inherit it.
class pinned {
public:
    explicit pinned(std::vector<pid_t> servers) : servers_(std::move(servers)) {
        ok_ = sched_getaffinity(0, sizeof before_, &before_) == 0;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        for (pid_t p : servers_)
            ok_ = ok_ && sched_setaffinity(p, sizeof one, &one) == 0;
        ok_ = ok_ && sched_setaffinity(0, sizeof one, &one) == 0;
    }
    ~pinned() {
        sched_setaffinity(0, sizeof before_, &before_);
        for (pid_t p : servers_)
            sched_setaffinity(p, sizeof before_, &before_);
    }
    pinned(const pinned &) = delete;
    pinned &operator=(const pinned &) = delete;
    bool ok() const { return ok_; }

private:
    std::vector<pid_t> servers_;
    cpu_set_t before_{};
    bool ok_ = false;
};

void check(bool ok, const char *what) {
    if (!ok)
        std::fprintf(stderr, "bench: %s failed\n", what);
}

// Mean round trip of n 32-byte requests on one connection, in microseconds.
double rtt_us(int port, int n) {
    const int fd = connect_loopback(port);
    if (fd < 0)
        return NAN;
    uint8_t sink[MSG_HEADER_SIZE];
    for (int i = 0; i < n / 10; i++)  // warm up the path and both processes' caches
        round_trip(fd, MSG_RESET, 0, nullptr, 0, sink, sizeof sink);
    const auto t0 = clock_type::now();
    bool ok = true;
    for (int i = 0; i < n && ok; i++)
        ok = round_trip(fd, MSG_RESET, 0, nullptr, 0, sink, sizeof sink).ok;
    const double t = seconds_since(t0);
    close(fd);
    return ok ? t / n * 1e6 : NAN;
}

// MB/s of k WRITE requests carrying `payload` on one connection; init first when asked.
double write_mbps(int port, const std::vector<uint8_t> &payload, int k, bool init) {
    const int fd = connect_loopback(port);
    if (fd < 0)
        return NAN;
    std::vector<uint8_t> sink(MSG_CAPACITY);
    bool ok = !init || round_trip(fd, MSG_INIT, 0, nullptr, 0, sink.data(), sink.size()).status == MSG_OK;
    // The first large request of a new connection can stall for up to 200 ms while the kernel
    // grows the loopback window, whatever the server: it is left out of the timing.
    if (ok)
        ok = round_trip(fd, MSG_WRITE, uint32_t(payload.size()), payload.data(), payload.size(), sink.data(),
                        sink.size()).ok;
    const auto t0 = clock_type::now();
    for (int i = 0; i < k && ok; i++)
        ok = round_trip(fd, MSG_WRITE, uint32_t(payload.size()), payload.data(), payload.size(), sink.data(),
                        sink.size()).ok;
    const double t = seconds_since(t0);
    close(fd);
    return ok ? double(payload.size()) * k / t / 1e6 : NAN;
}

// Connections per second, each: connect, one 32-byte request and its reply, close.
double connections_per_s(int port, int n) {
    uint8_t sink[MSG_HEADER_SIZE];
    const auto t0 = clock_type::now();
    for (int i = 0; i < n; i++) {
        const int fd = connect_loopback(port);
        if (fd < 0 || !round_trip(fd, MSG_RESET, 0, nullptr, 0, sink, sizeof sink).ok) {
            if (fd >= 0)
                close(fd);
            return NAN;
        }
        close(fd);
    }
    return n / seconds_since(t0);
}

}  // namespace

struct idle_figure::state {
    std::unique_ptr<server> daemon, baseline;
    double daemon_pct = NAN, baseline_pct = NAN;
    std::thread sampler;
};

idle_figure::idle_figure(const context &ctx) : s_(new state) {
    s_->daemon = start_daemon(ctx, "clock=virtual,rate=0", "idle-daemon");
    s_->baseline = start_baseline(ctx, "idle");
    check(s_->daemon->ok() && s_->baseline->ok(), "starting the idle servers");
    const double window = ctx.quick ? 2.0 : 10.0;
    s_->sampler = std::thread([st = s_, window] {
        // Let the readiness probe's service process come and go before the window opens.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto d0 = cpu_ticks(st->daemon->pid()), b0 = cpu_ticks(st->baseline->pid());
        std::this_thread::sleep_for(std::chrono::duration<double>(window));
        const auto d1 = cpu_ticks(st->daemon->pid()), b1 = cpu_ticks(st->baseline->pid());
        const double tick = double(sysconf(_SC_CLK_TCK));
        if (d0 && d1)
            st->daemon_pct = double(*d1 - *d0) / tick / window * 100;
        if (b0 && b1)
            st->baseline_pct = double(*b1 - *b0) / tick / window * 100;
    });
}

idle_figure::~idle_figure() {
    if (s_->sampler.joinable())
        s_->sampler.join();
    delete s_;
}

row idle_figure::finish() {
    s_->sampler.join();
    return {"1", "idle listener CPU over 10 s", "% of a core", s_->daemon_pct, s_->baseline_pct,
            "a listener asleep in select", {bound::value_below, 0.1}, "nothing: it sleeps in poll with no time-out"};
}

row round_trip_figure(const context &ctx) {
    auto d = start_daemon(ctx, "clock=virtual,rate=0", "rtt-daemon");
    auto b = start_baseline(ctx, "pingpong");
    check(d->ok() && b->ok(), "starting the round-trip servers");
    const pinned pin({d->pid(), b->pid()});
    // Many short runs, interleaved: a noisy moment on a shared machine hits both sides.
    const int n = ctx.quick ? 200 : 1000;
    std::vector<double> dv, bv;
    for (int r = 0; r < ctx.runs * 3; r++) {
        dv.push_back(rtt_us(d->port(), n));
        bv.push_back(rtt_us(b->port(), n));
    }
    return {"2",
            pin.ok() ? "round trip of RESET before INIT (client and server on CPU 0)"
                     : "round trip of RESET before INIT (not pinned: placement left to the scheduler)",
            "us", median(dv), median(bv), "32-byte TCP ping-pong", {bound::ratio_at_most, 1.1},
            "two context switches and the loopback stack; the daemon's one more system call (getpid)"};
}

std::vector<row> framing_figures(const context &ctx) {
    // A real WRITE after INIT against a server that receives the same requests into a buffer and
    // writes them to the same simulated port through the same link code: the same copies and the
    // same port work, so the ratio is what the daemon's framing, its checks and its processes add.
    const std::string sim = "clock=real,rate=0,peer=sink,sink=/dev/null";
    auto d = start_daemon(ctx, sim, "framing-daemon");
    auto b = start_baseline(ctx, "sink:" + sim);
    auto plain = start_baseline(ctx, "sink");
    check(d->ok() && b->ok() && plain->ok(), "starting the framing servers");
    std::vector<uint8_t> payload(TC_MAX_PAYLOAD);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = uint8_t(i * 7 + 1);
    const int k = ctx.quick ? 1 : 4;
    std::vector<double> daemon, same_work, tcp;
    for (int r = 0; r < ctx.runs * 2; r++) {
        daemon.push_back(write_mbps(d->port(), payload, k, true));
        same_work.push_back(write_mbps(b->port(), payload, k, false));
    }
    for (int r = 0; r < ctx.runs; r++)
        tcp.push_back(write_mbps(plain->port(), payload, k, false));
    const double value = median(daemon);
    return {
        {"3", "8 MiB WRITEs after INIT, simulator at rate=0 on the real clock", "MB/s", value, median(same_work),
         "a server doing the same copy and port work", {bound::ratio_at_least, 0.9},
         "both write to the same simulated port; what is left is the daemon's framing and checks"},
        {"3b", "the same WRITEs against a plain TCP sink", "MB/s", value, median(tcp), "plain TCP sink",
         {bound::value_at_least, 200}, "the simulated port: a robust process-shared lock per ECR read and per 16-byte string output"},
    };
}

std::vector<row> connection_rate_figures(const context &ctx) {
    auto d = start_daemon(ctx, "clock=virtual,rate=0", "conn-daemon");
    auto b = start_baseline(ctx, "fork");
    check(d->ok() && b->ok(), "starting the connection-rate servers");
    const int n = ctx.quick ? 20 : 150;
    std::vector<double> dv, bv;
    // Processor time of each server and of the children it reaped, over every run.
    const auto d0 = cpu_ticks(d->pid(), true), b0 = cpu_ticks(b->pid(), true);
    for (int r = 0; r < ctx.runs * 2; r++) {
        dv.push_back(connections_per_s(d->port(), n));
        bv.push_back(connections_per_s(b->port(), n));
    }
    // The last children are reaped at the next connection: one more each, not timed.
    connections_per_s(d->port(), 1);
    connections_per_s(b->port(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    connections_per_s(d->port(), 1);
    connections_per_s(b->port(), 1);
    const auto d1 = cpu_ticks(d->pid(), true), b1 = cpu_ticks(b->pid(), true);
    const double per_tick_ms = 1000.0 / double(sysconf(_SC_CLK_TCK));
    const double conns = double(n) * ctx.runs * 2 + 2;
    const double dcpu = d0 && d1 ? double(*d1 - *d0) * per_tick_ms / conns : NAN;
    const double bcpu = b0 && b1 ? double(*b1 - *b0) * per_tick_ms / conns : NAN;
    return {
        {"4", "connections (connect, RESET, close)", "conn/s", median(dv), median(bv), "fork-per-connection server",
         {bound::ratio_at_least, 0.9}, "fork, copy-on-write faults and exit of a service process, per connection"},
        {"4b", "processor time per connection, the server and its service processes", "ms", dcpu, bcpu,
         "fork-per-connection server", {bound::ratio_at_most, 1.5},
         "fork and exit; the pages the listener and its child write after the fork"},
    };
}

row peak_memory_figure(const context &ctx) {
    auto d = start_daemon(ctx, "clock=virtual,rate=0,peer=source,source=" + ctx.source, "memory-daemon");
    auto b = start_baseline(ctx, "sink");
    check(d->ok() && b->ok(), "starting the memory servers");
    std::vector<uint8_t> data(TC_MAX_PAYLOAD, 0x55);
    double service = NAN, sink = NAN;

    tc_client c;
    if (tc_connect(c, "127.0.0.1", uint16_t(d->port())).error == tc_errc::none && tc_init(c).ok() &&
        tc_write(c, data).ok() && tc_read(c, data).ok()) {
        // Still connected: the service process that just served both is alive to be asked.
        if (const auto kib = vm_hwm_kib(pid_t(tc_last_pid(c))))
            service = double(*kib);
    }
    tc_close(c);

    const int fd = connect_loopback(b->port());
    std::vector<uint8_t> reply(MSG_CAPACITY);
    if (fd >= 0 && round_trip(fd, MSG_WRITE, uint32_t(data.size()), data.data(), data.size(), reply.data(),
                              reply.size()).ok) {
        if (const auto kib = vm_hwm_kib(b->pid()))
            sink = double(*kib);
    }
    if (fd >= 0)
        close(fd);
    return {"7", "peak memory (VmHWM) of a service process after 8 MiB WRITE and READ", "KiB", service, sink,
            "plain TCP sink after an 8 MiB request", {}, "the 8 MiB request buffer, touched as far as a message reaches"};
}

}  // namespace bench
