// The port records as opening fills them (without the probe), on the recording fake, so a link
// test sees only the accesses of the operation it calls. DATA 0x378, STATUS 0x379, CONTROL 0x37A,
// FIFO 0x778, ECR 0x77A.
//
// CONTROL writes are always observed (`ctl` follows the last one, and `on_ctl` lets a test model
// a peripheral that reacts to the host's lines). CONTROL reads stay unscripted unless a test calls
// latch_control(): the soft-copy path must never read the register, and the fake fails a test on
// a read nobody scripted.
#pragma once

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ieee1284/ieee1284.h"
#include "port/log.h"
#include "port/regs.h"
#include "tests/support/fake_io.h"

namespace linktest {

constexpr uint16_t kData = 0x378;
constexpr uint16_t kStatus = 0x379;
constexpr uint16_t kControl = 0x37A;
constexpr uint16_t kFifo = 0x778;
constexpr uint16_t kEcr = 0x77A;

constexpr int64_t kMs = 1000;  // virtual microseconds
constexpr int64_t kSec = 1000 * kMs;

inline void fill_records() {
    port_data.base = 0x378;
    port_data.base_hi = 0x778;
    port_data.name = "LP0";
    port_data.irq = -1;
    port_data.phys = &port_data;
    port_data.cad = &cad_data;
    port_data.mode = LP_MODE_EPP;
    port_data.priv = &parport_pc_private_data;
    port_data.spin_us = 10;
    cad_data.port = &port_data;
    cad_data.timeout = 10;
    parport_pc_private_data.ecr_present = 1;
}

class LinkTest : public ::testing::Test {
protected:
    LinkTest() {
        fill_records();
        lp_fifo_surplus_clear();
        verbose = 0;
        io.on_write(kControl, [this](uint8_t v) {
            ctl = v;
            if (on_ctl)
                on_ctl(v);
        });
    }
    ~LinkTest() override {
        lp_fifo_surplus_clear();
        verbose = 0;
    }

    // CONTROL reads give back the last byte written, as the register does.
    void latch_control(uint8_t initial) {
        ctl = initial;
        io.on_read(kControl, [this] { return ctl; });
    }

    // The log as text without the clock reads, which only pad the waits.
    std::string steps() const {
        std::istringstream in(io.str());
        std::string line, out;
        while (std::getline(in, line))
            if (line != "T")
                out += line + "\n";
        return out;
    }

    // For tests that pin only how an operation begins.
    testing::AssertionResult steps_begin(const std::string &want) const {
        const std::string head = steps().substr(0, want.size());
        if (head == want)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "steps begin\n" << head << "instead of\n" << want;
    }

    std::vector<uint8_t> writes(uint16_t addr) const {
        std::vector<uint8_t> out;
        for (const fake::access &a : io.log)
            if (a.kind == 'W' && a.addr == addr)
                out.push_back(a.value);
        return out;
    }

    size_t sleeps(size_t us) const {
        size_t n = 0;
        for (const fake::access &a : io.log)
            n += a.kind == 'S' && a.n == us;
        return n;
    }

    // The last access that is not a clock read.
    fake::access last() const {
        for (auto it = io.log.rbegin(); it != io.log.rend(); ++it)
            if (it->kind != 'T')
                return *it;
        return {};
    }

    fake::fake_io io;  // constructed first: it zero-fills the records the constructor then fills
    struct port_data *port = &port_data;
    uint8_t ctl = 0;
    std::function<void(uint8_t)> on_ctl;
};

}  // namespace linktest
