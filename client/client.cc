#include "client/client.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "client/internal.h"

namespace {

// A failure after which the stream position is unknown: the connection is dropped so the next
// request cannot take the rest of this reply for its own.
tc_result drop(tc_client &c, tc_errc error, std::string message) {
    tc_close(c);
    return tc_failure(error, std::move(message));
}

std::string errno_text(int err) { return std::strerror(err); }

int64_t deadline_after(int64_t budget_ms) { return budget_ms < 0 ? -1 : tc_now_ms() + budget_ms; }

// Sends the header and the payload, resuming after partial sends and waiting (within the
// deadline, cancellably) while the socket's buffer is full. MSG_NOSIGNAL keeps a daemon that
// hung up from killing the caller with SIGPIPE; EPIPE comes back instead. Returns 0 when
// everything went out, else an errno (ETIMEDOUT and ECANCELED included).
int send_message(const tc_options &o, int fd, const uint8_t *header,
                 std::span<const uint8_t> payload, int64_t deadline) {
    iovec iov[2] = {{const_cast<uint8_t *>(header), MSG_HEADER_SIZE},
                    {const_cast<uint8_t *>(payload.data()), payload.size()}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = payload.empty() ? 1 : 2;
    while (msg.msg_iovlen > 0) {
        const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                return errno;
            if (const int err = tc_wait(o, fd, POLLOUT, deadline); err != 0)
                return err;
            continue;
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

// Receives exactly `n` bytes unless the stream ends, fails, times out or is cancelled first.
// Returns the bytes received; *err is 0 at end of stream and an errno otherwise. `notice`, when
// given, is called once if nothing has arrived by `notice_at`.
size_t recv_exact(const tc_options &o, int fd, uint8_t *p, size_t n, int64_t deadline, int *err,
                  const std::function<void()> *notice = nullptr, int64_t notice_at = -1) {
    size_t got = 0;
    *err = 0;
    while (got < n) {
        const ssize_t r = recv(fd, p + got, n - got, MSG_DONTWAIT);
        if (r > 0) {
            got += size_t(r);
            continue;
        }
        if (r == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN) {
            *err = errno;
            break;
        }
        const bool notice_first = notice != nullptr && (deadline < 0 || notice_at < deadline);
        const int w = tc_wait(o, fd, POLLIN, notice_first ? notice_at : deadline);
        if (w == ETIMEDOUT && notice_first) {
            (*notice)();
            notice = nullptr;
            continue;
        }
        if (w != 0) {
            *err = w;
            break;
        }
    }
    return got;
}

std::string seconds(int64_t ms) {
    char text[40];
    std::snprintf(text, sizeof text, "%g s", double(ms) / 1000.0);
    return text;
}

// A reply that did not come whole: a hang-up, a reset, a deadline and a cancellation read
// differently to a user.
tc_result cut_short(tc_client &c, const char *part, size_t got, size_t want, int err,
                    int64_t budget_ms) {
    if (err == ETIMEDOUT)
        return drop(c, tc_errc::timeout, "no reply from the daemon within " + seconds(budget_ms));
    if (err == ECANCELED)
        return drop(c, tc_errc::cancelled, "cancelled");
    if (err != 0)
        return drop(c, tc_errc::broken,
                    "connection broken while receiving the reply: " + errno_text(err));
    if (got == 0 && std::strcmp(part, "header") == 0)
        return drop(c, tc_errc::broken, "connection closed by the daemon before the reply");
    char text[160];
    std::snprintf(text, sizeof text,
                  "connection closed by the daemon in the middle of the reply "
                  "(%zu of %zu %s bytes)",
                  got, want, part);
    return drop(c, tc_errc::broken, text);
}

std::string bad(const char *fmt, uint64_t a, uint64_t b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return std::string("bad reply: ") + text;
}

bool cancelled(const tc_options &o) {
    if (o.cancel != nullptr && *o.cancel != 0)
        return true;
    pollfd p{o.cancel_fd, POLLIN, 0};
    return o.cancel_fd >= 0 && poll(&p, 1, 0) == 1;
}

std::string capacity_message(size_t n) {
    char text[120];
    std::snprintf(text, sizeof text, "%zu bytes do not fit in one message (at most %zu)", n,
                  TC_MAX_PAYLOAD);
    return text;
}

// TCP keepalive finds a daemon host that vanished while the client waits for a long reply.
void set_keepalive(int fd, const tc_options &o) {
    if (o.keepalive_idle_s <= 0)
        return;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &o.keepalive_idle_s, sizeof(int));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &o.keepalive_interval_s, sizeof(int));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &o.keepalive_count, sizeof(int));
}

// Connects the non-blocking socket within the deadline: 0, or an errno.
int connect_within(const tc_options &o, int fd, const addrinfo *ai) {
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    if (const int err = tc_wait(o, fd, POLLOUT, deadline_after(o.connect_timeout_ms)); err != 0)
        return err;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

}  // namespace

tc_result tc_failure(tc_errc error, std::string message) {
    tc_result r;
    r.error = error;
    r.message = std::move(message);
    return r;
}

int64_t tc_now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int tc_wait(const tc_options &o, int fd, short events, int64_t deadline) {
    for (;;) {
        if (o.cancel != nullptr && *o.cancel != 0)
            return ECANCELED;
        int timeout = -1;
        if (deadline >= 0) {
            const int64_t left = deadline - tc_now_ms();
            if (left <= 0)
                return ETIMEDOUT;
            timeout = int(std::min<int64_t>(left, INT_MAX));
        }
        // With a flag but no descriptor, a signal that lands just before poll would not wake
        // it, so the flag is looked at again every quarter second.
        if (o.cancel != nullptr && o.cancel_fd < 0)
            timeout = timeout < 0 ? 250 : std::min(timeout, 250);
        pollfd p[2] = {{fd, events, 0}, {o.cancel_fd, POLLIN, 0}};
        const int n = poll(p, o.cancel_fd >= 0 ? 2 : 1, timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (o.cancel_fd >= 0 && p[1].revents != 0)
            return ECANCELED;
        if (n > 0 && p[0].revents != 0)
            return 0;
    }
}

int64_t tc_reply_budget(const tc_options &o, size_t payload) {
    return int64_t(o.reply_timeout_ms) + int64_t(payload / TC_SLOWEST_RATE) * 1000;
}

tc_result tc_transact(tc_client &c, int code, uint32_t count, std::span<const uint8_t> out,
                      std::span<uint8_t> in, const tc_wait_plan &plan) {
    if (!c.sock.valid())
        return tc_failure(tc_errc::usage, "not connected");
    // A job cancelled between requests keeps its connection, so the caller can still RESET.
    if (cancelled(c.opts))
        return tc_failure(tc_errc::cancelled, "cancelled");
    const int fd = c.sock.fd();
    // The daemon takes a request in whole before it acts on it, so sending gets the plain reply
    // time-out; the time the printer needs counts only once the request is in.
    const int64_t send_budget =
        plan.budget_ms < 0 ? -1 : std::min<int64_t>(plan.budget_ms, c.opts.reply_timeout_ms);

    uint8_t header[MSG_HEADER_SIZE] = {};
    msg_put_be32(header, MSG_MAGIC);
    msg_put_be32(header + 4, uint32_t(MSG_HEADER_SIZE + out.size()));
    header[8] = 1;
    header[9] = uint8_t(code);
    msg_put_be32(header + 28, count);
    if (const int err = send_message(c.opts, fd, header, out, deadline_after(send_budget));
        err != 0) {
        if (err == ETIMEDOUT)
            return drop(c, tc_errc::timeout,
                        "the daemon took no request within " + seconds(send_budget));
        if (err == ECANCELED)
            return cut_short(c, "header", 0, MSG_HEADER_SIZE, err, plan.budget_ms);
        return drop(c, tc_errc::broken, "sending the request failed: " + errno_text(err));
    }
    const int64_t deadline = deadline_after(plan.budget_ms);

    int err = 0;
    const size_t got = recv_exact(c.opts, fd, header, MSG_HEADER_SIZE, deadline, &err,
                                  plan.notice, tc_now_ms() + plan.notice_ms);
    if (got < MSG_HEADER_SIZE)
        return cut_short(c, "header", got, MSG_HEADER_SIZE, err, plan.budget_ms);
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
    // reply can never write past `in`. READ and DEVICE_ID bring bytes back with their number in
    // count; a DEVICE_ID FAIL carries its reason there instead, and no bytes.
    if (code == MSG_READ || (code == MSG_DEVICE_ID && status == MSG_OK)) {
        if (payload != reply_count)
            return drop(c, tc_errc::bad_reply,
                        bad("%llu payload bytes but count %llu", payload, reply_count));
        if (reply_count > in.size())
            return drop(c, tc_errc::bad_reply,
                        bad("count %llu is more than the %llu bytes asked for", reply_count,
                            in.size()));
        const size_t body = recv_exact(c.opts, fd, in.data(), payload, deadline, &err);
        if (body < payload)
            return cut_short(c, "payload", body, payload, err, plan.budget_ms);
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
    c.host = std::string(host);
    c.port = port;
    std::string name(host);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    const std::string where = (name.find(':') != std::string::npos ? "[" + name + "]" : name) +
                              ":" + std::to_string(port);
    if (cancelled(c.opts))
        return tc_failure(tc_errc::cancelled, "cancelled");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *list = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(name.c_str(), service.c_str(), &hints, &list); rc != 0) {
        const std::string why = rc == EAI_SYSTEM ? errno_text(errno) : gai_strerror(rc);
        return tc_failure(tc_errc::connect, "cannot resolve " + name + ": " + why);
    }

    // Names such as localhost may give an IPv6 and an IPv4 address while the daemon listens on
    // only one of them, so every address is tried and the last error is the one reported.
    int last_err = ECONNREFUSED;
    for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        tc_socket s(socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                           ai->ai_protocol));
        if (!s.valid()) {
            last_err = errno;
            continue;
        }
        last_err = connect_within(c.opts, s.fd(), ai);
        if (last_err == ECANCELED)
            break;
        if (last_err != 0)
            continue;
        // Every message is written whole before its reply is awaited, so Nagle's delay on the
        // tail of a message would only add latency.
        const int one = 1;
        setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        set_keepalive(s.fd(), c.opts);
        c.sock = std::move(s);
        break;
    }
    freeaddrinfo(list);
    if (last_err == ECANCELED)
        return tc_failure(tc_errc::cancelled, "cancelled");
    if (!c.sock.valid())
        return tc_failure(last_err == ETIMEDOUT ? tc_errc::timeout : tc_errc::connect,
                          "cannot connect to " + where + ": " + errno_text(last_err));
    tc_result r;
    r.status = MSG_OK;
    return r;
}

