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
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#if TESSAL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <cstdlib>

#include "port/log.h"
#include "service/daemon.h"

namespace {

#if TESSAL_HAVE_SYSTEMD
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
#endif

void to_syslog(int error, const char *line, size_t n) {
    while (n > 0 && line[n - 1] == '\n')
        n--;
    syslog(error ? LOG_ERR : LOG_INFO, "%.*s", int(n), line);
}

}  // namespace

extern "C" {

#if TESSAL_HAVE_SYSTEMD
int service_sockets(int port, int raw_port, int *sock, int *raw_sock) {
    *sock = *raw_sock = -1;
    const int n = sd_listen_fds(1);  // the variables go, so nothing the daemon starts sees them
    if (n <= 0)
        return 0;
    for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + n; fd++) {
        const int at = sd_is_socket(fd, AF_UNSPEC, SOCK_STREAM, 1) > 0 ? local_port(fd) : -1;
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

void service_notify(const char *state) { sd_notify(0, state); }
#else
// Built without libsystemd: no socket is ever taken from a service manager, none is told anything.
int service_sockets(int, int, int *sock, int *raw_sock) {
    *sock = *raw_sock = -1;
    return 0;
}

void service_notify(const char *) {}
#endif

void log_to_syslog(void) {
    openlog("tessal", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    log_sink = to_syslog;
    setenv(TESSAL_SYSLOG_ENV, "1", 1);
}

}  // extern "C"
