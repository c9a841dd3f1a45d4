// Block transfers through the port's ECP hardware FIFO.
//
// The port's ECP hardware does the byte handshake on the wire; these routines manage direction,
// ECR and FIFO. Interrupts stay off, so the ECR's serviceIntr bit is polled. The write keeps the
// FIFO fed: a whole FIFO's worth by one string output when it is empty, single bytes when it is
// part full. The read turns the link around (events 38-40), takes what the ECR says is waiting (a
// full FIFO, or a threshold's worth once serviceIntr is set) by one string input, and polls a
// short tail byte by byte; the finish turns it forward again (events 47, 49).
#include <algorithm>
#include <cstring>

#include "ieee1284/ieee1284.h"
#include "port/io.h"
#include "port/log.h"

namespace {

constexpr int64_t kStallTicks = 500;    // 5 s: a FIFO that stays full ends the write
constexpr int64_t kTailTicks = 100;     // 1 s for a tail shorter than the read threshold
constexpr int64_t kFinishTicks = 2000;  // 20 s for the peripheral to settle after a read
constexpr uint32_t kRunCopies = 128;    // the most copies one run-length count stands for

bool passed(int64_t deadline) { return lp_ticks() - deadline >= 0; }

// The process's own store, used until another is attached (the daemon attaches a shared one).
lp_surplus own_store;
lp_surplus *surplus = &own_store;

// A shared store outlives the processes that use it, one killed halfway through an update
// included: a store whose fields make no sense is taken as empty rather than trusted.
void check_store() {
    if (surplus->head > sizeof surplus->bytes || surplus->count > sizeof surplus->bytes - surplus->head)
        surplus->head = surplus->count = 0;
}

uint64_t take_surplus(uint8_t *buf, uint64_t len) {
    check_store();
    const uint64_t n = std::min<uint64_t>(len, surplus->count);
    if (n == 0)
        return 0;  // a read of nothing may come with no buffer at all
    std::memcpy(buf, surplus->bytes + surplus->head, n);
    surplus->head += uint32_t(n);
    surplus->count -= uint32_t(n);
    if (surplus->count == 0)
        surplus->head = 0;
    return n;
}

// After event 47 the port pulls nothing more; what is in the FIFO would be thrown away by the
// change to PS/2 mode, so it is moved out first, until the FIFO reads empty. The port may still
// be expanding a run-length count into the FIFO as it drains, so that is at most a FIFO's worth
// plus the copies of one run.
void keep_surplus(struct port_data *port) {
    check_store();
    if (surplus->count == 0)
        surplus->head = 0;
    const uint16_t fifo = lp_fifo_addr(port);
    const int32_t fifo_size = port->phys->priv->fifo_size;
    const uint32_t limit = uint32_t(std::clamp(fifo_size, 1, 1023)) + kRunCopies;
    uint32_t moved = 0;
    while (moved < limit && surplus->head + surplus->count < sizeof surplus->bytes && !lp_fifo_empty(port)) {
        surplus->bytes[surplus->head + surplus->count] = lp_inb(fifo);
        surplus->count++;
        moved++;
    }
}

// Bytes written since the write last saw the FIFO empty: at most this many can still be in it.
uint32_t unconfirmed = 0;

// The bytes the port still holds for the printer, as far as the host can tell: a full FIFO's
// depth, or what was written since it last read empty (at most one less than the depth), and
// one more while PeriphAck is high (a byte in the output latch, mid-handshake).
int held(struct port_data *port, uint8_t e) {
    const int32_t depth = std::max(port->priv->fifo_size, 1);
    int n = 0;
    if (!(e & 0x01))
        n = (e & 0x02) ? depth : int(std::clamp<uint32_t>(unconfirmed, 1, uint32_t(std::max(depth - 1, 1))));
    if (!(lp_read_status(port) & 0x80))
        n++;
    return n;
}

// Reads the ECR; in ECP FIFO mode waits (at most 5 s) for the printer to have every byte: the
// FIFO empty and then PeriphAck low, since the last byte leaves the FIFO into the port's output
// latch and is the printer's only when its handshake ends. 0 when it has them all, else the
// bytes still held (held()). *mode gets the ECR mode found.
int drain_forward(struct port_data *port, uint8_t *mode) {
    const uint16_t ecr = lp_ecr_addr(port);
    uint8_t e = lp_inb(ecr);
    *mode = e & 0xE0;
    if (*mode != 0x60)
        return 0;  // not in ECP FIFO mode: no write has left bytes behind
    const int64_t deadline = lp_ticks() + kStallTicks;
    for (;;) {
        if ((e & 0x01) && (lp_read_status(port) & 0x80)) {
            unconfirmed = 0;
            return 0;
        }
        if (passed(deadline))
            return held(port, e);
        e = lp_inb(ecr);
    }
}

// Events 38 to 40, then ECP FIFO mode with the lines reversed. The data lines change direction
// only in ECR mode 001, and only once the bytes a write left in the FIFO have reached the
// peripheral: in mode 011 an ECP port ignores the direction bit (the host would go on driving
// the lines against the peripheral) and a later mode change would empty the FIFO of printed
// bytes. 0; or 1 when the reversal did not happen: the FIFO did not empty in time (then nothing
// has changed) or the peripheral did not acknowledge it.
int reverse(struct port_data *port) {
    uint8_t mode;
    if (drain_forward(port, &mode) != 0)
        return 1;
    if (mode != 0x20)
        lp_ecr_set_mode(port, 0x20);  // PS/2 mode: the direction bit takes effect here only
    lp_ctl_rmw(port, 0x22, 0x22);  // event 38: data lines reverse, HostAck low
    lp_usleep(5);
    lp_ctl_rmw(port, 0x04, 0x00);  // event 39: nReverseRequest low
    if (lp_wait_status_long(port, 0x20, 0x00) != 0) {  // event 40: nAckReverse low
        lp_ecr_update(port, 0x0C, 0x04);  // dmaEn cleared, serviceIntr set
        return 1;
    }
    lp_ecr_set_mode(port, 0x60);
    return 0;
}

// Moves bytes one by one while the FIFO is not empty, at most max (0: no limit) and at most left.
uint64_t drain_bytes(struct port_data *port, uint8_t *buf, uint64_t left, int32_t max) {
    const uint16_t fifo = lp_fifo_addr(port);
    uint64_t n = 0;
    do {
        buf[n++] = lp_inb(fifo);
    } while (n < left && (max <= 0 || n < uint64_t(max)) && !lp_fifo_empty(port));
    return n;
}

// The threshold passes of a read, while at least a threshold's worth is wanted; the bytes moved.
// One ECR read per pass says what waits: full, a whole FIFO; serviceIntr (armed since the last
// bytes were taken, the FIFO not empty), a threshold's worth. Those bytes are there, so they come
// by one string input with no empty check between them: about one access per byte. The empty
// flag is tested per byte only for fewer than that: what waits, armed and below the threshold,
// right after a string input (the end of what the peripheral sent so far, which then need not
// wait for an expiry), and at the expiry. A pass that moved nothing keeps the expiry it had, so
// the read ends at the first expiry that finds the FIFO empty even when the ECR asks for service
// with nothing there (or is not there at all and reads 0xFF). The clock is read only on passes
// that find nothing to take.
uint64_t threshold_passes(struct port_data *port, uint8_t *buf, uint64_t left) {
    const uint64_t threshold = uint64_t(std::max(port->priv->read_threshold, 0));
    const int32_t fifo_size = port->priv->fifo_size;
    const uint16_t fifo = lp_fifo_addr(port);
    const uint16_t ecr = lp_ecr_addr(port);
    const uint64_t len = left;
    int64_t expiry = 0;
    bool renew = true;          // bytes came since the expiry was set
    bool armed = false;         // serviceIntr written 0 since the last bytes were taken
    bool after_string = false;  // the last bytes came by string input
    while (left > 0 && left >= threshold) {
        const uint8_t e = lp_inb(ecr);
        const bool empty = e & 0x01;
        uint64_t n = 0;
        if ((e & 0x03) == 0x02 && fifo_size > 0)
            n = std::min(uint64_t(fifo_size), left);
        else if (armed && !empty && (e & 0x04))
            n = threshold;
        if (n > 0) {
            lp_insb(fifo, buf, size_t(n));
            after_string = true;
        } else if (!armed) {
            lp_outb(ecr, uint8_t(e & ~0x04));  // serviceIntr armed: the port sets it at the threshold
            armed = true;
            continue;
        } else if (after_string) {
            after_string = false;
            if (empty)
                continue;
            n = drain_bytes(port, buf, left, fifo_size);  // fewer than a threshold: a burst's end
        } else if (renew) {
            expiry = lp_ticks() + port->cad->timeout;
            renew = false;
            continue;
        } else if (!passed(expiry)) {
            continue;
        } else if (empty) {
            break;
        } else {
            n = drain_bytes(port, buf, left, fifo_size);
        }
        buf += n;
        left -= n;
        armed = false;
        renew = true;
    }
    return len - left;
}

}  // namespace

