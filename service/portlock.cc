// Port arbitration between service processes, and between daemons on one machine: first come,
// first served.
//
// An INIT takes a ticket in the shared queue (service/portshare.h) and waits until it is the
// oldest live waiter and nobody holds the port; then it takes the exclusive flock(2) on the lock
// file, which is what really keeps everyone else out (and what the kernel drops when its holder
// dies, SIGKILL included). flock belongs to an open file description, so every service process
// opens the file itself rather than using the listener's descriptor.
//
// Waiting costs no polling. A small thread sleeps on the queue's futex word and signals an
// eventfd whenever the queue changes; the waiter sleeps in ppoll on that eventfd, on its client's
// socket (a client that leaves stops waiting), and on pidfds of the holder and of the waiter
// ahead, whose deaths change nothing in the queue but still have to wake it. A wait is bounded by
// --wait-timeout and then answered FAIL, printer busy, so a client facing a silent holder hears
// something and can say so.
//
// Rejected: the waiting thread taking the flock itself (a wait given up would have to cancel a
// blocked flock, and a holder found by it would not be the oldest waiter), and signals between
// service processes (root before acquiring the port, --user after: they may not signal each other).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "port/log.h"
#include "service/daemon.h"
#include "wire/frame.h"
#include "service/portshare.h"
#include "service/requests.h"

namespace {

// Only with a daemon that keeps no queue (an older tessal) holding the flock, or where pidfds
// are not available, does a waiter look again this often instead of sleeping until told.
constexpr int64_t kRetryMs = 200;

bool held = false;
int entry = -1;      // this process's entry in the queue
int wake_fd = -1;    // eventfd the watcher thread signals on every change of the queue
int client = -1;
char peer[PS_PEER_LEN] = "local";

int64_t job_start = 0;
uint64_t job_to = 0, job_from = 0;

void *watch(void *arg) {
    uint32_t seen = uint32_t(reinterpret_cast<uintptr_t>(arg));
    for (;;) {
        portshare_sleep(seen);
        const uint32_t now = portshare_seq();
        if (now != seen) {
            seen = now;
            const uint64_t one = 1;
            if (write(wake_fd, &one, sizeof one) < 0) {
                // The counter is full: the main thread has a wake-up pending anyway.
            }
        }
    }
    return nullptr;
}

// The watcher starts with the sequence number read before the caller first looks at the queue,
// so no change after that look can pass unnoticed.
bool start_watcher() {
    if (wake_fd >= 0)
        return true;
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd < 0) {
        log_error_errno("port queue: eventfd failed");
        return false;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);  // the thread takes no signal: they are the main thread's
    pthread_t t;
    const int err = pthread_create(&t, &attr, watch, reinterpret_cast<void *>(uintptr_t(portshare_seq())));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        errno = err;
        log_error_errno("port queue: thread failed");
        close(wake_fd);
        wake_fd = -1;
        return false;
    }
    return true;
}

// A pidfd kept for as long as the same process is watched.
struct watched {
    pid_t pid = 0;
    int fd = -1;
    int index = -1;
};

void watch_pid(watched &w, int index) {
    const pid_t pid = index >= 0 ? portshare_region()->entries[index].pid : 0;
    if (pid == w.pid && index == w.index)
        return;
    if (w.fd >= 0)
        close(w.fd);
    w = {pid, -1, index};
    if (pid > 0)
        w.fd = int(syscall(SYS_pidfd_open, pid, 0));
}

void unwatch(watched &w) {
    if (w.fd >= 0)
        close(w.fd);
    w = {};
}

// The pidfd was opened after the entry was seen alive; if the entry has died since, the pid may
// already belong to someone else, so look again at once instead of trusting it.
bool still_alive(const watched &w) { return w.index < 0 || portshare_alive(w.index); }

void leave_queue() {
    portshare_lock();
    portshare_free(entry);
    portshare_bump();
    portshare_unlock();
    entry = -1;
}

// The client is gone when the connection is closed or reset. A half-close is not gone: requests
// that came before it are still to be carried out, and their replies still to be sent. But a
// client that half-closed with nothing after its INIT has nothing left to do with the port.
bool client_gone(const pollfd &p) {
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
        return true;
    int pending = 0;
    return ioctl(p.fd, FIONREAD, &pending) == 0 && pending == 0;
}

// Under the mutex: take the port if it is this process's turn. The flock cannot be refused then,
// except by a daemon that keeps no queue.
bool try_take(bool &outsider) {
    outsider = false;
    if (portshare_holder() >= 0 || portshare_head() != entry)
        return false;
    if (flock(portshare_fd(), LOCK_EX | LOCK_NB) != 0) {
        outsider = true;
        return false;
    }
    ps_region *r = portshare_region();
    ps_entry &e = r->entries[entry];
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    e.since_ms = int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;  // the view shows since when it holds
    e.state = PS_HOLDING;
    r->now_serving = e.ticket;
    return true;
}

// The job's byte counts, where `tessal --status` reads them.
void publish() {
    if (!held || entry < 0)
        return;
    ps_entry &e = portshare_region()->entries[entry];
    __atomic_store_n(&e.bytes_to_device, job_to, __ATOMIC_RELAXED);
    __atomic_store_n(&e.bytes_from_device, job_from, __ATOMIC_RELAXED);
}

}  // namespace

