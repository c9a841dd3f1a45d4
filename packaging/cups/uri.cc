#include "packaging/cups/backend.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace {

constexpr std::string_view SCHEME = "tessal://";

bool is_hex(char c) { return std::isxdigit((unsigned char)c) != 0; }

int hex_value(char c) {
    return c <= '9' ? c - '0' : (std::tolower((unsigned char)c) - 'a' + 10);
}

// A host name as the DNS allows it: dot-separated labels of letters, digits and inner hyphens,
// 1 to 63 bytes each, 253 in all (a final dot allowed). A name made only of numbers must be a
// whole dotted-quad IPv4 address, so "10.1" and "300.1.1.1" are refused rather than guessed at.
bool valid_name(std::string_view host) {
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    if (host.empty() || host.size() > 253)
        return false;
    bool all_numeric = true;
    size_t start = 0;
    while (start <= host.size()) {
        size_t end = host.find('.', start);
        if (end == std::string_view::npos)
            end = host.size();
        const std::string_view label = host.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!std::isalnum((unsigned char)c) && c != '-')
                return false;
        all_numeric = all_numeric && std::all_of(label.begin(), label.end(), [](char c) {
                          return std::isdigit((unsigned char)c) != 0;
                      });
        start = end + 1;
    }
    if (!all_numeric)
        return true;
    in_addr a;
    return inet_pton(AF_INET, std::string(host).c_str(), &a) == 1;
}

// [ADDRESS] or [ADDRESS%25ZONE]: the zone is percent-decoded and may hold only the characters
// an interface name or number uses.
bool valid_ipv6(std::string_view inside, std::string &host, std::string &why) {
    std::string_view addr = inside, zone;
    if (const size_t pct = inside.find('%'); pct != std::string_view::npos) {
        addr = inside.substr(0, pct);
        if (inside.substr(pct, 3) != "%25") {
            why = "an IPv6 zone is written %25ZONE";
            return false;
        }
        zone = inside.substr(pct + 3);
        if (zone.empty()) {
            why = "an empty IPv6 zone";
            return false;
        }
    }
    in6_addr a;
    if (inet_pton(AF_INET6, std::string(addr).c_str(), &a) != 1) {
        why = "not an IPv6 address in the brackets";
        return false;
    }
    std::string decoded;
    for (size_t i = 0; i < zone.size(); ++i) {
        char c = zone[i];
        if (c == '%') {
            if (i + 2 >= zone.size() || !is_hex(zone[i + 1]) || !is_hex(zone[i + 2])) {
                why = "a bad %-escape in the IPv6 zone";
                return false;
            }
            c = char(hex_value(zone[i + 1]) * 16 + hex_value(zone[i + 2]));
            i += 2;
        }
        if (!std::isalnum((unsigned char)c) && c != '.' && c != '_' && c != '~' && c != '-') {
            why = "the IPv6 zone may hold only letters, digits and . _ ~ -";
            return false;
        }
        decoded += c;
    }
    host = std::string(addr) + (decoded.empty() ? "" : "%" + decoded);
    return true;
}

}  // namespace

bool parse_uri(std::string_view uri, device_uri &out, std::string &why) {
    if (uri.size() < SCHEME.size() ||
        !std::equal(SCHEME.begin(), SCHEME.end(), uri.begin(),
                    [](char a, char b) { return a == std::tolower((unsigned char)b); })) {
        why = "the URI does not start with tessal://";
        return false;
    }
    std::string_view rest = uri.substr(SCHEME.size());
    const size_t auth_end = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, auth_end);
    const std::string_view tail = auth_end == std::string_view::npos ? "" : rest.substr(auth_end);
    if (authority.find('@') != std::string_view::npos) {
        why = "user information (a name or password before @) is not allowed";
        return false;
    }
    if (!tail.empty() && tail != "/") {
        why = "nothing may follow the host and port but a single /";
        return false;
    }
    std::string_view host, port;
    bool has_port = false;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            why = "the IPv6 address has no closing ]";
            return false;
        }
        if (!valid_ipv6(authority.substr(1, close - 1), out.host, why))
            return false;
        authority.remove_prefix(close + 1);
        if (!authority.empty() && authority.front() != ':') {
            why = "junk after the IPv6 address";
            return false;
        }
        has_port = !authority.empty();
        port = has_port ? authority.substr(1) : "";
    } else {
        const size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        has_port = colon != std::string_view::npos;
        port = has_port ? authority.substr(colon + 1) : "";
        if (!valid_name(host)) {
            why = "no usable host name (a DNS name, an IPv4 address or [IPv6])";
            return false;
        }
        out.host = std::string(host);
    }
    if (has_port) {
        unsigned long n = 0;
        const bool digits = !port.empty() && port.size() <= 5 &&
                            port.find_first_not_of("0123456789") == std::string_view::npos;
        if (digits)
            n = std::stoul(std::string(port));
        if (!digits || n == 0 || n > 65535) {
            why = "the port must be a number from 1 to 65535";
            return false;
        }
        out.port = uint16_t(n);
    }
    return true;
}

std::string uri_for_display(std::string_view uri) {
    std::string shown(uri);
    const size_t start = shown.find("://");
    if (start != std::string::npos) {
        const size_t auth = start + 3;
        const size_t auth_end = std::min(shown.find_first_of("/?#", auth), shown.size());
        const size_t at = shown.rfind('@', auth_end == 0 ? 0 : auth_end - 1);
        if (at != std::string::npos && at >= auth)
            shown.replace(auth, at - auth, "***");
    }
    return clean_text(shown);
}

std::string clean_text(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if ((unsigned char)c < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

bool parse_copies(const char *text, int *copies) {
    const std::string_view t(text);
    if (t.empty() || t.size() > 5 || t.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    const int n = std::stoi(std::string(t));
    if (n < 1 || n > BACKEND_MAX_COPIES)
        return false;
    *copies = n;
    return true;
}
