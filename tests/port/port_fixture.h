// A port record filled as opening fills it, but without the probe, so a test sees only the
// accesses of the operation it calls. DATA 0x378, STATUS 0x379, CONTROL 0x37A, FIFO 0x778,
// ECR 0x77A.
#pragma once

#include <gtest/gtest.h>

#include "port/regs.h"
#include "tests/support/fake_io.h"

namespace porttest {

constexpr uint16_t kData = 0x378;
constexpr uint16_t kStatus = 0x379;
constexpr uint16_t kControl = 0x37A;
constexpr uint16_t kFifo = 0x778;
constexpr uint16_t kEcr = 0x77A;

inline void fill_records(int64_t base) {
    port_data.base = base;
    port_data.base_hi = base + 0x400;
    port_data.name = "LP0";
    port_data.irq = -1;
    port_data.phys = &port_data;
    port_data.cad = &cad_data;
    port_data.mode = 64;
    port_data.priv = &parport_pc_private_data;
    port_data.spin_us = 10;
    cad_data.port = &port_data;
    cad_data.timeout = 10;
    parport_pc_private_data.ecr_present = 1;
}

class PortTest : public ::testing::Test {
protected:
    PortTest() { fill_records(0x378); }
    fake::fake_io io;  // constructed first: it zero-fills the records the constructor then fills
    struct port_data *port = &port_data;
};

}  // namespace porttest
