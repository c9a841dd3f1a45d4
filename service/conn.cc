// A service process's waits on its client, every one of them bounded, and the signals that end a
// service process in order.
//
// Reads and writes are tried first without waiting, so a client that keeps up costs no more
// system calls than a blocking socket would; only when the kernel has nothing (or no room) does
// the process sleep, in ppoll, until the bound of that moment. A write never blocks: a client
// that stops reading its reply (a zero window, which keepalive never notices) is dropped when the
// reply makes no progress, or too little, instead of keeping the port for ever.
//
// A service process that does not hold the port has nothing to finish: SIGTERM and SIGINT end it
// at once, as they always did. Once it holds the port they are caught instead, and stay blocked
// except inside these waits, so a stop request is never lost between a check of the flag and the
// sleep, never interrupts a transfer on the port half-way, and the port is given back in order.
//
// The daemon's stop comes in two steps. First the listener sends SIGUSR1, "the daemon stops:
// finish what you are doing": a process with nothing under way (a framed connection that neither
// holds the port nor waits for it) ends at once, a waiter is answered FAIL busy, a holder goes on
// until its RESET or until it falls silent, and a raw job goes on to its client's end, queued or
// printing. Then, at the stop deadline or a second stop signal, SIGTERM: "end now", as above.
// SIGUSR1 is caught and blocked like the stop signals while there is something to finish, so it
// wakes a wait (which looks at conn_draining() again) and never a transfer on the port.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "service/requests.h"

namespace {

volatile sig_atomic_t stop_flag = 0;
volatile sig_atomic_t drain_flag = 0;
volatile sig_atomic_t drain_ends_process = 0;  // nothing under way: the first stop step ends it
sigset_t wait_mask;  // the mask inside a wait: everything as usual but the stop signals let in
bool stop_signals = false;
bool keep_on_drain = false;  // a raw job: it always has something to finish

void on_stop(int) { stop_flag = 1; }

void on_drain(int) {
    if (drain_ends_process)
        _exit(0);
    drain_flag = 1;
}

// A blocked signal sig that is pending, taken off: true when there was one.
bool take_pending(int sig) {
    sigset_t pending, one;
    if (sigpending(&pending) != 0 || !sigismember(&pending, sig))
        return false;
    sigemptyset(&one);
    sigaddset(&one, sig);
    const timespec now{};
    while (sigtimedwait(&one, nullptr, &now) > 0) {
    }
    return true;
}

int64_t earliest(int64_t a, int64_t b) { return a == 0 ? b : b == 0 ? a : std::min(a, b); }

// Which bound ends a wait that started with the last progress at `last`, and when.
struct bound {
    int64_t at = 0;  // 0: none
    conn_result why = CONN_SLOW;
};

// `done` bytes have moved since the transfer began: each one earns 1/CONN_MIN_RATE s on top of
// the grace, so the floor's bound moves only as bytes come, whatever length was declared.
bound next_bound(const conn_limits *lim, int64_t last, bool reading, size_t done) {
    bound b;
    if (lim == nullptr)
        return b;
    if (lim->stall_ms > 0)
        b.at = last + lim->stall_ms;
    if (lim->floor_from > 0)
        b.at = earliest(b.at, lim->floor_from + io_timeout_ms + int64_t(done) * 1000 / CONN_MIN_RATE);
    if (reading && lim->idle_ms > 0 && (b.at == 0 || last + lim->idle_ms < b.at)) {
        b.at = last + lim->idle_ms;
        b.why = CONN_IDLE;
    }
    if (lim->hold_from > 0 && hold_timeout_ms > 0 && (port_lock_others_wait() || conn_draining())) {
        const int64_t hold_at = lim->hold_from + hold_timeout_ms;
        if (b.at == 0 || hold_at < b.at) {
            b.at = hold_at;
            b.why = CONN_HOLD;
        }
    }
    return b;
}

// Moves n bytes through op (a non-blocking recv or send), waiting for events between tries.
template <typename Op>
conn_result move(int fd, size_t n, const conn_limits *lim, short events, Op op) {
    size_t done = 0;
    int64_t last = conn_now_ms();
    const bool reading = events == POLLIN;
    while (done < n) {
        const ssize_t r = op(done);
        if (r > 0) {
            done += size_t(r);
            last = conn_now_ms();
            continue;
        }
        if (r == 0 && reading)
            return CONN_CLOSED;  // end of stream
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return CONN_CLOSED;
        const bound b = next_bound(lim, last, reading, done);
        if (b.at != 0 && conn_now_ms() >= b.at)
            return b.why;
        // A holder's wait also watches the queue: a newcomer starts the hold bound.
        const bool hold = lim != nullptr && lim->hold_from > 0 && hold_timeout_ms > 0;
        pollfd p[2] = {{fd, events, 0}, {hold ? port_lock_wake_fd() : -1, POLLIN, 0}};
        // A reply is sent even when a stop was asked for meanwhile: the work it reports is done.
        const int w = conn_poll(p, 2, b.at, reading);
        if (w < 0)
            return conn_stopping() ? CONN_STOPPED : CONN_CLOSED;
        if (p[1].revents != 0)
            port_lock_drain();
    }
    return CONN_DONE;
}

}  // namespace

