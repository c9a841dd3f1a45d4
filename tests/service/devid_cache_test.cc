// When DEVICE_ID is answered from the port's Device ID cache and when it goes to the port. The
// port is the recording fake, whose acquire fails: a request that went to the port shows as an
// acquire in its log and a FAIL for port access, one answered from the cache touches nothing.
// Everything runs in a child process, since the port's shared state is one per process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "service/frame.h"
#include "service/portshare.h"
#include "service/requests.h"
#include "tests/support/fake_io.h"

namespace {

int64_t wall_ms() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// A process that takes the port when told to and holds it until it is let go. It is forked
// before this process opens the lock file, so its slot lock is on a description of its own, as a
// service process's is.
struct holder {
    pid_t pid = -1;
    int take = -1, ready = -1;

    holder() {
        int r[2], t[2];
        if (pipe(r) != 0 || pipe(t) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(t[1]);
            close(r[0]);
            char c;
            if (read(t[0], &c, 1) == 1) {
                portshare_lock();
                portshare_claim(PS_HOLDING, "other client");
                portshare_unlock();
                (void)!write(r[1], "x", 1);
                (void)!read(t[0], &c, 1);  // until let go
            }
            _exit(0);
        }
        close(t[0]);
        close(r[1]);
        take = t[1];
        ready = r[0];
    }
    void hold() {
        char c = 'h';
        (void)!write(take, &c, 1);
        (void)!read(ready, &c, 1);
    }
    ~holder() {
        close(take);
        close(ready);
        waitpid(pid, nullptr, 0);
    }
};

// Each case: the cache as it is set, whether another process holds the port, and what the
// request must get. "" when every case passed, else what went wrong.
std::string run_cases() {
    if (portshare_setup(1) != 0)
        return "no shared state";
    holder other;
    bool held = false;
    wait_timeout_ms = 100;
    fake::fake_io io;
    io.acquire_result = EPERM;
    ps_region *r = portshare_region();
    const struct {
        const char *name;
        const char *id;   // nullptr: the cache is empty
        int64_t age_ms;   // negative: written in the future, as after the clock was set back
        bool held;
        int result;
        bool touched;
    } cases[] = {
        {"fresh, port free", "MFG:A;", 1000, false, 0, false},
        {"stale, port free: read again", "MFG:A;", DEVID_FRESH_MS + 1000, false, MSG_FAIL_PORT_ACCESS, true},
        {"written in the future: stale", "MFG:A;", -60000, false, MSG_FAIL_PORT_ACCESS, true},
        {"stale, port held by another: the cache", "MFG:A;", DEVID_FRESH_MS * 100, true, 0, false},
        {"nothing cached, port held: busy after the wait", nullptr, 0, true, MSG_FAIL_BUSY, false},
    };
    std::string failures;
    for (const auto &c : cases) {
        if (c.held && !held) {
            other.hold();
            held = true;
        }
        devid_cache_put(c.id ? c.id : "", c.id ? std::strlen(c.id) : 0);
        r->devid.devid_time = wall_ms() - c.age_ms;
        io.clear();
        uint8_t payload[1024];
        int32_t len = -1;
        const int got = dpa_device_id(payload, &len);
        const bool touched = io.count('A') > 0;
        if (got != c.result || touched != c.touched ||
            (got == 0 && std::string(reinterpret_cast<char *>(payload), size_t(len)) != c.id))
            failures += std::string(c.name) + ": result " + std::to_string(got) + (touched ? ", port touched\n" : "\n");
    }
    return failures;
}

TEST(DeviceIdCache, AnsweredFromTheCacheWhenFreshOrThePortIsBusy) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string failures = run_cases();
        (void)!write(out[1], failures.data(), failures.size());
        _exit(0);
    }
    close(out[1]);
    std::string failures;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        failures.append(buf, size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(failures, "");
}

}  // namespace
