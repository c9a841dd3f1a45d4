#include "tests/client/fake_server.h"

#include "wire/frame.h"

#include <algorithm>
#include <cstdint>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// No test waits this long unless the code under test hangs; then the test fails instead.
constexpr int POLL_LIMIT_MS = 10000;



bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, POLL_LIMIT_MS) == 1;
}

// Appends up to n bytes to out; false when the stream ended or stalled first.
bool take(int fd, size_t n, bytes &out) {
    while (n > 0) {
        if (!readable(fd))
            return false;
        uint8_t chunk[65536];
        const ssize_t r = recv(fd, chunk, std::min(n, sizeof chunk), 0);
        if (r <= 0)
            return false;
        out.insert(out.end(), chunk, chunk + r);
        n -= size_t(r);
    }
    return true;
}

bool give(int fd, const bytes &b) {
    size_t off = 0;
    while (off < b.size()) {
        const ssize_t w = send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        off += size_t(w);
    }
    return true;
}

// One request, header and payload; a partial one is kept too so a test can see it.
bool next_request(int fd, bytes &req) {
    if (!take(fd, 32, req))
        return !req.empty();
    const uint32_t length = msg_get_be32(req.data() + 4);
    if (length > 32)
        take(fd, std::min<size_t>(length - 32, 16u << 20), req);
    return true;
}

int bound_socket(uint16_t *port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        throw std::runtime_error("cannot bind a loopback socket");
    *port = ntohs(a.sin_port);
    return fd;
}

}  // namespace

fake_server::fake_server(std::vector<fake_step> script, int connections)
    : connections_(connections), script_(std::move(script)) {
    listener_ = bound_socket(&port_);
    if (listen(listener_, 4) != 0)
        throw std::runtime_error("cannot listen");
    thread_ = std::thread([this] { serve(); });
}

fake_server::~fake_server() {
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        close(listener_);
}

void fake_server::serve() {
    size_t step = 0;
    for (int n = 0; n < connections_; ++n) {
        if (!readable(listener_))
            break;
        const int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0)
            break;
        const bool more = serve_connection(fd, step);
        close(fd);
        if (!more)
            break;
    }
    // Only these connections are served: a client that came back once more is refused and
    // shows up.
    close(listener_);
    listener_ = -1;
}

// Runs the script on one connection; true when a step hung up and the script goes on.
bool fake_server::serve_connection(int fd, size_t &step) {
    for (;;) {
        bytes req;
        if (!next_request(fd, req))
            return false;
        requests_.push_back(std::move(req));
        if (step == script_.size()) {
            // Unscripted requests are recorded and get no reply; the hang-up ends them.
            shutdown(fd, SHUT_WR);
            continue;
        }
        const fake_step &s = script_[step++];
        if (s.silent) {
            bytes rest;
            take(fd, SIZE_MAX, rest);  // until the client hangs up (or the poll limit)
            return false;
        }
        if (s.delay_ms > 0)
            usleep(useconds_t(s.delay_ms) * 1000);
        if (!give(fd, s.reply))
            return false;
        if (s.close_after)
            return true;
    }
}

std::vector<bytes> fake_server::finish() {
    if (thread_.joinable())
        thread_.join();
    return requests_;
}

bytes reply_msg(int status, uint32_t count, uint32_t pid, std::span<const uint8_t> payload) {
    bytes b(32, 0);
    b[0] = 0xE1;
    b[1] = 0x50;
    b[2] = 0xED;
    b[3] = 0x5F;
    msg_put_be32(&b[4], uint32_t(32 + payload.size()));
    b[8] = 1;
    b[9] = uint8_t(status);
    msg_put_be32(&b[12], pid);
    msg_put_be32(&b[28], count);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bytes request_header(int code, uint32_t count, size_t payload_len) {
    bytes b(32, 0);
    b[0] = 0xE1;
    b[1] = 0x50;
    b[2] = 0xED;
    b[3] = 0x5F;
    msg_put_be32(&b[4], uint32_t(32 + payload_len));
    b[8] = 1;
    b[9] = uint8_t(code);
    msg_put_be32(&b[28], count);
    return b;
}

bytes concat(const bytes &a, std::span<const uint8_t> b) {
    bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

bytes head(const bytes &b, size_t n) {
    return bytes(b.begin(), b.begin() + std::min(n, b.size()));
}

bytes pattern(size_t n, unsigned seed) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t((i + seed) % 251);
    return b;
}

full_port::full_port() {
    listener_ = bound_socket(&port_);
    // A backlog of 0 holds one connection; the one made here fills it, so the next SYN is
    // dropped and its connect waits.
    if (listen(listener_, 0) != 0)
        throw std::runtime_error("cannot listen");
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port_);
    if (connect(filler_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot fill the accept queue");
}

full_port::~full_port() {
    close(filler_);
    close(listener_);
}

mute_port::mute_port() {
    listener_ = bound_socket(&port_);
    if (listen(listener_, 4) != 0)
        throw std::runtime_error("cannot listen");
}

mute_port::~mute_port() { close(listener_); }

refused_port::refused_port() { fd_ = bound_socket(&port_); }

refused_port::~refused_port() { close(fd_); }
