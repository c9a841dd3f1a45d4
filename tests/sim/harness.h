// A hand-driven host for the simulator tests: raw register accesses through the seam backend and
// the few IEEE 1284 host sequences the tests share, written out line by line so a test states
// exactly what the host did. The link code of ieee1284/ is deliberately not used here.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim.h"

namespace simtest {

constexpr uint16_t DATA = 0x378, STATUS = 0x379, CONTROL = 0x37A, FIFO = 0x778, ECR = 0x77A;

class host {
public:
    explicit host(const std::string &config) {
        char err[256] = "";
        sim = sim_create(config.c_str(), err, sizeof err);
        EXPECT_NE(sim, nullptr) << err;
        if (sim)
            io = sim_backend(sim);
    }
    ~host() { sim_destroy(sim); }
    host(const host &) = delete;
    host &operator=(const host &) = delete;

    bool ok() const { return sim != nullptr; }
    uint8_t in(uint16_t addr) { return io->inb(io->ctx, addr); }
    void out(uint16_t addr, uint8_t v) { io->outb(io->ctx, addr, v); }
    void outs(uint16_t addr, const std::vector<uint8_t> &bytes) { io->outsb(io->ctx, addr, bytes.data(), bytes.size()); }
    std::vector<uint8_t> ins(uint16_t addr, size_t n) {
        std::vector<uint8_t> v(n);
        io->insb(io->ctx, addr, v.data(), n);
        return v;
    }
    void sleep(unsigned us) { io->sleep_us(io->ctx, us); }
    uint8_t status() { return in(STATUS); }
    void ctl(uint8_t v) { out(CONTROL, v); }
    uint8_t ecr() { return in(ECR); }
    void ecr(uint8_t v) { out(ECR, v); }
    const char *state() { return sim_pstate_name(sim_peripheral_state(sim)); }
    uint64_t now() { return sim_now_us(sim); }

    // Poll STATUS until (status & mask) == expect; false after max_reads reads.
    bool wait(uint8_t mask, uint8_t expect, int max_reads = 100) {
        for (int i = 0; i < max_reads; i++)
            if ((status() & mask) == expect)
                return true;
        return false;
    }

    // Events 0 to 4 for a request byte; returns STATUS as read after event 4 (events 5 and 6).
    uint8_t negotiate(uint8_t request) {
        ctl(0x0C);         // compatibility idle: nInit high, nSelectIn low
        out(DATA, request); // event 0
        ctl(0x06);         // event 1: nSelectIn high, nAutoFd low
        EXPECT_EQ(status() & 0x78, 0x38) << "event 2";
        ctl(0x07);         // event 3: nStrobe low
        ctl(0x04);         // event 4: nStrobe and nAutoFd high
        return status();
    }

    // ECP negotiation and setup, ending in forward idle with CONTROL 0x06, the ECR in PS/2 mode
    // as opening leaves it (the only mode where the direction bit works).
    void ecp() {
        ecr(0x34);
        ASSERT_EQ(negotiate(0x10), 0xD8);
        ctl(0x06);  // event 30: HostAck low
        // Event 31: nAckReverse high; nFault (nPeriphRequest) low when the peer has data to send.
        ASSERT_EQ(status() & 0xF7, 0xF0);
    }

    // Forward to reverse by software: events 38, 39, then wait for 40.
    bool reverse() {
        ctl(0x06);  // event 38: HostAck low
        ctl(0x26);  // data lines are inputs
        ctl(0x22);  // event 39: nReverseRequest low
        return wait(0x20, 0x00);
    }

    // Termination, events 22 to 28; returns STATUS after event 22 and after event 25.
    std::pair<uint8_t, uint8_t> terminate() {
        ctl(0x0C);  // event 22: nSelectIn low, nAutoFd high
        const uint8_t s24 = status();
        ctl(0x0E);  // event 25: nAutoFd low
        const uint8_t s27 = status();
        ctl(0x0C);  // event 28: nAutoFd high
        return {s24, s27};
    }

    struct sim *sim = nullptr;
    const lp_io_backend *io = nullptr;
};

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = uint8_t(seed + i * 7 + (i >> 8));
    return v;
}

}  // namespace simtest
