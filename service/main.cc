// tessal: start-up and options.
//
// The short options keep their getopt letters ("V:fhi:p:v"); the long ones are additions for the
// simulator, the transfer method and the bounds on clients, which the short option string cannot
// carry. Start-up is strict: an unknown option, a stray argument or a value that is not a number
// is refused with exit status 2 before anything runs, so a typo never drives the hardware.
//
// The listening socket is opened before the daemon detaches, so a port that cannot be had is
// reported by the command itself (exit status 2), and the start-up line means "listening".
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "port/io.h"
#include "port/locate.h"
#include "port/log.h"
#include "service/daemon.h"
#include "service/portshare.h"
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
constexpr long kYearSeconds = 86400L * 365;

const char *long_help =
    "  Long options :\n\n"
    "  --help          : show this help and exit\n"
    "  --version       : show version\n"
    "  --status[=PID]  : show who holds the port and who waits for it, then exit\n"
    "                    (PID: a process of a daemon on the simulator)\n"
    "  --probe [--json]: check the port and the printer, report, then exit (0: usable)\n"
    "  --sim[=CONFIG]  : drive the built-in simulated port and MFP instead of the hardware\n"
    "                    (CONFIG: comma-separated key=value words, see the README)\n"
    "  --software      : move data by software handshake instead of the ECP FIFO\n"
    "  --listen ADDR   : listen on this IPv4 or IPv6 address only (default: every IPv6 and\n"
    "                    IPv4 address, one socket)\n"
    "  --allow CIDR[,CIDR...] : accept connections only from these address ranges\n"
    "  --max-connections N : connections served at once, more are refused (default 128)\n"
    "  --max-per-peer N : of them from one client address (default: a quarter of them)\n"
    "  --idle-timeout S: close a connection that sent nothing for S seconds (default 300,\n"
    "                    and never for the one holding the port)\n"
    "  --io-timeout S  : close a connection whose request or reply makes no progress for\n"
    "                    S seconds, or moves slower than 16 KiB/s after them (default 30)\n"
    "  --wait-timeout S: an INIT waits S seconds for a busy port, then FAIL (default 8)\n"
    "  --hold-timeout S: a client holding the port that moves no data for S seconds loses\n"
    "                    its connection once another waits; 0: never (default 300)\n"
    "  --stop-deadline S : on SIGTERM the jobs under way finish within S seconds; a second\n"
    "                    SIGTERM or the deadline ends them (default 600)\n"
    "  --pidfile PATH  : write the daemon's process id to PATH\n"
    "  --keepalive I[,N,C] : TCP keepalive: first probe after I s, then every N s, C probes\n"
    "                    (default 60,10,6)\n"
    "  --user NAME     : user a service process becomes once it holds the port (default nobody)\n"
    "  --raw-port[=N]  : also take print jobs on a raw TCP print port (AppSocket/JetDirect),\n"
    "                    one connection per job, on port N (default 9100)\n"
    "  --no-dnssd      : do not announce the printer on the network (DNS-SD through Avahi)\n"
    "  --base ADDR     : the port's I/O base in hex (default 378)\n"
    "  --ecp ADDR|none : its ECP registers (default: base + 400; a card's second I/O range)\n"
    "  --port-of WHICH : take both from the kernel: parportN, pci (the one PCI card) or a PCI slot\n"
    "  --parport-device PATH : reach the port through the kernel's parport device (/dev/parport0),\n"
    "                    no root needed (group lp); data moves by software handshake\n"
    "  --force         : drive the port directly even though a kernel driver has it\n\n";

struct options {
    int foreground = 0;
    int port = kDefaultPort;
    char device[32] = "lo";
    bool sim = false;
    const char *sim_config = nullptr;
    const char *listen = nullptr;
    bool status = false;
    int status_pid = 0;
    int raw_port = 0;  // 0: no raw print port
    bool dnssd = true;
    bool probe = false, json = false;
    bool bad = false;  // a value was refused: exit 2 before listening
    // The port: where it is, or the kernel's device that reaches it.
    const char *base = nullptr, *ecp = nullptr, *port_of = nullptr, *parport_device = nullptr;
    bool force = false;
    const char *pidfile = nullptr;
};

constexpr int kRawPort = 9100;

