// The real-hardware backend, as far as it can be tried without hardware: acquiring must fail
// cleanly where iopl is unavailable. No test here ever performs a port access.
#include <gtest/gtest.h>

#include <sys/time.h>

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

TEST(IoX86, ClockIsTheSystemWallClock) {
    timeval before{}, got{}, after{};
    gettimeofday(&before, nullptr);
    lp_io_x86.gettime(lp_io_x86.ctx, &got);
    gettimeofday(&after, nullptr);
    auto us = [](const timeval &t) { return int64_t(t.tv_sec) * 1'000'000 + t.tv_usec; };
    EXPECT_GE(us(got), us(before));
    EXPECT_LE(us(got), us(after));
}

}  // namespace
