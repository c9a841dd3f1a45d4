// The printer's IEEE 1284 Device ID, as a client asks for it and reads it.
//
// The parser is the client's own, like the framing: the daemon's (ieee1284/devid.cc) lives beside
// the link code, which no client links. Both follow the same rules, so a field reads the same in
// `tessal --probe` and in `tessal-client id`.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "client/client.h"
#include "client/internal.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool key_is(std::string_view key, std::string_view name) {
    if (key.size() != name.size())
        return false;
    for (size_t i = 0; i < key.size(); i++) {
        const char c = key[i] >= 'a' && key[i] <= 'z' ? char(key[i] - 32) : key[i];
        if (c != name[i])
            return false;
    }
    return true;
}

}  // namespace

tc_result tc_device_id(tc_client &c, std::string &id) {
    id.clear();
    std::vector<uint8_t> buf(TC_DEVICE_ID_MAX);
    // The budget of a reply the size a daemon sends (at most 1023 bytes): the time it takes is the
    // port's, not the network's, and a listing must not hang on a daemon for a quarter minute.
    tc_result r = tc_transact(c, MSG_DEVICE_ID, 0, {}, buf, {tc_reply_budget(c.opts, 1024)});
    if (r.ok())
        id.assign(reinterpret_cast<const char *>(buf.data()), size_t(r.count));
    return r;
}

tc_id_fields tc_parse_device_id(std::string_view id) {
    tc_id_fields f;
    struct key {
        std::string_view name, alias;
        std::string *field;
        bool seen = false;
    };
    key keys[] = {{"MFG", "MANUFACTURER", &f.manufacturer},  {"MDL", "MODEL", &f.model},
                  {"CMD", "COMMAND SET", &f.command_set},    {"CLS", "CLASS", &f.device_class},
                  {"DES", "DESCRIPTION", &f.description}};
    while (!id.empty()) {
        const size_t end = std::min(id.find(';'), id.size());
        const std::string_view entry = id.substr(0, end);
        id.remove_prefix(std::min(end + 1, id.size()));
        const size_t colon = entry.find(':');
        if (colon == std::string_view::npos)
            continue;  // an entry without a colon is not a field
        const std::string_view k = trimmed(entry.substr(0, colon));
        for (key &each : keys) {
            if (each.seen || !(key_is(k, each.name) || key_is(k, each.alias)))
                continue;
            *each.field = tc_device_id_clean(trimmed(entry.substr(colon + 1)));
            each.seen = true;
        }
    }
    return f;
}

std::string tc_device_id_clean(std::string_view id) {
    std::string out;
    out.reserve(id.size());
    for (const char c : id)
        if (!is_control(c))
            out += c;
    return out;
}
