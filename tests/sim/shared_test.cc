// The device shared between processes, its lock, the trace, and the file peers.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/sim/harness.h"

using namespace simtest;

namespace {

std::string temp_path(const char *name) {
    std::string p = ::testing::TempDir() + "sim_" + std::to_string(getpid()) + "_" + name;
    unlink(p.c_str());
    return p;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

int wait_child(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

TEST(SimTrace, OneLinePerSeamCall) {
    const std::string path = temp_path("trace");
    {
        host h("clock=virtual,trace=" + path);
        h.status();
        h.ctl(0x0C);
        h.outs(FIFO, {1, 2, 3});
        h.sleep(7);
        struct timeval tv;
        h.io->gettime(h.io->ctx, &tv);
        h.ecr();
        h.io->acquire(h.io->ctx, 0x378);  // not a register access: no line
        EXPECT_EQ(h.now(), 14u);
    }
    EXPECT_EQ(slurp(path),
              "0 R 379 d8\n"
              "1 W 37a 0c\n"
              "2 O 778 3\n"
              "5 S 7\n"
              "12 T\n"
              "13 R 77a 05\n");
    unlink(path.c_str());
}

TEST(SimTrace, AppendsAcrossProcessesAndRuns) {
    const std::string path = temp_path("trace2");
    {
        std::ofstream(path) << "earlier\n";
        host h("clock=virtual,trace=" + path);
        const pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < 50; i++)
                h.status();
            _exit(0);
        }
        for (int i = 0; i < 50; i++)
            h.out(DATA, uint8_t(i));
        ASSERT_EQ(wait_child(pid), 0);
    }
    std::istringstream lines(slurp(path));
    std::string line;
    int reads = 0, writes = 0, total = 0;
    while (std::getline(lines, line)) {
        total++;
        reads += line.find(" R 379 d8") != std::string::npos;
        writes += line.find(" W 378 ") != std::string::npos;
    }
    EXPECT_EQ(total, 101);
    EXPECT_EQ(reads, 50);
    EXPECT_EQ(writes, 50);
    unlink(path.c_str());
}

TEST(SimShared, ForkedProcessDrivesTheSameDevice) {
    host h("clock=virtual,rate=0");
    const auto data = pattern(40);
    const pid_t pid = fork();
    if (pid == 0) {
        h.ecp();
        h.ecr(0x74);
        h.outs(FIFO, std::vector<uint8_t>(data.begin(), data.begin() + 16));
        while (!(h.ecr() & 0x01)) {
        }
        h.outs(FIFO, std::vector<uint8_t>(data.begin() + 16, data.end()));
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    ASSERT_EQ(wait_child(pid), 0);
    EXPECT_STREQ(h.state(), "fwd-idle");
    EXPECT_EQ(h.ecr() & 0xE1, 0x61);  // the child's mode, drained by this access
    std::vector<uint8_t> got(64);
    got.resize(sim_peer_take(h.sim, got.data(), got.size()));
    EXPECT_EQ(got, data);
    EXPECT_GT(h.now(), 40u);  // the child's accesses moved the one clock
}

TEST(SimShared, ConcurrentAccessesAreSerialisedOnOneClock) {
    host h("clock=virtual,io_ns=1000");
    const int n = 20000;
    const pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < n; i++)
            h.status();
        _exit(0);
    }
    for (int i = 0; i < n; i++)
        h.status();
    ASSERT_EQ(wait_child(pid), 0);
    sim_counters c;
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.reads[SIM_REG_STATUS], uint64_t(2 * n));
    EXPECT_EQ(h.now(), uint64_t(2 * n));
    sim_reset_counters(h.sim);
    sim_get_counters(h.sim, &c);
    EXPECT_EQ(c.reads[SIM_REG_STATUS], 0u);
}

TEST(SimShared, HolderKilledWithSigkillDoesNotWedgeTheDevice) {
    host h("clock=virtual");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        sim_lock(h.sim);
        (void)!write(fds[1], "L", 1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    kill(pid, SIGKILL);
    EXPECT_EQ(wait_child(pid), 128 + SIGKILL);
    alarm(10);  // a wedged lock fails the run instead of hanging it
    EXPECT_EQ(h.status(), 0xD8);
    const pid_t again = fork();
    if (again == 0)
        _exit(h.status() == 0xD8 ? 0 : 1);
    EXPECT_EQ(wait_child(again), 0);
    alarm(0);
    close(fds[0]);
    close(fds[1]);
}

TEST(SimPeer, SinkGetsThePrintedBytes) {
    const std::string path = temp_path("sink");
    const auto data = pattern(100);
    {
        host h("clock=virtual,rate=0,peer=sink,sink=" + path);
        h.ecp();
        h.ecr(0x74);
        for (size_t off = 0; off < data.size(); off += 10) {
            while (!(h.ecr() & 0x01)) {
            }
            h.outs(FIFO, std::vector<uint8_t>(data.begin() + long(off), data.begin() + long(off) + 10));
        }
        h.ecr();
        h.terminate();  // a termination writes the sink out
        EXPECT_EQ(slurp(path), std::string(data.begin(), data.end()));
        h.ecp();
        h.ecr(0x74);
        h.outs(FIFO, {'e', 'n', 'd'});
        h.ecr();
    }  // and so does destroying the device
    EXPECT_EQ(slurp(path), std::string(data.begin(), data.end()) + "end");
    unlink(path.c_str());
}

TEST(SimPeer, SourceIsReadBackPlainOrRunLengthEncoded) {
    const std::string path = temp_path("source");
    const std::string text = "hello" + std::string(20, 'z') + "!";
    std::ofstream(path) << text;
    {
        host h("clock=virtual,rate=0,peer=source,source=" + path);
        EXPECT_EQ(sim_peer_pending(h.sim), text.size());
        h.ecp();
        h.ctl(0x26);
        h.ctl(0x22);
        ASSERT_TRUE(h.wait(0x20, 0x00));
        h.ecr(0x74);
        h.ctl(0x20);
        std::string got;
        for (int i = 0; i < 1000 && got.size() < text.size(); i++)
            if (!(h.ecr() & 0x01))
                got.push_back(char(h.in(FIFO)));
        EXPECT_EQ(got, text);
        EXPECT_EQ(sim_peer_pending(h.sim), 0u);
    }
    {
        host h("clock=virtual,peer=source,rle=on,source=" + path);
        h.ecp();
        ASSERT_TRUE(h.reverse());
        h.ctl(0x22);
        std::vector<std::pair<int, bool>> symbols;
        for (int i = 0; i < 10; i++) {
            if (!h.wait(0x40, 0x00, 10))
                break;
            const bool cmd = h.status() & 0x80;
            symbols.push_back({h.in(DATA), cmd});
            h.ctl(0x20);
            h.ctl(0x22);
        }
        const std::vector<std::pair<int, bool>> want = {
            {'h', false}, {'e', false}, {1, true}, {'l', false}, {'o', false}, {19, true}, {'z', false}, {'!', false}};
        EXPECT_EQ(symbols, want);
    }
    unlink(path.c_str());
}

}  // namespace
