// Block transfers through the port's ECP hardware FIFO.
//
// The port's ECP hardware does the byte handshake on the wire; these routines manage direction,
// ECR and FIFO. Interrupts stay off, so the ECR's serviceIntr bit is polled. The write keeps the
// FIFO fed: a whole FIFO's worth by one string output when it is empty, single bytes when it is
// part full. The read turns the link around (events 38-40), collects by the service threshold
// and polls a short tail byte by byte; the finish turns it forward again (events 47, 49).
#include <algorithm>
#include <cstring>

#include "ieee1284/ieee1284.h"
#include "port/io.h"
#include "port/log.h"

namespace {

constexpr int64_t kStallTicks = 500;    // 5 s: a FIFO that stays full ends the write
constexpr int64_t kTailTicks = 100;     // 1 s for a tail shorter than the read threshold
constexpr int64_t kFinishTicks = 2000;  // 20 s for the peripheral to settle after a read

bool passed(int64_t deadline) { return lp_ticks() - deadline >= 0; }

// Bytes the reverse FIFO pulled in beyond what a read wanted, kept for the next read. A FIFO is
// at most 1023 bytes deep and is emptied into here only by a read that was not satisfied from
// here, so twice that always has room.
struct surplus_store {
    uint8_t bytes[2048];
    uint32_t head = 0;
    uint32_t count = 0;
} surplus;

uint64_t take_surplus(uint8_t *buf, uint64_t len) {
    const uint64_t n = std::min<uint64_t>(len, surplus.count);
    if (n == 0)
        return 0;  // a read of nothing may come with no buffer at all
    std::memcpy(buf, surplus.bytes + surplus.head, n);
    surplus.head += uint32_t(n);
    surplus.count -= uint32_t(n);
    if (surplus.count == 0)
        surplus.head = 0;
    return n;
}

// After event 47 the port pulls nothing more; what is in the FIFO would be thrown away by the
// change to PS/2 mode, so it is moved out first, at most one FIFO's worth.
void keep_surplus(struct port_data *port) {
    if (surplus.count == 0)
        surplus.head = 0;
    const uint16_t fifo = lp_fifo_addr(port);
    const int32_t fifo_size = port->phys->priv->fifo_size;
    const uint32_t limit = uint32_t(std::clamp(fifo_size, 1, 1023));
    uint32_t moved = 0;
    while (moved < limit && surplus.head + surplus.count < sizeof surplus.bytes && !lp_fifo_empty(port)) {
        surplus.bytes[surplus.head + surplus.count] = lp_inb(fifo);
        surplus.count++;
        moved++;
    }
}

}  // namespace

