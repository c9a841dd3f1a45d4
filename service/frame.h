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
    MSG_OK = 64,
    MSG_FAIL = 65,
};

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
