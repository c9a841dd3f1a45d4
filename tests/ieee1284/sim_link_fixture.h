// The link code on the simulator, in virtual time: each test makes its own device, opens the port
// on it as INIT does (records forgotten, probe, initial state) and drives it only through the
// link's own operations. Times are read from the simulator's clock, so a 20 s time-out costs a
// fraction of a second of real time and its bounds are exact to the access.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ieee1284/ieee1284.h"
#include "port/io.h"
#include "port/log.h"
#include "port/regs.h"
#include "sim/sim.h"

namespace simlink {

constexpr uint64_t kMs = 1000;  // sim_now_us counts microseconds
constexpr uint64_t kSec = 1000 * kMs;
constexpr uint16_t kData = 0x378, kStatus = 0x379, kEcr = 0x77A;

// Distinct bytes that do not repeat with the FIFO's depth, so a lost, doubled or reordered byte
// shows up in a comparison.
inline std::vector<uint8_t> pattern(size_t n, uint8_t seed = 3) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = uint8_t(seed + i * 13 + (i >> 8) + (i >> 16));
    return v;
}

// Every test here fails when the simulator counted a host error or a lost byte (a link that would
// harm or lose data on a real port), unless it says it provokes them: allow_host_errors().
// TESSAL_SIM_EXTRA (e.g. "jitter=7") is put before every test's own words, so a whole run can go
// under another timing model.
class SimLink : public ::testing::Test {
protected:
    void allow_host_errors() { host_errors_allowed = true; }

    ~SimLink() override {
        if (sim != nullptr && !host_errors_allowed) {
            sim_counters c;
            sim_get_counters(sim, &c);
            EXPECT_EQ(c.host_errors, 0u) << "the simulator counted host errors (say allow_host_errors() if meant)";
            EXPECT_EQ(c.bytes_lost, 0u) << "the simulator counted printed bytes lost";
        }
        lp_io_use(nullptr);
        lp_port_forget();
        lp_fifo_surplus_clear();
        sim_destroy(sim);
    }

    // Virtual time and an unlimited link unless the test's own words say otherwise (a later
    // word wins).
    void open(const std::string &config) {
        char err[256] = "";
        const char *extra = std::getenv("TESSAL_SIM_EXTRA");
        const std::string words = "clock=virtual,rate=0" + std::string(extra && *extra ? "," : "") +
                                  (extra ? extra : "") + (config.empty() ? "" : "," + config);
        sim = sim_create(words.c_str(), err, sizeof err);
        ASSERT_NE(sim, nullptr) << err;
        verbose = 0;
        lp_port_forget();
        lp_fifo_surplus_clear();
        lp_io_use(sim_backend(sim));
        ASSERT_EQ(lp_io_acquire(0x378), 0);
        port = lp_port_open(0x378);
        ASSERT_NE(port, nullptr);
    }

    // Open and negotiate ECP, as the first INIT of a connection does.
    void open_ecp(const std::string &config) {
        ASSERT_NO_FATAL_FAILURE(open(config));
        ASSERT_EQ(lp_negotiate(port, LP_MODE_ECP), 0);
        ASSERT_EQ(port->phase, LP_PH_FWD_IDLE);
    }

    // A READ request as the device layer makes it: the block, then always the finish.
    std::vector<uint8_t> fifo_read(uint64_t len, int *finish = nullptr) {
        std::vector<uint8_t> got(len + 16, 0xEE);  // guard bytes past the end must stay
        const uint64_t n = lp_fifo_read_block(port, got.data(), len);
        const int f = lp_fifo_read_finish(port);
        if (finish)
            *finish = f;
        EXPECT_LE(n, len);
        for (size_t i = len; i < got.size(); i++)
            EXPECT_EQ(got[i], 0xEE) << "written past the end at " << i;
        got.resize(std::min(n, len));
        return got;
    }

    uint64_t fifo_write(const std::vector<uint8_t> &bytes) {
        return m_mfp_fifo_write_block(port, bytes.data(), bytes.size());
    }

    uint64_t sw_write(const std::vector<uint8_t> &bytes) {
        return m_parport_ieee1284_ecp_write_data(port, bytes.data(), bytes.size());
    }

    std::vector<uint8_t> sw_read(uint64_t len) {
        std::vector<uint8_t> got(len + 16, 0xEE);
        const uint64_t n = lp_ecp_read_data(port, got.data(), len);
        EXPECT_LE(n, len);
        for (size_t i = len; i < got.size(); i++)
            EXPECT_EQ(got[i], 0xEE) << "written past the end at " << i;
        got.resize(std::min(n, len));
        return got;
    }

    uint64_t now() { return sim_now_us(sim); }
    sim_pstate periph() { return sim_peripheral_state(sim); }
    uint8_t ecr() { return lp_inb(kEcr); }

    // A file for peer=source, removed with the test.
    std::string source_file(const std::vector<uint8_t> &bytes) {
        char name[] = "/tmp/tessal-linksim-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        FILE *f = fdopen(fd, "wb");
        EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        fclose(f);
        files.push_back(name);
        return name;
    }

    void TearDown() override {
        for (const std::string &f : files)
            std::remove(f.c_str());
    }

    struct sim *sim = nullptr;
    struct port_data *port = nullptr;
    std::vector<std::string> files;
    bool host_errors_allowed = false;
};

}  // namespace simlink
