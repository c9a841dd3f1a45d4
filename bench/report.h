// The benchmark table: one row per figure, the baseline it was measured against in the same run,
// their ratio and the target, printed for people and written as CSV for the plot and the README.
//
// Targets are judged here, never asserted: a missed target is a finding to explain, not a
// failure, so `met` is only ever a word in the table.
#pragma once

#include <sys/types.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// What a target bounds, and how.
enum class bound { none, value_below, value_at_most, value_at_least, ratio_at_most, ratio_at_least };

struct target {
    bound kind = bound::none;
    double limit = 0;
};

struct row {
    std::string figure;         // "1", "5a", ...
    std::string what;           // what was measured
    std::string unit;           // of value and baseline
    double value = 0;
    double baseline = 0;        // NaN when a figure has no baseline of its own
    std::string baseline_what;  // what the baseline was
    target goal;
    std::string limit;          // what limits the figure, in one line ("" when not said)
    double load = NAN;          // the machine's 1-minute load average when it was measured

    row() = default;
    row(std::string figure_, std::string what_, std::string unit_, double value_, double baseline_,
        std::string baseline_what_, target goal_ = {}, std::string limit_ = "", double load_ = NAN)
        : figure(std::move(figure_)), what(std::move(what_)), unit(std::move(unit_)), value(value_),
          baseline(baseline_), baseline_what(std::move(baseline_what_)), goal(goal_), limit(std::move(limit_)),
          load(load_) {}

    // value / baseline, or NaN when that means nothing (no baseline, or a zero one).
    double ratio() const;
    // Empty when the row has no target.
    std::optional<bool> met() const;
};

// The median of a sample (the mean of the middle two for an even count); NaN when empty.
double median(std::vector<double> v);

// "ratio <= 1.1", "value < 0.1", or "-".
std::string target_text(const target &t);

// CSV: a header line, then one line per row. Fields holding a comma or a quote are quoted.
std::string csv_header();
std::string csv_line(const row &r);
// Reads back a line written by csv_line; false when it is not one.
bool parse_csv_line(const std::string &line, row &out);

// The table as it is printed and put in the README (a Markdown table).
std::string table(const std::vector<row> &rows);

// Rows sorted by figure ("2" < "3" < "3b" < "10"): the order of the list.
void sort_rows(std::vector<row> &rows);

// The 1-minute load average (/proc/loadavg), NaN when it cannot be read.
double load_now();

// /proc readers. The parsing is separate from the reading so it can be checked on fixed text.
// utime + stime in clock ticks, from the text of /proc/PID/stat; with children, the reaped
// children's cutime + cstime too.
std::optional<uint64_t> stat_cpu_ticks(const std::string &stat_text, bool children = false);
// VmHWM in KiB, from the text of /proc/PID/status.
std::optional<uint64_t> status_vm_hwm_kib(const std::string &status_text);
std::optional<uint64_t> cpu_ticks(pid_t pid, bool children = false);
std::optional<uint64_t> vm_hwm_kib(pid_t pid);
std::string read_file(const std::string &path);

}  // namespace bench
