// Status waits: exact reads, sleeps and clock queries, and their time bounds in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "port/regs.h"
#include "tests/port/port_fixture.h"

namespace {

using namespace porttest;

class PollStatus : public PortTest {};
class WaitStatus : public PortTest {};
class WaitStatusLong : public PortTest {};

constexpr int64_t kTickBoundary = 1'000'000'000;  // 100000 ticks exactly
constexpr int64_t kFastPollCost = 4 + 2 * 5;       // 4 reads of 1 us, 2 sleeps of 5 us

std::string repeat(const std::string &s, int n) {
    std::string out;
    for (int i = 0; i < n; i++)
        out += s;
    return out;
}

// The log from `from` on, one letter per entry: long waits are compared in this form.
std::string kinds(const fake::fake_io &io, size_t from) {
    std::string out;
    for (size_t i = from; i < io.log.size(); i++)
        out += io.log[i].kind;
    return out;
}

// Where `got` first departs from `want`, or npos. Long logs are checked with this so that a
// failure prints a position and a short excerpt instead of a diff of 80000 lines.
size_t first_difference(const std::string &got, const std::string &want) {
    const size_t n = std::min(got.size(), want.size());
    for (size_t i = 0; i < n; i++)
        if (got[i] != want[i])
            return i;
    return got.size() == want.size() ? std::string::npos : n;
}

#define EXPECT_LOG_KINDS(io, from, want)                                                    \
    do {                                                                                    \
        const std::string got_ = kinds(io, from);                                           \
        const size_t at_ = first_difference(got_, want);                                    \
        EXPECT_EQ(at_, std::string::npos) << "log differs at entry " << (from) + at_        \
                                          << ": got ..." << got_.substr(at_, 12) << "..."; \
    } while (0)

// Index of the first log entry of `kind` at or after `from`, or log.size().
size_t find(const fake::fake_io &io, char kind, size_t from = 0) {
    for (size_t i = from; i < io.log.size(); i++)
        if (io.log[i].kind == kind)
            return i;
    return io.log.size();
}

// ---- lp_wait_event and lp_poll_status ---------------------------------------------------------

TEST_F(PollStatus, WaitEventReturnsOneAndTouchesNothing) {
    EXPECT_EQ(lp_wait_event(port, 1), 1);
    EXPECT_EQ(lp_wait_event(nullptr, 100), 1);
    EXPECT_TRUE(io.log.empty());
}

TEST_F(PollStatus, PollMatchAtFirstReadIsOneReadNoSleepNoClock) {
    io.set(kStatus, 0xC7);
    EXPECT_EQ(lp_poll_status(port, 0xC0, 0xC0, 35000), 0);
    EXPECT_EQ(lp_poll_status(port, 0x00, 0x00, 10), 0);  // mask 0, expect 0: always a match
    EXPECT_EQ(io.str(), "R 379 c7\nR 379 c7\n");
}

TEST_F(PollStatus, PollBelowFiveMicrosecondsReadsTwiceWithoutPause) {
    io.set(kStatus, 0x00);
    for (int usec = 0; usec <= 4; usec++) {
        SCOPED_TRACE(usec);
        io.clear();
        EXPECT_EQ(lp_poll_status(port, 0x40, 0x40, usec), 1);
        EXPECT_EQ(io.str(), "R 379 00\nR 379 00\n");
    }
}

TEST_F(PollStatus, PollSleepsFiveMicrosecondsAfterEveryReadFromTheThird) {
    io.set(kStatus, 0x00);
    EXPECT_EQ(lp_poll_status(port, 0x40, 0x40, 5), 1);
    EXPECT_EQ(io.str(), "R 379 00\nR 379 00\nR 379 00\nS 5\n");
    io.clear();
    EXPECT_EQ(lp_poll_status(port, 0x40, 0x40, 10), 1);
    EXPECT_EQ(io.str(), "R 379 00\nR 379 00\nR 379 00\nS 5\nR 379 00\nS 5\n");
    io.clear();
    EXPECT_EQ(lp_poll_status(port, 0x40, 0x40, 9), 1);  // 9 / 5 truncates to 1
    EXPECT_EQ(io.str(), "R 379 00\nR 379 00\nR 379 00\nS 5\n");
}

TEST_F(PollStatus, PollOf35MillisecondsIs7002ReadsAnd7000Sleeps) {
    io.set(kStatus, 0x00);
    EXPECT_EQ(lp_poll_status(port, 0x40, 0x40, 35000), 1);
    EXPECT_EQ(io.count('R', kStatus), 7002u);
    EXPECT_EQ(io.count('S'), 7000u);
    EXPECT_EQ(io.log.size(), 14002u);
    EXPECT_EQ(io.str().substr(0, 3 * 9 + 4), "R 379 00\nR 379 00\nR 379 00\nS 5\n");
    for (const fake::access &s : io.only('S'))
        EXPECT_EQ(s.n, 5u);
}

TEST_F(PollStatus, PollWithNegativeUsecCountsInSignedArithmetic) {
    // The status matches from the 100th read on, so a count gone unsigned fails instead of
    // polling for ever.
    int reads = 0;
    io.on_read(kStatus, [&] { return uint8_t(++reads >= 100 ? 0x40 : 0x00); });
    EXPECT_EQ(lp_poll_status(port, 0x40, 0x40, -9), 1);  // -9 / 5 + 2 = 1 read
    EXPECT_EQ(io.str(), "R 379 00\n");
    io.clear();
    EXPECT_EQ(lp_poll_status(port, 0x40, 0x40, -10), 1);  // 0 reads
    EXPECT_TRUE(io.log.empty());
}

TEST_F(PollStatus, PollStopsAtTheFirstMatchingRead) {
    io.sequence(kStatus, {0x00, 0xBF, 0x80, 0x40});
    EXPECT_EQ(lp_poll_status(port, 0x40, 0x40, 10), 0);
    EXPECT_EQ(io.str(), "R 379 00\nR 379 bf\nR 379 80\nS 5\nR 379 40\n");
}

TEST_F(PollStatus, ExpectOutsideTheMaskNeverMatches) {
    io.set(kStatus, 0xFF);
    EXPECT_EQ(lp_poll_status(port, 0x40, 0xC0, 10), 1);
    EXPECT_EQ(io.count('R'), 4u);
}

// ---- lp_wait_status ---------------------------------------------------------------------------

TEST_F(WaitStatus, WaitStatusFastMatchMakesNoClockQuery) {
    io.sequence(kStatus, {0x00, 0x00, 0x00, 0x20});
    EXPECT_EQ(lp_wait_status(port, 0x20, 0x20), 0);
    EXPECT_EQ(io.str(), "R 379 00\nR 379 00\nR 379 00\nS 5\nR 379 20\n");
}

// The busy phase: one clock query and one read per round, no sleep, until 4 ticks have passed.
TEST_F(WaitStatus, WaitStatusBusyPhaseLastsThirtyToFortyMilliseconds) {
    io.set(kStatus, 0xFF);
    for (int64_t offset : {int64_t(0), int64_t(1), int64_t(4'321), int64_t(9'999)}) {
        SCOPED_TRACE(offset);
        io.clear();
        io.now_us = kTickBoundary - kFastPollCost + offset;
        EXPECT_EQ(lp_wait_status(port, 0x40, 0xC0), 1);
        // The fast poll, the deadline, rounds of clock + read, the clock that ends it.
        const size_t deadline = 6;
        ASSERT_GT(io.log.size(), deadline + 1);
        EXPECT_EQ(io.str().substr(0, 4 * 9 + 2 * 4), repeat("R 379 ff\n", 3) + "S 5\nR 379 ff\nS 5\n");
        const size_t rounds = (io.log.size() - deadline - 2) / 2;
        EXPECT_LOG_KINDS(io, deadline, "T" + repeat("TR", int(rounds)) + "T");
        EXPECT_EQ(io.count('R', kStatus), 4 + rounds);
        const int64_t elapsed = io.log.back().t_us - io.log[deadline].t_us;
        EXPECT_GT(elapsed, 30'000);
        EXPECT_LE(elapsed, 40'000);
        if (offset == 0) {
            EXPECT_EQ(elapsed, 40'000);  // set on a tick boundary: the full 4 ticks
        }
        if (offset == 9'999) {
            EXPECT_EQ(elapsed, 30'001);  // set at the end of a tick: just over 3
        }
    }
}

TEST_F(WaitStatus, WaitStatusSeesAChangeInTheBusyPhaseAtTheNextRead) {
    const int64_t change = io.now_us + 20'000;
    io.on_read(kStatus, [&] { return uint8_t(io.now_us >= change ? 0x00 : 0x40); });
    EXPECT_EQ(lp_wait_status(port, 0x40, 0x00), 0);
    const fake::access &last = io.log.back();
    EXPECT_EQ(last.kind, 'R');
    EXPECT_EQ(last.value, 0x00);
    EXPECT_LE(last.t_us - change, 1);  // reads come 1 us apart
    EXPECT_EQ(io.count('S'), 2u);      // only the fast poll's
}

TEST_F(WaitStatus, WaitStatusTakesTimeoutAndSpinThroughPhys) {
    // A record whose own device record and spin say "no busy phase, 35 ms poll", but whose
    // phys leads to the opened port: the wait must go by the opened port's values.
    struct port_data other = port_data;
    struct cad_data wrong = {&other, 0};
    other.phys = &port_data;
    other.cad = &wrong;
    other.spin_us = 0;
    port_data.spin_us = 20;  // 6 reads, 4 sleeps
    io.set(kStatus, 0x00);
    io.clock_cost_us = 50'000;  // one clock query is the whole busy phase: a short log
    EXPECT_EQ(lp_wait_status(&other, 0x01, 0x01), 1);
    EXPECT_EQ(io.str(), repeat("R 379 00\n", 3) + "S 5\nR 379 00\nS 5\nR 379 00\nS 5\nR 379 00\nS 5\nT\nT\n");
}

TEST_F(WaitStatus, WaitStatusWithZeroTimeoutPollsLongAndSkipsTheBusyPhase) {
    cad_data.timeout = 0;
    io.set(kStatus, 0x00);
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_wait_status(port, 0x80, 0x80), 1);
    EXPECT_EQ(io.count('R'), 7002u);
    EXPECT_EQ(io.count('S'), 7000u);
    EXPECT_EQ(io.count('T'), 0u);
    EXPECT_GE(io.now_us - start, 35'000);
}

TEST_F(WaitStatus, WaitStatusBusyPhaseFollowsTheWallClock) {
    io.now_us = kTickBoundary - kFastPollCost;
    int reads = 0;
    io.on_read(kStatus, [&] {
        if (++reads == 4 + 100)
            io.now_us += 1'000'000;  // the system time is set forward
        return uint8_t(0);
    });
    EXPECT_EQ(lp_wait_status(port, 0x40, 0x40), 1);
    EXPECT_EQ(reads, 104);  // ends at the clock query after the jump

    io.clear();
    io.now_us = kTickBoundary - kFastPollCost;
    reads = 0;
    io.on_read(kStatus, [&] {
        if (++reads == 4 + 100)
            io.now_us -= 20'000;  // set back: 20 ms more of 1 us rounds
        return uint8_t(0);
    });
    EXPECT_EQ(lp_wait_status(port, 0x40, 0x40), 1);
    EXPECT_EQ(reads, 4 + 40'000 + 20'000);
}

// ---- lp_wait_status_long ----------------------------------------------------------------------

TEST_F(WaitStatusLong, WaitLongEndsOnAMatchBeforeItsSlowPhase) {
    io.on_read(kStatus, [&, n = 0]() mutable { return uint8_t(++n == 1000 ? 0x08 : 0x00); });
    EXPECT_EQ(lp_wait_status_long(port, 0x08, 0x08), 0);
    EXPECT_EQ(io.count('R'), 1000u);
    EXPECT_EQ(io.count('S'), 2u);  // no 10 ms sleep

    io.clear();
    io.set(kStatus, 0x08);
    EXPECT_EQ(lp_wait_status_long(port, 0x08, 0x08), 0);
    EXPECT_EQ(io.str(), "R 379 08\n");
}

// The slow phase: clock, read, 10 ms sleep; the deadline is tested only before a read, so the
// wait ends on a clock query right after its last sleep. The busy phase starts on a tick
// boundary; its last read may push the clock on, so the slow deadline is set either on a tick
// boundary (500 rounds) or late in a tick (499 rounds).
TEST_F(WaitStatusLong, WaitLongSlowPhaseAddsAboutFiveSecondsOfReadsTenMillisecondsApart) {
    for (int64_t late : {int64_t(0), int64_t(9'998)}) {
        SCOPED_TRACE(late);
        io.clear();
        io.now_us = kTickBoundary - kFastPollCost;
        const int64_t start = io.now_us;
        const int64_t last_busy_read = kTickBoundary + 39'999;
        io.on_read(kStatus, [&] {
            if (io.now_us == last_busy_read)
                io.now_us += late;
            return uint8_t(0xFF);
        });
        EXPECT_EQ(lp_wait_status_long(port, 0x40, 0xC0), 1);

        const size_t first_sleep = find(io, 'S', 6);
        ASSERT_LT(first_sleep, io.log.size());
        ASSERT_EQ(io.log[first_sleep].n, 10'000u);
        const size_t deadline = first_sleep - 3;  // T (deadline), T, R, S
        const size_t rounds = (io.log.size() - deadline - 2) / 3;
        EXPECT_LOG_KINDS(io, deadline, "T" + repeat("TRS", int(rounds)) + "T");
        EXPECT_EQ(rounds, late ? 499u : 500u);
        for (size_t i = deadline; i < io.log.size(); i++)
            if (io.log[i].kind == 'S') {
                EXPECT_EQ(io.log[i].n, 10'000u);
            }

        const int64_t slow_time = io.log.back().t_us - io.log[deadline].t_us;
        EXPECT_GT(slow_time, 4'990'000);
        EXPECT_LE(slow_time, 5'010'001);
        const int64_t busy_time = io.log[deadline].t_us - io.log[6].t_us;
        EXPECT_GE(busy_time, 40'000);
        EXPECT_LT(io.now_us - start, 5'060'000);
    }
}

TEST_F(WaitStatusLong, WaitLongSeesAChangeInTheSlowPhaseAtMostTenMillisecondsLate) {
    const int64_t change = io.now_us + 2'345'678;
    io.on_read(kStatus, [&] { return uint8_t(io.now_us >= change ? 0x20 : 0x00); });
    EXPECT_EQ(lp_wait_status_long(port, 0x20, 0x20), 0);
    const fake::access &last = io.log.back();
    EXPECT_EQ(last.kind, 'R');
    EXPECT_EQ(last.value, 0x20);
    EXPECT_GE(last.t_us, change);
    EXPECT_LE(last.t_us - change, 10'000 + 1);
}

TEST_F(WaitStatusLong, WaitLongWithZeroTimeoutStillHasItsSlowPhase) {
    cad_data.timeout = 0;
    io.set(kStatus, 0x00);
    EXPECT_EQ(lp_wait_status_long(port, 0x10, 0x10), 1);
    size_t fast_sleeps = 0, slow_sleeps = 0;
    for (const fake::access &s : io.only('S')) {
        fast_sleeps += s.n == 5;
        slow_sleeps += s.n == 10'000;
    }
    EXPECT_EQ(fast_sleeps, 7000u);
    EXPECT_EQ(fast_sleeps + slow_sleeps, io.count('S'));
    EXPECT_GE(slow_sleeps, 499u);
    EXPECT_LE(slow_sleeps, 500u);
    EXPECT_EQ(io.count('R'), 7002u + slow_sleeps);
}

}  // namespace
