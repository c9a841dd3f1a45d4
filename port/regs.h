// The port layer: what tessal knows about the one parallel port a service process drives.
//
// Three plain records in static storage (the port, the device using it, the port's private
// data), the CONTROL soft copy, the IEEE 1284 phase codes, the 10 ms tick clock (monotonic, so a
// change of the system time never lengthens or shortens a wait), and the small
// register operations every handshake is built from. Register operations make exactly the port
// accesses they are defined to make and no more: the link code above counts on it, and so do the
// tests, which check exact access sequences against a recording backend.
//
// CONTROL has two writers that share no state, on purpose: the soft copy `priv_ctr` (whole-byte
// writes, never reads the register; negotiation and the software transfers) and the
// read-modify-write path `lp_ctl_rmw` (FIFO transfers), which adds the direction latch to every
// byte it writes. A next soft-copy write undoes whatever the hardware path changed.
//
// Everything reaches the machine through port/io.h; nothing here calls the OS directly.
// No interrupts: interrupt enable stays off and every wait polls.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct cad_data;
struct parport_pc_private_data;

// The port record.
struct port_data {
    int64_t base;        // DATA; STATUS and CONTROL follow at +1 and +2
    int64_t base_hi;     // the ECP range (base + 0x400 on the ISA interface): FIFO at +0, ECR at +2
    const char *name;    // "LP0"; nothing reads it
    int32_t irq;         // -1: always driven without interrupts
    struct port_data *phys;
    struct cad_data *cad;
    int32_t mode;        // LP_MODE_... (ieee1284/ieee1284.h)
    int32_t phase;       // LP_PH_...
    struct parport_pc_private_data *priv;
    int32_t spin_us;     // length of the fast status poll
};

// The device record.
struct cad_data {
    struct port_data *port;
    int64_t timeout;     // one transfer step, in 10 ms ticks
};

// The port's private record.
struct parport_pc_private_data {
    uint8_t ctr_copy;        // written only by lp_ctl_rmw, masked with ctr_copy_mask
    uint8_t ctr_copy_mask;   // 0 and never set, so ctr_copy always holds 0
    int32_t ecr_present;
    int32_t fifo_size;       // bytes the empty FIFO took before it reported full
    int32_t pword;           // bytes per FIFO word, from cnfgA
    int32_t read_threshold;  // reverse service threshold
    int32_t write_threshold; // forward service threshold
    int32_t output_only;     // 1: the data lines cannot be inputs (no tri-state): nothing can be read
};

extern struct port_data port_data;
extern struct cad_data cad_data;
extern struct parport_pc_private_data parport_pc_private_data;
extern uint8_t priv_ctr;          // the CONTROL byte the soft-copy operations last wrote
extern uint8_t priv_ctr_writable; // 0x3F: bits 0x40 and 0x80 are always written as 0

// IEEE 1284 phases held in port_data.phase.
enum {
    LP_PH_FWD_DATA = 0,
    LP_PH_FWD_IDLE = 1,
    LP_PH_NEGOTIATION = 3,
    LP_PH_REV_IDLE = 5,
    LP_PH_REV_DATA = 7,
    LP_PH_ECP_SETUP = 8,
    LP_PH_ECP_DIR_UNKNOWN = 11,
};

// CONTROL bits as written (nStrobe, nAutoFd and nSelectIn are inverted at the connector).
enum {
    LP_CTL_STROBE = 0x01,   // set: nStrobe low (HostClk)
    LP_CTL_AUTOFD = 0x02,   // set: nAutoFd low (HostAck)
    LP_CTL_INIT = 0x04,     // set: nInit high (nReverseRequest)
    LP_CTL_SELECT = 0x08,   // set: nSelectIn low (1284Active low)
    LP_CTL_IRQ = 0x10,
    LP_CTL_REVERSE = 0x20,  // set: data lines are inputs
};

// STATUS bits as read (Busy is inverted).
enum {
    LP_ST_NFAULT = 0x08,
    LP_ST_SELECT = 0x10,    // XFlag
    LP_ST_PERROR = 0x20,    // nAckReverse
    LP_ST_NACK = 0x40,      // PeriphClk
    LP_ST_NBUSY = 0x80,     // set: Busy low (PeriphAck low)
};

// ECR bits and modes.
enum {
    LP_ECR_EMPTY = 0x01,
    LP_ECR_FULL = 0x02,
    LP_ECR_SERVICE = 0x04,
    LP_ECR_DMA = 0x08,
    LP_ECR_NERRINTR = 0x10,
    LP_ECR_MODE_SPP = 0x00,
    LP_ECR_MODE_PS2 = 0x20,
    LP_ECR_MODE_ECP = 0x60,
    LP_ECR_MODE_TEST = 0xC0,
    LP_ECR_MODE_CNFG = 0xE0,
};

// regs.cc: the clock and the register operations.
int64_t lp_ticks(void);
void lp_write_data(struct port_data *port, uint8_t byte);
uint8_t lp_read_data(struct port_data *port);
uint8_t lp_read_status(struct port_data *port);
void lp_irq_off(struct port_data *port);
void lp_dir_forward(struct port_data *port);
void lp_dir_reverse(struct port_data *port);
void lp_ctl_write(struct port_data *port, uint8_t d);
uint8_t lp_ctl_read(struct port_data *port);
void lp_ctl_update(struct port_data *port, uint8_t mask, uint8_t val);
void lp_ctl_rmw(struct port_data *port, uint8_t mask, uint8_t val);
void lp_ecr_update(struct port_data *port, uint8_t mask, uint8_t val);
void lp_ecr_set_mode(struct port_data *port, uint8_t bits);
int lp_fifo_empty(struct port_data *port);
// Register addresses of a record.
uint16_t lp_fifo_addr(const struct port_data *port);
uint16_t lp_ecr_addr(const struct port_data *port);
// Zero-fill the records and control state, as at process start. A service process never needs
// it (its state starts zeroed and ends with it); tests and in-process harnesses do.
void lp_port_forget(void);

// wait.cc: status waits. Result 0 when (STATUS & mask) == expect, 1 on time-out.
int lp_wait_event(struct port_data *port, int n);
int lp_poll_status(struct port_data *port, uint8_t mask, uint8_t expect, int32_t usec);
int lp_wait_status(struct port_data *port, uint8_t mask, uint8_t expect);
int lp_wait_status_long(struct port_data *port, uint8_t mask, uint8_t expect);

// open.cc: opening and the ECP probe.
struct port_data *lp_port_open(int32_t base);  // the ECP range 0x400 above the base
// With the ECP range where the port has it; LP_NO_ECP (port/locate.h) for a port without one.
struct port_data *lp_port_open_at(int32_t base, int64_t base_hi);
int lp_probe_ecp(struct port_data *port);
void lp_init_state(struct port_data *port);
// Whether the data lines really become inputs: with the direction bit set in PS/2 mode, DATA must
// not read back two patterns written to it. 1 bidirectional, 0 output only. Leaves the lines
// driven (forward) with DATA 0.
int lp_port_bidirectional(struct port_data *port);
// Have the next termination pulse nInit, which initialises the printer (and makes many throw
// away what they have buffered): for a printer whose state is not known.
void lp_port_reset_printer(struct port_data *port);
// 1 when the opened port has an ECR and a FIFO the probe could measure (depth 1 or more): only
// then can the FIFO transfers be used.
int lp_port_has_fifo(const struct port_data *port);

#ifdef __cplusplus
}
#endif
