// The whole-process figures: the daemon started as users start it, each figure measured side by
// side with a baseline server in the same run, runs interleaved so a noisy neighbour hits both,
// and the median of the runs kept.
#pragma once

#include <string>
#include <vector>

#include "bench/report.h"

namespace bench {

struct context {
    std::string daemon;  // the tessal binary
    std::string self;    // this program, which also serves the baselines (--serve=KIND)
    std::string out;     // bench/out: logs, the plot data
    std::string source;  // a large file the simulated peripheral sends back for READs
    int runs = 5;        // runs per figure; the median is reported
    bool quick = false;  // fewer and smaller runs: a smoke test of the driver itself
};

// The simulated link rate of figure 5, in bytes per second.
constexpr double kLinkRate = 2000000;

// Figure 1 takes 10 s of wall time doing nothing, so it runs beside the others: start() before
// them, finish() after (it waits out whatever is left of the 10 s).
class idle_figure {
public:
    explicit idle_figure(const context &ctx);
    ~idle_figure();
    row finish();

private:
    struct state;
    state *s_;
};

row round_trip_figure(const context &ctx);         // 2
std::vector<row> framing_figures(const context &ctx);  // 3 and 3b
std::vector<row> connection_rate_figures(const context &ctx);  // 4, 4b
std::vector<row> end_to_end_figures(const context &ctx);  // 5a, 5b (real clock)
row peak_memory_figure(const context &ctx);        // 7
std::vector<row> raw_port_figures(const context &ctx);  // 8a-8d
std::vector<row> idle_connection_figures(const context &ctx);  // 10a, 10b: memory per idle connection
std::vector<row> log_flood_figures(const context &ctx);  // 11a, 11b: the log under a flood
// Throughput against request size, written to ctx.out/throughput.dat for the plot.
bool throughput_curve(const context &ctx);

}  // namespace bench
