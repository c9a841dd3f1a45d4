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
constexpr uint8_t kCompatIdle = 0x0C;  // the four line bits at compatibility idle: nInit high, nSelectIn low

// A port that decodes only 10 address bits (many ISA designs) answers at base + 0x402 with its
// CONTROL register: writing "the ECR" there would drive the printer's lines. Such a port reads the
// same at both addresses and follows a CONTROL write at the ECR address; the interrupt-enable bit
// is the one that can be flipped for the test without touching a line.
bool ecr_aliases_control(struct port_data *port, uint8_t control, uint8_t ecr) {
    const uint16_t ctl = uint16_t(port->base + 2);
    if (((lp_ecr_addr(port) ^ ctl) & 0x3FF) != 0 || ecr != control)
        return false;
    lp_outb(ctl, uint8_t(control ^ 0x10));
    const bool follows = lp_inb(lp_ecr_addr(port)) == uint8_t(control ^ 0x10);
    lp_outb(ctl, control);
    return follows;
}

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
    // The CONTROL soft copy starts from what the port holds (its line bits and direction), so the
    // first write changes no line: opening never pulses nInit by itself. Lines found away from
    // compatibility idle mean a printer in an unknown state: the first termination resets it.
    const uint8_t control = lp_inb(uint16_t(base + 2));
    priv_ctr = control & 0x2F & priv_ctr_writable;
    if ((control & 0x0F) == kCompatIdle)
        port->mode = 0x8000;  // LP_MODE_IDLE: the first termination has nothing to end
    if (base_hi == LP_NO_ECP) {
        parport_pc_private_data.ecr_present = 0;
    } else {
        const uint8_t ecr = lp_inb(lp_ecr_addr(port));
        parport_pc_private_data.ecr_present = (ecr & 0x03) != 0x03 && !ecr_aliases_control(port, control, ecr);
    }
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
    if (port->priv->ecr_present)
        lp_ecr_update(port, 0xFF, 0x34);  // PS/2 mode, nErrIntrEn and serviceIntr set
    port->priv->output_only = !lp_port_bidirectional(port);
}

int lp_port_bidirectional(struct port_data *port) {
    // In PS/2 mode (where the direction bit works) with the lines reversed, a port that can
    // tri-state them reads what the far end drives, or a floating bus; one that cannot reads its
    // own latch back, whatever is written.
    lp_dir_reverse(port);
    lp_write_data(port, 0x55);
    const uint8_t a = lp_read_data(port);
    lp_write_data(port, 0xAA);
    const uint8_t b = lp_read_data(port);
    lp_write_data(port, 0);
    lp_dir_forward(port);
    return a != 0x55 || b != 0xAA;
}

void lp_port_reset_printer(struct port_data *port) { port->phys->mode = 64; }  // LP_MODE_EPP

}  // extern "C"
