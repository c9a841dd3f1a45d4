// The clients against the real daemon on the simulator: a job trickling from a pipe is streamed
// in time to beat --idle-timeout, and a printer that pauses longer than the daemon's stall bound
// still gets the whole job.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "client/client.h"
#include "tests/client/fake_server.h"
#include "tests/support/daemon.h"

extern char **environ;

namespace {

struct sim_daemon {
    std::string sink;
    int port = testd::free_port();
    testd::daemon d;
    sim_daemon(const std::string &sink_path, const std::string &extra, std::vector<std::string> args)
        : sink(sink_path), d(with(args, "-p", std::to_string(port), "--sim=peer=sink,sink=" + sink + extra), port) {}
    ~sim_daemon() { unlink(sink.c_str()); }
    static std::vector<std::string> with(std::vector<std::string> a, const std::string &p,
                                         const std::string &port, const std::string &sim) {
        a.insert(a.end(), {"-f", p, port, sim});
        return a;
    }
    bytes printed() const {
        std::ifstream f(sink, std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(f), {});
    }
};

std::string sink_path(const char *name) {
    return ::testing::TempDir() + "tessal_client_daemon_" + name + "_" + std::to_string(getpid());
}

TEST(ClientDaemon, PipeTricklingSlowerThanTheIdleTimeoutIsStreamed) {
    sim_daemon srv(sink_path("trickle"), ",rate=0,clock=virtual", {"--idle-timeout", "1"});
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    const std::string port = std::to_string(srv.port);
    const char *argv[] = {TESSAL_CLIENT_PATH, "-q", "-p", port.c_str(), "print", "-", nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, TESSAL_CLIENT_PATH, &fa, nullptr, const_cast<char **>(argv),
                          environ),
              0);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    // Three pieces 0.45 s apart: the whole job takes longer than the daemon's idle time-out,
    // and a client that filled its buffer first would send nothing before it.
    bytes job;
    for (unsigned i = 0; i < 3; ++i) {
        const bytes piece = pattern(3000, i);
        ASSERT_EQ(write(in[1], piece.data(), piece.size()), ssize_t(piece.size()));
        job.insert(job.end(), piece.begin(), piece.end());
        std::this_thread::sleep_for(std::chrono::milliseconds(450));
    }
    close(in[1]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << srv.d.err();
    EXPECT_EQ(srv.printed(), job);
}

TEST(ClientDaemon, PrinterPausedLongerThanTheStallBoundGetsTheWholeJob) {
    // The daemon gives a WRITE up after 5 s without progress; this printer pauses for 8 s of
    // the simulator's clock after 1000 bytes.
    sim_daemon srv(sink_path("pause"), ",rate=0,clock=virtual,fault=pause:8000@1000", {});
    tc_client c;
    ASSERT_EQ(tc_connect(c, "127.0.0.1", uint16_t(srv.port)).error, tc_errc::none);
    ASSERT_TRUE(tc_init(c).ok());
    const bytes job = pattern(50000, 3);
    tc_patience p;
    p.pause_ms = 10;
    int stalls = 0, resumes = 0;
    tc_events ev;
    ev.stalled = [&](uint64_t, int) { ++stalls; };
    ev.resumed = [&](uint64_t) { ++resumes; };
    const tc_result r = tc_write_job(c, job, p, ev);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(r.count, job.size());
    EXPECT_GE(stalls, 1);
    EXPECT_EQ(resumes, 1);
    EXPECT_TRUE(tc_reset(c).ok());
    tc_close(c);
    EXPECT_EQ(srv.printed(), job);
}

}  // namespace
