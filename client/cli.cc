// tessal-client's command line: the options, the commands and their arguments, checked whole
// before anything is sent.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "client/cli.h"

namespace {

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

}  // namespace

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
  "  id                show the printer's IEEE 1284 Device ID and its fields\n"
    "\n"
    "Exit status: 0 when every command succeeded, 1 when one failed or came back short,\n"
    "2 for a usage error.\n";

const char *verb_name(verb v) {
    switch (v) {
    case verb::init: return "init";
    case verb::reset: return "reset";
    case verb::write: return "write";
    case verb::read: return "read";
    case verb::print: return "print";
    case verb::id: return "id";
    }
    return "?";
}

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
        } else if (word == "id") {
            o.commands.push_back({verb::id, "", 0});
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
