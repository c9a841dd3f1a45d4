// The daemon's start-up, listener and service processes.
//
// The accept loop does the bare minimum: accept, fork, and go back to sleep in select. Each
// connection is served by a child of its own, which runs the request loop and exits when the
// client goes away; the listening process itself never touches the port. Children are never
// waited for: SIGCHLD is ignored, so the system reaps them.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct sockaddr;

#ifdef __cplusplus
extern "C" {
#endif

extern const char *prog_version;  // "0.90.03"
extern const char *help_text;     // usage, with one %d for the default port

// listener.cc
void go_background(void);
int listen_socket(uint32_t addr, int port);
// Socket, SO_REUSEADDR, bind and listen on any address family, with the error lines.
int listen_on(const struct sockaddr *sa, unsigned int len);
int accept_client(int sock, int verbose);

// access.cc: where the daemon listens and who may connect.
extern int keepalive_idle, keepalive_interval, keepalive_count;  // seconds, seconds, probes
// Parse "CIDR[,CIDR...]" (IPv4 or IPv6, prefix optional). 0, or -1 with a message in err.
int access_parse_allow(const char *list, char *err, size_t errlen);
int access_allowed(const struct sockaddr *peer);  // 1 when the list is empty or matches
void access_describe(const struct sockaddr *peer, char *out, size_t outlen);
int listen_socket_at(const char *addr, int port);  // an IPv4 or IPv6 literal
void access_tune_connection(int fd);                // TCP keepalive

// privilege.cc
extern const char *service_user;  // who a service process becomes once it holds the port
// Give up root for service_user. 0 (also when not root), or -1 after an error line.
int drop_root(void);

#ifdef __cplusplus
}
#endif
