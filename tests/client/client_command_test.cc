// The tessal-client command, run as a real process against the fake daemon: what it sends, its
// exit status and the one line it prints when something goes wrong.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client/client.h"
#include "tests/client/fake_server.h"

extern char **environ;

namespace {

// Starts tessal-client with args and the given descriptor set-up: its pid, or -1.
pid_t spawn_with(std::vector<std::string> args, const posix_spawn_file_actions_t *fa) {
    args.insert(args.begin(), TESSAL_CLIENT_PATH);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawn(&pid, TESSAL_CLIENT_PATH, fa, nullptr, argv.data(), environ) == 0 ? pid : -1;
}


using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr size_t MAX = TC_MAX_PAYLOAD;
constexpr size_t CHUNK = TC_WRITE_CHUNK;

struct outcome {
    int status = -1;
    bytes out;
    std::string err;
};

bytes slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), {});
}

class ClientCommand : public ::testing::Test {
protected:
    // The files are several megabytes in the large cases, so none is left behind.
    void TearDown() override {
        for (const std::string &path : made_)
            unlink(path.c_str());
    }

    std::string temp_path(const std::string &name) {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string test = info->name();
        std::replace(test.begin(), test.end(), '/', '_');  // parameterised names hold a '/'
        // The pid keeps runs of the suite from other worktrees on this machine apart.
        made_.push_back(::testing::TempDir() + "tessal_client_" + std::to_string(getpid()) + "_" +
                        test + "_" + name);
        return made_.back();
    }

    std::string put_file(const std::string &name, const bytes &data) {
        const std::string path = temp_path(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
        return path;
    }

    // Runs the command with the given arguments; standard input comes from `input` (a file
    // path) or /dev/null.
    outcome run(std::vector<std::string> args, const std::string &input = "/dev/null") {
        const std::string out = temp_path("stdout"), err = temp_path("stderr");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const pid_t pid = spawn_with(std::move(args), &fa);
        outcome o;
        if (pid > 0) {
            int ws = 0;
            waitpid(pid, &ws, 0);
            o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        }
        posix_spawn_file_actions_destroy(&fa);
        o.out = slurp(out);
        const bytes e = slurp(err);
        o.err.assign(e.begin(), e.end());
        return o;
    }

private:
    std::vector<std::string> made_;
};

std::string port_of(const fake_server &srv) { return std::to_string(srv.port()); }

std::string slurp_text(const std::string &path) {
    const bytes b = slurp(path);
    return std::string(b.begin(), b.end());
}

// Starts the command with its standard error on `err` (a file, or a terminal's slave side), not
// waiting for it: the pid, or -1.
pid_t spawn_client(std::vector<std::string> args, const std::string &err) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOCTTY, 0644);
    const pid_t pid = spawn_with(std::move(args), &fa);
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

fake_step silent_step() {
    fake_step s;
    s.silent = true;
    return s;
}

bytes payload_of(const bytes &req) { return bytes(req.begin() + 32, req.end()); }

TEST_F(ClientCommand, PrintSplitsTheFileBetweenInitAndReset) {
    const bytes data = pattern(CHUNK + 10, 5);
    const std::string file = put_file("job", data);
    fake_server srv({{reply_msg(MSG_OK, 0)},
                     {reply_msg(MSG_OK, CHUNK)},
                     {reply_msg(MSG_OK, 10)},
                     {reply_msg(MSG_OK, 0)}});
    const outcome o = run({"-q", "-p", port_of(srv), "print", file});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_TRUE(o.out.empty());

    const std::vector<bytes> req = srv.finish();
    ASSERT_EQ(req.size(), 4u);
    EXPECT_EQ(req[0], request_header(MSG_INIT, 0, 0));
    EXPECT_EQ(bytes(req[1].begin(), req[1].begin() + 32),
              request_header(MSG_WRITE, CHUNK, CHUNK));
    EXPECT_EQ(req[2],
              concat(request_header(MSG_WRITE, 10, 10), bytes(data.end() - 10, data.end())));
    EXPECT_EQ(concat(payload_of(req[1]), payload_of(req[2])), data);
    EXPECT_EQ(req[3], request_header(MSG_RESET, 0, 0));
}

