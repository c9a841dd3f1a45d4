// The peripheral's IEEE 1284 Device ID, and the nibble-mode handshake that carries it when the
// host asks for it in nibble mode.
//
// An accepted ID request (0x04 nibble, 0x14 ECP) turns the peripheral's reverse stream into the
// ID: two length bytes, big-endian and counting themselves, then the string of id=. It replaces
// the MFP's own reverse data only until the next negotiation, and ends after the ID: the MFP's
// data waits untouched meanwhile. In ECP mode the stream goes out by the same reverse handshake
// (port hardware or software) as any data; in nibble mode by the states below.
//
// Faults: no-id refuses every ID request at event 5; id-length:N puts N in the length field.
#include <string.h>

#include "sim/internal.h"

namespace sim_impl {

namespace {

uint8_t id_byte(const struct sim *sim, uint32_t i) {
    if (i >= 2)
        return uint8_t(sim->cfg.device_id[i - 2]);
    const uint32_t length = fault_arg(sim, SIM_FAULT_ID_LENGTH, sim->periph.id_size);
    return uint8_t(i == 0 ? length >> 8 : length);
}

bool id_left(const struct sim *sim) {
    return sim->periph.id_stream && sim->periph.id_sent < sim->periph.id_size;
}

// A nibble as the status register shows it: data bits 0 to 3 on nFault, Select, PError and Busy
// (Busy inverted in the register); nAck (PtrClk) is the caller's.
uint8_t nibble_lines(uint8_t n) {
    return uint8_t((n & 0x07) << 3 | ((n & 0x08) ? 0 : 0x80));
}

// In ECP FIFO mode the port hardware drives nAutoFd: the host's HostBusy never reaches the cable.
bool hardware_drives_autofd(const struct sim *sim) { return port_mode(sim) == 0x60; }

}  // namespace

void id_begin(struct sim *sim, bool on) {
    periph_state &p = sim->periph;
    p.id_stream = on;
    p.id_sent = 0;
    p.id_size = on ? uint32_t(2 + sim->cfg.device_id_len) : 0;
}

bool id_peek(const struct sim *sim, symbol *out) {
    if (!id_left(sim))
        return false;
    *out = {id_byte(sim, sim->periph.id_sent), 0};
    return true;
}

void id_pop(struct sim *sim) {
    if (id_left(sim))
        sim->periph.id_sent++;
}

// Event 7: the next nibble goes on the lines with PtrClk low (events 8 and 9); the low one only
// when there is a byte to send.
void nib_busy_low(struct sim *sim) {
    periph_state &p = sim->periph;
    if (hardware_drives_autofd(sim))
        return;
    if (p.state == SIM_P_NIB_MID) {
        p.state = SIM_P_NIB_HIGH;
    } else if (id_left(sim)) {
        p.lines = id_byte(sim, p.id_sent);
        p.state = SIM_P_NIB_LOW;
    }
}

// Event 10 -> 11: PtrClk high; after the high nibble the byte is gone.
void nib_busy_high(struct sim *sim) {
    periph_state &p = sim->periph;
    if (hardware_drives_autofd(sim))
        return;
    if (p.state == SIM_P_NIB_LOW) {
        p.state = SIM_P_NIB_MID;
        return;
    }
    id_pop(sim);
    sim->counters.bytes_from_peer++;
    p.state = SIM_P_NIB_IDLE;
}

// Between bytes: PtrClk high, XFlag high (the ID request was accepted), and nDataAvail (nFault)
// with AckDataReq (PError) low while a byte waits. Inside a byte: the nibble, PtrClk low while
// it is valid; after the low one it stays on the lines with PtrClk high.
uint8_t nib_status(const struct sim *sim) {
    const periph_state &p = sim->periph;
    switch (p.state) {
    case SIM_P_NIB_LOW: return nibble_lines(p.lines & 0x0F);
    case SIM_P_NIB_MID: return uint8_t(nibble_lines(p.lines & 0x0F) | 0x40);
    case SIM_P_NIB_HIGH: return nibble_lines(p.lines >> 4);
    default: return uint8_t(0xD0 | (id_left(sim) ? 0 : 0x28));
    }
}

}  // namespace sim_impl
