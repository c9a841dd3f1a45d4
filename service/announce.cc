// The announcer: a child of the listener that publishes the printer on the LAN by DNS-SD through
// the system's Avahi daemon (libavahi-client over D-Bus), and withdraws it when it ends.
//
// A process of its own, forked once at start-up: the listener stays single-threaded and never
// runs Avahi's or D-Bus's code, no service process inherits any of it, and a failure here (no
// Avahi daemon, a D-Bus policy that refuses) costs the printing nothing. It gives up root for
// --user, blocks in Avahi's simple poll, and ends on SIGTERM (from the listener when it stops, or
// from the kernel when the listener dies), freeing its entry group so the services go at once.
//
// It publishes "tessal on HOST" as _tessal._tcp on the request port and, with the raw port on,
// as _pdl-datastream._tcp there too (service/dnssd.h says what the records hold). Avahi resolves
// a name taken on the LAN by an alternative ("... #2"), and the announcer follows an Avahi daemon
// that restarts. The Device ID comes from the port's shared cache, which the announcer looks at
// every kIdCheckMs: the records change once a client has read the ID, without a restart.
//
// Rejected: Avahi's threaded poll in the listener (a thread that every fork would copy half of),
// and static service files in /etc/avahi/services (they need root to write, outlive the daemon,
// and cannot carry the Device ID).
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "port/log.h"
#include "service/daemon.h"
#include "service/dnssd.h"
#include "service/portshare.h"

#if TESSAL_HAVE_AVAHI
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>
#endif

namespace {

pid_t announcer = -1;

#if TESSAL_HAVE_AVAHI

constexpr unsigned kIdCheckMs = 5000;

struct state {
    AvahiSimplePoll *poll = nullptr;
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
    std::string name;  // as published, after any collision
    int port = 0, raw_port = 0;
    int64_t id_time = -1;  // the cache's time stamp the records were made from
    std::string host;
    bool said_waiting = false;
    int status = 0;
    AvahiTimeout *reconnect = nullptr;  // armed when the Avahi daemon went away
};

void start_client(state &s);

AvahiStringList *txt_list(const std::vector<std::string> &records) {
    AvahiStringList *l = nullptr;
    for (auto it = records.rbegin(); it != records.rend(); ++it)
        l = avahi_string_list_add(l, it->c_str());  // adds in front: the order stays as given
    return l;
}

// Adds both services to the group and commits it. AVAHI_ERR_COLLISION when the name is taken
// locally (another daemon on this machine): the caller picks another.
int add_services(state &s) {
    int64_t when = 0;
    const dnssd_printer p = dnssd_describe(dnssd_cached_id(portshare_region(), &when));
    s.id_time = when;
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
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        if (s.raw_port > 0)
            log_trace(0, "DNS-SD: announcing \"%s\" (%s port %d, %s port %d)\n", s.name.c_str(), DNSSD_RAW_TYPE,
                      s.raw_port, DNSSD_TESSAL_TYPE, s.port);
        else
            log_trace(0, "DNS-SD: announcing \"%s\" (%s port %d)\n", s.name.c_str(), DNSSD_TESSAL_TYPE, s.port);
        break;
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

void on_client(AvahiClient *c, AvahiClientState st, void *ud) {
    state &s = *static_cast<state *>(ud);
    s.client = c;  // the callback may come before avahi_client_new returns
    switch (st) {
    case AVAHI_CLIENT_S_RUNNING:
        if (s.name.empty()) {
            s.host = avahi_client_get_host_name(c);
            s.name = dnssd_service_name(s.host);
        }
        publish(s);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        if (s.group != nullptr)
            avahi_entry_group_reset(s.group);  // the host name changes: published again once running
        break;
    case AVAHI_CLIENT_CONNECTING:
        if (!s.said_waiting)
            log_trace(0, "DNS-SD: no Avahi daemon yet; announcing once it runs\n");
        s.said_waiting = true;
        break;
    case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(c) == AVAHI_ERR_DISCONNECTED) {
            // The Avahi daemon went away (a restart): start over, out of this callback, and wait
            // for it to come back.
            timeval now;
            avahi_simple_poll_get(s.poll)->timeout_update(s.reconnect, avahi_elapse_time(&now, 0, 0));
        } else {
            log_error("DNS-SD: %s", avahi_strerror(avahi_client_errno(c)));
            s.status = 1;
            avahi_simple_poll_quit(s.poll);
        }
        break;
    }
}

void start_client(state &s) {
    int err = 0;
    AvahiClient *c = avahi_client_new(avahi_simple_poll_get(s.poll), AVAHI_CLIENT_NO_FAIL, on_client, &s, &err);
    s.client = c;
    if (c == nullptr) {
        // No system bus at all (a waiting client needs one): nothing to wait for.
        log_trace(0, "DNS-SD: not announcing: %s\n", avahi_strerror(err));
        avahi_simple_poll_quit(s.poll);
    }
}

void on_reconnect(AvahiTimeout *t, void *ud) {
    state &s = *static_cast<state *>(ud);
    avahi_simple_poll_get(s.poll)->timeout_update(t, nullptr);
    if (s.client != nullptr)
        avahi_client_free(s.client);  // its group with it
    s.client = nullptr;
    s.group = nullptr;
    s.said_waiting = false;
    start_client(s);
}

// The Device ID may have been read since the records were made: publish the new ones.
void on_timer(AvahiTimeout *t, void *ud) {
    state &s = *static_cast<state *>(ud);
    int64_t when = 0;
    dnssd_cached_id(portshare_region(), &when);
    if (when != s.id_time && s.group != nullptr && !avahi_entry_group_is_empty(s.group)) {
        const dnssd_printer p = dnssd_describe(dnssd_cached_id(portshare_region(), &when));
        s.id_time = when;
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
int run(int port, int raw_port, int signals) {
    state s;
    s.port = port;
    s.raw_port = raw_port;
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
    return s.status;
}

#endif  // TESSAL_HAVE_AVAHI

}  // namespace

extern "C" {

int announce_start(int port, int raw_port) {
#if TESSAL_HAVE_AVAHI
    const pid_t listener = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        log_error_errno("DNS-SD: fork failed");
        return -1;
    }
    if (pid > 0) {
        announcer = pid;
        return 0;
    }
    // The announcer. It ends with the listener, however the listener ends.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != listener)
        _exit(0);
    close_range(3, ~0U, 0);  // the listening sockets and the rest are the listener's
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);  // blocked since listener_signals; taken by signalfd
    const int signals = signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals < 0 || drop_root() != 0)
        _exit(1);
    const int status = run(port, raw_port, signals);
    std::fflush(stdout);
    _exit(status);
#else
    (void)port;
    (void)raw_port;
    log_trace(0, "DNS-SD: not announcing: this tessal was built without Avahi (libavahi-client)\n");
    return 0;
#endif
}

void announce_stop(void) {
    if (announcer <= 0)
        return;
    kill(announcer, SIGTERM);
    // It frees its Avahi client and exits at once; one stuck in a D-Bus call is not waited for.
    for (int i = 0; i < 200; i++) {
        if (waitpid(announcer, nullptr, WNOHANG) == announcer) {
            announcer = -1;
            return;
        }
        usleep(10000);
    }
    kill(announcer, SIGKILL);
    waitpid(announcer, nullptr, 0);
    announcer = -1;
}

void announce_reaped(pid_t pid) {
    if (pid == announcer)
        announcer = -1;  // it has said why
}

}  // extern "C"