TEST_F(ClientCommand, SeveralCommandsShareOneConnection) {
    const bytes data = pattern(300);
    const bytes back = pattern(5, 40);
    const std::string file = put_file("in", data), sink = temp_path("out");
    fake_server srv({{reply_msg(MSG_OK, 0, 999)},
                     {reply_msg(MSG_OK, 300, 999)},
                     {reply_msg(MSG_OK, 5, 999, back)},
                     {reply_msg(MSG_OK, 0, 999)}});
    const outcome o =
        run({"--port", port_of(srv), "--host", "127.0.0.1", "init", "write", file, "read", "5",
             "-o", sink, "reset"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(slurp(sink), back);
    // Without -q each command reports what it did, one line each.
    EXPECT_EQ(o.err, "tessal-client: init: OK (service process 999)\n"
                     "tessal-client: write: 300 bytes written\n"
                     "tessal-client: read: 5 bytes read\n"
                     "tessal-client: reset: OK (service process 999)\n");

    const std::vector<bytes> req = srv.finish();
    ASSERT_EQ(req.size(), 4u) << "the fake serves one connection only";
    EXPECT_EQ(req[0], request_header(MSG_INIT, 0, 0));
    EXPECT_EQ(req[1], concat(request_header(MSG_WRITE, 300, 300), data));
    EXPECT_EQ(req[2], request_header(MSG_READ, 5, 0));
    EXPECT_EQ(req[3], request_header(MSG_RESET, 0, 0));
}

TEST_F(ClientCommand, ReadGoesToStandardOutputAndSplitsLargeCounts) {
    const bytes first = pattern(MAX, 1), second = pattern(5, 2);
    fake_server srv({{reply_msg(MSG_OK, MAX, 1, first)}, {reply_msg(MSG_OK, 5, 1, second)}});
    const outcome o = run({"-q", "-p", port_of(srv), "read", std::to_string(MAX + 5)});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, concat(first, second));
    const std::vector<bytes> req = srv.finish();
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[0], request_header(MSG_READ, MAX, 0));
    EXPECT_EQ(req[1], request_header(MSG_READ, 5, 0));
}

TEST_F(ClientCommand, WriteTakesStandardInput) {
    const bytes data = pattern(1000, 9);
    const std::string file = put_file("stdin", data);
    fake_server srv({{reply_msg(MSG_OK, 1000)}});
    const outcome o = run({"-q", "-p", port_of(srv), "write", "-"}, file);
    EXPECT_EQ(o.status, 0) << o.err;
    const std::vector<bytes> req = srv.finish();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0], concat(request_header(MSG_WRITE, 1000, 1000), data));
}

// A short count is a paused printer: the rest goes again after a pause, and only a printer that
// takes nothing for the whole --timeout fails the job, with exact totals; print still RESETs.
TEST_F(ClientCommand, PausedPrinterIsRetriedThenGivenUpWithExactTotals) {
    const bytes data = pattern(4096);
    const std::string file = put_file("job", data);
    fake_server srv({{reply_msg(MSG_OK, 0)},
                     {reply_msg(MSG_OK, 100)},
                     {reply_msg(MSG_OK, 0)},
                     {reply_msg(MSG_OK, 0)}});
    const outcome o = run({"-p", port_of(srv), "--timeout", "1", "print", file});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "tessal-client: print: printer not taking data, retrying in 1 s\n"
                     "tessal-client: print: printer took no data for 1 s: 100 of 4096 bytes "
                     "written\n");
    const std::vector<bytes> req = srv.finish();
    ASSERT_EQ(req.size(), 4u);
    EXPECT_EQ(req[2], concat(request_header(MSG_WRITE, 3996, 3996),
                             bytes(data.begin() + 100, data.end())))
        << "the retry carries exactly the bytes not yet taken";
    EXPECT_EQ(req[3], request_header(MSG_RESET, 0, 0));
}

