// The FIFO read and its finish: the reversal, the tail, threshold passes, expiries and drains, the
// turn back to forward idle, and the bytes the finish keeps for the next read.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ieee1284/ieee1284.h"
#include "tests/ieee1284/fifo_model.h"
#include "tests/ieee1284/link_fixture.h"

namespace {

using namespace linktest;

std::deque<uint8_t> stream(size_t n, uint8_t first = 0xA0) {
    std::deque<uint8_t> d;
    for (size_t i = 0; i < n; i++)
        d.push_back(uint8_t(first + i));
    return d;
}

std::vector<uint8_t> bytes(const std::deque<uint8_t> &d, size_t from, size_t n) {
    return std::vector<uint8_t>(d.begin() + long(from), d.begin() + long(from + n));
}

class FifoRead : public LinkTest {
protected:
    FifoRead() {
        port->mode = LP_MODE_ECP;
        port->phase = LP_PH_FWD_IDLE;
        priv_ctr = 0x06;  // as an accepted ECP negotiation leaves it
        latch_control(0x06);
        parport_pc_private_data.fifo_size = 16;
        parport_pc_private_data.read_threshold = 8;
        parport_pc_private_data.write_threshold = 8;
        io.on_read(kStatus, [this] { return status(); });
    }

    // nAckReverse follows nReverseRequest when the peripheral acknowledges reversals; with
    // nReverseRequest high it shows 0xE0 (event 49, PeriphClk high, PeriphAck low) when it settles.
    uint8_t status() const {
        if (!(ctl & 0x04))
            return acks_reversal ? 0xD8 : 0xF8;
        return settles ? 0xF8 : 0x78;
    }

    // Index of the first access at or after `from` of the given kind and address.
    size_t find(char kind, uint16_t addr, size_t from = 0) const {
        for (size_t i = from; i < io.log.size(); i++)
            if (io.log[i].kind == kind && io.log[i].addr == addr)
                return i;
        return io.log.size();
    }

    // FIFO bytes in each drain, a drain being the run of FIFO reads (or string inputs) after an
    // ECR write.
    std::vector<int> drains() const {
        std::vector<int> out;
        int n = 0;
        for (const fake::access &a : io.log) {
            if (a.kind == 'W' && a.addr == kEcr && n) {
                out.push_back(n);
                n = 0;
            }
            if (a.addr == kFifo)
                n += a.kind == 'R' ? 1 : a.kind == 'I' ? int(a.n) : 0;
        }
        if (n)
            out.push_back(n);
        return out;
    }

    // Writes that arm serviceIntr in ECP mode: nErrIntrEn still set, serviceIntr 0.
    size_t arms() const {
        size_t n = 0;
        for (uint8_t v : writes(kEcr))
            n += (v & 0xF4) == 0x70;
        return n;
    }

    bool acks_reversal = true;
    bool settles = true;
    fifo_model fifo{io, ctl};
};

// What the ECR says waits is taken by one string input: a full FIFO whole, a threshold's worth
// once serviceIntr is set; only the tail is polled byte by byte.
TEST_F(FifoRead, ReversalThenAFullFifoAThresholdAndATailExactly) {
    fifo.source = stream(29);
    uint8_t buf[29];
    EXPECT_EQ(lp_fifo_read_block(port, buf, 29), 29u);
    std::string tail;
    for (int i = 24; i < 29; i++) {
        char line[32];
        snprintf(line, sizeof line, "R 77a 74\nR 778 %02x\n", 0xA0 + i);
        tail += line;
    }
    EXPECT_EQ(steps(),
              "W 37a 06\n"                // interrupt enable off
              "R 77a 35\nW 77a 35\n"      // nErrIntrEn and serviceIntr set
              "R 77a 35\n"                // PS/2 mode already: nothing to drain, no mode change
              "R 37a 06\nW 37a 26\n"      // event 38: data lines reversed, HostAck low
              "S 5\n"
              "R 37a 26\nW 37a 22\n"      // event 39: nReverseRequest low
              "R 379 d8\n"                // event 40: nAckReverse low
              "R 77a 35\nW 77a 75\n"      // ECP FIFO mode
              "R 37a 22\nW 37a 20\n"      // HostClk, HostAck released; still reversed
              "R 77a 76\n"                // full: sixteen bytes wait
              "I 778 16\n"
              "R 77a 74\nW 77a 70\n"      // thirteen: serviceIntr armed
              "R 77a 74\n"                // serviceIntr set: eight bytes wait
              "I 778 8\n" +
                  tail +                  // five wanted: one by one, each after an empty check
                  "R 77a 75\nW 77a 65\n");  // nErrIntrEn cleared
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 29), bytes(stream(29), 0, 29));
    EXPECT_EQ(port->phase, LP_PH_REV_DATA);
}

