// tessal_link_bench: the IEEE 1284 link in-process on the simulator, with Google Benchmark.
//
// The link runs as a service process runs it (open and probe the port, negotiate ECP, FIFO
// block transfers) on a simulator with a virtual clock, so the link-time figures come from the
// simulator's clock rather than from this machine's speed, and the access counts are exact.
// Google Benchmark's own timings say what the simulator costs in real time.
//
//   tessal_link_bench [--rows=CSV] [--software-bytes=N] [google benchmark options]
// With --rows, the figures 5c, 5d, 6 and 9 are written there for tessal_bench to merge. Figure 9
// (bench/software_bench.cc) runs on the real clock, N bytes a run (default 20000; 0: skipped).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/report.h"
#include "bench/software_bench.h"
#include "ieee1284/ieee1284.h"
#include "port/io.h"
#include "port/regs.h"
#include "sim/sim.h"

namespace {

constexpr double kLinkRate = 2000000;  // bytes per second, as figure 5 on the real clock
constexpr int64_t kRequest = 8 * 1024 * 1024 - 32;  // the largest payload of one request

std::map<std::string, bench::row> figures;  // filled by the benchmarks, written by main

// An opened, negotiated port on a fresh simulator, as a service process has it after INIT.
class sim_link {
public:
    explicit sim_link(const std::string &config) {
        char err[256] = "";
        sim_ = sim_create(config.c_str(), err, sizeof err);
        if (!sim_) {
            error_ = err;
            return;
        }
        lp_io_use(sim_backend(sim_));
        lp_port_forget();
        lp_fifo_surplus_clear();
        if (lp_io_acquire(0x378) != 0) {
            error_ = "acquire failed";
            return;
        }
        port_ = lp_port_open(0x378);
        lp_negotiate(port_, LP_MODE_ECP);
    }
    ~sim_link() {
        if (sim_) {
            lp_port_forget();
            lp_fifo_surplus_clear();
            sim_destroy(sim_);
        }
    }
    sim_link(const sim_link &) = delete;
    sim_link &operator=(const sim_link &) = delete;

