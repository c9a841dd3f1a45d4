#include "bench/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ieee1284/ieee1284.h"
#include "port/io.h"
#include "port/regs.h"
#include "sim/sim.h"
#include "wire/frame.h"

namespace bench {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(uint16_t(port));
    return sa;
}

int listen_loopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 5) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int accept_one(int lfd) {
    for (;;) {
        const int fd = accept(lfd, nullptr, nullptr);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

// Echo 32-byte messages until the peer closes.
void answer_32(int fd) {
    uint8_t msg[MSG_HEADER_SIZE];
    while (recv_all(fd, msg, sizeof msg) && send_all(fd, msg, sizeof msg)) {
    }
}

[[noreturn]] void serve_pingpong(int lfd) {
    for (;;) {
        const int fd = accept_one(lfd);
        if (fd < 0)
            continue;
        answer_32(fd);
        close(fd);
    }
}

// With a port (sim_config not empty), each payload is then written to a simulated port of that
// configuration through the link code, opened and negotiated once: the daemon's WRITE after INIT
// without the daemon.
[[noreturn]] void serve_sink(int lfd, const std::string &sim_config = "") {
    auto *buf = static_cast<uint8_t *>(std::malloc(MSG_CAPACITY));
    struct port_data *port = nullptr;
    if (!sim_config.empty()) {
        char err[256] = "";
        sim *device = sim_create(sim_config.c_str(), err, sizeof err);
        if (device == nullptr || (lp_io_use(sim_backend(device)), lp_io_acquire(0x378)) != 0)
            _exit(2);
        port = lp_port_open(0x378);
        if (lp_negotiate(port, LP_MODE_ECP) != 0)
            _exit(2);
    }
    for (;;) {
        const int fd = accept_one(lfd);
        if (fd < 0)
            continue;
        while (recv_all(fd, buf, MSG_HEADER_SIZE)) {
            const uint32_t length = msg_get_be32(buf + 4);
            const size_t payload = length > MSG_HEADER_SIZE ? length - MSG_HEADER_SIZE : 0;
            if (payload > MSG_CAPACITY - MSG_HEADER_SIZE || !recv_all(fd, buf + MSG_HEADER_SIZE, payload))
                break;
            if (port != nullptr && payload > 0)
                m_mfp_fifo_write_block(port, buf + MSG_HEADER_SIZE, payload);
            make_header(buf, MSG_OK, uint32_t(payload), 0);
            if (!send_all(fd, buf, MSG_HEADER_SIZE))
                break;
        }
        close(fd);
    }
}

[[noreturn]] void serve_fork(int lfd) {
    for (;;) {
        const int fd = accept_one(lfd);
        // Reaped with waitpid, as the daemon reaps: their processor time then counts as this
        // process's children's (cutime, cstime), as the daemon's does.
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (fd < 0)
            continue;
        const pid_t pid = fork();
        if (pid == 0) {
            close(lfd);
            answer_32(fd);
            _exit(0);
        }
        close(fd);
    }
}

// Like the daemon's listener: asleep in select; the one probe that sees it is ready is closed.
[[noreturn]] void serve_idle(int lfd) {
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(lfd, &rd);
        if (select(lfd + 1, &rd, nullptr, nullptr, nullptr) > 0) {
            const int fd = accept_one(lfd);
            if (fd >= 0)
                close(fd);
        }
    }
}

}  // namespace

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loopback(0);
    socklen_t len = sizeof sa;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

int connect_loopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sa = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    // As the client library does: without it the tail of a large request can wait for a
    // delayed acknowledgement, a stall of up to 200 ms that would swamp the figures.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool send_all(int fd, const void *buf, size_t n) {
    const auto *p = static_cast<const uint8_t *>(buf);
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool recv_all(int fd, void *buf, size_t n) {
    auto *p = static_cast<uint8_t *>(buf);
    while (n > 0) {
        const ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

server::server(const std::vector<std::string> &argv, int port, const std::string &log_path) : port_(port) {
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        // Killed with the driver, even when the driver itself is killed before it can clean up.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        }
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid_ < 0)
        return;
    setpgid(pid_, pid_);  // also here, so a kill of the group cannot race the child's own call
    // Ready when it accepts; given up after 5 s or when the process has exited.
    for (int i = 0; i < 500; i++) {
        const int fd = connect_loopback(port);
        if (fd >= 0) {
            close(fd);
            ok_ = true;
            return;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

server::~server() {
    if (pid_ <= 0)
        return;
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

void make_header(uint8_t *out, uint8_t code, uint32_t count, size_t payload) {
    std::memset(out, 0, MSG_HEADER_SIZE);
    msg_put_be32(out, MSG_MAGIC);
    msg_put_be32(out + 4, uint32_t(MSG_HEADER_SIZE + payload));
    out[8] = 1;
    out[9] = code;
    msg_put_be32(out + 28, count);
}

reply_info round_trip(int fd, uint8_t code, uint32_t count, const uint8_t *payload, size_t n, uint8_t *sink,
                      size_t sink_len) {
    reply_info r;
    uint8_t head[MSG_HEADER_SIZE];
    make_header(head, code, count, n);
    iovec iov[2] = {{head, sizeof head}, {const_cast<uint8_t *>(payload), n}};
    size_t left = sizeof head + n;
    int first = 0;
    // writev may stop part way through a large payload: carry on from where it stopped.
    while (left > 0) {
        const ssize_t w = writev(fd, iov + first, 2 - first);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return r;
        left -= size_t(w);
        size_t done = size_t(w);
        while (done > 0 && first < 2) {
            const size_t step = std::min(done, iov[first].iov_len);
            iov[first].iov_base = static_cast<uint8_t *>(iov[first].iov_base) + step;
            iov[first].iov_len -= step;
            done -= step;
            if (iov[first].iov_len == 0)
                first++;
        }
    }
    if (!recv_all(fd, head, sizeof head) || msg_get_be32(head) != MSG_MAGIC)
        return r;
    const uint32_t length = msg_get_be32(head + 4);
    r.payload = length > MSG_HEADER_SIZE ? length - MSG_HEADER_SIZE : 0;
    if (r.payload > sink_len || !recv_all(fd, sink, r.payload))
        return r;
    r.status = head[9];
    r.pid = msg_get_be32(head + 12);
    r.count = msg_get_be32(head + 28);
    r.ok = true;
    return r;
}

int serve_baseline(const std::string &kind, int port) {
    const int lfd = listen_loopback(port);
    if (lfd < 0)
        return -1;
    if (kind == "pingpong")
        serve_pingpong(lfd);
    if (kind == "sink")
        serve_sink(lfd);
    if (kind.rfind("sink:", 0) == 0)
        serve_sink(lfd, kind.substr(5));
    if (kind == "fork")
        serve_fork(lfd);
    if (kind == "idle")
        serve_idle(lfd);
    close(lfd);
    return -1;
}

}  // namespace bench
