#include "client/client.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {



tc_result failure(tc_errc error, std::string message) {
    tc_result r;
    r.error = error;
    r.message = std::move(message);
    return r;
}

// A failure after which the stream position is unknown: the connection is dropped so the next
// request cannot take the rest of this reply for its own.
tc_result drop(tc_client &c, tc_errc error, std::string message) {
    tc_close(c);
    return failure(error, std::move(message));
}

std::string errno_text(int err) { return std::strerror(err); }

// Sends the header and the payload in one go, resuming after partial sends. MSG_NOSIGNAL keeps
// a daemon that hung up from killing the caller with SIGPIPE; EPIPE comes back instead.
// Returns 0 when everything went out, else the errno of the failing send.
int send_message(int fd, const uint8_t *header, std::span<const uint8_t> payload) {
    iovec iov[2] = {{const_cast<uint8_t *>(header), MSG_HEADER_SIZE},
                    {const_cast<uint8_t *>(payload.data()), payload.size()}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = payload.empty() ? 1 : 2;
    while (msg.msg_iovlen > 0) {
        const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return errno;
        }
        size_t done = size_t(n);
        while (msg.msg_iovlen > 0 && done >= msg.msg_iov->iov_len) {
            done -= msg.msg_iov->iov_len;
            ++msg.msg_iov;
            --msg.msg_iovlen;
        }
        if (msg.msg_iovlen > 0) {
            msg.msg_iov->iov_base = static_cast<uint8_t *>(msg.msg_iov->iov_base) + done;
            msg.msg_iov->iov_len -= done;
        }
    }
    return 0;
}

// Receives exactly `n` bytes unless the stream ends or fails first. Returns the bytes received;
// *err is 0 at end of stream and the errno of the failing receive otherwise.
size_t recv_exact(int fd, uint8_t *p, size_t n, int *err) {
    size_t got = 0;
    *err = 0;
    while (got < n) {
        const ssize_t r = recv(fd, p + got, n - got, 0);
        if (r > 0) {
            got += size_t(r);
            continue;
        }
        if (r == 0)
            break;
        if (errno == EINTR || errno == EAGAIN)
            continue;
        *err = errno;
        break;
    }
    return got;
}

// The message for a reply that stopped short: a hang-up and a reset read differently to a user.
std::string cut_short(const char *part, size_t got, size_t want, int err) {
    if (err != 0)
        return "connection broken while receiving the reply: " + errno_text(err);
    if (got == 0 && std::strcmp(part, "header") == 0)
        return "connection closed by the daemon before the reply";
    char text[160];
    std::snprintf(text, sizeof text,
                  "connection closed by the daemon in the middle of the reply "
                  "(%zu of %zu %s bytes)",
                  got, want, part);
    return text;
}

std::string bad(const char *fmt, uint64_t a, uint64_t b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return std::string("bad reply: ") + text;
}

// Sends one request and takes in its reply. `out` is the request's payload; a READ reply's
// payload lands in `in`, whose size is the most the reply may carry.
tc_result transact(tc_client &c, int code, uint32_t count, std::span<const uint8_t> out,
                   std::span<uint8_t> in) {
    if (!c.sock.valid())
        return failure(tc_errc::usage, "not connected");
    const int fd = c.sock.fd();

    uint8_t header[MSG_HEADER_SIZE] = {};
    msg_put_be32(header, MSG_MAGIC);
    msg_put_be32(header + 4, uint32_t(MSG_HEADER_SIZE + out.size()));
    header[8] = 1;
    header[9] = uint8_t(code);
    msg_put_be32(header + 28, count);
    if (const int err = send_message(fd, header, out); err != 0)
        return drop(c, tc_errc::broken, "sending the request failed: " + errno_text(err));

    int err = 0;
    const size_t got = recv_exact(fd, header, MSG_HEADER_SIZE, &err);
    if (got < MSG_HEADER_SIZE)
        return drop(c, tc_errc::broken, cut_short("header", got, MSG_HEADER_SIZE, err));
    if (msg_get_be32(header) != MSG_MAGIC) {
        char text[80];
        std::snprintf(text, sizeof text, "bad reply: wrong magic %02x %02x %02x %02x", header[0],
                      header[1], header[2], header[3]);
        return drop(c, tc_errc::bad_reply, text);
    }
    const uint32_t length = msg_get_be32(header + 4);
    if (length < MSG_HEADER_SIZE)
        return drop(c, tc_errc::bad_reply, bad("length %llu is shorter than the header", length));
    const size_t payload = length - MSG_HEADER_SIZE;
    if (payload > TC_MAX_PAYLOAD)
        return drop(c, tc_errc::bad_reply,
                    bad("payload of %llu bytes is over the capacity of %llu", payload,
                        TC_MAX_PAYLOAD));
    const int status = header[9];
    if (status != MSG_OK && status != MSG_FAIL)
        return drop(c, tc_errc::bad_reply, bad("unknown status 0x%02llx", unsigned(status)));
    const uint32_t reply_count = msg_get_be32(header + 28);

    // Every check that needs only the header comes before the payload is read, so a lying
    // reply can never write past `in`.
    if (code == MSG_READ) {
        if (payload != reply_count)
            return drop(c, tc_errc::bad_reply,
                        bad("%llu payload bytes but count %llu", payload, reply_count));
        if (reply_count > in.size())
            return drop(c, tc_errc::bad_reply,
                        bad("count %llu is more than the %llu bytes asked for", reply_count,
                            in.size()));
        const size_t body = recv_exact(fd, in.data(), payload, &err);
        if (body < payload)
            return drop(c, tc_errc::broken, cut_short("payload", body, payload, err));
    } else {
        if (payload != 0)
            return drop(c, tc_errc::bad_reply, bad("unexpected payload of %llu bytes", payload));
        if (code == MSG_WRITE && reply_count > out.size())
            return drop(c, tc_errc::bad_reply,
                        bad("count %llu is more than the %llu bytes sent", reply_count,
                            out.size()));
    }

    c.last_pid = msg_get_be32(header + 12);
    tc_result r;
    r.status = status;
    r.count = reply_count;
    return r;
}

