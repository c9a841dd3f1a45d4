// The service manager's side of start-up: the listening sockets it may pass (socket activation),
// the readiness and stopping notices, and syslog for a daemon that has no terminal.
//
// With socket activation systemd holds the listening sockets (tessal.socket), so a client that
// connects while the daemon restarts waits in the kernel's queue and is served by the next one,
// instead of being refused. The daemon takes what it was passed by the port each socket is bound
// to, and binds itself whatever was not passed: without systemd nothing changes.
//
// A detached daemon's lines go to syslog(3) (the journal, where systemd runs): the same text as
// -f prints, ERROR lines at LOG_ERR and the rest at LOG_INFO.
//
// The two conversations with the service manager are its documented, stable interfaces
// (sd_listen_fds(3), sd_notify(3)): LISTEN_PID/LISTEN_FDS name descriptors from 3 on, and a
// notice is one datagram to the AF_UNIX socket in NOTIFY_SOCKET. They are spoken here directly.
// Rejected: linking libsystemd for them, which maps six more libraries (gcrypt, lz4, zstd, lzma,
// libcap, libsystemd) into every forked service process, and has no static form for the
// real-port check's static daemon.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "port/log.h"
#include "service/daemon.h"

namespace {

constexpr int kListenFdsStart = 3;

int local_port(int fd) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return -1;
    if (sa.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in *>(&sa)->sin_port);
    if (sa.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&sa)->sin6_port);
    return -1;
}

bool listening_stream(int fd) {
    struct stat st {};
    int type = 0, accepting = 0;
    socklen_t l1 = sizeof type, l2 = sizeof accepting;
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) &&
           getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &l1) == 0 && type == SOCK_STREAM &&
           getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &l2) == 0 && accepting != 0;
}

// How many descriptors the manager passed to this very process (0 when none, or they were meant
// for another: LISTEN_PID names the receiver). The variables go, so nothing started later sees them.
int passed_count() {
    const char *pid = std::getenv("LISTEN_PID"), *fds = std::getenv("LISTEN_FDS");
    int n = 0;
    if (pid != nullptr && fds != nullptr && std::strtol(pid, nullptr, 10) == getpid())
        n = int(std::strtol(fds, nullptr, 10));
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    return n > 0 && n < 64 ? n : 0;
}

void to_syslog(int error, const char *line, size_t n) {
    while (n > 0 && line[n - 1] == '\n')
        n--;
    syslog(error ? LOG_ERR : LOG_INFO, "%.*s", int(n), line);
}

}  // namespace

extern "C" {

int service_sockets(int port, int raw_port, int *sock, int *raw_sock) {
    *sock = *raw_sock = -1;
    const int n = passed_count();
    for (int fd = kListenFdsStart; fd < kListenFdsStart + n; fd++) {
        const int at = listening_stream(fd) ? local_port(fd) : -1;
        int *slot = at == (port & 0xFFFF) ? sock : raw_port != 0 && at == raw_port ? raw_sock : nullptr;
        if (slot == nullptr || *slot >= 0) {
            log_error("the listening socket passed by the service manager (fd %d, port %d) is not -p %d%s; "
                      "make tessal.socket and the options agree",
                      fd, at, port & 0xFFFF, raw_port != 0 ? " or --raw-port" : "");
            return -1;
        }
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        *slot = fd;
    }
    return 0;
}

// A notice nobody asked for (no NOTIFY_SOCKET) or that cannot be sent changes nothing: the
// manager then goes by the process alone, as it would for a Type=simple service.
void service_notify(const char *state) {
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@'))
        return;
    sockaddr_un sa{};
    const size_t len = std::strlen(path);
    if (len >= sizeof sa.sun_path)
        return;
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path, len);
    if (sa.sun_path[0] == '@')
        sa.sun_path[0] = '\0';  // an abstract socket
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const socklen_t sl = socklen_t(offsetof(sockaddr_un, sun_path) + len);
    while (sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&sa), sl) < 0 &&
           errno == EINTR) {
    }
    close(fd);
}

void log_to_syslog(void) {
    openlog("tessal", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    log_sink = to_syslog;
    setenv(TESSAL_SYSLOG_ENV, "1", 1);
}

}  // extern "C"
