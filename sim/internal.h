// The simulator's insides: the layout of the shared mapping and every internal function, grouped
// by the file that defines it.
//
// Everything here lives in one MAP_SHARED mapping, so it holds no pointers into a process's own
// memory except the backend's function pointers, which fork keeps valid. Every function below
// runs with the device lock held unless it says otherwise. Times are nanoseconds on the
// simulator's clock (virtual or real) since the device was created.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <sys/time.h>

#include "sim/sim.h"

namespace sim_impl {

constexpr int kFifoMax = 1024;
constexpr uint64_t kEchoCapacity = 16u << 20;   // the echo queue holds 16 MiB
constexpr uint32_t kFileBuf = 64u << 10;         // sink and source are written and read in 64 KiB

// What the bytes in the FIFO are: written in test mode, printed (written in mode 011 with the
// lines forward), or pulled from the peripheral.
enum fifo_kind : uint8_t { FIFO_TEST, FIFO_FORWARD, FIFO_REVERSE };

// One reverse symbol as it goes over the wire: a data byte, or a command byte (PeriphAck low).
struct symbol {
    uint8_t byte;
    uint8_t command;
};

// The host side of the port: latches, ECR and the FIFO.
struct port_state {
    uint8_t data;          // DATA as the host last wrote it
    uint8_t control;       // CONTROL as last written
    uint8_t ecr;           // mode, nErrIntrEn, dmaEn, serviceIntr; the two FIFO bits are computed
    uint8_t last;          // the byte a read of the empty FIFO returns again
    uint8_t fifo[kFifoMax];
    uint32_t head;
    uint32_t count;
    uint8_t fifo_kind;     // enum fifo_kind of the bytes in the FIFO
    bool reverse;          // the data lines are inputs (set in mode 001 only, kept elsewhere)
    bool contention;       // host and peripheral both drive the data lines
    uint32_t run_pending;  // 0, or n + 1 after a run-length count: copies of the next data byte
    uint32_t run_left;     // copies of run_byte still to go into the FIFO
    uint8_t run_byte;
    uint64_t link_ns;      // how far the link has been simulated
    // The output latch between the FIFO and the cable: a printed byte leaves the FIFO into it
    // and is the peripheral's only when its handshake ends (PeriphAck back low), latch_ready_ns.
    bool latch_full;
    uint8_t latch_byte;
    uint64_t latch_ready_ns;
    uint64_t latch_seq;    // the catch-up that filled it, when no time is kept
};

struct periph_state {
    int state;             // enum sim_pstate
    uint8_t request;       // request byte latched at event 1
    uint8_t link_byte;     // extensibility link byte
    uint8_t xflag;         // 0x10 or 0: Select as answered at event 5
    uint8_t lines;         // what the peripheral drives on the data lines in reverse
    uint8_t presented_cmd; // the presented byte is a command (PeriphAck low)
    uint32_t fwd_run;      // copies the next forward data byte stands for (host run-length count)
    uint32_t sw_run;       // same for the reverse byte the host acknowledges next (counting only)
    uint64_t taken;        // forward data bytes taken, for the stall and pause faults
    bool pause_started;    // fault=pause: the pause has begun (it comes once)
    uint64_t pause_end_ns; // ... and ends here
    bool id_stream;        // an ID request was accepted: the reverse stream is the Device ID
    uint32_t id_size;      // bytes of that stream: the two length bytes and the string
    uint32_t id_sent;      // bytes of it the host has taken
    uint64_t unprinted;    // bytes received and not printed yet (an nInit pulse throws them away)
    uint64_t last_take_ns; // when the last of them came: all are printed print_ms after it
    uint8_t lag_status;    // jitter: STATUS as it was before the last change, shown until lag_until_ns
    uint64_t lag_until_ns;
};

struct peer_state {
    uint64_t echo_head;
    uint64_t echo_count;
    uint32_t sink_len;
    uint32_t src_pos;
    uint32_t src_len;
    uint64_t src_offset;   // file offset of the next refill
    bool src_eof;
    symbol queued[2];      // symbols generated and not yet taken by the host
    uint32_t nqueued;
    uint64_t sent;         // peer bytes handed to the encoder
    bool channel_done;
    bool long_run_done;
    uint8_t sink_buf[kFileBuf];
    uint8_t src_buf[kFileBuf];
};

}  // namespace sim_impl

struct sim {
    pthread_mutex_t lock;
    struct sim_config cfg;
    struct lp_io_backend backend;
    size_t map_len;
    uint64_t vclock_ns;            // virtual clock
    int64_t mono_start_ns;         // real clock origin (CLOCK_MONOTONIC)
    uint64_t seen_ns;              // the clock as the access under way found it (0 when untimed)
    uint64_t catch_seq;            // catch-ups so far
    uint64_t rng;                  // jitter: xorshift state
    uint64_t period_ns;            // one byte on the link; 0 = unlimited
    int trace_fd;
    int sink_fd;
    int source_fd;
    struct sim_counters counters;
    sim_impl::port_state port;
    sim_impl::periph_state periph;
    sim_impl::peer_state peer;
    uint8_t echo[];                // kEchoCapacity bytes, the rest of the mapping
};

