// Nibble mode, reverse direction: the one reverse channel every IEEE 1284 peripheral has. Each
// byte comes as two nibbles, low first, on four status lines, clocked by the peripheral's PtrClk
// (nAck) against the host's HostBusy (nAutoFd):
//
//   event 7   host: HostBusy low, ready for a nibble
//   event 8   peripheral: the nibble on nFault, Select, PError and Busy (data bits 0 to 3)
//   event 9   peripheral: PtrClk low, the nibble is valid
//   event 10  host: HostBusy high, the nibble is taken
//   event 11  peripheral: PtrClk high
//
// Between bytes the status lines mean their idle selves again, and nDataAvail (nFault) low says
// the peripheral has another byte. The data lines take no part, so this works on any port,
// whatever its ECR mode and direction. Every wait is the ordinary status wait, so a peripheral
// that stops answering ends the read after 30 to 40 ms.
#include "ieee1284/ieee1284.h"

namespace {

// Status register bits to the nibble they carry: nFault, Select and PError read as they are on
// the lines; Busy is inverted in the register.
uint8_t nibble_of(uint8_t status) {
    return uint8_t(((status >> 3) & 0x07) | ((~status >> 4) & 0x08));
}

// One nibble, events 7 to 11; false when the peripheral missed event 9 or 11.
bool take_nibble(struct port_data *port, uint8_t *nibble) {
    lp_ctl_update(port, 0x02, 0x02);  // event 7: HostBusy low
    if (lp_wait_status(port, 0x40, 0x00) != 0) {  // event 9: PtrClk low
        lp_ctl_update(port, 0x02, 0x00);  // HostBusy high again: the host gives up
        return false;
    }
    *nibble = nibble_of(lp_read_status(port));  // event 8's nibble, steady until event 10
    lp_ctl_update(port, 0x02, 0x00);  // event 10: HostBusy high
    return lp_wait_status(port, 0x40, 0x40) == 0;  // event 11: PtrClk high
}

}  // namespace

extern "C" uint64_t lp_nibble_read(struct port_data *port, uint8_t *buf, uint64_t len) {
    port = port->phys;
    port->phase = LP_PH_REV_DATA;
    uint64_t stored = 0;
    while (stored < len) {
        if (lp_read_status(port) & 0x08)
            break;  // nDataAvail high: nothing more to send
        uint8_t low, high;
        if (!take_nibble(port, &low) || !take_nibble(port, &high))
            break;  // a byte cut in half is not stored
        buf[stored++] = uint8_t(low | high << 4);
    }
    port->phase = LP_PH_REV_IDLE;
    return stored;
}
