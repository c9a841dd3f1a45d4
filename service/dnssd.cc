#include "service/dnssd.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "ieee1284/ieee1284.h"
#include "service/portshare.h"

namespace {

constexpr size_t kRecordMax = 255;  // one TXT string

std::string upper(std::string_view s) {
    std::string u(s);
    for (char &c : u)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

std::string trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return std::string(s);
}

// The printer languages of a command set ("PCL,PJL,POSTSCRIPT") as MIME types; PJL and anything
// unknown say nothing about the language of a job, so they are left out.
std::string languages(std::string_view cmd) {
    struct lang {
        const char *name;
        const char *mime;
    };
    static constexpr lang kLangs[] = {
        {"POSTSCRIPT", "application/postscript"}, {"PS", "application/postscript"},
        {"BR-SCRIPT", "application/postscript"}, {"PDF", "application/pdf"},
        {"PCLXL", "application/vnd.hp-PCLXL"}, {"PCL6", "application/vnd.hp-PCLXL"},
        {"PCL", "application/vnd.hp-PCL"}, {"PCL5", "application/vnd.hp-PCL"},
        {"PCL5E", "application/vnd.hp-PCL"}, {"PCL5C", "application/vnd.hp-PCL"},
    };
    std::string out;
    size_t at = 0;
    while (at <= cmd.size()) {
        const size_t comma = std::min(cmd.find(',', at), cmd.size());
        const std::string word = upper(trim(cmd.substr(at, comma - at)));
        at = comma + 1;
        for (const lang &l : kLangs) {
            if (word != l.name || out.find(l.mime) != std::string::npos)
                continue;
            if (!out.empty())
                out += ',';
            out += l.mime;
        }
    }
    return out;
}

void add(std::vector<std::string> &txt, const std::string &key, const std::string &value) {
    if (value.empty())
        return;
    std::string record = key + "=" + value;
    if (record.size() > kRecordMax)
        record.resize(kRecordMax);
    txt.push_back(record);
}

// Records both services carry: the make and model, the model, where it is, the Device ID's parts.
void describe(std::vector<std::string> &txt, const dnssd_printer &p, const std::string &host) {
    add(txt, "ty", p.ty);
    add(txt, "product", p.mdl.empty() ? "" : "(" + p.mdl + ")");
    add(txt, "note", "parallel port of " + host);
    add(txt, "usb_MFG", p.mfg);
    add(txt, "usb_MDL", p.mdl);
}

}  // namespace

dnssd_printer dnssd_describe(std::string_view device_id) {
    dnssd_printer p;
    static lp_id_fields f;  // five 1 KiB fields: kept off the announcer's small stack
    if (!device_id.empty() && lp_device_id_parse(device_id.data(), device_id.size(), &f) > 0) {
        p.mfg = f.mfg;
        p.mdl = f.mdl;
        p.cmd = f.cmd;
    }
    // "Acme LP-1"; a model that already names its maker ("Acme LP-1" as MDL) is not doubled.
    if (!p.mdl.empty() && !p.mfg.empty() && upper(p.mdl).rfind(upper(p.mfg), 0) != 0)
        p.ty = p.mfg + " " + p.mdl;
    else if (!p.mdl.empty())
        p.ty = p.mdl;
    else
        p.ty = "Unknown";
    p.pdl = languages(p.cmd);
    return p;
}

std::vector<std::string> dnssd_txt_raw(const dnssd_printer &p, const std::string &host) {
    std::vector<std::string> txt{"txtvers=1", "qtotal=1"};
    describe(txt, p, host);
    add(txt, "usb_CMD", p.cmd);
    add(txt, "pdl", p.pdl);
    return txt;
}

std::vector<std::string> dnssd_txt_tessal(const dnssd_printer &p, const std::string &host, int raw_port) {
    std::vector<std::string> txt{"txtvers=1"};
    describe(txt, p, host);
    if (raw_port > 0)
        add(txt, "raw", std::to_string(raw_port));  // the same printer, as a raw print port
    return txt;
}

std::string dnssd_service_name(const std::string &host) { return "tessal on " + host; }

std::string dnssd_cached_id(const ps_region *r, int64_t *when) {
    *when = 0;
    if (r == nullptr)
        return "";
    // The holder of the port writes the cache without telling anyone: copy it, and keep the
    // copy only when the time stamp was the same before and after.
    for (int tries = 0; tries < 3; tries++) {
        const int64_t before = __atomic_load_n(&r->devid.devid_time, __ATOMIC_ACQUIRE);
        const size_t len = std::min<size_t>(__atomic_load_n(&r->devid.devid_len, __ATOMIC_RELAXED),
                                            sizeof r->devid.devid);
        std::string id(r->devid.devid, len);
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if (__atomic_load_n(&r->devid.devid_time, __ATOMIC_RELAXED) == before) {
            *when = before;
            return before != 0 ? std::string(id.c_str()) : "";
        }
    }
    return "";
}
