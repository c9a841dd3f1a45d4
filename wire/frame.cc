#include "wire/frame.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

bool retry(int err) { return err == EAGAIN || err == EINTR; }

}  // namespace

extern "C" {

const char *msg_code_name(int value) {
    switch (value) {
    case MSG_READ: return "READ";
    case MSG_WRITE: return "WRITE";
    case MSG_INIT: return "INIT";
    case MSG_RESET: return "RESET";
    case MSG_DEVICE_ID: return "DEVICE_ID";
    case MSG_OK: return "OK";
    case MSG_FAIL: return "FAIL";
    default: return "Unknown";
    }
}

const char *msg_fail_text(uint32_t reason) {
    switch (reason) {
    case MSG_FAIL_BUSY: return "printer busy";
    case MSG_FAIL_PORT_ACCESS: return "the daemon cannot reach the parallel port";
    case MSG_FAIL_NO_PERIPHERAL: return "no answer to the IEEE 1284 negotiation (printer off or not connected?)";
    case MSG_FAIL_REFUSED: return "the printer refused ECP mode";
    case MSG_FAIL_NEGOTIATION: return "the IEEE 1284 negotiation did not complete";
    case MSG_FAIL_TOO_MANY: return "too many connections";
    case MSG_FAIL_NO_ID: return "no Device ID from the printer";
    case MSG_FAIL_OUTPUT_ONLY: return "output only: reading from the printer is impossible on this port (set the BIOS to PS/2 or ECP)";
    default: return "unspecified";
    }
}

void msg_put_reply_header(uint8_t *buf, int status, size_t payload_len, int32_t count) {
    std::memset(buf, 0, MSG_HEADER_SIZE);
    msg_put_be32(buf, MSG_MAGIC);
    msg_put_be32(buf + 4, uint32_t(payload_len + MSG_HEADER_SIZE));
    buf[8] = 1;
    buf[9] = uint8_t(status);
    msg_put_be32(buf + 12, uint32_t(getpid()));
    msg_put_be32(buf + 28, uint32_t(count));
}

int msg_get_request_header(const uint8_t *buf, uint32_t *length_out, int *code_out, int32_t *count_out) {
    if (msg_get_be32(buf) != MSG_MAGIC)
        return -1;
    *length_out = msg_get_be32(buf + 4);
    *code_out = buf[9];
    *count_out = int32_t(msg_get_be32(buf + 28));
    return 0;
}

ssize_t read_full(int fd, void *buf, size_t n) {
    auto *p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, p + got, n - got);
        if (r < 0) {
            if (retry(errno))
                continue;
            return got > 0 ? ssize_t(got) : r;  // an error after some data still returns the data
        }
        if (r == 0)
            break;  // end of stream
        got += size_t(r);
    }
    return ssize_t(got);
}

ssize_t write_full(int fd, const void *buf, size_t n) {
    const auto *p = static_cast<const uint8_t *>(buf);
    size_t put = 0;
    while (put < n) {
        const ssize_t w = write(fd, p + put, n - put);
        if (w > 0) {
            put += size_t(w);
            continue;
        }
        if (retry(errno))
            continue;
        return put > 0 ? ssize_t(put) : w;
    }
    return ssize_t(put);
}

int32_t recv_request(int fd, uint8_t *buf, size_t cap, int *code_out, int32_t *count_out) {
    if (cap < MSG_HEADER_SIZE)
        return -1;
    std::memset(buf, 0, 4);  // a stale request in the buffer can never pass the magic test
    const ssize_t h = read_full(fd, buf, MSG_HEADER_SIZE);
    if (h < MSG_HEADER_SIZE)
        return h < 0 ? int32_t(h) : 0;  // no request: error before any byte, or cut short
    uint32_t length = 0;
    int code = 0;
    int32_t count = 0;
    if (msg_get_request_header(buf, &length, &code, &count) != 0)
        return -1;
    if (length > MSG_HEADER_SIZE) {
        size_t payload = length - MSG_HEADER_SIZE;
        if (payload > cap - MSG_HEADER_SIZE)
            payload = cap - MSG_HEADER_SIZE;  // the rest stays on the connection
        if (read_full(fd, buf + MSG_HEADER_SIZE, payload) != ssize_t(payload))
            return 0;
    }
    *code_out = code;
    *count_out = count;
    // length 0 ends the connection like end of stream; 2^31 and above come out negative.
    return int32_t(length);
}

int send_reply(int fd, uint8_t *buf, size_t cap, int status, size_t payload_len, int32_t count) {
    if (payload_len > cap || cap - payload_len < MSG_HEADER_SIZE)
        return -1;
    const size_t length = payload_len + MSG_HEADER_SIZE;
    msg_put_reply_header(buf, status, payload_len, count);
    return write_full(fd, buf, length) == ssize_t(length) ? 0 : -1;
}

}  // extern "C"
