// Fuzz target: the simulator's configuration parser on arbitrary text.
//
// The input is the configuration string (cut at its first zero byte, as a C string would be).
// A refusal must come with a message; an accepted configuration must hold only values in their
// documented ranges, and the string rebuilt from its fields must parse to the same configuration,
// so nothing the parser accepted depends on how it was written.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/check.h"
#include "sim/sim.h"

namespace {

constexpr const char *kPeers[] = {"echo", "sink", "source"};

bool terminated(const char *s) { return memchr(s, 0, SIM_PATH_MAX) != nullptr; }

void check_ranges(const sim_config &c) {
    if (c.fifo < 0 || c.fifo > 1024)
        fuzz::fail("fifo %d", c.fifo);
    if (c.wthr < 0 || c.wthr > c.fifo || c.rthr < 0 || c.rthr > c.fifo)
        fuzz::fail("thresholds %d %d for fifo %d", c.wthr, c.rthr, c.fifo);
    if (c.cnfga < 0 || c.cnfga > 0xFF)
        fuzz::fail("cnfga %d", c.cnfga);
    if (c.rate > 1000000000)
        fuzz::fail("rate %llu", (unsigned long long)c.rate);
    if (c.io_ns < 1 || c.io_ns > 1000000000)
        fuzz::fail("io_ns %u", c.io_ns);
    if ((c.virtual_clock != 0 && c.virtual_clock != 1) || (c.rle != 0 && c.rle != 1))
        fuzz::fail("clock %d rle %d", c.virtual_clock, c.rle);
    if (c.peer < SIM_PEER_ECHO || c.peer > SIM_PEER_SOURCE)
        fuzz::fail("peer %d", c.peer);
    if (c.faults >> SIM_NFAULTS)
        fuzz::fail("fault bits %x", c.faults);
    for (int f = 0; f < SIM_NFAULTS; f++) {
        const bool on = c.faults & (1u << f);
        if (c.fault_has_arg[f] && !on)
            fuzz::fail("an argument for fault %s, which is off", sim_fault_name(f));
        if (!c.fault_has_arg[f] && c.fault_arg[f] != 0)
            fuzz::fail("fault %s: argument %u without one given", sim_fault_name(f), c.fault_arg[f]);
        if (on && (f == SIM_FAULT_SHORT || f == SIM_FAULT_PAUSE) && !c.fault_has_arg[f])
            fuzz::fail("fault %s without its number", sim_fault_name(f));
        if (f != SIM_FAULT_PAUSE && c.fault_at[f] != 0)
            fuzz::fail("fault %s: a byte count (@N), which only pause takes", sim_fault_name(f));
    }
    if (c.fault_has_arg[SIM_FAULT_LONG_RUN] && (c.fault_arg[SIM_FAULT_LONG_RUN] < 2 || c.fault_arg[SIM_FAULT_LONG_RUN] > 128))
        fuzz::fail("long-run %u", c.fault_arg[SIM_FAULT_LONG_RUN]);
    if (c.fault_has_arg[SIM_FAULT_REFUSE] && c.fault_arg[SIM_FAULT_REFUSE] > 255)
        fuzz::fail("refuse %u", c.fault_arg[SIM_FAULT_REFUSE]);
    if (!terminated(c.sink) || !terminated(c.source) || !terminated(c.trace))
        fuzz::fail("a path without its terminating zero");
    if ((c.peer == SIM_PEER_SINK && !c.sink[0]) || (c.peer == SIM_PEER_SOURCE && !c.source[0]))
        fuzz::fail("peer %s without its file", kPeers[c.peer]);
}

// The configuration written out again, every field by its key.
std::string rebuild(const sim_config &c) {
    char buf[256];
    snprintf(buf, sizeof buf,
             "fifo=%d,wthr=%d,rthr=%d,cnfga=%#x,base=%#x,ecp=%#x,rate=%llu,clock=%s,io_ns=%u,peer=%s,rle=%s,"
             "latch=%u,print=%u,jitter=%llu",
             c.fifo, c.wthr, c.rthr, c.cnfga, c.base, c.ecp, (unsigned long long)c.rate,
             c.virtual_clock ? "virtual" : "real", c.io_ns, kPeers[c.peer], c.rle ? "on" : "off", c.latch_ns,
             c.print_ms, (unsigned long long)c.jitter);
    std::string s = buf;
    if (c.sink[0]) s += std::string(",sink=") + c.sink;
    if (c.source[0]) s += std::string(",source=") + c.source;
    if (c.trace[0]) s += std::string(",trace=") + c.trace;
    for (int f = 0; f < SIM_NFAULTS; f++) {
        if (!(c.faults & (1u << f)))
            continue;
        s += std::string(",fault=") + sim_fault_name(f);
        if (c.fault_has_arg[f])
            s += ":" + std::to_string(c.fault_arg[f]);
        if (c.fault_at[f])
            s += "@" + std::to_string(c.fault_at[f]);
    }
    // Last: the ID takes the rest of the string, commas and all; its NUL bytes are written "\\0".
    s += ",id=";
    for (uint32_t i = 0; i < c.device_id_len; i++)
        s += c.device_id[i] ? std::string(1, c.device_id[i]) : std::string("\\0");
    return s;
}

bool same(const sim_config &a, const sim_config &b) {
    return a.fifo == b.fifo && a.wthr == b.wthr && a.rthr == b.rthr && a.cnfga == b.cnfga && a.base == b.base &&
           a.ecp == b.ecp && a.rate == b.rate &&
           a.virtual_clock == b.virtual_clock && a.io_ns == b.io_ns && a.peer == b.peer && a.rle == b.rle &&
           a.faults == b.faults && !memcmp(a.fault_arg, b.fault_arg, sizeof a.fault_arg) &&
           !memcmp(a.fault_has_arg, b.fault_has_arg, sizeof a.fault_has_arg) &&
           !memcmp(a.fault_at, b.fault_at, sizeof a.fault_at) && !strcmp(a.sink, b.sink) &&
           !strcmp(a.source, b.source) && !strcmp(a.trace, b.trace) && a.latch_ns == b.latch_ns &&
           a.print_ms == b.print_ms && a.jitter == b.jitter && a.device_id_len == b.device_id_len &&
           !memcmp(a.device_id, b.device_id, a.device_id_len);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::keep_stderr();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly the string and its zero, so ASan sees any read past the end.
    char *text = static_cast<char *>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = 0;
    // Filled with a mark first, so a refusal that leaves no message shows.
    constexpr size_t kErrLen = 128;
    char *err = static_cast<char *>(malloc(kErrLen));
    memset(err, 0x7F, kErrLen);
    sim_config cfg;
    const int r = sim_parse_config(text, &cfg, err, kErrLen);
    if (r != 0 && r != -1)
        fuzz::fail("result %d", r);
    if (r == -1) {
        if (!memchr(err, 0, kErrLen) || strncmp(err, "sim: ", 5) != 0)
            fuzz::fail("refused without a message");
    } else {
        check_ranges(cfg);
        const std::string again = rebuild(cfg);
        sim_config cfg2;
        if (sim_parse_config(again.c_str(), &cfg2, err, kErrLen) != 0)
            fuzz::fail("'%s' refused after it was accepted: %s", again.c_str(), err);
        if (!same(cfg, cfg2))
            fuzz::fail("'%s' parses to another configuration", again.c_str());
    }
    free(err);
    free(text);
    return 0;
}
