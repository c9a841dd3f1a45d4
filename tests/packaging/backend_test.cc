// The CUPS backend as cupsd runs it: its own process, the device URI in DEVICE_URI or argv[0],
// the job from a file or standard input, and a real daemon on the simulator whose sink file
// must end up holding the job byte for byte.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/daemon.h"

namespace {

constexpr size_t kChunk = 8388576;  // one message's payload: 8 MiB less the 32-byte header

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = char(gen());
    return s;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

struct scratch_dir {
    std::string path;
    scratch_dir() {
        char tmpl[] = "/tmp/tessal-backend-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~scratch_dir() { std::system(("rm -rf " + path).c_str()); }
};

struct outcome {
    int status = -1;  // exit status, or -1 when it had to be killed
    std::string out, err;
};

// Runs the backend as cupsd would: argv[0] and the environment chosen by the caller, the job on
// standard input unless a file argument is given. `on_started` runs once the process is going,
// with its pid and the write end of its standard input still open.
struct backend_run {
    std::vector<std::string> argv;
    std::string device_uri;  // DEVICE_URI; empty: not set at all
    std::string input;
    bool close_input = true;
    std::string stderr_wait;  // send SIGTERM once standard error shows this
};

outcome run_backend(const backend_run &r, const std::string &dir) {
    const std::string out_path = dir + "/backend.out", err_path = dir + "/backend.err";
    int in_pipe[2];
    if (pipe(in_pipe) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        close(in_pipe[0]);
        close(in_pipe[1]);
        dup2(open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        std::vector<char *> args;
        for (const std::string &a : r.argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        std::string env_uri = "DEVICE_URI=" + r.device_uri;
        std::vector<char *> env{const_cast<char *>("PATH=/usr/bin:/bin")};
        if (!r.device_uri.empty())
            env.push_back(env_uri.data());
        env.push_back(nullptr);
        execve(TESSAL_BACKEND, args.data(), env.data());
        _exit(127);
    }
    close(in_pipe[0]);
    signal(SIGPIPE, SIG_IGN);
    size_t off = 0;
    while (off < r.input.size()) {
        const ssize_t w = write(in_pipe[1], r.input.data() + off, r.input.size() - off);
        if (w <= 0)
            break;
        off += size_t(w);
    }
    if (r.close_input)
        close(in_pipe[1]);
    outcome o;
    int st = 0;
    bool termed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        if (waitpid(pid, &st, WNOHANG) == pid) {
            o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            break;
        }
        if (!termed && !r.stderr_wait.empty() &&
            slurp(err_path).find(r.stderr_wait) != std::string::npos) {
            kill(pid, SIGTERM);
            termed = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!r.close_input)
        close(in_pipe[1]);
    o.out = slurp(out_path);
    o.err = slurp(err_path);
    return o;
}

std::vector<std::string> job_args(const char *copies = "1") {
    return {"tessal", "42", "alice", "report", copies, "media=a4"};
}

// Discovery and argument handling need no daemon.
class BackendCli : public ::testing::Test {
protected:
    scratch_dir dir;
};

TEST_F(BackendCli, NoArgumentsReportsTheSchemeForDiscovery) {
    const outcome o = run_backend({{"tessal"}, "", "", true, ""}, dir.path);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "network tessal \"Unknown\" \"tessal MFP over TCP\"\n");
    EXPECT_EQ(o.err, "");
}

TEST_F(BackendCli, WrongArgumentCountsGiveTheUsageAndStatus1) {
    for (size_t n : {2u, 3u, 5u, 8u}) {
        std::vector<std::string> argv{"tessal", "42", "alice", "report", "1", "", "job", "extra"};
        argv.resize(n);
        const outcome o = run_backend({argv, "tessal://127.0.0.1:1", "", true, ""}, dir.path);
        EXPECT_EQ(o.status, 1) << n << " arguments";
        EXPECT_EQ(o.err.rfind("Usage: tessal job-id user title copies options [file]\n", 0), 0u)
            << o.err;
        EXPECT_EQ(o.out, "");
    }
}

TEST_F(BackendCli, MalformedDeviceUrisStopTheQueue) {
    for (const char *uri : {"socket://127.0.0.1:9100", "tessal://", "tessal://:8822",
                            "tessal://host:0", "tessal://host:65536", "tessal://host:12ab",
                            "tessal://host:", "tessal://[::1", "tessal://[::1]x",
                            "tessal://host/queue"}) {
        const outcome o = run_backend({job_args(), uri, "x", true, ""}, dir.path);
        EXPECT_EQ(o.status, 4) << uri;  // CUPS_BACKEND_STOP
        EXPECT_NE(o.err.find(std::string("ERROR: bad device URI \"") + uri + "\""),
                  std::string::npos)
            << o.err;
    }
}

TEST_F(BackendCli, NoUriAnywhereFails) {
    const outcome o = run_backend({job_args(), "", "x", true, ""}, dir.path);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("ERROR: no device URI"), std::string::npos) << o.err;
}

TEST_F(BackendCli, UnreachableDaemonAsksForARetry) {
    const int port = testd::free_port();
    const outcome o =
        run_backend({job_args(), "tessal://127.0.0.1:" + std::to_string(port), "x", true, ""},
                    dir.path);
    EXPECT_EQ(o.status, 6);  // CUPS_BACKEND_RETRY
    const std::vector<std::string> l = lines(o.err);
    ASSERT_GE(l.size(), 4u) << o.err;
    EXPECT_EQ(l.end()[-4], "STATE: +connecting-to-device") << o.err;
    EXPECT_EQ(l.end()[-2], "STATE: -connecting-to-device");
    EXPECT_EQ(l.back().rfind("ERROR: cannot connect to 127.0.0.1:", 0), 0u) << l.back();
}

TEST_F(BackendCli, MissingPrintFileFails) {
    std::vector<std::string> argv = job_args();
    argv.push_back(dir.path + "/absent.prn");
    const outcome o = run_backend({argv, "tessal://127.0.0.1:1", "", true, ""}, dir.path);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("ERROR: cannot open the print file"), std::string::npos) << o.err;
}

// A daemon on the simulator whose printer files every byte it is sent.
class BackendPrint : public ::testing::Test {
protected:
    void start(const std::string &extra_sim = "", std::vector<std::string> extra_args = {}) {
        port = testd::free_port();
        sink = dir.path + "/sink.prn";
        std::vector<std::string> args{"-f", "-V", "5", "-p", std::to_string(port),
                                      "--sim=peer=sink,sink=" + sink +
                                          ",rate=0,clock=virtual" + extra_sim};
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        d = std::make_unique<testd::daemon>(args, port);
    }
    std::string uri() const { return "tessal://127.0.0.1:" + std::to_string(port); }
    // The sizes of the WRITE requests the daemon received, in order.
    std::vector<long> write_sizes() const {
        std::vector<long> sizes;
        for (const std::string &l : lines(d->out()))
            if (l.rfind("dpa_write: ", 0) == 0)
                sizes.push_back(std::strtol(l.c_str() + 11, nullptr, 10));
        return sizes;
    }

