// Starting and stopping the announcer (tessal-announce, service/announcer.cc), which publishes the
// printer by DNS-SD in a process of its own.
//
// The listener forks one child for it at start-up. That child first has the printer's Device ID
// read, by a grandchild that takes the port as a DEVICE_ID request does but without waiting for
// it (a port another daemon holds is left alone: the cache then says what is known), so the
// announcement names the printer's make and model from its first second rather than "Unknown"
// until some client asks. Then it gives up root and execs the announcer with a read-only
// descriptor of the port's shared state, where later reads of the ID appear. The listener never
// runs Avahi's code, and no service process maps its libraries: the daemon's binary does not
// link them.
//
// The program is looked for next to the daemon's own binary first (the build tree, where
// `build/service/tessal-announce` sits beside `build/service/tessal`), then where the install puts
// it, found from the daemon's place (/usr/sbin/tessal: /usr/libexec/tessal/tessal-announce), so
// any install prefix works.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "port/log.h"
#include "service/daemon.h"
#include "service/portshare.h"
#include "service/requests.h"

#ifndef TESSAL_ANNOUNCE_FROM_SBIN
#define TESSAL_ANNOUNCE_FROM_SBIN "../libexec/tessal"
#endif

namespace {

pid_t announcer = -1;

#if TESSAL_HAVE_AVAHI

constexpr int kIdReadSeconds = 10;  // a read that takes longer is cut: the announcement goes out without it

// The announcer program: beside this binary, else where the install puts it. Empty when none.
std::string program_path() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "";
    std::string dir(self, size_t(n));
    dir.resize(dir.rfind('/') + 1);
    for (const std::string &at : {dir, dir + TESSAL_ANNOUNCE_FROM_SBIN "/"})
        if (access((at + "tessal-announce").c_str(), X_OK) == 0)
            return at + "tessal-announce";
    return "";
}

// In the grandchild: the Device ID into the port's cache, if the port is free now.
[[noreturn]] void read_device_id() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    wait_timeout_ms = 0;  // a port in use is not waited for
    static uint8_t id[1024];
    int32_t len = 0;
    const int why = dpa_device_id(id, &len);
    if (why == 0)
        log_trace(2, "DNS-SD: the printer's Device ID, read at start-up: %.*s\n", int(len), reinterpret_cast<char *>(id));
    else
        log_trace(2, "DNS-SD: no Device ID read at start-up (FAIL reason %d): the printer is announced without it\n", why);
    std::fflush(stdout);
    _exit(0);
}

// In the announcer's child before the exec: runs the read and waits for it, at most
// kIdReadSeconds. False when a stop came meanwhile.
bool device_id_first() {
    const pid_t reader = fork();
    if (reader < 0)
        return true;  // announced without the ID; the records follow it once a client reads it
    if (reader == 0)
        read_device_id();
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGCHLD);  // blocked since listener_signals
    sigaddset(&wake, SIGTERM);
    sigaddset(&wake, SIGINT);
    const time_t until = time(nullptr) + kIdReadSeconds;
    bool stop = false;
    for (;;) {
        if (waitpid(reader, nullptr, WNOHANG) == reader)
            return true;
        const time_t left = until - time(nullptr);
        if (left <= 0)
            break;
        const timespec t{left, 0};
        const int sig = sigtimedwait(&wake, nullptr, &t);  // takes the signal: it is not pending after
        if ((stop = sig == SIGTERM || sig == SIGINT))
            break;
    }
    kill(reader, SIGKILL);
    waitpid(reader, nullptr, 0);
    return !stop;
}

[[noreturn]] void become_announcer(const std::string &program, int port, int raw_port, pid_t listener) {
    // It ends with the listener, however the listener ends (the signal survives the exec).
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != listener)
        _exit(0);
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);  // the listening sockets and the rest are the listener's
    if (!device_id_first())
        _exit(0);
    int state = -1;
    if (portshare_region() != nullptr) {
        // A description of its own, read-only, opened before root goes (the lock file is root's).
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", portshare_fd());
        state = portshare_fd() < 0 ? -1 : open(path, O_RDONLY);  // kept across the exec
    }
    if (drop_root() != 0)
        _exit(1);
    const std::string v = std::to_string(verbose), p = std::to_string(port), r = std::to_string(raw_port),
                      f = std::to_string(state);
    std::fflush(stdout);
    execl(program.c_str(), "tessal-announce", v.c_str(), p.c_str(), r.c_str(), f.c_str(), static_cast<char *>(nullptr));
    log_error_errno("DNS-SD: cannot run %s", program.c_str());
    _exit(1);
}

#endif  // TESSAL_HAVE_AVAHI

}  // namespace

extern "C" {

int announce_start(int port, int raw_port) {
#if TESSAL_HAVE_AVAHI
    const std::string program = program_path();
    if (program.empty()) {
        log_error("DNS-SD: not announcing: tessal-announce is neither beside this tessal nor in " TESSAL_ANNOUNCE_FROM_SBIN
                  " from it");
        return -1;
    }
    const pid_t listener = getpid();
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        log_error_errno("DNS-SD: fork failed");
        return -1;
    }
    if (pid == 0)
        become_announcer(program, port, raw_port, listener);
    announcer = pid;
    return 0;
#else
    (void)port;
    (void)raw_port;
    log_trace(0, "DNS-SD: not announcing: this tessal was built without Avahi (libavahi-client)\n");
    return 0;
#endif
}

void announce_stop(void) {
    if (announcer <= 0)
        return;
    kill(announcer, SIGTERM);
    // It frees its Avahi client and exits at once; one stuck in a D-Bus call is not waited for.
    for (int i = 0; i < 200; i++) {
        if (waitpid(announcer, nullptr, WNOHANG) == announcer) {
            announcer = -1;
            return;
        }
        usleep(10000);
    }
    kill(announcer, SIGKILL);
    waitpid(announcer, nullptr, 0);
    announcer = -1;
}

void announce_reaped(pid_t pid) {
    if (pid == announcer)
        announcer = -1;  // it has said why
}

}  // extern "C"
