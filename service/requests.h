// The request loop and the device access entry points it reaches.
//
// A service process runs serve_client on its connection: one request in, one reply out, until
// the client goes away or sends something that is not a request. The payload bytes are relayed
// unchanged; what they mean is between the client and the peripheral.
//
// The device entry points hold the process's one reference to the opened port and turn each
// request into calls on the IEEE 1284 link. A request the device cannot carry out (no open port,
// a port that could not be acquired, a negative WRITE count) is answered FAIL with count 0; a
// transfer that falls short is still OK, with the smaller count.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct port_data;

// requests.cc
extern int idle_timeout;  // seconds a connection may stay silent between requests; 0: for ever
int serve_client(int fd);

// device.cc
extern struct port_data *open_port;  // empty until the first INIT that acquired the port
extern int fifo_mode;                // 1: hardware-FIFO transfers; 0: software handshake
// Open the port on the first INIT (acquire, probe) and, when negotiate is set, negotiate ECP.
// Result 0, or the msg_fail_reason the INIT is answered FAIL with (the port is then given back).
int dpa_init(int negotiate);
void dpa_reset(void);
int dpa_read(uint8_t *buf, int32_t size);
int dpa_write(uint8_t *buf, int32_t size);
int32_t lp_device_read(struct port_data *port, uint8_t *buf, int32_t size);
int32_t lp_device_write(struct port_data *port, uint8_t *buf, int32_t size);
void hex_dump(const uint8_t *data, int32_t size);
// Set when the process could not give up root after acquiring the port: the connection ends.
extern int dpa_must_end;
// True when this process holds the port and has it open: READ and WRITE may reach it.
int dpa_ready(void);
// The connection whose hang-up ends a wait for the port.
void dpa_set_client(int fd);
// Give up the port when the connection ends, so a waiting service process can take it.
void dpa_release(void);
// The store for reverse bytes pulled in beyond a READ, shared by every service process so they
// go to the next READ of whoever holds the port. In the listener, before any fork: 0, or -1
// after an error line.
int dpa_surplus_setup(void);

// portlock.cc: one service process at a time drives the port. The lock is taken by the first
// INIT and dropped at RESET or when the connection ends; the kernel drops it when its holder dies.
// Set up in the listener, before any fork: 0, or -1 after an error line.
int port_lock_setup(int simulated);
// Wait for the port. 0 when held; -1 when the client hung up while waiting, or on an error.
int port_lock_take(int client_fd);
void port_lock_drop(void);
int port_lock_held(void);

#ifdef __cplusplus
}
#endif
