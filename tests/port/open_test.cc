// Opening and the ECP probe, against a small model of the extended registers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ieee1284/ieee1284.h"
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
    Probe() {
        model.attach(io, kFifo, kEcr, kControl);
        io.set(kControl, 0xCC);  // lines at compatibility idle (bits 6 and 7 read as 1)
        io.set(kData, 0xFF);     // reversed lines with nothing driving them float high
    }
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
    // CONTROL is read first and only its line and direction bits are ever written back: nInit
    // stays high throughout (a fresh soft copy of 0 pulsed it low for the whole probe).
    EXPECT_EQ(io.rw(kControl),
              (std::vector<std::pair<char, uint8_t>>{{'R', 0xCC}, {'W', 0x2C}, {'W', 0x2C}, {'W', 0x0C}}));
    // The tri-state check: two patterns with the lines reversed, neither read back, then 0.
    EXPECT_EQ(io.rw(kData), (std::vector<std::pair<char, uint8_t>>{
                                {'W', 0x55}, {'R', 0xFF}, {'W', 0xAA}, {'R', 0xFF}, {'W', 0x00}}));
    const std::string s = io.str();
    EXPECT_EQ(s.substr(s.size() - 27), "R 378 ff\nW 378 00\nW 37a 0c\n");
    EXPECT_EQ(parport_pc_private_data.output_only, 0);
    EXPECT_EQ(port_data.mode, LP_MODE_IDLE);  // found at compatibility idle: no nInit pulse to come
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
    EXPECT_EQ(io.rw(kControl), (std::vector<std::pair<char, uint8_t>>{{'R', 0xCC}, {'W', 0x2C}, {'W', 0x0C}}));
    EXPECT_EQ(port_data.mode, LP_MODE_IDLE);
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
    EXPECT_EQ(io.str(), "R 37a cc\nR 77a ff\nW 37a 2c\nW 378 55\nR 378 ff\nW 378 aa\nR 378 ff\nW 378 00\nW 37a 0c\n");
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
    EXPECT_EQ(port_data.mode, LP_MODE_IDLE);
    EXPECT_EQ(port_data.phase, LP_PH_REV_DATA);
    EXPECT_EQ(port_data.priv, &parport_pc_private_data);
    EXPECT_EQ(port_data.spin_us, 10);
    EXPECT_EQ(cad_data.port, &port_data);
    EXPECT_EQ(cad_data.timeout, 10);
    EXPECT_EQ(parport_pc_private_data.ecr_present, 1);
    EXPECT_EQ(parport_pc_private_data.fifo_size, 16);
    EXPECT_EQ(parport_pc_private_data.ctr_copy_mask, 0);
}

// What opening finds on the lines decides whether the first termination resets the printer
// (nInit), and an ECR address that only mirrors CONTROL (10-bit decoding) is no ECR.
TEST_F(Probe, OpeningSeedsTheSoftCopyFromTheLinesItFinds) {
    const struct {
        uint8_t control;  // as read
        int32_t mode;     // the record's mode after opening
        uint8_t soft;     // priv_ctr after opening
    } table[] = {
        {0xCC, LP_MODE_IDLE, 0x0C},  // compatibility idle, as a release leaves it
        {0x0C, LP_MODE_IDLE, 0x0C},
        {0xC4, LP_MODE_EPP, 0x04},   // nSelectIn high: a printer left in an IEEE 1284 mode
        {0xE6, LP_MODE_EPP, 0x06},   // ECP forward idle of a holder that died, lines reversed
        {0x00, LP_MODE_EPP, 0x00},   // power-up on some boards: nInit low already
    };
    for (const auto &row : table) {
        SCOPED_TRACE(int(row.control));
        io.clear();
        priv_ctr = 0x35;  // whatever a process had before: opening does not trust it
        io.set(kControl, row.control);
        EXPECT_EQ(lp_port_open(0x378), &port_data);
        EXPECT_EQ(port_data.mode, row.mode);
        EXPECT_EQ(priv_ctr, row.soft);
        for (const auto &a : io.rw(kControl))
            if (a.first == 'W') {
                EXPECT_EQ(a.second & 0x0F, row.control & 0x0F) << "a line moved";
            }
    }
}

TEST(Opening, AnEcrThatMirrorsControlIsNoEcr) {
    fake::fake_io io;
    uint8_t control = 0xCC;
    io.on_read(kControl, [&] { return control; });
    io.on_write(kControl, [&](uint8_t v) { control = v; });
    io.on_read(kEcr, [&] { return control; });  // 0x77a decodes as 0x37a
    io.on_write(kEcr, [&](uint8_t v) { control = v; });
    io.set(kData, 0xFF);
    EXPECT_EQ(lp_port_open(0x378), &port_data);
    EXPECT_EQ(parport_pc_private_data.ecr_present, 0);
    EXPECT_EQ(io.count('W', kEcr), 0u);
    EXPECT_EQ(io.count('W', kFifo) + io.count('R', kFifo), 0u);
}

// A port that cannot tri-state its data lines reads its own latch back: output only.
TEST(Opening, APortThatReadsItsLatchBackIsOutputOnly) {
    fake::fake_io io;
    uint8_t latch = 0;
    io.set(kControl, 0xCC);
    io.set(kEcr, 0xFF);
    io.on_write(kData, [&](uint8_t v) { latch = v; });
    io.on_read(kData, [&] { return latch; });
    EXPECT_EQ(lp_port_open(0x378), &port_data);
    EXPECT_EQ(parport_pc_private_data.output_only, 1);
    latch = 0;
    io.on_read(kData, [&] { return uint8_t(latch == 0x55 ? 0x55 : 0x00); });  // one pattern only
    EXPECT_EQ(lp_port_bidirectional(&port_data), 1);
}

TEST(Opening, AnotherBaseMovesEveryAddress) {
    fake::fake_io io;
    ecp_model model;
    model.attach(io, 0x678, 0x67A, 0x27A);
    io.set(0x27A, 0x0C);
    io.set(0x278, 0xFF);
    EXPECT_EQ(lp_port_open(0x278), &port_data);
    EXPECT_EQ(port_data.base_hi, 0x678);
    EXPECT_EQ(parport_pc_private_data.fifo_size, 16);
    for (const fake::access &a : io.log)
        if (a.kind == 'R' || a.kind == 'W') {
            EXPECT_TRUE(a.addr == 0x278 || a.addr == 0x27A || a.addr == 0x678 || a.addr == 0x67A)
                << std::hex << a.addr;
        }
    EXPECT_EQ(io.count('W', 0x278), 3u);  // two patterns for the tri-state check, then 0
}

// ---- lp_init_state ----------------------------------------------------------------------------

TEST_F(InitState, InitStateSetsPs2ModeDataLowAndForward) {
    priv_ctr = 0x2F;
    io.set(kData, 0xFF);
    lp_init_state(port);
    EXPECT_EQ(io.str(), "W 77a 34\nW 37a 2f\nW 378 55\nR 378 ff\nW 378 aa\nR 378 ff\nW 378 00\nW 37a 0f\n");
    EXPECT_EQ(priv_ctr, 0x0F);
}

}  // namespace
