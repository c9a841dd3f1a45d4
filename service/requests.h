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

#include <poll.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct port_data;
struct lp_port_addr;

// requests.cc: how long a client may keep its service process waiting (milliseconds).
extern int64_t idle_timeout_ms;         // no byte for this long ends a connection that does not
                                        // hold the port; 0: never (default 300 s)
extern int64_t holder_idle_timeout_ms;  // the same for the holder (0, the default: never);
                                        // --idle-timeout sets both
extern int64_t io_timeout_ms;    // a message under way that makes no progress for this long ends
                                 // it; also the grace before the rate floor applies
extern int64_t hold_timeout_ms;  // a holder that moves no data this long loses it once another
                                 // waits; 0: never
int serve_client(int fd);
// Before the first fork (a write after it would be a private page in every service process): the
// C library's mapping threshold fixed, so a large message buffer is always a mapping of its own.
void serve_setup(void);
// The idle bound of this process now: holder_idle_timeout_ms while it holds the port.
int64_t idle_limit_ms(void);

// conn.cc: the waits on the client, each bounded, and the signals that stop a service process.
enum conn_result {
    CONN_DONE,     // every byte moved
    CONN_CLOSED,   // end of stream, or the connection failed
    CONN_IDLE,     // no byte from the client for idle_ms
    CONN_SLOW,     // no progress for stall_ms, or the deadline passed
    CONN_STOPPED,  // SIGTERM or SIGINT asked the process to end
    CONN_HOLD,     // the holder moved no data for hold_timeout_ms while another waited
};
// The rate every message (and a raw job while another client waits) must average once its grace,
// io_timeout_ms, is over: a trickle is cut, while the slowest real link (a weak Wi-Fi) moves a
// full 8 MiB message in well under 10 minutes.
#define CONN_MIN_RATE 16384
struct conn_limits {
    int64_t idle_ms;     // reads: longest silence of the client; 0: none
    int64_t stall_ms;    // longest wait without progress; 0: none
    int64_t floor_from;  // conn_now_ms() the transfer began: after io_timeout_ms of grace it must
                         // keep up CONN_MIN_RATE bytes a second from then on; 0: no floor
    int64_t hold_from;   // a holder's last progress on the port: once another waits, the transfer
                         // ends hold_timeout_ms after it; 0: no hold bound
};
int64_t conn_now_ms(void);  // CLOCK_MONOTONIC
// In a service process: while it holds the port (holding 1), SIGTERM and SIGINT set a flag and get
// through only inside conn_poll; otherwise (0) they end the process at once. SIGUSR1, the first
// step of the daemon's stop ("finish what is under way"), is caught the same way while holding
// (or waiting for) the port, and otherwise ends a process that has nothing under way.
void conn_stop_signals(int holding);
int conn_stopping(void);   // SIGTERM came: end now
int conn_draining(void);   // SIGUSR1 came: the daemon stops once the work under way is done
int conn_drain_ends_wait(void);  // draining, and a wait for the port is to be answered FAIL busy
// A raw job: both stop steps are caught from now to the process's end, and the first one ends no
// wait (a queued raw job is printed too).
void conn_keep_on_drain(void);
// ppoll until deadline_ms (0: none). With stoppable, -1 (EINTR) once a stop was asked for, and 0
// when the first stop step arrived during the wait.
int conn_poll(struct pollfd *fds, nfds_t n, int64_t deadline_ms, int stoppable);
conn_result conn_read(int fd, void *buf, size_t n, const struct conn_limits *lim);
// Reads n bytes and throws them away, scratch_len at a time.
conn_result conn_skip(int fd, void *scratch, size_t scratch_len, size_t n, const struct conn_limits *lim);
conn_result conn_write(int fd, const void *buf, size_t n, const struct conn_limits *lim);

