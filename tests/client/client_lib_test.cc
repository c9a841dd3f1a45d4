#include <cerrno>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "client/client.h"
#include "tests/client/fake_server.h"

namespace {

using ::testing::HasSubstr;

constexpr size_t MAX = TC_MAX_PAYLOAD;

tc_client connected_to(const fake_server &srv) {
    tc_client c;
    const tc_result r = tc_connect(c, "127.0.0.1", srv.port());
    EXPECT_EQ(r.error, tc_errc::none) << r.message;
    return c;
}

TEST(ClientLib, RequestsGoOutByteForByte) {
    const bytes data = {0x1B, 0x45, 0x00, 0xFF, 0x0A};
    const bytes in = {9, 8, 7};
    fake_server srv({{reply_msg(MSG_OK, 0, 77)},
                     {reply_msg(MSG_OK, 5, 77)},
                     {reply_msg(MSG_OK, 3, 77, in)},
                     {reply_msg(MSG_OK, 0, 77)}});
    tc_client c = connected_to(srv);
    EXPECT_EQ(tc_last_pid(c), 0u);

    tc_result r = tc_init(c);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.count, 0u);
    r = tc_write(c, data);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.count, 5u);
    bytes buf(10, 0xEE);
    r = tc_read(c, buf);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.count, 3u);
    EXPECT_EQ(bytes(buf.begin(), buf.begin() + 3), in);
    EXPECT_EQ(buf[3], 0xEE) << "bytes past the reply's count are left alone";
    EXPECT_TRUE(tc_reset(c).ok());
    EXPECT_EQ(tc_last_pid(c), 77u);
    tc_close(c);

    const std::vector<bytes> req = srv.finish();
    ASSERT_EQ(req.size(), 4u);
    // Spelled out once in full so the helper that builds the rest is itself checked.
    const bytes init = {0xE1, 0x50, 0xED, 0x5F, 0, 0, 0, 0x20, 1, 2, 0, 0, 0, 0, 0, 0,
                        0,    0,    0,    0,    0, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(req[0], init);
    EXPECT_EQ(req[1], concat(request_header(MSG_WRITE, 5, 5), data));
    EXPECT_EQ(req[1][7], 0x25) << "length counts the header and the payload";
    EXPECT_EQ(req[2], request_header(MSG_READ, 10, 0));
    EXPECT_EQ(req[3], request_header(MSG_RESET, 0, 0));
}

TEST(ClientLib, FailStatusComesBackAndTheConnectionStays) {
    fake_server srv({{reply_msg(MSG_FAIL, 0, 12)}, {reply_msg(MSG_FAIL, 0, 12)},
                     {reply_msg(MSG_OK, 0, 12)}});
    tc_client c = connected_to(srv);
    tc_result r = tc_init(c);
    EXPECT_EQ(r.error, tc_errc::none);
    EXPECT_EQ(r.status, MSG_FAIL);
    EXPECT_FALSE(r.ok());
    bytes buf(4);
    r = tc_read(c, buf);
    EXPECT_EQ(r.status, MSG_FAIL);
    EXPECT_EQ(r.count, 0u);
    EXPECT_TRUE(tc_connected(c));
    EXPECT_TRUE(tc_reset(c).ok());
    tc_close(c);
    EXPECT_EQ(srv.finish().size(), 3u);
}

TEST(ClientLib, ShortWriteCountIsReportedAsIs) {
    fake_server srv({{reply_msg(MSG_OK, 100)}});
    tc_client c = connected_to(srv);
    const bytes data = pattern(4096);
    const tc_result r = tc_write(c, data);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.count, 100u);
    tc_close(c);
    srv.finish();
}

