// The peripheral's answer at each IEEE 1284 event, driven by hand-written host sequences.
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "tests/sim/harness.h"

using namespace simtest;

namespace {

struct sw_byte {
    uint8_t value;
    bool command;
};

// One reverse byte by software handshake (events 43 to 46); false when nothing came.
bool read_sw(host &h, sw_byte *out) {
    if (!h.wait(0x40, 0x00, 20))
        return false;  // event 43 never came
    out->command = h.status() & 0x80;
    out->value = h.in(DATA);
    h.ctl(0x20);  // event 44: HostAck high
    EXPECT_TRUE(h.wait(0x40, 0x40, 5)) << "event 45";
    h.ctl(0x22);  // event 46: HostAck low
    return true;
}

// One forward byte by software handshake (events 34 to 37), HostAck high for data.
void write_sw(host &h, uint8_t byte, bool command = false) {
    const uint8_t base = command ? 0x06 : 0x04;
    h.ctl(base);
    h.out(DATA, byte);       // event 34
    h.ctl(base | 0x01);      // event 35: HostClk low
    EXPECT_EQ(h.status() & 0x80, 0x00) << "event 36: PeriphAck high";
    h.ctl(base);             // event 37: HostClk high
    EXPECT_EQ(h.status() & 0x80, 0x80) << "PeriphAck low again";
}

// The lines a new connection's first INIT puts out: the probe's reverse bit, the initial state,
// the nInit pulse of the first termination, then 1284Active low.
void new_connection(host &h) {
    h.ctl(0x20);
    h.ctl(0x00);
    h.sleep(50);
    h.ctl(0x0C);
}

TEST(SimNegotiation, EcpAcceptedStepByStep) {
    host h("clock=virtual");
    EXPECT_EQ(h.status(), 0xD8);  // compatibility idle: Busy low, nAck high, Select, nFault
    h.ctl(0x0C);
    h.out(DATA, 0x10);
    h.ctl(0x06);  // event 1
    EXPECT_EQ(h.status(), 0xB8);  // event 2: nAck low; PError, Select, nFault high
    EXPECT_STREQ(h.state(), "neg-req");
    h.ctl(0x07);  // event 3
    EXPECT_EQ(h.status(), 0xB8);
    h.ctl(0x04);  // event 4
    EXPECT_EQ(h.status(), 0xD8);  // XFlag high, PError low, nAck high (event 6)
    EXPECT_STREQ(h.state(), "ecp-setup");
    h.ctl(0x06);  // event 30
    EXPECT_EQ(h.status(), 0xF8);  // event 31: nAckReverse high
    EXPECT_STREQ(h.state(), "fwd-idle");
}

TEST(SimNegotiation, XFlagPerRequest) {
    const struct {
        uint8_t request;
        uint8_t status;  // after event 6
    } cases[] = {
        {0x00, 0xE8},  // nibble: accepted with XFlag low
        {0x01, 0xF8},  // byte
        {0x10, 0xD8},  // ECP: XFlag high, PError low
        {0x30, 0xD8},  // ECP with RLE
        {0x40, 0xF8},  // EPP
        {0x80, 0xF8},  // extensibility link
        {0x04, 0xD0},  // Device ID, nibble: XFlag high, nDataAvail and AckDataReq low
        {0x14, 0xD8},  // Device ID, ECP
        {0x05, 0xE8},  // Device ID, byte mode: not offered, XFlag low
        {0x02, 0xE8},  // not supported
    };
    for (const auto &c : cases) {
        host h("clock=virtual");
        EXPECT_EQ(h.negotiate(c.request), c.status) << "request " << int(c.request);
    }
}

// In ECP FIFO mode the port hardware drives nAutoFd, so the host's HostBusy never reaches the
// peripheral: no nibble is presented.
TEST(SimDeviceId, NibbleHandshakeNeedsTheLinesInSoftwareHands) {
    host h("clock=virtual");
    ASSERT_EQ(h.negotiate(0x04), 0xD0);
    h.ecr(0x74);  // mode 011
    h.ctl(0x06);
    EXPECT_EQ(h.status(), 0xD0);
    EXPECT_STREQ(h.state(), "nib-idle");
}

TEST(SimDeviceId, NoIdFaultRefusesOnlyTheIdRequests) {
    for (const auto &[request, status] : std::vector<std::pair<uint8_t, uint8_t>>{
             {0x04, 0xE8}, {0x05, 0xE8}, {0x14, 0xE8}, {0x10, 0xD8}, {0x00, 0xE8}}) {
        host h("clock=virtual,fault=no-id");
        EXPECT_EQ(h.negotiate(request), status) << "request " << int(request);
    }
}

TEST(SimNegotiation, ExtensibilityLinkAnswersTheLinkByte) {
    for (const auto &[link, xflag] : std::vector<std::pair<uint8_t, uint8_t>>{{0x10, 0x10}, {0x55, 0x00}}) {
        host h("clock=virtual");
        ASSERT_EQ(h.negotiate(0x80), 0xF8);
        h.out(DATA, link);
        h.ctl(0x05);  // nStrobe low
        EXPECT_EQ(h.status() & 0x40, 0x00);
        h.ctl(0x04);  // nStrobe high
        const uint8_t s = h.status();
        EXPECT_EQ(s & 0x40, 0x40);
        EXPECT_EQ(s & 0x10, xflag) << "link byte " << int(link);
    }
}

TEST(SimNegotiation, NoEcpSetupForOtherModes) {
    host h("clock=virtual");
    ASSERT_EQ(h.negotiate(0x40), 0xF8);
    h.ctl(0x06);  // HostAck low means nothing outside ECP
    EXPECT_STREQ(h.state(), "other");
}

TEST(SimTermination, EventsTwentyTwoToTwentyEight) {
    host h("clock=virtual");
    h.ecp();
    h.ctl(0x04);
    const auto [s24, s27] = h.terminate();
    EXPECT_EQ(s24, 0x98);  // event 24: nAck low
    EXPECT_EQ(s27, 0xD8);  // event 27: compatibility lines, nAck high
    EXPECT_STREQ(h.state(), "compat");
    EXPECT_EQ(h.status(), 0xD8);
}

TEST(SimTermination, CompatibilityIdleIgnoresIt) {
    host h("clock=virtual");
    h.ctl(0x04);  // 1284Active high, nAutoFd high: not event 1
    EXPECT_STREQ(h.state(), "compat");
    const auto [s24, s27] = h.terminate();
    EXPECT_EQ(s24, 0xD8);  // nAck never drops
    EXPECT_EQ(s27, 0xD8);
}

TEST(SimTermination, NewEventOneCountsHalfDoneTerminationAsDone) {
    for (int stop_after : {24, 27}) {
        host h("clock=virtual");
        h.ecp();
        h.ctl(0x0C);  // event 22
        if (stop_after == 27)
            h.ctl(0x0E);  // event 25
        h.ctl(0x0C);
        h.out(DATA, 0x10);
        h.ctl(0x06);  // event 1
        EXPECT_EQ(h.status(), 0xB8) << "after event " << stop_after;
        EXPECT_STREQ(h.state(), "neg-req");
    }
}

TEST(SimReset, NInitPulseReturnsToCompatibility) {
    host h("clock=virtual");
    ASSERT_EQ(h.negotiate(0x40), 0xF8);
    h.ctl(0x00);  // nInit low: the EPP peripheral resets
    EXPECT_STREQ(h.state(), "compat");
    h.ctl(0x0C);
    EXPECT_EQ(h.status(), 0xD8);
}

TEST(SimReset, NextConnectionRecoversFromAnyState) {
    const std::vector<std::string> left_in = {"neg-req", "other", "fwd-idle", "fwd-busy", "rev-req", "rev-present", "term-24"};
    for (const std::string &where : left_in) {
        host h("clock=virtual,fault=no-reverse");
        h.allow_host_errors();  // a dead connection's leftovers: the next INIT runs into them
        const uint8_t x = 'x';
        sim_peer_push(h.sim, &x, 1);
        if (where == "neg-req") {
            h.ctl(0x0C);
            h.out(DATA, 0x10);
            h.ctl(0x06);
        } else if (where == "other") {
            h.negotiate(0x01);
        } else {
            h.ecp();
            if (where == "fwd-busy") {
                h.ctl(0x04);
                h.ctl(0x05);
            } else if (where == "rev-req") {
                h.reverse();
            } else if (where == "term-24") {
                h.ctl(0x0C);
            }
        }
        if (where == "rev-present") {
            host h2("clock=virtual");  // a peripheral that does reverse, left presenting a byte
            h2.allow_host_errors();
            h2.ecp();
            sim_peer_push(h2.sim, &x, 1);
            ASSERT_TRUE(h2.reverse());
            h2.ctl(0x22);
            ASSERT_STREQ(h2.state(), "rev-present");
            new_connection(h2);
            h2.ecp();
            EXPECT_STREQ(h2.state(), "fwd-idle");
            continue;
        }
        ASSERT_STREQ(h.state(), where.c_str());
        new_connection(h);
        h.ecp();
        EXPECT_STREQ(h.state(), "fwd-idle") << "left in " << where;
    }
}

TEST(SimSoftware, ForwardDataAndCommands) {
    host h("clock=virtual");
    h.ecp();
    write_sw(h, 'A');
    write_sw(h, 0x02, true);   // run-length count: the next data byte stands for 3
    write_sw(h, 'B');
    write_sw(h, 0x85, true);   // channel address: no data
    write_sw(h, 'C');
    uint8_t got[16];
    const size_t n = sim_peer_take(h.sim, got, sizeof got);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(got), n), "ABBBC");
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.bytes_to_peer, 5u);
}

