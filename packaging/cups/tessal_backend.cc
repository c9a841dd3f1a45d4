// tessal: the CUPS backend that prints to a tessal daemon.
//
// cupsd runs it as /usr/lib/cups/backend/tessal for queues whose device URI is
// tessal://HOST[:PORT]. Run with no arguments it reports the scheme and the daemons DNS-SD finds
// on the LAN (discover.cc), for printer discovery; run with a job it sends INIT, DEVICE_ID (the
// printer's make, model and IEEE 1284 Device ID for cupsd, packaging/cups/printer.cc), the job in
// WRITE requests as it arrives, and RESET, and tells cupsd how it went through the exit status and
// the prefixed lines on standard error ("ERROR:", "INFO:", "DEBUG:", "STATE:", "ATTR:", "PPD:",
// "PAGE:").
//
// It behaves the way CUPS's own network backends do: a busy printer is waited for ("printer
// busy, retrying"), a printer that stops taking data is reported offline and retried for as long
// as the job is not cancelled, and a cancelled job (SIGTERM) ends at once: every wait of the
// client library also watches a self-pipe the signal handler writes to, and the port is given
// back with RESET whenever the connection is between requests.
//
// The exit status follows what the scheduler does with it: a daemon that cannot be reached or a
// port that cannot be opened is temporary (retry the job later), a job that broke off halfway is
// a failure (the queue's error policy decides), and a URI that can never work stops the queue.
//
// The backend is installed world-executable (0755) so cupsd runs it as the unprivileged "lp"
// user: it only needs a TCP connection, never the port itself.
//
// Rejected: linking libcups for cupsBackendDeviceURI and cupsBackendReport (two small functions
// would pull in the whole client library and its TLS stack), and the back channel (the daemon's
// READ needs a reversal of the link that would interleave with the job's own bytes).
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/client.h"
#include "packaging/cups/backend.h"

