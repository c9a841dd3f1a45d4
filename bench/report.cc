#include "bench/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

// Four significant digits, but whole numbers stay whole: "2345", "15.21", "1.062", "0.0012".
std::string number(double v) {
    if (std::isnan(v))
        return "-";
    char buf[64];
    if (std::fabs(v) >= 1000)
        std::snprintf(buf, sizeof buf, "%.0f", v);
    else
        std::snprintf(buf, sizeof buf, "%.4g", v);
    return buf;
}

// Full precision for the CSV, so the plot and later comparisons lose nothing.
std::string exact(double v) {
    if (std::isnan(v))
        return "";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

double parse_number(const std::string &s) {
    if (s.empty())
        return NAN;
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    return *end == '\0' ? v : NAN;
}

std::string quoted(const std::string &s) {
    if (s.find_first_of(",\"") == std::string::npos)
        return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::vector<std::string> split_csv(const std::string &line) {
    std::vector<std::string> fields(1);
    bool in_quotes = false;
    for (size_t i = 0; i < line.size(); i++) {
        const char c = line[i];
        if (in_quotes) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                i++;
            } else if (c == '"') {
                in_quotes = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            in_quotes = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

const char *bound_name(bound b) {
    switch (b) {
    case bound::value_below: return "value <";
    case bound::value_at_most: return "value <=";
    case bound::value_at_least: return "value >=";
    case bound::ratio_at_most: return "ratio <=";
    case bound::ratio_at_least: return "ratio >=";
    case bound::none: break;
    }
    return "";
}

std::optional<bound> bound_from(const std::string &s) {
    for (bound b : {bound::value_below, bound::value_at_most, bound::value_at_least, bound::ratio_at_most,
                    bound::ratio_at_least})
        if (s == bound_name(b))
            return b;
    return std::nullopt;
}

// The numeric prefix of a figure name, then its letter suffix: "3b" -> (3, "b").
std::pair<long, std::string> figure_key(const std::string &f) {
    size_t i = 0;
    while (i < f.size() && f[i] >= '0' && f[i] <= '9')
        i++;
    return {i ? std::stol(f.substr(0, i)) : 0, f.substr(i)};
}

}  // namespace

double row::ratio() const {
    if (std::isnan(baseline) || baseline == 0)
        return NAN;
    return value / baseline;
}

std::optional<bool> row::met() const {
    const double r = ratio();
    switch (goal.kind) {
    case bound::none: return std::nullopt;
    case bound::value_below: return value < goal.limit;
    case bound::value_at_most: return value <= goal.limit;
    case bound::value_at_least: return value >= goal.limit;
    case bound::ratio_at_most: return !std::isnan(r) && r <= goal.limit;
    case bound::ratio_at_least: return !std::isnan(r) && r >= goal.limit;
    }
    return std::nullopt;
}

double median(std::vector<double> v) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string target_text(const target &t) {
    if (t.kind == bound::none)
        return "-";
    return std::string(bound_name(t.kind)) + " " + number(t.limit);
}

std::string csv_header() { return "figure,what,unit,value,baseline,baseline_what,ratio,target,met,load,limit"; }

std::string csv_line(const row &r) {
    const auto m = r.met();
    return quoted(r.figure) + "," + quoted(r.what) + "," + quoted(r.unit) + "," + exact(r.value) + "," +
           exact(r.baseline) + "," + quoted(r.baseline_what) + "," + exact(r.ratio()) + "," +
           quoted(target_text(r.goal)) + "," + (m ? (*m ? "yes" : "no") : "-") + "," + exact(r.load) + "," +
           quoted(r.limit);
}

bool parse_csv_line(const std::string &line, row &out) {
    const auto f = split_csv(line);
    if ((f.size() != 9 && f.size() != 11) || f[0] == "figure")
        return false;  // 9 fields: a file from before the load and limit columns
    row r;
    r.figure = f[0];
    r.what = f[1];
    r.unit = f[2];
    r.value = parse_number(f[3]);
    r.baseline = parse_number(f[4]);
    r.baseline_what = f[5];
    if (std::isnan(r.value) || r.figure.empty())
        return false;
    if (f[7] != "-") {
        // "ratio >= 0.9": the bound's words, then its limit after the last space.
        const size_t sp = f[7].rfind(' ');
        const auto b = sp == std::string::npos ? std::nullopt : bound_from(f[7].substr(0, sp));
        if (!b)
            return false;
        r.goal = {*b, parse_number(f[7].substr(sp + 1))};
    }
    if (f.size() == 11) {
        r.load = parse_number(f[9]);
        r.limit = f[10];
    }
    out = r;
    return true;
}

std::string table(const std::vector<row> &rows) {
    std::ostringstream o;
    o << "| figure | measured | value | baseline | ratio | target | met? | load | what limits it |\n";
    o << "|---|---|---|---|---|---|---|---|---|\n";
    for (const row &r : rows) {
        const auto m = r.met();
        const std::string base =
            std::isnan(r.baseline) ? "-" : number(r.baseline) + " " + r.unit + " (" + r.baseline_what + ")";
        o << "| " << r.figure << " | " << r.what << " | " << number(r.value) << " " << r.unit << " | " << base
          << " | " << number(r.ratio()) << " | " << target_text(r.goal) << " | "
          << (m ? (*m ? "yes" : "**no**") : "-") << " | " << number(r.load) << " | "
          << (r.limit.empty() ? "-" : r.limit) << " |\n";
    }
    return o.str();
}

void sort_rows(std::vector<row> &rows) {
    std::stable_sort(rows.begin(), rows.end(),
                     [](const row &a, const row &b) { return figure_key(a.figure) < figure_key(b.figure); });
}

std::optional<uint64_t> stat_cpu_ticks(const std::string &text, bool children) {
    // The command name may hold spaces and parentheses: the fields start after the last ')'.
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream in(text.substr(close + 1));
    std::string field;
    uint64_t sum = 0;
    // After the name come state (field 3) ... utime (14), stime (15), cutime (16), cstime (17).
    const int last = children ? 17 : 15;
    for (int i = 3; i <= last; i++) {
        if (!(in >> field))
            return std::nullopt;
        if (i >= 14) {
            char *end = nullptr;
            const unsigned long long v = std::strtoull(field.c_str(), &end, 10);
            if (*end != '\0')
                return std::nullopt;
            sum += v;
        }
    }
    return sum;
}

std::optional<uint64_t> status_vm_hwm_kib(const std::string &text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) != 0)
            continue;
        std::istringstream fields(line.substr(6));
        uint64_t kib = 0;
        std::string unit;
        if (fields >> kib >> unit && unit == "kB")
            return kib;
        return std::nullopt;
    }
    return std::nullopt;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::optional<uint64_t> cpu_ticks(pid_t pid, bool children) {
    return stat_cpu_ticks(read_file("/proc/" + std::to_string(pid) + "/stat"), children);
}

double load_now() {
    double one = NAN;
    std::istringstream(read_file("/proc/loadavg")) >> one;
    return one;
}

std::optional<uint64_t> vm_hwm_kib(pid_t pid) {
    return status_vm_hwm_kib(read_file("/proc/" + std::to_string(pid) + "/status"));
}

}  // namespace bench
