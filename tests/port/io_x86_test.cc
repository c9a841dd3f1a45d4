// The real-hardware backend, as far as it can be tried without hardware: acquiring must fail
// cleanly where iopl is unavailable. No test here ever performs a port access.
#include <gtest/gtest.h>

#include <sys/time.h>
#include <time.h>

#include "port/io.h"

namespace {

TEST(IoX86, IsTheDefaultBackend) {
    EXPECT_EQ(lp_io_current(), &lp_io_x86);
    lp_io_use(nullptr);  // "no backend" means the default, never a null call later
    EXPECT_EQ(lp_io_current(), &lp_io_x86);
}

TEST(IoX86, AcquireWithoutIoplReturnsAnErrno) {
    const int rc = lp_io_x86.acquire(lp_io_x86.ctx, 0x378);
    if (rc == 0)
        GTEST_SKIP() << "iopl works here: real ports are reachable, so nothing more is tried";
    EXPECT_GT(rc, 0);  // an errno, e.g. ENOSYS or EPERM; the caller reports it and stops
}

// Waits must not follow a change of the system time: the backend's clock is CLOCK_MONOTONIC, which
// nothing can set. Where the wall clock is far from it (everywhere but a machine that believes it
// is 1970), a backend that read the wall clock again would land outside these bounds.
TEST(IoX86, ClockIsMonotonicNotTheWallClock) {
    auto mono_us = [] {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return int64_t(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
    };
    const int64_t before = mono_us();
    timeval got{};
    lp_io_x86.gettime(lp_io_x86.ctx, &got);
    const int64_t after = mono_us();
    const int64_t us = int64_t(got.tv_sec) * 1'000'000 + got.tv_usec;
    EXPECT_GE(us, before - 1);  // the backend truncates to whole microseconds
    EXPECT_LE(us, after);
}

}  // namespace
