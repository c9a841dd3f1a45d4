// The kernel's parport device as a backend of the seam: /dev/parportN, the ppdev interface.
//
// It reaches every port the kernel found, add-in cards included, needs no root (the device
// belongs to group lp) and shares the port with the kernel's own users: the port is claimed
// (PPCLAIM) while a service process holds tessal's port lock and released with it.
//
// Each register access becomes one ioctl. CONTROL's four line bits go through PPWCONTROL and its
// direction bit through PPDATADIR, since the kernel keeps the two apart; a write that changes
// neither still rewrites the lines, as the register operations expect of every write. There are
// no ECP registers behind this interface: every other address reads 0xFF and ignores writes, so
// opening finds no ECR, skips the probe and the link moves data by the software handshake.
//
// Rejected: PPEXCL (it would shut out the kernel's lp driver, which the claim already waits
// for), and the device's own IEEE 1284 calls (PPNEGOT, read/write): the link code stays ours, the
// same on every backend, and the kernel's transfers would answer to timings we do not choose.
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "port/io.h"

namespace {

constexpr uint8_t kLines = 0x0F;     // nStrobe, nAutoFd, nInit, nSelectIn
constexpr uint8_t kReverse = 0x20;   // CONTROL's direction bit

struct ppdev {
    const lp_ppdev_calls *calls = &lp_ppdev_kernel;
    char path[256] = "";
    int fd = -1;
    long base = 0;
    bool claimed = false;
    uint8_t control = 0;  // the CONTROL byte last written, for its direction and interrupt bits
} dev;

int k_open(void *, const char *path, int flags) { return open(path, flags); }
int k_ioctl(void *, int fd, unsigned long request, void *arg) { return ioctl(fd, request, arg); }
int k_close(void *, int fd) { return close(fd); }

int call(unsigned long request, void *arg) { return dev.calls->ioctl(dev.calls->ctx, dev.fd, request, arg); }

int pp_acquire(void *, long base) {
    dev.base = base;
    if (dev.fd >= 0)
        return 0;
    dev.fd = dev.calls->open(dev.calls->ctx, dev.path, O_RDWR | O_CLOEXEC);
    return dev.fd >= 0 ? 0 : errno;
}

int pp_claim(void *) {
    if (dev.claimed)
        return 0;
    if (dev.fd < 0)
        return EBADF;
    if (call(PPCLAIM, nullptr) != 0)
        return errno;
    dev.claimed = true;
    // Whoever had the port before may have left the data lines as inputs; the port layer
    // starts from the host driving them.
    int forward = 0;
    call(PPDATADIR, &forward);
    dev.control &= uint8_t(~kReverse);
    return 0;
}

void pp_release(void *) {
    if (dev.claimed)
        call(PPRELEASE, nullptr);
    dev.claimed = false;
}

// A register the device does not have reads as a floating bus; so does one whose ioctl failed.
uint8_t pp_inb(void *, uint16_t addr) {
    uint8_t v = 0xFF;
    switch (long(addr) - dev.base) {
    case 0: call(PPRDATA, &v); break;
    case 1: call(PPRSTATUS, &v); break;
    case 2:
        if (call(PPRCONTROL, &v) == 0)
            v = uint8_t((v & kLines) | (dev.control & ~kLines));
        break;
    default: break;
    }
    return v;
}

void pp_outb(void *, uint16_t addr, uint8_t value) {
    switch (long(addr) - dev.base) {
    case 0: call(PPWDATA, &value); break;
    case 2: {
        const uint8_t old = dev.control;
        dev.control = value;
        if ((old ^ value) & kReverse) {
            int reverse = (value & kReverse) != 0;
            call(PPDATADIR, &reverse);
            if (((old ^ value) & kLines) == 0)
                break;  // the direction was all that changed
        }
        uint8_t lines = value & kLines;
        call(PPWCONTROL, &lines);
        break;
    }
    default: break;  // STATUS, and the ECP registers that are not there
    }
}

void pp_outsb(void *ctx, uint16_t addr, const uint8_t *bytes, size_t n) {
    for (size_t i = 0; i < n; i++)
        pp_outb(ctx, addr, bytes[i]);
}

// The device has no string input: one call per byte (only DATA answers here anyway).
void pp_insb(void *ctx, uint16_t addr, uint8_t *bytes, size_t n) {
    for (size_t i = 0; i < n; i++)
        bytes[i] = pp_inb(ctx, addr);
}

void pp_gettime(void *, timeval *tv) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = suseconds_t(ts.tv_nsec / 1000);
}

void pp_sleep(void *, unsigned us) { lp_io_pause(us); }

void pp_explain(void *, int err, char *out, size_t outlen) {
    switch (err) {
    case ENOENT:
        std::snprintf(out, outlen, "; %s does not exist: load the kernel's modules (modprobe parport_pc ppdev), "
                                   "and see ls /dev/parport* for the ports it found", dev.path);
        break;
    case EACCES:
    case EPERM:
        std::snprintf(out, outlen, "; the user may not open %s: add it to group lp (usermod -aG lp USER), "
                                   "and log in again", dev.path);
        break;
    case ENXIO:
    case ENODEV:
        std::snprintf(out, outlen, "; the kernel has no port behind %s", dev.path);
        break;
    default: break;
    }
}

const lp_io_backend backend = {
    "ppdev", pp_acquire, pp_inb, pp_outb, pp_outsb, pp_insb, pp_gettime, pp_sleep, nullptr, pp_claim, pp_release, pp_explain,
};

}  // namespace

extern "C" {

const struct lp_ppdev_calls lp_ppdev_kernel = {k_open, k_ioctl, k_close, nullptr};

const struct lp_io_backend *lp_io_ppdev(const char *path, const struct lp_ppdev_calls *calls) {
    if (dev.fd >= 0)
        dev.calls->close(dev.calls->ctx, dev.fd);
    dev = {};
    dev.calls = calls ? calls : &lp_ppdev_kernel;
    std::snprintf(dev.path, sizeof dev.path, "%s", path);
    return &backend;
}

int lp_io_ppdev_check(void) {
    const int fd = dev.calls->open(dev.calls->ctx, dev.path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return errno;
    dev.calls->close(dev.calls->ctx, fd);
    return 0;
}

}  // extern "C"
