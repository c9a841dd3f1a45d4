// tessal-client: sends INIT, RESET, WRITE and READ requests to a tessal daemon from the command
// line, all over one connection and in the order given, and stops at the first one that fails
// or comes back short. Files are streamed in message-sized chunks so a print job of hundreds of
// megabytes never has to fit in memory.
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
#include <unistd.h>
#include <vector>

#include "client/client.h"

namespace {

constexpr const char *PROG = "tessal-client";

const char SYNOPSIS[] =
    "Usage: tessal-client [-H HOST] [-p PORT] [-q] COMMAND [ARGS] [COMMAND [ARGS]...]\n";

const char HELP[] =
    "Sends requests to a tessal daemon over one connection, in the order given.\n"
    "\n"
    "Options:\n"
    "  -H, --host HOST   the daemon's host name or address (default 127.0.0.1)\n"
    "  -p, --port PORT   the daemon's TCP port (default 8822)\n"
    "  -q, --quiet       print nothing but errors\n"
    "  -h, --help        show this text\n"
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
    static const option longopts[] = {{"host", required_argument, nullptr, 'H'},
                                      {"port", required_argument, nullptr, 'p'},
                                      {"quiet", no_argument, nullptr, 'q'},
                                      {"help", no_argument, nullptr, 'h'},
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
        return format("the daemon answered %s: the device could not do it",
                      msg_code_name(r.status));
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

// Everything the commands share: the connection, one message-sized buffer and the output mode.
struct session {
    tc_client client;
    std::vector<uint8_t> buf;
    bool quiet = false;

    std::vector<uint8_t> &buffer() {
        if (buf.empty())
            buf.resize(TC_MAX_PAYLOAD);
        return buf;
    }
    void note(const command &c, const std::string &what) const {
        if (!quiet)
            std::fprintf(stderr, "%s: %s: %s\n", PROG, verb_name(c.what), what.c_str());
    }
};

// Streams the input in WRITE requests of at most one message each. Returns "" when every byte
// was written; *written counts what the daemon reported either way.
std::string send_stream(session &s, int fd, const std::string &file, uint64_t *written) {
    std::vector<uint8_t> &buf = s.buffer();
    uint64_t offered = 0;
    for (;;) {
        const ssize_t n = read_full(fd, buf.data(), buf.size());  // short only at the end of input
        if (n < 0)
            return format("cannot read %s: %s", shown(file), std::strerror(errno));
        if (n == 0)
            return "";
        const tc_result r = tc_write(s.client, std::span(buf.data(), size_t(n)));
        if (std::string why = reply_problem(r); !why.empty())
            return why;
        offered += uint64_t(n);
        *written += r.count;
        if (r.count < uint64_t(n))
            return format("%" PRIu64 " of %" PRIu64 " bytes written", *written, offered);
        if (size_t(n) < buf.size())
            return "";  // fill stops short only at the end of the input
    }
}

int open_input(const std::string &file) {
    return file == "-" ? STDIN_FILENO : open(file.c_str(), O_RDONLY | O_CLOEXEC);
}

std::string run_simple(session &s, const command &c) {
    const tc_result r = c.what == verb::init ? tc_init(s.client) : tc_reset(s.client);
    if (std::string why = reply_problem(r); !why.empty())
        return why;
    s.note(c, format("OK (service process %" PRIu32 ")", tc_last_pid(s.client)));
    return "";
}

std::string run_write(session &s, const command &c) {
    const int fd = open_input(c.file);
    if (fd < 0)
        return format("cannot open %s: %s", c.file.c_str(), std::strerror(errno));
    uint64_t written = 0;
    std::string why;
    if (c.what == verb::print) {
        why = reply_problem(tc_init(s.client));
        if (why.empty()) {
            why = send_stream(s, fd, c.file, &written);
            // A job cut short still gives the port back, as long as the connection stands.
            const tc_result r = tc_connected(s.client) ? tc_reset(s.client) : tc_result{};
            if (why.empty())
                why = reply_problem(r);
        }
    } else {
        why = send_stream(s, fd, c.file, &written);
    }
    if (fd != STDIN_FILENO)
        close(fd);
    if (why.empty())
        s.note(c, format("%" PRIu64 " bytes %s", written,
                         c.what == verb::print ? "printed" : "written"));
    return why;
}

std::string run_read(session &s, const command &c) {
    const bool to_stdout = c.file.empty();
    const int fd = to_stdout ? STDOUT_FILENO
                             : open(c.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return format("cannot create %s: %s", c.file.c_str(), std::strerror(errno));
    const char *out_name = to_stdout ? "standard output" : c.file.c_str();
    std::vector<uint8_t> &buf = s.buffer();
    uint64_t got = 0;
    std::string why;
    // Counts above one message go out as several READs; the first short one ends the command.
    while (why.empty() && got < c.n) {
        const size_t want = size_t(std::min<uint64_t>(c.n - got, buf.size()));
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
    if (!to_stdout && close(fd) != 0 && why.empty())
        why = format("cannot write %s: %s", out_name, std::strerror(errno));
    if (why.empty())
        s.note(c, format("%" PRIu64 " bytes read", got));
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

}  // namespace

int main(int argc, char **argv) {
    options o;
    std::string problem;
    const int parsed = parse_args(argc, argv, o, &problem);
    if (parsed == 1) {
        std::fputs(SYNOPSIS, stdout);
        std::fputs(HELP, stdout);
        return 0;
    }
    if (parsed != 0)
        return usage_error(problem);

    session s;
    s.quiet = o.quiet;
    const tc_result r = tc_connect(s.client, o.host, o.port);
    if (r.error != tc_errc::none) {
        std::fprintf(stderr, "%s: %s\n", PROG, r.message.c_str());
        return 1;
    }
    for (const command &c : o.commands) {
        const std::string why = run_command(s, c);
        if (!why.empty()) {
            std::fprintf(stderr, "%s: %s: %s\n", PROG, verb_name(c.what), why.c_str());
            return 1;
        }
    }
    return 0;
}