namespace sim_impl {

// device.cc
uint64_t now_ns(struct sim *sim);
// Defined here, since every access asks them.
inline bool fault(const struct sim *sim, int which) { return sim->cfg.faults & (1u << which); }
inline uint8_t port_mode(const struct sim *sim) { return sim->port.ecr & 0xE0; }
// Whether anything an access does depends on the time: the virtual clock (free to read), a link
// with a rate, the pause fault, the trace's time stamps, jitter. Without any, an access does not
// read the real clock, which costs more than the simulated access itself (on this machine's
// virtual clock source, 40 % of a rate=0 transfer's processor time); the output latch then hands
// a byte over at the next access, and the printer's buffer is never taken as printed (an nInit
// pulse loses all it got). A rule that reads the time of an access must be named here.
inline bool timed(const struct sim *sim) {
    return sim->cfg.virtual_clock || sim->period_ns || fault(sim, SIM_FAULT_PAUSE) || sim->trace_fd >= 0 ||
           sim->cfg.jitter;
}

// port.cc: the register model and the link.
void port_reset(struct sim *sim);
// Let the link, the peripheral and serviceIntr catch up with the clock.
void port_catch_up(struct sim *sim, uint64_t now);
uint8_t port_read(struct sim *sim, int reg);
void port_write(struct sim *sim, int reg, uint8_t value);
// Writes to the FIFO register, as port_write makes them, until the FIFO is full; the count made.
size_t port_write_fifo(struct sim *sim, const uint8_t *bytes, size_t n);
// The register at addr, by the configured base and ECP range; SIM_REG_OTHER for any other.
int port_reg(const struct sim *sim, uint16_t addr);
bool port_fifo_has_forward(const struct sim *sim);
bool port_fifo_full(const struct sim *sim);
// A host error: counted, and one "sim: host error" line on the console.
void host_error(struct sim *sim, const char *what, unsigned lost);
// jitter: a random time in 0..max_ns (0 when jitter is off).
uint64_t jitter_ns(struct sim *sim, uint64_t max_ns);
// CONTROL's four line bits as they are on the cable: in ECP FIFO mode the port's hardware drives
// HostClk and HostAck itself (both high between its own handshakes), whatever the register says.
uint8_t port_lines(const struct sim *sim);
// Event 47 with a run-length count taken and its data byte not: the byte crosses now.
void port_finish_run(struct sim *sim);

// periph.cc: the peripheral as a table of (state, event) -> action.
void periph_reset(struct sim *sim);
// The host's lines (port_lines) changed from old.
void periph_control(struct sim *sim, uint8_t old);
// The clock moved: actions that need no host edge (acknowledging a reversal, presenting a byte).
void periph_tick(struct sim *sim);
uint8_t periph_status(const struct sim *sim);
uint8_t periph_lines(const struct sim *sim);
// The port hardware in mode 011: forward byte out, reverse symbol in. t is the time the next
// forward byte is offered.
bool periph_takes_forward(struct sim *sim, uint64_t t);
void periph_take(struct sim *sim, uint8_t byte, bool command);
// Up to n forward data bytes in a row from the port hardware at time t, as a periph_takes_forward
// and periph_take per byte would take them; the count taken.
uint32_t periph_take_run(struct sim *sim, const uint8_t *bytes, uint32_t n, uint64_t t);
bool periph_sends_reverse(const struct sim *sim);
// The peripheral has reverse data for the host (the ID stream, or the peer's): nPeriphRequest.
bool periph_has_reverse(const struct sim *sim);
// After event 40 and until event 47 the peripheral drives the data lines.
bool periph_drives(const struct sim *sim);
// The port hardware took the symbol at the head of the reverse stream.
void periph_hw_took(struct sim *sim);
uint32_t fault_arg(const struct sim *sim, int which, uint32_t otherwise);

// peer.cc: the MFP behind the peripheral and the reverse encoder.
bool peer_room(const struct sim *sim, uint32_t n);
void peer_put(struct sim *sim, uint8_t byte);
// n bytes as n peer_put calls would put them; the caller has checked peer_room.
void peer_put_bytes(struct sim *sim, const uint8_t *bytes, uint32_t n);
// The next reverse symbol, without taking it; false when there is none.
bool peer_peek(struct sim *sim, symbol *out);
void peer_pop(struct sim *sim);
uint64_t peer_pending(const struct sim *sim);
// A reverse symbol would come if the host asked now (the reverse faults included).
bool peer_has_data(const struct sim *sim);
void peer_flush(struct sim *sim);

// devid.cc: the Device ID stream, and the nibble-mode handshake that carries it.
// Start the ID stream (on) or go back to the peer's own reverse data (off), at each event 6.
void id_begin(struct sim *sim, bool on);
bool id_peek(const struct sim *sim, symbol *out);
void id_pop(struct sim *sim);
// Actions of the nibble states: HostBusy low (event 7) and high (event 10).
void nib_busy_low(struct sim *sim);
void nib_busy_high(struct sim *sim);
uint8_t nib_status(const struct sim *sim);

}  // namespace sim_impl
