// The device access entry points: INIT, RESET, READ and WRITE reach the peripheral here.
//
// The port is acquired (through the seam: setuid(0) + iopl(3) on real hardware, opening the
// device for the kernel's parport device) and probed once per service process, at its first INIT;
// every INIT negotiates ECP again. Holding the port is our lock and, where the backend shares the
// port with the kernel (the parport device), the kernel's claim: taken together, given back
// together. An INIT that cannot reach the port, or whose negotiation fails, is answered FAIL with
// the reason and one error line naming the cause, and gives the port back. A port without a
// usable ECP FIFO is driven by software handshake.
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ieee1284/ieee1284.h"
#include "port/io.h"
#include "port/locate.h"
#include "port/log.h"
#include "service/daemon.h"
#include "wire/frame.h"
#include "service/portshare.h"
#include "service/requests.h"

namespace {

int client_fd = -1;

// A failed negotiation as the client is told it (the FAIL reply's count) and as the error line
// names it.
struct negotiation_failure {
    int reason;
    const char *line;
};

constexpr int64_t kPausedWaitTicks = 4500;  // 45 s for a paused printer, while its client waits

int32_t dropped = 0;  // printed bytes the port had to drop since the last RESET of this connection

// The client is still there (a half-close is: it waits for its reply), and the daemon is not
// stopping (it gives every service process 20 s).
bool client_waits() {
    if (client_fd < 0 || conn_stopping())
        return false;
    pollfd p{client_fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) >= 0 && !(p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// Before a termination, a negotiation or a hand-over: the printer takes the last bytes of the
// WRITEs (the FIFO empties and the last handshake ends), and the ECR leaves ECP FIFO mode, whose
// hardware would keep the handshake off the wire. A printer that holds PeriphAck high is busy, not
// broken: while the client waits (patient) it gets up to 45 s (the clients wait 60 s for a
// reply). What is dropped in the end is counted for the RESET's reply and said on an error line.
int end_forward(bool patient) {
    if (!fifo_mode)
        return 0;
    if (patient) {
        const int64_t until = lp_ticks() + kPausedWaitTicks;  // the port's clock, as every wait of the link
        int held = lp_fifo_write_drain(open_port);
        while (held > 0 && client_waits() && lp_ticks() - until < 0 && !(lp_read_status(open_port->phys) & 0x80))
            held = lp_fifo_write_drain(open_port);
    }
    const int lost = lp_fifo_write_end(open_port);
    if (lost > 0) {
        log_error("up to %d printed bytes dropped: the printer did not take them", lost);
        dropped += lost;
        port_lock_uncount(uint64_t(lost));  // the job's count is of bytes the printer took
    }
    return lost;
}

// The port gave an error of its own (the parport device's ioctls): the port is given up.
bool port_failed() { return lp_io_failure() != 0; }

// The surplus store and the printer's state live in the port's shared state; an in-process
// harness has none and keeps them here.
int32_t own_owner = 0;
uint32_t own_known = 0;
int32_t &surplus_owner() {
    ps_region *r = portshare_region();
    return r ? r->surplus_owner : own_owner;
}
uint32_t &printer_known() {
    ps_region *r = portshare_region();
    return r ? r->printer_known : own_known;
}

// Bytes read ahead for one connection never reach another: when the port passes to a new holder,
// what another left in the store is dropped.
void own_surplus() {
    const int32_t me = int32_t(getpid());
    if (surplus_owner() != me && lp_fifo_surplus() > 0) {
        log_trace(2, "%u bytes read ahead for another connection dropped\n", unsigned(lp_fifo_surplus()));
        lp_fifo_surplus_clear();
    }
    surplus_owner() = me;
}

negotiation_failure why_not(int32_t result) {
    if (result == -1)
        return {MSG_FAIL_NO_PERIPHERAL, "no answer to the IEEE 1284 negotiation (event 2)"};
    switch (lp_negotiation_end()) {
    case LP_NEG_REFUSED: return {MSG_FAIL_REFUSED, "ECP mode refused by the peripheral"};
    case LP_NEG_NO_EVENT6: return {MSG_FAIL_NEGOTIATION, "IEEE 1284 negotiation failed (event 6)"};
    case LP_NEG_NO_EVENT31: return {MSG_FAIL_NEGOTIATION, "IEEE 1284 negotiation failed (event 31)"};
    default: return {MSG_FAIL_NEGOTIATION, "IEEE 1284 negotiation failed"};
    }
}

// Opened once per service process: without an ECR, or with a FIFO the probe could not measure,
// the FIFO transfers could not work at all, so the software handshake takes over. Its pauses of
// a few microseconds per byte must last what they say, so the process's timer slack goes down,
// before the open: the open's own pauses (eight of 50 us) would each take the default slack more.
void open_the_port() {
    lp_io_fine_timers();
    open_port = lp_port_open_at(int32_t(dpa_port.base), dpa_port.ecp);
    if (lp_io_tristate() == 0)
        open_port->priv->output_only = 1;  // the kernel knows the port cannot turn its data lines
    if (open_port->priv->output_only)
        log_trace(0, "output only: reading from the printer is impossible on this port (set the BIOS to PS/2 or ECP)\n");
    if (!fifo_mode || lp_port_has_fifo(open_port))
        return;
    fifo_mode = 0;
    if (dpa_device != nullptr)
        log_trace(0, "no ECP FIFO behind the kernel's parport device %s: using the software handshake (no probe)\n",
                  dpa_device);
    else if (dpa_port.ecp == LP_NO_ECP)
        log_trace(0, "no ECP registers for the port at 0x%lx: using the software handshake\n", dpa_port.base);
    else
        log_trace(0,
                  "no ECP FIFO at 0x%x: using the software handshake; "
                  "set the port to ECP in the BIOS setup for full speed\n",
                  unsigned(open_port->base_hi));
}

void port_access_failed(int err) {
    char way_out[320];
    log_error("port access failed, %s%s", std::strerror(err), lp_io_explain(err, way_out, sizeof way_out));
}

// The kernel's claim goes with our lock: released first, so the next holder's claim never waits.
// terminated: the link was left in compatibility mode, so the next open need not reset the printer.
void give_back(bool terminated = false) {
    if (port_lock_held())
        printer_known() = terminated && !port_failed() ? 1 : 0;
    lp_io_release();
    port_lock_drop();
}

}  // namespace

extern "C" {

struct port_data *open_port = nullptr;
int fifo_mode = 1;
struct lp_port_addr dpa_port = {LP_ONBOARD_BASE, LP_ONBOARD_BASE + LP_ISA_ECP_OFFSET};
const char *dpa_device = nullptr;
int dpa_must_end = 0;

void dpa_set_client(int fd) { client_fd = fd; }

int dpa_ready(void) { return open_port != nullptr && port_lock_held(); }

int dpa_init(int negotiate) {
    if (const int why = port_lock_take(client_fd); why != 0)
        return why;  // busy for the whole wait, or the client left
    if (open_port == nullptr) {
        const int err = lp_io_acquire(dpa_port.base);  // the one place root is needed (x86)
        if (err != 0) {
            port_access_failed(err);
            port_lock_drop();
            return MSG_FAIL_PORT_ACCESS;
        }
        if (drop_root() != 0) {
            dpa_must_end = 1;
            return MSG_FAIL_PORT_ACCESS;
        }
    }
    lp_io_claim_wait(wait_timeout_ms);
    if (const int err = lp_io_claim(); err != 0) {
        if (err == EBUSY) {
            log_error("the kernel's parport device stayed claimed by another of its users (lp?)");
            port_lock_drop();
            return MSG_FAIL_BUSY;
        }
        port_access_failed(err);
        port_lock_drop();
        return MSG_FAIL_PORT_ACCESS;
    }
    own_surplus();
    const bool known = printer_known() != 0;
    printer_known() = 0;  // until a release leaves it in compatibility mode again
    if (open_port == nullptr) {
        open_the_port();
        if (!known)
            lp_port_reset_printer(open_port);  // first open since the daemon started, or a holder died
    }
    if (negotiate) {
        end_forward(true);  // a negotiation starts with a termination
        const int32_t r = lp_negotiate(open_port, LP_MODE_ECP);
        if (port_failed()) {
            give_back();
            return MSG_FAIL_PORT_ACCESS;
        }
        if (r != 0) {
            const negotiation_failure f = why_not(r);
            log_error("%s", f.line);
            give_back(true);  // nothing to drive: the next client may try
            return f.reason;
        }
    }
    return 0;
}

int dpa_output_only(void) { return open_port != nullptr && open_port->phys->priv->output_only; }

int dpa_settle(void) { return dpa_ready() ? end_forward(true) : 0; }

int32_t dpa_reset(void) {
    if (!dpa_ready())
        return 0;  // never opened, or already given back
    // A WRITE returns once its bytes are in the port; the termination must not cut off the last
    // of them on their way to a slow or paused printer.
    end_forward(true);
    lp_negotiate(open_port, LP_MODE_COMPAT);
    give_back(true);
    const int32_t lost = dropped;
    dropped = 0;
    return lost;
}

void dpa_release(void) {
    // A connection that ends (or is cut) without RESET leaves the printer as RESET would: its
    // last bytes taken (or dropped, on an error line), the link terminated to compatibility mode,
    // and only then the port handed on (and the kernel's claim released). The bytes read ahead
    // for it go with it.
    bool terminated = false;
    if (dpa_ready()) {
        end_forward(false);
        if (open_port->phys->mode != LP_MODE_COMPAT)
            lp_negotiate(open_port, LP_MODE_COMPAT);
        terminated = true;
        if (surplus_owner() == int32_t(getpid()) && lp_fifo_surplus() > 0) {
            log_trace(2, "%u bytes read ahead and not asked for dropped\n", unsigned(lp_fifo_surplus()));
            lp_fifo_surplus_clear();
        }
    }
    give_back(terminated);
}

int dpa_reverse_pending(void) {
    if (!dpa_ready() || open_port->phys->mode != LP_MODE_ECP)
        return 0;
    struct port_data *port = open_port->phys;
    // A software read leaves the link reversed; only forward idle shows nPeriphRequest.
    if (port->phase == LP_PH_REV_IDLE || port->phase == LP_PH_ECP_DIR_UNKNOWN)
        lp_ecp_to_forward(port);
    if (port->phase != LP_PH_FWD_IDLE)
        return 0;
    if (fifo_mode && !lp_fifo_empty(port))
        return -1;  // the link can turn only once the printed bytes have left the FIFO
    return (lp_read_status(port) & 0x08) == 0 ? 1 : 0;  // nFault low: nPeriphRequest
}

void dpa_printer_unknown(void) { printer_known() = 0; }

int dpa_surplus_setup(void) {
    // Bytes the port pulled in beyond a READ must outlive a service process's RESET and INIT but
    // never reach another connection: one store for the port, in its shared state (so every
    // daemon on the port sees it), set up before any fork, which every service process inherits;
    // who it belongs to is kept beside it (own_surplus).
    if (ps_region *r = portshare_region()) {
        lp_fifo_surplus_attach(&r->surplus);
        return 0;
    }
    void *map = mmap(nullptr, sizeof(lp_surplus), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) {
        log_error_errno("surplus store failed");
        return -1;
    }
    lp_fifo_surplus_attach(static_cast<lp_surplus *>(map));  // the mapping comes zero-filled: empty
    return 0;
}

void hex_dump(const uint8_t *data, int32_t size) {
    std::printf(" [");
    for (int32_t i = 0; i < size && i < 32; i++)
        std::printf(" %02x", data[i]);
    std::printf(" ]\n");
}

int dpa_read(uint8_t *buf, int32_t size) {
    if (verbose > 4)
        std::printf("dpa_read: %d bytes claimed ( in hex %02x %02x )\n", size, size >> 8, size % 256);
    const int32_t n = lp_device_read(open_port, buf, size);
    if (port_failed())
        give_back();
    if (verbose > 4) {
        std::printf("dpa_read: %d bytes", n);
        hex_dump(buf, n);
    }
    return n;
}

int dpa_write(uint8_t *buf, int32_t size) {
    if (verbose > 4) {
        std::printf("dpa_write: %d bytes", size);
        hex_dump(buf, size);
    }
    const int32_t n = lp_device_write(open_port, buf, size);
    if (port_failed())
        give_back();
    return n;
}

int32_t lp_device_read(struct port_data *port, uint8_t *buf, int32_t size) {
    const uint64_t len = uint64_t(int64_t(size));
    if (fifo_mode == 0)
        return int32_t(lp_ecp_read_data(port, buf, len));
    const uint64_t n = lp_fifo_read_block(port, buf, len);
    lp_fifo_read_finish(port);
    return int32_t(n);
}

int32_t lp_device_write(struct port_data *port, uint8_t *buf, int32_t size) {
    // Count 0 means "up to the first zero byte"; the request loop keeps a zero right after the
    // received payload, so the scan ends there at the latest.
    if (size == 0)
        size = int32_t(std::strlen(reinterpret_cast<const char *>(buf)));
    const uint64_t len = uint64_t(int64_t(size));
    if (fifo_mode == 0)
        return int32_t(m_parport_ieee1284_ecp_write_data(port, buf, len));
    return int32_t(m_mfp_fifo_write_block(port, buf, len));
}

}  // extern "C"