// device.cc
extern struct port_data *open_port;  // empty until the first INIT that acquired the port
extern int fifo_mode;                // 1: hardware-FIFO transfers; 0: software handshake
// The port the options chose (port/locate.h; the onboard port unless set), and the kernel's
// parport device that reaches it when that backend is in use (NULL: direct access), for the lines
// that name it.
extern struct lp_port_addr dpa_port;
extern const char *dpa_device;
// Open the port on the first INIT (acquire, probe) and, when negotiate is set, negotiate ECP.
// Result 0, or the msg_fail_reason the INIT is answered FAIL with (the port is then given back).
int dpa_init(int negotiate);
// RESET: the printer takes the last bytes (a paused one is waited for while the client waits),
// the link is terminated and the port given back. The printed bytes the port had to drop since the
// last RESET (this one, a DEVICE_ID, a new INIT): 0 when none, and then the RESET is answered OK.
int32_t dpa_reset(void);
// While holding the port: have the printer take the last bytes of the WRITEs before the link
// turns or negotiates again (as dpa_reset does); the bytes dropped.
int dpa_settle(void);
// The opened port cannot tri-state its data lines: READ and DEVICE_ID are refused.
int dpa_output_only(void);
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
// In ECP forward idle, whether the peripheral has reverse data for the host (it pulls
// nPeriphRequest, nFault, low): 1 yes, 0 no (or no ECP link held), -1 not known yet because
// printed bytes are still in the FIFO, so the link cannot turn. Two port accesses at most.
int dpa_reverse_pending(void);
// The store for reverse bytes pulled in beyond a READ, in the port's shared state: they go to the
// next READ of the connection that asked, and are dropped when another connection takes the port.
// In the listener, before any fork: 0, or -1 after an error line.
int dpa_surplus_setup(void);
// The daemon starts: the printer's state is not known, so the next open of the port initialises
// it (an nInit pulse). A release that terminates the link makes it known again; the probe and
// later connections then open the port without touching nInit.
void dpa_printer_unknown(void);

// devid_request.cc: DEVICE_ID, answered from the port's Device ID cache or read on the port.
#define DEVID_FRESH_MS 60000  // a cached ID this young is answered without touching the port
// The printer's Device ID into payload (at most 1023 bytes): 0 with its length in *len, or the
// msg_fail_reason to answer FAIL with (MSG_FAIL_NO_ID, _NO_PERIPHERAL, _BUSY, _PORT_ACCESS).
int dpa_device_id(uint8_t *payload, int32_t *len);
// Whether a cached ID of len bytes read age_ms ago answers a request, with or without another
// connection holding the port: 1 when it is fresh, or at any age while the port is busy.
int devid_cache_answers(size_t len, int64_t age_ms, int port_busy);
// The cache in the port's shared state (nothing without one): put a good ID with the time now,
// or len 0 to empty it; get copies it out (0 when empty or cap is too small) with its age.
void devid_cache_put(const char *id, size_t len);
size_t devid_cache_get(char *out, size_t cap, int64_t *age_ms);

// portlock.cc: one service process at a time drives the port, and the others wait their turn in
// order of arrival (service/portshare.h). The port is taken by the first INIT and given back at
// RESET or when the connection ends; the kernel takes it back when its holder dies.
extern int64_t wait_timeout_ms;  // how long an INIT waits for the port before FAIL (printer busy)
// Set up in the listener, before any fork: 0, or -1 after an error line.
int port_lock_setup(int simulated);
// The client, for the hang-up that ends a wait and for the address the queue shows.
void port_lock_set_client(int fd);
// Wait for the port: 0 when held; MSG_FAIL_BUSY when the wait timed out, the queue is full, the
// client left or a stop was asked for; MSG_FAIL_PORT_ACCESS when the lock file cannot be used.
int port_lock_take(int client_fd);
// Give the port back; the oldest waiter takes it. At -V 3 one line sums up the job.
void port_lock_drop(void);
int port_lock_held(void);
// While holding: whether another connection waits, and a descriptor that becomes readable (drain
// it with port_lock_drain) whenever that may have changed; -1 when there is none.
int port_lock_others_wait(void);
int port_lock_wake_fd(void);
void port_lock_drain(void);
// Count bytes moved for the holder's job and the queue's view.
void port_lock_count(uint64_t to_device, uint64_t from_device);
// Bytes counted to the device that the printer never took: dropped at the end of a write.
void port_lock_uncount(uint64_t to_device);

#ifdef __cplusplus
}
#endif