enum long_only {
    OPT_HELP = 256, OPT_VERSION, OPT_SIM, OPT_SOFTWARE, OPT_LISTEN, OPT_ALLOW, OPT_IDLE, OPT_KEEPALIVE, OPT_USER,
    OPT_IO, OPT_WAIT, OPT_HOLD, OPT_MAX, OPT_MAX_PEER, OPT_STATUS, OPT_RAW, OPT_NO_DNSSD,
    OPT_PROBE, OPT_JSON, OPT_BASE, OPT_ECP, OPT_PORT_OF, OPT_PARPORT_DEVICE, OPT_FORCE, OPT_STOP, OPT_PIDFILE,
};

const option long_options[] = {
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"status", optional_argument, nullptr, OPT_STATUS},
    {"probe", no_argument, nullptr, OPT_PROBE},
    {"json", no_argument, nullptr, OPT_JSON},
    {"sim", optional_argument, nullptr, OPT_SIM},
    {"software", no_argument, nullptr, OPT_SOFTWARE},
    {"listen", required_argument, nullptr, OPT_LISTEN},
    {"allow", required_argument, nullptr, OPT_ALLOW},
    {"max-connections", required_argument, nullptr, OPT_MAX},
    {"max-per-peer", required_argument, nullptr, OPT_MAX_PEER},
    {"idle-timeout", required_argument, nullptr, OPT_IDLE},
    {"io-timeout", required_argument, nullptr, OPT_IO},
    {"wait-timeout", required_argument, nullptr, OPT_WAIT},
    {"hold-timeout", required_argument, nullptr, OPT_HOLD},
    {"keepalive", required_argument, nullptr, OPT_KEEPALIVE},
    {"stop-deadline", required_argument, nullptr, OPT_STOP},
    {"pidfile", required_argument, nullptr, OPT_PIDFILE},
    {"user", required_argument, nullptr, OPT_USER},
    {"raw-port", optional_argument, nullptr, OPT_RAW},
    {"no-dnssd", no_argument, nullptr, OPT_NO_DNSSD},
    {"base", required_argument, nullptr, OPT_BASE},
    {"ecp", required_argument, nullptr, OPT_ECP},
    {"port-of", required_argument, nullptr, OPT_PORT_OF},
    {"parport-device", required_argument, nullptr, OPT_PARPORT_DEVICE},
    {"force", no_argument, nullptr, OPT_FORCE},
    {nullptr, 0, nullptr, 0},
};

[[noreturn]] void show_version() {
    std::fprintf(stderr, "tessal v.%s\n", prog_version);
    std::exit(0);
}

[[noreturn]] void usage_error() {
    std::fprintf(stderr, help_text, kDefaultPort);
    std::exit(2);
}

// A whole decimal number in [lo, hi], or false.
bool number(const char *text, long lo, long hi, long &out) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool number(const char *text, long lo, long hi, int &out) {
    long v = 0;
    if (!number(text, lo, hi, v))
        return false;
    out = int(v);
    return true;
}

// Seconds, whole or with up to three decimals ("30", "0.25"), in [lo_ms, a year], as milliseconds.
bool seconds(const char *text, int64_t lo_ms, int64_t &out) {
    const std::string t = text;
    const auto dot = t.find('.');
    long whole = 0;
    if (!number(t.substr(0, dot).c_str(), 0, kYearSeconds, whole))
        return false;
    int64_t ms = int64_t(whole) * 1000;
    if (dot != std::string::npos) {
        const std::string frac = t.substr(dot + 1);
        long f = 0;
        if (frac.empty() || frac.size() > 3 || frac[0] == '-' || frac[0] == '+' || !number(frac.c_str(), 0, 999, f))
            return false;
        for (size_t i = frac.size(); i < 3; i++)
            f *= 10;
        ms += f;
    }
    if (ms < lo_ms || ms > int64_t(kYearSeconds) * 1000)
        return false;
    out = ms;
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
    log_error("bad value '%s' for %s", value, what);
    o.bad = true;
}

