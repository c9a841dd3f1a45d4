// Who in the kernel has the port: a driver that claimed its addresses, a port of the kernel's
// parport driver at them, or the modules that drive parallel ports. tessal's direct backend would
// drive the same lines behind their back, so the daemon refuses to start on such a port.
#include "port/locate.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The modules that drive a parallel port's lines: the printer driver, the PC-style port driver,
// and the driver of cards with serial and parallel ports.
constexpr const char *kPortModules[] = {"lp", "parport_pc", "parport_serial"};

struct range {
    long start, end;
};

bool overlap(range a, range b) { return a.start <= b.end && b.start <= a.end; }

// "0000:05:00.0": the range a PCI function decodes, which the PCI core lists under it.
bool is_pci_function(const std::string &name) {
    static constexpr char shape[] = "hhhh:hh:hh.h";
    if (name.size() != sizeof shape - 1)
        return false;
    for (size_t i = 0; i < name.size(); i++)
        if (shape[i] == 'h' ? !std::isxdigit(uint8_t(name[i])) : name[i] != shape[i])
            return false;
    return true;
}

// Bus windows, PCI functions' own ranges and firmware reservations are no driver's claim.
bool is_claim(const std::string &name) {
    return name.rfind("PCI ", 0) != 0 && name.rfind("pnp ", 0) != 0 && name != "reserved" && !is_pci_function(name);
}

struct finding {
    std::string who;
    std::string what;
};

finding *named(std::vector<finding> &found, const std::string &who) {
    for (finding &f : found)
        if (f.who == who)
            return &f;
    return nullptr;
}

std::string hex_range(range r) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx-0x%lx", r.start, r.end);
    return text;
}

// "  0378-037a : parport0": who claimed which of our addresses. A reader without CAP_SYS_ADMIN
// sees every range as 0000-0000 and learns nothing here.
void from_ioports(const std::vector<range> &ours, std::vector<finding> &found) {
    std::ifstream in(lp_kernel_files.ioports);
    std::string line;
    while (std::getline(in, line)) {
        unsigned long start = 0, end = 0;
        int name_at = 0;
        if (std::sscanf(line.c_str(), " %lx-%lx : %n", &start, &end, &name_at) != 2 || name_at == 0)
            continue;
        const std::string name = line.substr(size_t(name_at));
        const range r{long(start), long(end)};
        if ((start == 0 && end == 0) || !is_claim(name))
            continue;
        bool hit = false;
        for (const range &o : ours)
            hit = hit || overlap(r, o);
        if (!hit)
            continue;
        if (finding *f = named(found, name))
            f->what += ", " + hex_range(r);
        else
            found.push_back({name, "holds " + hex_range(r)});
    }
}

// The kernel's parport driver describes each of its ports, whoever may read /proc/ioports.
void from_parport(const std::vector<range> &ours, std::vector<finding> &found) {
    std::vector<std::string> names;
    if (DIR *d = opendir(lp_kernel_files.parport)) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name).rfind("parport", 0) == 0)
                names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        lp_port_addr a{};
        if (named(found, name) != nullptr || lp_parport_addr(name.c_str(), &a, nullptr, 0) != 0)
            continue;
        bool hit = false;
        for (const range &o : ours)
            hit = hit || overlap({a.base, a.base + 2}, o) || (a.ecp != LP_NO_ECP && overlap({a.ecp, a.ecp + 2}, o));
        if (hit) {
            char what[64];
            std::snprintf(what, sizeof what, "is the kernel's port at 0x%lx", a.base);
            found.push_back({name, what});
        }
    }
}

void from_modules(std::vector<finding> &found) {
    std::ifstream in(lp_kernel_files.modules);
    std::string line;
    std::vector<std::string> loaded;
    while (std::getline(in, line)) {
        const std::string name = line.substr(0, line.find(' '));
        for (const char *m : kPortModules)
            if (name == m)
                loaded.push_back(name);
    }
    if (loaded.empty())
        return;
    std::string list;
    for (const std::string &m : loaded)
        list += (list.empty() ? "" : ", ") + m;
    found.push_back({list, "loaded"});
}

}  // namespace

extern "C" int lp_kernel_claims(long base, long ecp, char *out, size_t outlen) {
    std::vector<range> ours{{base, base + 2}};
    if (ecp != LP_NO_ECP)
        ours.push_back({ecp, ecp + 2});
    std::vector<finding> found;
    from_ioports(ours, found);
    from_parport(ours, found);
    from_modules(found);
    std::string text;
    for (const finding &f : found)
        text += (text.empty() ? "" : "; ") + f.who + (f.what.empty() ? "" : " " + f.what);
    if (outlen > 0)
        std::snprintf(out, outlen, "%s", found.empty() ? "none" : text.c_str());
    return int(found.size());
}
