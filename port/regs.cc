// The records, the tick clock and the register operations.
#include "port/regs.h"

#include "port/io.h"

extern "C" {

struct port_data port_data;
struct cad_data cad_data;
struct parport_pc_private_data parport_pc_private_data;
uint8_t priv_ctr = 0;
uint8_t priv_ctr_writable = 0x3F;

}  // extern "C"

namespace {

// 0x20 or 0: the direction bit lp_ctl_rmw adds to every byte it writes. It follows only the
// lp_ctl_rmw calls whose mask holds 0x20, so while it is set the hardware path keeps the data
// lines reversed even when the register reads back forward.
uint8_t dir_latch = 0;

uint16_t data_addr(const struct port_data *p) { return uint16_t(p->base); }
uint16_t status_addr(const struct port_data *p) { return uint16_t(p->base + 1); }
uint16_t control_addr(const struct port_data *p) { return uint16_t(p->base + 2); }

// Every soft-copy write: the whole register from the computed byte, and the copy follows it.
void soft_write(struct port_data *p, uint8_t c) {
    lp_outb(control_addr(p), c);
    priv_ctr = c;
}

}  // namespace

extern "C" {

uint16_t lp_fifo_addr(const struct port_data *p) { return uint16_t(p->base_hi); }
uint16_t lp_ecr_addr(const struct port_data *p) { return uint16_t(p->base_hi + 2); }

void lp_port_forget(void) {
    port_data = {};
    cad_data = {};
    parport_pc_private_data = {};
    priv_ctr = 0;
    priv_ctr_writable = 0x3F;
    dir_latch = 0;
}

int64_t lp_ticks(void) {
    struct timeval tv;
    lp_gettimeofday(&tv);
    const int64_t ms = int64_t(tv.tv_sec) * 1000 + int64_t(tv.tv_usec) / 1000;
    return ms / 10;
}

void lp_write_data(struct port_data *p, uint8_t byte) { lp_outb(data_addr(p), byte); }
uint8_t lp_read_data(struct port_data *p) { return lp_inb(data_addr(p)); }
uint8_t lp_read_status(struct port_data *p) { return lp_inb(status_addr(p)); }

void lp_irq_off(struct port_data *p) { soft_write(p, priv_ctr & uint8_t(~0x10) & priv_ctr_writable); }
void lp_dir_forward(struct port_data *p) { soft_write(p, priv_ctr & uint8_t(~0x20) & priv_ctr_writable); }
void lp_dir_reverse(struct port_data *p) { soft_write(p, (priv_ctr | 0x20) & priv_ctr_writable); }

void lp_ctl_write(struct port_data *p, uint8_t d) {
    if (d & 0x20)
        lp_dir_reverse(p);
    // The four line bits become d's; a clear 0x20 never turns the data lines forward.
    soft_write(p, ((priv_ctr & 0xF0) | (d & 0x0F)) & priv_ctr_writable);
}

uint8_t lp_ctl_read(struct port_data *p) { return p->phys->priv->ctr_copy & 0x0F; }

void lp_ctl_update(struct port_data *p, uint8_t mask, uint8_t val) {
    if (mask & 0x20) {
        if (val & 0x20)
            lp_dir_reverse(p);
        else
            lp_dir_forward(p);
    }
    const uint8_t m = mask & 0x0F;
    const uint8_t v = val & 0x0F;
    // Written even when nothing changes; a value bit outside the mask toggles.
    soft_write(p, ((priv_ctr & uint8_t(~m)) ^ v) & priv_ctr_writable);
}

void lp_ctl_rmw(struct port_data *p, uint8_t mask, uint8_t val) {
    struct parport_pc_private_data *priv = p->phys->priv;
    const uint8_t mv = val & mask;
    if (mask & 0x20)
        dir_latch = mv & 0x20;
    const uint8_t h = lp_inb(control_addr(p));
    const uint8_t c = (h & uint8_t(~mask)) | mv | dir_latch;
    lp_outb(control_addr(p), c);
    priv->ctr_copy = c & priv->ctr_copy_mask;
}

void lp_ecr_update(struct port_data *p, uint8_t mask, uint8_t val) {
    // A full mask replaces the register: no read is needed.
    const uint8_t e = mask == 0xFF ? 0 : lp_inb(lp_ecr_addr(p));
    lp_outb(lp_ecr_addr(p), (e & uint8_t(~mask)) ^ val);
}

void lp_ecr_set_mode(struct port_data *p, uint8_t bits) {
    const uint8_t e = lp_inb(lp_ecr_addr(p));
    lp_outb(lp_ecr_addr(p), (e & 0x1F) | (bits & 0xE0));
    if ((bits & 0xE0) == 0x60)
        lp_ctl_rmw(p, 0x03, 0x00);  // ECP FIFO mode: HostClk and HostAck released
}

int lp_fifo_empty(struct port_data *p) { return lp_inb(lp_ecr_addr(p)) & 0x01; }

}  // extern "C"
