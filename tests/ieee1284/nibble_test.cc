// The nibble-mode reverse read on the recording fake: the exact events of a byte, and a
// peripheral that stops inside one. (Whole IDs through it run on the simulator, devid_test.cc.)
#include <vector>

#include "tests/ieee1284/link_fixture.h"

namespace {

using namespace linktest;

class NibbleRead : public LinkTest {
protected:
    NibbleRead() {
        priv_ctr = 0x04;  // as a negotiation leaves it: nInit high, the other lines released
        port->phase = LP_PH_REV_IDLE;
    }
    uint64_t read(uint8_t *buf, uint64_t len) {
        const uint64_t n = lp_nibble_read(port, buf, len);
        EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
        return n;
    }
};

// 0xA5 sets every data line once high and once low: low nibble 0101 on nFault and PError with
// Busy low (register bit 0x80 set), high nibble 1010 on Select and Busy high (0x80 clear).
TEST_F(NibbleRead, OneByteEventByEventThenNDataAvailEndsIt) {
    io.sequence(kStatus, {0xD0, 0xA8, 0xA8, 0xE8, 0x10, 0x10, 0x50, 0xF8});
    uint8_t buf[2] = {};
    EXPECT_EQ(read(buf, 2), 1u);
    EXPECT_EQ(buf[0], 0xA5);
    EXPECT_EQ(steps(),
              "R 379 d0\n"   // nDataAvail low: a byte waits
              "W 37a 06\n"   // event 7: HostBusy low
              "R 379 a8\n"   // event 9: PtrClk low, the low nibble valid (event 8)
              "R 379 a8\n"   // the nibble
              "W 37a 04\n"   // event 10: HostBusy high
              "R 379 e8\n"   // event 11: PtrClk high
              "W 37a 06\n"   // event 7
              "R 379 10\n"   // event 9: the high nibble
              "R 379 10\n"
              "W 37a 04\n"   // event 10
              "R 379 50\n"   // event 11
              "R 379 f8\n"); // nDataAvail high: nothing more, no event 7
}

// A byte cut in half is dropped; the host takes HostBusy back and stops after one failed wait.
TEST_F(NibbleRead, PeripheralStopsInsideAByte) {
    io.sequence(kStatus, {0xD0, 0xA8, 0xA8, 0xE8});  // PtrClk stays high from then on
    uint8_t buf[2];
    const int64_t t0 = io.now_us;
    EXPECT_EQ(read(buf, 2), 0u);
    EXPECT_EQ(writes(kControl), (std::vector<uint8_t>{0x06, 0x04, 0x06, 0x04}));
    EXPECT_GT(io.now_us - t0, 30 * kMs);
    EXPECT_LT(io.now_us - t0, 42 * kMs);
}

}  // namespace
