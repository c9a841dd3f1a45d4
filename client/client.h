// The client side of tessal's request/reply protocol: one TCP connection to the daemon, one
// function per request, and a result that says either what the daemon answered (status and
// count) or why no usable answer came.
//
// The library has its own small encoder and decoder rather than the daemon's recv_request and
// send_reply: those build messages in place in the daemon's 8 MiB buffer and trust what they
// read, while a client must check every reply and must not need the daemon to link. It borrows
// only the constants and the code names from service/frame.h so the two sides cannot drift.
//
// Nothing here prints or exits: every failure comes back in a tc_result with a message, and the
// caller decides what to tell the user. A reply that breaks the protocol, or a connection that
// ends in the middle of one, leaves the stream at an unknown position, so the connection is
// closed then and later requests fail with "not connected" instead of reading garbage.
//
// Rejected: C++ exceptions (a broken stream is an expected outcome, not an exceptional one) and
// time-outs on replies (a READ may legitimately wait many seconds for a slow peripheral).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "service/frame.h"

// The largest payload one message carries: the daemon's buffer less the header.
inline constexpr size_t TC_MAX_PAYLOAD = MSG_CAPACITY - MSG_HEADER_SIZE;
inline constexpr const char *TC_DEFAULT_HOST = "127.0.0.1";
inline constexpr uint16_t TC_DEFAULT_PORT = 8822;

// Why a request got no usable reply; `none` means a well-formed reply arrived, whatever its
// status.
enum class tc_errc {
    none,
    connect,    // the name did not resolve, or the daemon refused or could not be reached
    broken,     // the stream failed or the daemon hung up before the whole reply was in
    bad_reply,  // a reply that breaks the framing (magic, length, payload against count)
    usage,      // the call itself was wrong: not connected, or a payload over the capacity
};

struct tc_result {
    tc_errc error = tc_errc::none;
    int status = 0;       // MSG_OK or MSG_FAIL when error is none
    uint64_t count = 0;   // the reply's count; for tc_write_all the sum over its requests
    std::string message;  // what went wrong, when error is not none

    // A well-formed reply with status OK. Callers still compare count with what they asked.
    bool ok() const { return error == tc_errc::none && status == MSG_OK; }
};

// The connection's socket; closed when the owner goes away, and movable but never copied so
// two owners can never close the same descriptor.
class tc_socket {
public:
    tc_socket() = default;
    explicit tc_socket(int fd) : fd_(fd) {}
    tc_socket(tc_socket &&other) noexcept : fd_(other.release()) {}
    tc_socket &operator=(tc_socket &&other) noexcept;
    tc_socket(const tc_socket &) = delete;
    tc_socket &operator=(const tc_socket &) = delete;
    ~tc_socket() { reset(); }

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

struct tc_client {
    tc_socket sock;
    uint32_t last_pid = 0;  // the service process that sent the last well-formed reply
};

/* client.cc */
// Resolves `host` (a name or an IPv4/IPv6 literal, brackets allowed around IPv6) and connects
// to the first address that accepts. Any earlier connection of `c` is closed first.
tc_result tc_connect(tc_client &c, std::string_view host = TC_DEFAULT_HOST,
                     uint16_t port = TC_DEFAULT_PORT);
bool tc_connected(const tc_client &c);
void tc_close(tc_client &c);
// The pid field of the last well-formed reply, 0 before the first one.
uint32_t tc_last_pid(const tc_client &c);

tc_result tc_init(tc_client &c);
tc_result tc_reset(tc_client &c);
// One WRITE request; `data` must fit in one message (TC_MAX_PAYLOAD). count = bytes written.
tc_result tc_write(tc_client &c, std::span<const uint8_t> data);
// `data` in WRITE requests of at most TC_MAX_PAYLOAD bytes, stopping after the first reply that
// is not OK or reports fewer bytes than were sent. count = total bytes written.
tc_result tc_write_all(tc_client &c, std::span<const uint8_t> data);
// One READ request for up to buf.size() bytes (at most TC_MAX_PAYLOAD); the reply's bytes land
// at the start of `buf`. count = bytes read, which may be fewer than asked.
tc_result tc_read(tc_client &c, std::span<uint8_t> buf);

// "connect", "broken stream", "bad reply", ... for messages and test output.
const char *tc_errc_name(tc_errc e);
