// The device access entry points: INIT, RESET, READ and WRITE reach the peripheral here.
//
// The port is acquired (through the seam: setuid(0) + iopl(3) on real hardware, opening the
// device for the kernel's parport device) and probed once per service process, at its first INIT;
// every INIT negotiates ECP again. Holding the port is our lock and, where the backend shares the
// port with the kernel (the parport device), the kernel's claim: taken together, given back
// together. An INIT that cannot reach the port, or whose negotiation fails, is answered FAIL with
// the reason and one error line naming the cause, and gives the port back. A port without a
// usable ECP FIFO is driven by software handshake.
#include <sys/mman.h>

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

// Before a termination, a negotiation or a hand-over: the FIFO's last printed bytes reach the
// printer and the ECR leaves ECP FIFO mode, whose hardware would keep the handshake off the wire.
void end_forward() {
    if (fifo_mode && lp_fifo_write_end(open_port) != 0)
        log_error("printed bytes still in the FIFO were dropped: the printer took nothing for 5 s");
}

negotiation_failure why_not(int32_t result) {
    if (result == -1)
        return {MSG_FAIL_NO_PERIPHERAL, "no answer to the IEEE 1284 negotiation (event 2)"};
    switch (lp_negotiation_end()) {
    case LP_NEG_REFUSED: return {MSG_FAIL_REFUSED, "ECP mode refused by the peripheral"};
    case LP_NEG_NO_EVENT6: return {MSG_FAIL_NEGOTIATION, "IEEE 1284 negotiation failed (event 6)"};
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
void give_back() {
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
    if (const int err = lp_io_claim(); err != 0) {
        port_access_failed(err);
        port_lock_drop();
        return MSG_FAIL_PORT_ACCESS;
    }
    if (open_port == nullptr)
        open_the_port();
    if (negotiate) {
        end_forward();  // a negotiation starts with a termination
        const int32_t r = lp_negotiate(open_port, LP_MODE_ECP);
        if (r != 0) {
            const negotiation_failure f = why_not(r);
            log_error("%s", f.line);
            give_back();  // nothing to drive: the next client may try
            return f.reason;
        }
    }
    return 0;
}

void dpa_reset(void) {
    if (!dpa_ready())
        return;  // never opened, or already given back
    // A WRITE returns once its bytes are in the FIFO; the termination must not cut off the last
    // of them on their way to a slow peripheral.
    end_forward();
    lp_negotiate(open_port, LP_MODE_COMPAT);
    give_back();
}

void dpa_release(void) {
    // Likewise when the connection ends without RESET: the next holder's probe empties the FIFO.
    if (dpa_ready())
        end_forward();
    give_back();
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

int dpa_surplus_setup(void) {
    // Bytes the port pulled in beyond a READ belong to the port, not to the service process that
    // happened to read: one store for the port, in its shared state (so every daemon on the port
    // sees it), set up before any fork, which every service process inherits.
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
    return lp_device_write(open_port, buf, size);
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
