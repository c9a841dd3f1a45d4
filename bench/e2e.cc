// Figure 5 on the real clock, and the throughput curve: the daemon on the simulator at a fixed
// link rate, driven through the client library as a user's program drives it.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>

#include "bench/figures.h"
#include "bench/net.h"
#include "client/client.h"

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;

// A daemon whose peripheral sends back ctx.source and drops what it is sent, so READs never run
// dry and WRITEs never fill a queue.
std::unique_ptr<server> start_link_daemon(const context &ctx, const std::string &rate, const std::string &tag) {
    const int port = free_port();
    const std::string sim = "clock=real,rate=" + rate + ",peer=source,source=" + ctx.source;
    return std::make_unique<server>(std::vector<std::string>{ctx.daemon, "-f", "-p", std::to_string(port),
                                                             "--listen", "127.0.0.1", "--sim=" + sim},
                                    port, ctx.out + "/" + tag + ".log");
}

struct session {
    tc_client c;
    bool ok = false;
    explicit session(int port) {
        ok = tc_connect(c, "127.0.0.1", uint16_t(port)).error == tc_errc::none && tc_init(c).ok();
    }
    ~session() {
        if (ok)
            tc_reset(c);
    }
};

// Bytes per second of requests of `size` bytes, repeated until at least min_s has passed (at
// least once). NaN when a request fails or falls short.
double rate_of(session &s, bool write, size_t size, double min_s) {
    static std::vector<uint8_t> buf(TC_MAX_PAYLOAD, 0xA5);
    const std::span<uint8_t> part(buf.data(), size);
    uint64_t bytes = 0;
    const auto t0 = clock_type::now();
    double t = 0;
    do {
        const tc_result r = write ? tc_write(s.c, part) : tc_read(s.c, part);
        if (!r.ok() || r.count != size)
            return NAN;
        bytes += size;
        t = std::chrono::duration<double>(clock_type::now() - t0).count();
    } while (t < min_s);
    return double(bytes) / t;
}

}  // namespace

std::vector<row> end_to_end_figures(const context &ctx) {
    auto d = start_link_daemon(ctx, "2000000", "e2e-daemon");
    session s(d->port());
    if (!s.ok)
        std::fprintf(stderr, "bench: the end-to-end daemon did not answer INIT\n");
    const size_t size = ctx.quick ? 64 * 1024 : 4 * 1024 * 1024;
    const int runs = std::min(ctx.runs, 3);  // each run is seconds of link time
    std::vector<double> w, r, wcpu, rcpu;
    const pid_t service = pid_t(tc_last_pid(s.c));
    // The service process polls the port without sleeping, and the simulated FIFO holds 8 us of
    // link time: whenever the scheduler takes the processor away the link idles. Its share of a
    // core during each run is reported beside the throughput so a busy machine shows as such.
    auto timed = [&](bool write, std::vector<double> &rate, std::vector<double> &cpu) {
        const auto c0 = cpu_ticks(service);
        const auto t0 = clock_type::now();
        rate.push_back(rate_of(s, write, size, 0) / 1e6);
        const double t = std::chrono::duration<double>(clock_type::now() - t0).count();
        const auto c1 = cpu_ticks(service);
        if (c0 && c1)
            cpu.push_back(double(*c1 - *c0) / double(sysconf(_SC_CLK_TCK)) / t * 100);
    };
    for (int i = 0; i < runs && s.ok; i++) {
        timed(true, w, wcpu);
        timed(false, r, rcpu);
    }
    char what[2][160];
    for (int i = 0; i < 2; i++)
        std::snprintf(what[i], sizeof what[i],
                      "end-to-end %s, %zu KiB requests, link 2 MB/s, real clock (service process at %.0f%% of a core)",
                      i == 0 ? "WRITE" : "READ", size >> 10, median(i == 0 ? wcpu : rcpu));
    return {
        {"5a", what[0], "MB/s", median(w), kLinkRate / 1e6, "link rate", {bound::ratio_at_least, 0.95},
         "the link, when the polling service process has a core to itself"},
        {"5b", what[1], "MB/s", median(r), kLinkRate / 1e6, "link rate", {bound::ratio_at_least, 0.9},
         "the link, when the polling service process has a core to itself"},
    };
}

bool throughput_curve(const context &ctx) {
    auto limited = start_link_daemon(ctx, "2000000", "curve-daemon");
    auto unlimited = start_link_daemon(ctx, "0", "curve-unlimited-daemon");
    session a(limited->port()), b(unlimited->port());
    if (!a.ok || !b.ok) {
        std::fprintf(stderr, "bench: the throughput-curve daemons did not answer INIT\n");
        return false;
    }
    std::ofstream dat(ctx.out + "/throughput.dat");
    dat << "# request_bytes write_MBps read_MBps write_unlimited_MBps read_unlimited_MBps\n";
    const double min_s = ctx.quick ? 0.02 : 0.2;
    const size_t top = ctx.quick ? 64 * 1024 : TC_MAX_PAYLOAD;
    for (size_t size = 1024; size <= top; size = size * 2 > top && size < top ? top : size * 2) {
        dat << size << " " << rate_of(a, true, size, min_s) / 1e6 << " " << rate_of(a, false, size, min_s) / 1e6
            << " " << rate_of(b, true, size, min_s) / 1e6 << " " << rate_of(b, false, size, min_s) / 1e6 << "\n";
    }
    return bool(dat);
}

}  // namespace bench
