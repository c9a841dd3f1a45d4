// The FIFO write: its set-up, bursts into an empty FIFO, single bytes into a part-full one, the
// adaptive poll limit, and the stall deadline of a FIFO that stays full.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ieee1284/ieee1284.h"
#include "tests/ieee1284/fifo_model.h"
#include "tests/ieee1284/link_fixture.h"

namespace {

using namespace linktest;

// ECR values as the write sees them in ECP mode with nErrIntrEn set.
constexpr uint8_t kEmpty = 0x75;     // serviceIntr set, empty
constexpr uint8_t kPart = 0x74;      // neither empty nor full
constexpr uint8_t kFull = 0x76;      // full, serviceIntr set
constexpr uint8_t kFullArmed = 0x72; // full, serviceIntr armed and never set

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = uint8_t(i * 7 + 3);
    return v;
}

class FifoWrite : public LinkTest {
protected:
    FifoWrite() {
        port->mode = LP_MODE_ECP;
        port->phase = LP_PH_FWD_IDLE;
        priv_ctr = 0x06;  // as an accepted ECP negotiation leaves it
        latch_control(0x06);
        parport_pc_private_data.fifo_size = 16;
        parport_pc_private_data.read_threshold = 8;
        parport_pc_private_data.write_threshold = 8;
    }

    // The transfer after the set-up (whose last access is the CONTROL write of the ECP mode
    // switch), as tokens: r ECR read, a ECR write, b single FIFO byte, [n] string output.
    std::string passes() const {
        size_t start = 0;
        for (size_t i = 0; i < io.log.size(); i++)
            if (io.log[i].kind == 'W' && io.log[i].addr == kControl)
                start = i + 1;
        std::string out;
        for (size_t i = start; i < io.log.size(); i++) {
            const fake::access &a = io.log[i];
            if (a.kind == 'R' && a.addr == kEcr)
                out += "r";
            else if (a.kind == 'W' && a.addr == kEcr)
                out += "a";
            else if (a.kind == 'W' && a.addr == kFifo)
                out += "b";
            else if (a.kind == 'O' && a.addr == kFifo)
                out += "[" + std::to_string(a.n) + "]";
            else if (a.kind != 'T')
                out += "?";
        }
        return out;
    }

    // Every byte that went to the FIFO register, by string output or alone, in order.
    std::vector<uint8_t> fifo_bytes() const {
        std::vector<uint8_t> out;
        size_t o = 0;
        for (const fake::access &a : io.log) {
            if (a.kind == 'W' && a.addr == kFifo)
                out.push_back(a.value);
            if (a.kind == 'O' && a.addr == kFifo)
                for (size_t i = 0; i < a.n; i++)
                    out.push_back(io.outs[o++]);
        }
        return out;
    }

    static std::string repeat(const std::string &s, int n) {
        std::string out;
        for (int i = 0; i < n; i++)
            out += s;
        return out;
    }
};

