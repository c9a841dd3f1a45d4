// The simulator: a PC parallel port with the ECP extended registers and an IEEE 1284
// multifunction peripheral behind it, offered as a backend of the platform seam (port/io.h).
//
// The same port and link code runs on it unchanged. Its state lives in one MAP_SHARED mapping,
// created by the listening daemon before it forks and guarded by a process-shared robust mutex,
// so every service process drives the same device, as with real hardware.
//
// Configuration: one string of comma-separated key=value words, e.g.
//   fifo=16,wthr=8,rthr=8,cnfga=0x10,rate=1000000,clock=real,io_ns=1000,peer=echo,trace=/tmp/t
// base= and ecp= put the port's registers elsewhere (default 0x378 and 0x400 above the base, an
// onboard port; an add-in card might be base=0xd010,ecp=0xd000).
// Unknown keys and bad values are refused with a message; the library never exits. A Device ID
// has commas of its own (CMD:PCL,PJL), so id= comes last and takes the rest of the string.
//
// Rejected: a simulator thread or process that runs the peripheral on its own (the device would
// then move between two accesses, which makes virtual time and exact tests impossible); instead
// the device catches up with the clock at the start of every seam call.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "port/io.h"

#ifdef __cplusplus
extern "C" {
#endif

struct sim;

// Register indices for the counters.
enum sim_reg { SIM_REG_DATA, SIM_REG_STATUS, SIM_REG_CONTROL, SIM_REG_FIFO, SIM_REG_ECR, SIM_REG_OTHER, SIM_NREGS };

struct sim_counters {
    uint64_t reads[SIM_NREGS];    // byte reads per register
    uint64_t writes[SIM_NREGS];   // byte writes per register (a string output counts its bytes)
    uint64_t string_outputs;      // string output calls
    uint64_t string_inputs;       // string input calls (reads[] counts their bytes)
    uint64_t bytes_to_peer;       // data bytes the peripheral took (forward)
    uint64_t bytes_from_peer;     // data bytes the host received (reverse), after run-length expansion
    uint64_t sleeps;              // sleep calls
    uint64_t sleep_us;            // microseconds of sleep asked for
    uint64_t clock_reads;         // clock queries
    // Host errors: what would lose data or harm a real port. Each is also an "ERROR: sim: host
    // error: ..." line on the console. A correct link keeps both at 0.
    uint64_t host_errors;         // bus contention, printed bytes lost at a mode change or to an
                                  // nInit pulse, a direction change outside modes 000 and 001
    uint64_t bytes_lost;          // printed bytes thrown away (FIFO, output latch, printer buffer)
};

// Faults to inject, one configuration word each: fault=NAME[:N].
enum sim_fault {
    SIM_FAULT_NO_PERIPHERAL,  // "no-peripheral": nothing attached, status floats at 0x78
    SIM_FAULT_REFUSE,         // "refuse[:REQ]": XFlag low for every request, or for request byte REQ
    SIM_FAULT_NO_EVENT6,      // "no-event6": nAck stays low after event 4
    SIM_FAULT_NO_EVENT31,     // "no-event31": nAckReverse stays low after HostAck low in ECP setup
    SIM_FAULT_NO_REVERSE,     // "no-reverse": a reversal is never acknowledged (no event 40)
    SIM_FAULT_NO_FORWARD,     // "no-forward": after event 47 nAckReverse stays low (never 0xE0)
    SIM_FAULT_STALL,          // "stall[:N]": takes N forward bytes (default 0), then no more
    SIM_FAULT_SHORT,          // "short:N": sends N reverse bytes, then nothing
    SIM_FAULT_CHANNEL,        // "channel[:N]": after N reverse bytes (default 0) presents channel address 0x81
    SIM_FAULT_LONG_RUN,       // "long-run[:N]": the first reverse byte comes as a run of N (default 128)
    SIM_FAULT_ACK_HIGH,       // "ack-high": PeriphAck (Busy) stuck high, STATUS bit 0x80 always 0
    SIM_FAULT_ACK_LOW,        // "ack-low": PeriphAck (Busy) stuck low, STATUS bit 0x80 always 1
    SIM_FAULT_PAUSE,          // "pause:MS[@N]": after N forward bytes (default 0) takes nothing for MS ms
    SIM_FAULT_NO_ECR,         // "no-ecr": nothing in the ECP range (reads 0xFF); a PS/2 port
    SIM_FAULT_NO_ID,          // "no-id": every Device ID request (0x04, 0x05, 0x14) refused with XFlag low
    SIM_FAULT_ID_LENGTH,      // "id-length:N": the Device ID's length field says N, whatever follows
    SIM_FAULT_OUTPUT_ONLY,    // "output-only": the data lines cannot be inputs; DATA reads back the latch
    SIM_NFAULTS
};

enum sim_peer_kind { SIM_PEER_ECHO, SIM_PEER_SINK, SIM_PEER_SOURCE };

#define SIM_PATH_MAX 1024
#define SIM_ID_MAX 2047  // characters of the Device ID string: more than a host keeps, to test its cap
// What the peripheral answers to a Device ID request unless id= says otherwise.
#define SIM_DEFAULT_ID "MFG:Tessaline;MDL:MFP-1284 Sim;CMD:PCL,PJL;CLS:PRINTER;DES:tessal simulated MFP;"

// A parsed configuration. Thresholds of 0 mean the port never raises serviceIntr that way.
struct sim_config {
    int fifo;                  // FIFO depth, 0..1024
    int wthr;                  // forward service threshold, 0..fifo
    int rthr;                  // reverse service threshold, 0..fifo
    int cnfga;                 // cnfgA byte
    uint32_t base;             // DATA, STATUS and CONTROL at base..base+2, 1..0xfffd
    uint32_t ecp;              // the FIFO at ecp, the ECR at ecp+2, 1..0xfffd
    uint64_t rate;             // link rate in bytes per second; 0 = unlimited
    int virtual_clock;         // 1: clock=virtual
    uint32_t io_ns;            // virtual cost of one seam call, 1..1000000000
    uint32_t latch_ns;         // latch=: a byte's hand-over from the output latch to the peripheral
    uint32_t print_ms;         // print=: how long the printer holds received bytes before printing
    uint64_t jitter;           // jitter=SEED: random answer times within IEEE 1284 bounds; 0 off
    int peer;                  // enum sim_peer_kind
    int rle;                   // reverse data goes out run-length encoded
    uint32_t faults;           // bit (1 << enum sim_fault) per fault selected
    uint32_t fault_arg[SIM_NFAULTS];
    int fault_has_arg[SIM_NFAULTS];
    uint32_t fault_at[SIM_NFAULTS];  // the N of NAME:ARG@N (pause only), 0 when not given
    char sink[SIM_PATH_MAX];   // "" when not given
    char source[SIM_PATH_MAX];
    char trace[SIM_PATH_MAX];
    char device_id[SIM_ID_MAX + 1];  // id=: the Device ID string, without its length field
    uint32_t device_id_len;          // its length: "\0" in id= stands for a NUL byte
};

// The peripheral's IEEE 1284 states, for tests and debugging.
enum sim_pstate {
    SIM_P_COMPAT,       // compatibility idle
    SIM_P_NEG_REQ,      // event 2 answered, request byte latched
    SIM_P_NEG_STROBE,   // event 3 seen
    SIM_P_NEG_STUCK,    // event 4 seen, event 6 withheld (fault)
    SIM_P_EXT_WAIT,     // extensibility request accepted, link byte expected
    SIM_P_EXT_STROBE,   // link byte strobed in
    SIM_P_OTHER,        // a mode that is not modelled further (nibble, byte, EPP, link), or a refusal
    SIM_P_ECP_SETUP,    // ECP accepted, event 30 expected
    SIM_P_FWD_IDLE,     // ECP forward idle
    SIM_P_FWD_BUSY,     // ECP forward, HostClk low seen, PeriphAck high
    SIM_P_REV_REQ,      // event 39 seen; event 40 answers it at the next access
    SIM_P_REV_IDLE,     // ECP reverse idle
    SIM_P_REV_PRESENT,  // a reverse byte on the lines, PeriphClk low
    SIM_P_REV_ACKED,    // HostAck high seen, PeriphClk high
    SIM_P_REV_STUCK,    // event 47 seen, event 49 withheld (fault)
    SIM_P_TERM_24,      // termination: nAck low
    SIM_P_TERM_27,      // termination: lines back, nAck high
    SIM_P_NIB_IDLE,     // nibble-mode Device ID accepted: reverse idle between bytes
    SIM_P_NIB_LOW,      // low nibble on the status lines, PtrClk low (events 8, 9)
    SIM_P_NIB_MID,      // low nibble taken, PtrClk high (event 11)
    SIM_P_NIB_HIGH,     // high nibble on the status lines, PtrClk low
    SIM_NPSTATES
};

// Parse a configuration string (NULL or "" for the defaults). 0, or -1 with a one-line message.
int sim_parse_config(const char *config, struct sim_config *out, char *err, size_t errlen);
// The name a fault has in a configuration ("no-event6"); NULL outside 0..SIM_NFAULTS-1.
const char *sim_fault_name(int fault);

// Create the shared device from a configuration string (NULL or "" for the defaults).
// On a bad configuration: NULL, with a one-line message in err.
struct sim *sim_create(const char *config, char *err, size_t errlen);
void sim_destroy(struct sim *sim);
// The seam backend that drives this device; valid while the sim lives (and in forked children).
const struct lp_io_backend *sim_backend(struct sim *sim);
// ppdev.cc: the kernel calls of the parport-device backend (port/io.h) answered by this device,
// as the kernel's ppdev driver would answer them for a port it found: any path opens (a real
// descriptor of /dev/null, so a leak shows), PPCLAIM and PPRELEASE per open file, PPRDATA,
// PPWDATA, PPRSTATUS, PPRCONTROL, PPWCONTROL and PPFCONTROL (the four line bits only) and
// PPDATADIR reach the registers; any other request is ENOTTY. A register ioctl without the claim,
// a second claim or a release without one is refused with EINVAL and counted as a host error.
// Valid while the sim lives; one device per process.
// PPGETMODES answers PCSPP and SAFEININT, with TRISTATE unless fault=output-only and ECP unless
// fault=no-ecr; PPSETMODE and PPSETPHASE are kept (no claim needed, as in the kernel).
const struct lp_ppdev_calls *sim_ppdev_calls(struct sim *sim);
// The mode and phase the parport-device backend last told the fake kernel (-1: never).
int sim_ppdev_mode(int *phase);
void sim_get_counters(struct sim *sim, struct sim_counters *out);
// The peripheral's bytes_to_peer read without the device lock, for a watcher that must not
// compete for it with the processes driving the device.
uint64_t sim_bytes_to_peer(struct sim *sim);
void sim_reset_counters(struct sim *sim);
// The simulator's clock, in microseconds since it was created (virtual or real).
uint64_t sim_now_us(struct sim *sim);

// Inspection and set-up for tests and tools. Each takes the device lock.
enum sim_pstate sim_peripheral_state(struct sim *sim);
const char *sim_pstate_name(enum sim_pstate state);
unsigned sim_fifo_count(struct sim *sim);
// Bytes the peripheral still has to send back: the echo queue, or the unread part of the source.
uint64_t sim_peer_pending(struct sim *sim);
// Echo peer: queue bytes to be read back / take queued bytes out (what the peripheral received).
// Each returns how many bytes it moved.
size_t sim_peer_push(struct sim *sim, const uint8_t *bytes, size_t n);
size_t sim_peer_take(struct sim *sim, uint8_t *bytes, size_t n);
// Write out the sink's buffered bytes now (it is also written when 64 KiB have gathered, at a
// reversal, a termination, a reset and at sim_destroy).
void sim_flush(struct sim *sim);
// Hold the device lock as a seam call does, e.g. to show that a holder killed with SIGKILL does
// not wedge the device.
void sim_lock(struct sim *sim);
void sim_unlock(struct sim *sim);

#ifdef __cplusplus
}
#endif