TEST_F(FifoRead, InReverseDataAlreadySkipsTheReversalAndTheModeChange) {
    port->phase = LP_PH_REV_DATA;
    priv_ctr = 0x20;
    latch_control(0x20);
    fifo.ecr = 0x74;  // ECP mode, as the earlier read left it
    fifo.source = stream(8);
    uint8_t buf[8];
    EXPECT_EQ(lp_fifo_read_block(port, buf, 8), 8u);
    EXPECT_EQ(io.count('R', kControl), 0u);
    EXPECT_EQ(io.count('R', kStatus), 0u);
    EXPECT_EQ(io.count('S'), 0u);
    for (uint8_t v : writes(kEcr))
        EXPECT_NE(v, 0x75);  // no mode switch
    EXPECT_EQ(writes(kControl), std::vector<uint8_t>{0x20});  // interrupt enable off only
    EXPECT_EQ(port->phase, LP_PH_REV_DATA);
}

TEST_F(FifoRead, UnacknowledgedReversalReturnsZeroAfterAboutFiveSeconds) {
    acks_reversal = false;
    fifo.ecr = 0x3C;  // PS/2 mode with dmaEn set
    io.clock_cost_us = 50;
    fifo.source = stream(8);
    uint8_t buf[8];
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_fifo_read_block(port, buf, 8), 0u);
    EXPECT_GT(io.now_us - start, 5000 * kMs);
    EXPECT_LE(io.now_us - start, 5060 * kMs);
    // dmaEn cleared, serviceIntr set, and nothing after it: no mode change, nErrIntrEn kept.
    EXPECT_EQ(writes(kEcr), (std::vector<uint8_t>{0x3D, 0x35}));
    EXPECT_EQ(last().kind, 'W');
    EXPECT_EQ(last().addr, kEcr);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(io.count('R', kFifo), 0u);
}

TEST_F(FifoRead, ShortReadIsATailThatReturnsAsSoonAsItHasAll) {
    fifo.source = stream(5);
    uint8_t buf[5];
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_fifo_read_block(port, buf, 5), 5u);
    EXPECT_LT(io.now_us - start, 1 * kMs);
    EXPECT_EQ(arms(), 0u);  // no threshold pass
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 5), bytes(stream(5), 0, 5));
}

TEST_F(FifoRead, TailGivesUpAfterOneSecondWithWhatCame) {
    io.clock_cost_us = 100;
    fifo.source = stream(3);
    uint8_t buf[5];
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_fifo_read_block(port, buf, 5), 3u);
    EXPECT_GT(io.now_us - start, 990 * kMs);
    EXPECT_LE(io.now_us - start, 1010 * kMs);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), bytes(stream(3), 0, 3));
    EXPECT_EQ(writes(kEcr).back(), 0x65);  // nErrIntrEn cleared at the end
}

TEST_F(FifoRead, SlowPeripheralIsCollectedOneServiceEventPerThreshold) {
    fifo.source = stream(24);
    fifo.interval_us = 1 * kMs;
    uint8_t buf[24];
    EXPECT_EQ(lp_fifo_read_block(port, buf, 24), 24u);
    EXPECT_EQ(arms(), 3u);
    EXPECT_EQ(io.count('I', kFifo), 3u);
    EXPECT_EQ(io.count('R', kFifo), 0u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 24), bytes(stream(24), 0, 24));
}

