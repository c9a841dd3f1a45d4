#include "service/daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>
#include <vector>

#include "port/log.h"
#include "wire/frame.h"
#include "service/requests.h"

namespace {

constexpr int64_t kLingerMs = 2000;      // a refused client's time to read its FAIL and hang up
constexpr size_t kMaxLingering = 256;    // beyond that a refused connection is simply closed
constexpr int64_t kStopGraceMs = 20000;  // time the service processes get to finish when stopping
constexpr int64_t kRefusalLineMs = 60000;  // one -V 3 refusal line per client address in this time
constexpr size_t kRefusalsKept = 256;      // addresses remembered for that

struct child {
    pid_t pid;
    char peer[64];
};

// A refused connection waits here, its FAIL sent and its sending side shut, for the client to
// hang up: closing it with the client's request unread would send a reset, and a reset can
// destroy the FAIL before the client reads it.
struct lingering {
    int fd;
    int64_t until;
};

// When a refusal of an address was last put on a line.
struct refusal_said {
    char peer[64];
    int64_t at;
};

// Memory the listener and its children share rather than copy: the listener's write of a new
// child's entry after the fork would otherwise become a private page in every child alive.
template <typename T>
struct shared_pages {
    using value_type = T;
    shared_pages() = default;
    template <typename U>
    shared_pages(const shared_pages<U> &) {}
    T *allocate(size_t n) {
        void *p = mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, size_t n) { munmap(p, n * sizeof(T)); }
    bool operator==(const shared_pages &) const { return true; }
};

std::vector<child, shared_pages<child>> children;
std::vector<lingering> refused;
std::vector<refusal_said> refusals_said;
int signal_fd = -1;
int main_sock = -1;  // the request protocol's listening socket

void on_hangup(int) {}  // a hang-up must not end the daemon

void stamp(const char *what) {
    const time_t now = time(nullptr);
    log_trace(2, "%s%s", what, ctime(&now));  // ctime's text ends with its own newline
}

// The service process: serve one connection (a print job, on the raw port), then exit. It ends
// with _exit once its output is flushed: exit would run the destructors and the dynamic linker's
// finalisers of every library the process inherited (15 % of a short connection's CPU, measured),
// and it holds nothing that needs them; the device's shared state is the listener's to tidy.
[[noreturn]] void serve(int sock, int fd, int verbose) {
    const bool raw = sock == raw_listen_sock;
    close(sock);
    if (raw_listen_sock >= 0 && !raw)
        close(raw_listen_sock);
    if (main_sock >= 0 && main_sock != sock)
        close(main_sock);
    if (signal_fd >= 0)
        close(signal_fd);
    for (const lingering &l : refused)
        close(l.fd);
    conn_stop_signals(0);
    if (verbose > 2)
        stamp("Client connected at ");
    if (raw)
        serve_raw(fd);
    else
        serve_client(fd);
    if (verbose > 2)
        stamp("Client dropped   at ");
    close(fd);
    std::fflush(nullptr);
    _exit(0);
}

// The refusal line, once per address a minute: a client that reconnects in a loop cannot flood
// the log with them.
void say_refused(const char *who, const char *line) {
    if (verbose <= 2)
        return;
    const int64_t now = conn_now_ms();
    std::erase_if(refusals_said, [now](const refusal_said &r) { return now - r.at >= kRefusalLineMs; });
    for (const refusal_said &r : refusals_said)
        if (std::strcmp(r.peer, who) == 0)
            return;
    if (refusals_said.size() < kRefusalsKept) {
        refusal_said r{{}, now};
        std::snprintf(r.peer, sizeof r.peer, "%s", who);
        refusals_said.push_back(r);
    }
    log_trace(2, "%s", line);
}

// The connections one address may have: --max-per-peer, or by default a quarter of the total, so
// a few addresses can never take every slot.
int per_peer_cap() { return max_per_peer > 0 ? max_per_peer : std::max(1, max_connections / 4); }

// Slots only an address with no connection yet may take: an eighth of the total, where one
// address may not take them all anyway.
int reserved_slots() { return std::max(0, std::min(max_connections / 8, max_connections - per_peer_cap())); }

void refuse(int fd, bool raw) {
    if (raw) {
        // The raw port has no FAIL to send: a reset, so the client cannot take the refusal for
        // a printed job.
        const linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(fd);
        return;
    }
    uint8_t reply[MSG_HEADER_SIZE];
    msg_put_reply_header(reply, MSG_FAIL, 0, MSG_FAIL_TOO_MANY);
    // A fresh connection's send buffer always has room for 32 bytes: this never blocks.
    send(fd, reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    if (refused.size() < kMaxLingering)
        refused.push_back({fd, conn_now_ms() + kLingerMs});
    else
        close(fd);
}

// Reads and drops what refused clients send; closes those that hung up or outstayed their time.
void tend_refused(const pollfd *p) {
    const int64_t now = conn_now_ms();
    std::vector<lingering> keep;
    for (size_t i = 0; i < refused.size(); i++) {
        bool done = now >= refused[i].until;
        if (!done && p[i].revents != 0) {
            uint8_t scratch[4096];
            const ssize_t r = recv(refused[i].fd, scratch, sizeof scratch, MSG_DONTWAIT);
            done = r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR);
        }
        if (done)
            close(refused[i].fd);
        else
            keep.push_back(refused[i]);
    }
    refused.swap(keep);
}

void reap() {
    for (;;) {
        const pid_t pid = waitpid(-1, nullptr, WNOHANG);
        if (pid <= 0)
            return;
        announce_reaped(pid);
        std::erase_if(children, [pid](const child &c) { return c.pid == pid; });
    }
}

// Drains the signalfd; the stop signal asked for, or 0.
int take_signals() {
    int stop = 0;
    signalfd_siginfo si;
    while (read(signal_fd, &si, sizeof si) == ssize_t(sizeof si))
        if (si.ssi_signo != SIGCHLD)
            stop = int(si.ssi_signo);
    reap();
    return stop;
}

// Waits until every service process has ended, the deadline passed (false) or, when `stop` is
// set, another stop signal came (false, *stop set).
bool wait_children(int64_t deadline, int *stop) {
    while (!children.empty()) {
        const int64_t left = deadline - conn_now_ms();
        if (left <= 0)
            return false;
        pollfd p{signal_fd, POLLIN, 0};
        poll(&p, 1, int(left));
        if (const int sig = take_signals(); sig != 0 && stop != nullptr) {
            *stop = sig;
            return children.empty();
        }
    }
    return true;
}

// The stop: no new connection, the jobs under way finished (SIGUSR1 to every service process),
// and at the stop deadline or a second stop signal the rest ended at once (SIGTERM: each finishes
// its request and gives the port back), after a grace time killed.
int stop_in_order(int sock, int sig) {
    close(sock);
    if (raw_listen_sock >= 0)
        close(raw_listen_sock);
    announce_stop();
    for (const lingering &l : refused)
        close(l.fd);
    refused.clear();
    log_trace(2, "Stopping on signal %d: %zu service processes to finish\n", sig, children.size());
    // A service manager's stop time-out must not end the jobs before the daemon's own deadline.
    char extend[64];
    std::snprintf(extend, sizeof extend, "STOPPING=1\nEXTEND_TIMEOUT_USEC=%lld",
                  static_cast<long long>(stop_deadline_ms + kStopGraceMs + 5000) * 1000);
    service_notify(extend);
    for (const child &c : children)
        kill(c.pid, SIGUSR1);
    int again = 0;
    if (!wait_children(conn_now_ms() + stop_deadline_ms, &again)) {
        log_trace(2, "%s: ending %zu service processes now\n",
                  again != 0 ? "Stop signal again" : "Stop deadline reached", children.size());
        for (const child &c : children)
            kill(c.pid, SIGTERM);
        wait_children(conn_now_ms() + kStopGraceMs, nullptr);
    }
    for (const child &c : children) {
        log_error("service process %d did not end in time: killed", int(c.pid));
        kill(c.pid, SIGKILL);
        waitpid(c.pid, nullptr, 0);
    }
    children.clear();
    return 0;
}

}  // namespace

