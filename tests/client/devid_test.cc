// The Device ID on the client side: the DEVICE_ID request and what each reply makes of it, the
// parser, and `tessal-client id` as a process, all against the scripted daemon.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "client/client.h"
#include "tests/client/fake_server.h"

extern char **environ;

namespace {

bytes text_bytes(const std::string &s) { return bytes(s.begin(), s.end()); }

struct reply_row {
    const char *name;
    bytes reply;
    tc_errc error;
    int status;
    uint64_t count;
    std::string id;
};

void PrintTo(const reply_row &r, std::ostream *os) { *os << r.name; }

class DeviceIdReply : public ::testing::TestWithParam<reply_row> {};

TEST_P(DeviceIdReply, ComesBackAsTheDaemonSentIt) {
    const reply_row &k = GetParam();
    fake_server srv({{k.reply}});
    tc_client c;
    ASSERT_EQ(tc_connect(c, "127.0.0.1", srv.port()).error, tc_errc::none);
    std::string id = "stale";
    const tc_result r = tc_device_id(c, id);
    EXPECT_EQ(r.error, k.error) << r.message;
    if (k.error == tc_errc::none) {
        EXPECT_EQ(r.status, k.status);
        EXPECT_EQ(r.count, k.count);
    }
    EXPECT_EQ(id, k.id);
    tc_close(c);
    const std::vector<bytes> req = srv.finish();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0], request_header(MSG_DEVICE_ID, 0, 0));
}

const std::string kId = "MFG:Acme;MDL:LP-1\x01;";

INSTANTIATE_TEST_SUITE_P(
    Replies, DeviceIdReply,
    ::testing::Values(
        // Control bytes and all: the library hands over what the printer sent.
        reply_row{"TheIdExactly", reply_msg(MSG_OK, uint32_t(kId.size()), 1, text_bytes(kId)), tc_errc::none,
                  MSG_OK, kId.size(), kId},
        reply_row{"OlderDaemonsEmptyOkIsNoId", reply_msg(MSG_OK, 0), tc_errc::none, MSG_OK, 0, ""},
        reply_row{"FailCarriesTheReason", reply_msg(MSG_FAIL, MSG_FAIL_NO_ID), tc_errc::none, MSG_FAIL,
                  MSG_FAIL_NO_ID, ""},
        reply_row{"CountThatIsNotThePayload", reply_msg(MSG_OK, 9, 1, text_bytes("MFG:A;")), tc_errc::bad_reply, 0,
                  0, ""},
        reply_row{"FailWithBytes", reply_msg(MSG_FAIL, MSG_FAIL_NO_ID, 1, text_bytes("x")), tc_errc::bad_reply, 0, 0,
                  ""}),
    [](const auto &info) { return std::string(info.param.name); });

struct parse_row {
    std::string id;
    tc_id_fields want;
};

TEST(DeviceIdParse, FieldsByEitherNameFirstOneWinsControlBytesGone) {
    const parse_row rows[] = {
        {"MFG:Tessaline;MDL:MFP-1284 Sim;CMD:PCL,PJL;CLS:PRINTER;DES:tessal simulated MFP;",
         {"Tessaline", "MFP-1284 Sim", "PCL,PJL", "PRINTER", "tessal simulated MFP"}},
        {" manufacturer : Acme ;model:LP 1;Command Set:PS;class:PRINTER", {"Acme", "LP 1", "PS", "PRINTER", ""}},
        {"MFG:A\r\n;MFG:B;MDL:X\x01Y;MODEL:Z;", {"A", "XY", "", "", ""}},
        {"junk;;MDL:;CLS:PRINTER;:x;", {"", "", "", "PRINTER", ""}},
    };
    for (const parse_row &r : rows) {
        const tc_id_fields f = tc_parse_device_id(r.id);
        EXPECT_EQ(f.manufacturer, r.want.manufacturer) << r.id;
        EXPECT_EQ(f.model, r.want.model) << r.id;
        EXPECT_EQ(f.command_set, r.want.command_set) << r.id;
        EXPECT_EQ(f.device_class, r.want.device_class) << r.id;
        EXPECT_EQ(f.description, r.want.description) << r.id;
    }
    EXPECT_EQ(tc_device_id_clean("A\x01" "B\x7F\n;\x1b[2J"), "AB;[2J");
}

// `tessal-client id` as a process: the ID and its fields on standard output, or one line saying
// why there is none.
struct command_row {
    const char *name;
    bytes reply;
    int status;
    std::string out, err;
};

void PrintTo(const command_row &r, std::ostream *os) { *os << r.name; }

class ClientIdCommand : public ::testing::TestWithParam<command_row> {};

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST_P(ClientIdCommand, PrintsTheIdOrWhyNot) {
    const command_row &k = GetParam();
    fake_server srv({{k.reply}});
    const std::string base = ::testing::TempDir() + "tessal_client_id_" + std::to_string(getpid());
    const std::string out = base + ".out", err = base + ".err", port = std::to_string(srv.port());
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const char *argv[] = {TESSAL_CLIENT_PATH, "-p", port.c_str(), "id", nullptr};
    pid_t pid = -1;
    int ws = 0;
    ASSERT_EQ(posix_spawn(&pid, TESSAL_CLIENT_PATH, &fa, nullptr, const_cast<char **>(argv), environ), 0);
    waitpid(pid, &ws, 0);
    posix_spawn_file_actions_destroy(&fa);
    EXPECT_EQ(WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, k.status);
    EXPECT_EQ(slurp(out), k.out);
    EXPECT_EQ(slurp(err), k.err);
    unlink(out.c_str());
    unlink(err.c_str());
    srv.finish();
}

const std::string kRaw = "MFG:Acme;MDL:LP-1;CMD:PCL;\r\n";

INSTANTIATE_TEST_SUITE_P(
    Replies, ClientIdCommand,
    ::testing::Values(
        command_row{"Id", reply_msg(MSG_OK, uint32_t(kRaw.size()), 1, text_bytes(kRaw)), 0,
                    "Device ID: MFG:Acme;MDL:LP-1;CMD:PCL;\nmanufacturer: Acme\nmodel: LP-1\ncommand set: PCL\n"
                    "class: (none)\n",
                    "tessal-client: id: 28 bytes\n"},
        command_row{"OlderDaemon", reply_msg(MSG_OK, 0), 1, "",
                    "tessal-client: id: no Device ID available (the daemon is older than the request, or "
                    "knows none)\n"},
        command_row{"Fail", reply_msg(MSG_FAIL, MSG_FAIL_NO_ID), 1, "",
                    "tessal-client: id: the daemon answered FAIL: no Device ID from the printer\n"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
