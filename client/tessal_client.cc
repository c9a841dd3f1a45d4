// tessal-client: sends INIT, RESET, WRITE and READ requests to a tessal daemon from the command
// line, all over one connection and in the order given, and stops at the first one that fails
// or comes back short. Input is sent as it arrives, in bounded WRITEs, so a job trickling from a
// pipe is printed while it is made; a printer that pauses gets the rest once it takes data
// again, and a busy port is waited for, each said in one line (and a progress bar on a
// terminal). Output files are written under a temporary name and renamed only on success, so a
// failed read never clobbers what was there.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "client/client.h"

namespace {

constexpr const char *PROG = "tessal-client";

const char SYNOPSIS[] =
    "Usage: tessal-client [-H HOST] [-p PORT] [-q] [--timeout S] COMMAND [ARGS] [COMMAND...]\n";

const char HELP[] =
    "Sends requests to a tessal daemon over one connection, in the order given.\n"
    "\n"
    "Options:\n"
    "  -H, --host HOST   the daemon's host name or address (default 127.0.0.1)\n"
    "  -p, --port PORT   the daemon's TCP port (default 8822)\n"
    "  -q, --quiet       print nothing but errors (no progress, no notices)\n"
    "  --timeout S       give up on a printer that takes no data, or a port that stays\n"
    "                    busy, after S seconds (default 300; 0: never)\n"
    "  --connect-timeout S  give up connecting after S seconds (default 30)\n"
    "  --reply-timeout S    wait S seconds for a reply, plus 1 s per 4 KiB it carries\n"
    "                    (default 60)\n"
    "  -h, --help        show this text\n"
    "  --version         show the version\n"
    "\n"
    "Commands:\n"
    "  init              open the port and negotiate ECP mode\n"
    "  reset             return the port to compatibility mode\n"
    "  write FILE|-      send a file (or standard input) to the device\n"
    "  read N [-o FILE]  read N bytes from the device into FILE (default standard output)\n"
    "  print FILE|-      init, write the file, reset\n"
    "\n"
    "Exit status: 0 when every command succeeded, 1 when one failed or came back short,\n"
    "2 for a usage error.\n";

constexpr uint64_t MAX_SECONDS = 2000000;  // keeps every time-out in milliseconds inside an int

enum class verb { init, reset, write, read, print };

struct command {
    verb what;
    std::string file;  // write/print: input ("-" is standard input); read: output ("" is stdout)
    uint64_t n = 0;    // read: bytes wanted
};

struct options {
    std::string host = TC_DEFAULT_HOST;
    uint16_t port = TC_DEFAULT_PORT;
    bool quiet = false;
    bool version = false;
    uint64_t timeout_s = 300, connect_timeout_s = 30, reply_timeout_s = 60;
    std::vector<command> commands;
};

const char *verb_name(verb v) {
    switch (v) {
    case verb::init: return "init";
    case verb::reset: return "reset";
    case verb::write: return "write";
    case verb::read: return "read";
    case verb::print: return "print";
    }
    return "?";
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

int usage_error(const std::string &problem) {
    std::fprintf(stderr, "%s: %s\n%sRun '%s --help' for the commands.\n", PROG, problem.c_str(),
                 SYNOPSIS, PROG);
    return 2;
}

// A plain unsigned decimal: strtoull alone would accept "-1", "0x10" and trailing junk.
bool parse_number(const char *s, uint64_t max, uint64_t *out) {
    if (*s < '0' || *s > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

// Returns 0 when the arguments make sense, 1 for --help, else a usage problem in *problem.
int parse_args(int argc, char **argv, options &o, std::string *problem) {
    enum { OPT_TIMEOUT = 256, OPT_CONNECT_TIMEOUT, OPT_REPLY_TIMEOUT, OPT_VERSION };
    static const option longopts[] = {{"host", required_argument, nullptr, 'H'},
                                      {"port", required_argument, nullptr, 'p'},
                                      {"quiet", no_argument, nullptr, 'q'},
                                      {"timeout", required_argument, nullptr, OPT_TIMEOUT},
                                      {"connect-timeout", required_argument, nullptr, OPT_CONNECT_TIMEOUT},
                                      {"reply-timeout", required_argument, nullptr, OPT_REPLY_TIMEOUT},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, OPT_VERSION},
                                      {nullptr, 0, nullptr, 0}};
    opterr = 0;  // getopt's own messages would name argv[0]; ours name the program
    int opt;
    // "+" stops at the first command, so a command's own "-o" and a "-" file are left alone.
    while ((opt = getopt_long(argc, argv, "+:H:p:qh", longopts, nullptr)) != -1) {
        uint64_t port = 0;
        switch (opt) {
        case 'H': o.host = optarg; break;
        case 'p':
            if (!parse_number(optarg, 65535, &port) || port == 0) {
                *problem = format("bad port '%s'", optarg);
                return -1;
            }
            o.port = uint16_t(port);
            break;
        case 'q': o.quiet = true; break;
        case OPT_TIMEOUT:
        case OPT_CONNECT_TIMEOUT:
        case OPT_REPLY_TIMEOUT: {
            const bool give_up = opt == OPT_TIMEOUT;
            uint64_t *to = give_up                      ? &o.timeout_s
                           : opt == OPT_CONNECT_TIMEOUT ? &o.connect_timeout_s
                                                        : &o.reply_timeout_s;
            if (!parse_number(optarg, MAX_SECONDS, to) || (*to == 0 && !give_up)) {
                *problem = format("bad number of seconds '%s' for --%s", optarg,
                                  longopts[opt - OPT_TIMEOUT + 3].name);
                return -1;
            }
            break;
        }
        case OPT_VERSION: o.version = true; return 1;
        case 'h': return 1;
        case ':': *problem = format("option '%s' needs an argument", argv[optind - 1]); return -1;
        default:
            *problem = optopt != 0 ? format("unknown option '-%c'", optopt)
                                   : format("unknown option '%s'", argv[optind - 1]);
            return -1;
        }
    }
    for (int i = optind; i < argc; ++i) {
        const std::string word = argv[i];
        const bool has_arg = i + 1 < argc;
        if (word == "init") {
            o.commands.push_back({verb::init, "", 0});
        } else if (word == "reset") {
            o.commands.push_back({verb::reset, "", 0});
        } else if (word == "write" || word == "print") {
            if (!has_arg) {
                *problem = word + " needs a FILE (or - for standard input)";
                return -1;
            }
            o.commands.push_back({word == "write" ? verb::write : verb::print, argv[++i], 0});
        } else if (word == "read") {
            command c{verb::read, "", 0};
            if (!has_arg || !parse_number(argv[i + 1], UINT64_MAX, &c.n)) {
                *problem = has_arg ? format("read: bad byte count '%s'", argv[i + 1])
                                   : "read needs a byte count N";
                return -1;
            }
            ++i;
            if (i + 1 < argc && std::strcmp(argv[i + 1], "-o") == 0) {
                if (i + 2 >= argc) {
                    *problem = "read: -o needs a FILE";
                    return -1;
                }
                c.file = argv[i + 2];
                i += 2;
            }
            o.commands.push_back(c);
        } else {
            *problem = "unknown command '" + word + "'";
            return -1;
        }
    }
    if (o.commands.empty()) {
        *problem = "no command given";
        return -1;
    }
    return 0;
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
        if (rc != 0 || rename(temp.c_str(), path.c_str()) != 0)
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
    tc_events events(const command &c, progress *bar, const uint64_t *base) {
        tc_events ev;
        ev.waiting = [this, &c] { scr.note(c, "waiting for the printer (busy)"); };
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
            ev.progress = [bar, base](uint64_t done) { bar->show(*base + done); };
        return ev;
    }
};

// "W of N bytes written" with N the input's size when it is known, else what was read of it.
std::string totals(uint64_t written, uint64_t offered, int64_t size, bool whole_input_read) {
    if (size >= 0)
        return format("%" PRIu64 " of %" PRId64 " bytes written", written, size);
    return format("%" PRIu64 " of %" PRIu64 " bytes%s written", written, offered,
                  whole_input_read ? "" : " read so far");
}

// Reads what the input has now, up to n bytes: a pipe gives what has arrived, so it is sent at
// once instead of after a whole buffer has filled.
ssize_t read_some(int fd, uint8_t *p, size_t n) {
    for (;;) {
        const ssize_t r = read(fd, p, n);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

// Streams the input in bounded WRITEs, waiting out a paused printer. Returns "" when every byte
// was written; *written counts what the daemon took either way.
std::string send_stream(session &s, const command &c, int fd, uint64_t *written) {
    struct stat st;
    const int64_t size = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? int64_t(st.st_size) : -1;
    std::vector<uint8_t> &buf = s.buffer(TC_WRITE_CHUNK);
    progress bar{s.scr, c, size};
    const uint64_t base = *written;
    uint64_t offered = 0;
    const tc_events ev = s.events(c, &bar, &base);
    for (;;) {
        const ssize_t n = read_some(fd, buf.data(), TC_WRITE_CHUNK);
        if (n < 0) {
            bar.done();
            return format("cannot read %s: %s (%s)", shown(c.file), std::strerror(errno),
                          totals(*written, offered, size, false).c_str());
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
            const std::string sum = totals(*written, offered, size, false);
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
            // A job cut short still gives the port back, as long as the connection stands.
            const tc_result r = tc_connected(s.client) ? tc_reset(s.client) : tc_result{};
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

std::string run_command(session &s, const command &c) {
    switch (c.what) {
    case verb::init:
    case verb::reset: return run_simple(s, c);
    case verb::write:
    case verb::print: return run_write(s, c);
    case verb::read: return run_read(s, c);
    }
    return "unknown command";
}

int ms(uint64_t seconds) { return int(seconds * 1000); }

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

    const tc_result r = tc_connect(s.client, o.host, o.port);
    if (r.error != tc_errc::none) {
        std::fprintf(stderr, "%s: %s\n", PROG, r.message.c_str());
        return 1;
    }
    for (const command &c : o.commands) {
        const std::string why = run_command(s, c);
        if (!why.empty()) {
            s.scr.line(std::string(verb_name(c.what)) + ": " + why);
            return 1;
        }
    }
    return 0;
}
