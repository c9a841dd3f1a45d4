// The platform seam: the only door from the port layer to the machine.
//
// Every port access (byte in, byte out, string out) and every clock read and sleep that port/ and
// ieee1284/ make goes through the backend chosen here, once per process, before the first INIT.
// Backends: real x86 I/O (the default: setuid(0) + iopl(3), then in/out instructions), the
// simulator in sim/, and the recording fake of the tests. The seam adds no access of its own and
// costs one indirect call per access, which is noise beside a ~1 us ISA I/O cycle.
//
// Rejected: ioperm() (does not reach base + 0x400 on every kernel the same way), /dev/port
// (a system call per byte), compile-time selection (the tests and the daemon need both backends
// in one binary).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

// One backend. Every function takes the backend's own context first.
struct lp_io_backend {
    const char *name;
    // Gain access to the registers at base..base+2 and base+0x400..base+0x402.
    // Result 0, or the errno that explains the failure; on failure no register is touched.
    int (*acquire)(void *ctx, long base);
    uint8_t (*inb)(void *ctx, uint16_t addr);
    void (*outb)(void *ctx, uint16_t addr, uint8_t value);
    // n bytes to one address with no reads between (the FIFO bursts).
    void (*outsb)(void *ctx, uint16_t addr, const uint8_t *bytes, size_t n);
    // The time of a clock that never steps (CLOCK_MONOTONIC on hardware), in a timeval. Every
    // wait of the port layer is measured on it, so a change of the system time (by hand, by
    // NTP) never makes a wait spin longer or end early.
    void (*gettime)(void *ctx, struct timeval *tv);
    // Sleep us microseconds, as usleep does.
    void (*sleep_us)(void *ctx, unsigned us);
    void *ctx;
};

// The real x86 backend (iopl + in/out instructions). It is in use until another is chosen.
extern const struct lp_io_backend lp_io_x86;

// Choose the backend for this process. The pointer must stay valid while it is in use.
void lp_io_use(const struct lp_io_backend *backend);
const struct lp_io_backend *lp_io_current(void);

// The calls the port layer makes; each forwards to the current backend once.
int lp_io_acquire(long base);
uint8_t lp_inb(uint16_t addr);
void lp_outb(uint16_t addr, uint8_t value);
void lp_outsb(uint16_t addr, const uint8_t *bytes, size_t n);
void lp_gettimeofday(struct timeval *tv);
void lp_usleep(unsigned us);

#ifdef __cplusplus
}
#endif
