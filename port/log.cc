#include "port/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

extern "C" {

int verbose = 0;

void log_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fputs("ERROR: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
}

void log_error_errno(const char *fmt, ...) {
    const int saved = errno;  // vfprintf may change it
    va_list ap;
    va_start(ap, fmt);
    std::fputs("ERROR: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fprintf(stderr, ", %s\n", std::strerror(saved));
    va_end(ap);
}

void log_trace(int level, const char *fmt, ...) {
    if (verbose <= level)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
}

}  // extern "C"