extern "C" {

int max_connections = 128;
int max_per_peer = 0;
int raw_listen_sock = -1;
int64_t stop_deadline_ms = 600000;

void go_background(int pidfile) {
    std::signal(SIGHUP, on_hangup);
    int ready[2];  // the child says it has detached; only then does the command return
    if (pipe2(ready, O_CLOEXEC) != 0) {
        log_error_errno("going into background: pipe failed");
        std::exit(1);
    }
    const pid_t pid = fork();
    if (pid < 0) {
        log_error_errno("going into background: fork failed");
        std::exit(1);
    }
    if (pid > 0) {
        close(ready[1]);
        char byte;
        while (read(ready[0], &byte, 1) < 0 && errno == EINTR) {
        }
        // Written before the command returns, so a script may read it at once.
        if (pidfile >= 0 && dprintf(pidfile, "%d\n", int(pid)) < 0)
            log_error_errno("cannot write the pid file");
        std::exit(0);
    }
    close(ready[0]);
    if (pidfile >= 0)
        close(pidfile);
    // A session of its own, no terminal, and nothing of the caller's open: the daemon outlives the
    // shell that started it, and its lines go to syslog (the journal) from now on.
    setsid();
    log_to_syslog();
    if (const int null = open("/dev/null", O_RDWR); null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2)
            close(null);
    }
    if (chdir("/") != 0) {
        // Nothing the daemon opens is relative to the working directory; carry on.
    }
    close(ready[1]);  // the parent's read ends: detached
}

void listener_signals(void) {
    std::signal(SIGHUP, SIG_IGN);   // in the foreground too: systemd counts a death by SIGHUP as clean
    std::signal(SIGPIPE, SIG_IGN);  // a client that left is an error result, not a signal
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);  // a service process's "the daemon stops", set up in the process
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

