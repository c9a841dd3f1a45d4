// tessal_bench: the whole-daemon figures, merged with the in-process link figures into one table
// (stdout), one CSV and the data of the throughput plot.
//
//   tessal_bench --daemon=PATH --out=DIR [--rows=LINK_CSV] [--quick] [--only=FIGURE]
//   tessal_bench --serve=KIND --port=N      (a baseline server; see bench/net.h)
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "bench/figures.h"
#include "bench/net.h"

namespace {

std::string option(int argc, char **argv, const char *name) {
    const size_t n = std::strlen(name);
    for (int i = 1; i < argc; i++)
        if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=')
            return argv[i] + n + 1;
    return "";
}

bool flag(int argc, char **argv, const char *name) {
    for (int i = 1; i < argc; i++)
        if (std::strcmp(argv[i], name) == 0)
            return true;
    return false;
}

// A sparse file the simulated peripheral reads back: zeros cost no disk, and nothing here
// depends on what the bytes are.
std::string make_source(const std::string &dir) {
    const std::string path = dir + "/source.bin";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, off_t(1) << 30) != 0)
        std::fprintf(stderr, "bench: cannot make %s\n", path.c_str());
    if (fd >= 0)
        close(fd);
    return path;
}

void add_rows_from(const std::string &path, std::vector<bench::row> &rows) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "bench: no in-process rows in %s (figures 5c, 5d and 6 are missing)\n", path.c_str());
        return;
    }
    std::string line;
    while (std::getline(in, line)) {
        bench::row r;
        if (bench::parse_csv_line(line, r))
            rows.push_back(r);
    }
}

void progress(const char *what) {
    std::fprintf(stderr, "bench: %s\n", what);
}

}  // namespace

int main(int argc, char **argv) {
    const std::string serve = option(argc, argv, "--serve");
    if (!serve.empty()) {
        bench::serve_baseline(serve, std::atoi(option(argc, argv, "--port").c_str()));
        std::fprintf(stderr, "bench: cannot serve %s\n", serve.c_str());
        return 1;
    }

    bench::context ctx;
    ctx.daemon = option(argc, argv, "--daemon");
    ctx.out = option(argc, argv, "--out");
    ctx.quick = flag(argc, argv, "--quick");
    ctx.runs = ctx.quick ? 1 : 5;
    char self[4096] = "";
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ctx.self = n > 0 ? std::string(self, size_t(n)) : argv[0];
    if (ctx.daemon.empty() || ctx.out.empty() || access(ctx.daemon.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "usage: tessal_bench --daemon=PATH --out=DIR [--rows=CSV] [--quick] [--only=FIGURE]\n");
        return 2;
    }
    ctx.source = make_source(ctx.out);

    // --only=N runs one figure (1, 2, 3, 4, 5, 7, 8, 10, 11, or "plot"), for looking into one of them.
    const std::string only = option(argc, argv, "--only");
    auto want = [&](const char *figure) { return only.empty() || only == figure; };
    std::vector<bench::row> rows;
    // Each row gets the machine's load as it was when its figure was taken.
    auto take = [&rows](std::vector<bench::row> got) {
        const double load = bench::load_now();
        for (auto &r : got) {
            if (std::isnan(r.load))
                r.load = load;
            rows.push_back(r);
        }
    };
    std::unique_ptr<bench::idle_figure> idle;
    if (want("1")) {
        progress("figure 1 runs for 10 s beside the others");
        idle = std::make_unique<bench::idle_figure>(ctx);
    }
    if (want("2")) {
        progress("figure 2: round trip");
        take({bench::round_trip_figure(ctx)});
    }
    if (want("3")) {
        progress("figure 3: 8 MiB WRITEs");
        take(bench::framing_figures(ctx));
    }
    if (want("4")) {
        progress("figure 4: connection rate");
        take(bench::connection_rate_figures(ctx));
    }
    if (want("7")) {
        progress("figure 7: peak memory");
        take({bench::peak_memory_figure(ctx)});
    }
    if (idle)
        take({idle->finish()});
    if (want("5")) {
        progress("figure 5: end to end at 2 MB/s on the real clock");
        take(bench::end_to_end_figures(ctx));
    }
    if (want("8")) {
        progress("figure 8: the raw print port against the framed protocol");
        take(bench::raw_port_figures(ctx));
    }
    if (want("10")) {
        progress("figure 10: memory per idle connection");
        for (auto &r : bench::idle_connection_figures(ctx))
            rows.push_back(r);
    }
    if (want("11")) {
        progress("figure 11: the log under a flood of unknown commands");
        for (auto &r : bench::log_flood_figures(ctx))
            rows.push_back(r);
    }
    if (want("plot")) {
        progress("plot data: throughput against request size");
        if (!bench::throughput_curve(ctx))
            std::fprintf(stderr, "bench: no plot data\n");
    }
    const std::string link_rows = option(argc, argv, "--rows");
    if (!link_rows.empty())
        add_rows_from(link_rows, rows);
    unlink(ctx.source.c_str());

    bench::sort_rows(rows);
    std::ofstream csv(ctx.out + "/results.csv");
    csv << bench::csv_header() << "\n";
    for (const auto &r : rows)
        csv << bench::csv_line(r) << "\n";
    const std::string table = bench::table(rows);
    std::ofstream(ctx.out + "/table.md") << table;
    std::fputs(table.c_str(), stdout);
    return csv ? 0 : 1;
}
