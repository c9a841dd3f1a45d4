// Finding tessal daemons on the LAN, for `lpinfo -v` and the "Add Printer" page: the backend run
// with no arguments browses DNS-SD for _tessal._tcp through the system's Avahi daemon and lists
// each daemon it resolves as a tessal://HOST:PORT device, with the make and model its TXT records
// carry.
//
// HOST is the name the daemon's machine announces ("printhost.local") when this machine can
// resolve it (libnss-mdns), since an address handed out by DHCP may change; otherwise its
// address. CUPS gives discovery a few seconds, so the browse ends once Avahi has said it has
// nothing more for now and every daemon found is resolved, or after kBrowseMs at most.
//
// Rejected: listing _pdl-datastream._tcp as well (CUPS's own dnssd backend lists those already,
// as socket:// devices), and asking each daemon for its Device ID over TCP (a printer that is
// switched off would hold up the whole list).
#include <netdb.h>
#include <net/if.h>

#include <cstdio>
#include <string>
#include <vector>

#include "packaging/cups/backend.h"

namespace {

// A quoted field of a device line: no quote or control byte of a TXT record can break it.
std::string field(const std::string &text) {
    std::string s = clean_text(text);
    for (char &c : s)
        if (c == '"' || c == '\\')
            c = '\'';
    return s;
}

}  // namespace

#if TESSAL_HAVE_AVAHI
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/strlst.h>
#include <avahi-common/timeval.h>
#include <avahi-common/malloc.h>

namespace {

constexpr unsigned kBrowseMs = 4000;

struct daemon_found {
    std::string name, host, address, note, ty, mfg, mdl, cmd;
    uint16_t port = 0;
    bool ipv6 = false;
};

struct browse {
    AvahiSimplePoll *poll = nullptr;
    AvahiClient *client = nullptr;
    int resolving = 0;
    bool all_for_now = false;
    std::vector<daemon_found> found;
};

void maybe_done(browse &b) {
    if (b.all_for_now && b.resolving == 0)
        avahi_simple_poll_quit(b.poll);
}

std::string txt_value(AvahiStringList *txt, const char *key) {
    AvahiStringList *e = avahi_string_list_find(txt, key);
    char *k = nullptr, *v = nullptr;
    if (e == nullptr || avahi_string_list_get_pair(e, &k, &v, nullptr) != 0)
        return "";
    std::string value = v ? v : "";
    avahi_free(k);
    avahi_free(v);
    return value;
}

void on_resolve(AvahiServiceResolver *r, AvahiIfIndex iface, AvahiProtocol, AvahiResolverEvent ev, const char *name,
                const char *, const char *, const char *host, const AvahiAddress *a, uint16_t port,
                AvahiStringList *txt, AvahiLookupResultFlags, void *ud) {
    browse &b = *static_cast<browse *>(ud);
    if (ev == AVAHI_RESOLVER_FOUND) {
        daemon_found d;
        d.name = name;
        d.host = host;
        d.port = port;
        char addr[AVAHI_ADDRESS_STR_MAX];
        avahi_address_snprint(addr, sizeof addr, a);
        d.address = addr;
        d.ipv6 = a->proto == AVAHI_PROTO_INET6;
        char ifname[IF_NAMESIZE];
        if (d.ipv6 && d.address.rfind("fe80:", 0) == 0 && if_indextoname(unsigned(iface), ifname) != nullptr)
            d.address += std::string("%25") + ifname;  // a link-local address needs its zone
        d.note = txt_value(txt, "note");
        d.ty = txt_value(txt, "ty");
        d.mfg = txt_value(txt, "usb_MFG");
        d.mdl = txt_value(txt, "usb_MDL");
        d.cmd = txt_value(txt, "usb_CMD");
        b.found.push_back(d);
    }
    avahi_service_resolver_free(r);
    b.resolving--;
    maybe_done(b);
}

void on_browse(AvahiServiceBrowser *, AvahiIfIndex iface, AvahiProtocol proto, AvahiBrowserEvent ev, const char *name,
               const char *type, const char *domain, AvahiLookupResultFlags, void *ud) {
    browse &b = *static_cast<browse *>(ud);
    switch (ev) {
    case AVAHI_BROWSER_NEW:
        if (avahi_service_resolver_new(b.client, iface, proto, name, type, domain, AVAHI_PROTO_UNSPEC,
                                       AvahiLookupFlags(0), on_resolve, &b) != nullptr)
            b.resolving++;
        break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
        b.all_for_now = true;
        maybe_done(b);
        break;
    case AVAHI_BROWSER_FAILURE:
        avahi_simple_poll_quit(b.poll);
        break;
    default:
        break;
    }
}

void on_deadline(AvahiTimeout *, void *ud) { avahi_simple_poll_quit(static_cast<browse *>(ud)->poll); }

bool resolves(const std::string &host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0)
        return false;
    freeaddrinfo(res);
    return true;
}

