// The tessal:// device scheme: PAPPL opens a device for each job and for the printer's status,
// and each open is one connection to the daemon holding the port from INIT to RESET, so another
// client (the raw port, tessal-client, a scan) gets the printer between jobs.
//
// A port another client holds, like a daemon that cannot be reached, fails the open, and PAPPL
// tries the job again every few seconds; a paused printer is waited for with the client
// library's loop (tc_write_job), for up to five minutes without a byte taken. The log and the
// tessal page say what a job waits for, and so does the printer's printer-state-reasons: the
// device callbacks only record what the daemon answered, and a thread of its own (the reasons
// updater, woken on each change) tells PAPPL outside the device callbacks. They never touch the
// printer object themselves: PAPPL holds its lock around them, and taking it again there hangs
// the job (measured).
//
// Rejected: keeping the connection open between jobs (it would hold the port, and so the
// scanner, for as long as the app runs); buffering writes into larger WRITEs here (PAPPL already
// buffers, and a failure at close could no longer be reported to the job); the driver's
// status_cb for the reasons (PAPPL calls it only while no job is active, so never while a
// job waits for the port: measured).
#include <netdb.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "packaging/cups/backend.h"
#include "printerapp/glue.h"

namespace {

struct tessal_device {
    tc_client client;
    std::string uri;
};

std::mutex g_mutex;
std::vector<pa_device_state> g_states;
// The URIs whose busy or offline flag changed since the reasons updater last looked, and what
// wakes it; guarded by g_mutex.
std::vector<std::string> g_changed;
std::condition_variable g_wake;
bool g_stopping = false;

// The record of a URI, made on first use; callers hold g_mutex.
pa_device_state &state_of(const std::string &uri) {
    for (pa_device_state &s : g_states)
        if (s.uri == uri)
            return s;
    g_states.push_back({});
    g_states.back().uri = uri;
    return g_states.back();
}

void update(const std::string &uri, auto &&fn) {
    std::lock_guard lock(g_mutex);
    pa_device_state &s = state_of(uri);
    const bool busy = s.busy, offline = s.offline;
    fn(s);
    if (s.busy == busy && s.offline == offline)
        return;
    if (std::find(g_changed.begin(), g_changed.end(), uri) == g_changed.end())
        g_changed.push_back(uri);
    g_wake.notify_one();
}

// A FAIL reason or a failed connection as the offline or busy flags.
void note_failure(const std::string &uri, const tc_result &r, const std::string &why) {
    update(uri, [&](pa_device_state &s) {
        s.last_error = why;
        s.last_fail = r.error == tc_errc::none ? uint32_t(r.count) : 0;
        s.busy = r.error == tc_errc::none && tc_fail_is_temporary(r);
        s.offline = !s.busy;
    });
}

// What a paused printer does to a job, told in the log.
tc_events job_events(const std::string &uri) {
    tc_events ev;
    ev.stalled = [uri](uint64_t written, int pause_ms) {
        papplLog(pa_system(), PAPPL_LOGLEVEL_INFO,
                 "%s: the printer paused after %llu bytes; sending again in %d s", uri.c_str(),
                 (unsigned long long)written, pause_ms / 1000);
    };
    ev.resumed = [uri](uint64_t written) {
        papplLog(pa_system(), PAPPL_LOGLEVEL_INFO, "%s: the printer takes data again (%llu bytes)",
                 uri.c_str(), (unsigned long long)written);
    };
    return ev;
}

bool open_cb(pappl_device_t *device, const char *uri, const char *) {
    auto *d = new tessal_device;
    d->uri = uri;
    device_uri parts;
    std::string why;
    if (!parse_uri(uri, parts, why)) {
        papplDeviceError(device, "%s: %s", uri_for_display(uri).c_str(), why.c_str());
        delete d;
        return false;
    }
    d->client.host = parts.host;
    d->client.port = parts.port;
    // One INIT: a busy port fails the open once the daemon's own --wait-timeout has passed, and
    // PAPPL tries the job again a few seconds later. Waiting here instead (tc_init_wait) would
    // keep the printer's lock for as long as the other client prints, and every IPP request and
    // web page about the printer would hang meanwhile (measured).
    tc_result r = tc_connect(d->client, parts.host, parts.port);
    if (r.error == tc_errc::none)
        r = tc_init(d->client);
    if (!r.ok()) {
        why = r.error == tc_errc::none ? tc_fail_text(r) : r.message;
        note_failure(d->uri, r, why);
        if (r.error == tc_errc::none && tc_fail_is_temporary(r)) {
            papplLog(pa_system(), PAPPL_LOGLEVEL_INFO, "%s: another client is printing; the job waits its turn",
                     d->uri.c_str());
        } else {
            papplDeviceError(device, "%s: %s", d->uri.c_str(), why.c_str());
        }
        delete d;
        return false;
    }
    update(d->uri, [](pa_device_state &s) {
        s.busy = s.offline = false;
        s.last_error.clear();
        s.last_fail = 0;
        s.jobs++;
        s.last_use = time(nullptr);
    });
    papplDeviceSetData(device, d);
    return true;
}

void close_cb(pappl_device_t *device) {
    auto *d = static_cast<tessal_device *>(papplDeviceGetData(device));
    if (!d)
        return;
    // RESET gives the port back at once; the daemon would do it at the hang-up too.
    tc_reset(d->client);
    tc_close(d->client);
    delete d;
}

ssize_t write_cb(pappl_device_t *device, const void *buffer, size_t bytes) {
    auto *d = static_cast<tessal_device *>(papplDeviceGetData(device));
    const tc_patience patience;
    const tc_result r = tc_write_job(d->client, {static_cast<const uint8_t *>(buffer), bytes},
                                     patience, job_events(d->uri));
    update(d->uri, [&](pa_device_state &s) { s.bytes_written += r.count; });
    if (r.ok() && r.count == bytes)
        return ssize_t(bytes);
    const std::string why = !r.ok() ? (r.error == tc_errc::none ? tc_fail_text(r) : r.message)
                                    : "the printer took no data for " +
                                          std::to_string(patience.give_up_ms / 1000) + " s";
    note_failure(d->uri, r, why);
    papplDeviceError(device, "%s: %s", d->uri.c_str(), why.c_str());
    return -1;
}

ssize_t read_cb(pappl_device_t *device, void *buffer, size_t bytes) {
    auto *d = static_cast<tessal_device *>(papplDeviceGetData(device));
    const tc_result r = tc_read(d->client, {static_cast<uint8_t *>(buffer), std::min(bytes, TC_MAX_PAYLOAD)});
    if (!r.ok()) {
        papplDeviceError(device, "%s: %s", d->uri.c_str(),
                         r.error == tc_errc::none ? "the printer could not be read" : r.message.c_str());
        return -1;
    }
    return ssize_t(r.count);
}

pappl_preason_t status_cb(pappl_device_t *device) {
    auto *d = static_cast<tessal_device *>(papplDeviceGetData(device));
    std::lock_guard lock(g_mutex);
    const pa_device_state &s = state_of(d->uri);
    return s.offline ? PAPPL_PREASON_OFFLINE : s.busy ? PAPPL_PREASON_OTHER : PAPPL_PREASON_NONE;
}

char *id_cb(pappl_device_t *device, char *buffer, size_t bufsize) {
    auto *d = static_cast<tessal_device *>(papplDeviceGetData(device));
    std::string id;
    const tc_result r = tc_device_id(d->client, id);
    if (!r.ok() || id.empty() || bufsize == 0)
        return nullptr;
    const std::string clean = tc_device_id_clean(id);
    update(d->uri, [&](pa_device_state &s) { s.device_id = clean; });
    std::snprintf(buffer, bufsize, "%s", clean.c_str());
    return buffer;
}

bool list_cb(pappl_device_cb_t cb, void *data, pappl_deverror_cb_t err_cb, void *err_data) {
    for (const pa_found &f : pa_find_daemons()) {
        std::string id = f.device_id, why;
        if (id.empty() && !pa_device_query(f.uri, id, why)) {
            if (err_cb)
                err_cb((f.uri + ": " + why).c_str(), err_data);
            continue;
        }
        if (cb(f.info.c_str(), f.uri.c_str(), id.c_str(), data))
            return true;
    }
    return false;
}

// The reasons updater: printer-state-reasons and the waiting job's message for every printer on
// a URI whose flags changed. It runs with no lock of ours held and never inside a PAPPL
// callback, and takes PAPPL's locks one at a time: printers and jobs are collected by ID, then
// looked up again for each call, so no PAPPL lock is ever waited for while another is held.
//
// PAPPL 1.3 knows "offline" but not "offline-report" (its reasons are a fixed bit set), so a
// daemon that cannot be reached, or a printer that is off or does not answer, is "offline".
// "other" stands for a port another client holds. Media and paper reasons are left alone: the
// daemon reports no paper state, and guessing one from a pause would mislead.
constexpr auto kOurReasons = pappl_preason_t(PAPPL_PREASON_OTHER | PAPPL_PREASON_OFFLINE);

void apply_reasons(pappl_system_t *system, const pa_device_state &s) {
    std::vector<int> ids;
    papplSystemIteratePrinters(system, [](pappl_printer_t *p, void *data) {
        static_cast<std::vector<int> *>(data)->push_back(papplPrinterGetID(p));
    }, &ids);
    const auto add = pappl_preason_t(s.offline ? PAPPL_PREASON_OFFLINE : s.busy ? PAPPL_PREASON_OTHER : 0);
    const std::string message = s.offline ? "the printer cannot be reached (" + s.last_error + "); the job waits for it"
                                : s.busy  ? "another client is printing; the job waits its turn"
                                          : "";
    for (const int id : ids) {
        pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, id, nullptr);
        const char *uri = printer ? papplPrinterGetDeviceURI(printer) : nullptr;
        if (!uri || s.uri != uri)
            continue;  // another device's printer, or deleted meanwhile
        papplPrinterSetReasons(printer, add, pappl_preason_t(kOurReasons & ~add));
        int job_id = 0;  // the job being printed: the first active one
        papplPrinterIterateActiveJobs(printer, [](pappl_job_t *j, void *data) {
            *static_cast<int *>(data) = papplJobGetID(j);
        }, &job_id, 1, 1);
        pappl_job_t *job = job_id ? papplPrinterFindJob(printer, job_id) : nullptr;
        if (job && papplJobGetState(job) == IPP_JSTATE_PROCESSING)
            papplJobSetMessage(job, "%s", message.c_str());
    }
}

