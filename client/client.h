// The client side of tessal's request/reply protocol: one TCP connection to the daemon, one
// function per request, a result that says either what the daemon answered (status and count) or
// why no usable answer came, and on top of those the two loops every printing client needs:
// waiting for a busy printer, and sending a job to a printer that pauses.
//
// The library has its own small encoder and decoder rather than the daemon's recv_request and
// send_reply: those build messages in place in the daemon's 8 MiB buffer and trust what they
// read, while a client must check every reply and must not need the daemon to link. It borrows
// only the constants and the code names from wire/frame.h so the two sides cannot drift.
//
// Nothing here prints or exits: every failure comes back in a tc_result with a message, and the
// caller decides what to tell the user; progress and retries are told through tc_events. A reply
// that breaks the protocol, a connection that ends in the middle of one, a time-out or a
// cancellation leaves the stream at an unknown position, so the connection is closed then and
// later requests fail with "not connected" instead of reading garbage.
//
// Every wait (connect, send, reply, the pauses between retries) polls the socket beside the
// caller's cancel descriptor and has a deadline, so a signal handler or another thread can end a
// job at once. The deadlines are generous on purpose: a reply is given reply_timeout_ms plus one
// second per TC_SLOWEST_RATE bytes it carries, because a WRITE's reply comes only when a slow
// printer has taken the bytes; a dead peer is found by TCP keepalive instead.
//
// Rejected: C++ exceptions (a broken stream is an expected outcome, not an exceptional one);
// blocking sockets with SO_RCVTIMEO (a signal would still restart or cut them at random points);
// a separate thread per wait (cancellation is a descriptor away).
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "wire/frame.h"

// The largest payload one message carries: the daemon's buffer less the header.
inline constexpr size_t TC_MAX_PAYLOAD = MSG_CAPACITY - MSG_HEADER_SIZE;
// What the clients put in one WRITE: small enough that progress is seen and a stalled printer is
// noticed within seconds, large enough that the round trip costs nothing against the link.
inline constexpr size_t TC_WRITE_CHUNK = 256 * 1024;
// The slowest link a reply deadline allows for, in bytes per second of payload.
inline constexpr uint64_t TC_SLOWEST_RATE = 4096;
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
    timeout,    // no connection or no whole reply within its deadline
    cancelled,  // the caller's cancel flag or descriptor ended the wait
};

struct tc_result {
    tc_errc error = tc_errc::none;
    int status = 0;       // MSG_OK or MSG_FAIL when error is none
    uint64_t count = 0;   // the reply's count (an INIT FAIL's reason); for a job, bytes written
    std::string message;  // what went wrong, when error is not none

    // A well-formed reply with status OK. Callers still compare count with what they asked.
    bool ok() const { return error == tc_errc::none && status == MSG_OK; }
};

// Time-outs, keepalive and cancellation of a connection. Defaults never cut a healthy job.
struct tc_options {
    int connect_timeout_ms = 30000;  // for each address the name resolves to
    int reply_timeout_ms = 60000;    // plus a second per TC_SLOWEST_RATE payload bytes
    int keepalive_idle_s = 60;       // first probe after this much silence; 0 turns it off
    int keepalive_interval_s = 10;
    int keepalive_count = 6;
    // A wait ends with tc_errc::cancelled once *cancel is non-zero (checked before every wait
    // and whenever a signal interrupts one) or once cancel_fd becomes readable (a self-pipe a
    // signal handler writes to). Either may be left unset.
    const volatile sig_atomic_t *cancel = nullptr;
    int cancel_fd = -1;
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
    tc_options opts;
    uint32_t last_pid = 0;  // the service process that sent the last well-formed reply
    std::string host;       // where tc_connect went, for reconnecting
    uint16_t port = 0;
};

// How long a job keeps trying a printer that does not take data or a port that stays busy, and
// how long it pauses between tries (doubling from pause_ms up to max_pause_ms).
struct tc_patience {
    int give_up_ms = 300000;  // without a byte taken, or without the port; 0: for ever
    int pause_ms = 1000;
    int max_pause_ms = 8000;
    int waiting_notice_ms = 2000;  // an INIT unanswered this long waits for the port lock
};

