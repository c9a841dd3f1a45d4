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
//   surplus store, whose bytes the next read hands out first. The daemon attaches a store in
//   shared memory and keeps it for the connection that asked (service/device.cc drops it when
//   the port passes to another connection).
// - The data lines change direction only in ECR mode 001 (never in 011, also not at event 47),
//   and only once the printer has every forward byte (FIFO empty and PeriphAck low): a read that
//   finds the ECR in mode 011 first waits (bounded) for the printed bytes to be taken, then
//   writes mode 001, and only then begins the reversal. A read that never turns the link (served
//   from the store) leaves the ECR as it found it.
// - A read ends in bounded time whatever the ECR shows: a pass that moved nothing does not renew
//   the expiry.
//
// The printer's IEEE 1284 Device ID is read by negotiating a mode with the Device ID bit set
// (0x14 ECP, 0x04 nibble): the peripheral answers with a two-byte big-endian length that counts
// itself, then the string, in the reverse direction. The ECP request comes first and its bytes
// move by the port's own transfer method (the FIFO read or the software read); nibble mode, the
// one reverse mode every IEEE 1284 peripheral has, is asked only when ECP is refused. Whatever
// arrives is checked against its length before anyone sees it.
#pragma once

#include <stddef.h>
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
    // Set by opening a port whose lines stand at compatibility idle: in no IEEE 1284 mode, so the
    // first termination has nothing to do (and pulses no nInit).
    LP_MODE_IDLE = 0x8000,
    // Or-ed into a nibble, byte or ECP code: the request asks for the Device ID (0x04, 0x05, 0x14).
    LP_MODE_DEVICE_ID = 0x04,
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
    LP_NEG_NO_EVENT31,   // ECP was accepted, but the setup's event 31 never came
    LP_NEG_REFUSED,      // XFlag low at event 6: the peripheral refused the mode
    LP_NEG_LINK_FAILED,  // the extensibility link byte was not answered or was refused
    LP_NEG_NOT_IMPLEMENTED,  // LP_MODE_REFUSED was asked for
};
int lp_negotiation_end(void);

// fifo.cc
uint64_t m_mfp_fifo_write_block(struct port_data *port, const uint8_t *buf, uint64_t len);
uint64_t lp_fifo_read_block(struct port_data *port, uint8_t *buf, uint64_t len);
int lp_fifo_read_finish(struct port_data *port);
// Waits (at most 5 s) for the bytes a FIFO write left in the port to be taken by the peripheral
// (the FIFO empty, then PeriphAck low: the last byte's handshake has ended), so a termination, a
// reversal or a hand-over of the port that follows cannot cut them off. 0 when the peripheral has
// them all (or the FIFO is not in forward ECP use), else the bytes the port still holds: a full
// FIFO's depth, or those written since it last read empty, plus one while PeriphAck is high.
int lp_fifo_write_drain(struct port_data *port);
// Ends the FIFO's forward use before a termination or a negotiation: the drain above, then PS/2
// mode, since in ECP FIFO mode the port drives HostClk and HostAck itself and the handshake would
// never reach the wire. The bytes the mode change dropped (0 when the drain succeeded).
int lp_fifo_write_end(struct port_data *port);
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

// nibble.cc
// Reverse read in nibble mode, on a link negotiated into it: up to len bytes, two nibbles each on
// the status lines, ending early when the peripheral says it has nothing more (nDataAvail high)
// or misses an event. Returns the bytes stored; phase LP_PH_REV_IDLE afterwards.
uint64_t lp_nibble_read(struct port_data *port, uint8_t *buf, uint64_t len);