// The daemon had to drop the job's last bytes: RESET says how many, and print and reset fail.
TEST_F(ClientCommand, DroppedBytesFailPrintAndReset) {
    const std::string file = put_file("job", pattern(100));
    fake_server srv({{reply_msg(MSG_OK, 0)}, {reply_msg(MSG_OK, 100)}, {reply_msg(MSG_FAIL, 10)}});
    const outcome o = run({"-p", port_of(srv), "print", file});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "tessal-client: print: up to 10 printed bytes were dropped: the printer did not take them "
                     "(at least 90 of 100 bytes printed)\n");
    fake_server again({{reply_msg(MSG_FAIL, 3)}});
    const outcome r = run({"-p", port_of(again), "reset"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tessal-client: reset: up to 3 printed bytes were dropped: the printer did not take them\n");
}

TEST_F(ClientCommand, ShortReadFailsAndLeavesTheFileAsItWas) {
    const std::string sink = put_file("out", {'o', 'l', 'd'});
    fake_server srv({{reply_msg(MSG_OK, 3, 1, bytes{0xAA, 0xBB, 0xCC})}});
    const outcome o = run({"-p", port_of(srv), "read", "10", "-o", sink});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "tessal-client: read: 3 of 10 bytes read (" + sink + " left as it was)\n");
    EXPECT_EQ(slurp(sink), (bytes{'o', 'l', 'd'}));
    srv.finish();
}

// `id`: the ID without its control bytes and its fields on standard output, or why there is none.
TEST_F(ClientCommand, IdPrintsTheIdAndItsFieldsOrWhyNot) {
    const std::string raw = "MFG:Acme;MDL:LP-1;CMD:PCL;\r\n";
    const struct {
        bytes reply;
        int status;
        std::string out, err;
    } rows[] = {
        {reply_msg(MSG_OK, uint32_t(raw.size()), 1, bytes(raw.begin(), raw.end())), 0,
         "Device ID: MFG:Acme;MDL:LP-1;CMD:PCL;\nmanufacturer: Acme\nmodel: LP-1\ncommand set: PCL\nclass: (none)\n",
         "tessal-client: id: 28 bytes\n"},
        {reply_msg(MSG_OK, 0), 1, "",
         "tessal-client: id: no Device ID available (the daemon is older than the request, or knows none)\n"},
        {reply_msg(MSG_FAIL, MSG_FAIL_NO_ID), 1, "",
         "tessal-client: id: the daemon answered FAIL: no Device ID from the printer\n"},
    };
    for (const auto &r : rows) {
        fake_server srv({{r.reply}});
        const outcome o = run({"-p", port_of(srv), "id"});
        EXPECT_EQ(o.status, r.status);
        EXPECT_EQ(std::string(o.out.begin(), o.out.end()), r.out);
        EXPECT_EQ(o.err, r.err);
        srv.finish();
    }
}

// A device or a pipe is written as it is; renaming a file over it (the way a regular file is
// replaced only once every byte came) would replace it for everyone.
TEST_F(ClientCommand, ReadIntoAPipeLeavesThePipe) {
    const std::string fifo = temp_path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    fake_server srv({{reply_msg(MSG_OK, 3, 1, bytes{0xAA, 0xBB, 0xCC})}});
    const outcome o = run({"-q", "-p", port_of(srv), "read", "3", "-o", fifo});
    EXPECT_EQ(o.status, 0) << o.err;
    uint8_t got[4] = {};
    EXPECT_EQ(read(reader, got, sizeof got), 3);
    EXPECT_EQ(bytes(got, got + 3), (bytes{0xAA, 0xBB, 0xCC}));
    close(reader);
    struct stat st {};
    EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    srv.finish();
}

// INIT FAIL: a busy port or a full daemon is tried again after a pause; any other reason ends
// the run naming it; an older daemon's FAIL (count 0) reads as before.
struct fail_row {
    uint32_t reason;
    const char *err;
    int status;
};

void PrintTo(const fail_row &r, std::ostream *os) { *os << "reason " << r.reason; }

class ClientInitFail : public ClientCommand, public ::testing::WithParamInterface<fail_row> {};

