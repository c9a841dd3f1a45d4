// Which driver a printer gets, from the command set of its IEEE 1284 Device ID.
//
// The command set is a comma-separated list of the languages the printer understands, spelt as
// each maker likes: "PCL,PJL", "PJL,PCL5C,PCL6,POSTSCRIPT", "MLC,PCL3GUI". PCL raster (the
// ESC * r / ESC * b commands) is in every PCL from level 3 on; PCL 6 and PCL XL are a different,
// object-based language that HP printers announce beside PCL 5 when they have both, so they
// alone never pick the PCL driver. PCLm is a raster container for phones, not PCL either.
#include <cctype>
#include <string>

#include "printerapp/printerapp.h"

namespace {

std::string upper(std::string_view s) {
    std::string out;
    for (const char c : s)
        out += char(std::toupper((unsigned char)c));
    return out;
}

std::string trim(std::string_view s) {
    while (!s.empty() && std::isspace((unsigned char)s.front()))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace((unsigned char)s.back()))
        s.remove_suffix(1);
    return std::string(s);
}

bool is_pcl(const std::string &t) {
    return t == "PCL" || (t.size() > 3 && t.starts_with("PCL") && t[3] >= '2' && t[3] <= '5');
}

bool is_color_pcl(const std::string &t) { return t == "PCL5C" || t == "PCL3GUI"; }

bool is_postscript(const std::string &t) {
    return t.starts_with("POSTSCRIPT") || t == "PS" || t == "PS2" || t == "PS3";
}

bool says_color(std::string_view s) {
    const std::string u = upper(s);
    return u.find("COLOR") != std::string::npos || u.find("COLOUR") != std::string::npos;
}

// The value of a key the parser does not keep ("COLOR:YES;" on some inkjets).
std::string id_value(std::string_view id, std::string_view key) {
    size_t at = 0;
    while (at < id.size()) {
        size_t end = id.find(';', at);
        if (end == std::string_view::npos)
            end = id.size();
        const std::string_view pair = id.substr(at, end - at);
        const size_t colon = pair.find(':');
        if (colon != std::string_view::npos && upper(trim(pair.substr(0, colon))) == key)
            return upper(trim(pair.substr(colon + 1)));
        at = end + 1;
    }
    return "";
}

}  // namespace

pa_driver_choice pa_choose_driver(const tc_id_fields &f, std::string_view raw_id) {
    bool pcl = false, ps = false, color_pcl = false;
    const std::string cmd = upper(f.command_set);
    size_t at = 0;
    while (at <= cmd.size()) {
        size_t end = cmd.find(',', at);
        if (end == std::string::npos)
            end = cmd.size();
        const std::string t = trim(std::string_view(cmd).substr(at, end - at));
        pcl = pcl || is_pcl(t);
        color_pcl = color_pcl || is_color_pcl(t);
        ps = ps || is_postscript(t);
        at = end + 1;
    }
    const std::string color_key = id_value(raw_id, "COLOR");
    const bool color = color_pcl || says_color(f.model) || says_color(f.device_class) ||
                       color_key == "YES" || color_key == "1" || color_key == "TRUE";
    pa_driver_choice c;
    if (pcl) {
        c.language = pa_language::pcl;
        c.color = color;
        c.driver = color ? PA_DRIVER_PCL_COLOR : PA_DRIVER_PCL;
    } else if (ps) {
        c.language = pa_language::postscript;
        c.color = color;
        c.driver = color ? PA_DRIVER_PS_COLOR : PA_DRIVER_PS;
    }
    return c;
}

pa_driver_choice pa_driver_by_name(std::string_view name) {
    for (const pa_driver_choice &c : {
             pa_driver_choice{pa_language::pcl, false, PA_DRIVER_PCL},
             pa_driver_choice{pa_language::pcl, true, PA_DRIVER_PCL_COLOR},
             pa_driver_choice{pa_language::postscript, false, PA_DRIVER_PS},
             pa_driver_choice{pa_language::postscript, true, PA_DRIVER_PS_COLOR},
         })
        if (name == c.driver)
            return c;
    return {};
}
