// The daemon's start-up, listener and service processes.
//
// The accept loop does the bare minimum: accept, check the caps, fork, and go back to sleep in
// poll. Each connection is served by a child of its own, which runs the request loop and exits
// when the client goes away; the listening process itself never touches the port. The listener
// keeps a table of its children (it reaps them through a signalfd, never in a handler) so it can
// count connections per peer and end them all in order when it is asked to stop.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

struct sockaddr;

#ifdef __cplusplus
extern "C" {
#endif

extern const char *prog_version;  // "0.90.03"
extern const char *help_text;     // usage, with one %d for the default port

// listener.cc
extern int max_connections;  // service processes at once; more are refused with FAIL (too many)
extern int max_per_peer;     // of them from one client address; 0: a quarter of max_connections
extern int raw_listen_sock;  // the raw print port's listening socket; -1 when it is off
extern int64_t stop_deadline_ms;  // how long a stop waits for the jobs under way (--stop-deadline)
// Detach: fork (the parent writes the child's pid to pidfile, when >= 0, and exits 0), a session
// of its own, standard input and output on /dev/null, the lines to syslog.
void go_background(int pidfile);
// Before anything forks: SIGHUP and SIGPIPE ignored; SIGCHLD, SIGTERM and SIGINT blocked, for the
// listener's signalfd (service processes let SIGTERM and SIGINT in only where they wait), and
// SIGUSR1, which the listener sends its service processes as the first step of a stop.
void listener_signals(void);
// Serve connections on sock until SIGTERM or SIGINT, then stop: no new connection, the jobs under
// way finish (at most stop_deadline_ms; a second SIGTERM or SIGINT cuts that short), the rest end
// in order (each finishes its request and gives the port back; after a grace time they are killed).
// Returns the exit status.
int listener_run(int sock);
// The listening sockets; option ("-p", "--raw-port") names the port in the error line.
int listen_socket(uint32_t addr, int port, const char *option);
// Every address: one IPv6 socket that takes IPv4 clients too, or IPv4 alone on a kernel without IPv6.
int listen_socket_any(int port, const char *option);
// Socket, SO_REUSEADDR, bind and listen on any address family, with the error lines.
int listen_on(const struct sockaddr *sa, unsigned int len, const char *option);
int accept_client(int sock, int verbose);

// access.cc: where the daemon listens and who may connect.
extern int keepalive_idle, keepalive_interval, keepalive_count;  // seconds, seconds, probes
// Parse "CIDR[,CIDR...]" (IPv4 or IPv6, prefix optional). 0, or -1 with a message in err.
int access_parse_allow(const char *list, char *err, size_t errlen);
int access_allowed(const struct sockaddr *peer);  // 1 when the list is empty or matches
void access_describe(const struct sockaddr *peer, char *out, size_t outlen);
int listen_socket_at(const char *addr, int port, const char *option);  // an IPv4 or IPv6 literal
void access_tune_connection(int fd);                // TCP keepalive

// systemd.cc: the service manager's side of start-up, and syslog for a detached daemon.
// The listening sockets the service manager passed (socket activation), matched to the ports by
// their own: *sock for port, *raw_sock for raw_port (left -1 when none was passed for it). 0, or
// -1 after an error line (a passed socket on neither port).
int service_sockets(int port, int raw_port, int *sock, int *raw_sock);
void service_notify(const char *state);  // sd_notify: "READY=1", "STOPPING=1"; nothing without a manager
void log_to_syslog(void);                // from now on every line goes to syslog(3), facility daemon
// Set in the environment of a detached daemon, so the programs it starts log to syslog too.
#define TESSAL_SYSLOG_ENV "TESSAL_LOG_TO_SYSLOG"

// raw.cc: the raw print port. Serves one connection as one print job; returns when it is done.
int serve_raw(int fd);

// announce.cc: the printer announced on the LAN by DNS-SD, through the system's Avahi daemon, by
// a child of the listener (so the listener never runs Avahi's code or threads).
// Start the announcer for the request port and the raw port (0: off). 0, or -1 after a line.
int announce_start(int port, int raw_port);
void announce_stop(void);            // withdraw the services; the announcer ends
void announce_reaped(pid_t pid);     // the listener reaped pid: the announcer, if it was that
// probe.cc: tessal --probe. Opens the port as an INIT would (waiting its turn in the queue),
// prints what it found (one JSON object when json is set) and gives the port back. The result is
// the exit status the verdict calls for.
enum probe_exit {
    PROBE_USABLE = 0,         // the peripheral accepts ECP mode: INIT will succeed
    PROBE_NO_ACCESS = 3,      // the port's registers (or its lock file) cannot be reached
    PROBE_BUSY = 4,           // another client kept the port for the whole --wait-timeout
    PROBE_NO_PERIPHERAL = 5,  // nothing answers the IEEE 1284 negotiation (event 2)
    PROBE_NOT_ECP = 6,        // the peripheral refuses ECP mode or does not finish the negotiation
};
int probe_port(int json);

// privilege.cc
extern const char *service_user;  // who a service process becomes once it holds the port
// Give up root for service_user. 0 (also when not root), or -1 after an error line.
int drop_root(void);
// Looks service_user up once, before the first fork, for every later drop_root.
void service_user_lookup(void);

#ifdef __cplusplus
}
#endif
