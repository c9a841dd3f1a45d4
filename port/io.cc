#include "port/io.h"

#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

namespace {

const lp_io_backend *current = &lp_io_x86;

// Pauses up to this long are kept by watching the clock: a kernel sleep overshoots by more than
// a third of it even at the minimum timer slack (a 50 us sleep of the port's probe took 82 to
// 93 us on a virtual machine), and the process is about to poll the port anyway.
constexpr unsigned kSpinUs = 100;

int64_t mono_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

extern "C" {

void lp_io_use(const lp_io_backend *backend) { current = backend ? backend : &lp_io_x86; }
const lp_io_backend *lp_io_current(void) { return current; }

int lp_io_acquire(long base) { return current->acquire(current->ctx, base); }
int lp_io_claim(void) { return current->claim ? current->claim(current->ctx) : 0; }
void lp_io_release(void) {
    if (current->release)
        current->release(current->ctx);
}
const char *lp_io_explain(int err, char *out, size_t outlen) {
    if (outlen > 0)
        out[0] = '\0';
    if (current->explain && outlen > 0)
        current->explain(current->ctx, err, out, outlen);
    return out;
}
uint8_t lp_inb(uint16_t addr) { return current->inb(current->ctx, addr); }
void lp_outb(uint16_t addr, uint8_t value) { current->outb(current->ctx, addr, value); }
void lp_outsb(uint16_t addr, const uint8_t *bytes, size_t n) { current->outsb(current->ctx, addr, bytes, n); }
void lp_insb(uint16_t addr, uint8_t *bytes, size_t n) { current->insb(current->ctx, addr, bytes, n); }
void lp_gettimeofday(struct timeval *tv) { current->gettime(current->ctx, tv); }
void lp_usleep(unsigned us) { current->sleep_us(current->ctx, us); }

void lp_io_pause(unsigned us) {
    if (us > kSpinUs) {
        usleep(us);
        return;
    }
    // The clock is read in user space (vDSO): no system call while the pause lasts.
    const int64_t end = mono_ns() + int64_t(us) * 1000;
    while (mono_ns() < end) {
    }
}

void lp_io_fine_timers(void) { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

}  // extern "C"
