// The request loop of a service process.
//
// Headers are read, and replies without payload built, on the stack. The message buffer exists
// only for a message with a payload: it is as large as the message needs (up to MSG_CAPACITY plus
// one) and is given back once a large one is not followed at once by another, so an idle
// connection commits nothing for it. The extra byte holds a zero right after a stored WRITE
// payload, so the zero-byte scan of a WRITE with count 0 can never run past what the client sent.
//
// Every wait on the client is bounded (service/conn.cc): between requests by the idle time-out,
// and for the holder of the port by --hold-timeout once others wait; inside a message by
// --io-timeout without progress and by a minimum rate from the start of its body. The holder's
// hold clock counts progress on the port, not requests: it starts again only when bytes move to
// or from the printer (a WRITE the printer was offered counts, so a paused printer never costs its
// holder the job), at RESET, and at the INIT that takes the port. A holder that trickles a
// request, or sends requests that move nothing, loses the port as a silent one does. The header
// is read before the payload, so the payload of a request that is bound to FAIL is read and
// dropped rather than kept.
#include "service/requests.h"

#include <malloc.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "port/log.h"
#include "wire/frame.h"

namespace {

struct reply {
    int status = MSG_OK;
    size_t payload = 0;
    int32_t count = 0;
    bool moved = false;  // progress on the port: the hold clock starts again
};

constexpr int32_t kMaxPayload = MSG_CAPACITY - MSG_HEADER_SIZE;
constexpr size_t kSmall = 64 * 1024;       // the buffer kept between messages, once there was one
constexpr int kMapAbove = 128 * 1024;      // larger allocations are mappings of their own
constexpr size_t kWriteChunk = 256 * 1024;  // a WRITE goes to the port in pieces of the clients' size
constexpr int kKeepMs = 50;                 // a large buffer outlives its message this long
constexpr int kUnknownShown = 10;          // unknown-command lines per connection; then one count
constexpr int64_t kDrainMs = 2000;         // after the reply to an oversized message

int unknown_commands = 0;

// The message buffer. It is made anew whenever a message needs more (its old bytes never do:
// it grows before a payload is read into it or a READ fills it) and dropped after a message
// larger than kSmall. Above the C library's mapping threshold, fixed by serve_setup, an
// allocation is a mapping of its own, so dropping it gives its pages and their commitment back
// at once; under a sanitizer its exact size keeps the bounds checked.
struct msgbuf {
    uint8_t *p = nullptr;
    size_t cap = 0;
    // Room for `need` bytes, the header's included; false when the memory cannot be had. With
    // `filled`, all of it is about to be written (a WRITE's payload as it arrives): a new mapping's
    // pages are then made in one call rather than faulted in one by one as recv fills them, which
    // on a virtual machine costs about as much as the copy itself.
    bool fit(size_t need, bool filled = false) {
        need = std::max(need, MSG_HEADER_SIZE + kSmall + 1);
        if (need <= cap)
            return true;
        std::free(p);
        p = static_cast<uint8_t *>(std::malloc(need));
        cap = p != nullptr ? need : 0;
        if (p != nullptr && filled && need > size_t(kMapAbove))
            populate(p, need);
        return p != nullptr;
    }
    static void populate(uint8_t *at, size_t len) {
        const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
        const uintptr_t from = (uintptr_t(at) + page - 1) & ~(page - 1);
        const uintptr_t to = (uintptr_t(at) + len) & ~(page - 1);
        if (to > from)
            (void)madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);  // a hint
    }
    bool large() const { return cap > MSG_HEADER_SIZE + kSmall + 1; }
    void shrink() {
        if (large()) {
            std::free(p);
            p = nullptr;
            cap = 0;
        }
    }
    ~msgbuf() { std::free(p); }
};

reply fail() { return {MSG_FAIL, 0, 0}; }

// A READ of nothing is answered OK with no device access, before INIT too (the wire's rule);
// asking for bytes needs the port.
reply do_read(uint8_t *payload, int32_t count, int32_t room) {
    if (count <= 0)
        return {};
    if (!dpa_ready())
        return fail();
    if (dpa_output_only()) {
        // READ's count is the bytes that came, which clients check against the payload, so the
        // reason goes to the journal; DEVICE_ID and the probe name it to clients.
        log_error("READ refused: %s", msg_fail_text(MSG_FAIL_OUTPUT_ONLY));
        return fail();
    }
    count = std::min({count, kMaxPayload, room});  // a reply can carry no more than the buffer holds
    const int n = dpa_read(payload, count);
    port_lock_count(0, uint64_t(n));
    return {MSG_OK, size_t(n), n, n > 0};
}

bool write_goes_ahead(int32_t count) { return dpa_ready() && count >= 0; }

