// tessal-printer-app's start: papplMainloop gives the usual Printer Application command line
// (server, add, devices, drivers, status, submit, shutdown, ...); the system it serves is made
// here so the tessal pieces are in place before the first client: the tessal:// scheme, the
// drivers, the pass-through filters, the tessal page, and a timer that adds the printer behind
// the daemon (by default the local one) as soon as its Device ID names a language we drive.
//
// Options (-o NAME=VALUE after "server"): tessal-uri (tessal://HOST[:PORT], default the local
// daemon), server-port (default 8000), listen-hostname (default every address), log-file
// (default standard error: "-"), log-level, spool-directory, state-file, status-command (what
// the tessal page runs to show who holds a local daemon's port; default "/usr/sbin/tessal
// --status").
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "packaging/cups/backend.h"
#include "port/log.h"
#include "printerapp/glue.h"

namespace {

pappl_system_t *g_system = nullptr;
std::string g_spool, g_state, g_uri, g_status_command;
// How often the printer is looked for while none is set up; a printer switched on later, or a
// daemon started after the app, is added within this time.
constexpr int kAddEverySeconds = 5;

std::string option(int n, cups_option_t *opts, const char *name, const std::string &fallback) {
    const char *v = cupsGetOption(name, n, opts);
    return v && *v ? v : fallback;
}

pappl_loglevel_t log_level(const std::string &s) {
    if (s == "debug")
        return PAPPL_LOGLEVEL_DEBUG;
    if (s == "warn")
        return PAPPL_LOGLEVEL_WARN;
    if (s == "error")
        return PAPPL_LOGLEVEL_ERROR;
    return PAPPL_LOGLEVEL_INFO;
}

bool any_printer = false;
void note_printer(pappl_printer_t *printer, void *) {
    any_printer = true;
    pa_web_add_printer_link(printer);
}

// Adds the daemon's printer once, when none is configured; reports (once per change) why not.
void add_printer(pappl_system_t *system) {
    any_printer = false;
    papplSystemIteratePrinters(system, [](pappl_printer_t *, void *) { any_printer = true; }, nullptr);
    if (any_printer)
        return;
    static std::string last_note;
    std::string id, why;
    if (!pa_device_query(g_uri, id, why)) {
        if (why != last_note)
            papplLog(system, PAPPL_LOGLEVEL_WARN, "%s: no printer yet: %s", g_uri.c_str(), why.c_str());
        last_note = why;
        return;
    }
    std::string note;
    const pa_driver_choice choice = pa_choice_for(g_uri, id, note);
    if (note != last_note)
        papplLog(system, choice.language == pa_language::none ? PAPPL_LOGLEVEL_ERROR : PAPPL_LOGLEVEL_INFO,
                 "%s: %s", g_uri.c_str(), note.c_str());
    last_note = note;
    if (choice.language == pa_language::none)
        return;
    const char *driver = choice.driver;
    const tc_id_fields f = tc_parse_device_id(id);
    std::string name = make_and_model(f);
    if (name == "Unknown")
        name = "tessal printer";
    pappl_printer_t *printer = papplPrinterCreate(system, 0, name.c_str(), driver, id.c_str(), g_uri.c_str());
    if (!printer) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "%s: the printer '%s' could not be created: %s", g_uri.c_str(),
                 name.c_str(), strerror(errno));
        return;
    }
    papplSystemSetDefaultPrinterID(system, papplPrinterGetID(printer));
    // A printer made while the system runs is announced only once its DNS-SD name is set.
    papplPrinterSetDNSSDName(printer, name.c_str());
    pa_web_add_printer_link(printer);
    papplLog(system, PAPPL_LOGLEVEL_INFO, "%s: added the printer '%s'", g_uri.c_str(), name.c_str());
}

// PAPPL runs timers with the system locked, and creating a printer locks it again, so the look
// happens on a thread of its own, one at a time; it also keeps a slow daemon from holding up
// the IPP server.
std::atomic<bool> g_adding{false};
bool add_printer_timer(pappl_system_t *system, void *) {
    if (g_adding.exchange(true))
        return true;
    std::thread([system] {
        add_printer(system);
        g_adding = false;
    }).detach();
    return true;
}

pappl_system_t *make_system(int n, cups_option_t *opts, void *) {
    const bool root = geteuid() == 0;
    const char *home = getenv("HOME");
    const std::string base = root ? "/var/lib/tessal-printer-app" : std::string(home ? home : "/tmp") + "/.local/share/tessal-printer-app";
    g_uri = option(n, opts, "tessal-uri", "tessal://127.0.0.1:" + std::to_string(TC_DEFAULT_PORT));
    g_spool = option(n, opts, "spool-directory", base + "/spool");
    g_state = option(n, opts, "state-file", base + "/state");
    const std::string log = option(n, opts, "log-file", "-");
    const int port = std::atoi(option(n, opts, "server-port", "8000").c_str());
    std::error_code ignored;  // a folder that cannot be made shows up as PAPPL's own error
    for (const std::string &dir : {base, g_spool})
        if (std::filesystem::create_directories(dir, ignored))
            std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ignored);
    const std::string listen = option(n, opts, "listen-hostname", "");
    g_status_command = option(n, opts, "status-command", "/usr/sbin/tessal --status");

    device_uri parts;
    std::string why;
    if (!parse_uri(g_uri, parts, why)) {
        log_error("tessal-printer-app: tessal-uri: %s", why.c_str());
        return nullptr;
    }
    const auto soptions = pappl_soptions_t(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE |
                                           PAPPL_SOPTIONS_WEB_LOG | PAPPL_SOPTIONS_WEB_NETWORK |
                                           PAPPL_SOPTIONS_WEB_SECURITY | PAPPL_SOPTIONS_WEB_TLS);
    g_system = papplSystemCreate(soptions, "tessal-printer-app", port, "_print,_universal", g_spool.c_str(),
                                 log.c_str(), log_level(option(n, opts, "log-level", "info")), nullptr, false);
    if (!g_system)
        return nullptr;
    papplSystemAddListeners(g_system, listen.empty() ? nullptr : listen.c_str());
    papplSystemSetPrinterDrivers(g_system, 4, pa_drivers, pa_autoadd_cb, nullptr, pa_driver_cb, nullptr);
    papplSystemSetFooterHTML(g_system, "tessal-printer-app: the parallel-port MFP behind tessal, for every device on the network");
    pa_add_passthrough_filters(g_system);
    pa_web_register(g_system);
    if (!papplSystemLoadState(g_system, g_state.c_str()))
        papplLog(g_system, PAPPL_LOGLEVEL_INFO, "no saved state in %s: starting afresh", g_state.c_str());
    papplSystemSetSaveCallback(g_system, (pappl_save_cb_t)papplSystemSaveState, (void *)g_state.c_str());
    papplSystemIteratePrinters(g_system, note_printer, nullptr);
    pa_device_start_updates(g_system);
    papplSystemAddTimerCallback(g_system, time(nullptr), kAddEverySeconds, add_printer_timer, nullptr);
    return g_system;
}

}  // namespace

pappl_system_t *pa_system() { return g_system; }
const std::string &pa_spool_dir() { return g_spool; }
const std::string &pa_status_command() { return g_status_command; }

int main(int argc, char *argv[]) {
    pa_device_register();  // before any sub-command: "devices" lists without a server
    return papplMainloop(argc, argv, TESSAL_VERSION, nullptr, 4, pa_drivers, pa_autoadd_cb, pa_driver_cb,
                         nullptr, nullptr, make_system, nullptr, nullptr);
}