TEST_P(ClientInitFail, SaysWhyOrRetries) {
    const fail_row &r = GetParam();
    // A full daemon turns the connection away, so its retry comes on a new connection.
    const bool hang_up = r.reason == MSG_FAIL_TOO_MANY;
    fake_server srv({{reply_msg(MSG_FAIL, r.reason), hang_up}, {reply_msg(MSG_OK, 0)}}, 2);
    const outcome o = run({"-p", port_of(srv), "init"});
    EXPECT_EQ(o.status, r.status);
    EXPECT_THAT(o.err, StartsWith(r.err));
    EXPECT_EQ(srv.finish().size(), r.status == 0 ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, ClientInitFail,
    ::testing::Values(
        fail_row{MSG_FAIL_UNSPECIFIED,
                 "tessal-client: init: the daemon answered FAIL: the device could not do it\n", 1},
        fail_row{MSG_FAIL_NO_PERIPHERAL,
                 "tessal-client: init: the daemon answered FAIL: no answer to the IEEE 1284 "
                 "negotiation (printer off or not connected?)\n",
                 1},
        fail_row{MSG_FAIL_BUSY, "tessal-client: init: printer busy, retrying in 1 s\n", 0},
        fail_row{MSG_FAIL_TOO_MANY,
                 "tessal-client: init: daemon full (too many connections), retrying in 1 s\n",
                 0}),
    [](const auto &info) { return "Reason" + std::to_string(info.param.reason); });

TEST_F(ClientCommand, ConnectionRefused) {
    refused_port closed;
    const outcome o = run({"-p", std::to_string(closed.port()), "init"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "tessal-client: cannot connect to 127.0.0.1:" +
                         std::to_string(closed.port()) + ": Connection refused\n");
}

TEST_F(ClientCommand, BrokenAndBadRepliesFailWithOneLine) {
    {
        bytes bad = reply_msg(MSG_OK, 0);
        bad[0] = 0x00;
        fake_server srv({{bad}});
        const outcome o = run({"-p", port_of(srv), "init", "reset"});
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, "tessal-client: init: bad reply: wrong magic 00 50 ed 5f\n");
        EXPECT_EQ(srv.finish().size(), 1u);
    }
    {
        fake_server srv({{head(reply_msg(MSG_OK, 0), 20), true}});
        const outcome o = run({"-p", port_of(srv), "reset"});
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, "tessal-client: reset: connection closed by the daemon in the middle of "
                         "the reply (20 of 32 header bytes)\n");
        srv.finish();
    }
}

