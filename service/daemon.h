// The daemon's start-up, listener and service processes.
//
// The accept loop does the bare minimum: accept, fork, and go back to sleep in select. Each
// connection is served by a child of its own, which runs the request loop and exits when the
// client goes away; the listening process itself never touches the port. Children are never
// waited for: SIGCHLD is ignored, so the system reaps them.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const char *prog_version;  // "0.90.03"
extern const char *help_text;     // usage, with one %d for the default port

// listener.cc
void go_background(void);
int listen_socket(uint32_t addr, int port);
int accept_client(int sock, int verbose);

#ifdef __cplusplus
}
#endif
