// Figures 10 and 11: what a crowd of idle connections costs the machine, and what a flood of bad
// requests puts in the log, each beside what a plain server would cost or say.
//
// 10: 100 connections that made one request and went quiet. Committed memory is what the kernel
// charges each process (its accountable mappings: what a host with strict overcommit must find
// before it lets the process exist); Pss its share of the memory really in use. The
// baseline is a fork-per-connection server, each child of which answers 32 bytes per 32 read.
// 11: 8 clients, each a series of connections sending 11 unknown commands (every one of them an
// error line to a logger without limits), against the daemon at its default verbosity: the lines
// per second its log received, and how many of them were not one whole line as written.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "bench/figures.h"
#include "bench/net.h"
#include "wire/frame.h"

namespace bench {

namespace {

using clock_type = std::chrono::steady_clock;

// The mappings the kernel charges to the commit ("ac" among their flags).
double committed_kib(pid_t pid) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/smaps"));
    double kib = 0, size = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Size:", 0) == 0)
            size = std::atof(line.c_str() + 5);
        else if (line.rfind("VmFlags:", 0) == 0 && (line + " ").find(" ac ") != std::string::npos)
            kib += size;
    }
    return kib;
}

double pss_kib(pid_t pid) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/smaps_rollup"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Pss:", 0) == 0)
            return std::atof(line.c_str() + 4);
    return NAN;
}

std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> out;
    const std::string task = "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent);
    std::istringstream pids(read_file(task + "/children"));
    for (pid_t p; pids >> p;)
        out.push_back(p);
    return out;
}

struct per_process {
    double committed = NAN, pss = NAN;
};

// Opens n connections, each answered once, and averages the figures of the processes serving them.
per_process idle_connections(int port, pid_t server, int n) {
    std::vector<int> fds;
    uint8_t sink[MSG_HEADER_SIZE];
    for (int i = 0; i < n; i++) {
        const int fd = connect_loopback(port);
        if (fd < 0 || !round_trip(fd, MSG_RESET, 0, nullptr, 0, sink, sizeof sink).ok)
            break;
        fds.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // every one settled in its wait
    per_process r;
    const auto procs = children_of(server);
    if (int(fds.size()) == n && !procs.empty()) {
        r.committed = r.pss = 0;
        for (pid_t p : procs) {
            r.committed += committed_kib(p);
            r.pss += pss_kib(p);
        }
        r.committed /= double(procs.size());
        r.pss /= double(procs.size());
    }
    for (int fd : fds)
        close(fd);
    return r;
}

}  // namespace

std::vector<row> idle_connection_figures(const context &ctx) {
    const int n = ctx.quick ? 10 : 100;
    const int port = free_port();
    server d({ctx.daemon, "-f", "-p", std::to_string(port), "--listen", "127.0.0.1", "--no-dnssd",
              "--max-per-peer", "128", "--sim=clock=virtual,rate=0"},
             port, ctx.out + "/idle-connections-daemon.log");
    const int bport = free_port();
    server b({ctx.self, "--serve=fork", "--port=" + std::to_string(bport)}, bport, ctx.out + "/baseline-fork-idle.log");
    if (!d.ok() || !b.ok())
        std::fprintf(stderr, "bench: starting the idle-connection servers failed\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the readiness probes' processes gone
    const per_process daemon = idle_connections(d.port(), d.pid(), n);
    const per_process base = idle_connections(b.port(), b.pid(), n);
    return {
        {"10a", "committed memory per idle connection (" + std::to_string(n) + " connections)", "KiB", daemon.committed,
         base.committed, "fork-per-connection server", {bound::value_at_most, 1024}},
        {"10b", "Pss per idle connection (" + std::to_string(n) + " connections)", "KiB", daemon.pss, base.pss,
         "fork-per-connection server", {bound::value_at_most, 50}},
    };
}

std::vector<row> log_flood_figures(const context &ctx) {
    const double window = ctx.quick ? 1.0 : 5.0;
    const int port = free_port();
    const std::string log = ctx.out + "/log-flood-daemon.log";
    unlink(log.c_str());
    server d({ctx.daemon, "-f", "-p", std::to_string(port), "--listen", "127.0.0.1", "--no-dnssd",
              "--sim=clock=virtual,rate=0"},
             port, log);
    if (!d.ok())
        std::fprintf(stderr, "bench: starting the log-flood daemon failed\n");
    std::vector<uint8_t> eleven(11 * MSG_HEADER_SIZE);
    for (int i = 0; i < 11; i++)
        make_header(eleven.data() + i * MSG_HEADER_SIZE, 0x09, 0, 0);
    std::atomic<long> connections{0};
    const auto t0 = clock_type::now();
    const auto until = t0 + std::chrono::duration<double>(window);
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; c++)
        clients.emplace_back([&] {
            uint8_t reply[MSG_HEADER_SIZE];
            while (clock_type::now() < until) {
                const int fd = connect_loopback(d.port());
                if (fd < 0)
                    continue;
                bool ok = send_all(fd, eleven.data(), eleven.size());
                for (int i = 0; i < 11 && ok; i++)
                    ok = recv_all(fd, reply, sizeof reply);
                close(fd);
                connections += ok;
            }
        });
    for (auto &c : clients)
        c.join();
    const double seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last service processes' lines
    std::istringstream in(read_file(log));
    const std::regex whole("ERROR: (Unknown command 0x09|[0-9]+ more unknown commands on this connection)"
                           "( \\([0-9]+ similar lines suppressed\\))?");
    double lines = 0, garbled = 0;
    for (std::string l; std::getline(in, l); lines++)
        garbled += !std::regex_match(l, whole);
    // Unlimited, each connection would say 10 lines and its count of the rest (the old per-connection cap).
    const double asked = double(connections) * 11 / seconds;
    return {
        {"11a", "log lines/s under a flood of unknown commands (8 clients)", "lines/s", lines / seconds, asked,
         "error lines the flood asked for", {bound::value_at_most, 100}},
        {"11b", "garbled log lines under that flood", "lines", garbled, NAN, "", {bound::value_at_most, 0}},
    };
}

}  // namespace bench