    const std::string &error() const { return error_; }
    struct port_data *port() const { return port_; }
    uint64_t now_us() const { return sim_now_us(sim_); }
    uint64_t accesses() const {
        sim_counters c;
        sim_get_counters(sim_, &c);
        uint64_t n = 0;
        for (int r = 0; r < SIM_NREGS; r++)
            n += c.reads[r] + c.writes[r];  // a string output counts each of its bytes
        return n;
    }

private:
    sim *sim_ = nullptr;
    struct port_data *port_ = nullptr;
    std::string error_;
};

std::string source_file() {
    static std::string path;
    if (path.empty()) {
        char tmpl[] = "/tmp/tessal-bench-source-XXXXXX";
        const int fd = mkstemp(tmpl);
        if (fd >= 0) {
            if (ftruncate(fd, off_t(1) << 30) != 0) {
                // A short source only makes reads fall short; the benchmark reports that.
            }
            close(fd);
            path = tmpl;
        }
    }
    return path;
}

// Link time and accesses of one transfer direction, summed over the timed iterations.
struct tally {
    uint64_t bytes = 0, virtual_us = 0, accesses = 0;
    void report(benchmark::State &state) const {
        const double mbps = virtual_us ? double(bytes) / double(virtual_us) : NAN;  // bytes/us = MB/s
        state.counters["virtual_MBps"] = mbps;
        state.counters["link_fraction"] = mbps * 1e6 / kLinkRate;
        state.counters["accesses_per_byte"] = bytes ? double(accesses) / double(bytes) : NAN;
        state.SetBytesProcessed(int64_t(bytes));
    }
};

void record(const std::string &direction, const tally &t, bool is_write) {
    const double mbps = t.virtual_us ? double(t.bytes) / double(t.virtual_us) : NAN;
    const double per_byte = t.bytes ? double(t.accesses) / double(t.bytes) : NAN;
    bench::row speed{is_write ? "5c" : "5d",
                     "link-layer " + direction + " of 8 MiB, link 2 MB/s, virtual clock (1 us a port access)",
                     "MB/s", mbps, kLinkRate / 1e6, "link rate",
                     {bench::bound::ratio_at_least, is_write ? 0.95 : 0.9},
                     "the port's access time: 17 accesses per 16 bytes at 1 us each, below the link's 8 us"};
    bench::row accesses{is_write ? "6a" : "6b", "port accesses per payload byte, FIFO " + direction + " of 8 MiB",
                        "accesses/byte", per_byte, 1.0, "one access per byte",
                        {bench::bound::value_at_most, is_write ? 1.07 : 1.13},
                        is_write ? "one ECR read per 16-byte string output" : "one ECR read per 16-byte string input"};
    speed.load = accesses.load = bench::load_now();
    figures[speed.figure] = speed;
    figures[accesses.figure] = accesses;
}

void BM_FifoWrite(benchmark::State &state) {
    sim_link l("clock=virtual,rate=2000000,peer=sink,sink=/dev/null");
    if (!l.error().empty()) {
        state.SkipWithError(l.error().c_str());
        return;
    }
    std::vector<uint8_t> data(size_t(state.range(0)), 0x5A);
    tally t;
    for (auto _ : state) {
        const uint64_t t0 = l.now_us(), a0 = l.accesses();
        const uint64_t n = m_mfp_fifo_write_block(l.port(), data.data(), data.size());
        t.virtual_us += l.now_us() - t0;
        t.accesses += l.accesses() - a0;
        t.bytes += n;
        if (n != data.size())
            state.SkipWithError("the write fell short");
    }
    t.report(state);
    if (state.range(0) == kRequest)
        record("write", t, true);
}

void BM_FifoRead(benchmark::State &state) {
    sim_link l("clock=virtual,rate=2000000,peer=source,source=" + source_file());
    if (!l.error().empty()) {
        state.SkipWithError(l.error().c_str());
        return;
    }
    std::vector<uint8_t> data(size_t(state.range(0)));
    tally t;
    for (auto _ : state) {
        // As a READ request does it: the block, then the turn back to forward.
        const uint64_t t0 = l.now_us(), a0 = l.accesses();
        const uint64_t n = lp_fifo_read_block(l.port(), data.data(), data.size());
        lp_fifo_read_finish(l.port());
        t.virtual_us += l.now_us() - t0;
        t.accesses += l.accesses() - a0;
        t.bytes += n;
        if (n != data.size())
            state.SkipWithError("the read fell short");
    }
    t.report(state);
    if (state.range(0) == kRequest)
        record("read", t, false);
}

// READ against WRITE with the port's access time as the only limit: 1 MiB each way, an unlimited
// link, 1 us a port access on the virtual clock (figures 6c and 6d).
void BM_ReadAgainstWrite(benchmark::State &state) {
    constexpr size_t kBytes = 1 << 20;
    std::vector<uint8_t> data(kBytes, 0x5A);
    tally w, r;
    for (auto _ : state) {
        {
            sim_link l("clock=virtual,io_ns=1000,rate=0,peer=sink,sink=/dev/null");
            const uint64_t t0 = l.now_us(), a0 = l.accesses();
            w.bytes += m_mfp_fifo_write_block(l.port(), data.data(), data.size());
            w.virtual_us += l.now_us() - t0;
            w.accesses += l.accesses() - a0;
        }
        {
            sim_link l("clock=virtual,io_ns=1000,rate=0,peer=source,source=" + source_file());
            const uint64_t t0 = l.now_us(), a0 = l.accesses();
            r.bytes += lp_fifo_read_block(l.port(), data.data(), data.size());
            lp_fifo_read_finish(l.port());
            r.virtual_us += l.now_us() - t0;
            r.accesses += l.accesses() - a0;
        }
        if (r.bytes != w.bytes)
            state.SkipWithError("a transfer fell short");
    }
    r.report(state);
    const double rmbps = double(r.bytes) / double(r.virtual_us), wmbps = double(w.bytes) / double(w.virtual_us);
    figures["6c"] = {"6c", "FIFO READ of 1 MiB against a WRITE of 1 MiB, rate=0, virtual clock (1 us a port access)",
                     "MB/s", rmbps, wmbps, "the WRITE", {bench::bound::ratio_at_least, 0.85},
                     "the port's access time alone: 17 accesses per 16 bytes both ways", bench::load_now()};
    figures["6d"] = {"6d", "port accesses per payload byte, FIFO READ of 1 MiB, rate=0 (FIFO 16, threshold 8)",
                     "accesses/byte", double(r.accesses) / double(r.bytes), 1.0, "one access per byte",
                     {bench::bound::value_at_most, 1.13}, "one ECR read per full FIFO taken by string input",
                     bench::load_now()};
}

// Few iterations: each is seconds of virtual link time, and the figures are exact after one.
BENCHMARK(BM_FifoWrite)->Arg(64 * 1024)->Arg(kRequest)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FifoRead)->Arg(64 * 1024)->Arg(kRequest)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAgainstWrite)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    std::string rows_path;
    size_t software_bytes = 20000;
    std::vector<char *> args;
    for (int i = 0; i < argc; i++) {
        if (std::strncmp(argv[i], "--rows=", 7) == 0)
            rows_path = argv[i] + 7;
        else if (std::strncmp(argv[i], "--software-bytes=", 17) == 0)
            software_bytes = size_t(std::strtoull(argv[i] + 17, nullptr, 10));
        else
            args.push_back(argv[i]);
    }
    int n = int(args.size());
    benchmark::Initialize(&n, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (software_bytes > 0) {
        std::fprintf(stderr, "figure 9: software handshake, %zu bytes a run, on the real clock\n", software_bytes);
        for (bench::row r : bench::software_handshake_figures(software_bytes, 3)) {
            r.load = bench::load_now();
            r.limit = r.figure == "9a" ? "two 5 us pauses per byte, kept by watching the clock"
                                       : "the handshake: DATA, CONTROL twice, STATUS twice per byte";
            std::fprintf(stderr, "  %s: %.4g %s (baseline %.4g, ratio %.3g)\n", r.figure.c_str(), r.value, r.unit.c_str(),
                         r.baseline, r.ratio());
            figures[r.figure] = r;
        }
    }
    if (!source_file().empty())
        unlink(source_file().c_str());
    if (!rows_path.empty()) {
        std::ofstream out(rows_path);
        out << bench::csv_header() << "\n";
        for (const auto &[name, r] : figures)
            out << bench::csv_line(r) << "\n";
        if (!out)
            return 1;
    }
    return 0;
}
