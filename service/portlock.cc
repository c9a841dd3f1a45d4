// Port arbitration between service processes, and between daemons on one machine.
//
// An exclusive flock(2) on a lock file. flock belongs to an open file description, so every
// service process opens the file itself rather than using a descriptor inherited from the
// listener (which all children would share). The kernel drops the lock when its holder dies,
// SIGKILL included. For real hardware the file has a fixed name, so a second tessal daemon on
// the same port waits too; the simulated device belongs to one daemon, so its lock is an
// unnamed file that the children reopen through /proc and that vanishes with the daemon.
//
// Rejected: a mutex in shared memory (needs a robust-mutex dance and cannot wait on the client's
// socket at the same time), fcntl record locks (dropped when any descriptor of the file closes).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "port/log.h"
#include "service/requests.h"

namespace {

constexpr int kPollMs = 20;  // how soon a waiter notices a free port or a client that left

char lock_path[64] = "";
int lock_fd = -1;  // this process's own description, while it holds or waits
bool held = false;

bool client_gone(int fd) {
    if (fd < 0)
        return false;
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

}  // namespace

extern "C" {

int port_lock_setup(int simulated) {
    if (simulated) {
        const int fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0) {
            log_error_errno("port lock file failed");
            return -1;
        }
        std::snprintf(lock_path, sizeof lock_path, "/proc/self/fd/%d", fd);  // kept open for ever
        return 0;
    }
    const char *dir = access("/run/lock", W_OK) == 0 ? "/run/lock" : "/tmp";
    std::snprintf(lock_path, sizeof lock_path, "%s/tessal-0378.lock", dir);
    return 0;
}

int port_lock_take(int client_fd) {
    if (held)
        return 0;
    if (lock_path[0] == '\0')
        return 0;  // no arbitration set up (an in-process harness): the caller owns the port
    if (lock_fd < 0) {
        lock_fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock_fd < 0) {
            log_error_errno("port lock %s failed", lock_path);
            return -1;
        }
    }
    for (;;) {
        if (flock(lock_fd, LOCK_EX | LOCK_NB) == 0) {
            held = true;
            return 0;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            log_error_errno("port lock failed");
            return -1;
        }
        if (client_gone(client_fd))
            return -1;  // nobody is left to serve: stop waiting
        poll(nullptr, 0, kPollMs);
    }
}

void port_lock_drop(void) {
    if (held)
        flock(lock_fd, LOCK_UN);
    held = false;
}

int port_lock_held(void) { return held || lock_path[0] == '\0'; }

}  // extern "C"
