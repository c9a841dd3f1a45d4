// The table's arithmetic and its files: a wrong median, a target judged the wrong way round or a
// CSV that does not read back would put false figures in the README.
#include <gtest/gtest.h>

#include <cmath>

#include "bench/report.h"

namespace {

using bench::bound;
using bench::row;

row make(double value, double baseline, bench::target goal) {
    return {"2", "round trip", "us", value, baseline, "ping-pong", goal};
}

TEST(BenchReport, MedianOfOddEvenAndEmptySamples) {
    EXPECT_EQ(bench::median({5, 1, 9}), 5);
    EXPECT_EQ(bench::median({4, 1, 3, 100}), 3.5);  // unsorted input, outlier ignored
    EXPECT_TRUE(std::isnan(bench::median({})));
}

TEST(BenchReport, TargetsAreJudgedOnTheRightSideOfTheirLimit) {
    EXPECT_EQ(make(11, 10, {bound::ratio_at_most, 1.1}).met(), true);  // exactly at the limit
    EXPECT_EQ(make(11.2, 10, {bound::ratio_at_most, 1.1}).met(), false);
    EXPECT_EQ(make(9, 10, {bound::ratio_at_least, 0.9}).met(), true);
    EXPECT_EQ(make(8.9, 10, {bound::ratio_at_least, 0.9}).met(), false);
    EXPECT_EQ(make(0.1, NAN, {bound::value_below, 0.1}).met(), false);  // strictly below
    EXPECT_EQ(make(0.0, NAN, {bound::value_below, 0.1}).met(), true);
    EXPECT_EQ(make(1.07, 1, {bound::value_at_most, 1.07}).met(), true);
    EXPECT_EQ(make(1.0701, 1, {bound::value_at_most, 1.07}).met(), false);
    EXPECT_EQ(make(200, NAN, {bound::value_at_least, 200}).met(), true);
    EXPECT_EQ(make(199.9, NAN, {bound::value_at_least, 200}).met(), false);
    EXPECT_FALSE(make(1, 1, {}).met().has_value());
}

TEST(BenchReport, RatioNeedsANonZeroBaseline) {
    EXPECT_DOUBLE_EQ(make(3, 2, {}).ratio(), 1.5);
    EXPECT_TRUE(std::isnan(make(3, 0, {}).ratio()));
    EXPECT_TRUE(std::isnan(make(3, NAN, {}).ratio()));
    // A ratio target with no usable baseline is missed, never met by accident.
    EXPECT_EQ(make(3, 0, {bound::ratio_at_most, 1.1}).met(), false);
}

TEST(BenchReport, CsvLinesReadBackIncludingQuotedText) {
    const row r{"3b", "WRITEs, \"8 MiB\", rate=0", "MB/s", 1234.5678901, 2000.25, "sink, plain",
                {bound::ratio_at_least, 0.9}, "the simulator, per burst", 3.5};
    const std::string line = bench::csv_line(r);
    EXPECT_EQ(line, "3b,\"WRITEs, \"\"8 MiB\"\", rate=0\",MB/s,1234.56789,2000.25,\"sink, plain\",0.617206794,"
                    "ratio >= 0.9,no,3.5,\"the simulator, per burst\"");
    row back;
    ASSERT_TRUE(bench::parse_csv_line(line, back));
    EXPECT_EQ(back.figure, r.figure);
    EXPECT_EQ(back.what, r.what);
    EXPECT_EQ(back.baseline_what, r.baseline_what);
    EXPECT_DOUBLE_EQ(back.value, 1234.56789);
    EXPECT_EQ(back.baseline, r.baseline);
    EXPECT_EQ(back.goal.kind, bound::ratio_at_least);
    EXPECT_EQ(back.goal.limit, 0.9);
    EXPECT_EQ(back.limit, r.limit);
    EXPECT_EQ(back.load, 3.5);
    // A line of the older nine fields still reads, without them.
    ASSERT_TRUE(bench::parse_csv_line("6b,read,accesses/byte,2,1,one,2,value >= 1.5,yes", back));
    EXPECT_EQ(back.goal.kind, bound::value_at_least);
    EXPECT_TRUE(std::isnan(back.load));
}

TEST(BenchReport, CsvWithoutBaselineOrTargetReadsBack) {
    const row r{"1", "idle", "%", 0, NAN, "", {}};
    row back;
    ASSERT_TRUE(bench::parse_csv_line(bench::csv_line(r), back));
    EXPECT_TRUE(std::isnan(back.baseline));
    EXPECT_EQ(back.goal.kind, bound::none);
}

TEST(BenchReport, CsvRejectsTheHeaderAndBrokenLines) {
    row r;
    EXPECT_FALSE(bench::parse_csv_line(bench::csv_header(), r));
    EXPECT_FALSE(bench::parse_csv_line("1,idle,%,0", r));
    EXPECT_FALSE(bench::parse_csv_line("1,idle,%,zero,,,,-,-", r));
    EXPECT_FALSE(bench::parse_csv_line("1,idle,%,0,,,,faster than light,-", r));
}

TEST(BenchReport, RowsSortByFigureNumberThenLetter) {
    std::vector<row> rows;
    for (const char *f : {"10", "3b", "2", "3", "1"})
        rows.push_back({f, "", "", 0, NAN, "", {}});
    bench::sort_rows(rows);
    std::vector<std::string> order;
    for (const auto &r : rows)
        order.push_back(r.figure);
    EXPECT_EQ(order, (std::vector<std::string>{"1", "2", "3", "3b", "10"}));
}

TEST(BenchReport, TableMarksMissedTargetsAndEmptyBaselines) {
    const std::string t = bench::table({make(12, 10, {bound::ratio_at_most, 1.1}), {"1", "idle", "%", 0, NAN, "", {}}});
    EXPECT_NE(t.find("| 2 | round trip | 12 us | 10 us (ping-pong) | 1.2 | ratio <= 1.1 | **no** |"), std::string::npos)
        << t;
    EXPECT_NE(t.find("| 1 | idle | 0 % | - | - | - | - |"), std::string::npos) << t;
}

TEST(BenchReport, StatTicksSurviveACommandNameWithParenthesesAndSpaces) {
    // Fields after the name: state ppid pgrp session tty tpgid flags minflt cminflt majflt
    // cmajflt utime stime ...
    const std::string stat = "4242 (tes) (sal x) S 1 4242 4242 0 -1 4194560 120 0 0 0 37 5 0 0 20 0 1 0\n";
    EXPECT_EQ(bench::stat_cpu_ticks(stat), 42u);
    EXPECT_EQ(bench::stat_cpu_ticks(stat + "", true), 42u);  // cutime and cstime 0
    EXPECT_EQ(bench::stat_cpu_ticks("1 (t) S 1 1 1 0 -1 0 0 0 0 0 37 5 8 2 20\n", true), 52u);
    EXPECT_FALSE(bench::stat_cpu_ticks("4242 tessal S 1").has_value());
    EXPECT_FALSE(bench::stat_cpu_ticks("4242 (tessal) S 1 4242").has_value());
}

TEST(BenchReport, VmHwmIsFoundInStatus) {
    EXPECT_EQ(bench::status_vm_hwm_kib("Name:\ttessal\nVmPeak:\t  20000 kB\nVmHWM:\t    9216 kB\nVmRSS:\t 100 kB\n"),
              9216u);
    EXPECT_FALSE(bench::status_vm_hwm_kib("Name:\ttessal\nVmRSS:\t 100 kB\n").has_value());
}

TEST(BenchReport, ProcReadersSeeThisProcess) {
    EXPECT_TRUE(bench::cpu_ticks(getpid()).has_value());
    const auto hwm = bench::vm_hwm_kib(getpid());
    ASSERT_TRUE(hwm.has_value());
    EXPECT_GT(*hwm, 0u);
}

}  // namespace
