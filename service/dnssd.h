// What the daemon says about itself on the LAN by DNS-SD: the service name and the TXT records of
// the raw print port (_pdl-datastream._tcp) and of tessal's own protocol (_tessal._tcp).
//
// Kept apart from the Avahi calls (announce.cc) so it builds and is tested without Avahi. The
// records follow what printing clients read: txtvers and qtotal first, ty (make and model, the
// name a print dialog shows), product (the model in parentheses), note (where the printer is),
// pdl (the printer languages, from the Device ID's command set), and usb_MFG/usb_MDL/usb_CMD,
// from which CUPS rebuilds the Device ID to pick a driver and name the queue. Each record is at
// most 255 bytes, as DNS-SD allows.
//
// The service name does not follow the Device ID: it stays the same whether the ID is known yet
// or not, since clients that added the printer find it again by that name. Avahi makes it unique
// on the LAN ("tessal on printhost #2").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ps_region;

struct dnssd_printer {
    std::string mfg, mdl, cmd;  // from the Device ID; empty when unknown
    std::string ty;             // "Acme LP-1", or "Unknown"
    std::string pdl;            // MIME types, comma-separated; empty when none is known
};

/* dnssd.cc */
inline constexpr const char *DNSSD_RAW_TYPE = "_pdl-datastream._tcp";
inline constexpr const char *DNSSD_TESSAL_TYPE = "_tessal._tcp";
// The printer as its Device ID describes it ("" when it is not known).
dnssd_printer dnssd_describe(std::string_view device_id);
// The TXT records of the raw print port, and of tessal's own protocol (raw_port 0: none).
std::vector<std::string> dnssd_txt_raw(const dnssd_printer &p, const std::string &host);
std::vector<std::string> dnssd_txt_tessal(const dnssd_printer &p, const std::string &host, int raw_port);
std::string dnssd_service_name(const std::string &host);  // "tessal on HOST"
// The Device ID the port's shared state has cached (empty when none), with the time it was
// read (0 when none), copied so that a change half-way is never seen.
std::string dnssd_cached_id(const ps_region *r, int64_t *when);
