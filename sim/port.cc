// The host side of the port: DATA, STATUS, CONTROL, the FIFO in the ECP range, the ECR, and
// the link that the port hardware runs in ECP FIFO mode (011).
//
// The FIFO is one buffer for every ECR mode: test mode (110) lets the host fill and empty it with
// nothing on the wire, mode 011 moves it to or from the peripheral at the link rate, and a change
// to mode 000 or 001 empties it. serviceIntr is level-checked at every access while it is armed
// (written 0), so the port sets it as soon as the threshold condition holds.
//
// Strict where hardware is: the data lines change direction only in mode 001 (mode 000 always
// drives them) and keep it through the other modes; a host that drives them while the peripheral
// does, or that leaves mode 011 with printed bytes still in the FIFO, makes a host error, counted
// and reported on the console, so a link that would fail on a real port fails here too.
#include <stdio.h>

#include <algorithm>

#include "port/log.h"
#include "sim/internal.h"

namespace sim_impl {

namespace {

constexpr uint8_t kModeSpp = 0x00, kModePs2 = 0x20, kModeEcp = 0x60, kModeTest = 0xC0, kModeCnfg = 0xE0;

bool fifo_full(const struct sim *sim) { return sim->port.count >= uint32_t(sim->cfg.fifo); }

bool no_ecr(const struct sim *sim) { return fault(sim, SIM_FAULT_NO_ECR); }

void fifo_push(struct sim *sim, uint8_t byte, uint8_t kind) {
    port_state &p = sim->port;
    if (fifo_full(sim))
        return;  // a write to a full FIFO is lost, as on the hardware
    if (p.count == 0)
        p.fifo_kind = kind;
    p.fifo[(p.head + p.count) % kFifoMax] = byte;
    p.count++;
}

// A read of the empty FIFO returns the last byte again.
uint8_t fifo_pop(struct sim *sim) {
    port_state &p = sim->port;
    if (p.count == 0)
        return p.last;
    p.last = p.fifo[p.head];
    p.head = (p.head + 1) % kFifoMax;
    p.count--;
    return p.last;
}

// Bytes pulled by a reverse transfer that was left early go with the FIFO.
void fifo_clear(struct sim *sim) {
    port_state &p = sim->port;
    p.count = 0;
    p.head = 0;
    p.run_pending = 0;
    p.run_left = 0;
}

// A run-length count is expanded by the port as room in the FIFO allows; it costs no link time,
// since the copies never cross the cable.
void expand_run(struct sim *sim) {
    port_state &p = sim->port;
    while (p.run_left && !fifo_full(sim)) {
        fifo_push(sim, p.run_byte, FIFO_REVERSE);
        p.run_left--;
    }
}

enum link_work { LINK_IDLE, LINK_FORWARD, LINK_REVERSE };

// With the lines driven by the host the port sends the FIFO's bytes; with them reversed, and
// nReverseRequest low, it pulls the peripheral's.
// The peripheral is in ECP forward mode, where the port hardware strobes bytes to it.
bool periph_in_forward(const struct sim *sim) {
    return sim->periph.state == SIM_P_FWD_IDLE || sim->periph.state == SIM_P_FWD_BUSY;
}

link_work next_work(struct sim *sim, uint64_t) {
    const port_state &p = sim->port;
    if (port_mode(sim) != kModeEcp)
        return LINK_IDLE;
    if (!p.reverse)
        return port_fifo_has_forward(sim) && periph_in_forward(sim) ? LINK_FORWARD : LINK_IDLE;
    if ((p.control & 0x04) || p.run_left || fifo_full(sim) || !periph_sends_reverse(sim))
        return LINK_IDLE;
    symbol s;
    if (!peer_peek(sim, &s) || (s.command && (s.byte & 0x80)))
        return LINK_IDLE;  // the FIFO carries no tag: a channel address stops the transfer
    return LINK_REVERSE;
}

// A link of unlimited rate moves the FIFO's forward bytes as the peripheral takes them, a
// contiguous stretch of the ring at a time (at most limit): the same bytes as one hand-over each.
// False when the peripheral took none.
bool move_forward_run(struct sim *sim, uint64_t t, uint32_t limit) {
    port_state &p = sim->port;
    const uint32_t n = std::min<uint32_t>({p.count, uint32_t(kFifoMax) - p.head, limit});
    const uint32_t k = periph_take_run(sim, p.fifo + p.head, n, t);
    if (k == 0)
        return false;
    p.last = p.fifo[p.head + k - 1];
    p.head = (p.head + k) % kFifoMax;
    p.count -= k;
    return true;
}

void move_reverse(struct sim *sim) {
    port_state &p = sim->port;
    symbol s;
    peer_peek(sim, &s);
    peer_pop(sim);
    periph_hw_took(sim);
    if (s.command) {
        p.run_pending = uint32_t(s.byte) + 1;
        return;
    }
    p.run_left = p.run_pending ? p.run_pending : 1;
    p.run_pending = 0;
    p.run_byte = s.byte;
    sim->counters.bytes_from_peer += p.run_left;
}

void link_run(struct sim *sim, uint64_t now) {
    port_state &p = sim->port;
    const bool clocked = timed(sim);
    expand_run(sim);
    for (;;) {
        if (p.latch_full) {
            // The handshake of the byte in the latch ends once its time has come (with no time
            // kept: at the next access) and the peripheral takes it; a busy one keeps PeriphAck
            // high meanwhile.
            const bool due = clocked ? p.latch_ready_ns <= now : sim->catch_seq > p.latch_seq;
            if (!due || !periph_takes_forward(sim, now))
                return;
            p.latch_full = false;
            periph_take(sim, p.latch_byte, false);
            p.link_ns = std::max(p.latch_ready_ns, p.link_ns);
        }
        // A byte is offered to the peripheral once the one before it has crossed.
        const link_work w = next_work(sim, 0);
        if (w == LINK_IDLE) {
            p.link_ns = now;  // an idle link starts its next byte from now
            return;
        }
        if (w == LINK_FORWARD) {
            // An unlimited link with no hand-over time to keep moves the bytes in runs: all of
            // them without a latch delay, else all but the FIFO's last, which stays in the latch
            // until the next access.
            if (!sim->period_ns && !sim->cfg.jitter && (sim->cfg.latch_ns == 0 || !clocked)) {
                const uint32_t limit = sim->cfg.latch_ns == 0 ? p.count : p.count - 1;
                if (limit > 0 && move_forward_run(sim, now, limit))
                    continue;
                if (sim->cfg.latch_ns == 0) {
                    p.link_ns = now;  // the peripheral takes nothing now
                    return;
                }
            }
            // A printed byte leaves the FIFO into the output latch and crosses while it sits
            // there: one link period, or the hand-over delay when that is longer. Meanwhile the
            // FIFO may read empty, and PeriphAck is high.
            const uint64_t start = p.link_ns;  // when the byte before it had crossed (now, after idling)
            p.latch_byte = fifo_pop(sim);
            p.latch_full = true;
            p.latch_seq = sim->catch_seq;
            p.latch_ready_ns = start + std::max<uint64_t>(sim->period_ns, sim->cfg.latch_ns) + jitter_ns(sim, 4000);
            continue;
        }
        if (sim->period_ns) {
            if (p.link_ns + sim->period_ns > now)
                return;
            p.link_ns += sim->period_ns;
        }
        move_reverse(sim);
        expand_run(sim);
    }
}

void service_check(struct sim *sim) {
    port_state &p = sim->port;
    const uint8_t mode = port_mode(sim);
    if ((p.ecr & 0x04) || (mode != kModeEcp && mode != kModeTest))
        return;
    const uint32_t depth = uint32_t(sim->cfg.fifo);
    const bool hit = p.reverse ? sim->cfg.rthr && p.count >= uint32_t(sim->cfg.rthr)
                               : sim->cfg.wthr && depth - p.count >= uint32_t(sim->cfg.wthr);
    if (hit)
        p.ecr |= 0x04;
}

// The direction of the data lines follows CONTROL bit 0x20 only in mode 001 and keeps its value
// in the other modes; mode 000 always drives them.
void follow_direction(struct sim *sim) {
    port_state &p = sim->port;
    const uint8_t mode = port_mode(sim);
    if (fault(sim, SIM_FAULT_OUTPUT_ONLY) || mode == kModeSpp)
        p.reverse = false;
    else if (mode == kModePs2)
        p.reverse = p.control & 0x20;
}

// Both ends driving the data lines: counted once each time it starts.
void check_bus(struct sim *sim) {
    port_state &p = sim->port;
    const bool clash = !p.reverse && periph_drives(sim);
    if (clash && !p.contention)
        host_error(sim, "bus contention: the host drives the data lines while the peripheral does", 0);
    p.contention = clash;
}

uint8_t ecr_read(const struct sim *sim) {
    const port_state &p = sim->port;
    if (no_ecr(sim))
        return 0xFF;
    return uint8_t((p.ecr & 0xFC) | (fifo_full(sim) ? 0x02 : 0) | (p.count == 0 ? 0x01 : 0));
}

void ecr_write(struct sim *sim, uint8_t v) {
    if (no_ecr(sim))
        return;
    const uint8_t lines = port_lines(sim);
    const uint8_t old = port_mode(sim), mode = v & 0xE0;
    if (old == kModeEcp && mode != kModeEcp && (port_fifo_has_forward(sim) || sim->port.latch_full)) {
        const unsigned lost = (port_fifo_has_forward(sim) ? sim->port.count : 0) + (sim->port.latch_full ? 1 : 0);
        host_error(sim, sim->port.latch_full && !port_fifo_has_forward(sim)
                            ? "the ECR left mode 011 while the last byte was still in its handshake"
                            : "the ECR left mode 011 before the FIFO emptied",
                   lost);
        fifo_clear(sim);
        sim->port.latch_full = false;
    }
    sim->port.ecr = v & 0xFC;  // the FIFO bits are read only
    if (mode == kModeSpp || mode == kModePs2)
        fifo_clear(sim);
    follow_direction(sim);
    if (port_lines(sim) != lines)
        periph_control(sim, lines);  // the register's strobe bits reach the cable again, or stop
}

uint8_t fifo_read(struct sim *sim) {
    const uint8_t mode = port_mode(sim);
    if (no_ecr(sim))
        return 0xFF;
    if (mode == kModeEcp || mode == kModeTest)
        return fifo_pop(sim);
    if (mode == kModeCnfg)
        return uint8_t(sim->cfg.cnfga);
    return 0xFF;  // no FIFO in the standard modes
}

void fifo_write(struct sim *sim, uint8_t v) {
    const uint8_t mode = port_mode(sim);
    if (no_ecr(sim))
        return;
    if (mode == kModeEcp)
        fifo_push(sim, v, FIFO_FORWARD);
    else if (mode == kModeTest)
        fifo_push(sim, v, FIFO_TEST);
}

}  // namespace

void host_error(struct sim *sim, const char *what, unsigned lost) {
    sim->counters.host_errors++;
    sim->counters.bytes_lost += lost;
    if (lost)
        log_error("sim: host error: %u printed bytes lost: %s", lost, what);
    else
        log_error("sim: host error: %s", what);
}

uint64_t jitter_ns(struct sim *sim, uint64_t max_ns) {
    if (!sim->cfg.jitter || max_ns == 0)
        return 0;
    uint64_t &x = sim->rng;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x % (max_ns + 1);
}

uint8_t port_lines(const struct sim *sim) {
    const uint8_t c = sim->port.control & 0x0F;
    return port_mode(sim) == kModeEcp ? uint8_t(c & ~0x03) : c;
}

bool port_fifo_full(const struct sim *sim) { return fifo_full(sim); }

bool port_fifo_has_forward(const struct sim *sim) {
    return sim->port.count && sim->port.fifo_kind == FIFO_FORWARD;
}

int port_reg(const struct sim *sim, uint16_t addr) {
    const uint32_t base = sim->cfg.base, ecp = sim->cfg.ecp;
    if (addr == base) return SIM_REG_DATA;
    if (addr == base + 1) return SIM_REG_STATUS;
    if (addr == base + 2) return SIM_REG_CONTROL;
    if (addr == ecp) return SIM_REG_FIFO;
    if (addr == ecp + 2) return SIM_REG_ECR;
    return SIM_REG_OTHER;
}

// Power-up: compatibility lines (nInit high, nSelectIn low), ECR in mode 000 with its FIFO empty.
// Without ECP registers the port is a PS/2 port: its direction always follows the bit.
void port_reset(struct sim *sim) {
    sim->port = {};
    sim->port.control = 0x0C;
    sim->port.ecr = no_ecr(sim) ? kModePs2 : 0x04;
}

void port_catch_up(struct sim *sim, uint64_t now) {
    sim->seen_ns = now;
    sim->catch_seq++;
    link_run(sim, now);
    periph_tick(sim);
    service_check(sim);
    check_bus(sim);
}

// A run-length count the port has taken is never left without its data byte: at event 47 the
// peripheral still sends the byte that completes the pair, so the port can expand the run.
void port_finish_run(struct sim *sim) {
    symbol s;
    if (sim->port.run_pending && peer_peek(sim, &s) && !s.command)
        move_reverse(sim);
}

size_t port_write_fifo(struct sim *sim, const uint8_t *bytes, size_t n) {
    const uint8_t mode = port_mode(sim);
    size_t i = n;  // outside the FIFO modes every write is ignored
    if (!no_ecr(sim) && (mode == kModeEcp || mode == kModeTest)) {
        port_state &p = sim->port;
        const uint32_t depth = uint32_t(sim->cfg.fifo);
        i = p.count >= depth ? 0 : std::min<size_t>(n, depth - p.count);
        if (i > 0 && p.count == 0)
            p.fifo_kind = mode == kModeEcp ? FIFO_FORWARD : FIFO_TEST;
        for (size_t done = 0; done < i;) {  // fifo_push's store, a stretch of the ring at a time
            const uint32_t at = (p.head + p.count) % kFifoMax;
            const size_t k = std::min<size_t>(i - done, uint32_t(kFifoMax) - at);
            std::copy(bytes + done, bytes + done + k, p.fifo + at);
            p.count += uint32_t(k);
            done += k;
        }
    }
    check_bus(sim);  // a FIFO write changes nothing it looks at: once is as good as per byte
    return i;
}

uint8_t port_read(struct sim *sim, int reg) {
    const port_state &p = sim->port;
    switch (reg) {
    case SIM_REG_DATA:
        if (fault(sim, SIM_FAULT_OUTPUT_ONLY))
            return p.data;  // no tri-state: the host's own latch, whatever the peripheral does
        if (p.reverse)
            return periph_lines(sim);
        return p.contention ? uint8_t(p.data & periph_lines(sim)) : p.data;  // garbage
    case SIM_REG_STATUS: return periph_status(sim);
    case SIM_REG_CONTROL: return p.control;
    case SIM_REG_FIFO: return fifo_read(sim);
    case SIM_REG_ECR: return ecr_read(sim);
    default: return 0xFF;
    }
}

void port_write(struct sim *sim, int reg, uint8_t value) {
    switch (reg) {
    case SIM_REG_DATA:
        sim->port.data = value;
        break;
    case SIM_REG_CONTROL: {
        const uint8_t old = port_lines(sim);
        const uint8_t mode = port_mode(sim);
        if (((sim->port.control ^ value) & 0x20) && mode != kModeSpp && mode != kModePs2) {
            char what[96];
            snprintf(what, sizeof what, "the direction bit changed while the ECR was in mode %d%d%d (only 000 and 001 allow it)",
                     (mode >> 7) & 1, (mode >> 6) & 1, (mode >> 5) & 1);
            host_error(sim, what, 0);
        }
        sim->port.control = value;
        follow_direction(sim);
        periph_control(sim, old);
        break;
    }
    case SIM_REG_FIFO:
        fifo_write(sim, value);
        break;
    case SIM_REG_ECR:
        ecr_write(sim, value);
        break;
    default:
        break;  // STATUS and unknown addresses ignore writes
    }
    check_bus(sim);
}

}  // namespace sim_impl
