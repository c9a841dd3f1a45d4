// Opening the port: fill the records, measure the ECP FIFO, leave a fixed initial state.
//
// The probe runs the FIFO in test mode (nothing goes on the wire) to count its depth and the two
// service thresholds, then reads the word size from cnfgA. Opening cannot fail: whatever the
// probe finds, the port is returned and used. The caller must already hold the I/O privilege.
//
// A port set to SPP or EPP in the BIOS setup, many add-in cards and emulated ISA ports have no
// ECP registers: nothing answers at base + 0x400, which reads 0xFF, "FIFO empty" and "FIFO full"
// at once, as no real ECR ever shows. Such a port is marked as having no ECR before the probe
// touches anything there; the caller then moves data by software handshake (lp_port_has_fifo).
//
// The ECP range is an argument of its own: on the ISA interface it lies 0x400 above the base,
// but an add-in card puts it wherever its second I/O range is, and a port may have none at all
// (LP_NO_ECP), in which case nothing is ever read or written there.
#include "port/io.h"
#include "port/locate.h"
#include "port/regs.h"

namespace {

constexpr int kMaxFifo = 1024;  // a full bit that never comes within this many bytes: no FIFO

}  // namespace

extern "C" {

struct port_data *lp_port_open(int32_t base) { return lp_port_open_at(base, int64_t(base) + 0x400); }

struct port_data *lp_port_open_at(int32_t base, int64_t base_hi) {
    struct port_data *port = &port_data;
    port->phys = port;
    port->name = "LP0";
    port->base = int64_t(base);
    port->base_hi = base_hi;
    port->mode = 64;  // LP_MODE_EPP: the first termination resets the peripheral with nInit
    port->irq = -1;
    port->spin_us = 10;
    port->cad = &cad_data;
    cad_data.port = port;
    cad_data.timeout = 10;
    port->priv = &parport_pc_private_data;
    parport_pc_private_data.ecr_present = base_hi != LP_NO_ECP && (lp_inb(lp_ecr_addr(port)) & 0x03) != 0x03;
    lp_probe_ecp(port);
    lp_init_state(port);
    return port;
}

int lp_probe_ecp(struct port_data *port) {
    struct parport_pc_private_data *priv = port->priv;
    if (priv->ecr_present == 0)
        return 0;
    const uint16_t fifo = lp_fifo_addr(port);
    const uint16_t ecr = lp_ecr_addr(port);

    lp_ecr_update(port, 0xFF, 0x00);  // SPP, every control bit 0
    lp_ecr_update(port, 0xFF, 0xC0);  // test mode: the FIFO is ours, nothing reaches the wire

    int count = 0;
    while (!(lp_inb(ecr) & 0x02)) {
        lp_outb(fifo, 0xAA);
        if (++count == kMaxFifo)
            break;  // the full bit is not read again after the last byte
    }
    if (count == kMaxFifo) {
        lp_ecr_update(port, 0xFF, 0x00);
        return 0;
    }
    priv->fifo_size = count;

    // Forward: read the full FIFO empty until the port asks for service.
    lp_ecr_update(port, 0x04, 0x04);
    lp_ecr_update(port, 0x04, 0x00);  // serviceIntr armed
    int i;
    for (i = 1; i <= priv->fifo_size; i++) {
        lp_inb(fifo);
        lp_usleep(50);
        if (lp_inb(ecr) & 0x04)
            break;
    }
    priv->write_threshold = i <= priv->fifo_size ? i : 0;

    // Reverse: fill the empty FIFO until the port asks for service.
    lp_ecr_update(port, 0xE0, 0x20);
    lp_dir_reverse(port);
    lp_ecr_update(port, 0xE0, 0xC0);
    lp_ecr_update(port, 0x04, 0x04);
    lp_ecr_update(port, 0x04, 0x00);
    for (i = 1; i <= priv->fifo_size; i++) {
        lp_outb(fifo, 0xAA);
        if (lp_inb(ecr) & 0x04)
            break;
    }
    priv->read_threshold = i <= priv->fifo_size ? i : 0;

    lp_ecr_update(port, 0xFF, 0x00);
    lp_ecr_update(port, 0xFF, 0xF4);  // configuration mode: cnfgA sits at the FIFO address
    const int k = (lp_inb(fifo) >> 4) & 0x07;
    priv->pword = k == 0 ? 2 : k == 2 ? 4 : 1;
    lp_ecr_update(port, 0xE0, 0x00);
    return 1;
}

int lp_port_has_fifo(const struct port_data *port) {
    // A probe that found no FIFO leaves fifo_size as the process started it: 0.
    const struct parport_pc_private_data *priv = port->phys->priv;
    return priv->ecr_present && priv->fifo_size > 0;
}

void lp_init_state(struct port_data *port) {
    if (port->base_hi != LP_NO_ECP)
        lp_ecr_update(port, 0xFF, 0x34);  // PS/2 mode, nErrIntrEn and serviceIntr set
    lp_write_data(port, 0);
    lp_dir_forward(port);
}

}  // extern "C"
