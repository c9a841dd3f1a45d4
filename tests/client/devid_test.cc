// The Device ID in the client library: what each DEVICE_ID reply makes of it, and the parser.
#include <gtest/gtest.h>

#include <string>

#include "client/client.h"
#include "tests/client/fake_server.h"

namespace {

bytes text_bytes(const std::string &s) { return bytes(s.begin(), s.end()); }

TEST(DeviceIdLib, EachReplyComesBackAsTheDaemonSentIt) {
    const std::string id = "MFG:Acme;MDL:LP-1\x01;";  // control bytes and all, as the printer sent it
    const struct {
        bytes reply;
        tc_errc error;
        int status;
        uint64_t count;
        std::string id;
    } rows[] = {
        {reply_msg(MSG_OK, uint32_t(id.size()), 1, text_bytes(id)), tc_errc::none, MSG_OK, id.size(), id},
        {reply_msg(MSG_OK, 0), tc_errc::none, MSG_OK, 0, ""},  // an older daemon: no ID available
        {reply_msg(MSG_FAIL, MSG_FAIL_NO_ID), tc_errc::none, MSG_FAIL, MSG_FAIL_NO_ID, ""},
        {reply_msg(MSG_OK, 9, 1, text_bytes("MFG:A;")), tc_errc::bad_reply, 0, 0, ""},
        {reply_msg(MSG_FAIL, MSG_FAIL_NO_ID, 1, text_bytes("x")), tc_errc::bad_reply, 0, 0, ""},
    };
    for (const auto &row : rows) {
        fake_server srv({{row.reply}});
        tc_client c;
        ASSERT_EQ(tc_connect(c, "127.0.0.1", srv.port()).error, tc_errc::none);
        std::string got = "stale";
        const tc_result r = tc_device_id(c, got);
        EXPECT_EQ(r.error, row.error) << r.message;
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.count, row.count);
        EXPECT_EQ(got, row.id);
        tc_close(c);
        EXPECT_EQ(srv.finish(), std::vector<bytes>{request_header(MSG_DEVICE_ID, 0, 0)});
    }
}

TEST(DeviceIdLib, FieldsByEitherNameFirstOneWinsControlBytesGone) {
    const struct {
        std::string id;
        tc_id_fields want;
    } rows[] = {
        {"MFG:Tessaline;MDL:MFP-1284 Sim;CMD:PCL,PJL;CLS:PRINTER;DES:tessal simulated MFP;",
         {"Tessaline", "MFP-1284 Sim", "PCL,PJL", "PRINTER", "tessal simulated MFP"}},
        {" manufacturer : Acme ;model:LP 1;Command Set:PS;class:PRINTER", {"Acme", "LP 1", "PS", "PRINTER", ""}},
        {"junk;MFG:A\r\n;MFG:B;MDL:X\x01Y;MODEL:Z;:x", {"A", "XY", "", "", ""}},
    };
    for (const auto &r : rows) {
        const tc_id_fields f = tc_parse_device_id(r.id);
        EXPECT_EQ(std::vector<std::string>({f.manufacturer, f.model, f.command_set, f.device_class, f.description}),
                  std::vector<std::string>({r.want.manufacturer, r.want.model, r.want.command_set,
                                            r.want.device_class, r.want.description}));
    }
    EXPECT_EQ(tc_device_id_clean("A\x01" "B\x7F\n;\x1b[2J"), "AB;[2J");
}

}  // namespace
