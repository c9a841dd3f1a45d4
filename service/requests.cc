// The request loop of a service process.
//
// One buffer per connection, MSG_CAPACITY bytes plus one: the extra byte always holds a zero
// right after the received payload, so the zero-byte scan of a WRITE with count 0 can never run
// past what the client sent. Its pages are only touched as far as a message needs, and given
// back after a large one, so an idle connection holds a few KiB, not 8 MiB.
//
// Every wait on the client is bounded (service/conn.cc): between requests by --idle-timeout, and
// for the holder of the port by --hold-timeout once others wait; inside a message by
// --io-timeout without progress and by a minimum rate over the whole message. The header is read
// before the payload, so the payload of a request that is bound to FAIL is read and dropped
// rather than kept.
#include "service/requests.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "port/log.h"
#include "wire/frame.h"

namespace {

struct free_deleter {
    void operator()(uint8_t *p) const { std::free(p); }
};

struct reply {
    int status = MSG_OK;
    size_t payload = 0;
    int32_t count = 0;
};

constexpr int32_t kMaxPayload = MSG_CAPACITY - MSG_HEADER_SIZE;
constexpr size_t kKeptBytes = 64 * 1024;  // the part of the buffer that stays resident
constexpr int kUnknownShown = 10;         // unknown-command lines per connection; then one count
// Bytes a second a message must average once begun, after --io-timeout of grace: a trickle is cut,
// while the slowest real link (a weak Wi-Fi) moves a full 8 MiB message in well under 10 minutes.
constexpr int64_t kMinRate = 16384;

int unknown_commands = 0;

reply fail() { return {MSG_FAIL, 0, 0}; }

reply do_read(uint8_t *payload, int32_t count) {
    if (count <= 0)
        return {};  // nothing asked: no device access
    if (!dpa_ready())
        return fail();
    if (dpa_output_only()) {
        // READ's count is the bytes that came, which clients check against the payload, so the
        // reason goes to the journal; DEVICE_ID and the probe name it to clients.
        log_error("READ refused: %s", msg_fail_text(MSG_FAIL_OUTPUT_ONLY));
        return fail();
    }
    if (count > kMaxPayload)
        count = kMaxPayload;  // a reply can carry no more than the buffer holds
    const int n = dpa_read(payload, count);
    port_lock_count(0, uint64_t(n));
    return {MSG_OK, size_t(n), n};
}

bool write_goes_ahead(int32_t count) { return dpa_ready() && count >= 0; }

reply do_write(uint8_t *payload, int32_t count, int32_t received) {
    if (!write_goes_ahead(count))
        return fail();
    if (count > received)
        count = received;  // never write bytes the client did not send
    const int n = dpa_write(payload, count);
    port_lock_count(uint64_t(n), 0);
    return {MSG_OK, 0, n};
}

reply dispatch(int code, int32_t count, uint8_t *payload, int32_t received) {
    switch (code) {
    case MSG_READ: return do_read(payload, count);
    case MSG_WRITE: return do_write(payload, count, received);
    case MSG_INIT: if (const int why = dpa_init(1)) return {MSG_FAIL, 0, why}; return {};
    case MSG_RESET: if (const int32_t lost = dpa_reset()) return {MSG_FAIL, 0, lost}; return {};
    case MSG_DEVICE_ID: {
        int32_t n = 0;
        if (const int why = dpa_device_id(payload, &n)) return {MSG_FAIL, 0, why};
        return {MSG_OK, size_t(n), n};
    }
    default:
        // Any client can send these; the journal gets a few, not a flood.
        if (++unknown_commands <= kUnknownShown)
            log_error("Unknown command 0x%02x", code);
        return {};
    }
}

// "1 s", "0.25 s": a time-out as the options give it.
const char *seconds(int64_t ms) {
    static char text[32];
    if (ms % 1000 == 0)
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(ms / 1000));
    else
        std::snprintf(text, sizeof text, "%lld.%03lld s", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
    return text;
}

// Waits for the first byte of the next request; false when the connection is to end. A holder
// that stays silent while another connection waits gives the port up after --hold-timeout; one
// that keeps making requests never does.
bool wait_for_request(int fd, int64_t since) {
    for (;;) {
        const int64_t idle_at = idle_timeout_ms > 0 ? since + idle_timeout_ms : 0;
        // While the daemon stops, the holder is given the same bound as if another were waiting.
        const int64_t hold_at = hold_timeout_ms > 0 && (port_lock_others_wait() || conn_draining()) ? since + hold_timeout_ms : 0;
        const int64_t until = idle_at == 0 ? hold_at : hold_at == 0 ? idle_at : std::min(idle_at, hold_at);
        pollfd p[2] = {{fd, POLLIN, 0}, {port_lock_wake_fd(), POLLIN, 0}};
        const int n = conn_poll(p, 2, until, 1);
        if (n < 0)
            return false;  // asked to stop, or the wait failed
        if (p[0].revents != 0)
            return true;  // a byte, the end of the stream or an error: the read will tell
        if (p[1].revents != 0) {
            port_lock_drain();  // the queue changed: look at it again
            continue;
        }
        const int64_t now = conn_now_ms();
        if (idle_at != 0 && now >= idle_at) {
            log_trace(2, "Client idle for %s, closing\n", seconds(idle_timeout_ms));
            return false;
        }
        if (hold_at != 0 && now >= hold_at) {
            log_trace(2, "Client held the port idle for %s while %s, closing\n", seconds(hold_timeout_ms),
                      conn_draining() ? "the daemon stops" : "others waited");
            return false;
        }
    }
}

// The bounds of a message of `bytes` that began at `start`.
conn_limits message_limits(int64_t start, size_t bytes) {
    return {idle_timeout_ms, io_timeout_ms, start + io_timeout_ms + int64_t(bytes) * 1000 / kMinRate};
}

// Ends the connection with a reset rather than leaving the kernel to push a reply nobody reads.
void abort_connection(int fd) {
    const linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// True when the transfer went through; otherwise the connection ends, with a line saying why.
bool report(conn_result r, int fd, bool reply) {
    if (r == CONN_IDLE)
        log_trace(2, "Client idle for %s, closing\n", seconds(idle_timeout_ms));
    else if (r == CONN_SLOW)
        log_trace(2, "Client too slow %s, closing\n", reply ? "reading its reply" : "sending a request");
    if (r == CONN_SLOW && reply)
        abort_connection(fd);
    return r == CONN_DONE;
}

// Gives back the pages of the buffer past the first few KiB after a message that used them.
void release_pages(uint8_t *buf, size_t used) {
    if (used <= kKeptBytes)
        return;
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t from = (uintptr_t(buf) + kKeptBytes + page - 1) & ~(page - 1);
    const uintptr_t to = (uintptr_t(buf) + MSG_CAPACITY + 1) & ~(page - 1);
    if (to > from)
        madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED);
}

}  // namespace