// devid.cc: how the peripheral answers each negotiation request, and its Device ID.
enum { LP_ANSWER_ACCEPTED = 0, LP_ANSWER_REFUSED = 1, LP_ANSWER_SILENT = 2 };
struct lp_mode_answer {
    int32_t mode;    // the code negotiated; its request byte went out at event 0
    int32_t answer;  // LP_ANSWER_...
    int32_t event;   // LP_ANSWER_SILENT: the event that never came (2 or 6); otherwise 0
};
enum { LP_ANSWER_NIBBLE, LP_ANSWER_BYTE, LP_ANSWER_ECP, LP_NANSWERS };
// Negotiates nibble, byte and ECP in turn (with the Device ID bit when device_id is nonzero) and
// terminates each; the link ends in compatibility mode, so a caller in the middle of a session
// negotiates its mode again.
void lp_mode_answers(struct port_data *port, int device_id, struct lp_mode_answer out[LP_NANSWERS]);
// "accepted", "refused", "no answer at event 2", "no answer at event 6".
const char *lp_answer_text(const struct lp_mode_answer *answer);

#define LP_DEVICE_ID_MAX 1023  // string bytes; a longer length field is refused, not read

enum lp_id_status {
    LP_ID_OK = 0,
    LP_ID_NO_PERIPHERAL = 1,  // nobody answered event 2
    LP_ID_REFUSED = 2,        // the ECP and nibble ID requests were both refused or not finished
    LP_ID_NO_DATA = 3,        // a request was accepted, but the two length bytes never came
    LP_ID_BAD_LENGTH = 4,     // the length field is below 3 or above LP_DEVICE_ID_MAX + 2
    LP_ID_SHORT = 5,          // fewer string bytes came than the length field promised
    LP_ID_LONG = 6,           // the peripheral had more to send than the length field said
};
enum { LP_ID_VIA_NONE, LP_ID_VIA_FIFO, LP_ID_VIA_SOFTWARE, LP_ID_VIA_NIBBLE };

struct lp_device_id {
    int32_t status;                 // enum lp_id_status, also the result of lp_device_id_read
    int32_t via;                    // LP_ID_VIA_...: how the bytes moved
    uint32_t length;                // the length field as it came (it counts its own two bytes)
    uint32_t received;              // string bytes that came after it
    struct lp_mode_answer ecp;      // the answer to 0x14
    struct lp_mode_answer nibble;   // the answer to 0x04; mode 0 when it was not asked
    char text[LP_DEVICE_ID_MAX + 1];  // the string, NUL-terminated; all zero unless LP_ID_OK
};

// Reads the Device ID: ECP first, by the FIFO when use_fifo is nonzero (and the port has an ECR
// and no data bytes wait in the surplus store), else by the software handshake; nibble mode when
// ECP is refused. Each path reads until the peripheral stops sending, and is bounded by the waits
// of the transfer it uses: about 0.1 s for a good ID by the FIFO. Ends terminated, in
// compatibility mode with the ECR in PS/2 mode, with nothing of the ID stream left for a later
// READ and the data bytes in the surplus store untouched. Returns id->status.
int32_t lp_device_id_read(struct port_data *port, int use_fifo, struct lp_device_id *id);
// A short phrase for a status ("no answer at event 2", "length field out of range", ...).
const char *lp_id_status_text(int32_t status);

// The fields of a Device ID. Keys are matched without regard to case and with the blanks around
// them trimmed; the first of MFG/MANUFACTURER (and so on) wins; a missing key leaves "".
struct lp_id_fields {
    char mfg[LP_DEVICE_ID_MAX + 1];  // MFG, MANUFACTURER
    char mdl[LP_DEVICE_ID_MAX + 1];  // MDL, MODEL
    char cmd[LP_DEVICE_ID_MAX + 1];  // CMD, COMMAND SET
    char cls[LP_DEVICE_ID_MAX + 1];  // CLS, CLASS
    char des[LP_DEVICE_ID_MAX + 1];  // DES, DESCRIPTION
};
// Parses len bytes of an ID (a NUL among them counts as a control character). Values lose the
// blanks around them and any control character; a value longer than its field is cut. Returns
// how many of the five fields were found.
int lp_device_id_parse(const char *id, size_t len, struct lp_id_fields *out);

#ifdef __cplusplus
}
#endif
