// The configuration parser and sim_create's refusals.
#include <cstring>
#include <string>

#include "sim/sim.h"

#include <gtest/gtest.h>

namespace {

TEST(SimConfig, Defaults) {
    for (const char *text : {(const char *)nullptr, ""}) {
        sim_config c;
        char err[128] = "";
        ASSERT_EQ(sim_parse_config(text, &c, err, sizeof err), 0) << err;
        EXPECT_EQ(c.fifo, 16);
        EXPECT_EQ(c.wthr, 8);
        EXPECT_EQ(c.rthr, 8);
        EXPECT_EQ(c.cnfga, 0x10);
        EXPECT_EQ(c.base, 0x378u);
        EXPECT_EQ(c.ecp, 0x778u);
        EXPECT_EQ(c.rate, 1000000u);
        EXPECT_EQ(c.virtual_clock, 0);
        EXPECT_EQ(c.io_ns, 1000u);
        EXPECT_EQ(c.peer, SIM_PEER_ECHO);
        EXPECT_EQ(c.rle, 0);
        EXPECT_EQ(c.faults, 0u);
        EXPECT_STREQ(c.trace, "");
    }
}

TEST(SimConfig, EveryKey) {
    sim_config c;
    char err[128] = "";
    ASSERT_EQ(sim_parse_config("fifo=32,wthr=4,rthr=20,cnfga=0x20,rate=0,clock=virtual,io_ns=250,"
                               "peer=source,source=/tmp/in,sink=/tmp/out,rle=on,trace=/tmp/t,"
                               "fault=stall:3,fault=ack-low,fault=long-run:64",
                               &c, err, sizeof err),
              0)
        << err;
    EXPECT_EQ(c.fifo, 32);
    EXPECT_EQ(c.wthr, 4);
    EXPECT_EQ(c.rthr, 20);
    EXPECT_EQ(c.cnfga, 0x20);
    EXPECT_EQ(c.rate, 0u);
    EXPECT_EQ(c.virtual_clock, 1);
    EXPECT_EQ(c.io_ns, 250u);
    EXPECT_EQ(c.peer, SIM_PEER_SOURCE);
    EXPECT_STREQ(c.source, "/tmp/in");
    EXPECT_STREQ(c.sink, "/tmp/out");
    EXPECT_STREQ(c.trace, "/tmp/t");
    EXPECT_EQ(c.rle, 1);
    EXPECT_EQ(c.faults, (1u << SIM_FAULT_STALL) | (1u << SIM_FAULT_ACK_LOW) | (1u << SIM_FAULT_LONG_RUN));
    EXPECT_EQ(c.fault_arg[SIM_FAULT_STALL], 3u);
    EXPECT_EQ(c.fault_has_arg[SIM_FAULT_ACK_LOW], 0);
    EXPECT_EQ(c.fault_arg[SIM_FAULT_LONG_RUN], 64u);
    ASSERT_EQ(sim_parse_config("base=0xd010,ecp=0xd000", &c, err, sizeof err), 0) << err;
    EXPECT_EQ(c.base, 0xd010u);
    EXPECT_EQ(c.ecp, 0xd000u);
    ASSERT_EQ(sim_parse_config("base=0x278", &c, err, sizeof err), 0) << err;  // ECP follows the base
    EXPECT_EQ(c.ecp, 0x678u);
    ASSERT_EQ(sim_parse_config("fault=pause:250@4096", &c, err, sizeof err), 0) << err;
    EXPECT_EQ(c.fault_arg[SIM_FAULT_PAUSE], 250u);
    EXPECT_EQ(c.fault_at[SIM_FAULT_PAUSE], 4096u);
    ASSERT_EQ(sim_parse_config("", &c, err, sizeof err), 0) << err;  // never kinder than hardware by default
    EXPECT_EQ(c.latch_ns, 1000u);  // one access
    EXPECT_EQ(c.print_ms, 1000u);
    // One access, or one link period when the link is faster than the accesses.
    for (const auto &[config, latch] : {std::pair{"rate=0,io_ns=20000", 20000u}, std::pair{"io_ns=20000", 1000u},
                                        std::pair{"rate=2000000", 500u}}) {
        ASSERT_EQ(sim_parse_config(config, &c, err, sizeof err), 0) << err;
        EXPECT_EQ(c.latch_ns, latch) << config;
    }
    EXPECT_EQ(c.jitter, 0u);
    ASSERT_EQ(sim_parse_config("latch=0,print=250,jitter=0xffffffffffffffff", &c, err, sizeof err), 0) << err;
    EXPECT_EQ(c.latch_ns, 0u);
    EXPECT_EQ(c.print_ms, 250u);
    EXPECT_EQ(c.jitter, ~0ull);
    EXPECT_NE(sim_parse_config("print=3600001", &c, err, sizeof err), 0);
}

TEST(SimConfig, EveryFaultName) {
    const char *names[] = {"no-peripheral", "refuse", "no-event6", "no-event31", "no-reverse", "no-forward",
                           "stall", "short:4", "channel", "long-run", "ack-high", "ack-low", "pause:5", "no-ecr",
                           "no-id", "id-length:5", "output-only"};
    static_assert(sizeof names / sizeof names[0] == SIM_NFAULTS);
    for (int i = 0; i < SIM_NFAULTS; i++) {
        sim_config c;
        char err[128] = "";
        const std::string text = std::string("fault=") + names[i];
        ASSERT_EQ(sim_parse_config(text.c_str(), &c, err, sizeof err), 0) << err;
        EXPECT_EQ(c.faults, 1u << i) << names[i];
    }
}

TEST(SimConfig, RefusalsNameTheWord) {
    const struct {
        const char *text;
        const char *message;
    } cases[] = {
        {"fifp=16", "sim: unknown key 'fifp'"},
        {"fifo=abc", "sim: bad value 'abc' for fifo (0..1024)"},
        {"fifo=1025", "sim: bad value '1025' for fifo (0..1024)"},
        {"fifo=-1", "sim: bad value '-1' for fifo (0..1024)"},
        {"fifo=", "sim: bad value '' for fifo (0..1024)"},
        {"clock=fast", "sim: bad value 'fast' for clock (real or virtual)"},
        {"peer=printer", "sim: bad value 'printer' for peer (echo, sink or source)"},
        {"rle=yes", "sim: bad value 'yes' for rle (on or off)"},
        {"io_ns=0", "sim: bad value '0' for io_ns (1..1000000000)"},
        {"fifo=4,wthr=8", "sim: wthr 8 is larger than fifo 4"},
        {"rthr=17", "sim: rthr 17 is larger than fifo 16"},
        {"peer=sink", "sim: peer=sink needs sink=PATH"},
        {"peer=source", "sim: peer=source needs source=PATH"},
        {"fault=melt", "sim: unknown fault 'melt'"},
        {"fault=short", "sim: fault 'short' needs a count (short:N)"},
        {"fault=long-run:1", "sim: bad argument '1' for fault long-run (2..128)"},
        {"fault=refuse:256", "sim: bad argument '256' for fault refuse (0..255)"},
        {"fault=pause", "sim: fault 'pause' needs a length (pause:MS[@N])"},
        {"fault=pause:5@x", "sim: bad byte count 'x' for fault pause (0..4294967295)"},
        {"fault=stall:5@3", "sim: bad argument '5@3' for fault stall (0..4294967295)"},
        {"fault=id-length", "sim: fault 'id-length' needs a length (id-length:N)"},
        {"fault=id-length:65536", "sim: bad argument '65536' for fault id-length (0..65535)"},
        {"fifo=16,id=", "sim: bad value for id (1 to 2047 characters, and it comes last)"},
        {"fifo=16,,rate=0", "sim: empty word in the configuration"},
        {"fifo=16,", "sim: empty word at the end of the configuration"},
        {"virtual", "sim: 'virtual' is not key=value"},
        {"base=0", "sim: bad value '0' for base (an I/O address, 1..0xfffd)"},
        {"ecp=0x10000", "sim: bad value '0x10000' for ecp (an I/O address, 1..0xfffd)"},
        {"base=0xd010,ecp=0xd012", "sim: ecp 0xd012 overlaps the port at 0xd010"},
    };
    for (const auto &c : cases) {
        sim_config cfg;
        char err[128] = "";
        EXPECT_EQ(sim_parse_config(c.text, &cfg, err, sizeof err), -1) << c.text;
        EXPECT_STREQ(err, c.message) << c.text;
    }
}

// The Device ID has commas and blanks of its own: id= takes the rest of the string.
TEST(SimConfig, DeviceIdTakesTheRest) {
    sim_config c;
    char err[128] = "";
    ASSERT_EQ(sim_parse_config("", &c, err, sizeof err), 0);
    EXPECT_STREQ(c.device_id, "MFG:Tessaline;MDL:MFP-1284 Sim;CMD:PCL,PJL;CLS:PRINTER;DES:tessal simulated MFP;");
    ASSERT_EQ(sim_parse_config("fifo=8,id=MFG:A b;CMD:PCL,PJL,fifo=4", &c, err, sizeof err), 0) << err;
    EXPECT_STREQ(c.device_id, "MFG:A b;CMD:PCL,PJL,fifo=4");
    EXPECT_EQ(c.fifo, 8);
    const std::string longest = "id=" + std::string(SIM_ID_MAX, 'x');
    EXPECT_EQ(sim_parse_config(longest.c_str(), &c, err, sizeof err), 0);
    EXPECT_EQ(strlen(c.device_id), size_t(SIM_ID_MAX));
    EXPECT_EQ(sim_parse_config((longest + "x").c_str(), &c, err, sizeof err), -1);
}

TEST(SimConfig, CreateRefusesWithTheMessage) {
    char err[256] = "";
    EXPECT_EQ(sim_create("fifp=16", err, sizeof err), nullptr);
    EXPECT_STREQ(err, "sim: unknown key 'fifp'");
    EXPECT_EQ(sim_create("peer=sink,sink=/nonexistent/dir/out", err, sizeof err), nullptr);
    EXPECT_STREQ(err, "sim: cannot open sink '/nonexistent/dir/out': No such file or directory");
    EXPECT_EQ(sim_create("peer=source,source=/nonexistent/in", err, sizeof err), nullptr);
    EXPECT_NE(strstr(err, "cannot open source"), nullptr);
}

TEST(SimConfig, LongMessagesAreCutNotOverrun) {
    char err[16];
    memset(err, 'x', sizeof err);
    sim_config c;
    EXPECT_EQ(sim_parse_config("averyveryverylongkey=1", &c, err, 12), -1);
    EXPECT_EQ(strlen(err), 11u);
    EXPECT_EQ(err[12], 'x');
}

}  // namespace