TEST(SimSoftware, ReverseMarksDataAndCommands) {
    host h("clock=virtual,rle=on");
    h.ecp();
    const uint8_t q[] = {'a', 'b', 'b', 'b', 'c'};
    sim_peer_push(h.sim, q, sizeof q);
    ASSERT_TRUE(h.reverse());
    h.ctl(0x22);
    EXPECT_EQ(h.status(), 0x18);  // event 43, data: PeriphAck high, PeriphClk low
    EXPECT_EQ(h.in(DATA), 'a');
    h.ctl(0x20);                  // event 44
    EXPECT_EQ(h.status(), 0x58);  // event 45: PeriphClk high
    h.ctl(0x22);                  // event 46
    EXPECT_EQ(h.status(), 0x98);  // a command: PeriphAck low
    EXPECT_EQ(h.in(DATA), 0x02);  // run of 3
    h.ctl(0x20);
    EXPECT_EQ(h.status(), 0xD8);
    h.ctl(0x22);
    sw_byte b;
    ASSERT_TRUE(read_sw(h, &b));
    EXPECT_EQ(b.value, 'b');
    EXPECT_FALSE(b.command);
    ASSERT_TRUE(read_sw(h, &b));
    EXPECT_EQ(b.value, 'c');
    EXPECT_FALSE(read_sw(h, &b));  // nothing more: PeriphClk stays high
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.bytes_from_peer, 5u);

    h.ctl(0x26);  // event 47: nReverseRequest high
    EXPECT_EQ(h.status() & 0xE0, 0xE0);  // event 49 and PeriphAck low, PeriphClk high
    EXPECT_STREQ(h.state(), "fwd-idle");
}

