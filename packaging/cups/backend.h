// The CUPS backend's checks on what cupsd and the queue's administrator hand it (the device URI,
// the copies count, and any text on its way to cupsd's status lines), and what it tells CUPS
// about the printer behind a daemon. Kept apart from the job loop so they can be tested on their
// own, case by case.
//
// A device URI is typed by an administrator and shown to every user of the queue, so the backend
// accepts only what can be a tessal daemon's address (a DNS name, an IPv4 address, or a bracketed
// IPv6 literal with an RFC 6874 zone) and never echoes a password or a control byte back: a
// newline in a status line would let a URI forge cupsd's own STATE: and ATTR: messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/client.h"

struct device_uri {
    std::string host;  // as tc_connect takes it: a name, an IPv4 or an IPv6 address with "%zone"
    uint16_t port = 8822;
};

/* uri.cc */
// tessal://HOST[:PORT][/]. On refusal `why` says what is wrong without quoting any user
// information.
bool parse_uri(std::string_view uri, device_uri &out, std::string &why);
// The URI fit for a status line: user information replaced by "***", control bytes by '?'.
std::string uri_for_display(std::string_view uri);
// `text` with every control byte (below 0x20, and 0x7F) replaced by '?'.
std::string clean_text(std::string_view text);
// The copies argument: a decimal from 1 to BACKEND_MAX_COPIES, else false.
bool parse_copies(const char *text, int *copies);
inline constexpr int BACKEND_MAX_COPIES = 9999;  // cupsd's own MaxCopies default

/* discover.cc */
// A tessal daemon DNS-SD found on the LAN, from its records alone.
struct found_daemon {
    std::string uri;          // tessal://HOST:PORT, the name where it resolves here, else the address
    std::string make_model;   // "Unknown" when the records name none
    std::string name;         // the service's name ("tessal on HOST")
    std::string device_id;    // "MFG:...;MDL:...;" when the records carry both, else ""
    std::string note;         // where it is
    std::string command_set;  // usb_CMD, "" when not announced yet
};
// Browses for at most a few seconds; empty when there is no Avahi daemon or none was found.
std::vector<found_daemon> find_daemons();
// Lists them, one device line each on standard output
// ("network tessal://HOST:PORT "make model" "name" "device id" "location").
void discover_daemons();
/* printer.cc */
// The printer behind a daemon, as one DEVICE_ID request tells it.
struct printer_info {
    tc_result result;                         // the request's; ok() with an empty ID: none known
    std::string device_id;                    // cleaned for CUPS (no control bytes, quotes, backslashes)
    std::string make_and_model = "Unknown";   // what CUPS calls it when nothing better is known
};
printer_info ask_printer(tc_client &c);
// "MAKE MODEL" from the ID's fields, the make once when the model already starts with it.
std::string make_and_model(const tc_id_fields &f);
