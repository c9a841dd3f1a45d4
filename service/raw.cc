// The raw print port (AppSocket, "JetDirect"): one connection is one print job, with no framing.
//
// Every desktop system prints to such a port with its own driver and nothing else installed, so
// it is the cheapest way to share the printer. It is one more way in to the same device entry
// points and the same port lock, not a second request path: the service process takes the port
// as an INIT would (the same fair queue, --wait-timeout, caps and per-peer limits, enforced by
// the listener and dpa_init), streams everything the client sends through dpa_write, and gives
// the port back as RESET does (the FIFO drained, compatibility mode) when the client closes.
// Nothing of another client's can come between, since the port is held for the whole job.
//
// A raw client cannot be told "busy" or "printer off", and a reset is no answer either: CUPS's
// socket backend, its job already in the kernel's buffers, takes a reset after its half-close as
// the end of a printed job (measured: exit status 0, "Print file sent"). So a job waits for the
// port, and for a printer that does not answer the negotiation, for as long as its client stays
// connected, not only --wait-timeout: in the same queue, in turn, trying the negotiation again
// after 1 s, doubling to 8 s. Only a port that cannot be acquired at all refuses it (a reset).
// The listener's refusals (allow list, caps) reset the connection at once, before the client
// has sent anything if it can.
//
// What the printer sends back is relayed to the client. In ECP forward idle a peripheral with
// data for the host pulls nPeriphRequest (nFault) low, so the link is turned only when there is
// something to read, and never while the job streams: the signal is looked at only once the
// client has been quiet for kWatchMs, while the printer is paused, and after the client's end of
// the job. After that end (a half-close, as CUPS's socket backend and `nc -N` do) the connection
// stays open until the printed bytes have left the FIFO; a printer that then asks to speak is
// heard until it has had nothing to say for kAnswerQuietMs, and one that does not ends the job at
// once, so the next job starts without waiting out a quiet window.
//
// A printer that stops taking data does not fail the job while its client is there: the rest is
// offered again after a pause (1 s, doubling to 8 s, as the clients do), watching the client for
// a reset. The client is bounded as any holder is: --hold-timeout once another client waits,
// counted from the last byte that moved to or from the printer (or the printer's last refusal),
// and --idle-timeout when it is given. A raw job has no messages, so its rate floor is an
// allowance: io_timeout_ms worth of CONN_MIN_RATE bytes, spent by the time the job waits for its
// client while another client waits for the port, earned back by the client's bytes. A trickle
// spends it in --io-timeout and the job is cut (a reset, the partial job logged as cut); a client
// that streams, or pauses while no one else wants the printer, never runs out.
//
// Rejected: a thread that reads the client while the port is busy (the request loop's rule is
// one thing at a time, and the kernel's socket buffer already holds the next chunk), and polling
// the reverse channel with a READ between chunks (every READ turns the link and waits out its
// expiry: a tenth of a second per look, whether or not the printer had anything to say).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "port/log.h"
#include "service/daemon.h"
#include "wire/frame.h"
#include "service/requests.h"

