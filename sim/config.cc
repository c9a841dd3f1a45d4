// The configuration parser: comma-separated key=value words into a struct sim_config.
//
// It stands apart from the device so it can be fuzzed on its own: it touches no file and keeps no
// state, and every refusal is one line in err naming the word at fault.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string_view>

#include "sim/sim.h"

namespace {

constexpr const char *kFaultNames[SIM_NFAULTS] = {
    "no-peripheral", "refuse", "no-event6", "no-event31", "no-reverse", "no-forward",
    "stall", "short", "channel", "long-run", "ack-high", "ack-low", "pause", "no-ecr", "no-id", "id-length",
    "output-only",
};

__attribute__((format(printf, 3, 4))) int refuse(char *err, size_t errlen, const char *fmt, ...) {
    if (err && errlen) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(err, errlen, fmt, ap);
        va_end(ap);
    }
    return -1;
}

// A whole unsigned number in decimal, or hex with 0x; anything else is not a number.
bool number(std::string_view text, uint64_t max, uint64_t *out) {
    if (text.empty() || text.size() > 24 || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    char buf[32];
    memcpy(buf, text.data(), text.size());
    buf[text.size()] = 0;
    char *end;
    errno = 0;
    const unsigned long long v = strtoull(buf, &end, 0);
    if (errno || *end || v > max)
        return false;
    *out = v;
    return true;
}

bool path(std::string_view text, char *out) {
    if (text.empty() || text.size() >= SIM_PATH_MAX)
        return false;
    memcpy(out, text.data(), text.size());
    out[text.size()] = 0;
    return true;
}

int parse_fault(std::string_view value, sim_config *cfg, char *err, size_t errlen) {
    std::string_view name = value, arg;
    const size_t colon = value.find(':');
    if (colon != std::string_view::npos) {
        name = value.substr(0, colon);
        arg = value.substr(colon + 1);
    }
    int which = 0;
    while (which < SIM_NFAULTS && name != kFaultNames[which])
        which++;
    if (which == SIM_NFAULTS)
        return refuse(err, errlen, "sim: unknown fault '%.*s'", int(name.size()), name.data());
    cfg->faults |= 1u << which;
    if (colon == std::string_view::npos) {
        if (which == SIM_FAULT_SHORT)
            return refuse(err, errlen, "sim: fault 'short' needs a count (short:N)");
        if (which == SIM_FAULT_PAUSE)
            return refuse(err, errlen, "sim: fault 'pause' needs a length (pause:MS[@N])");
        if (which == SIM_FAULT_ID_LENGTH)
            return refuse(err, errlen, "sim: fault 'id-length' needs a length (id-length:N)");
        return 0;
    }
    // pause:MS@N: the pause begins once N forward bytes have been taken.
    const size_t at = which == SIM_FAULT_PAUSE ? arg.find('@') : std::string_view::npos;
    if (at != std::string_view::npos) {
        uint64_t n;
        const std::string_view after = arg.substr(at + 1);
        if (!number(after, 0xFFFFFFFFu, &n))
            return refuse(err, errlen, "sim: bad byte count '%.*s' for fault pause (0..4294967295)",
                          int(after.size()), after.data());
        cfg->fault_at[which] = uint32_t(n);
        arg = arg.substr(0, at);
    }
    const uint64_t max = which == SIM_FAULT_LONG_RUN ? 128 : which == SIM_FAULT_REFUSE ? 255
                       : which == SIM_FAULT_ID_LENGTH ? 0xFFFF : 0xFFFFFFFFu;
    const uint64_t min = which == SIM_FAULT_LONG_RUN ? 2 : 0;
    uint64_t n;
    if (!number(arg, max, &n) || n < min)
        return refuse(err, errlen, "sim: bad argument '%.*s' for fault %s (%llu..%llu)", int(arg.size()),
                      arg.data(), kFaultNames[which], (unsigned long long)min, (unsigned long long)max);
    cfg->fault_arg[which] = uint32_t(n);
    cfg->fault_has_arg[which] = 1;
    return 0;
}

// One key=value word. The thresholds are checked against the depth once every word is in.
int parse_word(std::string_view key, std::string_view value, sim_config *cfg, bool *given,
               char *err, size_t errlen) {
    uint64_t n;
    auto bad = [&](const char *range) {
        return refuse(err, errlen, "sim: bad value '%.*s' for %.*s (%s)", int(value.size()), value.data(),
                      int(key.size()), key.data(), range);
    };
    if (key == "fifo") {
        if (!number(value, 1024, &n)) return bad("0..1024");
        cfg->fifo = int(n);
    } else if (key == "wthr" || key == "rthr") {
        if (!number(value, 1024, &n)) return bad("0..fifo");
        (key == "wthr" ? cfg->wthr : cfg->rthr) = int(n);
        given[key == "wthr" ? 0 : 1] = true;
    } else if (key == "base" || key == "ecp") {
        if (!number(value, 0xFFFD, &n) || n == 0) return bad("an I/O address, 1..0xfffd");
        (key == "base" ? cfg->base : cfg->ecp) = uint32_t(n);
        given[key == "base" ? 2 : 3] = true;
    } else if (key == "cnfga") {
        if (!number(value, 255, &n)) return bad("0..0xff");
        cfg->cnfga = int(n);
    } else if (key == "rate") {
        if (!number(value, 1000000000, &n)) return bad("bytes per second, 0..1000000000");
        cfg->rate = n;
    } else if (key == "io_ns") {
        if (!number(value, 1000000000, &n) || n == 0) return bad("1..1000000000");
        cfg->io_ns = uint32_t(n);
    } else if (key == "latch") {
        if (!number(value, 1000000000, &n)) return bad("nanoseconds, 0..1000000000");
        cfg->latch_ns = uint32_t(n);
        given[4] = true;
    } else if (key == "print") {
        if (!number(value, 3600000, &n)) return bad("milliseconds, 0..3600000");
        cfg->print_ms = uint32_t(n);
    } else if (key == "jitter") {
        if (!number(value, UINT64_MAX, &n)) return bad("a seed, 0 (off) or more");
        cfg->jitter = n;
    } else if (key == "clock") {
        if (value != "real" && value != "virtual") return bad("real or virtual");
        cfg->virtual_clock = value == "virtual";
    } else if (key == "peer") {
        if (value == "echo") cfg->peer = SIM_PEER_ECHO;
        else if (value == "sink") cfg->peer = SIM_PEER_SINK;
        else if (value == "source") cfg->peer = SIM_PEER_SOURCE;
        else return bad("echo, sink or source");
    } else if (key == "rle") {
        if (value != "on" && value != "off") return bad("on or off");
        cfg->rle = value == "on";
    } else if (key == "sink" || key == "source" || key == "trace") {
        char *dst = key == "sink" ? cfg->sink : key == "source" ? cfg->source : cfg->trace;
        if (!path(value, dst)) return bad("a path");
    } else if (key == "fault") {
        return parse_fault(value, cfg, err, errlen);
    } else {
        return refuse(err, errlen, "sim: unknown key '%.*s'", int(key.size()), key.data());
    }
    return 0;
}

// The Device ID string: any characters, commas and blanks included, 1 to SIM_ID_MAX of them.
int parse_id(std::string_view value, sim_config *cfg, char *err, size_t errlen) {
    if (value.empty() || value.size() > SIM_ID_MAX)
        return refuse(err, errlen, "sim: bad value for id (1 to %d characters, and it comes last)", SIM_ID_MAX);
    // "\0" is a NUL byte, which a real ID may hold and a command line cannot.
    uint32_t n = 0;
    for (size_t i = 0; i < value.size(); i++) {
        const bool nul = value[i] == '\\' && i + 1 < value.size() && value[i + 1] == '0';
        cfg->device_id[n++] = nul ? 0 : value[i];
        i += nul ? 1 : 0;
    }
    cfg->device_id[n] = 0;
    cfg->device_id_len = n;
    return 0;
}

}  // namespace