TEST(SimSoftware, UnacknowledgedByteIsPresentedAgainAfterTurningBack) {
    host h("clock=virtual");
    h.ecp();
    const uint8_t q[] = {'p', 'q'};
    sim_peer_push(h.sim, q, 2);
    ASSERT_TRUE(h.reverse());
    h.ctl(0x22);
    EXPECT_EQ(h.in(DATA), 'p');
    h.ctl(0x26);  // back to forward without event 44
    h.ctl(0x06);
    ASSERT_TRUE(h.reverse());
    sw_byte b;
    ASSERT_TRUE(read_sw(h, &b));
    EXPECT_EQ(b.value, 'p');
    ASSERT_TRUE(read_sw(h, &b));
    EXPECT_EQ(b.value, 'q');
}

TEST(SimSoftware, DataRegisterShowsHostLatchForwardAndPeripheralReverse) {
    host h("clock=virtual");
    h.ecp();
    h.out(DATA, 0x5A);
    EXPECT_EQ(h.in(DATA), 0x5A);
    const uint8_t q = 0xC3;
    sim_peer_push(h.sim, &q, 1);
    ASSERT_TRUE(h.reverse());
    h.ctl(0x22);
    EXPECT_EQ(h.in(DATA), 0xC3);
}

// nPeriphRequest: in ECP forward idle nFault is low exactly while the peripheral has something to
// send; compatibility idle (and every other state) keeps its own level, data or not.
TEST(SimPeriphRequest, NFaultInForwardIdleFollowsTheReverseData) {
    const std::string src = "/tmp/tessal-periph-src-" + std::to_string(getpid());
    const std::string empty = src + "-empty";
    std::ofstream(src) << "status";
    std::ofstream(empty).flush();
    struct row {
        std::string config;
        const char *push;  // for the echo peer
        uint8_t idle;
    };
    const row rows[] = {
        {"", "", 0xF8},
        {"", "x", 0xF0},
        {",fault=short:0", "x", 0xF8},  // the peripheral will send nothing after all
        {",fault=channel", "", 0xF0},   // a channel address waits to be presented
        {",peer=source,source=" + src, "", 0xF0},
        {",peer=source,source=" + empty, "", 0xF8},
    };
    for (const row &r : rows) {
        host h("clock=virtual" + r.config);
        sim_peer_push(h.sim, reinterpret_cast<const uint8_t *>(r.push), std::strlen(r.push));
        EXPECT_EQ(h.status(), 0xD8) << r.config << " '" << r.push << "'";
        h.ecp();
        EXPECT_EQ(h.status(), r.idle) << r.config << " '" << r.push << "'";
    }
    unlink(src.c_str());
    unlink(empty.c_str());
}

TEST(SimPeriphRequest, NFaultRisesOnceEverythingIsReadAndCoversTheDeviceId) {
    host h("clock=virtual");
    h.ecp();
    const uint8_t q[] = {'a', 'b'};
    sim_peer_push(h.sim, q, 2);
    EXPECT_EQ(h.status(), 0xF0);
    ASSERT_TRUE(h.reverse());
    h.ctl(0x22);
    EXPECT_EQ(h.status(), 0x18);  // a byte presented: the reverse states' own levels
    sw_byte b;
    ASSERT_TRUE(read_sw(h, &b));
    ASSERT_TRUE(read_sw(h, &b));
    h.ctl(0x26);  // event 47
    EXPECT_EQ(h.status(), 0xF8);  // forward idle with nothing left to send
    h.terminate();
    h.negotiate(0x14);
    h.ctl(0x06);  // event 30: ECP forward idle, with the Device ID to send
    EXPECT_EQ(h.status(), 0xF0);
}

}  // namespace
