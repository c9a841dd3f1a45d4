// Figures for people watching a job: sizes, rates and percentages, in words both clients share.
// The arithmetic stays in 64-bit integers or doubles with the ranges checked, so absurd sizes
// (a copies count times a huge file) give a clamped figure, never an overflow or a division by
// zero.
#include <algorithm>
#include <cstdio>

#include "client/client.h"

unsigned tc_percent(uint64_t done, uint64_t total) {
    if (total == 0)
        return 100;
    if (done >= total)
        return 100;
    // A job not yet done never shows 100, however the division rounds.
    return std::min(99u, unsigned(double(done) * 100.0 / double(total)));
}

std::string tc_size_text(uint64_t bytes) {
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double v = double(bytes) / 1024.0;
    size_t u = 0;
    while (v >= 1024.0 && u + 1 < sizeof units / sizeof *units) {
        v /= 1024.0;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", v, units[u]);
    return text;
}

std::string tc_rate_text(uint64_t bytes, int64_t ms) {
    if (ms <= 0)
        return "- /s";
    return tc_size_text(uint64_t(double(bytes) * 1000.0 / double(ms))) + "/s";
}
