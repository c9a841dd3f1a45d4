// End-to-end harness: the real daemon on the simulator, driven through the client library.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "client/client.h"
#include "tests/support/daemon.h"

namespace e2e {

inline std::string temp_file(const std::string &tag) {
    char tmpl[] = "/tmp/tessal-e2e-XXXXXX";
    const int fd = mkstemp(tmpl);
    close(fd);
    unlink(tmpl);
    return std::string(tmpl) + "." + tag;
}

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::vector<uint8_t> slurp_bytes(const std::string &path) {
    const std::string s = slurp(path);
    return {s.begin(), s.end()};
}

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    return v;
}

// A daemon on the simulator: "clock=virtual,rate=0" unless the configuration says otherwise.
// The simulator reports every host error (bus contention, printed bytes lost at a turn of the
// link) as an error line; a test whose daemon printed one fails, unless it says a killed holder
// may leave one behind.
//
// A port that was free a moment ago may have been taken since (another test's daemon, or a
// client's ephemeral port on a busy machine): a daemon that fails to bind is started again on
// fresh ports. With raw_port set, the raw print port is one of them (--raw-port=*raw_port).
class daemon_on_sim {
public:
    explicit daemon_on_sim(const std::string &config, std::vector<std::string> extra = {}, int *raw_port = nullptr) {
        for (int attempt = 0; attempt < 5; attempt++) {
            port_ = testd::free_port();
            std::vector<std::string> args{"-f", "-p", std::to_string(port_), "--sim=" + config};
            args.insert(args.end(), extra.begin(), extra.end());
            if (raw_port != nullptr)
                args.push_back("--raw-port=" + std::to_string(*raw_port = testd::free_port()));
            d_ = std::make_unique<testd::daemon>(args, port_);
            if (d_->wait_exit(0) != 2 || d_->err().find("socket bind failed") == std::string::npos)
                break;
        }
    }
    ~daemon_on_sim() {
        if (check_host_errors_) {
            EXPECT_EQ(d_->err().find("sim: host error"), std::string::npos) << d_->err();
        }
    }
    void allow_host_errors() { check_host_errors_ = false; }
    int port() const { return port_; }
    testd::daemon &proc() { return *d_; }
    tc_client connect() {
        tc_client c;
        const tc_result r = tc_connect(c, "127.0.0.1", uint16_t(port_));
        EXPECT_EQ(r.error, tc_errc::none) << r.message;
        return c;
    }

private:
    int port_ = 0;
    std::unique_ptr<testd::daemon> d_;
    bool check_host_errors_ = true;
};

inline void expect_ok(const tc_result &r, uint64_t count) {
    EXPECT_EQ(r.error, tc_errc::none) << r.message;
    EXPECT_EQ(r.status, MSG_OK);
    EXPECT_EQ(r.count, count);
}

}  // namespace e2e