int listen_on(const struct sockaddr *sa, unsigned int len, const char *option) {
    const int sock = socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        log_error_errno("socket open failed");
        return -1;
    }
    const int one = 1, zero = 0;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        log_error_errno("socket reuse address failed");
        close(sock);
        return -1;
    }
    // Every address is one socket: IPv4 clients arrive as IPv4-mapped addresses (::ffff:a.b.c.d).
    if (sockaddr_in6 v6{}; sa->sa_family == AF_INET6 && len >= sizeof v6) {
        std::memcpy(&v6, sa, sizeof v6);
        if (IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr))
            setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    }
    if (bind(sock, sa, len) < 0) {
        uint16_t port = 0;  // at the same place in both families' addresses
        std::memcpy(&port, reinterpret_cast<const char *>(sa) + offsetof(sockaddr_in, sin_port), sizeof port);
        log_error_errno("socket bind failed on port %d (%s)", ntohs(port), option);
        close(sock);
        return -1;
    }
    // A burst of clients connecting at once waits in the kernel instead of being turned away.
    if (listen(sock, SOMAXCONN) < 0) {
        log_error_errno("socket listen failed");
        close(sock);
        return -1;
    }
    return sock;
}

int listen_socket(uint32_t addr, int port, const char *option) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(uint16_t(port));  // only the low 16 bits reach the address
    return listen_on(reinterpret_cast<sockaddr *>(&sa), sizeof sa, option);
}

int listen_socket_any(int port, const char *option) {
    // A kernel without IPv6 says so when the socket is made; then every IPv4 address.
    if (const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0); probe < 0) {
        return listen_socket(0, port, option);
    } else {
        close(probe);
    }
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_any;
    sa.sin6_port = htons(uint16_t(port));
    return listen_on(reinterpret_cast<sockaddr *>(&sa), sizeof sa, option);
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
    char who[64];
    access_describe(reinterpret_cast<sockaddr *>(&peer), who, sizeof who);
    if (!access_allowed(reinterpret_cast<sockaddr *>(&peer))) {
        char line[128];
        std::snprintf(line, sizeof line, "Client refused: %s is not allowed\n", who);
        say_refused(who, line);
        if (sock == raw_listen_sock)
            refuse(fd, true);
        else
            close(fd);
        return -1;
    }
    const long from_peer = std::count_if(children.begin(), children.end(),
                                         [&](const child &c) { return std::strcmp(c.peer, who) == 0; });
    const size_t open_to_known = size_t(max_connections - reserved_slots());
    if (children.size() >= size_t(max_connections) || from_peer >= per_peer_cap() ||
        (from_peer > 0 && children.size() >= open_to_known)) {
        char line[160];
        if (children.size() >= size_t(max_connections))
            std::snprintf(line, sizeof line, "Client refused: %s, too many connections (%d)\n", who, max_connections);
        else if (from_peer >= per_peer_cap())
            std::snprintf(line, sizeof line, "Client refused: %s, too many connections from it (%d)\n", who, per_peer_cap());
        else
            std::snprintf(line, sizeof line, "Client refused: %s, the last %d slots are kept for new clients\n", who,
                          reserved_slots());
        say_refused(who, line);
        refuse(fd, sock == raw_listen_sock);
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
    // No formatting here: the deep stack of a printf would be one more page copied per fork.
    child c{pid, {}};
    std::string_view(who).copy(c.peer, sizeof c.peer - 1);
    children.push_back(c);
    close(fd);
    return 0;
}

int listener_run(int sock) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    signal_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd < 0) {
        log_error_errno("signalfd failed");
        return 1;
    }
    main_sock = sock;
    service_user_lookup();
    // Every page the listener writes after a fork becomes the child's own copy, so the tables
    // keep their room rather than being made anew on each turn of the loop.
    children.reserve(size_t(max_connections) + 1);
    std::vector<pollfd, shared_pages<pollfd>> p;  // rewritten on every turn: shared, not copied
    p.reserve(kMaxLingering + 3);
    // Block until something happens: an idle daemon uses no processor time.
    for (;;) {
        p.clear();
        int64_t until = 0;
        for (const lingering &l : refused) {
            p.push_back({l.fd, POLLIN, 0});
            until = until == 0 ? l.until : std::min(until, l.until);
        }
        p.push_back({raw_listen_sock, POLLIN, 0});  // ignored by poll when there is none (-1)
        p.push_back({sock, POLLIN, 0});
        p.push_back({signal_fd, POLLIN, 0});
        const int timeout = until == 0 ? -1 : int(std::max<int64_t>(0, until - conn_now_ms()));
        if (poll(p.data(), p.size(), timeout) < 0 && errno != EINTR) {
            log_error_errno("poll failed");
            continue;
        }
        const pollfd &ps = p[p.size() - 2];
        const pollfd &sig = p[p.size() - 1];
        if (sig.revents != 0) {
            if (const int stop = take_signals())
                return stop_in_order(sock, stop);
        }
        if (!refused.empty())
            tend_refused(p.data());
        if (ps.revents & POLLIN)
            accept_client(sock, verbose);
        if (p[p.size() - 3].revents & POLLIN)
            accept_client(raw_listen_sock, verbose);
    }
}

}  // extern "C"
