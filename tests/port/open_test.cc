// Opening and the ECP probe, against a small model of the extended registers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "port/regs.h"
#include "tests/port/port_fixture.h"

namespace {

using namespace porttest;

class InitState : public PortTest {};

// The ECR and FIFO in test and configuration mode, as far as the probe sees them: a FIFO of
// `depth` bytes whose full and empty bits are always right, a mode change to SPP or PS/2 that
// empties it, a serviceIntr that the port sets once armed (written 0) while the service
// condition holds (forward: at least `write_thr` bytes free; reverse: at least `read_thr`
// waiting), and cnfgA at the FIFO address in configuration mode. The direction comes from the
// CONTROL writes.
struct ecp_model {
    int depth = 16;
    int write_thr = 8;  // 0: service never comes
    int read_thr = 8;
    uint8_t cnfga = 0x10;
    int fill = 0;
    uint8_t ecr = 0x00;  // bits 7:2 as last written, serviceIntr possibly set by the port
    bool reverse = false;

    void attach(fake::fake_io &io, uint16_t fifo, uint16_t ecr_addr, uint16_t control) {
        io.on_read(ecr_addr, [this] { return read_ecr(); });
        io.on_write(ecr_addr, [this](uint8_t v) { write_ecr(v); });
        io.on_read(fifo, [this] { return read_fifo(); });
        io.on_write(fifo, [this](uint8_t) { write_fifo(); });
        io.on_write(control, [this](uint8_t v) { reverse = v & 0x20; });
    }
    uint8_t mode() const { return ecr & 0xE0; }
    bool service_due() const {
        if (reverse)
            return read_thr > 0 && fill >= read_thr;
        return write_thr > 0 && depth - fill >= write_thr;
    }
    uint8_t read_ecr() {
        if (!(ecr & 0x04) && service_due())
            ecr |= 0x04;
        return uint8_t((ecr & 0xFC) | (fill == depth ? 0x02 : 0) | (fill == 0 ? 0x01 : 0));
    }
    void write_ecr(uint8_t v) {
        ecr = v & 0xFC;
        if (mode() == 0x00 || mode() == 0x20)
            fill = 0;
    }
    uint8_t read_fifo() {
        if (mode() == 0xE0)
            return cnfga;
        if (fill > 0)
            fill--;
        return 0xAA;
    }
    void write_fifo() {
        if (fill < depth)
            fill++;
    }
};

class Probe : public PortTest {
protected:
    Probe() { model.attach(io, kFifo, kEcr, kControl); }
    ecp_model model;
    std::vector<uint8_t> ecr_writes() const {
        std::vector<uint8_t> out;
        for (const fake::access &a : io.only('W'))
            if (a.addr == kEcr)
                out.push_back(a.value);
        return out;
    }
};

std::string lines(const std::string &line, int n) {
    std::string out;
    for (int i = 0; i < n; i++)
        out += line;
    return out;
}

// ---- A 16-byte FIFO whose service comes after 8 reads and 8 writes -----------------------------

TEST_F(Probe, MeasuresSixteenByteFifoWithExactAccesses) {
    EXPECT_EQ(lp_probe_ecp(port), 1);
    const std::string expected =
        "W 77a 00\nW 77a c0\n"
        // depth: the full bit is read before every byte and once more after the 16th; test
        // mode was entered with serviceIntr 0, so the port flags service while the FIFO is
        // nearly empty
        "R 77a c5\nW 778 aa\n" + lines("R 77a c4\nW 778 aa\n", 15) + "R 77a c6\n"
        // arm the service condition: set serviceIntr, then clear it
        "R 77a c6\nW 77a c6\nR 77a c6\nW 77a c2\n"
        // write threshold: read a byte, 50 us, look at serviceIntr
        + lines("R 778 aa\nS 50\nR 77a c0\n", 7) + "R 778 aa\nS 50\nR 77a c4\n"
        // reverse: PS/2 mode, direction bit through the soft copy, test mode again, arm
        "R 77a c4\nW 77a 24\nW 37a 20\nR 77a 25\nW 77a c5\n"
        "R 77a c5\nW 77a c5\nR 77a c5\nW 77a c1\n"
        // read threshold: write a byte, look at serviceIntr, no pause
        + lines("W 778 aa\nR 77a c0\n", 7) + "W 778 aa\nR 77a c4\n"
        // configuration mode for cnfgA, then back to SPP keeping bits 4:0
        "W 77a 00\nW 77a f4\nR 778 10\nR 77a f5\nW 77a 15\n";
    EXPECT_EQ(io.str(), expected);
    EXPECT_EQ(parport_pc_private_data.fifo_size, 16);
    EXPECT_EQ(parport_pc_private_data.write_threshold, 8);
    EXPECT_EQ(parport_pc_private_data.read_threshold, 8);
    EXPECT_EQ(parport_pc_private_data.pword, 1);
    EXPECT_EQ(priv_ctr, 0x20);  // reverse until lp_init_state
}

TEST_F(Probe, OpeningWritesTheEcrInItsFixedOrder) {
    EXPECT_EQ(lp_port_open(0x378), &port_data);
    // 0x00, 0xC0, serviceIntr set, clear, PS/2, test, set, clear, 0x00, 0xF4, SPP, 0x34
    EXPECT_EQ(ecr_writes(),
              (std::vector<uint8_t>{0x00, 0xC0, 0xC6, 0xC2, 0x24, 0xC5, 0xC5, 0xC1, 0x00, 0xF4, 0x15, 0x34}));
    EXPECT_EQ(io.rw(kControl), (std::vector<std::pair<char, uint8_t>>{{'W', 0x20}, {'W', 0x00}}));
    EXPECT_EQ(io.rw(kData), (std::vector<std::pair<char, uint8_t>>{{'W', 0x00}}));
    const std::string s = io.str();
    EXPECT_EQ(s.substr(s.size() - 27), "W 77a 34\nW 378 00\nW 37a 00\n");
}

TEST_F(Probe, ThresholdsAreMeasuredEachInItsOwnDirection) {
    model.depth = 32;
    model.write_thr = 12;  // 12 free after 12 reads
    model.read_thr = 4;    // 4 waiting after 4 writes
    EXPECT_EQ(lp_probe_ecp(port), 1);
    EXPECT_EQ(parport_pc_private_data.fifo_size, 32);
    EXPECT_EQ(parport_pc_private_data.write_threshold, 12);
    EXPECT_EQ(parport_pc_private_data.read_threshold, 4);
    EXPECT_EQ(io.count('R', kFifo), 12u + 1u);  // + cnfgA
    EXPECT_EQ(io.count('W', kFifo), 32u + 4u);
}

TEST_F(Probe, ServiceThatNeverComesGivesZeroThresholdsAfterTheWholeFifo) {
    parport_pc_private_data.write_threshold = 9;
    parport_pc_private_data.read_threshold = 9;
    model.write_thr = 0;
    model.read_thr = 0;
    EXPECT_EQ(lp_probe_ecp(port), 1);
    EXPECT_EQ(parport_pc_private_data.fifo_size, 16);
    EXPECT_EQ(parport_pc_private_data.write_threshold, 0);
    EXPECT_EQ(parport_pc_private_data.read_threshold, 0);
    EXPECT_EQ(io.count('R', kFifo), 16u + 1u);
    EXPECT_EQ(io.count('S'), 16u);
    EXPECT_EQ(io.count('W', kFifo), 16u + 16u);
}

// ---- No FIFO, and a FIFO that is full from the start ------------------------------------------

TEST_F(Probe, FullBitThatNeverComesMeansNoFifoAndLeavesTheFieldsAlone) {
    model.depth = 100'000;
    parport_pc_private_data.fifo_size = 7;
    parport_pc_private_data.write_threshold = 3;
    parport_pc_private_data.read_threshold = 5;
    parport_pc_private_data.pword = 2;
    EXPECT_EQ(lp_probe_ecp(port), 0);
    const std::string expected = "W 77a 00\nW 77a c0\nR 77a c5\nW 778 aa\n" +
                                 lines("R 77a c4\nW 778 aa\n", 1023) + "W 77a 00\n";
    EXPECT_EQ(io.str(), expected);  // 1024 bytes, and no full-bit read after the last
    EXPECT_EQ(io.outs.size(), 0u);
    EXPECT_EQ(parport_pc_private_data.fifo_size, 7);
    EXPECT_EQ(parport_pc_private_data.write_threshold, 3);
    EXPECT_EQ(parport_pc_private_data.read_threshold, 5);
    EXPECT_EQ(parport_pc_private_data.pword, 2);
}

TEST_F(Probe, FifoOfExactly1024BytesCountsAsNone) {
    model.depth = 1024;
    EXPECT_EQ(lp_probe_ecp(port), 0);
    EXPECT_EQ(io.count('W', kFifo), 1024u);
    EXPECT_EQ(ecr_writes(), (std::vector<uint8_t>{0x00, 0xC0, 0x00}));
}

TEST_F(Probe, FifoOf1023BytesIsTheLargestMeasured) {
    model.depth = 1023;
    model.write_thr = 512;
    model.read_thr = 512;
    EXPECT_EQ(lp_probe_ecp(port), 1);
    EXPECT_EQ(parport_pc_private_data.fifo_size, 1023);
    EXPECT_EQ(parport_pc_private_data.write_threshold, 512);
    EXPECT_EQ(parport_pc_private_data.read_threshold, 512);
}

TEST_F(Probe, OpeningWithoutFifoStillInitialisesThePort) {
    model.depth = 100'000;
    EXPECT_EQ(lp_port_open(0x378), &port_data);
    EXPECT_EQ(ecr_writes(), (std::vector<uint8_t>{0x00, 0xC0, 0x00, 0x34}));
    EXPECT_EQ(io.rw(kControl), (std::vector<std::pair<char, uint8_t>>{{'W', 0x00}}));
    EXPECT_EQ(port_data.mode, 64);
    EXPECT_EQ(cad_data.timeout, 10);
}

TEST_F(Probe, FifoFullAtStartIsMeasuredAsZero) {
    model.depth = 0;
    model.cnfga = 0x20;
    parport_pc_private_data.write_threshold = 9;
    parport_pc_private_data.read_threshold = 9;
    EXPECT_EQ(lp_probe_ecp(port), 1);
    EXPECT_EQ(parport_pc_private_data.fifo_size, 0);
    EXPECT_EQ(parport_pc_private_data.write_threshold, 0);
    EXPECT_EQ(parport_pc_private_data.read_threshold, 0);
    EXPECT_EQ(parport_pc_private_data.pword, 4);
    EXPECT_EQ(io.count('W', kFifo), 0u);
    EXPECT_EQ(io.rw(kFifo), (std::vector<std::pair<char, uint8_t>>{{'R', 0x20}}));  // cnfgA only
    EXPECT_EQ(io.count('S'), 0u);
}

TEST_F(Probe, NoEcrMeansNoAccessAtAll) {
    parport_pc_private_data.ecr_present = 0;
    parport_pc_private_data.fifo_size = 7;
    EXPECT_EQ(lp_probe_ecp(port), 0);
    EXPECT_TRUE(io.log.empty());
    EXPECT_EQ(parport_pc_private_data.fifo_size, 7);
}

// ---- Ports the FIFO transfers cannot use ---------------------------------------------------------

// Nothing answers at 0x778 to 0x77A (a port set to SPP or EPP, an emulated ISA port): it reads 0xFF,
// "empty" and "full" at once. One read tells, and the probe touches nothing there.
TEST_F(Probe, OpeningAPortWithoutEcpRegistersReadsTheEcrOnceAndProbesNothing) {
    io.set(kEcr, 0xFF);
    EXPECT_EQ(lp_port_open(0x378), &port_data);
    EXPECT_EQ(io.str(), "R 77a ff\nW 77a 34\nW 378 00\nW 37a 00\n");
    EXPECT_EQ(parport_pc_private_data.ecr_present, 0);
    EXPECT_EQ(lp_port_has_fifo(&port_data), 0);
}

// ---- cnfgA: bits 6:4 give the FIFO word size -------------------------------------------------

TEST_F(Probe, CnfgADecodesBitsSixToFourOnly) {
    const struct {
        uint8_t cnfga;
        int pword;
    } table[] = {
        {0x00, 2}, {0x10, 1}, {0x20, 4}, {0x30, 1}, {0x40, 1}, {0x50, 1}, {0x60, 1}, {0x70, 1},
        {0x8F, 2}, {0x9F, 1}, {0xA5, 4}, {0x0F, 2}, {0xFF, 1},
    };
    model.depth = 0;  // the shortest probe that reaches cnfgA
    for (const auto &row : table) {
        SCOPED_TRACE(int(row.cnfga));
        model.cnfga = row.cnfga;
        parport_pc_private_data.pword = 0;
        EXPECT_EQ(lp_probe_ecp(port), 1);
        EXPECT_EQ(parport_pc_private_data.pword, row.pword);
    }
}

// ---- Opening ----------------------------------------------------------------------------------

TEST_F(Probe, OpeningFillsTheRecordsAndLinksThem) {
    port_data = {};
    cad_data = {};
    parport_pc_private_data = {};
    port_data.phase = LP_PH_REV_DATA;  // opening leaves the phase alone
    EXPECT_EQ(lp_port_open(0x378), &port_data);
    EXPECT_EQ(port_data.base, 0x378);
    EXPECT_EQ(port_data.base_hi, 0x778);
    ASSERT_NE(port_data.name, nullptr);
    EXPECT_STREQ(port_data.name, "LP0");
    EXPECT_EQ(port_data.irq, -1);
    EXPECT_EQ(port_data.phys, &port_data);
    EXPECT_EQ(port_data.cad, &cad_data);
    EXPECT_EQ(port_data.mode, 64);
    EXPECT_EQ(port_data.phase, LP_PH_REV_DATA);
    EXPECT_EQ(port_data.priv, &parport_pc_private_data);
    EXPECT_EQ(port_data.spin_us, 10);
    EXPECT_EQ(cad_data.port, &port_data);
    EXPECT_EQ(cad_data.timeout, 10);
    EXPECT_EQ(parport_pc_private_data.ecr_present, 1);
    EXPECT_EQ(parport_pc_private_data.fifo_size, 16);
    EXPECT_EQ(parport_pc_private_data.ctr_copy_mask, 0);
}

TEST_F(Probe, OpeningKeepsTheSoftCopyItFinds) {
    priv_ctr = 0x0C;  // neither priv_ctr nor ctr_copy is reset by opening
    EXPECT_EQ(lp_port_open(0x378), &port_data);
    EXPECT_EQ(io.rw(kControl), (std::vector<std::pair<char, uint8_t>>{{'W', 0x2C}, {'W', 0x0C}}));
    EXPECT_EQ(priv_ctr, 0x0C);
}

TEST(Opening, AnotherBaseMovesEveryAddress) {
    fake::fake_io io;
    ecp_model model;
    model.attach(io, 0x678, 0x67A, 0x27A);
    EXPECT_EQ(lp_port_open(0x278), &port_data);
    EXPECT_EQ(port_data.base_hi, 0x678);
    EXPECT_EQ(parport_pc_private_data.fifo_size, 16);
    for (const fake::access &a : io.log)
        if (a.kind == 'R' || a.kind == 'W') {
            EXPECT_TRUE(a.addr == 0x278 || a.addr == 0x27A || a.addr == 0x678 || a.addr == 0x67A)
                << std::hex << a.addr;
        }
    EXPECT_EQ(io.count('W', 0x278), 1u);
}

// ---- lp_init_state ----------------------------------------------------------------------------

TEST_F(InitState, InitStateSetsPs2ModeDataLowAndForward) {
    priv_ctr = 0x2F;
    lp_init_state(port);
    EXPECT_EQ(io.str(), "W 77a 34\nW 378 00\nW 37a 0f\n");  // the ECR is not read
    EXPECT_EQ(priv_ctr, 0x0F);
}

}  // namespace
