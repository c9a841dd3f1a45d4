// The command line, start-up and detaching, seen from outside: exact texts, streams, exit codes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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
    EXPECT_EQ(d.wait_exit(5000), 0);
    EXPECT_EQ(d.err(), kHelp);
    EXPECT_EQ(d.out(), "");
}

TEST(Cli, LongHelpStartsWithTheShortOneOnStandardOutput) {
    testd::daemon d({"--help"}, 0);
    EXPECT_EQ(d.wait_exit(5000), 0);
    EXPECT_EQ(d.out().substr(0, kHelp.size()), kHelp);
    EXPECT_NE(d.out().find("--sim"), std::string::npos);
    EXPECT_EQ(d.err(), "");
}

TEST(Cli, VersionEndsTheProgramBeforeLaterOptionsOrASocket) {
    const int port = testd::free_port();
    testd::daemon d({"-v", "-p", std::to_string(port), "-h", "-f"}, 0);
    EXPECT_EQ(d.wait_exit(5000), 0);
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
        EXPECT_EQ(d.wait_exit(5000), 2);
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
    EXPECT_EQ(second.wait_exit(5000), 2);
    EXPECT_EQ(second.err(), std::string("ERROR: socket bind failed, ") + std::strerror(EADDRINUSE) + "\n");
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
    EXPECT_TRUE(d.wait_for("Device: " + name.substr(0, 31) + ", port " + std::to_string(port) + "\n", false, 5000));
}

TEST(Cli, NoStartUpLineAtVerbosityZero) {
    const int port = testd::free_port();
    testd::daemon d({"-f", "-p", std::to_string(port)}, port);
    EXPECT_EQ(d.out(), "");
}

TEST(Cli, SecondDaemonOnThePortFailsAtBind) {
    const int port = testd::free_port();
    testd::daemon first({"-f", "-p", std::to_string(port)}, port);
    testd::daemon second({"-f", "-p", std::to_string(port)}, 0);
    EXPECT_EQ(second.wait_exit(5000), 2);
    EXPECT_EQ(second.err(), std::string("ERROR: socket bind failed, ") + std::strerror(EADDRINUSE) + "\n");
}

TEST(Cli, WithoutForegroundTheCommandReturnsAndTheDaemonServes) {
    const int port = testd::free_port();
    testd::daemon d({"-V", "1", "-p", std::to_string(port)}, 0);
    EXPECT_EQ(d.wait_exit(5000), 0);
    int fd = -1;
    for (int i = 0; i < 200 && fd < 0; i++) {
        fd = testd::connect_to(port);
        if (fd < 0)
            usleep(10000);
    }
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(testd::send_all(fd, testd::frame(3, 0)));
    const auto r = testd::read_reply(fd);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.code, 64);
    close(fd);
    // The detached daemon keeps the process group (and so is cleaned up with it); its start-up
    // line went to the inherited standard output.
    EXPECT_FALSE(d.group().empty());
    EXPECT_TRUE(d.wait_for("Device: lo, port " + std::to_string(port) + "\n", false, 2000));
}

TEST(Cli, BadSimulatorConfigurationExitsWith2BeforeListening) {
    const int port = testd::free_port();
    testd::daemon d({"-f", "-p", std::to_string(port), "--sim=nonsense=1"}, 0);
    EXPECT_EQ(d.wait_exit(5000), 2);
    EXPECT_EQ(d.err().rfind("ERROR: ", 0), 0u);
    EXPECT_EQ(testd::connect_to(port), -1);
}

}  // namespace