TEST_F(FifoRead, NothingAfterTheReversalEndsAtTheFirstExpiryOrTheTailDeadline) {
    io.clock_cost_us = 100;
    uint8_t buf[8];
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_fifo_read_block(port, buf, 8), 0u);
    const int64_t armed = io.log[find('W', kEcr, find('W', kEcr, find('W', kEcr) + 1) + 1)].t_us;
    EXPECT_EQ(arms(), 1u);
    EXPECT_GT(io.now_us - armed, 90 * kMs);
    EXPECT_LE(io.now_us - armed, 101 * kMs);
    EXPECT_LT(io.now_us - start, 110 * kMs);

    io.clear();
    port->phase = LP_PH_REV_DATA;
    const int64_t tail_start = io.now_us;
    EXPECT_EQ(lp_fifo_read_block(port, buf, 5), 0u);
    EXPECT_GT(io.now_us - tail_start, 990 * kMs);
    EXPECT_LE(io.now_us - tail_start, 1010 * kMs);
}

TEST_F(FifoRead, PeripheralStoppingEarlyEndsAtTheFirstExpiryThatFindsTheFifoEmpty) {
    io.clock_cost_us = 100;
    fifo.source = stream(12);
    uint8_t buf[32];
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_fifo_read_block(port, buf, 32), 12u);
    EXPECT_EQ(drains(), (std::vector<int>{8, 4}));  // the threshold by string input, the rest one by one
    EXPECT_GT(io.now_us - start, 90 * kMs);
    EXPECT_LE(io.now_us - start, 110 * kMs);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 12), bytes(stream(12), 0, 12));
}

// Without a service bit, and in a FIFO deeper than the probe measured (so it never shows full at
// the measured depth), the bytes are collected once per expiry, a measured FIFO's worth at a time.
TEST_F(FifoRead, ExpiryDrainTakesAtMostAFifoUnlessTheSizeIsZero) {
    io.clock_cost_us = 100;
    fifo.service_works = false;
    fifo.size = 64;
    fifo.source = stream(60);
    uint8_t buf[40];
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_fifo_read_block(port, buf, 40), 40u);
    EXPECT_EQ(drains(), (std::vector<int>{16, 16, 8}));
    EXPECT_EQ(io.count('I'), 0u);
    EXPECT_GT(io.now_us - start, 270 * kMs);
    EXPECT_LE(io.now_us - start, 310 * kMs);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 40), bytes(stream(60), 0, 40));

    io.clear();
    lp_fifo_read_finish(port);
    lp_fifo_surplus_clear();
    io.clear();
    parport_pc_private_data.fifo_size = 0;  // no count limit, and no whole FIFO to take
    fifo.source = stream(100);
    EXPECT_EQ(lp_fifo_read_block(port, buf, 40), 40u);
    EXPECT_EQ(drains(), std::vector<int>{40});
}

// A full FIFO needs no service bit: it is taken whole, by string input, up to the request.
TEST_F(FifoRead, FullFifoIsTakenByStringInputsUpToTheRequest) {
    fifo.source = stream(100);
    uint8_t buf[40];
    EXPECT_EQ(lp_fifo_read_block(port, buf, 40), 40u);
    EXPECT_EQ(arms(), 0u);
    EXPECT_EQ(io.only('I').size(), 3u);
    EXPECT_EQ(drains(), std::vector<int>{40});
    EXPECT_EQ(io.count('R', kFifo), 0u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 40), bytes(stream(100), 0, 40));
}

TEST_F(FifoRead, ReadThresholdZeroNeverUsesTheTail) {
    parport_pc_private_data.read_threshold = 0;
    io.clock_cost_us = 100;
    fifo.source = stream(3);
    uint8_t buf[3];
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_fifo_read_block(port, buf, 3), 3u);
    EXPECT_EQ(arms(), 1u);
    // The port's own threshold (8) is never reached: the bytes wait for the expiry.
    EXPECT_GT(io.now_us - start, 90 * kMs);
    EXPECT_LE(io.now_us - start, 110 * kMs);
}

