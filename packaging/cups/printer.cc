// What the backend tells CUPS about the printer behind a daemon: its make and model and its IEEE
// 1284 Device ID, in a job's messages (the device listing is made from DNS-SD, in discover.cc).
//
// CUPS documents two ways for a backend to hand these over. In the listing (backend(7)), a line
// with the device's make and model, a description and its Device ID, which `lpinfo -v` shows and
// `lpadmin` matches drivers against. During a job (filter(7)), status lines: "PPD:" sets keywords
// of the queue's PPD, where the 1284DeviceID keyword is what CUPS matches drivers on; "INFO:"
// sets the queue's status line. "ATTR:" is documented only for marker and alert attributes, and
// cupsd 2.4 ignores an ATTR: printer-make-and-model, so the make and model go on the status line.
//
// Everything from the printer passes through the cleaning of its text: a Device ID may carry any
// byte, and a newline or a quote in one must not forge a status line or end a quoted field.
#include <cctype>
#include <string>
#include <string_view>

#include "client/client.h"
#include "packaging/cups/backend.h"

namespace {

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); i++)
        if (std::tolower((unsigned char)s[i]) != std::tolower((unsigned char)prefix[i]))
            return false;
    return true;
}

// A quoted status value: control bytes, quotes and backslashes left out, since the status
// formats leave no way to carry them that every reader agrees on.
std::string field_text(std::string_view s) {
    std::string out;
    for (const char c : tc_device_id_clean(s))
        if (c != '"' && c != '\'' && c != '\\')
            out += c;
    return out;
}

}  // namespace

std::string make_and_model(const tc_id_fields &f) {
    const std::string make = field_text(f.manufacturer), model = field_text(f.model);
    if (model.empty())
        return make.empty() ? "Unknown" : make;
    if (make.empty() || starts_with_nocase(model, make))
        return model;  // "HP" and "HP LaserJet 4" make "HP LaserJet 4"
    return make + " " + model;
}

printer_info ask_printer(tc_client &c) {
    printer_info p;
    std::string id;
    p.result = tc_device_id(c, id);
    if (!p.result.ok())
        return p;
    p.device_id = field_text(id);
    if (!p.device_id.empty())
        p.make_and_model = make_and_model(tc_parse_device_id(id));
    return p;
}
