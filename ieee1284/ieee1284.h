// The IEEE 1284 link: mode negotiation and termination, block transfers through the port's ECP
// hardware FIFO, and the byte-at-a-time software-handshake ECP transfers.
//
// The link state is the pair (mode, phase) in the port record; between transfers the direction
// of an ECP link is known only from the phase. Every step is a register operation or a status
// wait of port/regs.h, with fixed usleep delays: no interrupts, no DMA. Results are small
// integers (0 success, 1 time-out or refusal, negative for errors) and byte counts of what
// actually moved; nothing here prints except the transfer trace lines at verbose > 4.
//
// One thing the FIFO read adds of its own: the port's reverse FIFO pulls bytes ahead of what a
// read asked for, and a change of ECR mode would throw them away. They are taken out of the FIFO
// before the mode changes and handed out first by the next read, so nothing the peripheral sent
// is lost between two READ requests of a connection.
#pragma once

#include <stdint.h>

#include "port/regs.h"

#ifdef __cplusplus
extern "C" {
#endif

// Mode codes stored in port_data.mode; the flags are OR-ed into a code.
enum {
    LP_MODE_NIBBLE = 0,
    LP_MODE_BYTE = 1,
    LP_MODE_ECP = 16,
    LP_MODE_ECP_RLE = 48,
    LP_MODE_EPP = 64,
    LP_MODE_COMPAT = 256,
    LP_MODE_REFUSED = 512,
    LP_MODE_ECP_ALIAS = 1024,
    LP_MODE_EPP_ALIAS_A = 2048,
    LP_MODE_EPP_ALIAS_B = 4096,
    LP_MODE_MASKED_FLAG = 0x2000,
    LP_MODE_EXT_LINK = 0x4000,
};

// negotiate.cc
void lp_terminate(struct port_data *port);
int32_t lp_negotiate(struct port_data *port, int32_t mode);

// fifo.cc
uint64_t m_mfp_fifo_write_block(struct port_data *port, const uint8_t *buf, uint64_t len);
uint64_t lp_fifo_read_block(struct port_data *port, uint8_t *buf, uint64_t len);
int lp_fifo_read_finish(struct port_data *port);
// Waits (at most 5 s) for bytes a FIFO write left in the FIFO to reach the peripheral, so a
// termination or a hand-over of the port that follows cannot cut them off. 0 when the FIFO is
// empty or not in forward ECP use, 1 when it did not empty in time.
int lp_fifo_write_drain(struct port_data *port);
// Bytes taken out of the FIFO after a read and not yet handed out.
uint32_t lp_fifo_surplus(void);
// Forget them (tests, and a harness that reuses a process for several ports).
void lp_fifo_surplus_clear(void);

// ecp_sw.cc
int lp_ecp_to_forward(struct port_data *port);
int lp_ecp_to_reverse(struct port_data *port);
uint64_t m_parport_ieee1284_ecp_write_data(struct port_data *port, const uint8_t *buf, uint64_t len);
uint64_t lp_ecp_read_data(struct port_data *port, uint8_t *buf, uint64_t len);

#ifdef __cplusplus
}
#endif
