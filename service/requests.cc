// The request loop of a service process.
//
// One buffer per connection, MSG_CAPACITY bytes plus one: the extra byte always holds a zero
// right after the received payload, so the zero-byte scan of a WRITE with count 0 can never run
// past what the client sent.
#include "service/requests.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "port/log.h"
#include "service/frame.h"

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

reply fail() { return {MSG_FAIL, 0, 0}; }

reply do_read(uint8_t *payload, int32_t count) {
    if (count <= 0)
        return {};  // nothing asked: no device access
    if (!dpa_ready())
        return fail();
    if (count > kMaxPayload)
        count = kMaxPayload;  // a reply can carry no more than the buffer holds
    const int n = dpa_read(payload, count);
    return {MSG_OK, size_t(n), n};
}

reply do_write(uint8_t *payload, int32_t count, int32_t received) {
    if (!dpa_ready() || count < 0)
        return fail();
    if (count > received)
        count = received;  // never write bytes the client did not send
    return {MSG_OK, 0, dpa_write(payload, count)};
}

reply dispatch(int code, int32_t count, uint8_t *payload, int32_t received) {
    switch (code) {
    case MSG_READ: return do_read(payload, count);
    case MSG_WRITE: return do_write(payload, count, received);
    case MSG_INIT: if (const int why = dpa_init(1)) return {MSG_FAIL, 0, why}; return {};
    case MSG_RESET: dpa_reset(); return {};
    default:
        log_error("Unknown command 0x%02x", code);
        return {};
    }
}

// False when the client stayed silent for the whole idle time-out.
bool wait_for_request(int fd) {
    if (idle_timeout <= 0)
        return true;
    pollfd p{fd, POLLIN, 0};
    int r;
    do
        r = poll(&p, 1, idle_timeout * 1000);
    while (r < 0 && errno == EINTR);
    if (r == 0) {
        log_trace(2, "Client idle for %d s, closing\n", idle_timeout);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {
int idle_timeout = 0;
}

extern "C" int serve_client(int fd) {
    std::unique_ptr<uint8_t, free_deleter> buffer(static_cast<uint8_t *>(std::malloc(MSG_CAPACITY + 1)));
    if (!buffer)
        return -1;
    uint8_t *buf = buffer.get();
    uint8_t *payload = buf + MSG_HEADER_SIZE;
    dpa_set_client(fd);
    for (;;) {
        int code = 0;
        int32_t count = 0;
        if (!wait_for_request(fd))
            break;
        const int32_t length = recv_request(fd, buf, MSG_CAPACITY, &code, &count);
        if (length <= 0)
            break;
        int32_t received = length > MSG_HEADER_SIZE ? length - MSG_HEADER_SIZE : 0;
        if (received > kMaxPayload)
            received = kMaxPayload;
        payload[received] = 0;  // the sentinel that bounds the zero-byte scan
        const reply r = dispatch(code, count, payload, received);
        if (send_reply(fd, buf, MSG_CAPACITY, r.status, r.payload, r.count) != 0 || dpa_must_end)
            break;
    }
    dpa_release();
    return 0;
}
