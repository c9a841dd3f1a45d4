// tessal: start-up and options.
//
// The short options keep their getopt semantics exactly ("V:fhi:p:v", unknown options ignored
// after getopt's own diagnostic); the long ones are additions for the simulator and the
// transfer method, which the short option string cannot carry.
#include <getopt.h>
#include <sys/select.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "port/io.h"
#include "port/log.h"
#include "service/daemon.h"
#include "service/requests.h"
#include "sim/sim.h"

extern "C" {
const char *prog_version = "0.90.03";
const char *help_text =
    "\n  tessal : Tessaline\n\n  Usage :\n\n  tessal [ options ]\n\n  Options :\n\n"
    "  -V n   : message Verbosity level n, default 0\n"
    "  -f     : debug mode: run in foreground, log to stdout\n"
    "  -h     : show help and exit\n"
    "  -i dev : use network device 'dev', default lo\n"
    "  -p n   : listen on port n, default %d\n"
    "  -v     : show version\n\n";
}

namespace {

constexpr int kDefaultPort = 8822;

const char *long_help =
    "  Long options :\n\n"
    "  --help          : show this help and exit\n"
    "  --version       : show version\n"
    "  --sim[=CONFIG]  : drive the built-in simulated port and MFP instead of the hardware\n"
    "                    (CONFIG: comma-separated key=value words, see the README)\n"
    "  --software      : move data by software handshake instead of the ECP FIFO\n"
    "  --listen ADDR   : listen on this IPv4 or IPv6 address only (default: every IPv4 address)\n"
    "  --allow CIDR[,CIDR...] : accept connections only from these address ranges\n"
    "  --idle-timeout S: close a connection that sent nothing for S seconds (default: never)\n"
    "  --keepalive I[,N,C] : TCP keepalive: first probe after I s, then every N s, C probes\n"
    "                    (default 60,10,6)\n"
    "  --user NAME     : user a service process becomes once it holds the port (default nobody)\n\n";

struct options {
    int foreground = 0;
    int port = kDefaultPort;
    char device[32] = "lo";
    bool sim = false;
    const char *sim_config = nullptr;
    const char *listen = nullptr;
    bool bad = false;  // a long option's value was refused: exit 2 before listening
};

enum long_only {
    OPT_HELP = 256, OPT_VERSION, OPT_SIM, OPT_SOFTWARE, OPT_LISTEN, OPT_ALLOW, OPT_IDLE, OPT_KEEPALIVE, OPT_USER,
};

const option long_options[] = {
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"sim", optional_argument, nullptr, OPT_SIM},
    {"software", no_argument, nullptr, OPT_SOFTWARE},
    {"listen", required_argument, nullptr, OPT_LISTEN},
    {"allow", required_argument, nullptr, OPT_ALLOW},
    {"idle-timeout", required_argument, nullptr, OPT_IDLE},
    {"keepalive", required_argument, nullptr, OPT_KEEPALIVE},
    {"user", required_argument, nullptr, OPT_USER},
    {nullptr, 0, nullptr, 0},
};

[[noreturn]] void show_version() {
    std::fprintf(stderr, "tessal v.%s\n", prog_version);
    std::exit(0);
}

// A whole decimal number in [lo, hi], or false.
bool number(const char *text, long lo, long hi, int &out) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < lo || v > hi)
        return false;
    out = int(v);
    return true;
}

bool parse_keepalive(const char *text) {
    int v[3] = {keepalive_idle, keepalive_interval, keepalive_count};
    std::string rest = text;
    for (int i = 0; i < 3 && !rest.empty(); i++) {
        const auto comma = rest.find(',');
        if (!number(rest.substr(0, comma).c_str(), 1, 32767, v[i]))
            return false;
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        if (comma != std::string::npos && rest.empty())
            return false;
    }
    if (!rest.empty())
        return false;
    keepalive_idle = v[0];
    keepalive_interval = v[1];
    keepalive_count = v[2];
    return true;
}

void refuse(options &o, const char *what, const char *value) {
    log_error("bad value '%s' for --%s", value, what);
    o.bad = true;
}

options parse(int argc, char **argv) {
    options o;
    int c;
    while ((c = getopt_long(argc, argv, "V:fhi:p:v", long_options, nullptr)) != -1) {
        switch (c) {
        case 'V': verbose = int(std::strtol(optarg, nullptr, 10)); break;
        case 'f': o.foreground = 1; break;
        case 'h':
            std::fprintf(stderr, help_text, kDefaultPort);
            std::exit(0);
        case 'i': std::snprintf(o.device, sizeof o.device, "%s", optarg); break;
        case 'p': o.port = int(std::strtol(optarg, nullptr, 10)); break;
        case 'v': show_version();
        case OPT_HELP:
            std::fprintf(stderr, help_text, kDefaultPort);
            std::fputs(long_help, stderr);
            std::exit(0);
        case OPT_VERSION: show_version();
        case OPT_SIM:
            o.sim = true;
            o.sim_config = optarg;
            break;
        case OPT_SOFTWARE: fifo_mode = 0; break;
        case OPT_LISTEN: o.listen = optarg; break;
        case OPT_ALLOW: {
            char err[128];
            if (access_parse_allow(optarg, err, sizeof err) != 0) {
                log_error("%s", err);
                o.bad = true;
            }
            break;
        }
        case OPT_IDLE:
            if (!number(optarg, 0, 86400 * 365, idle_timeout))
                refuse(o, "idle-timeout", optarg);
            break;
        case OPT_KEEPALIVE:
            if (!parse_keepalive(optarg))
                refuse(o, "keepalive", optarg);
            break;
        case OPT_USER: service_user = optarg; break;
        default: break;  // getopt has said what was wrong; reading goes on
        }
    }
    return o;
}

// The simulated device lives in a shared mapping made here, before any fork, so every service
// process drives the same one.
bool start_sim(const options &o) {
    char err[256] = "";
    struct sim *s = sim_create(o.sim_config, err, sizeof err);
    if (s == nullptr) {
        log_error("%s", err);
        return false;
    }
    lp_io_use(sim_backend(s));
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);  // each line reaches a pipe or the journal at once
    const options o = parse(argc, argv);

    if (o.bad)
        return 2;
    std::signal(SIGCHLD, SIG_IGN);
    if (o.sim && !start_sim(o))
        return 2;
    if (!o.foreground)
        go_background();
    if (verbose > 0)
        std::printf("Device: %s, port %d\n", o.device, o.port);
    const int sock = o.listen ? listen_socket_at(o.listen, o.port) : listen_socket(0, o.port);
    if (sock < 0)
        return 2;
    if (port_lock_setup(o.sim) != 0)
        return 2;
    if (dpa_surplus_setup() != 0)
        return 2;

    // Block until a connection waits: an idle daemon uses no processor time.
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(sock, &rd);
        const int n = select(sock + 1, &rd, nullptr, nullptr, nullptr);
        if (n > 0 && FD_ISSET(sock, &rd))
            accept_client(sock, verbose);
    }
}
