// The IEEE 1284 link: mode negotiation and termination, block transfers through the port's ECP
// hardware FIFO, and the byte-at-a-time software-handshake ECP transfers.
//
// The link state is the pair (mode, phase) in the port record; between transfers the direction
// of an ECP link is known only from the phase. Every step is a register operation or a status
// wait of port/regs.h, with fixed usleep delays: no interrupts, no DMA. Results are small
// integers (0 success, 1 time-out or refusal, negative for errors) and byte counts of what
// actually moved; nothing here prints except the transfer trace lines at verbose > 4.
//
// What the FIFO transfers add of their own, so that no byte is lost at a turn of the link:
// - The port's reverse FIFO pulls bytes ahead of what a read asked for, and a change of ECR mode
//   would throw them away. They are taken out of the FIFO before the mode changes and kept in a
//   surplus store, whose bytes the next read hands out first. The store belongs to the port, not
//   to a process: the daemon attaches one in shared memory, so the bytes survive RESET and the
//   end of a connection and go to whoever reads the port next.
// - The data lines change direction only in ECR mode 001, and only once the forward FIFO has
//   emptied: a read that finds the ECR in mode 011 first waits (bounded) for the printed bytes
//   to leave, then writes mode 001, and only then begins the reversal. A read that never turns
//   the link (served from the store) leaves the ECR as it found it.
// - A read ends in bounded time whatever the ECR shows: a pass that moved nothing does not renew
//   the expiry.
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
// How the last lp_negotiate of the process ended, so a failure can be named: the result alone
// does not tell a refusal from a missing event 6.
enum lp_negotiation_end {
    LP_NEG_ACCEPTED,     // the mode was negotiated (or compatibility mode asked for)
    LP_NEG_NO_EVENT2,    // nobody answered event 1: no IEEE 1284 peripheral
    LP_NEG_NO_EVENT6,    // event 2 came, event 6 did not
    LP_NEG_REFUSED,      // XFlag low at event 6: the peripheral refused the mode
    LP_NEG_LINK_FAILED,  // the extensibility link byte was not answered or was refused
    LP_NEG_NOT_IMPLEMENTED,  // LP_MODE_REFUSED was asked for
};
int lp_negotiation_end(void);

// fifo.cc
uint64_t m_mfp_fifo_write_block(struct port_data *port, const uint8_t *buf, uint64_t len);
uint64_t lp_fifo_read_block(struct port_data *port, uint8_t *buf, uint64_t len);
int lp_fifo_read_finish(struct port_data *port);
// Waits (at most 5 s) for bytes a FIFO write left in the FIFO to reach the peripheral, so a
// termination, a reversal or a hand-over of the port that follows cannot cut them off. 0 when the
// FIFO is empty or not in forward ECP use, 1 when it did not empty in time.
int lp_fifo_write_drain(struct port_data *port);
// The surplus store: bytes taken out of the FIFO after a read and not yet handed out, in order
// from bytes[head]. A FIFO holds at most 1023 bytes, plus the copies of one run-length count
// (128) still being expanded into it after event 47, and it is emptied into the store only by a
// read that emptied the store first, so 2048 bytes always have room.
struct lp_surplus {
    uint32_t head, count;
    uint8_t bytes[2048];
};
// Keep the surplus in this store from now on (it must outlive its use; only the process that
// holds the port touches it). NULL goes back to the process's own store.
void lp_fifo_surplus_attach(struct lp_surplus *store);
// Bytes in the store.
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