namespace {

// The scheduler's meaning of each exit status.
enum backend_status {
    BACKEND_OK = 0,
    BACKEND_FAILED = 1,
    BACKEND_STOP = 4,
    BACKEND_RETRY = 6,
};

volatile sig_atomic_t cancelled = 0;
int cancel_pipe[2] = {-1, -1};

// cupsd sends SIGTERM when the job is cancelled. The byte in the self-pipe wakes whatever the
// backend is waiting on, even a wait that began a moment after the flag was set.
void on_term(int) {
    cancelled = 1;
    const int saved = errno;
    if (cancel_pipe[1] >= 0)
        (void)!write(cancel_pipe[1], "x", 1);
    errno = saved;
}

// One status line to cupsd. Whatever is formatted in passes through clean_text, so no byte from
// a URI, a file name or a daemon's message can start a line of its own.
void say(const char *prefix, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void say(const char *prefix, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "%s: %s\n", prefix, clean_text(text).c_str());
}

// The device URI as cupsd hands it over: DEVICE_URI first, since argv[0] loses any
// authentication part, then argv[0] when it looks like a URI.
const char *find_uri(char **argv) {
    const char *env = std::getenv("DEVICE_URI");
    if (env != nullptr && *env != '\0')
        return env;
    return std::strchr(argv[0], ':') != nullptr ? argv[0] : nullptr;
}

struct job {
    int fd = 0;              // the job's data: the file argument, or standard input
    int copies = 1;          // only a file can be sent more than once
    int64_t size = -1;       // bytes per copy when known
    uint64_t total = 0;      // size × copies, 0 when not known (or too large to say)
    uint64_t sent = 0;
    int64_t last_report = 0;
};

// Reads what the input has now, waiting (cancellably) for a pipe to bring more. The bytes read,
// 0 at the end, -1 on an error, -2 once the job is cancelled.
ssize_t read_input(int fd, uint8_t *buf, size_t size) {
    for (;;) {
        if (cancelled)
            return -2;
        pollfd p[2] = {{fd, POLLIN, 0}, {cancel_pipe[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (p[1].revents != 0)
            return -2;
        const ssize_t r = read(fd, buf, size);
        if (r >= 0)
            return r;
        if (errno != EINTR && errno != EAGAIN)
            return -1;
    }
}

// "W of T bytes" when the job's size is known, "W bytes" otherwise.
std::string sent_text(const job &j) {
    char text[96];
    if (j.total > 0)
        std::snprintf(text, sizeof text, "%llu of %llu bytes", (unsigned long long)j.sent,
                      (unsigned long long)j.total);
    else
        std::snprintf(text, sizeof text, "%llu bytes", (unsigned long long)j.sent);
    return text;
}

// The job's progress, at most once a second (and whenever `now_anyway`), for the queue's status
// line and the job's media-progress attribute.
void report_progress(job &j, bool now_anyway) {
    const int64_t now = tc_now_ms();
    if (!now_anyway && now - j.last_report < 1000)
        return;
    j.last_report = now;
    if (j.total > 0) {
        const unsigned pct = tc_percent(j.sent, j.total);
        say("INFO", "Sent %s of %s (%u%%)", tc_size_text(j.sent).c_str(),
            tc_size_text(j.total).c_str(), pct);
        say("ATTR", "job-media-progress=%u", pct);
    } else {
        say("INFO", "Sent %s", tc_size_text(j.sent).c_str());
    }
}

tc_events job_events() {
    tc_events ev;
    ev.waiting = [] { say("INFO", "waiting for the printer (busy)"); };
    ev.busy = [](uint32_t reason, int pause_ms) {
        say("INFO", "%s, retrying in %d s",
            reason == MSG_FAIL_BUSY ? "printer busy" : "daemon full (too many connections)",
            (pause_ms + 999) / 1000);
    };
    // The way CUPS's network backends show a printer that stopped answering: the offline
    // reason while it lasts, with the reason in words.
    ev.stalled = [](uint64_t done, int pause_ms) {
        say("STATE", "+offline-report");
        say("INFO", "printer not taking data, retrying");
        say("DEBUG", "the printer took %llu bytes of this copy, then stopped; next try in %d s",
            (unsigned long long)done, (pause_ms + 999) / 1000);
    };
    ev.resumed = [](uint64_t) {
        say("STATE", "-offline-report");
        say("INFO", "Sending the print job");
    };
    return ev;
}

// Sends one copy of the job. BACKEND_OK, or BACKEND_FAILED after an ERROR line; a cancellation
// returns BACKEND_OK with the flag set and the caller sees to it.
int send_copy(tc_client &c, job &j, std::vector<uint8_t> &buf) {
    tc_patience p;
    p.give_up_ms = 0;  // a paused printer is waited for until the job is cancelled
    tc_events ev = job_events();
    const uint64_t base = j.sent;
    uint64_t copy_sent = 0;
    ev.progress = [&](uint64_t done) {
        j.sent = base + copy_sent + done;
        report_progress(j, false);
    };
    for (;;) {
        const ssize_t n = read_input(j.fd, buf.data(), buf.size());
        if (n == -2)
            return BACKEND_OK;
        if (n < 0) {
            say("ERROR", "cannot read the print job: %s (%s sent)", std::strerror(errno),
                sent_text(j).c_str());
            return BACKEND_FAILED;
        }
        if (n == 0)
            return BACKEND_OK;
        const tc_result r =
            tc_write_job(c, std::span<const uint8_t>(buf.data(), size_t(n)), p, ev);
        copy_sent += r.count;
        j.sent = base + copy_sent;
        if (r.error == tc_errc::cancelled)
            return BACKEND_OK;
        if (!r.ok() || r.count != uint64_t(n)) {
            const std::string why = r.error != tc_errc::none ? r.message
                                    : r.ok()                 ? "the printer stopped taking data"
                                                             : "the daemon answered FAIL";
            say("ERROR", "sending the job failed: %s (%s sent)", why.c_str(), sent_text(j).c_str());
            return BACKEND_FAILED;
        }
    }
}

// Gives the port back after a cancellation, if the connection is between requests: the cancel
// hooks are taken off so RESET itself can wait for its reply (the daemon drains the FIFO first).
void reset_after_cancel(tc_client &c) {
    if (!tc_connected(c))
        return;
    c.opts.cancel = nullptr;
    c.opts.cancel_fd = -1;
    c.opts.reply_timeout_ms = 10000;
    const tc_result r = tc_reset(c);
    if (!r.ok())
        say("DEBUG", "RESET after the cancellation: %s", r.message.c_str());
}

int cancel_job(tc_client &c, const job &j) {
    reset_after_cancel(c);
    say("INFO", "Job cancelled after %s", sent_text(j).c_str());
    return BACKEND_FAILED;
}

// INIT, every copy of the job, RESET; the port is given back even when the job broke off.
int print_job(const device_uri &dev, job &j) {
    say("STATE", "+connecting-to-device");
    say("INFO", "Connecting to the tessal daemon at %s port %u", dev.host.c_str(),
        unsigned(dev.port));
    tc_client c;
    c.opts.cancel = &cancelled;
    c.opts.cancel_fd = cancel_pipe[0];
    tc_result r = tc_connect(c, dev.host, dev.port);
    say("STATE", "-connecting-to-device");
    if (r.error == tc_errc::cancelled)
        return cancel_job(c, j);
    if (r.error != tc_errc::none) {
        say("ERROR", "%s", r.message.c_str());
        return BACKEND_RETRY;
    }
    tc_patience p;
    p.give_up_ms = 0;
    r = tc_init_wait(c, p, job_events());
    if (r.error == tc_errc::cancelled)
        return cancel_job(c, j);
    if (!r.ok()) {
        say("ERROR", "the printer port could not be opened: %s",
            r.error != tc_errc::none ? r.message.c_str()
                                     : ("the daemon answered FAIL: " + tc_fail_text(r)).c_str());
        return BACKEND_RETRY;
    }
    const printer_info printer = ask_printer(c);
    if (printer.result.error == tc_errc::cancelled)
        return cancel_job(c, j);
    if (printer.result.error != tc_errc::none) {
        say("ERROR", "%s", printer.result.message.c_str());
        return BACKEND_RETRY;  // nothing was sent: the job can go again as it is
    }
    if (printer.device_id.empty()) {
        say("DEBUG", "no Device ID: %s",
            printer.result.ok() ? "the daemon knows none, or is older than the request"
                                : tc_fail_text(printer.result).c_str());
        say("INFO", "Sending the print job");
    } else {
        // The ID into the queue's PPD (CUPS matches drivers on 1284DeviceID; a raw queue has no
        // PPD and cupsd ignores the line); the quotes make it the keyword's quoted string.
        say("DEBUG", "printer %s, Device ID %s", printer.make_and_model.c_str(), printer.device_id.c_str());
        say("PPD", "1284DeviceID='\"%s\"'", printer.device_id.c_str());
        say("INFO", "Sending the print job to %s", printer.make_and_model.c_str());
    }
    std::vector<uint8_t> buf(TC_WRITE_CHUNK);
    int status = BACKEND_OK;
    for (int copy = 0; copy < j.copies && status == BACKEND_OK && !cancelled; ++copy) {
        if (copy > 0 && lseek(j.fd, 0, SEEK_SET) != 0) {
            say("ERROR", "cannot rewind the print job: %s", std::strerror(errno));
            status = BACKEND_FAILED;
            break;
        }
        status = send_copy(c, j, buf);
        if (status == BACKEND_OK && !cancelled)
            report_progress(j, true);
    }
    if (cancelled)
        return cancel_job(c, j);
    r = tc_reset(c);
    if (r.error == tc_errc::none && r.status == MSG_FAIL) {
        // The daemon had to drop the job's last bytes (the printer never took them): the job
        // did not print whole, and cupsd must not mark it completed.
        say("ERROR", "%s", tc_dropped_text(r).c_str());
        return BACKEND_FAILED;
    }
    if (!r.ok())
        say("DEBUG", "RESET after the job: %s", r.message.c_str());
    if (status != BACKEND_OK)
        return status;
    // A raw job has no page structure the backend could count, so each copy counts as one page.
    say("PAGE", "1 %d", j.copies);
    say("INFO", "Print job sent, %llu bytes", (unsigned long long)j.sent);
    return BACKEND_OK;
}

int run_job(int argc, char **argv) {
    const char *uri = find_uri(argv);
    if (uri == nullptr) {
        say("ERROR", "no device URI in DEVICE_URI or argv[0]");
        return BACKEND_FAILED;
    }
    device_uri dev;
    std::string why;
    if (!parse_uri(uri, dev, why)) {
        say("ERROR", "bad device URI \"%s\": %s (use tessal://HOST[:PORT])",
            uri_for_display(uri).c_str(), why.c_str());
        return BACKEND_STOP;
    }
    job j;
    if (!parse_copies(argv[4], &j.copies)) {
        say("ERROR", "bad copies count \"%s\" (1 to %d)", argv[4], BACKEND_MAX_COPIES);
        return BACKEND_FAILED;
    }
    if (argc == 7) {
        j.fd = open(argv[6], O_RDONLY | O_CLOEXEC);
        if (j.fd < 0) {
            say("ERROR", "cannot open the print file %s: %s", argv[6], std::strerror(errno));
            return BACKEND_FAILED;
        }
        struct stat st;
        if (fstat(j.fd, &st) == 0 && S_ISREG(st.st_mode))
            j.size = st.st_size;
    } else {
        // Standard input carries filtered data whose copies are already made: it goes once.
        j.copies = 1;
    }
    uint64_t total = 0;
    if (j.size > 0 && !__builtin_mul_overflow(uint64_t(j.size), uint64_t(j.copies), &total))
        j.total = total;
    say("DEBUG", "job %s for %s to %s port %u, %d copies", argv[1], argv[2], dev.host.c_str(),
        unsigned(dev.port), j.copies);
    const int status = print_job(dev, j);
    if (j.fd > 0)
        close(j.fd);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    if (pipe2(cancel_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        cancel_pipe[0] = cancel_pipe[1] = -1;
    struct sigaction sa = {};
    sa.sa_handler = on_term;  // no SA_RESTART: a wait in progress returns at once
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a daemon that hangs up shows as a failed request instead

    if (argc == 1) {
        // Discovery: the scheme, for a URI typed by hand, then every daemon DNS-SD finds.
        std::printf("network tessal \"Unknown\" \"tessal MFP over TCP\"\n");
        std::fflush(stdout);
        discover_daemons();
        return BACKEND_OK;
    }
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n",
                     clean_text(argv[0]).c_str());
        return BACKEND_FAILED;
    }
    return run_job(argc, argv);
}
