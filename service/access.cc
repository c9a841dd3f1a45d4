// Who may connect, where the daemon listens, and how each connection is kept honest.
//
// The allow list is checked in the listener right after accept, before anything is forked, so
// a refused peer costs one accept and one close. IPv4 peers that reach an IPv6 listener arrive
// as ::ffff:a.b.c.d and are matched against IPv4 ranges as themselves.
//
// TCP keepalive is switched on for every connection so that a client that vanished (power cut,
// cable pulled) is noticed within minutes: its service process ends and the port is released.
// Keepalive stays silent while data is outstanding, so TCP_USER_TIMEOUT, set to the time
// keepalive would take to give up, bounds the rest: a reply the client never acknowledges (a zero
// window: a client that stopped reading) ends the connection too, even once the whole reply has
// left the service process for the kernel's buffers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "port/log.h"
#include "service/daemon.h"

namespace {

struct cidr {
    int family;           // AF_INET or AF_INET6
    uint8_t addr[16];
    int prefix;
};

std::vector<cidr> allow_list;
constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};  // ::ffff:a.b.c.d

bool parse_cidr(const std::string &word, cidr &out) {
    const auto slash = word.find('/');
    const std::string host = word.substr(0, slash);
    out = {};
    if (inet_pton(AF_INET, host.c_str(), out.addr) == 1) {
        out.family = AF_INET;
        out.prefix = 32;
    } else if (inet_pton(AF_INET6, host.c_str(), out.addr) == 1) {
        out.family = AF_INET6;
        out.prefix = 128;
    } else {
        return false;
    }
    if (slash != std::string::npos) {
        const std::string bits = word.substr(slash + 1);
        char *end = nullptr;
        const long p = std::strtol(bits.c_str(), &end, 10);
        if (bits.empty() || *end != '\0' || p < 0 || p > out.prefix)
            return false;
        out.prefix = int(p);
    }
    // An IPv4-mapped range (::ffff:a.b.c.d/n, n >= 96) is the IPv4 range it names: IPv4 clients
    // are matched as themselves, whichever socket they came in on.
    if (out.family == AF_INET6 && out.prefix >= 96 && std::memcmp(out.addr, kMapped, 12) == 0) {
        out.family = AF_INET;
        std::memmove(out.addr, out.addr + 12, 4);
        std::memset(out.addr + 4, 0, 12);
        out.prefix -= 96;
    }
    return true;
}

bool prefix_matches(const uint8_t *a, const uint8_t *b, int bits) {
    const int whole = bits / 8;
    if (std::memcmp(a, b, size_t(whole)) != 0)
        return false;
    const int rest = bits % 8;
    if (rest == 0)
        return true;
    const uint8_t mask = uint8_t(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

void set_int(int fd, int level, int name, int value) { setsockopt(fd, level, name, &value, sizeof value); }

}  // namespace

extern "C" {

int keepalive_idle = 60;     // seconds of silence before the first probe
int keepalive_interval = 10; // seconds between probes
int keepalive_count = 6;     // unanswered probes before the connection is dropped

int access_parse_allow(const char *list, char *err, size_t errlen) {
    allow_list.clear();
    const std::string text = list;
    size_t at = 0;
    for (;;) {
        const auto comma = text.find(',', at);
        const std::string word = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        cidr c;
        if (!parse_cidr(word, c)) {
            std::snprintf(err, errlen, "bad address range '%s' in --allow", word.c_str());
            return -1;
        }
        allow_list.push_back(c);
        if (comma == std::string::npos)
            return 0;
        at = comma + 1;
    }
}

int access_allowed(const struct sockaddr *sa) {
    if (allow_list.empty())
        return 1;
    int family = sa->sa_family;
    const uint8_t *addr = nullptr;
    if (family == AF_INET) {
        addr = reinterpret_cast<const uint8_t *>(&reinterpret_cast<const sockaddr_in *>(sa)->sin_addr);
    } else if (family == AF_INET6) {
        addr = reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr.s6_addr;
        if (std::memcmp(addr, kMapped, 12) == 0) {
            family = AF_INET;
            addr += 12;
        }
    } else {
        return 0;
    }
    for (const cidr &c : allow_list)
        if (c.family == family && prefix_matches(addr, c.addr, c.prefix))
            return 1;
    return 0;
}

void access_describe(const struct sockaddr *sa, char *out, size_t outlen) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (sa->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, host, sizeof host);
    } else if (sa->sa_family == AF_INET6) {
        const in6_addr &a = reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a))  // an IPv4 client of the dual-stack socket, named as itself
            inet_ntop(AF_INET, a.s6_addr + 12, host, sizeof host);
        else
            inet_ntop(AF_INET6, &a, host, sizeof host);
    }
    std::snprintf(out, outlen, "%s", host);
}

int listen_socket_at(const char *addr, int port, const char *option) {
    in_addr v4;
    if (inet_pton(AF_INET, addr, &v4) == 1)
        return listen_socket(ntohl(v4.s_addr), port, option);
    in6_addr v6;
    if (inet_pton(AF_INET6, addr, &v6) != 1) {
        log_error("bad listen address '%s'", addr);
        return -1;
    }
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = v6;
    sa.sin6_port = htons(uint16_t(port));
    return listen_on(reinterpret_cast<sockaddr *>(&sa), sizeof sa, option);
}

void access_tune_connection(int fd) {
    set_int(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    set_int(fd, IPPROTO_TCP, TCP_KEEPIDLE, keepalive_idle);
    set_int(fd, IPPROTO_TCP, TCP_KEEPINTVL, keepalive_interval);
    set_int(fd, IPPROTO_TCP, TCP_KEEPCNT, keepalive_count);
    set_int(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, (keepalive_idle + keepalive_interval * keepalive_count) * 1000);
}

}  // extern "C"
