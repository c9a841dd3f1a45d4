// The tessal page of the web interface (/tessal, linked from PAPPL's own pages): what a person
// setting up or watching a network printer wants to know that PAPPL cannot: which daemon the app
// talks to and whether it answers, the printer's Device ID and what it says it speaks, which
// driver that chose (or why none was), and the traffic so far. Every load asks the daemon afresh
// (a short DEVICE_ID request), so the page is also the "is it there?" button.
//
// Printers with no usable command set are not added; the page says so and links to PAPPL's Add
// Printer page, where a driver can be chosen by hand.
#include <cstdio>
#include <ctime>

#include "packaging/cups/backend.h"
#include "printerapp/glue.h"

namespace {

void text(pappl_client_t *client, const std::string &s) { papplClientHTMLEscape(client, s.c_str(), 0); }

// A table row; `id` names the cell for scripts and tests (PAPPL's printf escapes its arguments,
// so the markup goes out with puts).
void row(pappl_client_t *client, const char *label, const std::string &value, const char *id = nullptr) {
    papplClientHTMLPuts(client, "<tr><th>");
    text(client, label);
    papplClientHTMLPuts(client, "</th><td");
    if (id) {
        papplClientHTMLPuts(client, " id=\"");
        papplClientHTMLPuts(client, id);
        papplClientHTMLPuts(client, "\"");
    }
    papplClientHTMLPuts(client, ">");
    text(client, value);
    papplClientHTMLPuts(client, "</td></tr>\n");
}

// Who holds the port and who waits, as `tessal --status` tells it: only for a daemon on this
// machine, since the port's shared state is local. The command is the administrator's own
// (status-command), run without a shell's help for its output's sake only.
std::string port_status(const std::string &uri) {
    device_uri parts;
    std::string why;
    if (!parse_uri(uri, parts, why) || (parts.host != "127.0.0.1" && parts.host != "::1" && parts.host != "localhost"))
        return "";
    if (pa_status_command().empty())
        return "";
    FILE *p = popen((pa_status_command() + " 2>&1").c_str(), "r");
    if (!p)
        return "";
    std::string out;
    char buf[4096];
    size_t n;
    while (out.size() < 65536 && (n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

const char *state_name(ipp_pstate_t s) {
    return s == IPP_PSTATE_IDLE ? "idle" : s == IPP_PSTATE_PROCESSING ? "printing" : "stopped";
}

void printer_rows(pappl_printer_t *printer, void *data) {
    auto *client = static_cast<pappl_client_t *>(data);
    pappl_pr_driver_data_t d;
    papplPrinterGetDriverData(printer, &d);
    char path[256];
    papplPrinterGetPath(printer, nullptr, path, sizeof path);
    papplClientHTMLPuts(client, "<h2 class=\"title\">Printer <a href=\"");
    text(client, path);
    papplClientHTMLPuts(client, "\">");
    text(client, papplPrinterGetName(printer));
    papplClientHTMLPuts(client, "</a></h2>\n<table class=\"form tessal-printer\">\n");
    row(client, "Make and model", d.make_and_model, "tessal-model");
    row(client, "State", state_name(papplPrinterGetState(printer)), "tessal-state");
    row(client, "Driver", papplPrinterGetDriverName(printer));
    row(client, "Device", papplPrinterGetDeviceURI(printer));
    papplClientHTMLPuts(client, "</table>\n");
}

bool page(pappl_client_t *client, void *) {
    pappl_system_t *system = papplClientGetSystem(client);
    if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0))
        return false;
    papplClientHTMLHeader(client, "tessal", 0);
    papplClientHTMLPuts(client, "<div class=\"content\"><div class=\"row\"><div class=\"col-12\">\n"
                                "<h1 class=\"title\">tessal</h1>\n");
    // Ask every known daemon again, so the page shows what is true now.
    for (const pa_device_state &s : pa_device_states()) {
        std::string id, why;
        pa_device_query(s.uri, id, why);
    }
    for (const pa_device_state &s : pa_device_states()) {
        papplClientHTMLPuts(client, "<h2 class=\"title\">Daemon ");
        text(client, s.uri);
        papplClientHTMLPuts(client, "</h2>\n<table class=\"form tessal-daemon\">\n");
        const std::string state = s.offline ? "offline: " + s.last_error
                                  : s.busy  ? "another client is printing"
                                  : !s.last_error.empty() ? "not ready: " + s.last_error
                                                          : "ready";
        row(client, "Connection", state, "tessal-connection");
        row(client, "Device ID", s.device_id.empty() ? "(none yet)" : s.device_id, "tessal-device-id");
        const tc_id_fields f = tc_parse_device_id(s.device_id);
        row(client, "Command set", f.command_set.empty() ? "(none named)" : f.command_set);
        row(client, "Driver", s.choice_note.empty() ? "(not chosen yet)" : s.choice_note, "tessal-driver");
        row(client, "Jobs sent", std::to_string(s.jobs));
        row(client, "Bytes sent", tc_size_text(s.bytes_written));
        if (s.last_use) {
            char when[64];
            const time_t t = time_t(s.last_use);
            strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", localtime(&t));
            row(client, "Last job", when);
        }
        papplClientHTMLPuts(client, "</table>\n");
        if (const std::string held = port_status(s.uri); !held.empty()) {
            papplClientHTMLPuts(client, "<p>The port (<code>tessal --status</code>):</p><pre id=\"tessal-port\">");
            text(client, held);
            papplClientHTMLPuts(client, "</pre>\n");
        }
        if (s.choice.language == pa_language::none && !s.choice_note.empty())
            papplClientHTMLPuts(client, "<p id=\"tessal-unknown\">The printer's Device ID names no language this "
                                        "app drives, so no printer was added. If you know it understands PCL or "
                                        "PostScript, <a href=\"/addprinter\">add it here</a> with that driver.</p>\n");
    }
    papplSystemIteratePrinters(system, printer_rows, client);
    papplClientHTMLPuts(client, "<p>On the daemon's machine, <code>tessal --probe</code> checks the port and "
                                "the printer, and <code>tessal --status</code> shows which client holds the "
                                "port and who waits for it.</p>\n</div></div></div>\n");
    papplClientHTMLFooter(client);
    return true;
}

}  // namespace

void pa_web_register(pappl_system_t *system) {
    papplSystemAddResourceCallback(system, "/tessal", "text/html", page, nullptr);
    papplSystemAddLink(system, "tessal", "/tessal", pappl_loptions_t(PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_STATUS));
}

void pa_web_add_printer_link(pappl_printer_t *printer) {
    papplPrinterAddLink(printer, "tessal", "/tessal", PAPPL_LOPTIONS_STATUS);
}