TEST_F(FifoRead, ZeroBytesOnlyTurnsInterruptsOffAndClearsNErrIntrEn) {
    io.forbid(kFifo);
    EXPECT_EQ(lp_fifo_read_block(port, nullptr, 0), 0u);
    EXPECT_EQ(steps(), "W 37a 06\nR 77a 35\nW 77a 25\n");
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(FifoRead, NeverStoresPastTheEndOfTheBuffer) {
    struct { size_t len; bool service; } cases[] = {{10, true}, {5, true}, {10, false}, {1, true}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << "len " << c.len << " service " << c.service);
        io.clear();
        io.clock_cost_us = 100;
        port->phase = LP_PH_FWD_IDLE;
        latch_control(0x06);
        fifo.ecr = 0x34;
        fifo.q.clear();
        fifo.service_works = c.service;
        fifo.source = stream(40);
        lp_fifo_surplus_clear();
        uint8_t buf[48];
        std::fill(std::begin(buf), std::end(buf), 0xEE);
        EXPECT_EQ(lp_fifo_read_block(port, buf, c.len), c.len);
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + c.len), bytes(stream(40), 0, c.len));
        for (size_t i = c.len; i < sizeof buf; i++)
            EXPECT_EQ(buf[i], 0xEE) << "guard byte " << i;
    }
}

// ---- The finish ---------------------------------------------------------------------------

TEST_F(FifoRead, FinishAfterAReadTurnsTheLinkForwardExactly) {
    fifo.source = stream(8);
    uint8_t buf[8];
    ASSERT_EQ(lp_fifo_read_block(port, buf, 8), 8u);
    io.clear();
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
    EXPECT_EQ(steps(),
              "R 37a 20\nW 37a 04\n"  // event 47: nReverseRequest high, data lines forward
              "R 379 f8\n"            // event 49 and the peripheral settled: 0xE0 all set
              "R 77a 65\n"            // nothing left in the FIFO to keep
              "R 77a 65\nW 77a 25\n"  // PS/2 mode
              "R 37a 04\nW 37a 04\n");  // data lines forward
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(lp_fifo_surplus(), 0u);
}

TEST_F(FifoRead, FinishEvent47KeepsOnlyStrobeAutoFdAndSelectInAsRead) {
    latch_control(0xEB);
    port->phase = LP_PH_FWD_IDLE;
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
    EXPECT_EQ(writes(kControl).front(), 0x0F);
    EXPECT_EQ(writes(kControl).back(), 0x0F);  // direction bit already clear
}

TEST_F(FifoRead, FinishWithAPeripheralThatNeverSettlesReturnsOneAfterTwentySeconds) {
    settles = false;
    io.clock_cost_us = 1000;
    port->phase = LP_PH_REV_DATA;
    fifo.ecr = 0x74;
    latch_control(0x20);
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_fifo_read_finish(port), 1);
    EXPECT_GT(io.now_us - start, 19990 * kMs);
    EXPECT_LE(io.now_us - start, 20010 * kMs);
    EXPECT_EQ(fifo.mode(), 0x20);
    EXPECT_EQ(ctl & 0x20, 0);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    // The mode change and the turn forward come after the wait.
    EXPECT_EQ(steps().substr(steps().size() - 36), "R 77a 75\nW 77a 35\nR 37a 04\nW 37a 04\n");
}

// ---- Bytes left in the FIFO after a read ---------------------------------------------------

