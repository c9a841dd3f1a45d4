#include "port/log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The whole line for the sink: prefix, the message, the errno text when asked, a newline.
void to_sink(int error, const char *prefix, const char *fmt, va_list ap, const char *reason) {
    char line[2048];
    int n = std::snprintf(line, sizeof line, "%s", prefix);
    n += std::vsnprintf(line + n, sizeof line - size_t(n), fmt, ap);
    if (n >= int(sizeof line))
        n = int(sizeof line) - 1;
    if (reason != nullptr)
        n += std::snprintf(line + n, sizeof line - size_t(n), ", %s\n", reason);
    else if (error)
        n += std::snprintf(line + n, sizeof line - size_t(n), "\n");
    log_sink(error, line, std::min(size_t(n), sizeof line - 1));
}

}  // namespace

extern "C" {

int verbose = 0;
void (*log_sink)(int error, const char *line, size_t len) = nullptr;

void log_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (log_sink != nullptr) {
        to_sink(1, "ERROR: ", fmt, ap, nullptr);
        va_end(ap);
        return;
    }
    std::fputs("ERROR: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
}

void log_error_errno(const char *fmt, ...) {
    const int saved = errno;  // vfprintf may change it
    va_list ap;
    va_start(ap, fmt);
    if (log_sink != nullptr) {
        to_sink(1, "ERROR: ", fmt, ap, std::strerror(saved));
        va_end(ap);
        return;
    }
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
    if (log_sink != nullptr)
        to_sink(0, "", fmt, ap, nullptr);
    else
        std::vprintf(fmt, ap);
    va_end(ap);
}

}  // extern "C"