TEST_F(FifoWrite, ZeroBytesRunsTheWholeSetUpAndPrintsTheTraceLine) {
    fifo_model fifo(io, ctl);
    fifo.ecr = 0x20;  // PS/2 mode, no bits set
    verbose = 5;
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_mfp_fifo_write_block(port, nullptr, 0), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "           0 bytes written by m_mfp_fifo_write_block\n");
    // A write that never finds the FIFO full reads no clock: its stall deadline is never armed.
    EXPECT_TRUE(std::none_of(io.log.begin(), io.log.end(), [](const auto &a) { return a.kind == 'T'; }));
    EXPECT_EQ(steps(),
              "W 37a 06\n"   // interrupt enable off
              "R 77a 25\n"   // the idle port has raised serviceIntr
              "W 77a 35\n"   // nErrIntrEn and serviceIntr set
              "W 37a 06\n"   // data lines forward
              "R 77a 35\n"
              "W 77a 75\n"   // ECP FIFO mode
              "R 37a 06\n"
              "W 37a 04\n"); // HostClk and HostAck released
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(FifoWrite, TraceLineOnlyAboveVerboseFour) {
    fifo_model fifo(io, ctl);
    verbose = 4;
    const auto data = pattern(3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_mfp_fifo_write_block(port, data.data(), 3), 3u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(FifoWrite, AtMostAFifoIntoAnEmptyFifoIsOneStringOutput) {
    for (size_t len : {1u, 5u, 15u, 16u}) {
        SCOPED_TRACE(len);
        io.clear();
        fifo_model fifo(io, ctl);  // the peripheral takes nothing: the write does not wait for it
        const auto data = pattern(len);
        EXPECT_EQ(m_mfp_fifo_write_block(port, data.data(), len), len);
        EXPECT_EQ(passes(), "r[" + std::to_string(len) + "]");
        EXPECT_EQ(fifo_bytes(), data);
        EXPECT_EQ(fifo.q.size(), len);
    }
}

TEST_F(FifoWrite, EmptiedFifoIsRefilledByBurstsOfFifoSize) {
    fifo_model fifo(io, ctl);
    fifo.take = 100;  // the peripheral empties the FIFO before every look at it
    const auto data = pattern(40);
    EXPECT_EQ(m_mfp_fifo_write_block(port, data.data(), 40), 40u);
    EXPECT_EQ(passes(), "r[16]r[16]r[8]");
    EXPECT_EQ(fifo.received.size() + fifo.q.size(), 40u);
    fifo.received.insert(fifo.received.end(), fifo.q.begin(), fifo.q.end());
    EXPECT_EQ(fifo.received, data);
}

TEST_F(FifoWrite, PartFullFifoGetsSingleBytesAfterEightReReads) {
    io.sequence(kEcr, {0x35, 0x35, kPart});
    const auto data = pattern(3);
    EXPECT_EQ(m_mfp_fifo_write_block(port, data.data(), 3), 3u);
    EXPECT_EQ(passes(), repeat("rrrrrrrrrb", 3));  // first read, 8 re-reads, one byte
    EXPECT_EQ(fifo_bytes(), data);
}

TEST_F(FifoWrite, EarlyEmptyBurstsLowerThePollLimitToTwoAndNoFurther) {
    // Nine bursts that find the FIFO empty at the first read, then a FIFO that stays part full.
    std::vector<uint8_t> ecr = {0x35, 0x35};
    ecr.insert(ecr.end(), 9, kEmpty);
    ecr.push_back(kPart);
    io.sequence(kEcr, ecr);
    const auto data = pattern(9 * 16 + 2);
    EXPECT_EQ(m_mfp_fifo_write_block(port, data.data(), data.size()), data.size());
    EXPECT_EQ(passes(), repeat("r[16]", 9) + repeat("rrrb", 2));
    EXPECT_EQ(fifo_bytes(), data);
}

TEST_F(FifoWrite, OnlyABurstAfterAtMostPollLimitMinusThreeReReadsLowersTheLimit) {
    struct { int rereads; int limit_after; } cases[] = {{5, 7}, {6, 8}, {8, 8}};
    for (auto c : cases) {
        SCOPED_TRACE(c.rereads);
        io.clear();
        std::vector<uint8_t> ecr = {0x35, 0x35};
        ecr.insert(ecr.end(), size_t(c.rereads), kPart);  // the first read and k - 1 re-reads
        ecr.push_back(kEmpty);                            // the k-th re-read finds it empty
        ecr.push_back(kPart);
        io.sequence(kEcr, ecr);
        const auto data = pattern(17);
        EXPECT_EQ(m_mfp_fifo_write_block(port, data.data(), 17), 17u);
        EXPECT_EQ(passes(), std::string(size_t(c.rereads) + 1, 'r') + "[16]" +
                                std::string(size_t(c.limit_after) + 1, 'r') + "b");
    }
}

TEST_F(FifoWrite, FifoThatStaysFullStopsTheWriteFiveSecondsAfterTheLastRoom) {
    fifo_model fifo(io, ctl);  // the peripheral takes nothing
    io.clock_cost_us = 200;
    verbose = 5;
    const auto data = pattern(40);
    const int64_t start = io.now_us;
    testing::internal::CaptureStdout();
    EXPECT_EQ(m_mfp_fifo_write_block(port, data.data(), 40), 16u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "           16 bytes written by m_mfp_fifo_write_block\n");
    EXPECT_GT(io.now_us - start, 4990 * kMs);
    EXPECT_LE(io.now_us - start, 5010 * kMs);
    // One burst, then serviceIntr armed once (written without a read) and polled until the end.
    const std::string p = passes();
    EXPECT_EQ(p.substr(0, 7), "r[16]ra");
    EXPECT_EQ(p.find_first_not_of('r', 7), std::string::npos);
    EXPECT_EQ(writes(kEcr).back(), 0x72);  // the full ECR 0x76 with serviceIntr cleared
    EXPECT_EQ(fifo.overflows, 0);
}

TEST_F(FifoWrite, EcrThatAlwaysReadsFullEndsWithNothingAfterFiveSeconds) {
    for (int32_t fifo_size : {16, 0}) {
        for (uint8_t full : {kFull, kFullArmed}) {
            SCOPED_TRACE(testing::Message() << "fifo_size " << fifo_size << " ecr " << int(full));
            io.clear();
            parport_pc_private_data.fifo_size = fifo_size;
            io.clock_cost_us = 200;
            io.sequence(kEcr, {0x35, 0x35, full});
            io.forbid(kFifo);
            const int64_t start = io.now_us;
            EXPECT_EQ(m_mfp_fifo_write_block(port, pattern(8).data(), 8), 0u);
            EXPECT_GT(io.now_us - start, 4990 * kMs);
            EXPECT_LE(io.now_us - start, 5010 * kMs);
            EXPECT_EQ(writes(kEcr).back(), uint8_t(full & ~0x04));
        }
    }
}

TEST_F(FifoWrite, RoomAgainRenewsTheStallDeadline) {
    fifo_model fifo(io, ctl);
    io.clock_cost_us = 200;
    const int64_t start = io.now_us;
    // The peripheral takes nothing for 3 s, then empties the FIFO once and stalls again.
    bool emptied = false;
    fifo.before = [&](fifo_model &f) {
        if (!emptied && io.now_us - start >= 3 * kSec) {
            f.received.insert(f.received.end(), f.q.begin(), f.q.end());
            f.q.clear();
            emptied = true;
        }
    };
    const auto data = pattern(40);
    EXPECT_EQ(m_mfp_fifo_write_block(port, data.data(), 40), 32u);
    EXPECT_GT(io.now_us - start, 7990 * kMs);
    EXPECT_LE(io.now_us - start, 8010 * kMs);
    EXPECT_EQ(fifo_bytes(), std::vector<uint8_t>(data.begin(), data.begin() + 32));
    EXPECT_EQ(fifo.overflows, 0);
}

// A probe that measured no FIFO depth must not turn every pass into an empty burst.
TEST_F(FifoWrite, FifoSizeZeroSendsSingleBytesAndEnds) {
    parport_pc_private_data.fifo_size = 0;
    fifo_model fifo(io, ctl);
    fifo.take = 100;
    const auto data = pattern(5);
    EXPECT_EQ(m_mfp_fifo_write_block(port, data.data(), 5), 5u);
    EXPECT_EQ(passes(), repeat("r[1]", 5));
    fifo.received.insert(fifo.received.end(), fifo.q.begin(), fifo.q.end());
    EXPECT_EQ(fifo.received, data);
}

TEST_F(FifoWrite, SlowPeripheralReceivesEveryByteInOrderWithoutOverflow) {
    for (size_t take : {1u, 3u, 7u, 16u}) {
        SCOPED_TRACE(take);
        io.clear();
        fifo_model fifo(io, ctl);
        fifo.take = take;
        const auto data = pattern(1000);
        EXPECT_EQ(m_mfp_fifo_write_block(port, data.data(), data.size()), data.size());
        fifo.received.insert(fifo.received.end(), fifo.q.begin(), fifo.q.end());
        EXPECT_EQ(fifo.received, data);
        EXPECT_EQ(fifo.overflows, 0);
        EXPECT_EQ(fifo.mode(), 0x60);  // the write leaves the ECR in ECP mode
    }
}

}  // namespace

namespace {

using namespace linktest;

// The end of the FIFO's forward use before a termination: an empty FIFO is not enough, the last
// byte may still be in the port's output latch, mid-handshake (PeriphAck high, STATUS 0x78). PS/2
// mode is written only once STATUS shows PeriphAck low; a printer that never lowers it within
// 5 s has the byte dropped, and the count says so.
TEST(FifoWriteEnd, WaitsForPeriphAckLowAfterTheFifoEmpties) {
    for (const bool settles : {true, false}) {
        SCOPED_TRACE(settles ? "settles" : "stays busy");
        fake::fake_io io;
        fill_records();
        port_data.mode = LP_MODE_ECP;
        port_data.phase = LP_PH_FWD_IDLE;
        parport_pc_private_data.ecr_present = 1;
        parport_pc_private_data.fifo_size = 16;
        io.set(kEcr, 0x75);  // ECP mode, FIFO empty
        if (settles)
            io.sequence(kStatus, {0x78, 0x78, 0xF8});
        else
            io.set(kStatus, 0x78);
        io.clock_cost_us = 1000;
        EXPECT_EQ(lp_fifo_write_end(&port_data), settles ? 0 : 1);
        std::string s;
        for (const fake::access &a : io.log)
            if (a.kind == 'R' && a.addr == kStatus)
                s += "s";
            else if (a.kind == 'W' && a.addr == kEcr)
                s += "W";
        if (settles) {
            EXPECT_EQ(s, "sssW");
        }
        EXPECT_EQ(s.find('W'), s.size() - 1) << "PS/2 mode only after the last STATUS read: " << s;
    }
}

}  // namespace
