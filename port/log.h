// Console lines: the one way anything in tessal prints.
//
// Error lines go to standard error and begin "ERROR: "; informational and trace lines go to
// standard output, gated by `verbose`. The helpers live in the bottom layer so the service, the
// link and the port code all print the same way; nothing else calls fprintf(stderr, ...). Every
// line is formatted whole and written with one write, so lines of different processes never mix.
// Error lines are rate limited: each kind (format) bursts 10, then one a second, and all of them
// together 60, then 20 a second; the next line of a kind shown says
// "(N similar lines suppressed)".
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// The message verbosity level, set by -V. Above 0: start-up line; above 2: connect and drop
// lines; above 4: transfer traces.
extern int verbose;

// Before the daemon forks: the error lines' rate limit is shared by every process it starts, so
// it holds daemon-wide. 0, or -1 after an error line (each process then limits only itself).
int log_share_setup(void);
// "ERROR: <what>\n" on standard error.
void log_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// "ERROR: <what>, <strerror(errno)>\n" on standard error; errno is read on entry.
void log_error_errno(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// printf to standard output when verbose > level.
void log_trace(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Where the finished lines go instead of standard output and error, when set (a detached daemon:
// syslog). error is 1 for an ERROR line; line is the whole text as -f prints it, len bytes of it.
extern void (*log_sink)(int error, const char *line, size_t len);

#ifdef __cplusplus
}
#endif
