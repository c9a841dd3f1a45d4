// Black-box helpers: start the built daemon as a process of its own and talk to it over
// loopback with raw frames, so the tests see exactly the bytes a client would.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testd {

// A TCP port that was free a moment ago (on both families), below the kernel's ephemeral range.
int free_port();

// The daemon, started in a process group of its own (so the listener and all its service
// processes are killed together when the object dies). Standard output and error go to files.
class daemon {
public:
    // Starts TESSAL_BIN with --no-dnssd and args. When listen_port > 0, waits until it accepts
    // connections there (for a minute at most, and only while it runs). A listening socket
    // passed_fd >= 0 is handed over as systemd does it: descriptor 3, LISTEN_FDS=1, LISTEN_PID.
    // TESSAL_SIM_EXTRA (e.g. "jitter=7"), when set, goes before the words of every --sim
    // configuration, so a whole run can use another timing model (a test's own words still win).
    daemon(std::vector<std::string> args, int listen_port, int passed_fd = -1);
    ~daemon();
    daemon(const daemon &) = delete;
    daemon &operator=(const daemon &) = delete;

    pid_t pid() const { return pid_; }
    std::string out() const;  // standard output so far
    std::string err() const;  // standard error so far
    // Waits for the started command itself to exit; its exit status, or -1 on time-out.
    int wait_exit(int timeout_ms);
    // Waits until out() or err() contains text; true when it appeared.
    bool wait_for(const std::string &text, bool in_err, int timeout_ms) const;
    // The pids of the process group (listener and service processes) still alive.
    std::vector<pid_t> group() const;
    // A daemon on the simulator fails its test at the end when the simulator reported a host
    // error ("sim: host error": a link that would harm or lose data on a real port), unless the
    // test says it provokes one.
    void allow_host_errors() { check_host_errors_ = false; }
    // Whether it accepted a connection on listen_port while starting.
    bool up() const { return up_; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    bool check_host_errors_ = false;  // set for a daemon started with --sim
    bool up_ = false;
    int status_ = -1;  // the exit status, once reaped
    std::string out_path_, err_path_;
};

int connect_to(int port);  // -1 when refused
// The IPv4 loopback address at port, for a socket a test sets up itself.
sockaddr_in loopback(int port);
// Connect to host:port (IPv4 or IPv6 literal) from the local address `from` ("" for any).
int connect_addr(const std::string &host, int port, const std::string &from = "");

struct reply {
    bool ok = false;  // 32 header bytes arrived
    uint32_t magic = 0, length = 0, pid = 0, count = 0;
    uint8_t version = 0, code = 0;
    bool reserved_zero = false;
    std::vector<uint8_t> payload;
};

std::vector<uint8_t> frame(uint8_t code, int32_t count, const std::vector<uint8_t> &payload = {},
                           int64_t length = -1 /* default: 32 + payload */);
bool send_all(int fd, const std::vector<uint8_t> &bytes);
// Reads one reply (header and its payload); ok is false when the stream ended first.
reply read_reply(int fd, int timeout_ms = 60000);
// True when the peer closes the connection (end of stream) within the time.
bool closed_by_peer(int fd, int timeout_ms = 60000);
// Polls `tessal --status=PID` (PID: the daemon on the simulator) until its report contains text
// ("held by", "waiting 2:"); true when it did within the time.
bool status_shows(pid_t daemon_pid, const std::string &text, int timeout_ms = 60000);
// Polls cond every 10 ms until it holds or timeout_ms have passed; its last value.
bool wait_until(const std::function<bool()> &cond, int timeout_ms);

}  // namespace testd