// In pieces, so `tessal --status` sees the bytes of a long WRITE as the printer takes them; a
// piece the printer does not take in full ends it.
reply do_write(uint8_t *payload, int32_t count, int32_t received) {
    if (!write_goes_ahead(count))
        return fail();
    if (count > received)
        count = received;  // never write bytes the client did not send
    if (count == 0) {      // up to the first zero byte, which the sentinel bounds
        const int n = dpa_write(payload, 0);
        port_lock_count(uint64_t(n), 0);
        return {MSG_OK, 0, n, n > 0};
    }
    int32_t done = 0;
    while (done < count) {
        const int32_t piece = std::min(count - done, int32_t(kWriteChunk));
        const int n = dpa_write(payload + done, piece);
        if (n > 0) {
            done += n;
            port_lock_count(uint64_t(n), 0);
        }
        if (n < piece)
            break;
    }
    return {MSG_OK, 0, done, true};
}

reply dispatch(int code, int32_t count, uint8_t *payload, int32_t received, int32_t room) {
    switch (code) {
    case MSG_READ: return do_read(payload, count, room);
    case MSG_WRITE: return do_write(payload, count, received);
    case MSG_INIT: {
        const bool had = dpa_ready();
        if (const int why = dpa_init(1)) return {MSG_FAIL, 0, why};
        return {MSG_OK, 0, 0, !had};  // taking the port starts the hold clock
    }
    case MSG_RESET:  // FAIL carries the printed bytes the port had to drop
        if (const int32_t lost = dpa_reset()) return {MSG_FAIL, 0, lost, true};
        return {MSG_OK, 0, 0, true};
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

void say_held() {
    log_trace(2, "Client held the port idle for %s while %s, closing\n", seconds(hold_timeout_ms),
              conn_draining() ? "the daemon stops" : "others waited");
}

// Waits for the first byte of the next request; false when the connection is to end. A holder
// that moved nothing on the port since `progress` while another connection waits gives the port
// up after --hold-timeout, whether it is silent or keeps sending requests.
bool wait_for_request(int fd, int64_t since, int64_t progress) {
    for (;;) {
        const int64_t idle = idle_limit_ms();
        const int64_t idle_at = idle > 0 ? since + idle : 0;
        // While the daemon stops, the holder is given the same bound as if another were waiting.
        const int64_t hold_at =
            hold_timeout_ms > 0 && (port_lock_others_wait() || conn_draining()) ? progress + hold_timeout_ms : 0;
        const int64_t until = idle_at == 0 ? hold_at : hold_at == 0 ? idle_at : std::min(idle_at, hold_at);
        const int64_t now = conn_now_ms();
        if (idle_at != 0 && now >= idle_at) {
            log_trace(2, "Client idle for %s, closing\n", seconds(idle));
            return false;
        }
        if (hold_at != 0 && now >= hold_at) {
            say_held();
            return false;
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {port_lock_wake_fd(), POLLIN, 0}};
        const int n = conn_poll(p, 2, until, 1);
        if (n < 0)
            return false;  // asked to stop, or the wait failed
        if (p[1].revents != 0)
            port_lock_drain();  // the queue changed: look at it again
        if (p[0].revents != 0)
            return true;  // a byte, the end of the stream or an error: the read will tell
    }
}

// Ends the connection with a reset rather than leaving the kernel to push a reply nobody reads.
void abort_connection(int fd) {
    const linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// True when the transfer went through; otherwise the connection ends, with a line saying why.
bool report(conn_result r, int fd, bool reply) {
    if (r == CONN_IDLE)
        log_trace(2, "Client idle for %s, closing\n", seconds(idle_limit_ms()));
    else if (r == CONN_SLOW)
        log_trace(2, "Client too slow %s, closing\n", reply ? "reading its reply" : "sending a request");
    else if (r == CONN_HOLD)
        say_held();
    if (r == CONN_SLOW && reply)
        abort_connection(fd);
    return r == CONN_DONE;
}

// A blocking recv on fd gives up after ms (0: never); set only when it changes.
void receive_timeout(int fd, int64_t ms) {
    static int64_t set = 0;
    if (ms == set)
        return;
    const timeval t{time_t(ms / 1000), suseconds_t(ms % 1000 * 1000)};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t) == 0)
        set = ms;
}

// After the reply to a message longer than the buffer: no more requests, but no reset either,
// which could destroy the reply before the client reads it. The sending side is shut and what
// the client still sends is read and dropped until it hangs up (at most kDrainMs).
void close_after_reply(int fd, uint8_t *scratch, size_t len) {
    shutdown(fd, SHUT_WR);
    const int64_t until = conn_now_ms() + kDrainMs;
    for (;;) {
        const ssize_t r = recv(fd, scratch, len, MSG_DONTWAIT);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return;
        pollfd p{fd, POLLIN, 0};
        if (r < 0 && conn_poll(&p, 1, until, 1) <= 0)
            return;
    }
}

}  // namespace

extern "C" {
int64_t idle_timeout_ms = 300000;
int64_t holder_idle_timeout_ms = 0;
int64_t io_timeout_ms = 30000;
int64_t hold_timeout_ms = 300000;

int64_t idle_limit_ms(void) { return dpa_ready() ? holder_idle_timeout_ms : idle_timeout_ms; }
}

extern "C" void serve_setup(void) {
    mallopt(M_MMAP_THRESHOLD, kMapAbove);  // fixed: the library would raise it after a large free
}

