// tessal-announce: the program that publishes the printer on the LAN by DNS-SD through the
// system's Avahi daemon (libavahi-client over D-Bus), and withdraws it when it ends.
//
// The daemon execs it (service/announce.cc) as a child of the listener, after the printer's
// Device ID has been read and root given up, so Avahi's libraries (libavahi-client and what it
// pulls in: libdbus, libsystemd, libgcrypt, the compressors) live in this process alone. The
// daemon's own binary does not link them: every service process it forks starts, faults in and
// tears down less, and a failure here (no bus, no Avahi daemon, a D-Bus policy that refuses)
// costs the printing nothing. It blocks in Avahi's simple poll and ends on SIGTERM (from the
// listener when it stops, or from the kernel when the listener dies: the parent-death signal
// survives the exec), freeing its entry group so the services go at once.
//
// It publishes "tessal on HOST" as _tessal._tcp on the request port and, with the raw port on,
// as _pdl-datastream._tcp there too (service/dnssd.h says what the records hold). Avahi resolves
// a name taken on the LAN by an alternative ("... #2"). Nothing here gives up for good: with no
// system bus yet it tries again (1 s doubling to 8 s); an Avahi daemon that is not running yet,
// or restarts, is waited for by the client itself (AVAHI_CLIENT_NO_FAIL); a bus that goes away
// ends the client, and a new one starts over. The Device ID comes from the port's shared state,
// mapped read-only from the descriptor the daemon hands over; the records follow it within
// kIdCheckMs once a client reads a new one.
//
// Rejected: Avahi's threaded poll in the listener (a thread that every fork would copy half of),
// a forked child of the listener without the exec (the daemon's binary would still link Avahi,
// and every service process would map and tear down its 14 libraries), dlopen of libavahi-client
// (the same code, found at run time, with no link-time check of the calls), and static service
// files in /etc/avahi/services (they need root to write, outlive the daemon, and cannot carry the
// Device ID).
//
// Usage (by the daemon only): tessal-announce VERBOSE PORT RAW_PORT STATE_FD
// STATE_FD is a descriptor of the port's lock file (-1: none); RAW_PORT 0 means no raw port.
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>

#include "port/log.h"
#include "service/daemon.h"
#include "service/dnssd.h"
#include "service/portshare.h"

namespace {

constexpr unsigned kIdCheckMs = 5000;
constexpr unsigned kFirstRetryMs = 1000;  // no system bus: the next try, doubling
constexpr unsigned kLastRetryMs = 8000;

struct state {
    AvahiSimplePoll *poll = nullptr;
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
    const ps_region *shared = nullptr;  // the port's state, read-only; null: no Device ID to show
    std::string name;  // as published, after any collision
    int port = 0, raw_port = 0;
    int64_t id_time = -1;  // the cache's time stamp the records were made from
    std::string host;
    bool said_waiting = false, said_no_bus = false;
    unsigned retry_ms = kFirstRetryMs;
    AvahiTimeout *reconnect = nullptr;  // armed when the client must start over
};

AvahiStringList *txt_list(const std::vector<std::string> &records) {
    AvahiStringList *l = nullptr;
    for (auto it = records.rbegin(); it != records.rend(); ++it)
        l = avahi_string_list_add(l, it->c_str());  // adds in front: the order stays as given
    return l;
}

dnssd_printer printer(state &s) {
    int64_t when = 0;
    const dnssd_printer p = dnssd_describe(dnssd_cached_id(s.shared, &when));
    s.id_time = when;
    return p;
}

// Adds both services to the group and commits it. AVAHI_ERR_COLLISION when the name is taken
// locally (another daemon on this machine): the caller picks another.
int add_services(state &s) {
    const dnssd_printer p = printer(s);
    const auto flags = AvahiPublishFlags(0);
    AvahiStringList *t = txt_list(dnssd_txt_tessal(p, s.host, s.raw_port));
    int err = avahi_entry_group_add_service_strlst(s.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, flags,
                                                   s.name.c_str(), DNSSD_TESSAL_TYPE, nullptr, nullptr,
                                                   uint16_t(s.port), t);
    avahi_string_list_free(t);
    if (err == 0 && s.raw_port > 0) {
        AvahiStringList *r = txt_list(dnssd_txt_raw(p, s.host));
        err = avahi_entry_group_add_service_strlst(s.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, flags,
                                                   s.name.c_str(), DNSSD_RAW_TYPE, nullptr, nullptr,
                                                   uint16_t(s.raw_port), r);
        avahi_string_list_free(r);
    }
    return err == 0 ? avahi_entry_group_commit(s.group) : err;
}

void rename(state &s) {
    char *alt = avahi_alternative_service_name(s.name.c_str());
    log_trace(0, "DNS-SD: the name \"%s\" is taken on the network, trying \"%s\"\n", s.name.c_str(), alt);
    s.name = alt;
    avahi_free(alt);
}

void publish(state &s);

void on_group(AvahiEntryGroup *g, AvahiEntryGroupState st, void *ud) {
    state &s = *static_cast<state *>(ud);
    switch (st) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED: {
        int64_t when = 0;
        const std::string ty = dnssd_describe(dnssd_cached_id(s.shared, &when)).ty;
        if (s.raw_port > 0)
            log_trace(0, "DNS-SD: announcing \"%s\" as \"%s\" (%s port %d, %s port %d)\n", s.name.c_str(), ty.c_str(),
                      DNSSD_RAW_TYPE, s.raw_port, DNSSD_TESSAL_TYPE, s.port);
        else
            log_trace(0, "DNS-SD: announcing \"%s\" as \"%s\" (%s port %d)\n", s.name.c_str(), ty.c_str(),
                      DNSSD_TESSAL_TYPE, s.port);
        break;
    }
    case AVAHI_ENTRY_GROUP_COLLISION:
        rename(s);
        publish(s);
        break;
    case AVAHI_ENTRY_GROUP_FAILURE:
        log_error("DNS-SD: announcing failed, %s", avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))));
        break;
    default:
        break;
    }
}