bool tc_connected(const tc_client &c) { return c.sock.valid(); }

void tc_close(tc_client &c) { c.sock.reset(); }

uint32_t tc_last_pid(const tc_client &c) { return c.last_pid; }

tc_result tc_init(tc_client &c) {
    return tc_transact(c, MSG_INIT, 0, {}, {}, {tc_reply_budget(c.opts, 0)});
}

std::string tc_dropped_text(const tc_result &r) {
    return "up to " + std::to_string(r.count) + " printed bytes were dropped: the printer did not take them";
}

tc_result tc_reset(tc_client &c) {
    return tc_transact(c, MSG_RESET, 0, {}, {}, {tc_reply_budget(c.opts, 0)});
}

tc_result tc_write(tc_client &c, std::span<const uint8_t> data) {
    if (data.size() > TC_MAX_PAYLOAD)
        return tc_failure(tc_errc::usage, capacity_message(data.size()));
    return tc_transact(c, MSG_WRITE, uint32_t(data.size()), data, {},
                       {tc_reply_budget(c.opts, data.size())});
}

tc_result tc_write_all(tc_client &c, std::span<const uint8_t> data) {
    if (!tc_connected(c))
        return tc_failure(tc_errc::usage, "not connected");
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
        return tc_failure(tc_errc::usage, capacity_message(buf.size()));
    return tc_transact(c, MSG_READ, uint32_t(buf.size()), {}, buf,
                       {tc_reply_budget(c.opts, buf.size())});
}

const char *tc_errc_name(tc_errc e) {
    switch (e) {
    case tc_errc::none: return "none";
    case tc_errc::connect: return "connect";
    case tc_errc::broken: return "broken stream";
    case tc_errc::bad_reply: return "bad reply";
    case tc_errc::usage: return "usage";
    case tc_errc::timeout: return "timeout";
    case tc_errc::cancelled: return "cancelled";
    }
    return "unknown";
}

std::string tc_fail_text(const tc_result &r) {
    // An older daemon gives no reason (count 0); a newer one may give a reason this library
    // does not know yet, which is shown by number rather than refused.
    if (r.count == MSG_FAIL_UNSPECIFIED)
        return "the device could not do it";
    const std::string text = msg_fail_text(uint32_t(r.count));
    if (text == "unspecified")
        return "unspecified (reason " + std::to_string(r.count) + ")";
    return text;
}

bool tc_fail_is_temporary(const tc_result &r) {
    return r.error == tc_errc::none && r.status == MSG_FAIL &&
           (r.count == MSG_FAIL_BUSY || r.count == MSG_FAIL_TOO_MANY);
}
