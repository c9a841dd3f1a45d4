// The simulator: a PC parallel port with the ECP extended registers and an IEEE 1284
// multifunction peripheral behind it, offered as a backend of the platform seam (port/io.h).
//
// The same port and link code runs on it unchanged. Its state lives in one MAP_SHARED mapping,
// created by the listening daemon before it forks and guarded by a process-shared robust mutex,
// so every service process drives the same device, as with real hardware.
//
// Configuration: one string of comma-separated key=value words, e.g.
//   fifo=16,wthr=8,rthr=8,cnfga=0x10,rate=1000000,clock=real,io_ns=1000,peer=echo,trace=/tmp/t
// Unknown keys and bad values are refused with a message; the library never exits.
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
    uint64_t bytes_to_peer;       // data bytes the peripheral took (forward)
    uint64_t bytes_from_peer;     // data bytes the host received (reverse), after run-length expansion
    uint64_t sleeps;              // sleep calls
    uint64_t sleep_us;            // microseconds of sleep asked for
    uint64_t clock_reads;         // clock queries
};

// Create the shared device from a configuration string (NULL or "" for the defaults).
// On a bad configuration: NULL, with a one-line message in err.
struct sim *sim_create(const char *config, char *err, size_t errlen);
void sim_destroy(struct sim *sim);
// The seam backend that drives this device; valid while the sim lives (and in forked children).
const struct lp_io_backend *sim_backend(struct sim *sim);
void sim_get_counters(struct sim *sim, struct sim_counters *out);
void sim_reset_counters(struct sim *sim);
// The simulator's clock, in microseconds since it was created (virtual or real).
uint64_t sim_now_us(struct sim *sim);

#ifdef __cplusplus
}
#endif
