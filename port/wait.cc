// Status waits: every handshake step the host drives in software waits here for the peripheral.
//
// Three layers, each a superset of the one before: a fast poll counted in microseconds, a busy
// phase of back-to-back reads for 4 ticks, and a slow phase of reads 10 ms apart for 500 ticks.
// Interrupts stay off, so there is nothing to sleep on: the busy phase deliberately keeps the
// processor, the slow phase is the only one that yields it.
#include "port/io.h"
#include "port/regs.h"

namespace {

bool matches(uint8_t status, uint8_t mask, uint8_t expect) { return (status & mask) == expect; }

bool passed(int64_t deadline) { return lp_ticks() - deadline >= 0; }

}  // namespace

extern "C" {

// Interrupts are never enabled, so there is never an event to wait for: "nothing happened".
int lp_wait_event(struct port_data *, int) { return 1; }

int lp_poll_status(struct port_data *port, uint8_t mask, uint8_t expect, int32_t usec) {
    const int32_t count = usec / 5 + 2;
    for (int32_t i = 0; i < count; i++) {
        if (matches(lp_read_status(port), mask, expect))
            return 0;
        if (i >= 2)
            lp_usleep(5);
    }
    return 1;
}

int lp_wait_status(struct port_data *port, uint8_t mask, uint8_t expect) {
    struct port_data *phys = port->phys;
    const int64_t timeout = phys->cad->timeout;
    const int32_t usec = timeout != 0 ? phys->spin_us : 35000;
    if (lp_poll_status(port, mask, expect, usec) == 0)
        return 0;
    if (timeout == 0)
        return 1;
    const int64_t deadline = lp_ticks() + 4;
    while (lp_ticks() - deadline < 0) {
        lp_wait_event(port, 1);
        if (matches(lp_read_status(port), mask, expect))
            return 0;
    }
    return 1;
}

int lp_wait_status_long(struct port_data *port, uint8_t mask, uint8_t expect) {
    if (lp_wait_status(port, mask, expect) == 0)
        return 0;
    const int64_t deadline = lp_ticks() + 500;
    while (!passed(deadline)) {
        if (matches(lp_read_status(port), mask, expect))
            return 0;
        lp_usleep(10000);
    }
    return 1;
}

}  // extern "C"
