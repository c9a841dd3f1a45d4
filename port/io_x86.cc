// The real-hardware backend: x86 port I/O from user space.
//
// Access is gained the way the daemon always has: become user 0, then raise the I/O privilege
// level to 3, which opens every port to in/out. Where iopl is not available (no privilege, a
// kernel or sandbox without it: ENOSYS, EPERM) the errno comes back and nothing is touched, and
// the error line says what to do instead: the kernel's parport device needs neither.
#include "port/io.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <unistd.h>

#include "port/locate.h"

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define TESSAL_HAVE_X86_IO 1
#endif

namespace {

bool setuid_failed = false;  // which step refused: becoming root, or iopl itself

int x86_acquire(void *, long) {
#ifdef TESSAL_HAVE_X86_IO
    setuid_failed = setuid(0) != 0;
    if (setuid_failed)
        return errno;
    if (iopl(3) != 0)
        return errno;
    return 0;
#else
    return ENOSYS;
#endif
}

constexpr const char *kUseDevice = "use the kernel's parport device instead, which needs no root (--parport-device /dev/parport0)";

void x86_explain(void *, int err, char *out, size_t outlen) {
    if (err == ENOSYS) {
        std::snprintf(out, outlen, "; this kernel has no user-space port I/O (no iopl): %s", kUseDevice);
    } else if (err == EPERM && setuid_failed) {
        std::snprintf(out, outlen, "; tessal is not root: run it as root, or %s", kUseDevice);
    } else if (err == EPERM) {
        char mode[32];
        if (lp_lockdown_mode(mode, sizeof mode) == 0 && std::string_view(mode) != "none")
            std::snprintf(out, outlen, "; the kernel is locked down (%s, as under Secure Boot) and refuses iopl: %s", mode,
                          kUseDevice);
        else
            std::snprintf(out, outlen, "; iopl needs CAP_SYS_RAWIO, and a kernel under lockdown (Secure Boot) refuses it: %s",
                          kUseDevice);
    }
}

#ifdef TESSAL_HAVE_X86_IO
uint8_t x86_inb(void *, uint16_t addr) { return inb(addr); }
void x86_outb(void *, uint16_t addr, uint8_t v) { outb(v, addr); }
void x86_outsb(void *, uint16_t addr, const uint8_t *p, size_t n) { outsb(addr, p, n); }
void x86_insb(void *, uint16_t addr, uint8_t *p, size_t n) { insb(addr, p, n); }
#else
uint8_t x86_inb(void *, uint16_t) { return 0xFF; }
void x86_outb(void *, uint16_t, uint8_t) {}
void x86_outsb(void *, uint16_t, const uint8_t *, size_t) {}
void x86_insb(void *, uint16_t, uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        p[i] = 0xFF;
}
#endif

// The monotonic clock, not the wall clock: a time set back while the port is held would otherwise
// make a wait spin for the size of the step.
void x86_gettime(void *, timeval *tv) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = suseconds_t(ts.tv_nsec / 1000);
}
void x86_sleep(void *, unsigned us) { lp_io_pause(us); }

}  // namespace

extern "C" const lp_io_backend lp_io_x86 = {
    "x86", x86_acquire, x86_inb, x86_outb, x86_outsb, x86_insb, x86_gettime, x86_sleep, nullptr, nullptr, nullptr, x86_explain,
};
