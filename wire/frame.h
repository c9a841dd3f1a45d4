// Message framing: the 32-byte header, the code and status values, the message buffer and the
// four operations that move messages over a connection.
//
// Every message is a big-endian 32-byte header followed by `length` - 32 payload bytes. Requests
// are received into one buffer per connection and replies are built in it in place, so the bytes
// a READ fetches are sent back from where they landed, without a copy.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// The header as it is on the wire; multi-byte fields hold network (big-endian) byte order.
struct msg_header {
    uint8_t magic[4];      // E1 50 ED 5F
    uint32_t length;       // whole message, header included
    uint8_t version;       // 1 in replies
    uint8_t code;          // request code or reply status
    uint8_t reserved1[2];  // 0 in replies
    uint32_t pid;          // replies: the service process's id
    uint8_t reserved2[12]; // 0 in replies
    uint32_t count;        // requests: bytes to work on; replies: the result count
};

#define MSG_HEADER_SIZE 32
#define MSG_CAPACITY 0x800000
#define MSG_MAGIC 0xE150ED5Fu

enum msg_code {
    MSG_READ = 0,
    MSG_WRITE = 1,
    MSG_INIT = 2,
    MSG_RESET = 3,
    MSG_DEVICE_ID = 4,  // the printer's IEEE 1284 Device ID as payload; an older daemon answers
                        // it with an empty OK, which a client reads as "no ID available"
    MSG_OK = 64,
    MSG_FAIL = 65,
};

// Why an INIT (or DEVICE_ID) was answered FAIL: carried in the reply's `count`, which those
// requests otherwise leave 0, so a client can tell a busy printer from a broken one. Older clients
// ignore the count of an INIT reply. READ and WRITE replies keep count = bytes moved (0 on FAIL;
// a READ on an output-only port is such a FAIL, its reason on the daemon's error line). A RESET
// answered FAIL carries the number of printed bytes the port had to drop (never below the truth):
// the printer never took them.
enum msg_fail_reason {
    MSG_FAIL_UNSPECIFIED = 0,
    MSG_FAIL_BUSY = 1,           // another client held the port for the whole wait
    MSG_FAIL_PORT_ACCESS = 2,    // the daemon could not reach the port's registers
    MSG_FAIL_NO_PERIPHERAL = 3,  // nobody answered the IEEE 1284 negotiation (event 2)
    MSG_FAIL_REFUSED = 4,        // the peripheral refused the mode
    MSG_FAIL_NEGOTIATION = 5,    // the peripheral answered, then did not finish the negotiation
    MSG_FAIL_TOO_MANY = 6,       // the daemon's connection caps refused this client
    MSG_FAIL_NO_ID = 7,          // DEVICE_ID: the peripheral gave no usable Device ID
    MSG_FAIL_OUTPUT_ONLY = 8,    // DEVICE_ID: the port cannot tri-state its data lines
};

// A short phrase for each reason ("printer busy", ...), "unspecified" for unknown values.
const char *msg_fail_text(uint32_t reason);

// Big-endian 32-bit fields, as every header carries them.
static inline uint32_t msg_get_be32(const uint8_t *p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
static inline void msg_put_be32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// "READ", "WRITE", "INIT", "RESET", "OK", "FAIL", or "Unknown" for any other value.
const char *msg_code_name(int value);

// frame.cc
// The header of a reply, written into the first 32 bytes of buf.
void msg_put_reply_header(uint8_t *buf, int status, size_t payload_len, int32_t count);
// A request header read into buf: 0 with length, code and count, or -1 when the magic is wrong.
int msg_get_request_header(const uint8_t *buf, uint32_t *length_out, int *code_out, int32_t *count_out);
ssize_t read_full(int fd, void *buf, size_t n);
ssize_t write_full(int fd, const void *buf, size_t n);
int32_t recv_request(int fd, uint8_t *buf, size_t cap, int *code_out, int32_t *count_out);
int send_reply(int fd, uint8_t *buf, size_t cap, int status, size_t payload_len, int32_t count);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(msg_header) == MSG_HEADER_SIZE, "the header is 32 bytes on the wire");
#endif
