// Figure 8: the raw print port against the framed protocol, the same job through each in the same
// run, on the simulator at rate=0 and at the 2 MB/s link; the time from connect to the first byte
// on the wire; and what watching nPeriphRequest costs a forward job.
//
// The daemon here is the daemon's own listener code, run in a child of this process on a simulated
// device created before the fork: the device's counters are in shared memory, so the bench sees
// the bytes the peripheral took (bytes_to_peer) and the STATUS reads as they happen, which no
// outside view of the daemon could show. Timing ends when the peripheral has taken the whole job.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "bench/figures.h"
#include "bench/net.h"
#include "client/client.h"
#include "port/io.h"
#include "port/log.h"
#include "service/daemon.h"
#include "service/requests.h"
#include "sim/sim.h"

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// The listener and its service processes on a simulated device, in a child process.
struct inprocess_daemon {
    sim *device = nullptr;
    pid_t pid = -1;
    int port = 0, raw = 0;

    explicit inprocess_daemon(const std::string &rate, const std::string &sink = "/dev/null") {
        char err[256] = "";
        device = sim_create(("clock=real,peer=sink,sink=" + sink + ",rate=" + rate).c_str(), err, sizeof err);
        if (device == nullptr) {
            std::fprintf(stderr, "bench: %s\n", err);
            return;
        }
        port = free_port();
        raw = free_port();
        pid = fork();
        if (pid == 0) {
            listener_signals();
            lp_io_use(sim_backend(device));
            raw_listen_sock = listen_socket(0x7F000001, raw, "--raw-port");  // first: the request port's answer means both
            const int sock = listen_socket(0x7F000001, port, "-p");
            if (sock < 0 || raw_listen_sock < 0 || port_lock_setup(1) != 0 || dpa_surplus_setup() != 0)
                _exit(2);
            _exit(listener_run(sock));
        }
        for (int i = 0; i < 500 && !up(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~inprocess_daemon() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        sim_destroy(device);
    }
    bool up() const {
        const int a = connect_loopback(port);
        if (a >= 0)
            close(a);
        return a >= 0;
    }
    sim_counters counters() const {
        sim_counters c;
        sim_get_counters(device, &c);
        return c;
    }
};

struct job_figures {
    double seconds = NAN;          // connect to the peripheral's last byte
    double first_ms = NAN;         // connect to its first byte
    double status_reads = NAN;     // STATUS reads per MiB of the job
};

// Looks at the device every 50 us until the peripheral has taken `until` more bytes than at
// `base`; the time of its first byte goes to first_ms. It sleeps between looks and reads the
// count without the device's lock, so it takes nothing from the service process it watches.
bool watch(const inprocess_daemon &d, uint64_t base, uint64_t until, clock_type::time_point t0, job_figures &f) {
    const auto deadline = t0 + std::chrono::seconds(120);
    while (clock_type::now() < deadline) {
        const uint64_t got = sim_bytes_to_peer(d.device) - base;
        if (got > 0 && std::isnan(f.first_ms))
            f.first_ms = seconds_since(t0) * 1000;
        if (got >= until) {
            f.seconds = seconds_since(t0);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return false;
}

job_figures raw_job(const inprocess_daemon &d, const std::vector<uint8_t> &job) {
    job_figures f;
    const sim_counters c0 = d.counters();
    const auto t0 = clock_type::now();
    const int fd = connect_loopback(d.raw);
    std::thread sender([&] {
        send_all(fd, job.data(), job.size());
        shutdown(fd, SHUT_WR);
    });
    watch(d, c0.bytes_to_peer, job.size(), t0, f);
    sender.join();
    const sim_counters c1 = d.counters();
    f.status_reads = double(c1.reads[SIM_REG_STATUS] - c0.reads[SIM_REG_STATUS]) / (double(job.size()) / (1 << 20));
    char b;
    recv(fd, &b, 1, 0);  // the daemon's close: the port is free again
    close(fd);
    return f;
}

job_figures framed_job(const inprocess_daemon &d, const std::vector<uint8_t> &job) {
    job_figures f;
    const sim_counters c0 = d.counters();
    const auto t0 = clock_type::now();
    std::thread sender([&] {
        tc_client c;
        if (tc_connect(c, "127.0.0.1", uint16_t(d.port)).error != tc_errc::none || !tc_init(c).ok())
            return;
        for (size_t at = 0; at < job.size(); at += TC_WRITE_CHUNK)
            tc_write(c, std::span<const uint8_t>(job).subspan(at, std::min<size_t>(TC_WRITE_CHUNK, job.size() - at)));
        tc_reset(c);
    });
    watch(d, c0.bytes_to_peer, job.size(), t0, f);
    const sim_counters c1 = d.counters();
    f.status_reads = double(c1.reads[SIM_REG_STATUS] - c0.reads[SIM_REG_STATUS]) / (double(job.size()) / (1 << 20));
    sender.join();
    return f;
}

// Raw jobs of 4 KiB one after the other, each as CUPS's socket backend sends one: connect, the
// job, a half-close, then wait for the daemon's close. Jobs per second; whole is false unless
// the sink holds every job, in order, byte for byte.
double back_to_back_jobs(const context &ctx, int n, bool &whole) {
    const std::string sink = ctx.out + "/raw-jobs.prn";
    unlink(sink.c_str());
    std::string want;
    double per_s = NAN;
    {
        inprocess_daemon d("1000000", sink);
        if (!d.up())
            return NAN;
        const auto t0 = clock_type::now();
        for (int i = 0; i < n; i++) {
            std::string job(4096, char('A' + i % 26));
            job.replace(0, 8, "job " + std::to_string(1000 + i));
            want += job;
            const int fd = connect_loopback(d.raw);
            if (fd < 0 || !send_all(fd, job.data(), job.size()))
                break;
            shutdown(fd, SHUT_WR);
            char b[256];
            while (recv(fd, b, sizeof b, 0) > 0) {
            }
            close(fd);
        }
        per_s = n / seconds_since(t0);
    }  // the device is gone: the sink is written out
    whole = read_file(sink) == want;
    unlink(sink.c_str());
    return per_s;
}

}  // namespace

std::vector<row> raw_port_figures(const context &ctx) {
    verbose = 0;
    lp_io_fine_timers();  // the watcher's 50 us sleeps last about that
    const int runs = ctx.quick ? 1 : 3;
    struct link {
        const char *rate;
        size_t bytes;
        const char *name;
    };
    const link links[] = {{"0", ctx.quick ? (1u << 20) : (32u << 20), "rate=0"},
                          {"2000000", ctx.quick ? (64u << 10) : (6u << 20), "link 2 MB/s"}};
    std::vector<row> rows;
    std::vector<double> raw_first, framed_first, raw_status, framed_status;
    for (const link &l : links) {
        inprocess_daemon d(l.rate);
        if (!d.up()) {
            std::fprintf(stderr, "bench: the raw-port daemon did not start\n");
            return rows;
        }
        const std::vector<uint8_t> job(l.bytes, 0x5A);
        std::vector<double> raw_rate, framed_rate;
        for (int i = 0; i < runs; i++) {  // interleaved, so a noisy neighbour hits both
            const job_figures r = raw_job(d, job), f = framed_job(d, job);
            raw_rate.push_back(double(l.bytes) / r.seconds / 1e6);
            framed_rate.push_back(double(l.bytes) / f.seconds / 1e6);
            if (l.rate[0] == '0')
                continue;  // the latency and the watching are taken at the printer's pace
            raw_first.push_back(r.first_ms);
            framed_first.push_back(f.first_ms);
            raw_status.push_back(r.status_reads);
            framed_status.push_back(f.status_reads);
        }
        char what[160];
        std::snprintf(what, sizeof what, "raw-port job of %zu MiB, %s, connect to last byte taken", l.bytes >> 20, l.name);
        rows.push_back({rows.empty() ? "8a" : "8b", what, "MB/s", median(raw_rate), median(framed_rate),
                        "the same job through the framed protocol", {bound::ratio_at_least, 0.95},
                        l.rate[0] == '0' ? "the simulated port, per 16-byte burst" : "the link"});
    }
    rows.push_back({"8c", "raw port: connect to the first byte on the wire (2 MB/s link)", "ms", median(raw_first),
                    median(framed_first), "framed: connect, INIT, first WRITE", {},
                    "fork of the service process, the ECP negotiation, the port's open and probe"});
    rows.push_back({"8d", "STATUS reads per MiB of a raw job (watching nPeriphRequest)", "reads/MiB",
                    median(raw_status), median(framed_status), "the same job through the framed protocol", {},
                    "the negotiation's reads: a streaming job never looks"});
    const int jobs = ctx.quick ? 20 : 200;
    bool whole = false;
    const double per_s = back_to_back_jobs(ctx, jobs, whole);
    char what[160];
    std::snprintf(what, sizeof what, "%d raw jobs of 4 KiB back to back, link 1 MB/s (the default), %s", jobs,
                  whole ? "every job whole in the sink" : "NOT every job whole in the sink");
    rows.push_back({"8e", what, "jobs/s", whole ? per_s : NAN, 1000000.0 / 4096, "the link's own limit",
                    {bound::value_at_least, 100},
                    "per job: a fork, a negotiation, 4 ms of link, a termination"});
    return rows;
}

}  // namespace bench
