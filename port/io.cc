#include "port/io.h"

namespace {
const lp_io_backend *current = &lp_io_x86;
}

extern "C" {

void lp_io_use(const lp_io_backend *backend) { current = backend ? backend : &lp_io_x86; }
const lp_io_backend *lp_io_current(void) { return current; }

int lp_io_acquire(long base) { return current->acquire(current->ctx, base); }
uint8_t lp_inb(uint16_t addr) { return current->inb(current->ctx, addr); }
void lp_outb(uint16_t addr, uint8_t value) { current->outb(current->ctx, addr, value); }
void lp_outsb(uint16_t addr, const uint8_t *bytes, size_t n) { current->outsb(current->ctx, addr, bytes, n); }
void lp_gettimeofday(struct timeval *tv) { current->gettime(current->ctx, tv); }
void lp_usleep(unsigned us) { current->sleep_us(current->ctx, us); }

}  // extern "C"
