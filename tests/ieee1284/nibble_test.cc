// The nibble-mode reverse read on the recording fake: the exact events of a byte, every byte
// value through the status-line mapping, and the ways a peripheral can stop.
#include <vector>

#include "tests/ieee1284/link_fixture.h"

namespace {

using namespace linktest;

// A nibble-mode peripheral driven by the host's HostBusy (nAutoFd, CONTROL bit 0x02).
struct nibble_periph {
    std::vector<uint8_t> bytes;
    size_t next = 0;
    int half = 0;             // 0: the low nibble is next, 1: the high one
    bool clk_low = false;     // PtrClk low: a nibble is presented
    bool stop_at_high = false;  // never presents a high nibble

    static uint8_t lines(uint8_t n) { return uint8_t((n & 0x07) << 3 | ((n & 0x08) ? 0 : 0x80)); }
    uint8_t nibble() const { return half ? bytes[next] >> 4 : bytes[next] & 0x0F; }

    void control(uint8_t c) {
        const bool busy_low = c & 0x02;
        if (busy_low && !clk_low && next < bytes.size() && !(half && stop_at_high)) {
            clk_low = true;  // events 8, 9
        } else if (!busy_low && clk_low) {
            clk_low = false;  // event 11
            half ^= 1;
            next += half == 0;
        }
    }
    uint8_t status() const {
        if (clk_low)
            return lines(nibble());
        if (half)
            return uint8_t(lines(bytes[next] & 0x0F) | 0x40);
        return uint8_t(0xD0 | (next < bytes.size() ? 0 : 0x28));  // nDataAvail, AckDataReq
    }
};

class NibbleRead : public LinkTest {
protected:
    void attach(std::vector<uint8_t> bytes) {
        periph.bytes = std::move(bytes);
        priv_ctr = 0x04;  // as a negotiation leaves it: nInit high, the other lines released
        port->phase = LP_PH_REV_IDLE;
        on_ctl = [this](uint8_t c) { periph.control(c); };
        io.on_read(kStatus, [this] { return periph.status(); });
    }
    std::vector<uint8_t> read(uint64_t len) {
        std::vector<uint8_t> got(len + 4, 0xEE);
        const uint64_t n = lp_nibble_read(port, got.data(), len);
        EXPECT_LE(n, len);
        EXPECT_EQ(got[len], 0xEE);
        got.resize(n);
        return got;
    }
    nibble_periph periph;
};

TEST_F(NibbleRead, OneByteEventByEvent) {
    attach({0xA5});
    EXPECT_EQ(read(1), std::vector<uint8_t>{0xA5});
    EXPECT_EQ(steps(),
              "R 379 d0\n"   // nDataAvail low: a byte waits
              "W 37a 06\n"   // event 7: HostBusy low
              "R 379 a8\n"   // event 9: PtrClk low, low nibble 0101 (event 8)
              "R 379 a8\n"   // the nibble read
              "W 37a 04\n"   // event 10: HostBusy high
              "R 379 e8\n"   // event 11: PtrClk high
              "W 37a 06\n"   // event 7
              "R 379 10\n"   // event 9: high nibble 1010
              "R 379 10\n"
              "W 37a 04\n"   // event 10
              "R 379 f8\n"); // event 11, idle again; len reached, nDataAvail is not read again
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
}

TEST_F(NibbleRead, EveryByteValueThenNDataAvailEndsIt) {
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; i++)
        all[i] = uint8_t(i);
    attach(all);
    EXPECT_EQ(read(300), all);
    // Per byte: nDataAvail, then per nibble the event 9 wait, the nibble and the event 11 wait;
    // then one more nDataAvail read ends it, with no further event 7.
    EXPECT_EQ(io.count('R', kStatus), 256u * 7 + 1);
    EXPECT_EQ(io.count('W', kControl), 256u * 4);
    EXPECT_EQ(io.count('S'), 0u);  // every answer came at the first read: no wait went long
}

TEST_F(NibbleRead, NothingToSendTouchesOnlyStatus) {
    attach({});
    EXPECT_TRUE(read(8).empty());
    EXPECT_EQ(steps(), "R 379 f8\n");
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
}

// A byte cut in half is dropped; the host takes HostBusy back and stops after one failed wait.
TEST_F(NibbleRead, PeripheralStopsInsideAByte) {
    attach({0x11, 0x22});
    periph.stop_at_high = true;
    const int64_t t0 = io.now_us;
    EXPECT_TRUE(read(2).empty());
    EXPECT_EQ(writes(kControl), (std::vector<uint8_t>{0x06, 0x04, 0x06, 0x04}));
    EXPECT_GT(io.now_us - t0, 30 * kMs);
    EXPECT_LT(io.now_us - t0, 42 * kMs);
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
}

}  // namespace
