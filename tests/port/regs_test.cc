// Register operations: each one makes exactly its accesses, in order, with its arithmetic.
#include <gtest/gtest.h>

#include "port/regs.h"
#include "tests/port/port_fixture.h"

namespace {

using namespace porttest;

class DataStatus : public PortTest {};
class CtlRmw : public PortTest {};
class Ecr : public PortTest {};

// ---- The tick clock -------------------------------------------------------------------------

class Ticks : public PortTest {};

TEST_F(Ticks, TruncatesMillisecondsThenTicksAndOnlyReadsTheClock) {
    io.now_us = 12'345'678;  // 12 s 345.678 ms
    EXPECT_EQ(lp_ticks(), 1234);
    io.now_us = 12'349'999;
    EXPECT_EQ(lp_ticks(), 1234);
    io.now_us = 12'350'000;
    EXPECT_EQ(lp_ticks(), 1235);
    io.now_us = 1'700'000'000'000'000;  // a current date: needs 64-bit arithmetic
    EXPECT_EQ(lp_ticks(), 170'000'000'000);
    EXPECT_EQ(io.str(), "T\nT\nT\nT\n");
}

// A deadline n ticks ahead passes more than 10 (n - 1) ms and at most 10 n ms after it is set,
// wherever inside a tick it was set.
TEST_F(Ticks, DeadlineFourTicksAheadPassesAfterThirtyToFortyMilliseconds) {
    for (int64_t offset : {0, 1, 5'000, 9'999}) {
        SCOPED_TRACE(offset);
        io.now_us = 1'000'000'000 + offset;
        const int64_t start = io.now_us;
        const int64_t deadline = lp_ticks() + 4;
        while (lp_ticks() - deadline < 0)
            io.now_us += 1;
        const int64_t elapsed = io.now_us - start;
        EXPECT_GT(elapsed, 30'000);
        EXPECT_LE(elapsed, 40'000);
    }
}

// ---- DATA and STATUS ------------------------------------------------------------------------

TEST_F(DataStatus, DataAndStatusUseTheRecordsBaseAndReturnWholeBytes) {
    io.set(kData, 0x5A);
    io.set(kStatus, 0x07);  // bits nobody looks at still come back
    lp_write_data(port, 0xC3);
    EXPECT_EQ(lp_read_data(port), 0x5A);
    EXPECT_EQ(lp_read_status(port), 0x07);
    EXPECT_EQ(io.str(), "W 378 c3\nR 378 5a\nR 379 07\n");

    io.clear();
    port_data.base = 0x278;  // addresses come from the record, not from a constant
    io.set(0x279, 0xF8);
    lp_write_data(port, 0x01);
    EXPECT_EQ(lp_read_status(port), 0xF8);
    EXPECT_EQ(io.str(), "W 278 01\nR 279 f8\n");
}

// ---- The soft-copy path ---------------------------------------------------------------------

// CONTROL has no read script here: a read on this path would fail the test.
class SoftCopy : public PortTest {};

TEST_F(SoftCopy, IrqOffForwardReverseWriteOnceAndMaskTheDeadBits) {
    priv_ctr = 0x3F;
    lp_irq_off(port);
    EXPECT_EQ(priv_ctr, 0x2F);
    priv_ctr = 0xEF;  // 0x40 and 0x80 are never written
    lp_dir_forward(port);
    EXPECT_EQ(priv_ctr, 0x0F);
    priv_ctr = 0xC4;
    lp_dir_reverse(port);
    EXPECT_EQ(priv_ctr, 0x24);
    lp_dir_reverse(port);  // already reverse: written again all the same
    lp_irq_off(port);
    priv_ctr = 0xFF;
    lp_irq_off(port);
    EXPECT_EQ(io.str(), "W 37a 2f\nW 37a 0f\nW 37a 24\nW 37a 24\nW 37a 24\nW 37a 2f\n");
}

TEST_F(SoftCopy, CtlUpdateEventOneClearsSelectInAndSetsAutoFd) {
    priv_ctr = 0x08;
    lp_ctl_update(port, 0x0A, 0x02);
    EXPECT_EQ(io.str(), "W 37a 02\n");
    EXPECT_EQ(priv_ctr, 0x02);
}

TEST_F(SoftCopy, CtlUpdateWithDirectionInMaskWritesTwice) {
    priv_ctr = 0x04;
    lp_ctl_update(port, 0x20, 0x20);
    EXPECT_EQ(io.str(), "W 37a 24\nW 37a 24\n");
    EXPECT_EQ(priv_ctr, 0x24);

    io.clear();
    priv_ctr = 0x2C;
    lp_ctl_update(port, 0x22, 0x02);  // forward, and nAutoFd low
    EXPECT_EQ(io.str(), "W 37a 0c\nW 37a 0e\n");
    EXPECT_EQ(priv_ctr, 0x0E);
}

TEST_F(SoftCopy, CtlUpdateValueBitOutsideTheMaskToggles) {
    priv_ctr = 0x02;
    lp_ctl_update(port, 0x01, 0x03);
    EXPECT_EQ(io.str(), "W 37a 01\n");
    EXPECT_EQ(priv_ctr, 0x01);
}

TEST_F(SoftCopy, CtlUpdateIgnoresHighMaskBitsAndWritesEvenWhenNothingChanges) {
    priv_ctr = 0x15;
    lp_ctl_update(port, 0xD0, 0x00);  // 0x10, 0x40, 0x80 in the mask do nothing
    lp_ctl_update(port, 0x04, 0x04);  // already set
    EXPECT_EQ(io.str(), "W 37a 15\nW 37a 15\n");
}

TEST_F(SoftCopy, CtlWriteSetsTheLineBitsAndNeverTurnsForward) {
    priv_ctr = 0x0C;
    lp_ctl_write(port, 0x22);
    EXPECT_EQ(io.str(), "W 37a 2c\nW 37a 22\n");
    EXPECT_EQ(priv_ctr, 0x22);

    io.clear();
    priv_ctr = 0x2D;
    lp_ctl_write(port, 0x02);
    EXPECT_EQ(io.str(), "W 37a 22\n");
    EXPECT_EQ(priv_ctr, 0x22);

    io.clear();
    priv_ctr = 0x10;
    lp_ctl_write(port, 0x1F);  // d's 0x10 is ignored, the copy's 0x10 stays
    lp_ctl_write(port, 0x00);
    EXPECT_EQ(io.str(), "W 37a 1f\nW 37a 10\n");
}

// ---- The hardware path and the direction latch ----------------------------------------------

TEST_F(CtlRmw, CtlRmwLatchesDirectionUntilAMaskWithDirectionClearsIt) {
    priv_ctr = 0x05;
    io.sequence(kControl, {0x0C, 0x0E, 0xFF, 0x00, 0x20});
    lp_ctl_rmw(port, 0x22, 0x22);  // latch set
    lp_ctl_rmw(port, 0x04, 0x00);  // reads 0x0E: direction forced back to 1 by the latch
    lp_ctl_rmw(port, 0xF4, 0x04);  // latch cleared: (0xFF & 0x0B) | 0x04
    lp_ctl_rmw(port, 0x01, 0x01);  // reads 0x00, latch 0
    lp_ctl_rmw(port, 0x01, 0x00);  // reads 0x20: the direction bit is written back as read
    EXPECT_EQ(io.str(),
              "R 37a 0c\nW 37a 2e\n"
              "R 37a 0e\nW 37a 2a\n"
              "R 37a ff\nW 37a 0f\n"
              "R 37a 00\nW 37a 01\n"
              "R 37a 20\nW 37a 20\n");
    EXPECT_EQ(priv_ctr, 0x05);  // the two paths share no state
    EXPECT_EQ(parport_pc_private_data.ctr_copy, 0);
}

TEST_F(CtlRmw, CtlRmwLatchHoldsReverseWhateverTheRegisterReads) {
    io.set(kControl, 0x00);
    lp_ctl_rmw(port, 0x20, 0xFF);  // value bits outside the mask are dropped
    lp_ctl_rmw(port, 0x03, 0x03);
    lp_ctl_rmw(port, 0x00, 0x00);
    EXPECT_EQ(io.str(), "R 37a 00\nW 37a 20\nR 37a 00\nW 37a 23\nR 37a 00\nW 37a 20\n");
}

TEST(CtlRmwLatch, StartsClearInEveryFreshPort) {
    {
        fake::fake_io io;
        fill_records(0x378);
        io.set(kControl, 0x00);
        lp_ctl_rmw(&port_data, 0x20, 0x20);
    }
    fake::fake_io io;  // forgets the port, as a new process starts
    fill_records(0x378);
    io.set(kControl, 0x00);
    lp_ctl_rmw(&port_data, 0x01, 0x00);
    EXPECT_EQ(io.str(), "R 37a 00\nW 37a 00\n");
}

TEST_F(CtlRmw, CtlReadIsZeroAfterAnyOperationsAndTouchesNothing) {
    io.set(kControl, 0xFF);
    io.set(kEcr, 0xFF);
    priv_ctr = 0x2F;
    lp_ctl_rmw(port, 0xFF, 0x2F);
    lp_ctl_write(port, 0x0F);
    lp_ecr_set_mode(port, 0x60);
    io.clear();
    EXPECT_EQ(lp_ctl_read(port), 0);
    EXPECT_TRUE(io.log.empty());
    EXPECT_EQ(parport_pc_private_data.ctr_copy, 0);
}

// ---- The ECR ---------------------------------------------------------------------------------

TEST_F(Ecr, EcrUpdateWithFullMaskWritesWithoutReading) {
    lp_ecr_update(port, 0xFF, 0x34);
    EXPECT_EQ(io.str(), "W 77a 34\n");  // an ECR read would have failed: it has no script
}

TEST_F(Ecr, EcrUpdateKeepsTheUnmaskedBitsAsRead) {
    io.set(kEcr, 0x35);
    lp_ecr_update(port, 0x04, 0x00);
    io.set(kEcr, 0xD5);
    lp_ecr_update(port, 0xE0, 0x20);
    io.set(kEcr, 0x00);
    lp_ecr_update(port, 0x00, 0x00);  // an empty mask still reads and writes
    io.set(kEcr, 0x35);
    lp_ecr_update(port, 0x04, 0x05);  // a value bit outside the mask toggles
    EXPECT_EQ(io.str(), "R 77a 35\nW 77a 31\nR 77a d5\nW 77a 35\nR 77a 00\nW 77a 00\n"
                        "R 77a 35\nW 77a 34\n");
}

TEST_F(Ecr, EcrAddressComesFromBaseHi) {
    port_data.base_hi = 0x7B8;
    io.set(0x7BA, 0x01);
    lp_ecr_update(port, 0xFF, 0x00);
    EXPECT_EQ(lp_fifo_empty(port), 1);
    EXPECT_EQ(io.str(), "W 7ba 00\nR 7ba 01\n");
}

TEST_F(Ecr, SetModeEcpWritesTheModeThenReleasesStrobeAndAutoFd) {
    io.set(kEcr, 0x35);
    io.set(kControl, 0x2F);
    priv_ctr = 0x0B;
    lp_ecr_set_mode(port, 0x60);
    EXPECT_EQ(io.str(), "R 77a 35\nW 77a 75\nR 37a 2f\nW 37a 2c\n");
    EXPECT_EQ(priv_ctr, 0x0B);  // the hardware path leaves the soft copy alone
}

TEST_F(Ecr, SetModeOtherThanEcpLeavesControlAlone) {
    io.set(kEcr, 0x75);
    lp_ecr_set_mode(port, 0x20);
    io.set(kEcr, 0x15);
    lp_ecr_set_mode(port, 0xE0);
    EXPECT_EQ(io.str(), "R 77a 75\nW 77a 35\nR 77a 15\nW 77a f5\n");
}

TEST_F(Ecr, SetModeTakesOnlyTheModeBitsOfItsArgument) {
    io.set(kEcr, 0x00);
    io.set(kControl, 0x00);
    lp_ctl_rmw(port, 0x20, 0x20);  // the release in ECP mode carries the direction latch
    io.clear();
    lp_ecr_set_mode(port, 0x7F);
    lp_ecr_set_mode(port, 0x1F);  // mode 0 with junk below it
    EXPECT_EQ(io.str(), "R 77a 00\nW 77a 60\nR 37a 00\nW 37a 20\nR 77a 00\nW 77a 00\n");
}

TEST_F(Ecr, FifoEmptyReturnsOnlyTheEmptyBit) {
    io.sequence(kEcr, {0x01, 0xFE, 0x03, 0x00});
    EXPECT_EQ(lp_fifo_empty(port), 1);
    EXPECT_EQ(lp_fifo_empty(port), 0);
    EXPECT_EQ(lp_fifo_empty(port), 1);
    EXPECT_EQ(lp_fifo_empty(port), 0);
    EXPECT_EQ(io.str(), "R 77a 01\nR 77a fe\nR 77a 03\nR 77a 00\n");
}

}  // namespace