// What a job tells its caller while it runs; every member may be left empty.
struct tc_events {
    std::function<void()> waiting;                 // INIT unanswered for waiting_notice_ms
    std::function<void(uint32_t reason, int pause_ms)> busy;  // INIT refused for now; retrying
    std::function<void(uint64_t written, int pause_ms)> stalled;  // a WRITE came back short
    std::function<void(uint64_t written)> resumed;   // bytes taken again after a stall
    std::function<void(uint64_t written)> progress;  // after every WRITE that took bytes
};

/* client.cc */
// Resolves `host` (a name or an IPv4/IPv6 literal, brackets allowed around IPv6, an IPv6 zone
// after '%') and connects to the first address that accepts, within opts.connect_timeout_ms
// each. Any earlier connection of `c` is closed first; `c.opts` is kept.
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
// Why an INIT failed, in words: the reason the daemon gave, or a plain "could not do it" for a
// daemon that gives none (count 0).
std::string tc_fail_text(const tc_result &r);
// True for an INIT FAIL that is worth trying again later: the port was busy, or the daemon's
// connection caps turned the client away.
bool tc_fail_is_temporary(const tc_result &r);

// Milliseconds on the monotonic clock the deadlines use (a clock step never stretches them).
int64_t tc_now_ms();

/* devid.cc */
// The longest Device ID a reply may carry: what a two-byte length field that counts itself allows.
inline constexpr size_t TC_DEVICE_ID_MAX = 65533;
// One DEVICE_ID request: the printer's IEEE 1284 Device ID ("MFG:...;MDL:...;") in `id`, exactly
// as the printer sent it (control bytes included), count = its length. FAIL carries the reason in
// count (tc_fail_text). An older daemon answers the unknown request with an empty OK: ok() with
// count 0 and `id` empty, which means "no ID available".
tc_result tc_device_id(tc_client &c, std::string &id);
// The fields of an ID. Keys are matched without regard to case, blanks around keys and values are
// trimmed, the long names count too (MANUFACTURER, MODEL, COMMAND SET, CLASS, DESCRIPTION), the
// first of each wins; a missing one is "". Values lose their control bytes.
struct tc_id_fields {
    std::string manufacturer, model, command_set, device_class, description;
};
tc_id_fields tc_parse_device_id(std::string_view id);
// The ID fit for a terminal or a log line: every control byte (below 0x20, and 0x7F) left out.
std::string tc_device_id_clean(std::string_view id);

/* report.cc */
// done / total as a whole percentage, 0..100 (100 when total is 0); never overflows.
unsigned tc_percent(uint64_t done, uint64_t total);
// "512 B", "12.3 KiB", "45.6 MiB", ...
std::string tc_size_text(uint64_t bytes);
// bytes over ms as "1.0 MiB/s"; "- /s" before any time has passed.
std::string tc_rate_text(uint64_t bytes, int64_t ms);

/* job.cc */
// Sleeps `ms` unless the caller cancels first: tc_errc::none or tc_errc::cancelled.
tc_result tc_pause(const tc_client &c, int ms);
// INIT, waiting for a busy port: an unanswered INIT is waited for (events.waiting after
// p.waiting_notice_ms) up to the reply time-out or the patience left, whichever is shorter (then
// tc_errc::timeout, "no answer from the daemon"); a FAIL that is temporary is tried again after a
// pause (reconnecting when the daemon hung up), all until `p.give_up_ms` has passed without the
// port. Connects first when `c` is not connected (to c.host and c.port). Returns the last
// INIT's result.
tc_result tc_init_wait(tc_client &c, const tc_patience &p, const tc_events &ev = {});
// `data` in WRITEs of at most TC_WRITE_CHUNK bytes. A short count means the printer paused: the
// rest is sent again after a pause, until `p.give_up_ms` passes without a byte taken. count =
// bytes written; a result that is ok() with count < data.size() means the job gave up.
tc_result tc_write_job(tc_client &c, std::span<const uint8_t> data, const tc_patience &p,
                       const tc_events &ev = {});