struct reasons_updater {
    std::thread thread;
    ~reasons_updater() {
        {
            std::lock_guard lock(g_mutex);
            g_stopping = true;
        }
        g_wake.notify_one();
        if (thread.joinable())
            thread.join();
    }
} g_updater;

void run_updater(pappl_system_t *system) {
    std::unique_lock lock(g_mutex);
    for (;;) {
        g_wake.wait(lock, [] { return g_stopping || !g_changed.empty(); });
        if (g_stopping)
            return;
        const std::string uri = g_changed.front();
        g_changed.erase(g_changed.begin());
        const pa_device_state s = state_of(uri);
        lock.unlock();
        // A system shutting down is about to be deleted under the updater, which stops here;
        // PAPPL 1.3 has no hook that would stop it before the deletion itself.
        if (papplSystemIsShutdown(system))
            return;
        apply_reasons(system, s);
        lock.lock();
    }
}

}  // namespace

void pa_device_start_updates(pappl_system_t *system) {
    if (!g_updater.thread.joinable())
        g_updater.thread = std::thread(run_updater, system);
}

void pa_device_register() {
    papplDeviceAddScheme("tessal", PAPPL_DEVTYPE_CUSTOM_NETWORK, list_cb, open_cb, close_cb,
                         read_cb, write_cb, status_cb, id_cb);
}

