// The platform seam: the only door from the port layer to the machine.
//
// Every port access (byte in, byte out, string in and out) and every clock read and sleep that port/ and
// ieee1284/ make goes through the backend chosen here, once per process, before the first INIT.
// Backends: real x86 I/O (the default: setuid(0) + iopl(3), then in/out instructions), the
// kernel's parport device (/dev/parportN: one ioctl per access, no root), the simulator in sim/,
// and the recording fake of the tests. The seam adds no access of its own and costs one indirect
// call per access, which is noise beside a ~1 us ISA I/O cycle.
//
// Rejected: ioperm() (does not reach an ECP range far above the base on every kernel the same
// way), /dev/port (a system call per byte, and root all the same), compile-time selection (the
// tests and the daemon need every backend in one binary).
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
    // Gain access to the registers at base..base+2 and to the port's ECP range.
    // Result 0, or the errno that explains the failure; on failure no register is touched.
    int (*acquire)(void *ctx, long base);
    uint8_t (*inb)(void *ctx, uint16_t addr);
    void (*outb)(void *ctx, uint16_t addr, uint8_t value);
    // n bytes to one address with no reads between (the FIFO bursts).
    void (*outsb)(void *ctx, uint16_t addr, const uint8_t *bytes, size_t n);
    // n bytes from one address with nothing between (a FIFO read of bytes the ECR says are there).
    void (*insb)(void *ctx, uint16_t addr, uint8_t *bytes, size_t n);
    // The time of a clock that never steps (CLOCK_MONOTONIC on hardware), in a timeval. Every
    // wait of the port layer is measured on it, so a change of the system time (by hand, by
    // NTP) never makes a wait spin longer or end early.
    void (*gettime)(void *ctx, struct timeval *tv);
    // Sleep us microseconds, as usleep does.
    void (*sleep_us)(void *ctx, unsigned us);
    void *ctx;
    // Optional (NULL: nothing to do). A backend that shares the port with the kernel's own users
    // claims it while a service process holds the port lock and releases it with the lock.
    // claim returns 0 or an errno.
    int (*claim)(void *ctx);
    void (*release)(void *ctx);
    // Optional: after acquire or claim failed with err, the way out for the user as the end of
    // an error line ("; use ..."), or "" when there is nothing to add.
    void (*explain)(void *ctx, int err, char *out, size_t outlen);
};

// The real x86 backend (iopl + in/out instructions). It is in use until another is chosen.
extern const struct lp_io_backend lp_io_x86;

// The kernel's parport device. Its kernel calls go through this table, so the tests can put the
// simulator behind it; each returns what the system call does (-1 with errno set on failure).
struct lp_ppdev_calls {
    int (*open)(void *ctx, const char *path, int flags);
    int (*ioctl)(void *ctx, int fd, unsigned long request, void *arg);
    int (*close)(void *ctx, int fd);
    void *ctx;
};
extern const struct lp_ppdev_calls lp_ppdev_kernel;  // open(2), ioctl(2), close(2)
// The backend on the device at path through calls (NULL: the kernel's). DATA, STATUS and CONTROL
// (with its direction bit) become the device's ioctls at base, base + 1 and base + 2, the base
// that acquire is given; every other address reads 0xFF and ignores writes, so the port has no
// ECR and data moves by the software handshake. acquire opens the device (in the process that
// drives the port: a claim belongs to its open file), claim and release are PPCLAIM and
// PPRELEASE. One device per process: a second call reconfigures the same backend.
const struct lp_io_backend *lp_io_ppdev(const char *path, const struct lp_ppdev_calls *calls);
// Open and close the device once, as a check at start-up: 0 or the errno.
int lp_io_ppdev_check(void);

// Choose the backend for this process. The pointer must stay valid while it is in use.
void lp_io_use(const struct lp_io_backend *backend);
const struct lp_io_backend *lp_io_current(void);

// The calls the port layer makes; each forwards to the current backend once.
int lp_io_acquire(long base);
int lp_io_claim(void);    // 0 when the backend has no claim
void lp_io_release(void);
// The current backend's advice for err, "" when it has none; returns out.
const char *lp_io_explain(int err, char *out, size_t outlen);
uint8_t lp_inb(uint16_t addr);
void lp_outb(uint16_t addr, uint8_t value);
void lp_outsb(uint16_t addr, const uint8_t *bytes, size_t n);
void lp_insb(uint16_t addr, uint8_t *bytes, size_t n);
void lp_gettimeofday(struct timeval *tv);
void lp_usleep(unsigned us);

// Real time, for the backends that run on it (x86, the parport device, the simulator's real
// clock). A pause of a few microseconds, as every byte of the software handshake takes, costs
// more as a kernel sleep than it asks for (a timer interrupt and two context switches: 5 to
// 25 us measured, and the thread's timer slack on top, 50 us by default), so such pauses watch
// the monotonic clock instead; longer ones sleep in the kernel.
void lp_io_pause(unsigned us);
// Timer slack down to its minimum for this thread, so the kernel sleeps of the port layer last
// about what they ask for (a service process sets it once it holds the port).
void lp_io_fine_timers(void);

#ifdef __cplusplus
}
#endif