extern "C" {

int64_t conn_now_ms(void) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void conn_stop_signals(int holding) {
    if (!holding && keep_on_drain)
        return;  // a raw job keeps catching both steps until its process ends
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_drain;
    if (holding) {
        drain_ends_process = 0;
        sigaction(SIGUSR1, &sa, nullptr);
        sa.sa_handler = on_stop;  // no SA_RESTART: the wait it lands in returns at once
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
        sigaddset(&stop, SIGUSR1);
        sigprocmask(SIG_BLOCK, &stop, &wait_mask);
        sigdelset(&wait_mask, SIGTERM);
        sigdelset(&wait_mask, SIGINT);
        sigdelset(&wait_mask, SIGUSR1);
    } else {
        // The first stop step that came meanwhile is kept as the flag: the connection ends at the
        // top of its loop, after the reply of the request under way.
        if (take_pending(SIGUSR1))
            drain_flag = 1;
        drain_ends_process = !drain_flag;
        sigaction(SIGUSR1, &sa, nullptr);
        sigaddset(&stop, SIGUSR1);
        // A stop that came while the port was being given back is kept as the flag, so the
        // connection still ends in order rather than the process dying here.
        sigset_t pending;
        if (stop_signals && sigpending(&pending) == 0 && (sigismember(&pending, SIGTERM) || sigismember(&pending, SIGINT))) {
            stop_flag = 1;
            const timespec now{};
            while (sigtimedwait(&stop, nullptr, &now) > 0) {
            }
        }
        if (stop_signals) {  // a process that never held the port still has the defaults
            sa.sa_handler = SIG_DFL;
            sigaction(SIGTERM, &sa, nullptr);
            sigaction(SIGINT, &sa, nullptr);
        }
        sigaddset(&stop, SIGCHLD);  // the listener's: a service process has no children to wait for
        sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    }
    stop_signals = holding != 0;
}

int conn_stopping(void) { return stop_flag; }

int conn_draining(void) { return drain_flag; }

int conn_drain_ends_wait(void) { return drain_flag && !keep_on_drain; }

void conn_keep_on_drain(void) {
    conn_stop_signals(1);
    keep_on_drain = true;
}

int conn_poll(struct pollfd *fds, nfds_t n, int64_t deadline_ms, int stoppable) {
    for (;;) {
        if (stoppable && stop_flag) {
            errno = EINTR;
            return -1;
        }
        timespec t{};
        const timespec *tp = nullptr;
        if (deadline_ms != 0) {
            const int64_t left = std::max<int64_t>(0, deadline_ms - conn_now_ms());
            t.tv_sec = time_t(left / 1000);
            t.tv_nsec = long(left % 1000) * 1000000;
            tp = &t;
        }
        const int drained = drain_flag;
        const int r = ppoll(fds, n, tp, stop_signals && stoppable && !stop_flag ? &wait_mask : nullptr);
        if (r >= 0 || errno != EINTR)
            return r;
        if (drain_flag != drained)
            return 0;  // the daemon stops: the caller looks at its bounds again
    }
}

conn_result conn_read(int fd, void *buf, size_t n, const struct conn_limits *lim) {
    auto *p = static_cast<uint8_t *>(buf);
    return move(fd, n, lim, POLLIN, [&](size_t done) { return recv(fd, p + done, n - done, MSG_DONTWAIT); });
}

conn_result conn_skip(int fd, void *scratch, size_t scratch_len, size_t n, const struct conn_limits *lim) {
    // TCP drops the bytes in the kernel when asked with MSG_TRUNC, without copying them out; other
    // stream sockets (a harness's socket pair) copy them into the scratch area. Either way no
    // more is asked for at once than the scratch area holds, so a smaller one costs calls only.
    int domain = 0;
    socklen_t len = sizeof domain;
    const bool tcp = getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && (domain == AF_INET || domain == AF_INET6);
    return move(fd, n, lim, POLLIN, [&](size_t done) {
        return recv(fd, scratch, std::min(scratch_len, n - done), MSG_DONTWAIT | (tcp ? MSG_TRUNC : 0));
    });
}

conn_result conn_write(int fd, const void *buf, size_t n, const struct conn_limits *lim) {
    const auto *p = static_cast<const uint8_t *>(buf);
    return move(fd, n, lim, POLLOUT,
                [&](size_t done) { return send(fd, p + done, n - done, MSG_DONTWAIT | MSG_NOSIGNAL); });
}

}  // extern "C"