std::vector<pa_device_state> pa_device_states() {
    std::lock_guard lock(g_mutex);
    return g_states;
}

bool pa_device_query(const std::string &uri, std::string &device_id, std::string &why) {
    device_uri parts;
    if (!parse_uri(uri, parts, why))
        return false;
    tc_client c;
    c.opts.connect_timeout_ms = 3000;
    c.opts.reply_timeout_ms = 15000;
    tc_result r = tc_connect(c, parts.host, parts.port);
    std::string id;
    if (r.error == tc_errc::none)
        r = tc_device_id(c, id);
    if (!r.ok()) {
        why = r.error == tc_errc::none ? tc_fail_text(r) : r.message;
        // No ID from the printer is not an offline daemon: the port may be busy or the printer off.
        update(uri, [&](pa_device_state &s) {
            s.last_error = why;
            s.offline = r.error != tc_errc::none || !tc_fail_is_temporary(r);
        });
        return false;
    }
    device_id = tc_device_id_clean(id);
    update(uri, [&](pa_device_state &s) {
        s.device_id = device_id;
        s.offline = false;
        s.last_error.clear();
    });
    return true;
}

void pa_device_note_choice(const std::string &uri, const pa_driver_choice &c, const std::string &note) {
    update(uri, [&](pa_device_state &s) {
        s.choice = c;
        s.choice_note = note;
    });
}

std::vector<pa_found> pa_find_daemons() {
    std::vector<pa_found> found;
    // The local daemon, when there is one: the app on the MFP's own machine.
    tc_client c;
    c.opts.connect_timeout_ms = 1000;
    if (tc_connect(c, TC_DEFAULT_HOST, TC_DEFAULT_PORT).error == tc_errc::none)
        found.push_back({"tessal://127.0.0.1:" + std::to_string(TC_DEFAULT_PORT), "tessal on this machine", ""});
    // The daemons on the LAN, with the ID their records carry once a client has read it (the
    // command set among it); the others are asked over TCP by the caller.
    for (const found_daemon &d : find_daemons()) {
        if (std::any_of(found.begin(), found.end(), [&](const pa_found &f) { return f.uri == d.uri; }))
            continue;
        std::string id;
        if (!d.device_id.empty() && !d.command_set.empty())
            id = d.device_id + "CMD:" + d.command_set + ";";
        found.push_back({d.uri, d.make_model + " (" + d.name + ")", id});
    }
    return found;
}
