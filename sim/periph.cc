// The IEEE 1284 peripheral: a table of (state, event) -> action.
//
// Events are the edges of the four host control lines, taken from each CONTROL write in a fixed
// order (1284Active first, since termination and negotiation outrank everything else, then nInit,
// nAutoFd, nStrobe), plus a tick at every access for what the peripheral does without a host
// edge: acknowledging a reversal, and presenting the next reverse byte. Every answer is on the
// status lines by the next access. Like a real one, the peripheral acknowledges a reversal
// whatever the host's FIFO still holds: draining it first is the host's business.
//
// In ECR mode 011 the port hardware owns HostClk and HostAck, so the byte handshakes of the
// software path are ignored there; negotiation, termination and the direction changes are not.
#include "sim/internal.h"

namespace sim_impl {

namespace {

enum event { EV_ACTIVE_LOW, EV_ACTIVE_HIGH, EV_INIT_LOW, EV_INIT_HIGH, EV_AUTOFD_LOW, EV_AUTOFD_HIGH,
             EV_STROBE_LOW, EV_STROBE_HIGH, EV_TICK, NEVENTS };

using action = void (*)(struct sim *);

// Host line levels from CONTROL (nStrobe, nAutoFd and nSelectIn are inverted in the register).
bool active(const struct sim *sim) { return !(port_lines(sim) & 0x08); }  // 1284Active high
bool autofd_low(const struct sim *sim) { return port_lines(sim) & 0x02; }   // HostAck low
bool strobe_low(const struct sim *sim) { return port_lines(sim) & 0x01; }   // HostClk low
bool hardware_owns_strobes(const struct sim *sim) { return port_mode(sim) == 0x60; }

void go(struct sim *sim, sim_pstate s) { sim->periph.state = s; }

bool refused(const struct sim *sim, uint8_t req) {
    return fault(sim, SIM_FAULT_REFUSE) && (!sim->cfg.fault_has_arg[SIM_FAULT_REFUSE] ||
                                            sim->cfg.fault_arg[SIM_FAULT_REFUSE] == req);
}

// Event 1 (1284Active high with nAutoFd low): latch the request, answer event 2.
void a_negotiate(struct sim *sim) {
    if (!active(sim) || !autofd_low(sim))
        return;
    sim->periph.request = sim->port.data;
    go(sim, SIM_P_NEG_REQ);
}

// nInit low resets the printer, and a printer that is reset throws away what it has received and
// not printed yet (a real one prints at its own pace, print_ms behind what it takes).
void a_reset(struct sim *sim) {
    periph_state &p = sim->periph;
    if (p.unprinted && sim->seen_ns - p.last_take_ns < uint64_t(sim->cfg.print_ms) * 1000000) {
        const unsigned lost = unsigned(p.unprinted);
        p.unprinted = 0;
        host_error(sim, "nInit reset the printer before it had printed them", lost);
    }
    peer_flush(sim);
    sim->periph.fwd_run = 0;
    sim->periph.sw_run = 0;
    go(sim, SIM_P_COMPAT);
}

void a_reset_if_inactive(struct sim *sim) {
    if (!active(sim))
        a_reset(sim);
}

// Event 22: 1284Active low from any IEEE 1284 mode; event 24 answers it.
void a_terminate(struct sim *sim) {
    peer_flush(sim);
    go(sim, SIM_P_TERM_24);
}

// Event 25, or a new event 1 that counts a half-done termination as done.
void a_term_autofd_low(struct sim *sim) {
    if (active(sim))
        a_negotiate(sim);
    else
        go(sim, SIM_P_TERM_27);
}

void a_term_done(struct sim *sim) { go(sim, SIM_P_COMPAT); }  // event 28

void a_neg_strobe(struct sim *sim) { go(sim, SIM_P_NEG_STROBE); }  // event 3

// Event 4 (nStrobe and nAutoFd high): XFlag for the request (event 5), nAck high (event 6).
void a_neg_answer(struct sim *sim) {
    if (strobe_low(sim) || autofd_low(sim))
        return;
    const uint8_t req = sim->periph.request;
    // The Device ID is offered in nibble (0x04) and ECP (0x14) mode; byte mode is not modelled.
    const bool id = req == 0x04 || req == 0x14;
    const bool known = req == 0x00 || req == 0x01 || req == 0x10 || req == 0x30 || req == 0x40 || req == 0x80 || id;
    const bool accepted = known && !refused(sim, req) && !(id && fault(sim, SIM_FAULT_NO_ID));
    sim->periph.xflag = accepted && req != 0x00 ? 0x10 : 0;  // nibble is accepted with XFlag low
    id_begin(sim, accepted && id);
    if (fault(sim, SIM_FAULT_NO_EVENT6))
        go(sim, SIM_P_NEG_STUCK);
    else if (accepted && (req == 0x10 || req == 0x30 || req == 0x14))
        go(sim, SIM_P_ECP_SETUP);
    else if (accepted && req == 0x80)
        go(sim, SIM_P_EXT_WAIT);
    else if (accepted && req == 0x04)
        go(sim, SIM_P_NIB_IDLE);
    else
        go(sim, SIM_P_OTHER);
}

void a_ext_strobe(struct sim *sim) {
    sim->periph.link_byte = sim->port.data;
    go(sim, SIM_P_EXT_STROBE);
}

// The link byte is answered like a request byte: XFlag high for the modes this peripheral has.
void a_ext_answer(struct sim *sim) {
    const uint8_t b = sim->periph.link_byte;
    const bool ok = (b == 0x01 || b == 0x10 || b == 0x30 || b == 0x40) && !refused(sim, b);
    sim->periph.xflag = ok ? 0x10 : 0;
    go(sim, SIM_P_OTHER);
}

void a_ecp_setup(struct sim *sim) {  // event 30 -> event 31
    if (!fault(sim, SIM_FAULT_NO_EVENT31))
        go(sim, SIM_P_FWD_IDLE);
}

void a_fwd_strobe_low(struct sim *sim) {  // event 35 -> PeriphAck high (event 36)
    if (!hardware_owns_strobes(sim))
        go(sim, SIM_P_FWD_BUSY);
}

// Event 37: the byte is taken (a command when HostAck is low) and PeriphAck drops. A stalled,
// paused or full peripheral keeps PeriphAck high.
void a_fwd_strobe_high(struct sim *sim) {
    if (!periph_takes_forward(sim, now_ns(sim)))
        return;
    periph_take(sim, sim->port.data, autofd_low(sim));
    go(sim, SIM_P_FWD_IDLE);
}

// nInit low: a reset while 1284Active is low, a reverse request (event 39) after HostAck low.
void a_fwd_init_low(struct sim *sim) {
    if (!active(sim)) {
        a_reset(sim);
    } else if (autofd_low(sim)) {
        peer_flush(sim);
        go(sim, SIM_P_REV_REQ);
    }
}

void a_rev_req_tick(struct sim *sim) {  // event 40: the peripheral drives the lines from now
    if (!fault(sim, SIM_FAULT_NO_REVERSE))
        go(sim, SIM_P_REV_IDLE);
}

void a_rev_abort(struct sim *sim) { go(sim, SIM_P_FWD_IDLE); }

// Event 43: the next byte on the lines, PeriphAck high for data and low for a command.
void a_rev_present(struct sim *sim) {
    symbol s;
    if (hardware_owns_strobes(sim) || !autofd_low(sim) || !peer_peek(sim, &s))
        return;
    sim->periph.lines = s.byte;
    sim->periph.presented_cmd = s.command;
    go(sim, SIM_P_REV_PRESENT);
}

// Event 44 -> 45: the host has the byte; it leaves the stream now.
void a_rev_ack(struct sim *sim) {
    if (hardware_owns_strobes(sim))
        return;
    periph_state &p = sim->periph;
    peer_pop(sim);
    if (p.presented_cmd) {
        if (!(p.lines & 0x80))
            p.sw_run = uint32_t(p.lines) + 1;
    } else {
        sim->counters.bytes_from_peer += p.sw_run ? p.sw_run : 1;
        p.sw_run = 0;
    }
    go(sim, SIM_P_REV_ACKED);
}

void a_rev_next(struct sim *sim) { go(sim, SIM_P_REV_IDLE); }  // event 46

void a_to_forward(struct sim *sim) {  // event 47 -> 49; a run's pair is completed first
    port_finish_run(sim);
    go(sim, fault(sim, SIM_FAULT_NO_FORWARD) ? SIM_P_REV_STUCK : SIM_P_FWD_IDLE);
}

struct row {
    action on[NEVENTS];
};

#define T_ a_terminate
// Columns: ACTIVE_LOW, ACTIVE_HIGH, INIT_LOW, INIT_HIGH, AUTOFD_LOW, AUTOFD_HIGH, STROBE_LOW,
// STROBE_HIGH, TICK.
const row kTable[SIM_NPSTATES] = {
    /* COMPAT      */ {{nullptr, a_negotiate, a_reset, nullptr, a_negotiate, nullptr, nullptr, nullptr, nullptr}},
    /* NEG_REQ     */ {{T_, nullptr, a_reset, nullptr, nullptr, nullptr, a_neg_strobe, nullptr, nullptr}},
    /* NEG_STROBE  */ {{T_, nullptr, a_reset, nullptr, nullptr, a_neg_answer, nullptr, a_neg_answer, nullptr}},
    /* NEG_STUCK   */ {{T_, nullptr, a_reset, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}},
    /* EXT_WAIT    */ {{T_, nullptr, a_reset, nullptr, nullptr, nullptr, a_ext_strobe, nullptr, nullptr}},
    /* EXT_STROBE  */ {{T_, nullptr, a_reset, nullptr, nullptr, nullptr, nullptr, a_ext_answer, nullptr}},
    /* OTHER       */ {{T_, nullptr, a_reset, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}},
    /* ECP_SETUP   */ {{T_, nullptr, a_reset, nullptr, a_ecp_setup, nullptr, nullptr, nullptr, nullptr}},
    /* FWD_IDLE    */ {{T_, nullptr, a_fwd_init_low, nullptr, nullptr, nullptr, a_fwd_strobe_low, nullptr, nullptr}},
    /* FWD_BUSY    */ {{T_, nullptr, a_reset_if_inactive, nullptr, nullptr, nullptr, nullptr, a_fwd_strobe_high, nullptr}},
    /* REV_REQ     */ {{T_, nullptr, nullptr, a_rev_abort, nullptr, nullptr, nullptr, nullptr, a_rev_req_tick}},
    /* REV_IDLE    */ {{T_, nullptr, nullptr, a_to_forward, nullptr, nullptr, nullptr, nullptr, a_rev_present}},
    /* REV_PRESENT */ {{T_, nullptr, nullptr, a_to_forward, nullptr, a_rev_ack, nullptr, nullptr, nullptr}},
    /* REV_ACKED   */ {{T_, nullptr, nullptr, a_to_forward, a_rev_next, nullptr, nullptr, nullptr, nullptr}},
    /* REV_STUCK   */ {{T_, nullptr, a_reset_if_inactive, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}},
    /* TERM_24     */ {{nullptr, a_negotiate, a_reset, nullptr, a_term_autofd_low, nullptr, nullptr, nullptr, nullptr}},
    /* TERM_27     */ {{nullptr, a_negotiate, a_reset, nullptr, a_negotiate, a_term_done, nullptr, nullptr, nullptr}},
    /* NIB_IDLE    */ {{T_, nullptr, a_reset, nullptr, nib_busy_low, nullptr, nullptr, nullptr, nullptr}},
    /* NIB_LOW     */ {{T_, nullptr, a_reset, nullptr, nullptr, nib_busy_high, nullptr, nullptr, nullptr}},
    /* NIB_MID     */ {{T_, nullptr, a_reset, nullptr, nib_busy_low, nullptr, nullptr, nullptr, nullptr}},
    /* NIB_HIGH    */ {{T_, nullptr, a_reset, nullptr, nullptr, nib_busy_high, nullptr, nullptr, nullptr}},
};
#undef T_

// STATUS per state, as register bits: 0x80 Busy low, 0x40 nAck, 0x20 PError, 0x10 Select,
// 0x08 nFault. Select in NEG_STUCK and OTHER is the XFlag answered; REV_PRESENT and REV_ACKED
// show PeriphAck for the presented byte.
const uint8_t kStatus[SIM_NPSTATES] = {
    /* COMPAT */ 0xD8, /* NEG_REQ */ 0xB8, /* NEG_STROBE */ 0xB8, /* NEG_STUCK */ 0xA8,
    /* EXT_WAIT */ 0xF8, /* EXT_STROBE */ 0xB8, /* OTHER */ 0xE8, /* ECP_SETUP */ 0xD8,
    /* FWD_IDLE */ 0xF8, /* FWD_BUSY */ 0x78, /* REV_REQ */ 0xF8, /* REV_IDLE */ 0xD8,
    /* REV_PRESENT */ 0x18, /* REV_ACKED */ 0x58, /* REV_STUCK */ 0xD8, /* TERM_24 */ 0x98,
    /* TERM_27 */ 0xD8, /* NIB_IDLE, NIB_LOW, NIB_MID, NIB_HIGH: nib_status */ 0, 0, 0, 0,
};

constexpr const char *kNames[SIM_NPSTATES] = {
    "compat", "neg-req", "neg-strobe", "neg-stuck", "ext-wait", "ext-strobe", "other", "ecp-setup",
    "fwd-idle", "fwd-busy", "rev-req", "rev-idle", "rev-present", "rev-acked", "rev-stuck",
    "term-24", "term-27", "nib-idle", "nib-low", "nib-mid", "nib-high",
};

uint8_t status_now(const struct sim *sim);

// Under jitter a change of STATUS reaches the lines some time after its cause (up to 50 us, well
// inside every IEEE 1284 response bound): until then a read shows the old value.
void dispatch(struct sim *sim, event ev) {
    const action a = kTable[sim->periph.state].on[ev];
    if (!a)
        return;
    periph_state &p = sim->periph;
    const bool lagging = sim->cfg.jitter && sim->seen_ns < p.lag_until_ns;
    const uint8_t before = lagging ? p.lag_status : status_now(sim);
    a(sim);
    if (sim->cfg.jitter && status_now(sim) != before) {
        p.lag_status = before;
        p.lag_until_ns = sim->seen_ns + jitter_ns(sim, 50000);
    }
}

}  // namespace

uint32_t fault_arg(const struct sim *sim, int which, uint32_t otherwise) {
    return sim->cfg.fault_has_arg[which] ? sim->cfg.fault_arg[which] : otherwise;
}

void periph_reset(struct sim *sim) {
    sim->periph = {};
    sim->periph.state = SIM_P_COMPAT;
}

void periph_control(struct sim *sim, uint8_t old) {
    if (fault(sim, SIM_FAULT_NO_PERIPHERAL))
        return;
    const uint8_t now = port_lines(sim), changed = old ^ now;
    if (changed & 0x08) dispatch(sim, (now & 0x08) ? EV_ACTIVE_LOW : EV_ACTIVE_HIGH);
    if (changed & 0x04) dispatch(sim, (now & 0x04) ? EV_INIT_HIGH : EV_INIT_LOW);
    if (changed & 0x02) dispatch(sim, (now & 0x02) ? EV_AUTOFD_LOW : EV_AUTOFD_HIGH);
    if (changed & 0x01) dispatch(sim, (now & 0x01) ? EV_STROBE_LOW : EV_STROBE_HIGH);
}

void periph_tick(struct sim *sim) {
    if (!fault(sim, SIM_FAULT_NO_PERIPHERAL))
        dispatch(sim, EV_TICK);
}

uint8_t periph_status(const struct sim *sim) {
    const periph_state &p = sim->periph;
    if (sim->cfg.jitter && sim->seen_ns < p.lag_until_ns)
        return p.lag_status;
    return status_now(sim);
}

namespace {

uint8_t status_now(const struct sim *sim) {
    if (fault(sim, SIM_FAULT_NO_PERIPHERAL))
        return 0x78;  // nothing drives the lines: they float high (Busy high reads as 0)
    const periph_state &p = sim->periph;
    const bool nibble = p.state >= SIM_P_NIB_IDLE && p.state <= SIM_P_NIB_HIGH;
    uint8_t s = nibble ? nib_status(sim) : kStatus[p.state];
    if (p.state == SIM_P_NEG_STUCK || p.state == SIM_P_OTHER)
        s |= p.xflag;
    if ((p.state == SIM_P_REV_PRESENT || p.state == SIM_P_REV_ACKED) && p.presented_cmd)
        s |= 0x80;
    // nPeriphRequest: in ECP forward idle a peripheral with something to send says so on nFault,
    // so the host turns the link only when there is something to read. Elsewhere nFault keeps
    // the level of the state's own row.
    if (p.state == SIM_P_FWD_IDLE && periph_has_reverse(sim))
        s &= uint8_t(~0x08);
    // A byte in the port's output latch is mid-handshake: PeriphAck (Busy) is high until it is taken.
    if ((p.state == SIM_P_FWD_IDLE || p.state == SIM_P_FWD_BUSY) && sim->port.latch_full)
        s &= 0x7F;
    if (fault(sim, SIM_FAULT_ACK_HIGH))
        s &= 0x7F;
    if (fault(sim, SIM_FAULT_ACK_LOW))
        s |= 0x80;
    return s;
}

}  // namespace

uint8_t periph_lines(const struct sim *sim) { return sim->periph.lines; }

namespace {

// fault=pause:MS@N: the first time a byte is offered after N were taken, the peripheral starts
// taking nothing for MS ms; it comes once.
bool paused(struct sim *sim, uint64_t t) {
    periph_state &p = sim->periph;
    if (!fault(sim, SIM_FAULT_PAUSE) || p.taken < sim->cfg.fault_at[SIM_FAULT_PAUSE])
        return false;
    if (!p.pause_started) {
        p.pause_started = true;
        p.pause_end_ns = t + uint64_t(fault_arg(sim, SIM_FAULT_PAUSE, 0)) * 1000000;
    }
    return t < p.pause_end_ns;
}

}  // namespace

bool periph_takes_forward(struct sim *sim, uint64_t t) {
    const int s = sim->periph.state;
    if (s != SIM_P_FWD_IDLE && s != SIM_P_FWD_BUSY)
        return false;
    if (fault(sim, SIM_FAULT_STALL) && sim->periph.taken >= fault_arg(sim, SIM_FAULT_STALL, 0))
        return false;
    if (paused(sim, t))
        return false;
    // A peer with no room (the echo queue full) is a busy printer: it takes nothing, drops nothing.
    return peer_room(sim, sim->periph.fwd_run ? sim->periph.fwd_run : 1);
}

// A forward byte reaches the peripheral. Commands: a run-length count (bit 7 clear) makes the
// next data byte stand for count + 1 copies; a channel address is noted and has no effect.
void periph_take(struct sim *sim, uint8_t byte, bool command) {
    periph_state &p = sim->periph;
    if (command) {
        if (!(byte & 0x80))
            p.fwd_run = uint32_t(byte) + 1;
        return;
    }
    const uint32_t copies = p.fwd_run ? p.fwd_run : 1;
    p.fwd_run = 0;
    for (uint32_t i = 0; i < copies; i++)
        peer_put(sim, byte);
    p.taken += copies;
    sim->counters.bytes_to_peer += copies;
    if (sim->seen_ns - p.last_take_ns >= uint64_t(sim->cfg.print_ms) * 1000000)
        p.unprinted = 0;  // what came before is on paper by now
    p.unprinted += copies;
    p.last_take_ns = sim->seen_ns;
}

uint32_t periph_take_run(struct sim *sim, const uint8_t *bytes, uint32_t n, uint64_t t) {
    periph_state &p = sim->periph;
    // In one go when no rule of periph_takes_forward depends on the count: no run-length count
    // pending, no stall or pause to come, room for all of it. Any such rule added there belongs
    // in this test too.
    if (n > 0 && p.fwd_run == 0 && !fault(sim, SIM_FAULT_STALL) && !fault(sim, SIM_FAULT_PAUSE) &&
        peer_room(sim, n) && periph_takes_forward(sim, t)) {
        peer_put_bytes(sim, bytes, n);
        p.taken += n;
        sim->counters.bytes_to_peer += n;
        return n;
    }
    uint32_t i = 0;
    for (; i < n && periph_takes_forward(sim, t); i++)
        periph_take(sim, bytes[i], false);
    return i;
}

bool periph_has_reverse(const struct sim *sim) {
    const periph_state &p = sim->periph;
    if (p.id_stream)
        return p.id_sent < p.id_size;
    return peer_has_data(sim);
}

bool periph_drives(const struct sim *sim) {
    const int s = sim->periph.state;
    return !fault(sim, SIM_FAULT_NO_PERIPHERAL) &&
           (s == SIM_P_REV_IDLE || s == SIM_P_REV_PRESENT || s == SIM_P_REV_ACKED);
}

bool periph_sends_reverse(const struct sim *sim) {
    return sim->periph.state == SIM_P_REV_IDLE || sim->periph.state == SIM_P_REV_PRESENT;
}

void periph_hw_took(struct sim *sim) {
    if (sim->periph.state == SIM_P_REV_PRESENT)
        go(sim, SIM_P_REV_IDLE);
}

}  // namespace sim_impl

extern "C" const char *sim_pstate_name(enum sim_pstate state) {
    return unsigned(state) < SIM_NPSTATES ? sim_impl::kNames[state] : "?";
}
