// The wire seen by a client: reply headers, framing edge cases and the request table, against
// the running daemon. No port is ever open here (this machine cannot acquire one), which is
// exactly the case these requests must answer without touching anything.
#include <gtest/gtest.h>
#include <sys/io.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "wire/frame.h"
#include "tests/support/daemon.h"

namespace {

class Wire : public ::testing::Test {
protected:
    void SetUp() override {
        port = testd::free_port();
        d = std::make_unique<testd::daemon>(std::vector<std::string>{"-f", "-V", "3", "-p", std::to_string(port)}, port);
        fd = testd::connect_to(port);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0)
            close(fd);
    }
    testd::reply ask(uint8_t code, int32_t count, const std::vector<uint8_t> &payload = {}) {
        EXPECT_TRUE(testd::send_all(fd, testd::frame(code, count, payload)));
        return testd::read_reply(fd);
    }
    int port = 0;
    int fd = -1;
    std::unique_ptr<testd::daemon> d;
};

TEST_F(Wire, ReplyHeaderCarriesVersionZeroesAndAStablePid) {
    const auto a = ask(3, 0);
    const auto b = ask(3, 0);
    ASSERT_TRUE(a.ok && b.ok);
    EXPECT_EQ(a.magic, 0xE150ED5Fu);
    EXPECT_EQ(a.length, 32u);
    EXPECT_EQ(a.version, 1);
    EXPECT_EQ(a.code, 64);
    EXPECT_TRUE(a.reserved_zero);
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(a.pid, b.pid);
    EXPECT_NE(a.pid, uint32_t(d->pid()));  // the service process answers, not the listener
}

TEST_F(Wire, EachConnectionHasItsOwnServiceProcess) {
    const auto a = ask(3, 0);
    const int other = testd::connect_to(port);
    ASSERT_TRUE(testd::send_all(other, testd::frame(3, 0)));
    const auto b = testd::read_reply(other);
    close(other);
    EXPECT_NE(a.pid, b.pid);
}

TEST_F(Wire, RequestTableWithoutAnOpenPort) {
    EXPECT_EQ(ask(0, 0).code, 64);      // READ of nothing: no device access
    const auto neg = ask(0, -5);
    EXPECT_EQ(neg.code, 64);
    EXPECT_EQ(neg.count, 0u);
    EXPECT_TRUE(neg.payload.empty());
    const auto rd = ask(0, 10);         // READ before INIT
    EXPECT_EQ(rd.code, 65);
    EXPECT_EQ(rd.count, 0u);
    EXPECT_TRUE(rd.payload.empty());
    const auto wr = ask(1, 3, {'a', 'b', 'c'});
    EXPECT_EQ(wr.code, 65);
    EXPECT_EQ(wr.count, 0u);
    EXPECT_EQ(ask(3, 0).code, 64);      // RESET before INIT: nothing to do
}

// Whether this machine would let a process raise its I/O privilege level. Asked in a child that
// does nothing else, so the test process itself never gains it.
bool iopl_works() {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(iopl(3) == 0 ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(Wire, InitWhereThePortCannotBeAcquiredFails) {
    if (iopl_works())
        GTEST_SKIP() << "the port could really be acquired here: no test may touch a real I/O port";
    const auto r = ask(2, 0);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.code, 65);
    EXPECT_EQ(r.count, 2u);  // the reason: MSG_FAIL_PORT_ACCESS
    EXPECT_TRUE(d->wait_for("ERROR: port access failed, ", true, 60000));
    EXPECT_EQ(ask(0, 4).code, 65);      // and it stays closed
}

TEST_F(Wire, UnknownCodeIsReportedAndStillAnsweredOk) {
    const auto r = ask(0x07, 99);
    EXPECT_EQ(r.code, 64);
    EXPECT_EQ(r.count, 0u);
    EXPECT_TRUE(d->wait_for("ERROR: Unknown command 0x07\n", true, 60000));
}

TEST_F(Wire, TwoRequestsInOneSegmentAreAnsweredInOrder) {
    auto both = testd::frame(0x09, 0);
    const auto second = testd::frame(0, -1);
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(testd::send_all(fd, both));
    EXPECT_EQ(testd::read_reply(fd).code, 64);
    EXPECT_EQ(testd::read_reply(fd).code, 64);
    EXPECT_TRUE(d->wait_for("ERROR: Unknown command 0x09\n", true, 60000));
}

TEST_F(Wire, LengthZeroEndsTheConnectionWithoutAReply) {
    ASSERT_TRUE(testd::send_all(fd, testd::frame(3, 0, {}, 0)));
    EXPECT_TRUE(testd::closed_by_peer(fd));
}

TEST_F(Wire, WrongMagicEndsTheConnectionWithoutAReply) {
    auto f = testd::frame(3, 0);
    f[0] = 0xE0;
    ASSERT_TRUE(testd::send_all(fd, f));
    EXPECT_TRUE(testd::closed_by_peer(fd));
}

TEST_F(Wire, HeaderCutShortEndsTheConnection) {
    auto f = testd::frame(3, 0);
    f.resize(20);
    ASSERT_TRUE(testd::send_all(fd, f));
    shutdown(fd, SHUT_WR);
    EXPECT_TRUE(testd::closed_by_peer(fd));
}

TEST_F(Wire, OversizedLengthIsReadToCapacityThenTheRestFailsTheMagic) {
    const size_t cap_payload = 0x800000 - 32;
    std::vector<uint8_t> payload(cap_payload + 100, 0x41);
    ASSERT_TRUE(testd::send_all(fd, testd::frame(0, 0, payload)));
    const auto r = testd::read_reply(fd);
    ASSERT_TRUE(r.ok);  // the request was carried out with the bytes that fit
    EXPECT_EQ(r.code, 64);
    EXPECT_TRUE(testd::closed_by_peer(fd));  // the next "header" is payload: wrong magic
}

TEST_F(Wire, ConnectAndDropLinesAtVerbosity3) {
    ask(3, 0);
    close(fd);
    fd = -1;
    EXPECT_TRUE(d->wait_for("Client dropped   at ", false, 60000));
    const std::string out = d->out();
    const auto c = out.find("Client connected at ");
    ASSERT_NE(c, std::string::npos);
    EXPECT_LT(c, out.find("Client dropped   at "));
    EXPECT_EQ(out.back(), '\n');  // ctime's own newline
}

TEST_F(Wire, ServiceProcessEndsWithItsConnection) {
    ask(3, 0);
    // The probe connection of the set-up may still be on its way out.
    for (int i = 0; i < 200 && d->group().size() > 2; i++)
        usleep(10000);
    EXPECT_EQ(d->group().size(), 2u);  // listener and this connection's service process
    close(fd);
    fd = -1;
    for (int i = 0; i < 200 && d->group().size() > 1; i++)
        usleep(10000);
    EXPECT_EQ(d->group().size(), 1u);
}

}  // namespace
