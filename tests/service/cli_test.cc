// The command line, start-up and detaching, seen from outside: exact texts, streams, exit codes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/daemon.h"

namespace {

const std::string kHelp =
    "\n  tessal : Tessaline\n\n  Usage :\n\n  tessal [ options ]\n\n  Options :\n\n"
    "  -V n   : message Verbosity level n, default 0\n"
    "  -f     : debug mode: run in foreground, log to stdout\n"
    "  -h     : show help and exit\n"
    "  -i dev : use network device 'dev', default lo\n"
    "  -p n   : listen on port n, default 8822\n"
    "  -v     : show version\n\n";

TEST(Cli, HelpShowsTheDefaultPortWhateverPSaid) {
    testd::daemon d({"-p", "1234", "-h"}, 0);
    EXPECT_EQ(d.wait_exit(60000), 0);
    EXPECT_EQ(d.err(), kHelp);
    EXPECT_EQ(d.out(), "");
}

TEST(Cli, LongHelpStartsWithTheShortOneOnStandardOutput) {
    testd::daemon d({"--help"}, 0);
    EXPECT_EQ(d.wait_exit(60000), 0);
    EXPECT_EQ(d.out().substr(0, kHelp.size()), kHelp);
    EXPECT_NE(d.out().find("--sim"), std::string::npos);
    EXPECT_EQ(d.err(), "");
}

TEST(Cli, VersionEndsTheProgramBeforeLaterOptionsOrASocket) {
    const int port = testd::free_port();
    testd::daemon d({"-v", "-p", std::to_string(port), "-h", "-f"}, 0);
    EXPECT_EQ(d.wait_exit(60000), 0);
    EXPECT_EQ(d.err(), "tessal v.0.90.03\n");
    EXPECT_EQ(testd::connect_to(port), -1);
}

// A command line that is not right never starts the daemon: exit status 2, one line saying
// what was wrong, the usage after an unknown option or a stray argument, and no socket.
struct refusal {
    std::vector<std::string> args;
    std::string says;  // on standard error
    bool usage;        // followed by the usage text
};

TEST(Cli, WrongCommandLinesAreRefusedBeforeAnythingRuns) {
    const std::vector<refusal> cases = {
        {{"-x"}, "invalid option -- 'x'\n", true},
        {{"--simm"}, "unrecognized option '--simm'\n", true},
        {{"-i"}, "option requires an argument -- 'i'\n", true},
        {{"stray"}, "ERROR: unexpected argument 'stray'\n", true},
        {{"-p", "abc"}, "ERROR: bad value 'abc' for -p\n", false},
        {{"-p", "-1"}, "ERROR: bad value '-1' for -p\n", false},
        {{"-p", "80x"}, "ERROR: bad value '80x' for -p\n", false},
        {{"-V", "abc"}, "ERROR: bad value 'abc' for -V\n", false},
        {{"--io-timeout", "0"}, "ERROR: bad value '0' for --io-timeout\n", false},
        {{"--wait-timeout", "1.2345"}, "ERROR: bad value '1.2345' for --wait-timeout\n", false},
        {{"--hold-timeout", "-5"}, "ERROR: bad value '-5' for --hold-timeout\n", false},
        {{"--idle-timeout", "31536001"}, "ERROR: bad value '31536001' for --idle-timeout\n", false},
        {{"--max-connections", "0"}, "ERROR: bad value '0' for --max-connections\n", false},
        {{"--max-per-peer", "many"}, "ERROR: bad value 'many' for --max-per-peer\n", false},
        {{"--status=abc"}, "ERROR: bad value 'abc' for --status\n", false},
        {{"--raw-port=0"}, "ERROR: bad value '0' for --raw-port\n", false},
        {{"--raw-port=65536"}, "ERROR: bad value '65536' for --raw-port\n", false},
        {{"--no-dnssd=1"}, "option '--no-dnssd' doesn't allow an argument\n", true},
    };
    for (const refusal &c : cases) {
        const int port = testd::free_port();
        std::vector<std::string> args{"-f", "-V", "1", "-p", std::to_string(port)};
        args.insert(args.end(), c.args.begin(), c.args.end());
        testd::daemon d(args, 0);
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(d.wait_exit(60000), 2);
        const std::string err = d.err();
        const std::string tail = c.says + (c.usage ? kHelp : "");
        ASSERT_GE(err.size(), tail.size()) << err;
        EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
        EXPECT_EQ(d.out(), "");  // no start-up line
        EXPECT_EQ(testd::connect_to(port), -1);
    }
}

TEST(Cli, DetachedDaemonThatCannotListenFailsWith2AndNoStartUpLine) {
    const int port = testd::free_port();
    testd::daemon first({"-f", "-p", std::to_string(port)}, port);
    testd::daemon second({"-V", "1", "-p", std::to_string(port)}, 0);
    EXPECT_EQ(second.wait_exit(60000), 2);
    EXPECT_EQ(second.err(), "ERROR: socket bind failed on port " + std::to_string(port) + " (-p), " +
                                std::strerror(EADDRINUSE) + "\n");
    EXPECT_EQ(second.out(), "");
}

TEST(Cli, PortKeepsItsLow16Bits) {
    const int port = testd::free_port();
    testd::daemon d({"-f", "-p", std::to_string(65536 + port)}, port);
    const int fd = testd::connect_to(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(testd::send_all(fd, testd::frame(3, 0)));
    EXPECT_TRUE(testd::read_reply(fd).ok);
    close(fd);
}

TEST(Cli, DeviceNameKeeps31CharactersAndOnlyShowsInTheStartUpLine) {
    const std::string name(40, 'n');
    const int port = testd::free_port();
    testd::daemon d({"-f", "-V", "1", "-i", name, "-p", std::to_string(port)}, port);
    EXPECT_TRUE(d.wait_for("Device: " + name.substr(0, 31) + ", port " + std::to_string(port) + "\n", false, 60000));
}

TEST(Cli, NoStartUpLineAtVerbosityZero) {
    const int port = testd::free_port();
    testd::daemon d({"-f", "-p", std::to_string(port)}, port);
    EXPECT_EQ(d.out(), "");
}

// The error line names the port that was busy: the request port, or the raw print port.
TEST(Cli, SecondDaemonOnThePortFailsAtBindNamingThePort) {
    const int port = testd::free_port(), other = testd::free_port();
    testd::daemon first({"-f", "-p", std::to_string(port)}, port);
    const std::string busy = std::string(", ") + std::strerror(EADDRINUSE) + "\n";
    testd::daemon second({"-f", "-p", std::to_string(port)}, 0);
    EXPECT_EQ(second.wait_exit(60000), 2);
    EXPECT_EQ(second.err(), "ERROR: socket bind failed on port " + std::to_string(port) + " (-p)" + busy);
    testd::daemon raw({"-f", "-p", std::to_string(other), "--raw-port=" + std::to_string(port)}, 0);
    EXPECT_EQ(raw.wait_exit(60000), 2);
    EXPECT_EQ(raw.err(), "ERROR: socket bind failed on port " + std::to_string(port) + " (--raw-port)" + busy);
}

// Detached: the command returns once the pid file names the daemon, which has a session of its
// own and nothing of the caller's open, and serves.
TEST(Cli, WithoutForegroundTheDaemonDetachesAndServes) {
    const int port = testd::free_port();
    char pidfile[] = "/tmp/tessal-test-XXXXXX";
    close(mkstemp(pidfile));
    testd::daemon d({"-V", "1", "-p", std::to_string(port), "--pidfile", pidfile}, 0);
    EXPECT_EQ(d.wait_exit(60000), 0);
    std::ifstream in(pidfile);
    pid_t pid = 0;
    in >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_EQ(getsid(pid), pid);
    char target[64] = "";
    EXPECT_GT(readlink(("/proc/" + std::to_string(pid) + "/fd/1").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
    const int fd = testd::connect_to(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(testd::send_all(fd, testd::frame(3, 0)));
    const auto r = testd::read_reply(fd);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.code, 64);
    close(fd);
    // Its start-up line went out before it detached, to the caller's standard output.
    EXPECT_EQ(d.out(), "Device: lo, port " + std::to_string(port) + "\n");
    kill(pid, SIGTERM);
    EXPECT_TRUE(testd::wait_until([&] { return access(pidfile, F_OK) != 0; }, 60000));  // removed at its end
    unlink(pidfile);
}

// The port lock names who waits for the port: only its owner may read it, whatever the umask (and
// a file an older daemon left open to all is closed up).
TEST(Cli, PortLockIsTheOwnersAloneWhateverTheUmask) {
    if (access("/run/lock", W_OK) != 0)
        GTEST_SKIP() << "/run/lock is not writable here";
    const mode_t before = umask(0);
    const int port = testd::free_port();
    testd::daemon d({"-f", "-p", std::to_string(port)}, port);
    umask(before);
    struct stat st {};
    ASSERT_EQ(stat("/run/lock/tessal-0378.lock", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Cli, BadSimulatorConfigurationExitsWith2BeforeListening) {
    const int port = testd::free_port();
    testd::daemon d({"-f", "-p", std::to_string(port), "--sim=nonsense=1"}, 0);
    EXPECT_EQ(d.wait_exit(60000), 2);
    EXPECT_EQ(d.err().rfind("ERROR: ", 0), 0u);
    EXPECT_EQ(testd::connect_to(port), -1);
}

}  // namespace
