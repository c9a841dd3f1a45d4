// Loopback plumbing for the whole-process figures: starting a server process (the daemon or one
// of the baselines) in a process group of its own, and the raw request/reply client that drives
// both the same way, so the only thing that differs between a figure and its baseline is the
// server.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();
// A connected socket to 127.0.0.1:port, or -1.
int connect_loopback(int port);
bool send_all(int fd, const void *buf, size_t n);
bool recv_all(int fd, void *buf, size_t n);

// A server started from argv (argv[0] is the program) whose stdout and stderr go to log_path.
// It runs in a process group of its own; the whole group is killed when the object dies.
class server {
public:
    server(const std::vector<std::string> &argv, int port, const std::string &log_path);
    ~server();
    server(const server &) = delete;
    server &operator=(const server &) = delete;

    bool ok() const { return ok_; }  // the process accepts connections on its port
    pid_t pid() const { return pid_; }
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    bool ok_ = false;
};

// The reply header fields the benchmarks look at.
struct reply_info {
    bool ok = false;  // a whole reply arrived with the right magic
    uint8_t status = 0;
    uint32_t pid = 0;
    uint32_t count = 0;
    uint32_t payload = 0;
};

// The 32-byte request header for code and count, with `payload` bytes to follow.
void make_header(uint8_t *out, uint8_t code, uint32_t count, size_t payload);
// One request (header and payload in one writev) and its whole reply; reply payload bytes land
// in `sink` (at least as large as any payload that can come back).
reply_info round_trip(int fd, uint8_t code, uint32_t count, const uint8_t *payload, size_t n,
                      uint8_t *sink, size_t sink_len);

// The baselines, run as `tessal_bench --serve=KIND --port=N` so each is a fresh process:
//   pingpong  one connection at a time: read 32 bytes, write them back
//   sink      one connection at a time: read a framed request (length from the header) into an
//             8 MiB buffer, answer with a 32-byte header
//   sink:SIM  the same, and each payload written to a simulated port configured by SIM through
//             the link code (the port opened and ECP negotiated once): a WRITE after INIT
//   fork      accept, fork a child per connection that answers 32 bytes per 32 read (reaped with
//             waitpid, so their processor time shows in the server's cutime and cstime)
//   idle      a listener that blocks in select and is never connected to
// Never returns once it has listened; -1 when it could not.
int serve_baseline(const std::string &kind, int port);

}  // namespace bench
