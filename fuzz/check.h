// What the fuzz targets share: the way a broken invariant is reported.
//
// A violation aborts, so libFuzzer saves the input that caused it. The message goes to a copy of
// standard error taken at start-up, because the targets run with libFuzzer's -close_fd_mask=3
// (the code under test prints error lines for every bad request, which would drown the log).
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace fuzz {

inline int report_fd = 2;

// Call from LLVMFuzzerInitialize, which libFuzzer runs before it closes standard error.
inline void keep_stderr() {
    const int fd = dup(2);
    if (fd >= 0)
        report_fd = fd;
}

[[noreturn]] __attribute__((format(printf, 1, 2))) inline void fail(const char *fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        n = 0;
    if (n > int(sizeof line) - 2)
        n = int(sizeof line) - 2;
    line[n++] = '\n';
    if (write(report_fd, "INVARIANT: ", 11) < 0 || write(report_fd, line, size_t(n)) < 0) {
        // Nothing more can be said; the abort below still saves the input.
    }
    abort();
}

}  // namespace fuzz