options parse(int argc, char **argv) {
    options o;
    bool wrong = false;  // an unknown option or a missing argument, which getopt has reported
    int c;
    while ((c = getopt_long(argc, argv, "V:fhi:p:v", long_options, nullptr)) != -1) {
        switch (c) {
        case 'V':
            if (!number(optarg, INT_MIN, INT_MAX, verbose))
                refuse(o, "-V", optarg);
            break;
        case 'f': o.foreground = 1; break;
        case 'h':
            std::fprintf(stderr, help_text, kDefaultPort);
            std::exit(0);
        case 'i': std::snprintf(o.device, sizeof o.device, "%s", optarg); break;
        case 'p':  // any port number; only its low 16 bits reach the socket address
            if (!number(optarg, 0, INT_MAX, o.port))
                refuse(o, "-p", optarg);
            break;
        case 'v': show_version();
        case OPT_HELP:
            std::printf(help_text, kDefaultPort);
            std::fputs(long_help, stdout);
            std::exit(0);
        case OPT_VERSION: show_version();
        case OPT_STATUS:
            o.status = true;
            if (optarg != nullptr && !number(optarg, 1, INT_MAX, o.status_pid))
                refuse(o, "--status", optarg);
            break;
        case OPT_PROBE: o.probe = true; break;
        case OPT_JSON: o.json = true; break;
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
        case OPT_MAX:
            if (!number(optarg, 1, 1000000, max_connections))
                refuse(o, "--max-connections", optarg);
            break;
        case OPT_MAX_PEER:
            if (!number(optarg, 1, 1000000, max_per_peer))
                refuse(o, "--max-per-peer", optarg);
            break;
        case OPT_IDLE:
            if (!seconds(optarg, 0, idle_timeout_ms))
                refuse(o, "--idle-timeout", optarg);
            holder_idle_timeout_ms = idle_timeout_ms;  // given, it bounds the holder too
            break;
        case OPT_IO:
            if (!seconds(optarg, 1, io_timeout_ms))
                refuse(o, "--io-timeout", optarg);
            break;
        case OPT_WAIT:
            if (!seconds(optarg, 0, wait_timeout_ms))
                refuse(o, "--wait-timeout", optarg);
            break;
        case OPT_HOLD:
            if (!seconds(optarg, 0, hold_timeout_ms))
                refuse(o, "--hold-timeout", optarg);
            break;
        case OPT_STOP:
            if (!seconds(optarg, 0, stop_deadline_ms))
                refuse(o, "--stop-deadline", optarg);
            break;
        case OPT_PIDFILE: o.pidfile = optarg; break;
        case OPT_KEEPALIVE:
            if (!parse_keepalive(optarg))
                refuse(o, "--keepalive", optarg);
            break;
        case OPT_USER: service_user = optarg; break;
        case OPT_RAW:
            o.raw_port = kRawPort;
            if (optarg != nullptr && !number(optarg, 1, 65535, o.raw_port))
                refuse(o, "--raw-port", optarg);
            break;
        case OPT_NO_DNSSD: o.dnssd = false; break;
        case OPT_BASE: o.base = optarg; break;
        case OPT_ECP: o.ecp = optarg; break;
        case OPT_PORT_OF: o.port_of = optarg; break;
        case OPT_PARPORT_DEVICE: o.parport_device = optarg; break;
        case OPT_FORCE: o.force = true; break;
        default: wrong = true; break;  // getopt has said what was wrong
        }
    }
    if (optind < argc) {
        log_error("unexpected argument '%s'", argv[optind]);
        wrong = true;
    }
    if (o.json && !o.probe) {
        log_error("--json goes with --probe");
        wrong = true;
    }
    if (wrong)
        usage_error();
    return o;
}

// The simulated device lives in a shared mapping made here, before any fork, so every service
// process drives the same one.
struct sim *start_sim(const options &o) {
    char err[256] = "";
    struct sim *s = sim_create(o.sim_config, err, sizeof err);
    if (s == nullptr) {
        log_error("%s", err);
        return nullptr;
    }
    lp_io_use(sim_backend(s));
    return s;
}

// The port, before anything else: its addresses, or the kernel's parport device (which needs
// none); the lock file and --status are named after it.
bool choose_port(const options &o) {
    if (o.parport_device != nullptr) {
        if (o.base || o.ecp || o.port_of) {
            log_error("--parport-device reaches the port through the kernel: leave out --base, --ecp and --port-of");
            return false;
        }
        dpa_device = o.parport_device;
        dpa_port = {0, LP_NO_ECP};  // the device's registers are its ioctls; no address is ours
    } else if (char err[256]; lp_port_choose(o.port_of, o.base, o.ecp, &dpa_port, err, sizeof err) != 0) {
        log_error("%s", err);
        return false;
    }
    portshare_name(dpa_port.base, dpa_device);
    return true;
}