TEST_F(FifoRead, FinishKeepsTheRestOfTheFifoAndTheNextReadHandsItOutFirst) {
    const auto sent = stream(40);
    fifo.source = sent;
    uint8_t buf[20];
    ASSERT_EQ(lp_fifo_read_block(port, buf, 10), 10u);
    ASSERT_EQ(fifo.q.size(), 16u);  // the port pulled ahead of the request
    io.clear();
    ASSERT_EQ(lp_fifo_read_finish(port), 0);
    EXPECT_EQ(lp_fifo_surplus(), 16u);
    // The FIFO is emptied before the mode change, between the status wait and PS/2 mode.
    const size_t wait = find('R', kStatus), mode = find('W', kEcr);
    EXPECT_EQ(io.count('R', kFifo), 16u);
    EXPECT_GT(find('R', kFifo), wait);
    EXPECT_LT(find('R', kFifo), mode);
    EXPECT_EQ(fifo.source.size(), 14u);  // event 47 stopped the port pulling

    // A read the kept bytes satisfy makes no reversal and reads no FIFO.
    io.clear();
    EXPECT_EQ(lp_fifo_read_block(port, buf, 10), 10u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 10), bytes(sent, 10, 10));
    EXPECT_EQ(steps(), "W 37a 06\nR 77a 25\nW 77a 25\n");
    EXPECT_EQ(lp_fifo_surplus(), 6u);
    lp_fifo_read_finish(port);
    EXPECT_EQ(lp_fifo_surplus(), 6u);  // a finish in forward idle keeps nothing new

    // The rest of the kept bytes come first, then the port's.
    EXPECT_EQ(lp_fifo_read_block(port, buf, 20), 20u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 20), bytes(sent, 20, 20));
    EXPECT_EQ(lp_fifo_surplus(), 0u);

    lp_fifo_read_finish(port);
    EXPECT_EQ(lp_fifo_surplus(), 0u);
    lp_fifo_surplus_clear();
}

TEST_F(FifoRead, ManySmallReadsReassembleTheWholeStream) {
    io.clock_cost_us = 100;
    const auto sent = stream(100, 0);
    fifo.source = sent;
    std::vector<uint8_t> got;
    int reads = 0;
    while (got.size() < sent.size() && reads < 100) {
        uint8_t buf[3];
        const uint64_t n = lp_fifo_read_block(port, buf, 3);
        lp_fifo_read_finish(port);
        got.insert(got.end(), buf, buf + n);
        reads++;
        io.clear();
    }
    EXPECT_EQ(got, std::vector<uint8_t>(sent.begin(), sent.end()));
    EXPECT_EQ(lp_fifo_surplus(), 0u);
}

TEST_F(FifoRead, FinishAfterAFailedReversalKeepsNothing) {
    acks_reversal = false;
    io.clock_cost_us = 50;
    uint8_t buf[8];
    ASSERT_EQ(lp_fifo_read_block(port, buf, 8), 0u);
    fifo.q = stream(5);  // forward bytes still on their way out
    io.clear();
    lp_fifo_read_finish(port);
    EXPECT_EQ(lp_fifo_surplus(), 0u);
    EXPECT_EQ(io.count('R', kFifo), 0u);
}

// At most a FIFO's worth plus the copies of one run-length count the port may still be expanding.
TEST_F(FifoRead, FinishKeepsAtMostAFifoAndARunFromAFifoThatNeverEmpties) {
    port->phase = LP_PH_REV_DATA;
    fifo.ecr = 0x74;
    latch_control(0x20);
    fifo.before = [](fifo_model &f) {
        if (f.q.empty())
            f.q.push_back(0x5A);
    };
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
    EXPECT_EQ(lp_fifo_surplus(), 16u + 128u);
    EXPECT_EQ(io.count('R', kFifo), 16u + 128u);
}

// ---- A read right after a write, and reads that must end whatever the ECR shows ------------