found_daemon describe(const daemon_found &d) {
    found_daemon f;
    std::string host = resolves(d.host) ? d.host : d.address;
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]";
    f.uri = "tessal://" + host + ":" + std::to_string(d.port);
    f.make_model = !d.mfg.empty() && !d.mdl.empty() ? d.mfg + " " + d.mdl : d.ty;
    if (f.make_model.empty())
        f.make_model = "Unknown";
    f.device_id = !d.mfg.empty() && !d.mdl.empty() ? "MFG:" + d.mfg + ";MDL:" + d.mdl + ";" : "";
    f.name = d.name;
    f.note = d.note;
    f.command_set = d.cmd;
    return f;
}

}  // namespace

std::vector<found_daemon> find_daemons() {
    std::vector<found_daemon> out;
    browse b;
    b.poll = avahi_simple_poll_new();
    if (b.poll == nullptr)
        return out;
    int err = 0;
    b.client = avahi_client_new(avahi_simple_poll_get(b.poll), AvahiClientFlags(0), nullptr, nullptr, &err);
    AvahiServiceBrowser *sb = nullptr;
    if (b.client != nullptr)
        sb = avahi_service_browser_new(b.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, "_tessal._tcp", nullptr,
                                       AvahiLookupFlags(0), on_browse, &b);
    if (sb != nullptr) {
        timeval tv;
        const AvahiPoll *api = avahi_simple_poll_get(b.poll);
        api->timeout_new(api, avahi_elapse_time(&tv, kBrowseMs, 0), on_deadline, &b);
        avahi_simple_poll_loop(b.poll);
    } else if (b.client != nullptr || err != AVAHI_ERR_NO_DAEMON) {
        std::fprintf(stderr, "DEBUG: no DNS-SD browsing: %s\n",
                     avahi_strerror(b.client ? avahi_client_errno(b.client) : err));
    }
    // One line per daemon, though it is seen on several interfaces and both address families;
    // an IPv4 address is preferred where the name does not resolve here.
    std::vector<const daemon_found *> shown;
    for (const daemon_found &d : b.found) {
        const daemon_found **same = nullptr;
        for (auto &s : shown)
            if (s->name == d.name)
                same = &s;
        if (same == nullptr)
            shown.push_back(&d);
        else if ((*same)->ipv6 && !d.ipv6)
            *same = &d;
    }
    for (const daemon_found *d : shown)
        out.push_back(describe(*d));
    if (b.client != nullptr)
        avahi_client_free(b.client);  // with its browser and resolvers
    avahi_simple_poll_free(b.poll);
    return out;
}

#else

std::vector<found_daemon> find_daemons() { return {}; }  // built without Avahi: the scheme line alone

#endif

void discover_daemons() {
    for (const found_daemon &f : find_daemons())
        std::printf("network %s \"%s\" \"%s\" \"%s\" \"%s\"\n", field(f.uri).c_str(), field(f.make_model).c_str(),
                    field(f.name).c_str(), field(f.device_id).c_str(), field(f.note).c_str());
    std::fflush(stdout);
}
