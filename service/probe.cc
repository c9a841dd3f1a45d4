// tessal --probe: what the person setting up the port needs to know, in one short report.
//
// The probe opens the port exactly as an INIT would (the fair queue and the lock, so a running
// job is never disturbed; acquiring the port, giving up root, the ECP probe of the port layer),
// then reads what the port layer measured, asks the peripheral for each mode in turn and reads
// its Device ID, gives the port back and judges. The answers come from the same link code the
// daemon drives the printer with, so a "usable" here is an INIT that will succeed.
//
// The report is plain lines for a person, or one JSON object for scripts (--json): the same facts
// either way, with null for what could not be measured. The exit status is the verdict.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "ieee1284/ieee1284.h"
#include "port/io.h"
#include "port/locate.h"
#include "port/regs.h"
#include "service/daemon.h"
#include "wire/frame.h"
#include "service/requests.h"

namespace {

// What the kernel's drivers hold of the port's ranges. The start-up check has already refused a
// port they hold unless --force was given, so here it is only reported.
std::string kernel_drivers_line() {
    if (std::strcmp(lp_io_current()->name, "sim") == 0)
        return "not checked: a simulated port";
    if (dpa_device != nullptr)
        return std::string("not checked: the port is reached through ") + dpa_device + ", which the kernel shares";
    char text[512];
    if (lp_kernel_claims(long(dpa_port.base), long(dpa_port.ecp), text, sizeof text) == 0)
        return "none found";
    return std::string(text) + " (driven anyway: --force)";
}

struct probe_facts {
    int exit = PROBE_USABLE;
    bool opened = false;
    const char *backend = "";
    std::string kernel;
    int64_t base = 0, base_hi = 0;
    bool ecr = false;
    int fifo = 0, wthr = 0, rthr = 0, pword = 0, cnfga = -1;
    bool fifo_transfers = false, software_asked = false;
    bool output_only = false;  // the data lines cannot be inputs: no ID, no READ
    lp_mode_answer answers[LP_NANSWERS] = {};
    lp_device_id id = {};
    lp_id_fields fields = {};
    std::string verdict;
};

// cnfgA sits at the FIFO's address while the ECR is in configuration mode; the port layer keeps
// only the word size it gives, so it is read once more here and the ECR put back as it was.
int read_cnfga(struct port_data *port) {
    const uint8_t mode = lp_inb(lp_ecr_addr(port)) & 0xE0;
    lp_ecr_set_mode(port, LP_ECR_MODE_CNFG);
    const int value = lp_inb(lp_fifo_addr(port));
    lp_ecr_set_mode(port, mode);
    return value;
}

void measure(probe_facts &f) {
    struct port_data *port = open_port;
    const struct parport_pc_private_data *priv = port->priv;
    f.opened = true;
    f.base = port->base;
    f.base_hi = port->base_hi;
    f.ecr = priv->ecr_present != 0;
    if (f.ecr) {
        f.fifo = priv->fifo_size;
        f.wthr = priv->write_threshold;
        f.rthr = priv->read_threshold;
        f.pword = priv->pword;
        f.cnfga = read_cnfga(port);
    }
    f.fifo_transfers = fifo_mode != 0;
    f.output_only = dpa_output_only() != 0;
    lp_mode_answers(port, 0, f.answers);
    if (f.output_only)
        return;  // reading the ID would drive the lines against the printer
    lp_device_id_read(port, fifo_mode, &f.id);
    const size_t n = f.id.status == LP_ID_OK ? f.id.length - 2 : 0;  // an ID may hold a NUL
    lp_device_id_parse(f.id.text, n, &f.fields);
    devid_cache_put(f.id.text, n);  // what a DEVICE_ID request answers from now on
}

std::string fifo_meaning(const probe_facts &f) {
    if (f.ecr && f.fifo > 0)
        return "ECP FIFO, " + std::to_string(f.fifo) + " bytes";
    return "no ECP FIFO: software handshake only, check the BIOS setting";
}

void judge(probe_facts &f, int init_failure) {
    if (init_failure == MSG_FAIL_BUSY) {
        f.exit = PROBE_BUSY;
        f.verdict = "not checked: another client kept the port for the whole wait (see tessal --status)";
        return;
    }
    if (init_failure != 0) {
        f.exit = PROBE_NO_ACCESS;
        f.verdict = "not usable: the port's registers cannot be reached (run as root, on a kernel with iopl)";
        return;
    }
    const lp_mode_answer &ecp = f.answers[LP_ANSWER_ECP];
    if (ecp.answer == LP_ANSWER_SILENT && ecp.event == 2) {
        f.exit = PROBE_NO_PERIPHERAL;
        f.verdict = "not usable: nothing answers the IEEE 1284 negotiation: is the printer on and the cable in?";
    } else if (ecp.answer == LP_ANSWER_REFUSED) {
        f.exit = PROBE_NOT_ECP;
        f.verdict = "not usable: the printer refuses ECP mode, which tessal needs";
    } else if (ecp.answer != LP_ANSWER_ACCEPTED) {
        f.exit = PROBE_NOT_ECP;
        f.verdict = "not usable: the printer answered, then did not finish the negotiation (event 6): "
                    "check the cable, switch the printer off and on";
    } else if (f.output_only) {
        f.verdict = "usable for printing only: the port cannot read from the printer (set the BIOS to PS/2 or ECP)";
    } else if (f.fifo_transfers) {
        f.verdict = "usable: ECP mode through the port's FIFO";
    } else if (f.software_asked && f.ecr && f.fifo > 0) {
        f.verdict = "usable: ECP mode by software handshake (--software)";
    } else {
        f.verdict = "usable, slowly: ECP mode by software handshake; set the port to ECP in the BIOS setup for full speed";
    }
}

const char *via_text(int32_t via) {
    switch (via) {
    case LP_ID_VIA_FIFO: return "read in ECP mode through the FIFO";
    case LP_ID_VIA_SOFTWARE: return "read in ECP mode by software handshake";
    case LP_ID_VIA_NIBBLE: return "read in nibble mode";
    default: return "";
    }
}

const char *via_word(int32_t via) {
    switch (via) {
    case LP_ID_VIA_FIFO: return "fifo";
    case LP_ID_VIA_SOFTWARE: return "software";
    case LP_ID_VIA_NIBBLE: return "nibble";
    default: return "";
    }
}

const char *status_word(int32_t status) {
    static const char *const words[] = {"ok", "no peripheral", "refused", "no data", "bad length", "short", "long"};
    return status >= 0 && status < int32_t(sizeof words / sizeof *words) ? words[status] : "unknown";
}

// The ID as a line can show it: control characters left out.
std::string printable(const char *text) {
    std::string out;
    for (const char *p = text; *p; p++)
        if (static_cast<unsigned char>(*p) >= 0x20 && *p != 0x7F)
            out += *p;
    return out;
}

void print_text(const probe_facts &f) {
    if (f.opened)
        std::printf("port: 0x%llx, extended registers at 0x%llx, reached by the %s backend\n",
                    static_cast<unsigned long long>(f.base), static_cast<unsigned long long>(f.base_hi), f.backend);
    else
        std::printf("port: not opened (%s backend)\n", f.backend);
    std::printf("kernel drivers: %s\n", f.kernel.c_str());
    if (f.opened) {
        if (!f.ecr)
            std::printf("ECR: none at 0x%llx: %s\n", static_cast<unsigned long long>(f.base_hi + 2), fifo_meaning(f).c_str());
        else if (f.fifo == 0)
            std::printf("ECR: present, no FIFO the probe could measure, cnfgA 0x%02x: %s\n", f.cnfga, fifo_meaning(f).c_str());
        else
            std::printf("ECR: present, FIFO %d bytes, write threshold %d, read threshold %d, cnfgA 0x%02x "
                        "(%d byte%s per FIFO word): %s\n",
                        f.fifo, f.wthr, f.rthr, f.cnfga, f.pword, f.pword == 1 ? "" : "s", fifo_meaning(f).c_str());
        std::printf("transfers: %s\n", f.fifo_transfers ? "ECP FIFO" : "software handshake");
        if (f.output_only)
            std::printf("%s\n", msg_fail_text(MSG_FAIL_OUTPUT_ONLY));
        static const char *const names[LP_NANSWERS] = {"nibble", "byte", "ECP"};
        for (int i = 0; i < LP_NANSWERS; i++)
            std::printf("%s mode: %s\n", names[i], lp_answer_text(&f.answers[i]));
        if (f.output_only) {
            std::printf("Device ID: not read: the port is output only\n");
        } else if (f.id.status == LP_ID_OK) {
            std::printf("Device ID: %s (%s)\n", printable(f.id.text).c_str(), via_text(f.id.via));
            const auto field = [](const char *name, const char *value) {
                std::printf("%s: %s\n", name, *value ? value : "(none)");
            };
            field("manufacturer", f.fields.mfg);
            field("model", f.fields.mdl);
            field("command set", f.fields.cmd);
            field("class", f.fields.cls);
            if (f.fields.des[0])
                field("description", f.fields.des);
        } else {
            std::printf("Device ID: none: %s\n", lp_id_status_text(f.id.status));
        }
    }
    std::printf("verdict: %s\n", f.verdict.c_str());
}

// JSON: strings escaped as the standard requires; a byte above 0x7F is taken as Latin-1, so the
// object is valid UTF-8 whatever a peripheral sends.
std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string number(int64_t v) { return std::to_string(v); }

std::string answer_json(const lp_mode_answer &a) {
    const char *word = a.answer == LP_ANSWER_ACCEPTED ? "accepted" : a.answer == LP_ANSWER_REFUSED ? "refused" : "silent";
    return std::string("{\"answer\":\"") + word + "\",\"event\":" + (a.answer == LP_ANSWER_SILENT ? number(a.event) : "null") + "}";
}

void print_json(const probe_facts &f) {
    std::string j = "{\"port\":{";
    j += "\"base\":" + (f.opened ? number(f.base) : "null");
    j += ",\"base_hi\":" + (f.opened ? number(f.base_hi) : "null");
    j += ",\"backend\":" + quoted(f.backend) + ",\"kernel_drivers\":" + quoted(f.kernel) + "}";
    if (!f.opened) {
        j += ",\"ecr\":null,\"transfers\":null,\"negotiation\":null,\"device_id\":null";
    } else {
        j += ",\"ecr\":{\"present\":" + std::string(f.ecr ? "true" : "false");
        const std::pair<const char *, int> fields[] = {
            {"fifo_size", f.fifo}, {"write_threshold", f.wthr}, {"read_threshold", f.rthr}, {"cnfga", f.cnfga}, {"pword", f.pword}};
        for (const auto &[name, v] : fields)
            j += std::string(",\"") + name + "\":" + (f.ecr ? number(v) : "null");
        j += ",\"meaning\":" + quoted(fifo_meaning(f)) + "}";
        j += std::string(",\"transfers\":") + (f.fifo_transfers ? "\"fifo\"" : "\"software\"");
        j += std::string(",\"output_only\":") + (f.output_only ? "true" : "false");
        j += ",\"negotiation\":{\"nibble\":" + answer_json(f.answers[LP_ANSWER_NIBBLE]) +
             ",\"byte\":" + answer_json(f.answers[LP_ANSWER_BYTE]) + ",\"ecp\":" + answer_json(f.answers[LP_ANSWER_ECP]) + "}";
        const bool ok = f.id.status == LP_ID_OK;
        const auto text = [ok](const char *s) { return ok ? quoted(s) : std::string("null"); };
        if (f.output_only)
            j += ",\"device_id\":null";  // not read: it would drive the lines against the printer
        else
            j += ",\"device_id\":{\"status\":" + quoted(status_word(f.id.status)) + ",\"reason\":" +
             quoted(lp_id_status_text(f.id.status)) + ",\"via\":" + (ok ? quoted(via_word(f.id.via)) : "null") +
             ",\"text\":" + text(f.id.text) + ",\"manufacturer\":" + text(f.fields.mfg) + ",\"model\":" +
             text(f.fields.mdl) + ",\"command_set\":" + text(f.fields.cmd) + ",\"class\":" + text(f.fields.cls) +
             ",\"description\":" + text(f.fields.des) + "}";
    }
    j += std::string(",\"usable\":") + (f.exit == PROBE_USABLE ? "true" : "false");
    j += ",\"exit\":" + number(f.exit) + ",\"verdict\":" + quoted(f.verdict) + "}\n";
    std::fputs(j.c_str(), stdout);
}

}  // namespace

extern "C" int probe_port(int json) {
    static probe_facts f;  // the ID and its fields are some KiB
    f.backend = lp_io_current()->name;
    f.kernel = kernel_drivers_line();
    f.software_asked = fifo_mode == 0;
    const int why = dpa_init(0);  // as an INIT opens the port, without negotiating
    if (why == 0) {
        measure(f);
        dpa_release();  // the link is terminated already: give the port to whoever waits
    }
    judge(f, why);
    if (json)
        print_json(f);
    else
        print_text(f);
    return f.exit;
}