extern "C" {
int64_t idle_timeout_ms = 0;
int64_t io_timeout_ms = 30000;
int64_t hold_timeout_ms = 300000;
}

extern "C" int serve_client(int fd) {
    std::unique_ptr<uint8_t, free_deleter> buffer(static_cast<uint8_t *>(std::malloc(MSG_CAPACITY + 1)));
    if (!buffer)
        return -1;
    uint8_t *buf = buffer.get();
    uint8_t *payload = buf + MSG_HEADER_SIZE;
    dpa_set_client(fd);
    port_lock_set_client(fd);
    unknown_commands = 0;
    int64_t idle_since = conn_now_ms();
    for (;;) {
        // The daemon stops: a connection ends at once, or once its job is over (RESET).
        if (conn_stopping() || (conn_draining() && !port_lock_held()))
            break;
        // The header. With nothing to time and no queue to watch, the process sleeps in recv
        // itself, as a plain blocking server would; otherwise what is there is taken at once, or
        // it waits for the first byte with its bounds.
        const bool plain = idle_timeout_ms == 0 && port_lock_wake_fd() < 0;
        ssize_t got = recv(fd, buf, MSG_HEADER_SIZE, plain ? 0 : MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            break;
        if (got < 0) {
            got = 0;
            if (!plain && !wait_for_request(fd, idle_since))
                break;
        }
        const int64_t start = conn_now_ms();
        conn_limits lim = message_limits(start, MSG_HEADER_SIZE);
        if (!report(conn_read(fd, buf + got, MSG_HEADER_SIZE - size_t(got), &lim), fd, false))
            break;
        uint32_t length = 0;
        int code = 0;
        int32_t count = 0;
        if (msg_get_request_header(buf, &length, &code, &count) != 0 || int32_t(length) <= 0)
            break;  // not a request: a wrong magic, or a length of 0 or 2^31 and above
        const size_t sent = length > MSG_HEADER_SIZE ? length - MSG_HEADER_SIZE : 0;
        const size_t kept = sent > size_t(kMaxPayload) ? size_t(kMaxPayload) : sent;
        // Only a WRITE that will be carried out needs its payload; any other is read and dropped.
        const bool store = code == MSG_WRITE && write_goes_ahead(count);
        lim = message_limits(start, MSG_HEADER_SIZE + kept);
        const conn_result r = kept == 0 ? CONN_DONE
                              : store   ? conn_read(fd, payload, kept, &lim)
                                        : conn_skip(fd, payload, kKeptBytes, kept, &lim);
        if (!report(r, fd, false))
            break;
        const int32_t received = store ? int32_t(kept) : 0;
        payload[received] = 0;  // the sentinel that bounds the zero-byte scan
        const reply rep = dispatch(code, count, payload, received);
        msg_put_reply_header(buf, rep.status, rep.payload, rep.count);
        const size_t out = MSG_HEADER_SIZE + rep.payload;
        lim = message_limits(conn_now_ms(), out);
        lim.idle_ms = 0;
        if (!report(conn_write(fd, buf, out, &lim), fd, true))
            break;
        release_pages(buf, std::max(out, MSG_HEADER_SIZE + size_t(received)));
        idle_since = conn_now_ms();
        // Bytes past one message's capacity are not a request: the connection ends after the reply.
        if (dpa_must_end || sent > kept)
            break;
    }
    if (unknown_commands > kUnknownShown)
        log_error("%d more unknown commands on this connection", unknown_commands - kUnknownShown);
    dpa_release();
    return 0;
}
