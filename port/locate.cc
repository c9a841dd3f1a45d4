// The port's addresses: from the options, from the kernel's parport driver, from a PCI card.
#include "port/locate.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr long kOnboardBase = LP_ONBOARD_BASE;
constexpr long kEcpOffset = LP_ISA_ECP_OFFSET;
constexpr long kMaxAddr = 0xFFFD;  // the port's last register, base + 2, still fits in 16 bits
constexpr unsigned long kPciClassParallel = 0x0701;  // class 07 (communication), subclass 01
constexpr unsigned long kLastHostProgIf = 0x03;      // SPP, bidirectional, ECP, IEEE 1284 controller
constexpr long kPortRegs = 3;                        // DATA, STATUS, CONTROL (or FIFO, -, ECR)
constexpr unsigned long long kResourceIo = 0x100;  // IORESOURCE_IO in a resource line's flags
constexpr int kPciBars = 6;  // the first six lines of resource are the BARs

__attribute__((format(printf, 3, 4))) int refuse(char *err, size_t errlen, const char *fmt, ...) {
    if (err != nullptr && errlen > 0) {
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(err, errlen, fmt, ap);
        va_end(ap);
    }
    return -1;
}

bool read_text(const std::string &path, std::string &out) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::stringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

bool in_range(long v) { return v >= 1 && v <= kMaxAddr; }

bool overlaps(long a, long b) { return a <= b + 2 && b <= a + 2; }