extern "C" {

int64_t wait_timeout_ms = 8000;

int port_lock_setup(int simulated) { return portshare_setup(simulated); }

void port_lock_set_client(int fd) { client = fd; }

int port_lock_take(int client_fd) {
    if (held)
        return 0;
    ps_region *r = portshare_region();
    if (r == nullptr)
        return 0;  // no arbitration set up (an in-process harness): the caller owns the port
    if (portshare_fd() < 0 || !start_watcher())
        return MSG_FAIL_PORT_ACCESS;  // without its lock the port must not be touched
    if (client_fd >= 0)
        client = client_fd;
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (getpeername(client, reinterpret_cast<sockaddr *>(&sa), &len) == 0 && sa.ss_family != AF_UNIX)
        access_describe(reinterpret_cast<sockaddr *>(&sa), peer, sizeof peer);  // for the queue's view
    portshare_lock();
    entry = portshare_claim(PS_WAITING, peer);
    if (entry >= 0)
        portshare_bump();  // a holder idling while others wait needs to know
    portshare_unlock();
    if (entry < 0) {
        log_trace(2, "Port busy: %s (pid %d) found the queue full, answered FAIL\n", peer, int(getpid()));
        return MSG_FAIL_BUSY;
    }
    // A service process: from now on a stop ends the wait with FAIL busy. (--probe, with no client,
    // is ended by a stop as any command is, until it holds the port.)
    if (client >= 0)
        conn_stop_signals(1);
    const int64_t start = conn_now_ms();
    const int64_t deadline = start + wait_timeout_ms;
    watched holder_w, head_w;
    bool watch_client = client >= 0;
    int result = -1;
    while (result < 0) {
        port_lock_drain();
        bool outsider = false;
        portshare_lock();
        if (try_take(outsider)) {
            conn_stop_signals(1);  // from now on a stop gives the port back in order
            portshare_bump();
            portshare_unlock();
            held = true;
            result = 0;
            break;
        }
        const int head = portshare_head();
        watch_pid(holder_w, portshare_holder());
        watch_pid(head_w, head == entry ? -1 : head);
        portshare_unlock();
        if (conn_now_ms() >= deadline) {
            result = MSG_FAIL_BUSY;
            log_trace(2, "Port busy: %s (pid %d) waited %lld ms, answered FAIL\n", peer, int(getpid()),
                      static_cast<long long>(conn_now_ms() - start));
            break;
        }
        if (conn_drain_ends_wait()) {
            result = MSG_FAIL_BUSY;
            log_trace(2, "Port busy: %s (pid %d): the daemon stops, answered FAIL\n", peer, int(getpid()));
            break;
        }
        if (!still_alive(holder_w) || !still_alive(head_w))
            continue;
        pollfd p[4] = {{wake_fd, POLLIN, 0}, {holder_w.fd, POLLIN, 0}, {head_w.fd, POLLIN, 0},
                       {watch_client ? client : -1, POLLRDHUP, 0}};
        int64_t until = deadline;
        if (outsider || (holder_w.pid > 0 && holder_w.fd < 0) || (head_w.pid > 0 && head_w.fd < 0))
            until = std::min(until, conn_now_ms() + kRetryMs);
        const int n = conn_poll(p, 4, until, 1);
        // A client that left, or a daemon that stops, ends the wait as if it had timed out.
        if (n < 0 || (p[3].revents != 0 && client_gone(p[3])))
            result = MSG_FAIL_BUSY;
        else if (p[3].revents != 0)
            watch_client = false;  // half-closed with requests still to serve: no more to learn there
    }
    unwatch(holder_w);
    unwatch(head_w);
    if (result != 0) {
        leave_queue();
        if (client >= 0)
            conn_stop_signals(0);
        return result;
    }
    job_start = conn_now_ms();
    job_to = job_from = 0;
    return 0;
}

void port_lock_drop(void) {
    if (!held)
        return;
    portshare_lock();
    flock(portshare_fd(), LOCK_UN);
    portshare_free(entry);
    portshare_bump();
    portshare_unlock();
    entry = -1;
    held = false;
    const int64_t ms = conn_now_ms() - job_start;
    // A hold that moved nothing (a Device ID read, an INIT that failed, INIT then RESET) is not a
    // job: the line would only count zeros.
    if (job_to != 0 || job_from != 0)
        log_trace(2, "Job ended: %s, pid %d, %llu bytes to the device, %llu from it, %lld.%03lld s\n", peer,
                  int(getpid()), static_cast<unsigned long long>(job_to), static_cast<unsigned long long>(job_from),
                  static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
    conn_stop_signals(0);
}

int port_lock_held(void) { return held || portshare_region() == nullptr; }

int port_lock_others_wait(void) {
    if (!held)
        return 0;
    portshare_lock();
    const int n = portshare_waiting();
    portshare_unlock();
    return n > 0;
}

int port_lock_wake_fd(void) { return held ? wake_fd : -1; }

void port_lock_drain(void) {
    uint64_t n;
    if (wake_fd >= 0 && read(wake_fd, &n, sizeof n) < 0) {
        // Nothing pending.
    }
}

void port_lock_count(uint64_t to_device, uint64_t from_device) {
    job_to += to_device;
    job_from += from_device;
    publish();
}

void port_lock_uncount(uint64_t to_device) {
    job_to -= std::min(job_to, to_device);
    publish();
}

}  // extern "C"