extern "C" {

void lp_fifo_surplus_attach(struct lp_surplus *store) { surplus = store ? store : &own_store; }

uint32_t lp_fifo_surplus(void) {
    check_store();
    return surplus->count;
}

void lp_fifo_surplus_clear(void) { surplus->head = surplus->count = 0; }

uint64_t m_mfp_fifo_write_block(struct port_data *port, const uint8_t *buf, uint64_t len) {
    port = port->phys;
    const uint16_t fifo = lp_fifo_addr(port);
    const uint16_t ecr = lp_ecr_addr(port);
    // An empty FIFO is refilled by one burst of fifo_size bytes. A probe that measured no depth
    // would make every burst empty while the stall deadline is renewed: single bytes instead.
    const uint64_t burst = uint64_t(std::max(port->priv->fifo_size, 1));
    // The stall deadline is armed by the first pass that finds the FIFO full after one that found
    // room, so a write that never waits reads no clock: on a fast port a clock read per burst
    // costs about as much as the burst.
    int64_t stall = 0;
    bool armed = false;
    int poll_limit = 8;
    uint64_t left = len;

    lp_irq_off(port);
    lp_ecr_update(port, 0x14, 0x14);  // nErrIntrEn and serviceIntr set
    lp_dir_forward(port);
    lp_ecr_set_mode(port, 0x60);      // ECP FIFO mode; HostClk and HostAck released

    while (left > 0) {
        uint8_t e = lp_inb(ecr);
        if (e & 0x02) {
            // Full: arm serviceIntr and poll it; the deadline runs from the first full pass.
            if (!armed) {
                stall = lp_ticks() + kStallTicks;
                armed = true;
            }
            lp_ecr_update(port, 0xFF, e & uint8_t(~0x04));
            bool stalled = false;
            for (;;) {
                lp_wait_event(port, 100);
                if (passed(stall)) {
                    stalled = true;
                    break;
                }
                if (lp_inb(ecr) & 0x04)
                    break;
            }
            if (stalled)
                break;
            continue;
        }
        armed = false;
        // Not full, and only this write puts bytes in: re-reads look for the empty flag alone.
        int rereads = 0;
        for (;;) {
            if (e & 0x01) {
                const uint64_t n = std::min(burst, left);
                unconfirmed = 0;
                lp_outsb(fifo, buf, size_t(n));
                buf += n;
                left -= n;
                unconfirmed += uint32_t(n);
                if (rereads < poll_limit - 2)
                    poll_limit--;
                break;
            }
            if (rereads < poll_limit) {
                e = lp_inb(ecr);
                rereads++;
                continue;
            }
            lp_outb(fifo, *buf++);
            left--;
            unconfirmed++;
            break;
        }
    }
    log_trace(4, "           %d bytes written by m_mfp_fifo_write_block\n", int(len - left));
    return len - left;
}

uint64_t lp_fifo_read_block(struct port_data *port, uint8_t *buf, uint64_t len) {
    port = port->phys;
    const uint64_t threshold = uint64_t(std::max(port->priv->read_threshold, 0));
    const uint16_t ecr = lp_ecr_addr(port);
    lp_irq_off(port);

    const uint64_t kept = take_surplus(buf, len);
    buf += kept;
    uint64_t left = len - kept;
    if (left > 0) {
        lp_ecr_update(port, 0x14, 0x14);
        if (port->phase != LP_PH_REV_DATA && reverse(port) != 0)
            return kept;
        port->phase = LP_PH_REV_DATA;
        const uint64_t got = threshold_passes(port, buf, left);
        buf += got;
        left -= got;
    }
    if (left > 0 && left < threshold) {
        // The tail: fewer bytes wanted than the threshold, polled one by one.
        const int64_t deadline = lp_ticks() + kTailTicks;
        uint64_t got = 0;
        while (got < left && !passed(deadline)) {
            if (!(lp_inb(ecr) & 0x01))
                buf[got++] = lp_inb(lp_fifo_addr(port));
        }
        left -= got;
    }
    lp_ecr_update(port, 0x10, 0x00);  // nErrIntrEn cleared
    return len - left;
}

int lp_fifo_write_drain(struct port_data *port) {
    port = port->phys;
    if (port->phase != LP_PH_FWD_IDLE)
        return 0;  // a read ends in PS/2 mode with the FIFO emptied; nothing forward is pending
    uint8_t mode;
    return drain_forward(port, &mode);
}

int lp_fifo_write_end(struct port_data *port) {
    port = port->phys;
    if (!port->priv->ecr_present || port->phase != LP_PH_FWD_IDLE)
        return 0;  // no ECR, or a read ended the FIFO's use in PS/2 mode already
    uint8_t mode;
    const int left = drain_forward(port, &mode);
    // In ECP FIFO mode the port's hardware drives HostClk and HostAck, so the handshakes of a
    // termination or a negotiation would never reach the wire.
    if (mode == 0x60)
        lp_ecr_set_mode(port, 0x20);
    return left;
}

int lp_fifo_read_finish(struct port_data *port) {
    port = port->phys;
    // Only a read that reached the reverse data phase can have left peripheral bytes in the
    // FIFO; after a failed reversal it may still hold forward bytes, which are not ours to keep.
    const bool was_reverse = port->phase == LP_PH_REV_DATA;
    // Event 47: nReverseRequest high. The data lines stay inputs until the ECR is in mode 001,
    // the only mode in which the direction may change.
    lp_ctl_rmw(port, 0xD4, 0x04);
    uint8_t s = lp_read_status(port);
    const int64_t deadline = lp_ticks() + kFinishTicks;
    while (!passed(deadline) && (s & 0xE0) != 0xE0)  // event 49 with PeriphClk high, PeriphAck low
        s = lp_read_status(port);
    const int result = passed(deadline) ? 1 : 0;
    if (was_reverse)
        keep_surplus(port);
    // PS/2 mode, as lp_ecr_set_mode(port, 0x20) writes it; but a read that never turned the link
    // (served from the store, or printed bytes still leaving) finds the ECR as the write left it,
    // and mode 001 would empty a FIFO that may still hold printed bytes.
    const uint8_t e = lp_inb(lp_ecr_addr(port));
    if (was_reverse || (e & 0xE0) != 0x60)
        lp_outb(lp_ecr_addr(port), (e & 0x1F) | 0x20);
    lp_ctl_rmw(port, 0x20, 0x00);
    port->phase = LP_PH_FWD_IDLE;
    return result;
}

}  // extern "C"