TEST_F(ClientCommand, UnwritableOutputFailsBeforeConnecting) {
    refused_port closed;  // a connection attempt would fail with another message
    const outcome o = run({"-p", std::to_string(closed.port()), "init", "read", "4", "-o",
                           "/nonexistent/x"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "tessal-client: read: cannot create /nonexistent/x: No such file or "
                     "directory\n");
}

TEST_F(ClientCommand, UnreadableFileFailsBeforeConnecting) {
    refused_port closed;  // a connection attempt would fail with another message
    const outcome o = run({"-p", std::to_string(closed.port()), "init", "print", "/nonexistent/job.prn"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "tessal-client: print: cannot open /nonexistent/job.prn: No such file or "
                     "directory\n");
}

// A peer that accepts and never answers is not a busy printer: the INIT ends after the reply
// time-out, or sooner when --timeout is shorter, and says so.
TEST_F(ClientCommand, SilentPeerEndsAtTheShorterTimeOutAsNoAnswer) {
    for (const char *opt : {"--reply-timeout", "--timeout"}) {
        fake_server srv({silent_step()});
        const auto t0 = std::chrono::steady_clock::now();
        const outcome o = run({opt, "1", "-p", port_of(srv), "init"});
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(o.status, 1) << opt;
        EXPECT_EQ(o.err, "tessal-client: init: no answer from the daemon (INIT unanswered within 1 s)\n") << opt;
        EXPECT_LT(took, std::chrono::seconds(30)) << opt << ": not the 60 s reply time-out";
        srv.finish();
    }
}

// On a terminal the bar follows the whole job, not the first WRITE: each of three slow WRITEs
// moves it on (a third, two thirds, all).
TEST_F(ClientCommand, ProgressBarFollowsEveryWrite) {
    const std::string file = put_file("job", pattern(3 * CHUNK));
    fake_step slow{reply_msg(MSG_OK, CHUNK)};
    slow.delay_ms = 150;  // the bar redraws at most every 100 ms
    fake_server srv({{reply_msg(MSG_OK, 0)}, slow, slow, slow, {reply_msg(MSG_OK, 0)}});
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const pid_t pid = spawn_client({"-p", port_of(srv), "print", file}, ptsname(master));
    ASSERT_GT(pid, 0);
    std::string screen;
    char chunk[4096];
    for (pollfd pf{master, POLLIN, 0}; poll(&pf, 1, 10000) > 0;) {
        const ssize_t n = read(master, chunk, sizeof chunk);
        if (n <= 0)
            break;  // EIO once the client has closed the terminal
        screen.append(chunk, size_t(n));
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    close(master);
    srv.finish();
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << screen;
    EXPECT_THAT(screen, HasSubstr("] 33%")) << screen;
    EXPECT_THAT(screen, HasSubstr("] 66%")) << screen;
    EXPECT_THAT(screen, HasSubstr("print: 786432 bytes printed")) << screen;
}

// Ctrl-C during a wait: the wait ends at once, one line says so, and the status is 128 + SIGINT.
TEST_F(ClientCommand, InterruptEndsTheWaitWithALine) {
    fake_server srv({silent_step()});
    const std::string err = temp_path("stderr");
    const pid_t pid = spawn_client({"-p", port_of(srv), "init"}, err);
    ASSERT_GT(pid, 0);
    // The notice after 2 s of waiting shows the INIT is out and the handler is in place.
    const std::string notice = "tessal-client: init: waiting for the printer (no answer to INIT yet)\n";
    for (int i = 0; i < 300 && slurp_text(err) != notice; i++)
        usleep(50000);
    kill(pid, SIGINT);
    int ws = 0;
    waitpid(pid, &ws, 0);
    srv.finish();
    EXPECT_TRUE(WIFEXITED(ws)) << "ended by its own exit, not by the signal";
    EXPECT_EQ(WEXITSTATUS(ws), 128 + SIGINT);
    EXPECT_EQ(slurp_text(err), notice + "tessal-client: init: interrupted\n");
}

TEST_F(ClientCommand, UsageErrorsExitTwoWithoutConnecting) {
    refused_port closed;  // a connection attempt would turn the status into 1
    const std::string p = std::to_string(closed.port());
    const std::vector<std::vector<std::string>> cases = {
        {"-p", p},
        {"-p", p, "frob"},
        {"-p", p, "read"},
        {"-p", p, "read", "12x"},
        {"-p", p, "read", "-1"},
        {"-p", p, "read", "5", "-o"},
        {"-p", p, "write"},
        {"-p", "0", "init"},
        {"-p", "65536", "init"},
        {"--timeout", "x", "init"},
        {"--reply-timeout", "0", "init"},
        {"--connect-timeout", "2000001", "init"},
        {"--bogus", "init"},
        {"-p"},
    };
    for (const auto &args : cases) {
        const outcome o = run(args);
        const std::string shown = ::testing::PrintToString(args);
        EXPECT_EQ(o.status, 2) << shown;
        EXPECT_THAT(o.err, StartsWith("tessal-client: ")) << shown;
        EXPECT_THAT(o.err, HasSubstr("Usage: tessal-client")) << shown;
    }
}

TEST_F(ClientCommand, HelpGoesToStandardOutput) {
    const outcome o = run({"--help"});
    EXPECT_EQ(o.status, 0);
    const std::string text(o.out.begin(), o.out.end());
    EXPECT_THAT(text, StartsWith("Usage: tessal-client"));
    EXPECT_THAT(text, HasSubstr("print FILE|-"));
    EXPECT_EQ(o.err, "");
    const outcome v = run({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(std::string(v.out.begin(), v.out.end()), "tessal-client v.0.90.03\n");
}

}  // namespace