// The write left the ECR in ECP mode with printed bytes in the FIFO: they go out first, the ECR
// goes to PS/2 mode, and only then are the lines turned (events 38 to 40) and ECP mode set again.
TEST_F(FifoRead, AfterAWriteDrainsThenTurnsTheLinkInPs2ModeExactly) {
    fifo.ecr = 0x74;
    fifo.q = stream(3, 0x10);
    fifo.take = 1;  // one byte per access
    fifo.source = stream(8);
    uint8_t buf[8];
    EXPECT_EQ(lp_fifo_read_block(port, buf, 8), 8u);
    EXPECT_TRUE(steps_begin("W 37a 06\n"
                            "R 77a 74\nW 77a 74\n"    // nErrIntrEn and serviceIntr set
                            "R 77a 74\nR 77a 75\n"    // ECP mode: wait for the FIFO to empty
                            "R 77a 75\nW 77a 35\n"    // PS/2 mode
                            "R 37a 06\nW 37a 26\n"    // event 38
                            "S 5\n"
                            "R 37a 26\nW 37a 22\n"    // event 39
                            "R 379 d8\n"              // event 40
                            "R 77a 35\nW 77a 75\n"    // ECP mode again, the lines reversed
                            "R 37a 22\nW 37a 20\n"));
    EXPECT_EQ(fifo.received, bytes(stream(3, 0x10), 0, 3));
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 8), bytes(stream(8), 0, 8));
}

// A peripheral that takes no more: the printed bytes stay where they are and the read gets
// nothing, after the 5 s a FIFO is given to drain; its finish does not empty the FIFO either.
TEST_F(FifoRead, AfterAWriteThePeripheralDoesNotTakeKeepsThePrintedBytes) {
    io.clock_cost_us = 1000;
    fifo.ecr = 0x74;
    fifo.q = stream(5, 0x10);
    fifo.source = stream(8);
    uint8_t buf[8];
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_fifo_read_block(port, buf, 8), 0u);
    EXPECT_GT(io.now_us - start, 4990 * kMs);
    EXPECT_LE(io.now_us - start, 5010 * kMs);
    EXPECT_EQ(writes(kControl), std::vector<uint8_t>{0x06});  // no reversal
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
    EXPECT_EQ(fifo.mode(), 0x60);
    EXPECT_EQ(fifo.q.size(), 5u);
    EXPECT_EQ(io.count('R', kFifo), 0u);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

// A read the store satisfies turns nothing and must not empty a FIFO that a write left printing.
TEST_F(FifoRead, ServedFromTheStoreLeavesAWritesFifoAlone) {
    fifo.source = stream(40);
    uint8_t buf[10];
    ASSERT_EQ(lp_fifo_read_block(port, buf, 10), 10u);
    lp_fifo_read_finish(port);
    ASSERT_EQ(lp_fifo_surplus(), 16u);
    fifo.ecr = 0x74;  // a write followed, and its last bytes are still in the FIFO
    fifo.q = stream(5, 0x10);
    io.clear();
    EXPECT_EQ(lp_fifo_read_block(port, buf, 1), 1u);
    EXPECT_EQ(lp_fifo_read_finish(port), 0);
    EXPECT_EQ(steps(), "W 37a 06\nR 77a 74\nW 77a 64\n"             // the read: nErrIntrEn cleared
                       "R 37a 06\nW 37a 06\nR 379 f8\n"            // the finish: event 47, settled
                       "R 77a 64\n"                                // ECP mode: left as it is
                       "R 37a 06\nW 37a 06\n");
    EXPECT_EQ(fifo.q.size(), 5u);
    EXPECT_EQ(lp_fifo_surplus(), 15u);
}

// An ECR that asks for service with nothing in the FIFO, or none at all (0xFF: service, full and
// empty at once): the passes move nothing, keep the first expiry, and the read ends there.
TEST_F(FifoRead, EcrThatNeverDeliversEndsAtTheFirstExpiry) {
    for (const uint8_t shown : {uint8_t(0x75), uint8_t(0xFF)}) {
        SCOPED_TRACE(int(shown));
        io.clear();
        io.clock_cost_us = 100;
        port->phase = LP_PH_REV_DATA;
        int reads = 0;
        io.on_read(kEcr, [&] {
            if (++reads < 200000)
                return shown;
            ADD_FAILURE() << "the read does not end";
            return uint8_t(0x00);  // "not empty": the read runs out of room and ends
        });
        io.on_write(kEcr, [](uint8_t) {});
        uint8_t buf[32];
        const int64_t start = io.now_us;
        EXPECT_EQ(lp_fifo_read_block(port, buf, 32), 0u);
        EXPECT_LE(io.now_us - start, 110 * kMs);
    }
}

}  // namespace