std::vector<std::string> entries(const char *dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// "0000:05:00.0" is named by "0000:05:00.0" and by "05:00.0".
bool slot_matches(const std::string &entry, std::string_view slot) {
    if (entry == slot)
        return true;
    return entry.size() > slot.size() && std::string_view(entry).substr(entry.size() - slot.size()) == slot &&
           entry[entry.size() - slot.size() - 1] == ':';
}

// An I/O BAR of a PCI function: where it starts (0: the firmware assigned it no address) and how
// many addresses it has.
struct io_bar {
    long start;
    long size;
};

// The I/O BARs of a PCI function, in order, unassigned ones included: skipping one would shift the
// rest, and the ECP registers would be taken for the port.
std::vector<io_bar> io_ranges(const std::string &dir) {
    std::vector<io_bar> ranges;
    std::ifstream in(dir + "/resource");
    std::string line;
    for (int bar = 0; bar < kPciBars && std::getline(in, line); bar++) {
        unsigned long long start = 0, end = 0, flags = 0;
        if (std::sscanf(line.c_str(), "%llx %llx %llx", &start, &end, &flags) != 3 || !(flags & kResourceIo))
            continue;
        const bool placed = start != 0 && in_range(long(start)) && end >= start;
        ranges.push_back({placed ? long(start) : 0, placed ? long(end - start + 1) : 0});
    }
    return ranges;
}

// Text read from the kernel, fit for one error line: control characters (a newline) become blanks.
std::string one_line(std::string text, size_t max) {
    if (text.size() > max)
        text.resize(max);
    for (char &c : text)
        if (std::iscntrl(static_cast<unsigned char>(c)))
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

int pci_class(const std::string &dir, unsigned long &cls) {
    std::string text;
    if (!read_text(dir + "/class", text))
        return -1;
    char *end = nullptr;
    cls = std::strtoul(text.c_str(), &end, 16);
    return end == text.c_str() ? -1 : 0;
}

}  // namespace

extern "C" {

struct lp_kernel_files lp_kernel_files = {
    "/proc/ioports", "/proc/modules", "/proc/sys/dev/parport", "/sys/bus/pci/devices", "/sys/kernel/security/lockdown",
};

int lp_parse_ioaddr(const char *text, long *out) {
    std::string_view t = text ? text : "";
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t.remove_prefix(2);
    if (t.empty() || t.size() > 4 || !std::all_of(t.begin(), t.end(), [](char c) { return std::isxdigit(uint8_t(c)); }))
        return -1;
    const long v = std::strtol(std::string(t).c_str(), nullptr, 16);
    if (!in_range(v))
        return -1;
    *out = v;
    return 0;
}

int lp_parport_addr(const char *name, struct lp_port_addr *out, char *err, size_t errlen) {
    const std::string_view n = name;
    if (n.size() <= 7 || n.substr(0, 7) != "parport" ||
        !std::all_of(n.begin() + 7, n.end(), [](char c) { return std::isdigit(uint8_t(c)); }))
        return refuse(err, errlen, "'%s' is not a port of the kernel's parport driver (parport0, parport1, ...)", name);
    const std::string path = std::string(lp_kernel_files.parport) + "/" + name + "/base-addr";
    std::string text;
    if (!read_text(path, text))
        return refuse(err, errlen,
                      "no %s in %s: no kernel driver has that port (load parport_pc, or name a PCI card: --port-of pci)",
                      name, lp_kernel_files.parport);
    long base = 0, ecp = 0;
    if (std::sscanf(text.c_str(), "%ld %ld", &base, &ecp) != 2 || !in_range(base) || (ecp != 0 && !in_range(ecp)))
        return refuse(err, errlen, "%s does not hold two I/O addresses: '%s'", path.c_str(), one_line(text, 40).c_str());
    *out = {base, ecp == 0 ? LP_NO_ECP : ecp};  // the driver found no ECP registers: 0
    return 0;
}

int lp_pci_addr(const char *slot, struct lp_port_addr *out, char *err, size_t errlen) {
    std::vector<std::string> found;
    for (const std::string &entry : entries(lp_kernel_files.pci)) {
        if (slot != nullptr && !slot_matches(entry, slot))
            continue;
        const std::string dir = std::string(lp_kernel_files.pci) + "/" + entry;
        unsigned long cls = 0;
        if (pci_class(dir, cls) != 0)
            continue;
        // Class 0x0701 with programming interface 0xFE is an IEEE 1284 target (the device side
        // of a link), not a port a host drives; 0x00 to 0x03 are the host ports.
        if ((cls >> 8) != kPciClassParallel || (cls & 0xFF) > kLastHostProgIf) {
            if (slot != nullptr)
                return refuse(err, errlen,
                              (cls >> 8) == kPciClassParallel
                                  ? "%s is an IEEE 1284 target, not a host port (PCI class 0x%06lx): give a port's addresses with --base and --ecp"
                                  : "%s is not a parallel-port card (PCI class 0x%06lx): give its addresses with --base and --ecp",
                              entry.c_str(), cls);
            continue;
        }
        found.push_back(entry);
    }
    if (found.empty())
        return slot != nullptr ? refuse(err, errlen, "no PCI device %s in %s", slot, lp_kernel_files.pci)
                               : refuse(err, errlen, "no PCI parallel-port card (class 0x0701) in %s", lp_kernel_files.pci);
    if (found.size() > 1) {
        std::string list;
        for (const std::string &f : found)
            list += (list.empty() ? "" : ", ") + f;
        return refuse(err, errlen, "%zu PCI parallel-port cards (%s): name one with --port-of SLOT", found.size(),
                      list.c_str());
    }
    const std::vector<io_bar> ranges = io_ranges(std::string(lp_kernel_files.pci) + "/" + found[0]);
    if (ranges.empty())
        return refuse(err, errlen, "the card %s has no I/O range (is it enabled?)", found[0].c_str());
    if (ranges[0].start == 0)
        return refuse(err, errlen, "the card %s: its first I/O range has no address (is it enabled?)", found[0].c_str());
    if (ranges[0].size < kPortRegs)
        return refuse(err, errlen, "the card %s: its first I/O range has %ld addresses, too few for a parallel port (3)",
                      found[0].c_str(), ranges[0].size);
    // Cards put the ECP registers at the start of their second I/O range, when they have them
    // (the FIFO at +0, the ECR at +2: three addresses at least).
    const bool ecp = ranges.size() > 1 && ranges[1].start != 0 && ranges[1].size >= kPortRegs;
    *out = {ranges[0].start, ecp ? ranges[1].start : LP_NO_ECP};
    return 0;
}

int lp_port_choose(const char *port_of, const char *base, const char *ecp, struct lp_port_addr *out, char *err,
                   size_t errlen) {
    if (port_of != nullptr && (base != nullptr || ecp != nullptr))
        return refuse(err, errlen, "--port-of finds the addresses itself: give it or --base/--ecp, not both");
    lp_port_addr a{kOnboardBase, kOnboardBase + kEcpOffset};
    if (port_of != nullptr) {
        const std::string_view w = port_of;
        const int r = w.substr(0, 7) == "parport" ? lp_parport_addr(port_of, &a, err, errlen)
                      : w == "pci"                ? lp_pci_addr(nullptr, &a, err, errlen)
                                                  : lp_pci_addr(port_of, &a, err, errlen);
        if (r != 0)
            return r;
    }
    if (base != nullptr) {
        if (lp_parse_ioaddr(base, &a.base) != 0)
            return refuse(err, errlen, "bad value '%s' for --base (a hexadecimal I/O address, 1 to fffd)", base);
        a.ecp = a.base + kEcpOffset <= kMaxAddr ? a.base + kEcpOffset : LP_NO_ECP;
    }
    if (ecp != nullptr) {
        if (std::strcmp(ecp, "none") == 0)
            a.ecp = LP_NO_ECP;
        else if (lp_parse_ioaddr(ecp, &a.ecp) != 0)
            return refuse(err, errlen, "bad value '%s' for --ecp (a hexadecimal I/O address, or none)", ecp);
    }
    if (a.ecp != LP_NO_ECP && overlaps(a.base, a.ecp))
        return refuse(err, errlen, "the ECP registers at 0x%lx overlap the port at 0x%lx", a.ecp, a.base);
    *out = a;
    return 0;
}

int lp_lockdown_mode(char *out, size_t outlen) {
    std::string text;
    if (!read_text(lp_kernel_files.lockdown, text))
        return -1;
    // "none [integrity] confidentiality": the mode in force is the one in brackets.
    const size_t open = text.find('['), close = text.find(']');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return -1;
    std::snprintf(out, outlen, "%s", text.substr(open + 1, close - open - 1).c_str());
    return 0;
}

}  // extern "C"