extern "C" const char *sim_fault_name(int fault) {
    return fault >= 0 && fault < SIM_NFAULTS ? kFaultNames[fault] : nullptr;
}

extern "C" int sim_parse_config(const char *config, struct sim_config *cfg, char *err, size_t errlen) {
    *cfg = {};
    cfg->fifo = 16;
    cfg->cnfga = 0x10;
    cfg->base = 0x378;  // an onboard port
    cfg->rate = 1000000;
    cfg->io_ns = 1000;
    cfg->print_ms = 1000;
    cfg->peer = SIM_PEER_ECHO;
    memcpy(cfg->device_id, SIM_DEFAULT_ID, sizeof SIM_DEFAULT_ID);
    cfg->device_id_len = sizeof SIM_DEFAULT_ID - 1;
    bool given[5] = {false, false, false, false, false};  // wthr, rthr, base, ecp, latch

    std::string_view rest = config ? config : "";
    while (!rest.empty()) {
        if (rest.substr(0, 3) == "id=") {
            // A Device ID has commas of its own (CMD:PCL,PJL): it takes the rest of the string.
            if (parse_id(rest.substr(3), cfg, err, errlen))
                return -1;
            break;
        }
        const size_t comma = rest.find(',');
        const std::string_view word = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (comma != std::string_view::npos && rest.empty())
            return refuse(err, errlen, "sim: empty word at the end of the configuration");
        const size_t eq = word.find('=');
        if (word.empty())
            return refuse(err, errlen, "sim: empty word in the configuration");
        if (eq == std::string_view::npos)
            return refuse(err, errlen, "sim: '%.*s' is not key=value", int(word.size()), word.data());
        if (parse_word(word.substr(0, eq), word.substr(eq + 1), cfg, given, err, errlen))
            return -1;
    }
    // The hand-over from the output latch takes one access unless said otherwise: the next
    // access may find the FIFO empty with the last byte still in its handshake. On a link faster
    // than one byte an access, the hand-over is that byte's handshake, one link period: a longer
    // default would hold every byte past the link's own rate.
    if (!given[4])
        cfg->latch_ns = cfg->rate ? uint32_t(std::min<uint64_t>(cfg->io_ns, (1000000000ull + cfg->rate / 2) / cfg->rate))
                                  : cfg->io_ns;
    // Thresholds not given follow the depth: half of it, 8 for the default 16.
    if (!given[0]) cfg->wthr = cfg->fifo / 2;
    if (!given[1]) cfg->rthr = cfg->fifo / 2;
    // The ECP registers of an onboard port lie 0x400 above its base; a card's are given.
    if (!given[3])
        cfg->ecp = cfg->base + 0x400 <= 0xFFFD ? cfg->base + 0x400 : 0xFFFD;
    if (cfg->ecp <= cfg->base + 2 && cfg->base <= cfg->ecp + 2)
        return refuse(err, errlen, "sim: ecp 0x%x overlaps the port at 0x%x", cfg->ecp, cfg->base);
    if (cfg->wthr > cfg->fifo)
        return refuse(err, errlen, "sim: wthr %d is larger than fifo %d", cfg->wthr, cfg->fifo);
    if (cfg->rthr > cfg->fifo)
        return refuse(err, errlen, "sim: rthr %d is larger than fifo %d", cfg->rthr, cfg->fifo);
    if (cfg->peer == SIM_PEER_SINK && !cfg->sink[0])
        return refuse(err, errlen, "sim: peer=sink needs sink=PATH");
    if (cfg->peer == SIM_PEER_SOURCE && !cfg->source[0])
        return refuse(err, errlen, "sim: peer=source needs source=PATH");
    return 0;
}
