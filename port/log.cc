// Console lines. Each line is formatted whole first and leaves the process in one write, so lines
// from the listener and every service process, all writing to the same standard error, never
// interleave inside a line.
//
// Error lines are rate limited daemon-wide: any client can make the daemon say something
// ("Unknown command"), and a flood of one kind must neither fill the journal nor push other
// lines out of the journal's own rate limit. Each kind of line (its format) may burst kKindBurst
// lines and then one a second; all error lines together kAllBurst, then kAllPerSecond a second.
// The first line of a kind let through after a suppression says how many were dropped. The
// buckets live in memory shared by the listener and its children (log_share_setup); each is one
// "theoretical arrival time" changed by compare-and-swap, so a process killed anywhere can never
// leave a lock behind.
#include "port/log.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

namespace {

constexpr size_t kLineMax = 1024;  // longer lines are cut, their newline kept
constexpr int kKinds = 32;
constexpr int64_t kSecondNs = 1000000000;
constexpr int64_t kKindBurst = 10, kKindPerSecond = 1;
constexpr int64_t kAllBurst = 60, kAllPerSecond = 20;

struct kind {
    std::atomic<uintptr_t> key;     // the line's format string; 0: a free slot
    std::atomic<int64_t> tat;       // when the bucket is full again (ns)
    std::atomic<uint64_t> dropped;  // lines suppressed since the last one shown
};

struct limiter {
    std::atomic<int64_t> tat;
    kind kinds[kKinds];
};

limiter own{};  // a process on its own (tests, --probe, --status) limits only itself
limiter *lim = &own;

// Real time, not the port's clock: the journal's limits run on the wall clock, whatever
// simulated time the port sees.
int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * kSecondNs + t.tv_nsec;
}

// One more line from a bucket of `burst` lines refilled `per_second`: whether it may go.
bool take(std::atomic<int64_t> &tat, int64_t now, int64_t burst, int64_t per_second) {
    const int64_t step = kSecondNs / per_second;
    int64_t t = tat.load(std::memory_order_relaxed);
    for (;;) {
        const int64_t from = std::max(t, now);
        if (from - now > (burst - 1) * step)
            return false;
        if (tat.compare_exchange_weak(t, from + step, std::memory_order_relaxed))
            return true;
    }
}

kind &kind_of(const char *fmt) {
    const auto key = reinterpret_cast<uintptr_t>(fmt);
    const size_t home = (key >> 3) % kKinds;
    for (size_t i = 0; i < kKinds; i++) {
        kind &k = lim->kinds[(home + i) % kKinds];
        uintptr_t have = k.key.load(std::memory_order_relaxed);
        if (have == key || (have == 0 && (k.key.compare_exchange_strong(have, key) || have == key)))
            return k;
    }
    return lim->kinds[home];  // every slot taken: share the home slot's bucket
}

// The one place a finished line leaves the process: to the sink when one is set (a detached
// daemon's syslog), else to standard output or error.
void emit(int fd, const char *line, size_t len) {
    if (log_sink != nullptr) {
        log_sink(fd == STDERR_FILENO, line, len);
        return;
    }
    while (len > 0) {
        const ssize_t n = write(fd, line, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        line += n;
        len -= size_t(n);
    }
}

// Appends to a line under construction, keeping room for the newline.
struct line {
    char text[kLineMax];
    size_t len = 0;
    void vadd(const char *fmt, va_list ap) {
        if (len + 1 >= sizeof text)
            return;
        const int n = std::vsnprintf(text + len, sizeof text - 1 - len, fmt, ap);
        if (n > 0)
            len = std::min(len + size_t(n), sizeof text - 2);
    }
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        va_list ap;
        va_start(ap, fmt);
        vadd(fmt, ap);
        va_end(ap);
    }
};

void error_line(const char *fmt, va_list ap, const int *err) {
    kind &k = kind_of(fmt);
    const int64_t now = now_ns();
    if (!take(k.tat, now, kKindBurst, kKindPerSecond) || !take(lim->tat, now, kAllBurst, kAllPerSecond)) {
        k.dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    line l;
    l.add("ERROR: ");
    l.vadd(fmt, ap);
    if (err != nullptr)
        l.add(", %s", std::strerror(*err));
    if (const uint64_t dropped = k.dropped.exchange(0, std::memory_order_relaxed))
        l.add(" (%llu similar lines suppressed)", static_cast<unsigned long long>(dropped));
    l.text[l.len++] = '\n';
    emit(STDERR_FILENO, l.text, l.len);
}

}  // namespace

extern "C" {

int verbose = 0;
void (*log_sink)(int error, const char *line, size_t len) = nullptr;

int log_share_setup(void) {
    void *p = mmap(nullptr, sizeof(limiter), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        log_error_errno("log rate limit: mmap failed");
        return -1;
    }
    lim = new (p) limiter{};
    return 0;
}

void log_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    error_line(fmt, ap, nullptr);
    va_end(ap);
}

void log_error_errno(const char *fmt, ...) {
    const int saved = errno;  // formatting may change it
    va_list ap;
    va_start(ap, fmt);
    error_line(fmt, ap, &saved);
    va_end(ap);
}

void log_trace(int level, const char *fmt, ...) {
    if (verbose <= level)
        return;
    line l;
    va_list ap;
    va_start(ap, fmt);
    l.vadd(fmt, ap);
    va_end(ap);
    if (l.len == sizeof l.text - 2 && l.text[l.len - 1] != '\n')
        l.text[l.len++] = '\n';  // a line cut short still ends
    std::fflush(stdout);  // what was printed before through stdio goes first
    emit(STDOUT_FILENO, l.text, l.len);
}

}  // extern "C"