    scratch_dir dir;
    int port = 0;
    std::string sink;
    std::unique_ptr<testd::daemon> d;
};

TEST_F(BackendPrint, JobFromStandardInputLandsWholeInMessageSizedChunks) {
    start();
    const std::string job = random_bytes(kChunk + 1000, 1);
    const outcome o = run_backend({job_args("3"), uri(), job, true, ""}, dir.path);
    ASSERT_EQ(o.status, 0) << o.err;
    // Standard input carries filtered data whose copies are already made: sent once.
    EXPECT_EQ(slurp(sink), job);
    EXPECT_EQ(write_sizes(), (std::vector<long>{long(kChunk), 1000}));
    const std::vector<std::string> l = lines(o.err);
    std::vector<std::string> sent;
    for (const std::string &line : l)
        if (line.rfind("DEBUG: sent ", 0) == 0)
            sent.push_back(line);
    EXPECT_EQ(sent, (std::vector<std::string>{"DEBUG: sent 8388576 bytes",
                                              "DEBUG: sent 8389576 bytes"}));
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l.end()[-2], "PAGE: 1 1");
    EXPECT_EQ(l.back(), "INFO: Print job sent, 8389576 bytes");
}

TEST_F(BackendPrint, JobFromAFileIsSentOncePerCopyWithProgress) {
    start();
    const std::string job = random_bytes(70000, 2);
    const std::string file = dir.path + "/job.prn";
    spit(file, job);
    std::vector<std::string> argv = job_args("2");
    argv.push_back(file);
    const outcome o = run_backend({argv, uri(), "", true, ""}, dir.path);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(slurp(sink), job + job);
    EXPECT_EQ(write_sizes(), (std::vector<long>{70000, 70000}));
    EXPECT_NE(o.err.find("ATTR: job-media-progress=50\n"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("ATTR: job-media-progress=100\n"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("PAGE: 1 2\n"), std::string::npos) << o.err;
}

TEST_F(BackendPrint, DeviceUriOutranksArgv0AndArgv0WorksAlone) {
    start();
    const std::string dead = "tessal://127.0.0.1:" + std::to_string(testd::free_port());
    std::vector<std::string> argv = job_args();
    argv[0] = dead;
    outcome o = run_backend({argv, uri(), "first", true, ""}, dir.path);
    EXPECT_EQ(o.status, 0) << o.err;
    argv[0] = uri();
    o = run_backend({argv, "", "second", true, ""}, dir.path);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(slurp(sink), "firstsecond");
}

TEST_F(BackendPrint, PrinterThatStopsTakingBytesFailsTheJobAndFreesThePort) {
    start(",fault=stall:100");
    const std::string job = random_bytes(5000, 3);
    const outcome o = run_backend({job_args(), uri(), job, true, ""}, dir.path);
    EXPECT_EQ(o.status, 1) << o.err;  // CUPS_BACKEND_FAILED
    EXPECT_NE(o.err.find("ERROR: the printer took "), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("PAGE:"), std::string::npos) << o.err;
    const std::string got = slurp(sink);
    EXPECT_EQ(got, job.substr(0, 100));
    // The port was given back: the next job gets through INIT at once, and stalls the same way.
    const outcome again = run_backend({job_args(), uri(), job, true, ""}, dir.path);
    EXPECT_EQ(again.status, 1) << again.err;
}

TEST_F(BackendPrint, InitRefusedByTheDaemonAsksForARetry) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only a daemon started as root gives up root at INIT";
    start("", {"--user", "no-such-user-tessal"});
    const outcome o = run_backend({job_args(), uri(), "data", true, ""}, dir.path);
    EXPECT_EQ(o.status, 6) << o.err;
    EXPECT_NE(o.err.find("ERROR: the printer port could not be opened: the daemon answered FAIL"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(slurp(sink), "");
}

TEST_F(BackendPrint, CancelledJobStopsSendingAndGivesThePortBack) {
    start();
    backend_run r{job_args(), uri(), "partial job", false, "INFO: Sending the print job"};
    const auto t0 = std::chrono::steady_clock::now();
    const outcome o = run_backend(r, dir.path);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.err.find("INFO: Job cancelled after 0 bytes"), std::string::npos) << o.err;
    EXPECT_TRUE(write_sizes().empty());
    // The port is free again for the next job.
    const outcome next = run_backend({job_args(), uri(), "next", true, ""}, dir.path);
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(slurp(sink), "next");
}

}  // namespace
