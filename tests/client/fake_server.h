// A scripted stand-in for the daemon: it accepts one connection on 127.0.0.1, reads each request
// whole, records its exact bytes and answers with whatever bytes the script says, so a test can
// send well-formed replies, broken ones, or hang up halfway through.
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
    bool close_after = false;  // hang up right after `reply`
};

class fake_server {
public:
    explicit fake_server(std::vector<fake_step> script);
    ~fake_server();
    fake_server(const fake_server &) = delete;
    fake_server &operator=(const fake_server &) = delete;

    uint16_t port() const { return port_; }
    // Waits until the client has gone (or the script hung up) and returns every request
    // received, in order, including any that came after the script ran out.
    std::vector<bytes> finish();

private:
    void serve();

    int listener_ = -1;
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