extern "C" {

uint32_t lp_fifo_surplus(void) { return surplus.count; }
void lp_fifo_surplus_clear(void) { surplus.head = surplus.count = 0; }

uint64_t m_mfp_fifo_write_block(struct port_data *port, const uint8_t *buf, uint64_t len) {
    port = port->phys;
    const uint16_t fifo = lp_fifo_addr(port);
    const uint16_t ecr = lp_ecr_addr(port);
    // An empty FIFO is refilled by one burst of fifo_size bytes. A probe that measured no depth
    // would make every burst empty while the stall deadline is renewed: single bytes instead.
    const uint64_t burst = uint64_t(std::max(port->priv->fifo_size, 1));
    int64_t stall = lp_ticks() + kStallTicks;
    int poll_limit = 8;
    uint64_t left = len;

    lp_irq_off(port);
    lp_ecr_update(port, 0x14, 0x14);  // nErrIntrEn and serviceIntr set
    lp_dir_forward(port);
    lp_ecr_set_mode(port, 0x60);      // ECP FIFO mode; HostClk and HostAck released

    while (left > 0) {
        uint8_t e = lp_inb(ecr);
        if (e & 0x02) {
            // Full: arm serviceIntr and poll it; the deadline runs from the last pass that found room.
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
        stall = lp_ticks() + kStallTicks;
        // Not full, and only this write puts bytes in: re-reads look for the empty flag alone.
        int rereads = 0;
        for (;;) {
            if (e & 0x01) {
                const uint64_t n = std::min(burst, left);
                lp_outsb(fifo, buf, size_t(n));
                buf += n;
                left -= n;
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
            break;
        }
    }
    log_trace(4, "           %d bytes written by m_mfp_fifo_write_block\n", int(len - left));
    return len - left;
}

uint64_t lp_fifo_read_block(struct port_data *port, uint8_t *buf, uint64_t len) {
    port = port->phys;
    const int32_t read_threshold = port->priv->read_threshold;
    const int32_t fifo_size = port->priv->fifo_size;
    const uint16_t fifo = lp_fifo_addr(port);
    const uint16_t ecr = lp_ecr_addr(port);
    lp_irq_off(port);

    const uint64_t kept = take_surplus(buf, len);
    buf += kept;
    uint64_t left = len - kept;
    bool first = true;

    while (left > 0) {
        const uint64_t chunk = std::min<uint64_t>(uint64_t(int64_t(read_threshold)), left);
        lp_ecr_update(port, 0x14, 0x14);
        if (first) {
            first = false;
            if (port->phase != LP_PH_REV_DATA) {
                lp_ctl_rmw(port, 0x22, 0x22);  // event 38: data lines reverse, HostAck low
                lp_usleep(5);
                lp_ctl_rmw(port, 0x04, 0x00);  // event 39: nReverseRequest low
                if (lp_wait_status_long(port, 0x20, 0x00) != 0) {  // event 40: nAckReverse low
                    lp_ecr_update(port, 0x0C, 0x04);  // dmaEn cleared, serviceIntr set
                    return kept;
                }
                lp_ecr_set_mode(port, 0x60);
            }
            port->phase = LP_PH_REV_DATA;
        }

        if (chunk < uint64_t(int64_t(read_threshold))) {
            // The tail: fewer bytes wanted than the threshold, polled one by one.
            const int64_t deadline = lp_ticks() + kTailTicks;
            uint64_t got = 0;
            while (got < chunk && !passed(deadline)) {
                if (!lp_fifo_empty(port))
                    buf[got++] = lp_inb(fifo);
            }
            left -= got;
            break;  // chunk was all of left: the tail ends the read, complete or timed out
        }

        // A threshold pass: wait for the service bit, or the expiry.
        lp_ecr_update(port, 0x04, 0x00);
        const int64_t expiry = lp_ticks() + port->cad->timeout;
        bool done = false;
        for (;;) {
            if (passed(expiry)) {
                if (lp_fifo_empty(port)) {
                    done = true;
                    break;
                }
                lp_ecr_update(port, 0x04, 0x04);
                int32_t drained = 0;
                do {
                    *buf++ = lp_inb(fifo);
                    left--;
                    drained++;
                } while (!lp_fifo_empty(port) && left > 0 && (fifo_size == 0 || drained < fifo_size));
                break;
            }
            if (lp_inb(ecr) & 0x04) {
                lp_ecr_update(port, 0x04, 0x04);
                while (!lp_fifo_empty(port) && left > 0) {
                    *buf++ = lp_inb(fifo);
                    left--;
                }
                break;
            }
        }
        if (done)
            break;
    }
    lp_ecr_update(port, 0x10, 0x00);  // nErrIntrEn cleared
    return len - left;
}

int lp_fifo_write_drain(struct port_data *port) {
    port = port->phys;
    if (port->phase != LP_PH_FWD_IDLE)
        return 0;  // a read ends in PS/2 mode with the FIFO emptied; nothing forward is pending
    uint8_t e = lp_inb(lp_ecr_addr(port));
    if ((e & 0xE0) != 0x60)
        return 0;  // not in ECP FIFO mode: no write has left bytes behind
    const int64_t deadline = lp_ticks() + kStallTicks;
    while (!(e & 0x01)) {
        if (passed(deadline))
            return 1;
        e = lp_inb(lp_ecr_addr(port));
    }
    return 0;
}

int lp_fifo_read_finish(struct port_data *port) {
    port = port->phys;
    // Only a read that reached the reverse data phase can have left peripheral bytes in the
    // FIFO; after a failed reversal it may still hold forward bytes, which are not ours to keep.
    const bool was_reverse = port->phase == LP_PH_REV_DATA;
    lp_ctl_rmw(port, 0xF4, 0x04);  // event 47: nReverseRequest high, data lines forward
    uint8_t s = lp_read_status(port);
    const int64_t deadline = lp_ticks() + kFinishTicks;
    while (!passed(deadline) && (s & 0xE0) != 0xE0)  // event 49 with PeriphClk high, PeriphAck low
        s = lp_read_status(port);
    const int result = passed(deadline) ? 1 : 0;
    if (was_reverse)
        keep_surplus(port);
    lp_ecr_set_mode(port, 0x20);
    lp_ctl_rmw(port, 0x20, 0x00);
    port->phase = LP_PH_FWD_IDLE;
    return result;
}

}  // extern "C"
