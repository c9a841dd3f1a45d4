// Negotiation and termination: moving the peripheral between compatibility mode and the others.
//
// Every negotiation begins with a termination, so asking for compatibility mode is termination
// alone. A link already in compatibility mode has nothing to terminate. A port opened with its
// lines away from compatibility idle, or one whose printer must be initialised (the record's
// mode is then EPP), has nInit pulsed to reset the peripheral before ECP is requested. The termination does not look at its waits: whatever the
// peripheral does, the record ends in (compatibility, forward idle).
#include "ieee1284/ieee1284.h"

#include "port/io.h"

namespace {

int negotiation_end = LP_NEG_ACCEPTED;

// Every exit of lp_negotiate says how it ended.
int32_t ended(int how, int32_t result) {
    negotiation_end = how;
    return result;
}

bool is_epp(int32_t m) { return m == LP_MODE_EPP || m == LP_MODE_EPP_ALIAS_A || m == LP_MODE_EPP_ALIAS_B; }
bool is_ecp(int32_t m) { return m == LP_MODE_ECP || m == LP_MODE_ECP_RLE || m == LP_MODE_ECP_ALIAS; }

// Also the reset of a printer in an unknown state: 1284Active goes low first (event 22 ends any
// IEEE 1284 mode), since nInit low with 1284Active high would be an ECP reverse request.
void terminate_epp(struct port_data *port) {
    lp_ctl_update(port, 0x0C, 0x0C);  // nInit high, nSelectIn low
    lp_ctl_update(port, 0x04, 0x00);  // nInit low: reset the peripheral
    lp_usleep(50);
    lp_ctl_update(port, 0x04, 0x04);  // nInit high
}

void terminate_common(struct port_data *port) {
    lp_ctl_update(port, 0x0A, 0x08);   // event 22: nSelectIn low, nAutoFd high
    lp_wait_status(port, 0x40, 0x00);  // event 24: nAck low
    lp_ctl_update(port, 0x02, 0x02);   // event 25: nAutoFd low
    lp_wait_status(port, 0x40, 0x40);  // event 27: nAck high
    lp_ctl_update(port, 0x02, 0x00);   // event 28: nAutoFd high
}

// The common failure exit after event 2 was answered: a full termination, result 1.
int32_t refuse(struct port_data *port, int how) {
    lp_terminate(port);
    return ended(how, 1);
}

}  // namespace

extern "C" {

void lp_terminate(struct port_data *port) {
    port = port->phys;
    if (port->mode == LP_MODE_IDLE) {
        // Opened with the lines at compatibility idle (1284Active low): the peripheral is in no
        // IEEE 1284 mode, event 22 would not even move a line, and no peripheral answers it.
        port->mode = LP_MODE_COMPAT;
        port->phase = LP_PH_FWD_IDLE;
        return;
    }
    if (is_epp(port->mode)) {
        terminate_epp(port);
    } else {
        if (is_ecp(port->mode) && port->phase != LP_PH_FWD_IDLE) {
            lp_ctl_update(port, 0x06, 0x06);   // event 47: HostAck low, nReverseRequest high
            lp_wait_status(port, 0x20, 0x20);  // event 49: nAckReverse high
            lp_dir_forward(port);
            port->phase = LP_PH_FWD_IDLE;
        }
        terminate_common(port);
    }
    port->mode = LP_MODE_COMPAT;
    port->phase = LP_PH_FWD_IDLE;
    lp_io_tell_mode(LP_MODE_COMPAT, LP_PH_FWD_IDLE);
}

int32_t lp_negotiate(struct port_data *port, int32_t mode) {
    port = port->phys;
    lp_terminate(port);
    if (mode == LP_MODE_COMPAT)
        return ended(LP_NEG_ACCEPTED, 0);

    int32_t r = mode & ~LP_MODE_MASKED_FLAG;
    if (mode == LP_MODE_ECP_ALIAS)
        r = 0x10;
    if (mode == LP_MODE_EPP_ALIAS_A || mode == LP_MODE_EPP_ALIAS_B)
        r = 0x40;
    if (mode == LP_MODE_REFUSED)
        return ended(LP_NEG_NOT_IMPLEMENTED, -38);  // refused after the termination
    if (mode & LP_MODE_EXT_LINK)
        r = 0x80;

    port->phase = LP_PH_NEGOTIATION;
    lp_ctl_update(port, 0x0B, 0x08);  // compatibility idle: nStrobe, nAutoFd high, nSelectIn low
    lp_usleep(1);
    lp_dir_forward(port);
    lp_write_data(port, uint8_t(r));   // event 0: the request byte
    lp_usleep(400);
    lp_ctl_update(port, 0x0A, 0x02);   // event 1: nSelectIn high, nAutoFd low
    if (lp_wait_status(port, 0x78, 0x38) != 0) {  // event 2: nAck low; nFault, Select, PError high
        // No IEEE 1284 peripheral: lines back to compatibility idle, no termination handshake.
        lp_ctl_update(port, 0x0A, 0x08);
        lp_read_status(port);
        port->phase = LP_PH_FWD_IDLE;
        return ended(LP_NEG_NO_EVENT2, -1);
    }
    lp_ctl_update(port, 0x01, 0x01);   // event 3: nStrobe low latches the request
    lp_usleep(5);
    lp_ctl_update(port, 0x03, 0x00);   // event 4: nStrobe high, nAutoFd high
    if (lp_wait_status(port, 0x40, 0x40) != 0)  // event 6: nAck high
        return refuse(port, LP_NEG_NO_EVENT6);
    // The status is read for every code; nibble mode is accepted whatever its XFlag says.
    const uint8_t xflag = lp_read_status(port) & 0x10;
    if (mode != 0 && !xflag)
        return refuse(port, LP_NEG_REFUSED);  // XFlag low: the mode is refused

    if (mode & LP_MODE_EXT_LINK) {
        lp_usleep(1);
        lp_write_data(port, uint8_t(mode & 0x7F));  // the extensibility link byte
        lp_usleep(1);
        lp_ctl_update(port, 0x01, 0x01);            // nStrobe low
        if (lp_wait_status(port, 0x40, 0x00) != 0)  // nAck low
            return refuse(port, LP_NEG_LINK_FAILED);
        lp_ctl_update(port, 0x01, 0x00);            // nStrobe high
        if (lp_wait_status(port, 0x40, 0x40) != 0)  // nAck high
            return refuse(port, LP_NEG_LINK_FAILED);
        if (!(lp_read_status(port) & 0x10))
            return refuse(port, LP_NEG_LINK_FAILED);
    }

    port->mode = mode;
    if (!(mode & LP_MODE_EXT_LINK) && (r & 0x10)) {
        port->phase = LP_PH_ECP_SETUP;
        lp_ctl_update(port, 0x02, 0x02);   // event 30: HostAck low
        // Event 31: nAckReverse high. A peripheral that accepted ECP and never finishes its setup
        // is not in a mode a transfer could use: the negotiation failed, as without event 6.
        if (lp_wait_status(port, 0x20, 0x20) != 0)
            return refuse(port, LP_NEG_NO_EVENT31);
        port->phase = LP_PH_FWD_IDLE;
    } else {
        port->phase = uint32_t(mode) <= 1 ? LP_PH_REV_IDLE : LP_PH_FWD_IDLE;
    }
    // The kernel learns the mode where it shares the port (the parport device), so it can bring
    // the printer back to compatibility mode should this process die holding it.
    lp_io_tell_mode(port->mode, port->phase);
    return ended(LP_NEG_ACCEPTED, 0);
}

int lp_negotiation_end(void) { return negotiation_end; }

}  // extern "C"
