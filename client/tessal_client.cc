// tessal-client: sends INIT, RESET, WRITE, READ and DEVICE_ID requests to a tessal daemon from the command
// line, all over one connection and in the order given, and stops at the first one that fails
// or comes back short. Input is sent as it arrives, in bounded WRITEs, so a job trickling from a
// pipe is printed while it is made; a printer that pauses gets the rest once it takes data
// again, and a busy port is waited for, each said in one line (and a progress bar on a
// terminal). Output files are written under a temporary name and renamed only on success, so a
// failed read never clobbers what was there.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "client/cli.h"
#include "client/client.h"

namespace {

// Ctrl-C (or SIGTERM) ends the run in order: the signal is only noted here and a byte written to
// the self-pipe every wait of the library polls, so the wait under way ends at once, the
// progress line is wiped and one line says where the run stopped.
volatile sig_atomic_t interrupted = 0;
int interrupt_pipe[2] = {-1, -1};

void on_interrupt(int sig) {
    interrupted = sig;
    const int saved = errno;
    (void)!write(interrupt_pipe[1], "x", 1);
    errno = saved;
}

void catch_interrupts(tc_options &o) {
    if (pipe2(interrupt_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // without the pipe the signals keep their default action
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a read of the input returns EINTR and looks at the flag
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    o.cancel = &interrupted;
    o.cancel_fd = interrupt_pipe[0];
}

// What is wrong with a reply, or "" when it is OK.
std::string reply_problem(const tc_result &r) {
    if (r.error != tc_errc::none)
        return r.message;
    if (r.status != MSG_OK)
        return "the daemon answered FAIL: " + tc_fail_text(r);
    return "";
}

bool put_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

const char *shown(const std::string &file) { return file == "-" ? "standard input" : file.c_str(); }

// A read's output file: a temporary file beside FILE, created before the first request so a bad
// path costs no trip to the printer, and renamed over FILE only when the whole count came.
struct out_file {
    std::string path, temp;
    int fd = -1;

    out_file() = default;
    out_file(const out_file &) = delete;
    out_file &operator=(const out_file &) = delete;
    ~out_file() {
        if (fd >= 0)
            close(fd);
        if (!temp.empty())
            unlink(temp.c_str());
    }

    std::string open_for(const std::string &file) {
        path = file;
        // A device or a pipe (/dev/null, a FIFO) is written as it is: a file renamed over it
        // would replace it for everyone on the machine.
        struct stat st;
        if (stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
            return fd < 0 ? format("cannot open %s: %s", file.c_str(), std::strerror(errno)) : "";
        }
        const size_t slash = file.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : file.substr(0, slash + 1);
        std::string name = dir + "." + file.substr(dir.size()) + ".XXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0)
            return format("cannot create %s: %s", file.c_str(), std::strerror(errno));
        temp = name;
        // mkstemp makes the file 0600; the finished file gets what creat would give it.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        return "";
    }
    std::string commit() {
        const int rc = close(fd);
        fd = -1;
        if (rc != 0 || (!temp.empty() && rename(temp.c_str(), path.c_str()) != 0))
            return format("cannot write %s: %s", path.c_str(), std::strerror(errno));
        temp.clear();
        return "";
    }
};

// One line on standard error that a progress bar may be sharing: the bar is wiped first.
struct screen {
    bool quiet = false;
    bool bar_shown = false;
    bool tty = false;

    void line(const std::string &text) {
        if (bar_shown)
            std::fputs("\r\033[K", stderr);
        bar_shown = false;
        std::fprintf(stderr, "%s: %s\n", PROG, text.c_str());
    }
    void note(const command &c, const std::string &what) {
        if (!quiet)
            line(std::string(verb_name(c.what)) + ": " + what);
    }
};

// The progress of one transfer on a terminal: bytes, rate and, when the size is known, a bar
// and a percentage; redrawn at most ten times a second.
struct progress {
    screen &scr;
    const command &cmd;
    int64_t size;  // -1: not known (a pipe)
    int64_t start = tc_now_ms();
    int64_t drawn = 0;

    void show(uint64_t done, bool last = false) {
        if (scr.quiet || !scr.tty)
            return;
        const int64_t now = tc_now_ms();
        if (!last && now - drawn < 100)
            return;
        drawn = now;
        std::string text = std::string(PROG) + ": " + verb_name(cmd.what) + ": ";
        if (size >= 0) {
            const unsigned pct = tc_percent(done, uint64_t(size));
            text += "[" + std::string(pct / 5, '#') + std::string(20 - pct / 5, '.') + "] " +
                    std::to_string(pct) + "%  ";
        }
        text += tc_size_text(done) + "  " + tc_rate_text(done, now - start);
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
        scr.bar_shown = true;
    }
    void done() {
        if (scr.bar_shown)
            std::fputs("\r\033[K", stderr);
        scr.bar_shown = false;
    }
};

// Everything the commands share: the connection, the input buffer, the screen and the patience.
struct session {
    tc_client client;
    std::vector<uint8_t> buf;
    screen scr;
    tc_patience patience;
    std::vector<out_file> outs;  // one per read -o, in command order
    size_t next_out = 0;

    std::vector<uint8_t> &buffer(size_t n) {
        if (buf.size() < n)
            buf.resize(n);
        return buf;
    }
    // `total` is the command's running total, which grows after each call of the library; the
    // bar adds what the call under way has written so far.
    tc_events events(const command &c, progress *bar, const uint64_t *total) {
        tc_events ev;
        ev.waiting = [this, &c] { scr.note(c, "waiting for the printer (no answer to INIT yet)"); };
        ev.busy = [this, &c](uint32_t reason, int pause_ms) {
            scr.note(c, format("%s, retrying in %d s",
                               reason == MSG_FAIL_BUSY ? "printer busy" : "daemon full (too many connections)",
                               (pause_ms + 999) / 1000));
        };
        ev.stalled = [this, &c](uint64_t, int pause_ms) {
            scr.note(c, format("printer not taking data, retrying in %d s", (pause_ms + 999) / 1000));
        };
        ev.resumed = [this, &c](uint64_t) { scr.note(c, "printer taking data again"); };
        if (bar != nullptr)
            ev.progress = [bar, total](uint64_t done) { bar->show(*total + done); };
        return ev;
    }
};

// "W of N bytes written" with N the input's size when it is known, else what was read of it.
std::string totals(uint64_t written, uint64_t offered, int64_t size) {
    if (size >= 0)
        return format("%" PRIu64 " of %" PRId64 " bytes written", written, size);
    return format("%" PRIu64 " of %" PRIu64 " bytes read so far written", written, offered);
}

// Reads what the input has now, up to n bytes: a pipe gives what has arrived, so it is sent at
// once instead of after a whole buffer has filled.
ssize_t read_some(int fd, uint8_t *p, size_t n) {
    for (;;) {
        const ssize_t r = read(fd, p, n);
        if (r >= 0 || errno != EINTR)
            return r;
        if (interrupted)
            return -1;  // errno EINTR: the caller says where the run stopped
    }
}

// Streams the input in bounded WRITEs, waiting out a paused printer. Returns "" when every byte
// was written; *written counts what the daemon took either way.
std::string send_stream(session &s, const command &c, int fd, uint64_t *written) {
    struct stat st;
    const int64_t size = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? int64_t(st.st_size) : -1;
    std::vector<uint8_t> &buf = s.buffer(TC_WRITE_CHUNK);
    progress bar{s.scr, c, size};
    uint64_t offered = 0;
    const tc_events ev = s.events(c, &bar, written);
    for (;;) {
        const ssize_t n = read_some(fd, buf.data(), TC_WRITE_CHUNK);
        if (n < 0) {
            bar.done();
            if (interrupted)
                return "interrupted (" + totals(*written, offered, size) + ")";
            return format("cannot read %s: %s (%s)", shown(c.file), std::strerror(errno),
                          totals(*written, offered, size).c_str());
        }
        if (n == 0)
            break;
        offered += uint64_t(n);
        const tc_result r =
            tc_write_job(s.client, std::span<const uint8_t>(buf.data(), size_t(n)), s.patience, ev);
        *written += r.count;
        const std::string why = reply_problem(r);
        if (!why.empty() || r.count < uint64_t(n)) {
            bar.done();
            const std::string sum = totals(*written, offered, size);
            if (!why.empty())
                return why + " (" + sum + ")";
            return format("printer took no data for %" PRIu64 " s: %s",
                          uint64_t(s.patience.give_up_ms / 1000), sum.c_str());
        }
    }
    bar.show(*written, true);
    bar.done();
    return "";
}

int open_input(const std::string &file) {
    return file == "-" ? STDIN_FILENO : open(file.c_str(), O_RDONLY | O_CLOEXEC);
}

std::string run_init(session &s, const command &c) {
    const tc_result r = tc_init_wait(s.client, s.patience, s.events(c, nullptr, nullptr));
    return reply_problem(r);
}

std::string run_simple(session &s, const command &c) {
    std::string why;
    if (c.what == verb::init)
        why = run_init(s, c);
    else
        why = reply_problem(tc_reset(s.client));
    if (!why.empty())
        return why;
    s.scr.note(c, format("OK (service process %" PRIu32 ")", tc_last_pid(s.client)));
    return "";
}

std::string run_write(session &s, const command &c) {
    const int fd = open_input(c.file);
    if (fd < 0)
        return format("cannot open %s: %s", c.file.c_str(), std::strerror(errno));
    uint64_t written = 0;
    std::string why;
    if (c.what == verb::print) {
        why = run_init(s, c);
        if (why.empty()) {
            why = send_stream(s, c, fd, &written);
            // A job cut short still gives the port back, as long as the connection stands; an
            // interrupted one gives it back by hanging up, at once.
            const tc_result r = tc_connected(s.client) && !interrupted ? tc_reset(s.client) : tc_result{};
            if (why.empty())
                why = reply_problem(r);
        }
    } else {
        why = send_stream(s, c, fd, &written);
    }
    if (fd != STDIN_FILENO)
        close(fd);
    if (why.empty())
        s.scr.note(c, format("%" PRIu64 " bytes %s", written,
                             c.what == verb::print ? "printed" : "written"));
    return why;
}

std::string run_read(session &s, const command &c) {
    out_file *out = c.file.empty() ? nullptr : &s.outs[s.next_out++];
    const int fd = out == nullptr ? STDOUT_FILENO : out->fd;
    const char *out_name = out == nullptr ? "standard output" : c.file.c_str();
    std::vector<uint8_t> &buf = s.buffer(size_t(std::min<uint64_t>(c.n, TC_MAX_PAYLOAD)));
    uint64_t got = 0;
    std::string why;
    // Counts above one message go out as several READs; the first short one ends the command.
    while (why.empty() && got < c.n) {
        const size_t want = size_t(std::min<uint64_t>(c.n - got, TC_MAX_PAYLOAD));
        const tc_result r = tc_read(s.client, std::span(buf.data(), want));
        why = reply_problem(r);
        if (!why.empty())
            break;
        if (!put_all(fd, buf.data(), size_t(r.count)))
            why = format("cannot write %s: %s", out_name, std::strerror(errno));
        got += r.count;
        if (why.empty() && r.count < want)
            why = format("%" PRIu64 " of %" PRIu64 " bytes read", got, c.n);
    }
    if (why.empty() && out != nullptr)
        why = out->commit();
    else if (!why.empty() && out != nullptr)
        why += format(" (%s left as it was)", c.file.c_str());
    if (why.empty())
        s.scr.note(c, format("%" PRIu64 " bytes read", got));
    return why;
}

// The ID on standard output as a line can show it, then its fields; notices stay on standard
// error as for every command.
std::string run_id(session &s, const command &c) {
    std::string id;
    const tc_result r = tc_device_id(s.client, id);
    if (const std::string why = reply_problem(r); !why.empty())
        return why;
    if (id.empty())
        return "no Device ID available (the daemon is older than the request, or knows none)";
    const tc_id_fields f = tc_parse_device_id(id);
    const auto field = [](const char *name, const std::string &value) {
        std::printf("%s: %s\n", name, value.empty() ? "(none)" : value.c_str());
    };
    field("Device ID", tc_device_id_clean(id));
    field("manufacturer", f.manufacturer);
    field("model", f.model);
    field("command set", f.command_set);
    field("class", f.device_class);
    if (!f.description.empty())
        field("description", f.description);
    std::fflush(stdout);
    s.scr.note(c, format("%zu bytes", id.size()));
    return "";
}

std::string run_command(session &s, const command &c) {
    switch (c.what) {
    case verb::init:
    case verb::reset: return run_simple(s, c);
    case verb::write:
    case verb::print: return run_write(s, c);
    case verb::read: return run_read(s, c);
    case verb::id: return run_id(s, c);
    }
    return "unknown command";
}

int ms(uint64_t seconds) { return int(seconds * 1000); }

// The files print and write read, checked before connecting: a job that cannot be read costs
// no trip to the daemon. "" when every one opens.
std::string check_inputs(const std::vector<command> &commands) {
    for (const command &c : commands) {
        if ((c.what != verb::print && c.what != verb::write) || c.file == "-")
            continue;
        const int fd = open_input(c.file);
        if (fd < 0)
            return format("%s: cannot open %s: %s", verb_name(c.what), c.file.c_str(), std::strerror(errno));
        close(fd);
    }
    return "";
}

// The exit status of a run a signal ended: the shell's convention, 128 + the signal.
int interrupted_status() { return 128 + int(interrupted); }

}  // namespace

int main(int argc, char **argv) {
    options o;
    std::string problem;
    const int parsed = parse_args(argc, argv, o, &problem);
    if (parsed == 1 && o.version) {
        std::printf("%s v.%s\n", PROG, TESSAL_VERSION);
        return 0;
    }
    if (parsed == 1) {
        std::fputs(SYNOPSIS, stdout);
        std::fputs(HELP, stdout);
        return 0;
    }
    if (parsed != 0)
        return usage_error(problem);

    session s;
    s.scr.quiet = o.quiet;
    s.scr.tty = isatty(STDERR_FILENO) == 1;
    s.patience.give_up_ms = ms(o.timeout_s);
    s.client.opts.connect_timeout_ms = ms(o.connect_timeout_s);
    s.client.opts.reply_timeout_ms = ms(o.reply_timeout_s);
    // Output files first: a path that cannot be written fails before the port is taken.
    size_t reads = 0;
    for (const command &c : o.commands)
        reads += c.what == verb::read && !c.file.empty();
    s.outs = std::vector<out_file>(reads);
    for (const command &c : o.commands) {
        if (c.what != verb::read || c.file.empty())
            continue;
        if (const std::string why = s.outs[s.next_out++].open_for(c.file); !why.empty()) {
            std::fprintf(stderr, "%s: read: %s\n", PROG, why.c_str());
            return 1;
        }
    }
    s.next_out = 0;
    if (const std::string why = check_inputs(o.commands); !why.empty()) {
        std::fprintf(stderr, "%s: %s\n", PROG, why.c_str());
        return 1;
    }
    catch_interrupts(s.client.opts);

    const tc_result r = tc_connect(s.client, o.host, o.port);
    if (r.error != tc_errc::none) {
        std::fprintf(stderr, "%s: %s\n", PROG, interrupted ? "interrupted while connecting" : r.message.c_str());
        return interrupted ? interrupted_status() : 1;
    }
    for (const command &c : o.commands) {
        std::string why = run_command(s, c);
        if (interrupted) {
            // The library's "cancelled" becomes what the user did; the totals stay.
            if (why.rfind("cancelled", 0) == 0)
                why.replace(0, 9, "interrupted");
            s.scr.line(std::string(verb_name(c.what)) + ": " + (why.empty() ? "interrupted" : why));
            return interrupted_status();
        }
        if (!why.empty()) {
            s.scr.line(std::string(verb_name(c.what)) + ": " + why);
            return 1;
        }
    }
    return 0;
}