// The backend that reaches the port, chosen once before any fork. The direct backend refuses a
// port the kernel's drivers have: both would drive its lines.
bool reach_port(const options &o, struct sim *s) {
    char text[512];
    if (o.parport_device != nullptr) {
        lp_io_use(lp_io_ppdev(o.parport_device, s ? sim_ppdev_calls(s) : nullptr));
        if (const int err = lp_io_ppdev_check(); err != 0) {
            log_error("cannot open %s, %s%s", o.parport_device, std::strerror(err), lp_io_explain(err, text, sizeof text));
            return false;
        }
        return true;
    }
    if (s != nullptr || lp_kernel_claims(dpa_port.base, dpa_port.ecp, text, sizeof text) == 0)
        return true;
    if (o.force) {
        log_trace(0, "--force: driving the port at 0x%lx directly, although %s\n", dpa_port.base, text);
        return true;
    }
    log_error("kernel drivers have the port at 0x%lx: %s; unload them (modprobe -r lp ppdev parport_pc), "
              "or reach the port through them with --parport-device /dev/parport0, or start with --force",
              dpa_port.base, text);
    return false;
}

// Binds a port that no service manager passed: on the --listen address, or on every one.
int listen_here(const char *addr, int port, const char *option) {
    return addr ? listen_socket_at(addr, port, option) : listen_socket_any(port, option);
}

// The pid file, opened before the daemon detaches so a path that cannot be written is reported by
// the command itself. Its full path is kept, for its removal after the detached daemon's chdir.
int open_pidfile(const char *path, std::string &full) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_error_errno("cannot open the pid file %s", path);
        return -1;
    }
    char *real = realpath(path, nullptr);
    full = real ? real : path;
    std::free(real);
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);  // each line reaches a pipe or the journal at once
    const options o = parse(argc, argv);

    if (o.bad || !choose_port(o))
        return 2;
    if (o.status)
        return portshare_status(o.status_pid) == 0 ? 0 : 1;
    if (!o.probe)
        listener_signals();
    struct sim *device = nullptr;
    if (o.sim && (device = start_sim(o)) == nullptr)
        return 2;
    if (!reach_port(o, device))
        return 2;
    if (o.probe) {  // the port's state as a daemon shares it, but no socket and no fork
        const int status = port_lock_setup(o.sim) != 0 || dpa_surplus_setup() != 0 ? int(PROBE_NO_ACCESS) : probe_port(o.json);
        if (device != nullptr)
            sim_destroy(device);
        return status;
    }
    int sock = -1;
    if (service_sockets(o.port, o.raw_port, &sock, &raw_listen_sock) != 0)
        return 2;
    if (sock < 0 && (sock = listen_here(o.listen, o.port, "-p")) < 0)
        return 2;
    if (o.raw_port != 0 && raw_listen_sock < 0 && (raw_listen_sock = listen_here(o.listen, o.raw_port, "--raw-port")) < 0)
        return 2;
    std::string pidpath;
    const int pidfile = o.pidfile ? open_pidfile(o.pidfile, pidpath) : -1;
    if (o.pidfile && pidfile < 0)
        return 2;
    if (port_lock_setup(o.sim) != 0)
        return 2;
    if (dpa_surplus_setup() != 0)
        return 2;
    dpa_printer_unknown();  // the first open of this daemon initialises the printer
    if (log_share_setup() != 0)
        return 2;
    serve_setup();
    if (verbose > 0)
        log_trace(0, "Device: %s, port %d\n", o.device, o.port);
    if (o.raw_port != 0)
        log_trace(0, "Raw print port %d: one connection, one job\n", o.raw_port);
    if (!o.foreground) {
        go_background(pidfile);
    } else if (pidfile >= 0) {
        dprintf(pidfile, "%d\n", int(getpid()));
        close(pidfile);
    }
    if (o.dnssd)
        announce_start(o.port & 0xFFFF, o.raw_port);
    service_notify("READY=1");  // listening: a service manager may send clients now
    const int status = listener_run(sock);
    if (o.pidfile)
        unlink(pidpath.c_str());
    // Every service process has ended: what the simulated printer was sent goes to its sink now.
    if (device != nullptr)
        sim_destroy(device);
    return status;
}
