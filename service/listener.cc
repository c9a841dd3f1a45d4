#include "service/daemon.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "port/log.h"
#include "service/requests.h"

namespace {

void on_hangup(int) {}  // a hang-up must not end the daemon

void stamp(const char *what) {
    const time_t now = time(nullptr);
    std::printf("%s%s", what, ctime(&now));  // ctime's text ends with its own newline
    std::fflush(stdout);
}

// The service process: serve one connection, then exit.
[[noreturn]] void serve(int sock, int fd, int verbose) {
    close(sock);
    if (verbose > 2)
        stamp("Client connected at ");
    serve_client(fd);
    if (verbose > 2)
        stamp("Client dropped   at ");
    close(fd);
    std::exit(0);
}

}  // namespace

extern "C" {

void go_background(void) {
    std::signal(SIGHUP, on_hangup);
    const pid_t pid = fork();
    if (pid < 0) {
        log_error_errno("going into background: fork failed");
        std::exit(1);
    }
    if (pid > 0)
        std::exit(0);
    if (chdir("/") != 0) {
        // Nothing the daemon opens is relative to the working directory; carry on.
    }
}

int listen_on(const struct sockaddr *sa, unsigned int len) {
    const int sock = socket(sa->sa_family, SOCK_STREAM, 0);
    if (sock < 0) {
        log_error_errno("socket open failed");
        return -1;
    }
    const int one = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        log_error_errno("socket reuse address failed");
        close(sock);
        return -1;
    }
    if (bind(sock, sa, len) < 0) {
        log_error_errno("socket bind failed");
        close(sock);
        return -1;
    }
    if (listen(sock, 5) < 0) {
        log_error_errno("socket listen failed");
        close(sock);
        return -1;
    }
    return sock;
}

int listen_socket(uint32_t addr, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(uint16_t(port));  // only the low 16 bits reach the address
    return listen_on(reinterpret_cast<sockaddr *>(&sa), sizeof sa);
}

int accept_client(int sock, int verbose) {
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    const int fd = accept(sock, reinterpret_cast<sockaddr *>(&peer), &peer_len);
    if (fd < 0) {
        if (errno != EINTR)
            log_error_errno("socket accept failed");
        return -1;
    }
    if (!access_allowed(reinterpret_cast<sockaddr *>(&peer))) {
        if (verbose > 2) {
            char who[64];
            access_describe(reinterpret_cast<sockaddr *>(&peer), who, sizeof who);
            std::printf("Client refused: %s is not allowed\n", who);
        }
        close(fd);
        return -1;
    }
    access_tune_connection(fd);
    const pid_t pid = fork();
    if (pid < 0) {
        log_error_errno("service process: fork failed");
        close(fd);
        return -1;
    }
    if (pid == 0)
        serve(sock, fd, verbose);
    close(fd);
    return 0;
}

}  // extern "C"