void publish(state &s) {
    if (s.group == nullptr && (s.group = avahi_entry_group_new(s.client, on_group, &s)) == nullptr) {
        log_error("DNS-SD: no entry group, %s", avahi_strerror(avahi_client_errno(s.client)));
        return;
    }
    avahi_entry_group_reset(s.group);
    for (int tries = 0; tries < 20; tries++) {
        const int err = add_services(s);
        if (err == 0)
            return;
        if (err != AVAHI_ERR_COLLISION) {
            log_error("DNS-SD: cannot announce \"%s\", %s", s.name.c_str(), avahi_strerror(err));
            return;
        }
        rename(s);
        avahi_entry_group_reset(s.group);
    }
}

void start_over_in(state &s, unsigned ms) {
    timeval tv;
    avahi_simple_poll_get(s.poll)->timeout_update(s.reconnect, avahi_elapse_time(&tv, ms, 0));
}

void on_client(AvahiClient *c, AvahiClientState st, void *ud) {
    state &s = *static_cast<state *>(ud);
    s.client = c;  // the callback may come before avahi_client_new returns
    switch (st) {
    case AVAHI_CLIENT_S_RUNNING:
        if (s.name.empty()) {
            s.host = avahi_client_get_host_name(c);
            s.name = dnssd_service_name(s.host);
        }
        s.said_waiting = false;
        publish(s);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        if (s.group != nullptr)
            avahi_entry_group_reset(s.group);  // the host name changes: published again once running
        break;
    case AVAHI_CLIENT_CONNECTING:
        // No Avahi daemon (yet, or any more): the client waits for one on the bus. A group of the
        // daemon that went is gone with it; a new one is made once it runs.
        if (s.group != nullptr)
            avahi_entry_group_free(s.group);
        s.group = nullptr;
        if (!s.said_waiting)
            log_trace(0, "DNS-SD: no Avahi daemon yet; announcing once it runs\n");
        s.said_waiting = true;
        break;
    case AVAHI_CLIENT_FAILURE:
        // The bus went away (D-Bus restarted), or the client cannot go on: start over, out of
        // this callback, and wait for the bus and the Avahi daemon to come back.
        log_trace(0, "DNS-SD: lost the Avahi daemon (%s); announcing again once it runs\n",
                  avahi_strerror(avahi_client_errno(c)));
        s.retry_ms = kFirstRetryMs;
        start_over_in(s, 0);
        break;
    }
}

void start_client(state &s) {
    int err = 0;
    AvahiClient *c = avahi_client_new(avahi_simple_poll_get(s.poll), AVAHI_CLIENT_NO_FAIL, on_client, &s, &err);
    s.client = c;
    if (c != nullptr) {
        s.retry_ms = kFirstRetryMs;
        s.said_no_bus = false;
        return;
    }
    // No system bus (a waiting client needs one): try again later; D-Bus may start after us.
    if (!s.said_no_bus)
        log_trace(0, "DNS-SD: not announcing yet: %s; trying again until D-Bus and the Avahi daemon run\n",
                  avahi_strerror(err));
    s.said_no_bus = true;
    start_over_in(s, s.retry_ms);
    s.retry_ms = std::min(s.retry_ms * 2, kLastRetryMs);
}

