// Framing on socket pairs: short transfers, interrupted calls, and the exact bytes of a reply.
#include "wire/frame.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/support/daemon.h"

namespace {

struct socket_pair {
    int fd[2];
    socket_pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~socket_pair() {
        close(fd[0]);
        if (fd[1] >= 0)
            close(fd[1]);
    }
    void close_peer() {
        close(fd[1]);
        fd[1] = -1;
    }
};

void on_alarm(int) {}

// Interrupts the calling thread's blocking calls every few milliseconds for as long as it lives.
struct interrupter {
    struct sigaction old {};
    interrupter() {
        struct sigaction sa {};
        sa.sa_handler = on_alarm;  // no SA_RESTART: blocked reads and writes fail with EINTR
        sigaction(SIGALRM, &sa, &old);
        itimerval t{{0, 2000}, {0, 2000}};
        setitimer(ITIMER_REAL, &t, nullptr);
    }
    ~interrupter() {
        itimerval t{};
        setitimer(ITIMER_REAL, &t, nullptr);
        sigaction(SIGALRM, &old, nullptr);
    }
};

TEST(ReadFull, CollectsShortTransfersAcrossInterruptions) {
    socket_pair sp;
    std::thread writer([&] {
        for (int i = 0; i < 100; i++) {
            const uint8_t b[3] = {uint8_t(i), uint8_t(i + 1), uint8_t(i + 2)};
            ASSERT_EQ(write(sp.fd[1], b, 3), 3);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::vector<uint8_t> buf(300);
    ssize_t got;
    {
        interrupter alarm;
        got = read_full(sp.fd[0], buf.data(), buf.size());
    }
    writer.join();
    ASSERT_EQ(got, 300);
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(buf[size_t(i) * 3 + 2], uint8_t(i + 2));
}

TEST(ReadFull, EndOfStreamReturnsWhatCame) {
    socket_pair sp;
    ASSERT_EQ(write(sp.fd[1], "abcde", 5), 5);
    sp.close_peer();
    uint8_t buf[32];
    EXPECT_EQ(read_full(sp.fd[0], buf, sizeof buf), 5);
    EXPECT_EQ(read_full(sp.fd[0], buf, sizeof buf), 0);
}

TEST(ReadFull, ErrorBeforeAnyDataIsTheReadsResult) {
    uint8_t buf[4];
    EXPECT_EQ(read_full(-1, buf, sizeof buf), -1);
}

TEST(WriteFull, RetriesWouldBlockUntilEverythingIsOut) {
    socket_pair sp;
    fcntl(sp.fd[0], F_SETFL, O_NONBLOCK);
    std::vector<uint8_t> data(1 << 20);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i * 7);
    std::vector<uint8_t> got(data.size());
    std::thread reader([&] {
        size_t n = 0;
        while (n < got.size()) {
            const ssize_t r = read(sp.fd[1], got.data() + n, std::min<size_t>(4096, got.size() - n));
            ASSERT_GT(r, 0);
            n += size_t(r);
        }
    });
    EXPECT_EQ(write_full(sp.fd[0], data.data(), data.size()), ssize_t(data.size()));
    reader.join();
    EXPECT_EQ(got, data);
}

TEST(WriteFull, ErrorBeforeAnythingIsTheWritesResult) {
    socket_pair sp;
    sp.close_peer();
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(write_full(sp.fd[0], "x", 1), -1);
}

TEST(RecvRequest, TakesCodeAndCountFromA32ByteRequest) {
    socket_pair sp;
    ASSERT_TRUE(testd::send_all(sp.fd[1], testd::frame(3, -7)));
    uint8_t buf[64];
    int code = -1;
    int32_t count = 0;
    EXPECT_EQ(recv_request(sp.fd[0], buf, sizeof buf, &code, &count), 32);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(count, -7);
}

TEST(RecvRequest, RefusesACapacityBelowAHeader) {
    socket_pair sp;
    uint8_t buf[31];
    int code;
    int32_t count;
    EXPECT_EQ(recv_request(sp.fd[0], buf, sizeof buf, &code, &count), -1);
}

TEST(RecvRequest, ClearsTheMagicSoAStaleRequestNeverPasses) {
    socket_pair sp;
    ASSERT_TRUE(testd::send_all(sp.fd[1], testd::frame(2, 0)));
    uint8_t buf[64];
    int code;
    int32_t count;
    ASSERT_EQ(recv_request(sp.fd[0], buf, sizeof buf, &code, &count), 32);
    ASSERT_EQ(write(sp.fd[1], "\xE1\x50", 2), 2);  // a header cut short
    sp.close_peer();
    EXPECT_EQ(recv_request(sp.fd[0], buf, sizeof buf, &code, &count), 0);
    EXPECT_EQ(buf[2], 0);
    EXPECT_EQ(buf[3], 0);
}

TEST(RecvRequest, WrongMagicIsNoRequest) {
    socket_pair sp;
    auto f = testd::frame(2, 0);
    f[3] = 0x5E;
    ASSERT_TRUE(testd::send_all(sp.fd[1], f));
    uint8_t buf[64];
    int code;
    int32_t count;
    EXPECT_EQ(recv_request(sp.fd[0], buf, sizeof buf, &code, &count), -1);
}

TEST(RecvRequest, PayloadBeyondCapacityStaysOnTheConnection) {
    socket_pair sp;
    std::vector<uint8_t> payload(40);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = uint8_t(0x10 + i);
    ASSERT_TRUE(testd::send_all(sp.fd[1], testd::frame(1, 40, payload)));
    uint8_t buf[48];  // room for 16 payload bytes
    int code;
    int32_t count;
    EXPECT_EQ(recv_request(sp.fd[0], buf, sizeof buf, &code, &count), 72);
    EXPECT_EQ(buf[32], 0x10);
    EXPECT_EQ(buf[47], 0x1F);
    uint8_t rest[24];
    EXPECT_EQ(read_full(sp.fd[0], rest, sizeof rest), 24);
    EXPECT_EQ(rest[0], 0x20);  // the next "header" starts with payload byte 16
}

TEST(RecvRequest, PayloadCutShortIsNoRequest) {
    socket_pair sp;
    auto f = testd::frame(1, 10, std::vector<uint8_t>(10, 1));
    f.resize(f.size() - 3);
    ASSERT_TRUE(testd::send_all(sp.fd[1], f));
    sp.close_peer();
    uint8_t buf[64];
    int code;
    int32_t count;
    EXPECT_EQ(recv_request(sp.fd[0], buf, sizeof buf, &code, &count), 0);
}

TEST(RecvRequest, LengthZeroAndLengthsFrom2To31EndTheConnection) {
    socket_pair sp;
    ASSERT_TRUE(testd::send_all(sp.fd[1], testd::frame(0, 0, {}, 0)));
    ASSERT_TRUE(testd::send_all(sp.fd[1], testd::frame(0, 0, std::vector<uint8_t>(32, 9), 0x80000000LL)));
    sp.close_peer();
    uint8_t buf[64];
    int code;
    int32_t count;
    EXPECT_EQ(recv_request(sp.fd[0], buf, sizeof buf, &code, &count), 0);
    // 2^31 comes out negative; its payload is read first (capped at the buffer), then it ends.
    EXPECT_LT(recv_request(sp.fd[0], buf, sizeof buf, &code, &count), 0);
}

TEST(SendReply, ExactHeaderBytes) {
    socket_pair sp;
    uint8_t buf[40];
    std::memset(buf, 0xEE, sizeof buf);
    std::memcpy(buf + 32, "pay", 3);
    ASSERT_EQ(send_reply(sp.fd[0], buf, sizeof buf, MSG_OK, 3, 0x01020304), 0);
    uint8_t got[35];
    ASSERT_EQ(read_full(sp.fd[1], got, sizeof got), 35);
    const uint32_t pid = uint32_t(getpid());
    const uint8_t want[35] = {0xE1, 0x50, 0xED, 0x5F, 0, 0, 0, 35, 1, 64, 0, 0,
                              uint8_t(pid >> 24), uint8_t(pid >> 16), uint8_t(pid >> 8), uint8_t(pid),
                              0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 'p', 'a', 'y'};
    EXPECT_EQ(std::memcmp(got, want, sizeof want), 0);
}

TEST(SendReply, PayloadThatDoesNotFitSendsNothing) {
    socket_pair sp;
    uint8_t buf[40];
    EXPECT_EQ(send_reply(sp.fd[0], buf, sizeof buf, MSG_OK, 9, 0), -1);
    shutdown(sp.fd[0], SHUT_WR);
    // Nothing was written: the other end sees an empty, closed stream.
    uint8_t b;
    EXPECT_EQ(read(sp.fd[1], &b, 1), 0);
}

TEST(CodeNames, EveryValueHasAName) {
    EXPECT_STREQ(msg_code_name(0), "READ");
    EXPECT_STREQ(msg_code_name(1), "WRITE");
    EXPECT_STREQ(msg_code_name(2), "INIT");
    EXPECT_STREQ(msg_code_name(3), "RESET");
    EXPECT_STREQ(msg_code_name(64), "OK");
    EXPECT_STREQ(msg_code_name(65), "FAIL");
    EXPECT_STREQ(msg_code_name(4), "DEVICE_ID");
    EXPECT_STREQ(msg_code_name(5), "Unknown");
    EXPECT_STREQ(msg_code_name(-1), "Unknown");
}

}  // namespace
