// DEVICE_ID: the printer's IEEE 1284 Device ID for a client, and the cache that lets a busy port
// answer it at once.
//
// A read takes the port as INIT does (the queue, the lock, acquiring and opening it on the first
// use in the process) and leaves the link as it found it: a connection that held the port in ECP
// mode has ECP negotiated again, so its next READ or WRITE goes on as before; one that did not
// hold it gives it back. A good ID goes into the port's shared state with the time it was read,
// and a failed read empties it, so the cache never names a printer the port no longer answers for.
//
// The cache answers without touching the port while it is fresh (DEVID_FRESH_MS), and at any age
// while another connection holds the port: a print job never delays the query, nor the query the
// job. Rejected: answering only from the cache (the first query after start-up would have nothing,
// and a printer changed while the daemon ran would never be seen), and always reading (a query
// during a long job would wait for its end).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "ieee1284/ieee1284.h"
#include "port/log.h"
#include "wire/frame.h"
#include "service/portshare.h"
#include "service/requests.h"

namespace {

int64_t wall_ms() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// True when another connection (of this daemon or another on the port) holds the port now.
bool another_holds() {
    if (portshare_region() == nullptr || port_lock_held())
        return false;
    portshare_lock();
    const bool held = portshare_holder() >= 0;
    portshare_unlock();
    return held;
}

// Reads the ID on the port, taking it first unless this connection holds it, and leaves the link
// as it was. 0 with the ID in payload and its length in *len, or the reason to answer FAIL with.
int read_now(uint8_t *payload, int32_t *len) {
    const bool held = dpa_ready();
    const int32_t mode = held ? open_port->mode : LP_MODE_COMPAT;
    if (!held) {
        if (const int why = dpa_init(0); why != 0)
            return why;  // busy for the whole wait, or the port cannot be reached
    } else {
        dpa_settle();  // the session's last printed bytes reach the printer before the link turns
    }
    if (dpa_output_only()) {
        if (!held)
            dpa_release();
        return MSG_FAIL_OUTPUT_ONLY;
    }
    static lp_device_id id;  // 1 KiB of text: kept off the stack of a service process
    lp_device_id_read(open_port, fifo_mode, &id);
    // The ID's length is its length field's, not strlen's: an ID may hold a NUL byte.
    const size_t n = id.status == LP_ID_OK ? std::min<size_t>(id.length - 2, LP_DEVICE_ID_MAX) : 0;
    devid_cache_put(id.text, n);
    if (held && mode != LP_MODE_COMPAT && lp_negotiate(open_port, mode) != 0) {
        // The ID was read, but the session's link is gone: its READs and WRITEs must now fail
        // rather than drive a peripheral that is no longer in their mode.
        log_error("the link did not return to its mode after the Device ID was read");
        port_lock_drop();
    } else if (!held) {
        dpa_release();  // the ID read has left the link terminated, as a RESET would
    }
    if (id.status != LP_ID_OK) {
        log_trace(2, "Device ID not read: %s\n", lp_id_status_text(id.status));
        return id.status == LP_ID_NO_PERIPHERAL ? MSG_FAIL_NO_PERIPHERAL : MSG_FAIL_NO_ID;
    }
    std::memcpy(payload, id.text, n);
    *len = int32_t(n);
    return 0;
}

}  // namespace

extern "C" {

void devid_cache_put(const char *id, size_t len) {
    ps_region *r = portshare_region();
    if (r == nullptr)
        return;  // an in-process harness keeps no state for the port
    if (len > sizeof r->devid.devid)
        len = 0;  // cannot happen for an ID the link accepted; never keep a part of one
    portshare_lock();
    std::memcpy(r->devid.devid, id, len);
    r->devid.devid_len = uint16_t(len);
    r->devid.devid_time = wall_ms();
    portshare_unlock();
}

size_t devid_cache_get(char *out, size_t cap, int64_t *age_ms) {
    ps_region *r = portshare_region();
    if (r == nullptr)
        return 0;
    portshare_lock();
    size_t n = r->devid.devid_len;
    if (n > cap || n > sizeof r->devid.devid)
        n = 0;
    std::memcpy(out, r->devid.devid, n);
    const int64_t at = r->devid.devid_time;
    portshare_unlock();
    const int64_t now = wall_ms();
    // A time ahead of the clock (the clock was set back) makes the entry old, not young.
    *age_ms = at <= now ? now - at : INT64_MAX;
    return n;
}

int devid_cache_answers(size_t len, int64_t age_ms, int port_busy) {
    return len > 0 && (age_ms <= DEVID_FRESH_MS || port_busy);
}

int dpa_device_id(uint8_t *payload, int32_t *len) {
    char cached[sizeof(ps_devid_cache::devid)];
    int64_t age = 0;
    const size_t n = devid_cache_get(cached, sizeof cached, &age);
    if (devid_cache_answers(n, age, another_holds())) {
        std::memcpy(payload, cached, n);
        *len = int32_t(n);
        return 0;
    }
    return read_now(payload, len);
}

}  // extern "C"