void on_reconnect(AvahiTimeout *t, void *ud) {
    state &s = *static_cast<state *>(ud);
    avahi_simple_poll_get(s.poll)->timeout_update(t, nullptr);
    if (s.client != nullptr)
        avahi_client_free(s.client);  // its group with it
    s.client = nullptr;
    s.group = nullptr;
    s.said_waiting = false;  // a new client: say again what it waits for
    start_client(s);
}

// The Device ID may have been read since the records were made: publish the new ones.
void on_timer(AvahiTimeout *t, void *ud) {
    state &s = *static_cast<state *>(ud);
    int64_t when = 0;
    dnssd_cached_id(s.shared, &when);
    if (when != s.id_time && s.group != nullptr && !avahi_entry_group_is_empty(s.group)) {
        const dnssd_printer p = printer(s);
        const auto flags = AvahiPublishFlags(0);
        AvahiStringList *txt = txt_list(dnssd_txt_tessal(p, s.host, s.raw_port));
        avahi_entry_group_update_service_txt_strlst(s.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, flags,
                                                    s.name.c_str(), DNSSD_TESSAL_TYPE, nullptr, txt);
        avahi_string_list_free(txt);
        if (s.raw_port > 0) {
            txt = txt_list(dnssd_txt_raw(p, s.host));
            avahi_entry_group_update_service_txt_strlst(s.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, flags,
                                                        s.name.c_str(), DNSSD_RAW_TYPE, nullptr, txt);
            avahi_string_list_free(txt);
        }
        log_trace(0, "DNS-SD: the printer is now announced as \"%s\"\n", p.ty.c_str());
    }
    timeval tv;
    avahi_simple_poll_get(s.poll)->timeout_update(t, avahi_elapse_time(&tv, kIdCheckMs, 0));
}

void on_signal(AvahiWatch *, int fd, AvahiWatchEvent, void *ud) {
    signalfd_siginfo si;
    while (read(fd, &si, sizeof si) > 0) {
    }
    avahi_simple_poll_quit(static_cast<state *>(ud)->poll);
}

// The announcer's life: 0 when it was asked to stop.
int run(state &s, int signals) {
    s.poll = avahi_simple_poll_new();
    if (s.poll == nullptr)
        return 1;
    const AvahiPoll *api = avahi_simple_poll_get(s.poll);
    api->watch_new(api, signals, AVAHI_WATCH_IN, on_signal, &s);
    timeval tv;
    api->timeout_new(api, avahi_elapse_time(&tv, kIdCheckMs, 0), on_timer, &s);
    s.reconnect = api->timeout_new(api, nullptr, on_reconnect, &s);
    start_client(s);
    avahi_simple_poll_loop(s.poll);
    if (s.client != nullptr)
        avahi_client_free(s.client);  // with its group: the services are withdrawn now
    avahi_simple_poll_free(s.poll);
    return 0;
}

bool number(const char *text, long lo, long hi, int &out) {
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi)
        return false;
    out = int(v);
    return true;
}

// The port's shared state, read-only: only the Device ID cache is looked at.
const ps_region *map_shared(int fd) {
    if (fd < 0)
        return nullptr;
    void *map = mmap(nullptr, sizeof(ps_region), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        log_error_errno("DNS-SD: the port's state cannot be read");
        return nullptr;
    }
    const auto *r = static_cast<const ps_region *>(map);
    return r->magic == PS_MAGIC && r->version == PS_VERSION && r->size == sizeof *r ? r : nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);  // lines interleave whole with the daemon's
    if (std::getenv(TESSAL_SYSLOG_ENV) != nullptr)
        log_to_syslog();  // the daemon detached: its lines, and so this program's, go to syslog
    state s;
    int fd = -1;
    if (argc != 5 || !number(argv[1], INT_MIN, INT_MAX, verbose) || !number(argv[2], 0, 65535, s.port) ||
        !number(argv[3], 0, 65535, s.raw_port) || !number(argv[4], -1, INT_MAX, fd)) {
        log_error("usage: tessal-announce VERBOSE PORT RAW_PORT STATE_FD (started by tessal)");
        return 2;
    }
    s.shared = map_shared(fd);
    // The daemon blocked these before it forked, and the mask survives the exec; they are read
    // from a signalfd, so a stop that came before the poll is not lost.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    const int signals = signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals < 0) {
        log_error_errno("DNS-SD: signalfd failed");
        return 1;
    }
    const int status = run(s, signals);
    std::fflush(stdout);
    return status;
}