extern "C" int serve_client(int fd) {
    msgbuf buf;
    uint8_t head[MSG_HEADER_SIZE];
    dpa_set_client(fd);
    port_lock_set_client(fd);
    unknown_commands = 0;
    int64_t idle_since = conn_now_ms();
    int64_t progress = idle_since;
    bool oversized = false;
    for (;;) {
        // The daemon stops: a connection ends at once, or once its job is over (RESET).
        if (conn_stopping() || (conn_draining() && !port_lock_held()))
            break;
        // The header. With no queue to watch (not holding the port), the process sleeps in recv
        // itself, as a plain blocking server would, its idle bound the socket's receive time-out;
        // otherwise what is there is taken at once, or it waits for the first byte with its bounds.
        const bool plain = port_lock_wake_fd() < 0;
        if (plain)
            receive_timeout(fd, idle_limit_ms());
        ssize_t got = recv(fd, head, MSG_HEADER_SIZE, plain ? 0 : MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            break;
        if (got < 0 && plain && errno != EINTR) {
            log_trace(2, "Client idle for %s, closing\n", seconds(idle_limit_ms()));
            break;
        }
        if (got < 0) {
            got = 0;
            if (!plain && !wait_for_request(fd, idle_since, progress))
                break;
        }
        conn_limits lim{idle_limit_ms(), io_timeout_ms, conn_now_ms(), dpa_ready() ? progress : 0};
        if (!report(conn_read(fd, head + got, MSG_HEADER_SIZE - size_t(got), &lim), fd, false))
            break;
        uint32_t length = 0;
        int code = 0;
        int32_t count = 0;
        if (msg_get_request_header(head, &length, &code, &count) != 0 || int32_t(length) <= 0)
            break;  // not a request: a wrong magic, or a length of 0 or 2^31 and above
        const size_t sent = length > MSG_HEADER_SIZE ? length - MSG_HEADER_SIZE : 0;
        const size_t kept = sent > size_t(kMaxPayload) ? size_t(kMaxPayload) : sent;
        // Only a WRITE that will be carried out needs its payload; any other is read and dropped.
        const bool store = code == MSG_WRITE && write_goes_ahead(count);
        // A payload to keep or to drop, or a reply that may carry one, needs the buffer. A dropped
        // payload is never copied (TCP discards it in the kernel), but the room asked for is there.
        size_t need = kept > 0 || store ? kept + 1 : 0;  // a stored payload, even of none, ends in a zero
        if (code == MSG_READ && count > 0 && dpa_ready())
            need = std::max(need, size_t(std::min(count, kMaxPayload)) + 1);
        if (code == MSG_DEVICE_ID)
            need = std::max(need, size_t(1024));
        if (need > 0 && !buf.fit(MSG_HEADER_SIZE + need, store) && (store || !buf.fit(MSG_HEADER_SIZE + kSmall))) {
            log_error_errno("no memory for a %zu-byte message", need);
            break;
        }
        lim.floor_from = conn_now_ms();  // the body's floor runs from its own start
        uint8_t *payload = buf.p != nullptr ? buf.p + MSG_HEADER_SIZE : nullptr;
        const conn_result r = kept == 0 ? CONN_DONE
                              : store   ? conn_read(fd, payload, kept, &lim)
                                        : conn_skip(fd, payload, buf.cap - MSG_HEADER_SIZE - 1, kept, &lim);
        if (!report(r, fd, false))
            break;
        const int32_t received = store ? int32_t(kept) : 0;
        if (store)
            payload[received] = 0;  // the sentinel that bounds the zero-byte scan
        const int32_t room = buf.cap > MSG_HEADER_SIZE ? int32_t(buf.cap - MSG_HEADER_SIZE - 1) : 0;
        const reply rep = dispatch(code, count, payload, received, room);
        if (rep.moved)
            progress = conn_now_ms();
        uint8_t *out = rep.payload > 0 ? buf.p : head;  // a payload is already in place behind it
        msg_put_reply_header(out, rep.status, rep.payload, rep.count);
        lim = {0, io_timeout_ms, conn_now_ms(), 0};
        if (!report(conn_write(fd, out, MSG_HEADER_SIZE + rep.payload, &lim), fd, true))
            break;
        // A client streaming large WRITEs sends the next one a round trip after this reply: the
        // buffer is kept for it, and given back once the connection has been quiet for kKeepMs.
        if (buf.large()) {
            pollfd next{fd, POLLIN, 0};
            if (poll(&next, 1, kKeepMs) <= 0)
                buf.shrink();
        }
        idle_since = conn_now_ms();
        // Bytes past one message's capacity are not a request: the connection ends after the reply.
        oversized = sent > kept;
        if (dpa_must_end || oversized)
            break;
    }
    if (unknown_commands > kUnknownShown)
        log_error("%d more unknown commands on this connection", unknown_commands - kUnknownShown);
    dpa_release();
    if (oversized)
        close_after_reply(fd, buf.p, buf.cap);  // the buffer held the dropped payload: it exists
    return 0;
}