std::string capacity_message(size_t n) {
    char text[120];
    std::snprintf(text, sizeof text, "%zu bytes do not fit in one message (at most %zu)", n,
                  TC_MAX_PAYLOAD);
    return text;
}

}  // namespace

tc_socket &tc_socket::operator=(tc_socket &&other) noexcept {
    if (this != &other)
        reset(other.release());
    return *this;
}

int tc_socket::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void tc_socket::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

tc_result tc_connect(tc_client &c, std::string_view host, uint16_t port) {
    tc_close(c);
    std::string name(host);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    const std::string where = (name.find(':') != std::string::npos ? "[" + name + "]" : name) +
                              ":" + std::to_string(port);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(name.c_str(), service.c_str(), &hints, &list); rc != 0) {
        const std::string why = rc == EAI_SYSTEM ? errno_text(errno) : gai_strerror(rc);
        return failure(tc_errc::connect, "cannot resolve " + name + ": " + why);
    }

    // Names such as localhost may give an IPv6 and an IPv4 address while the daemon listens on
    // only one of them, so every address is tried and the last error is the one reported.
    int last_err = ECONNREFUSED;
    for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        tc_socket s(socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
        if (!s.valid()) {
            last_err = errno;
            continue;
        }
        if (connect(s.fd(), ai->ai_addr, ai->ai_addrlen) != 0) {
            last_err = errno;
            continue;
        }
        // Every message is written whole before its reply is awaited, so Nagle's delay on the
        // tail of a message would only add latency.
        const int one = 1;
        setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        c.sock = std::move(s);
        break;
    }
    freeaddrinfo(list);
    if (!c.sock.valid())
        return failure(tc_errc::connect,
                       "cannot connect to " + where + ": " + errno_text(last_err));
    tc_result r;
    r.status = MSG_OK;
    return r;
}

bool tc_connected(const tc_client &c) { return c.sock.valid(); }

void tc_close(tc_client &c) { c.sock.reset(); }

uint32_t tc_last_pid(const tc_client &c) { return c.last_pid; }

tc_result tc_init(tc_client &c) { return transact(c, MSG_INIT, 0, {}, {}); }

tc_result tc_reset(tc_client &c) { return transact(c, MSG_RESET, 0, {}, {}); }

tc_result tc_write(tc_client &c, std::span<const uint8_t> data) {
    if (data.size() > TC_MAX_PAYLOAD)
        return failure(tc_errc::usage, capacity_message(data.size()));
    return transact(c, MSG_WRITE, uint32_t(data.size()), data, {});
}

tc_result tc_write_all(tc_client &c, std::span<const uint8_t> data) {
    if (!tc_connected(c))
        return failure(tc_errc::usage, "not connected");
    tc_result r;
    r.status = MSG_OK;
    uint64_t total = 0;
    while (!data.empty()) {
        const size_t chunk = std::min(data.size(), TC_MAX_PAYLOAD);
        r = tc_write(c, data.first(chunk));
        total += r.count;
        if (!r.ok() || r.count < chunk)
            break;
        data = data.subspan(chunk);
    }
    r.count = total;
    return r;
}

tc_result tc_read(tc_client &c, std::span<uint8_t> buf) {
    if (buf.size() > TC_MAX_PAYLOAD)
        return failure(tc_errc::usage, capacity_message(buf.size()));
    return transact(c, MSG_READ, uint32_t(buf.size()), {}, buf);
}

const char *tc_errc_name(tc_errc e) {
    switch (e) {
    case tc_errc::none: return "none";
    case tc_errc::connect: return "connect";
    case tc_errc::broken: return "broken stream";
    case tc_errc::bad_reply: return "bad reply";
    case tc_errc::usage: return "usage";
    }
    return "unknown";
}