TEST(ClientLib, WriteAllSplitsAtTheMessageCapacity) {
    const bytes data = pattern(2 * MAX + 7, 3);
    fake_server srv({{reply_msg(MSG_OK, MAX)}, {reply_msg(MSG_OK, MAX)}, {reply_msg(MSG_OK, 7)}});
    tc_client c = connected_to(srv);
    const tc_result r = tc_write_all(c, data);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(r.count, data.size());
    tc_close(c);

    const std::vector<bytes> req = srv.finish();
    ASSERT_EQ(req.size(), 3u);
    const size_t sizes[] = {MAX, MAX, 7};
    size_t off = 0;
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(req[i].size(), 32 + sizes[i]);
        EXPECT_EQ(bytes(req[i].begin(), req[i].begin() + 32),
                  request_header(MSG_WRITE, uint32_t(sizes[i]), sizes[i]));
        EXPECT_TRUE(std::equal(req[i].begin() + 32, req[i].end(), data.begin() + off))
            << "chunk " << i << " carries the wrong bytes";
        off += sizes[i];
    }
}

TEST(ClientLib, WriteAllStopsAtTheFirstShortCount) {
    const bytes data = pattern(2 * MAX + 7);
    fake_server srv({{reply_msg(MSG_OK, MAX)}, {reply_msg(MSG_OK, 100)}, {reply_msg(MSG_OK, 7)}});
    tc_client c = connected_to(srv);
    const tc_result r = tc_write_all(c, data);
    EXPECT_EQ(r.error, tc_errc::none);
    EXPECT_EQ(r.count, MAX + 100);
    tc_close(c);
    EXPECT_EQ(srv.finish().size(), 2u) << "no request may follow a short count";
}

TEST(ClientLib, WriteAllStopsAtFail) {
    fake_server srv({{reply_msg(MSG_FAIL, 0)}, {reply_msg(MSG_OK, 7)}});
    tc_client c = connected_to(srv);
    const bytes data = pattern(MAX + 7);
    const tc_result r = tc_write_all(c, data);
    EXPECT_EQ(r.status, MSG_FAIL);
    EXPECT_EQ(r.count, 0u);
    tc_close(c);
    EXPECT_EQ(srv.finish().size(), 1u);
}

TEST(ClientLib, OversizedCallsAreRefusedWithoutSending) {
    fake_server srv({});
    tc_client c = connected_to(srv);
    const bytes big(MAX + 1);
    tc_result r = tc_write(c, big);
    EXPECT_EQ(r.error, tc_errc::usage);
    EXPECT_THAT(r.message, HasSubstr("8388577"));
    bytes buf(MAX + 1);
    EXPECT_EQ(tc_read(c, buf).error, tc_errc::usage);
    EXPECT_TRUE(tc_connected(c));
    tc_close(c);
    EXPECT_TRUE(srv.finish().empty());
}

TEST(ClientLib, ConnectionRefusedSaysWhereAndWhy) {
    refused_port closed;
    tc_client c;
    const tc_result r = tc_connect(c, "127.0.0.1", closed.port());
    EXPECT_EQ(r.error, tc_errc::connect);
    EXPECT_EQ(r.message, "cannot connect to 127.0.0.1:" + std::to_string(closed.port()) + ": " +
                             std::strerror(ECONNREFUSED));
    EXPECT_FALSE(tc_connected(c));
    EXPECT_EQ(tc_init(c).error, tc_errc::usage);
}

TEST(ClientLib, HostNamesResolve) {
    fake_server srv({{reply_msg(MSG_OK, 0)}});
    tc_client c;
    const tc_result r = tc_connect(c, "localhost", srv.port());
    ASSERT_EQ(r.error, tc_errc::none) << r.message;
    EXPECT_TRUE(tc_init(c).ok());
    tc_close(c);
    EXPECT_EQ(srv.finish().size(), 1u);
}

struct cut_case {
    const char *name;
    int code;
    bytes reply;
    const char *message;
};

void PrintTo(const cut_case &k, std::ostream *os) { *os << k.name; }

class ClientLibBrokenStream : public ::testing::TestWithParam<cut_case> {};

