// ECP transfers by software handshake: one byte at a time, the host driving and watching the
// handshake lines itself instead of the port's FIFO. The alternative transfer method, for ports
// whose ECP FIFO misbehaves; the direction of the link is remembered only in the phase.
#include "ieee1284/ieee1284.h"

#include "port/io.h"
#include "port/log.h"

namespace {

bool passed(int64_t deadline) { return lp_ticks() - deadline >= 0; }

// Host transfer recovery, after the peripheral did not raise PeriphAck for a byte: pulse
// nReverseRequest and see whether the peripheral is still in the forward direction.
// Returns true when the transfer has to end.
bool host_recovery(struct port_data *port) {
    lp_ctl_update(port, 0x04, 0x04);  // nInit high
    lp_usleep(50);
    if (lp_read_status(port) & 0x20) {
        lp_ctl_update(port, 0x04, 0x00);
        return true;
    }
    lp_ctl_update(port, 0x04, 0x00);  // nInit low
    lp_usleep(50);
    return !(lp_read_status(port) & 0x20);
}

// Sends one byte; true when the peripheral took it.
bool send_byte(struct port_data *port, uint8_t byte) {
    const int64_t expiry = lp_ticks() + port->cad->timeout;  // once per byte; retries keep it
    for (;;) {
        lp_write_data(port, byte);        // event 34
        lp_ctl_update(port, 0x01, 0x01);  // event 35: HostClk low
        lp_usleep(5);
        bool acked = false;
        for (int i = 0; i < 100 && !acked; i++)
            acked = lp_wait_status(port, 0x80, 0x00) == 0;  // event 36: PeriphAck high
        if (acked)
            break;
        if (host_recovery(port) || passed(expiry))
            return false;
    }
    lp_ctl_update(port, 0x01, 0x00);  // event 37: HostClk high
    lp_usleep(5);
    return lp_wait_status(port, 0x80, 0x80) == 0;  // PeriphAck low: the byte is taken
}

}  // namespace

extern "C" {

int lp_ecp_to_forward(struct port_data *port) {
    lp_ctl_update(port, 0x06, 0x06);  // event 47: nReverseRequest high, HostAck low
    const int r = lp_wait_status(port, 0x20, 0x20);  // event 49: nAckReverse high
    if (r == 0) {
        lp_dir_forward(port);
        port->phase = LP_PH_FWD_IDLE;
    } else {
        port->phase = LP_PH_ECP_DIR_UNKNOWN;
    }
    return r;
}

int lp_ecp_to_reverse(struct port_data *port) {
    lp_ctl_update(port, 0x02, 0x02);  // event 38: HostAck low
    lp_dir_reverse(port);
    lp_usleep(5);
    lp_ctl_update(port, 0x04, 0x00);  // event 39: nReverseRequest low
    const int r = lp_wait_status_long(port, 0x20, 0x00);  // event 40: nAckReverse low
    // Failed: the direction is unknown, so the next write or termination turns the link
    // forward (events 47, 49) instead of trusting a phase nobody set.
    port->phase = r == 0 ? LP_PH_REV_IDLE : LP_PH_ECP_DIR_UNKNOWN;
    return r;
}

uint64_t m_parport_ieee1284_ecp_write_data(struct port_data *port, const uint8_t *buf, uint64_t len) {
    port = port->phys;
    if (port->phase != LP_PH_FWD_IDLE && lp_ecp_to_forward(port) != 0)
        return 0;
    port->phase = LP_PH_FWD_DATA;
    // HostAck stays high for the whole transfer: every byte is data, never a command.
    lp_ctl_update(port, 0x07, 0x04);
    uint64_t written = 0;
    while (written < len && send_byte(port, buf[written]))
        written++;
    port->phase = LP_PH_FWD_IDLE;
    log_trace(4, " %d bytes written by m_parport_ieee1284_ecp_write_data\n", int(written));
    return written;
}

uint64_t lp_ecp_read_data(struct port_data *port, uint8_t *buf, uint64_t len) {
    port = port->phys;
    if (port->phase != LP_PH_REV_IDLE && lp_ecp_to_reverse(port) != 0)
        return 0;
    port->phase = LP_PH_REV_DATA;
    const uint8_t base = lp_ctl_read(port) & uint8_t(~0x07);
    lp_ctl_write(port, base | 0x02);  // HostAck low, nReverseRequest stays asserted

    uint64_t stored = 0;
    bool run_pending = false;
    unsigned run_length = 0;
    while (stored < len) {
        const int64_t expiry = lp_ticks() + port->cad->timeout;
        bool ended = false;
        while (lp_wait_status(port, 0x40, 0x00) != 0) {  // event 43: PeriphClk low
            if (stored > 0 || passed(expiry)) {
                ended = true;
                break;
            }
        }
        if (ended)
            break;
        // PeriphAck low marks a command; the byte after a run-length count is always data.
        const bool command = !run_pending && (lp_read_status(port) & 0x80);
        const uint8_t byte = lp_read_data(port);
        if (command) {
            if (byte & 0x80)
                break;  // a channel address: not ours to follow; left unacknowledged
            if (byte + 1u > len - stored)
                break;  // the run would not fit: left unacknowledged for a later, larger read
            run_length = byte + 1u;
            run_pending = true;
        }
        lp_ctl_write(port, base);  // event 44: HostAck high
        if (lp_wait_status(port, 0x40, 0x40) != 0)  // event 45: PeriphClk high
            break;
        lp_ctl_write(port, base | 0x02);  // event 46: HostAck low
        if (command)
            continue;
        if (run_pending) {
            run_pending = false;
            for (unsigned i = 0; i < run_length; i++)
                buf[stored++] = byte;
        } else {
            buf[stored++] = byte;
        }
    }
    port->phase = LP_PH_REV_IDLE;
    return stored;
}

}  // extern "C"
