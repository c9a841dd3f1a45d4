// A scripted stand-in for the daemon: it accepts connections on 127.0.0.1 one after the other,
// reads each request whole, records its exact bytes and answers with whatever bytes the script
// says, when it says, so a test can send well-formed replies, broken ones, late ones or none, or
// hang up halfway through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <thread>
#include <vector>

using bytes = std::vector<uint8_t>;

struct fake_step {
    bytes reply;               // sent once the request is in
    bool close_after = false;  // hang up right after `reply`; the next step is on a new connection
    int delay_ms = 0;          // wait this long before replying
    bool silent = false;       // never reply: hold the connection until the client leaves
};

class fake_server {
public:
    // Serves up to `connections` connections in turn; the script runs on across them.
    explicit fake_server(std::vector<fake_step> script, int connections = 1);
    ~fake_server();
    fake_server(const fake_server &) = delete;
    fake_server &operator=(const fake_server &) = delete;

    uint16_t port() const { return port_; }
    // Waits until the client has gone (or the script hung up) and returns every request
    // received, in order, including any that came after the script ran out.
    std::vector<bytes> finish();

private:
    void serve();
    bool serve_connection(int fd, size_t &step);

    int listener_ = -1;
    int connections_ = 1;
    uint16_t port_ = 0;
    std::vector<fake_step> script_;
    std::vector<bytes> requests_;
    std::thread thread_;
};

// A well-formed reply as the daemon sends it: version 1, zero reserved bytes.
bytes reply_msg(int status, uint32_t count, uint32_t pid = 4242,
                std::span<const uint8_t> payload = {});
// The header a client must send for a request.
bytes request_header(int code, uint32_t count, size_t payload_len);
bytes concat(const bytes &a, std::span<const uint8_t> b);
// The first n bytes of b: a reply cut off where a hang-up would cut it.
bytes head(const bytes &b, size_t n);
// Bytes 0, 1, 2, ... wrapping at 251 so a misplaced chunk cannot line up by accident.
bytes pattern(size_t n, unsigned seed = 0);

// A listener whose accept queue is full: a connect there gets no answer at all, as with a daemon
// host that drops packets or an accept queue that never drains.
class full_port {
public:
    full_port();
    ~full_port();
    uint16_t port() const { return port_; }

private:
    int listener_ = -1, filler_ = -1;
    uint16_t port_ = 0;
};

// A listener that never accepts: connections complete, and nothing they send is ever read.
class mute_port {
public:
    mute_port();
    ~mute_port();
    uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    uint16_t port_ = 0;
};

// A port with a socket bound but not listening: connecting to it is refused, reliably.
class refused_port {
public:
    refused_port();
    ~refused_port();
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};