TEST_P(ClientLibBrokenStream, EndsTheConnectionWithAClearMessage) {
    const cut_case &k = GetParam();
    fake_server srv({{k.reply, true}});
    tc_client c = connected_to(srv);
    bytes buf(8);
    const tc_result r = k.code == MSG_READ ? tc_read(c, buf) : tc_init(c);
    EXPECT_EQ(r.error, tc_errc::broken);
    EXPECT_EQ(r.message, k.message);
    EXPECT_FALSE(tc_connected(c)) << "the stream position is lost, so the connection goes";
    EXPECT_EQ(tc_reset(c).error, tc_errc::usage);
    EXPECT_EQ(srv.finish().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, ClientLibBrokenStream,
    ::testing::Values(
        cut_case{"NoReply", MSG_INIT, {}, "connection closed by the daemon before the reply"},
        cut_case{"HalfHeader", MSG_INIT, head(reply_msg(MSG_OK, 0), 10),
                 "connection closed by the daemon in the middle of the reply (10 of 32 header "
                 "bytes)"},
        cut_case{"HalfPayload", MSG_READ,
                 head(reply_msg(MSG_OK, 8, 1, pattern(8)), 35),
                 "connection closed by the daemon in the middle of the reply (3 of 8 payload "
                 "bytes)"}),
    [](const auto &info) { return std::string(info.param.name); });

struct bad_case {
    const char *name;
    int code;
    bytes reply;
    const char *message;
};

bytes with_byte(bytes b, size_t at, uint8_t v) {
    b[at] = v;
    return b;
}

void PrintTo(const bad_case &k, std::ostream *os) { *os << k.name; }

class ClientLibBadReply : public ::testing::TestWithParam<bad_case> {};

TEST_P(ClientLibBadReply, IsRejectedBeforeAnyPayloadLands) {
    const bad_case &k = GetParam();
    fake_server srv({{k.reply}});
    tc_client c = connected_to(srv);
    bytes buf(8, 0xEE);
    const bytes four = {1, 2, 3, 4};
    tc_result r;
    if (k.code == MSG_READ)
        r = tc_read(c, buf);
    else if (k.code == MSG_WRITE)
        r = tc_write(c, four);
    else
        r = tc_init(c);
    EXPECT_EQ(r.error, tc_errc::bad_reply);
    EXPECT_EQ(r.message, k.message);
    EXPECT_FALSE(tc_connected(c));
    EXPECT_EQ(buf, bytes(8, 0xEE));
    EXPECT_EQ(tc_last_pid(c), 0u) << "a bad reply's pid is not taken";
    srv.finish();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ClientLibBadReply,
    ::testing::Values(
        bad_case{"WrongMagic", MSG_INIT, with_byte(reply_msg(MSG_OK, 0), 3, 0x5E),
                 "bad reply: wrong magic e1 50 ed 5e"},
        bad_case{"LengthBelowHeader", MSG_INIT, with_byte(reply_msg(MSG_OK, 0), 7, 16),
                 "bad reply: length 16 is shorter than the header"},
        // Length 0x00800001: one byte more than the daemon's buffer can ever hold.
        bad_case{"PayloadOverCapacity", MSG_READ,
                 with_byte(with_byte(reply_msg(MSG_OK, 0), 5, 0x80), 7, 0x01),
                 "bad reply: payload of 8388577 bytes is over the capacity of 8388576"},
        bad_case{"UnknownStatus", MSG_INIT, with_byte(reply_msg(MSG_OK, 0), 9, 0x07),
                 "bad reply: unknown status 0x07"},
        bad_case{"ReadPayloadShorterThanCount", MSG_READ,
                 with_byte(reply_msg(MSG_OK, 3, 1, pattern(3)), 31, 5),
                 "bad reply: 3 payload bytes but count 5"},
        bad_case{"ReadMoreThanAsked", MSG_READ, reply_msg(MSG_OK, 9, 1, pattern(9)),
                 "bad reply: count 9 is more than the 8 bytes asked for"},
        bad_case{"PayloadOnInit", MSG_INIT, reply_msg(MSG_OK, 0, 1, pattern(2)),
                 "bad reply: unexpected payload of 2 bytes"},
        bad_case{"WriteCountAboveSent", MSG_WRITE, reply_msg(MSG_OK, 5),
                 "bad reply: count 5 is more than the 4 bytes sent"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