namespace {

constexpr size_t kChunk = 256 * 1024;      // read from the client, then written to the printer
constexpr size_t kBackCap = 64 * 1024;     // printer bytes on their way to the client
constexpr int64_t kWatchMs = 20;           // client quiet this long: look at nPeriphRequest
constexpr int64_t kAnswerQuietMs = 500;    // after the job: the printer silent this long ends it
constexpr int64_t kFruitlessMs = 1000;     // after a reverse read that found nothing
constexpr int kFirstPauseMs = 1000, kMaxPauseMs = 8000;
constexpr int64_t kWaitForEverMs = 86400000LL * 365;  // a raw job's wait for the port

struct job {
    int fd = -1;
    char peer[64] = "?";
    std::unique_ptr<uint8_t[]> buf{new uint8_t[kChunk]};
    size_t have = 0, off = 0;  // bytes from the client in buf, and how many of them are printed
    std::unique_ptr<uint8_t[]> back{new uint8_t[kBackCap]};
    size_t back_len = 0;
    uint64_t printed = 0, relayed = 0;
    int64_t start = 0, heard = 0;  // the port taken; the client's last byte
    int64_t moved = 0;             // the last progress on the port, for the hold bound
    int64_t allowance = 0;         // the rate floor's bytes in hand
    int64_t counted = 0;           // the floor's clock: waits up to here are paid for
    int64_t next_look = 0;         // no reverse read before this
    bool eof = false;
    const char *cut = nullptr;     // why the job ended early, or nullptr
};

int64_t now() { return conn_now_ms(); }

// What the client takes now of what the printer said; the rest waits, and while it waits no
// more is read from the printer (it keeps its data and nFault low).
void flush_back(job &j) {
    if (j.back_len == 0)
        return;
    const ssize_t n = send(j.fd, j.back.get(), j.back_len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0)
        return;
    j.relayed += uint64_t(n);
    j.back_len -= size_t(n);
    std::memmove(j.back.get(), j.back.get() + n, j.back_len);
}

// Reads what the printer has to say, while it says it has something and there is room; the
// bytes read. A printer that asks (nFault low) and then sends nothing is not asked again for a
// second, so a stuck signal cannot keep the link turning.
size_t relay(job &j) {
    size_t got = 0;
    while (j.back_len < kBackCap && now() >= j.next_look && dpa_reverse_pending() == 1) {
        const int n = dpa_read(j.back.get() + j.back_len, int32_t(kBackCap - j.back_len));
        if (n <= 0) {
            j.next_look = now() + kFruitlessMs;
            break;
        }
        port_lock_count(0, uint64_t(n));
        j.moved = now();
        j.back_len += size_t(n);
        got += size_t(n);
        flush_back(j);
    }
    flush_back(j);
    return got;
}

// Sleeps on the client until deadline (or until it can take reverse bytes): false when the
// connection is gone (reset) or the daemon stops. Incoming data is not read here.
bool rest(job &j, int64_t deadline) {
    pollfd p{j.fd, short(j.back_len ? POLLOUT : 0), 0};
    const int n = conn_poll(&p, 1, deadline, 1);
    if (n < 0) {
        j.cut = conn_stopping() ? "the daemon is stopping" : "the wait failed";
        return false;
    }
    if (p.revents & (POLLERR | POLLHUP)) {
        j.cut = "the client reset the connection";
        return false;
    }
    if (p.revents & POLLOUT)
        flush_back(j);
    return true;
}

// Prints what is in the buffer. A printer that takes nothing for a WRITE's 5 s is paused: the
// rest goes again after a pause, for as long as the client is there.
bool print_buffer(job &j) {
    int pause_ms = kFirstPauseMs;
    bool paused = false;
    while (j.off < j.have) {
        const int n = dpa_write(j.buf.get() + j.off, int32_t(j.have - j.off));
        if (n > 0) {
            j.off += size_t(n);
            j.printed += uint64_t(n);
            port_lock_count(uint64_t(n), 0);
            j.moved = now();
            pause_ms = kFirstPauseMs;
            continue;
        }
        log_trace(2, "job from %s: printer not taking data, retrying in %d s\n", j.peer, pause_ms / 1000);
        relay(j);
        if (!rest(j, now() + pause_ms))
            return false;
        pause_ms = std::min(pause_ms * 2, kMaxPauseMs);
        paused = true;
    }
    if (paused)
        j.heard = j.moved = now();  // the client was kept waiting, not silent: its bounds start again
    j.have = j.off = 0;
    return true;
}

// Waits for the client's next bytes, looking at the printer whenever the client is quiet. False
// when the job is to end: the daemon stops, or the client is silent beyond the holders' bounds.
bool wait_for_client(job &j) {
    j.counted = now();
    for (;;) {
        const int64_t idle = idle_limit_ms();
        const int64_t idle_at = idle > 0 ? j.heard + idle : 0;
        // A daemon that drains (stops once its jobs are done) waits as another client would.
        const bool others = port_lock_others_wait() || conn_draining();
        const int64_t hold_at = hold_timeout_ms > 0 && others ? j.moved + hold_timeout_ms : 0;
        if (others)
            j.allowance -= (now() - j.counted) * CONN_MIN_RATE / 1000;
        j.counted = now();
        if (j.allowance < 0) {
            j.cut = "the client sent too slowly while others waited";
            return false;
        }
        pollfd p[2] = {{j.fd, short(POLLIN | (j.back_len ? POLLOUT : 0)), 0}, {port_lock_wake_fd(), POLLIN, 0}};
        const int n = conn_poll(p, 2, now() + kWatchMs, 1);
        if (n < 0) {
            j.cut = conn_stopping() ? "the daemon is stopping" : "the wait failed";
            return false;
        }
        if (p[0].revents & POLLOUT)
            flush_back(j);
        if (p[0].revents & (POLLIN | POLLERR | POLLHUP))
            return true;  // bytes, the end of the job or a reset: the read will tell
        if (p[1].revents)
            port_lock_drain();  // the queue changed: the hold bound may apply now
        relay(j);
        const int64_t t = now();
        if (idle_at != 0 && t >= idle_at) {
            j.cut = "the client was idle too long";
            return false;
        }
        if (hold_at != 0 && t >= hold_at) {
            j.cut = conn_draining() ? "the client held the port idle while the daemon stops"
                                    : "the client held the port idle while others waited";
            return false;
        }
    }
}

// After the client's end of the job: the printed bytes leave the FIFO (watched for up to 2 ms, as
// the last FIFO's worth takes microseconds at any usual rate, then looked at after 1 ms, doubling
// to kWatchMs, for a printer that is busy), then the printer is asked once whether it has
// something to say. Only if
// it pulls nPeriphRequest low is the port kept for its answer, which goes back until it has had
// nothing to say for kAnswerQuietMs; otherwise the job ends at once and the port goes to the next
// one, so a queue of jobs runs back to back rather than at one job per quiet window. The job is
// complete by now, so a client that went away meanwhile cuts nothing short.
void answer_back(job &j) {
    int pending = dpa_reverse_pending();
    for (const int64_t t0 = now(); pending == -1 && now() - t0 < 2;)
        pending = dpa_reverse_pending();
    for (int64_t pause = 1; pending == -1; pause = std::min(pause * 2, kWatchMs)) {
        if (!rest(j, now() + pause))
            break;
        pending = dpa_reverse_pending();
    }
    for (int64_t quiet_until = now() + kAnswerQuietMs; pending == 1;) {
        const int p = dpa_reverse_pending();
        if (p == -1 || (p == 1 && relay(j) > 0))
            quiet_until = now() + kAnswerQuietMs;  // still printing, or answering
        if (now() >= quiet_until || !rest(j, std::min(now() + kWatchMs, quiet_until)))
            break;
    }
    j.cut = nullptr;
}

// The port is taken only once the job has begun: a connection that sends nothing (a monitor that
// checks the port is open, a client still rendering) keeps no one else from the printer. False
// when there is nothing to print: the client closed without a byte, was silent beyond
// --idle-timeout, or the daemon stops.
bool wait_for_first_byte(job &j) {
    for (;;) {
        pollfd p{j.fd, POLLIN, 0};
        int64_t idle_at = idle_timeout_ms > 0 ? j.heard + idle_timeout_ms : 0;
        // While the daemon stops, a connection that has sent nothing gets --io-timeout to begin.
        if (conn_draining() && (idle_at == 0 || j.heard + io_timeout_ms < idle_at))
            idle_at = j.heard + io_timeout_ms;
        const int n = conn_poll(&p, 1, idle_at, 1);
        if (n < 0 || (n == 0 && idle_at != 0 && now() >= idle_at))
            return false;
        uint8_t b;
        if (n > 0)
            return recv(j.fd, &b, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    }
}

// A reset that came while the job waited for the port (a client cancelling a job it had already
// sent and half-closed): the kernel still holds the bytes, but nothing of the job is printed.
bool cancelled(const job &j) {
    pollfd p{j.fd, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

// Takes the port for the job: waits in the queue, and for a printer that does not answer, while
// the client is there. False when the job is not to be printed.
bool take_port(job &j) {
    wait_timeout_ms = kWaitForEverMs;  // this process serves one raw job and nothing else
    int pause_ms = kFirstPauseMs;
    int said = -1;
    for (;;) {
        const int why = dpa_init(1);
        if (why == 0)
            return true;
        if (why == MSG_FAIL_PORT_ACCESS) {
            log_trace(2, "job from %s: not printed, %s\n", j.peer, msg_fail_text(uint32_t(why)));
            return false;
        }
        if (!rest(j, now()))
            return false;  // the client left the queue, or the daemon stops
        if (why != said)
            log_trace(2, "job from %s: %s, retrying\n", j.peer, msg_fail_text(uint32_t(why)));
        said = why;
        if (!rest(j, now() + pause_ms))
            return false;
        pause_ms = std::min(pause_ms * 2, kMaxPauseMs);
    }
}

// Closes with a reset: the client must not take a refused or broken job for a printed one. It is
// set from the start of the job, so even a process killed half-way resets its connection, and
// taken back only when the job ended whole.
void reset_connection(int fd, bool reset = true) {
    const linger l{reset ? 1 : 0, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void describe_peer(int fd, char *out, size_t len) {
    sockaddr_storage sa{};
    socklen_t sl = sizeof sa;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &sl) == 0)
        access_describe(reinterpret_cast<sockaddr *>(&sa), out, len);
}

}  // namespace

extern "C" int serve_raw(int fd) {
    job j;
    j.fd = fd;
    describe_peer(fd, j.peer, sizeof j.peer);
    dpa_set_client(fd);
    port_lock_set_client(fd);
    j.heard = now();
    conn_keep_on_drain();  // a stop of the daemon lets the job finish; only the second step cuts it
    reset_connection(fd);
    if (!wait_for_first_byte(j)) {
        reset_connection(fd, conn_stopping());
        return 0;  // no job
    }
    if (!take_port(j))
        return 0;
    j.start = j.heard = j.moved = now();
    j.allowance = io_timeout_ms * CONN_MIN_RATE / 1000;
    if (cancelled(j))
        j.cut = "the client reset the connection before the port was taken";
    while (j.cut == nullptr) {
        if (!print_buffer(j))
            break;
        // A client that never pauses never lets the process sleep in a wait, where a stop
        // request gets through: look for one between chunks.
        conn_poll(nullptr, 0, now(), 1);
        if (conn_stopping()) {
            j.cut = "the daemon is stopping";
            break;
        }
        if (j.eof) {
            answer_back(j);
            break;
        }
        const ssize_t r = recv(fd, j.buf.get(), kChunk, MSG_DONTWAIT);
        if (r > 0) {
            j.have = size_t(r);
            j.heard = now();
            j.allowance = std::min(j.allowance + r, io_timeout_ms * CONN_MIN_RATE / 1000);
        } else if (r == 0) {
            j.eof = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            j.cut = "the client reset the connection";
            break;
        } else if (!wait_for_client(j)) {
            break;
        }
    }
    dpa_reset();  // the FIFO drained, compatibility mode, the port given back
    const int64_t ms = now() - j.start;
    char back[48] = "";
    if (j.relayed > 0)
        std::snprintf(back, sizeof back, ", %llu bytes back", static_cast<unsigned long long>(j.relayed));
    log_trace(2, "job from %s: %llu bytes, %lld.%lld s%s%s%s\n", j.peer, static_cast<unsigned long long>(j.printed),
              static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000 / 100), back,
              j.cut ? ", cut short: " : "", j.cut ? j.cut : "");
    reset_connection(fd, j.cut != nullptr);
    return 0;
}
