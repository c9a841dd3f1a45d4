// The Device ID on the simulator, in virtual time: retrieval by each path (FIFO, software
// handshake, nibble), every way it can go wrong, what it leaves behind for the next READ, and
// the answers to the negotiation requests; then the parser on IDs as printers send them.
#include <cstring>
#include <string>

#include "tests/ieee1284/sim_link_fixture.h"

namespace {

using namespace simlink;

constexpr int kNotAsked = -1;

struct id_case {
    const char *name;
    std::string config;
    int use_fifo;
    int32_t status, via;
    int ecp, nibble;        // LP_ANSWER_..., or kNotAsked
    int64_t length;         // the length field expected; -1: the true one
    uint64_t max_ms;        // virtual time the whole read may take: the FIFO read ends one expiry
                            // (100 ms) after the stream stops, the software read one failed wait
                            // (30-40 ms); an ID request after a refused one first waits out the
                            // event 24 of a termination nobody answers (35 ms)
};

std::string long_id(size_t size = LP_DEVICE_ID_MAX) {
    std::string id = "MFG:Tessaline;MDL:Long;CMD:";
    while (id.size() < size - 1)
        id += "PCL,";
    id.resize(size - 1);
    return id + ";";
}

class SimDeviceId : public SimLink, public ::testing::WithParamInterface<id_case> {};

TEST_P(SimDeviceId, Read) {
    const id_case &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(open(c.config));
    char err[128];
    sim_config cfg;
    ASSERT_EQ(sim_parse_config(c.config.c_str(), &cfg, err, sizeof err), 0) << err;
    const std::string want = cfg.device_id;

    lp_device_id id;
    std::memset(&id, 0x5A, sizeof id);  // every field must be set, not left as found
    const uint64_t t0 = now();
    EXPECT_EQ(lp_device_id_read(port, c.use_fifo, &id), c.status) << lp_id_status_text(id.status);
    EXPECT_LE(now() - t0, c.max_ms * kMs);
    EXPECT_EQ(id.status, c.status);
    EXPECT_EQ(id.via, c.via);
    EXPECT_EQ(id.ecp.answer, c.ecp);
    EXPECT_EQ(c.nibble == kNotAsked ? id.nibble.mode : id.nibble.answer, c.nibble == kNotAsked ? 0 : c.nibble);
    const int64_t length = c.length >= 0 ? c.length : int64_t(want.size() + 2);
    EXPECT_EQ(int64_t(id.length), length);
    if (c.status == LP_ID_OK) {
        EXPECT_EQ(id.received, want.size());
        EXPECT_EQ(std::string(id.text), want);
    } else {
        EXPECT_EQ(id.text[0], 0);
        EXPECT_EQ(std::memcmp(id.text, id.text + 1, sizeof id.text - 1), 0);  // all zero
    }
    // Terminated, the ECR in PS/2 mode, and nothing of the ID stream kept for a READ.
    EXPECT_EQ(port->mode, LP_MODE_COMPAT);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(ecr() & 0xE0, 0x20);
    EXPECT_EQ(lp_fifo_surplus(), 0u);
    EXPECT_EQ(periph(), SIM_P_COMPAT);  // the termination was answered (or nobody is there)
}

constexpr int A = LP_ANSWER_ACCEPTED, R = LP_ANSWER_REFUSED, S = LP_ANSWER_SILENT;
const char *const kNibbleOnly = "fault=refuse:0x14";

INSTANTIATE_TEST_SUITE_P(
    Paths, SimDeviceId,
    ::testing::Values(
        id_case{"fifo", "", 1, LP_ID_OK, LP_ID_VIA_FIFO, A, kNotAsked, -1, 120},
        id_case{"software", "", 0, LP_ID_OK, LP_ID_VIA_SOFTWARE, A, kNotAsked, -1, 50},
        id_case{"nibble", kNibbleOnly, 1, LP_ID_OK, LP_ID_VIA_NIBBLE, R, A, -1, 60},
        id_case{"fifo_commas", "id=MFG:Acme; MDL:X 1,2;CMD:PCL,PJL", 1, LP_ID_OK, LP_ID_VIA_FIFO, A, kNotAsked, -1, 120},
        id_case{"fifo_longest", "id=" + long_id(), 1, LP_ID_OK, LP_ID_VIA_FIFO, A, kNotAsked, LP_DEVICE_ID_MAX + 2, 40},
        id_case{"nibble_longest", std::string(kNibbleOnly) + ",id=" + long_id(), 1, LP_ID_OK, LP_ID_VIA_NIBBLE, R, A, LP_DEVICE_ID_MAX + 2, 150},
        id_case{"refused", "fault=no-id", 1, LP_ID_REFUSED, LP_ID_VIA_NONE, R, R, 0, 60},
        id_case{"no_peripheral", "fault=no-peripheral", 1, LP_ID_NO_PERIPHERAL, LP_ID_VIA_NONE, S, kNotAsked, 0, 60},
        id_case{"no_event6", "fault=no-event6", 1, LP_ID_REFUSED, LP_ID_VIA_NONE, S, S, 0, 200},
        id_case{"fifo_no_reverse", "fault=no-reverse", 1, LP_ID_NO_DATA, LP_ID_VIA_FIFO, A, kNotAsked, 0, 5200},
        id_case{"software_no_reverse", "fault=no-reverse", 0, LP_ID_NO_DATA, LP_ID_VIA_SOFTWARE, A, kNotAsked, 0, 5200},
        id_case{"fifo_length_small", "fault=id-length:40", 1, LP_ID_LONG, LP_ID_VIA_FIFO, A, kNotAsked, 40, 120},
        id_case{"software_length_small", "fault=id-length:40", 0, LP_ID_LONG, LP_ID_VIA_SOFTWARE, A, kNotAsked, 40, 50},
        id_case{"nibble_length_small", std::string(kNibbleOnly) + ",fault=id-length:40", 1, LP_ID_LONG, LP_ID_VIA_NIBBLE, R, A, 40, 60},
        id_case{"fifo_length_large", "fault=id-length:300", 1, LP_ID_SHORT, LP_ID_VIA_FIFO, A, kNotAsked, 300, 120},
        id_case{"software_length_large", "fault=id-length:300", 0, LP_ID_SHORT, LP_ID_VIA_SOFTWARE, A, kNotAsked, 300, 50},
        id_case{"nibble_length_large", std::string(kNibbleOnly) + ",fault=id-length:300", 1, LP_ID_SHORT, LP_ID_VIA_NIBBLE, R, A, 300, 60},
        id_case{"fifo_length_two", "fault=id-length:2", 1, LP_ID_BAD_LENGTH, LP_ID_VIA_FIFO, A, kNotAsked, 2, 120},
        id_case{"software_length_huge", "fault=id-length:1026", 0, LP_ID_BAD_LENGTH, LP_ID_VIA_SOFTWARE, A, kNotAsked, 1026, 50},
        id_case{"nibble_length_zero", std::string(kNibbleOnly) + ",fault=id-length:0", 1, LP_ID_BAD_LENGTH, LP_ID_VIA_NIBBLE, R, A, 0, 60}),
    [](const ::testing::TestParamInfo<id_case> &info) { return std::string(info.param.name); });

// The ID replaces the MFP's reverse data only for the ID negotiation: echo data queued before
// it comes back whole and first on the next ECP READ, whatever the ID stream left over. A stream
// longer than the host keeps leaves bytes in the FIFO, which must not reach that READ.
TEST_F(SimLink, DataAfterAnIdReadIsTheMfpsOwn) {
    const std::string too_long = "fault=id-length:1025,id=" + long_id(1800);
    for (int use_fifo : {1, 0}) {
        for (const std::string &config : {std::string(), too_long}) {
            SCOPED_TRACE(testing::Message() << config.substr(0, 30) << " fifo " << use_fifo);
            ASSERT_NO_FATAL_FAILURE(open(config));
            const std::vector<uint8_t> data = pattern(100);
            ASSERT_EQ(sim_peer_push(sim, data.data(), data.size()), data.size());
            lp_device_id id;
            EXPECT_EQ(lp_device_id_read(port, use_fifo, &id), config.empty() ? LP_ID_OK : LP_ID_LONG);
            EXPECT_EQ(lp_fifo_surplus(), 0u);
            EXPECT_EQ(sim_peer_pending(sim), data.size());
            ASSERT_EQ(lp_negotiate(port, LP_MODE_ECP), 0);
            EXPECT_TRUE(fifo_read(data.size()) == data);
            sim_destroy(sim);
            sim = nullptr;
        }
    }
}

// Bytes a data READ's FIFO pulled ahead wait in the surplus store for the next READ. An ID read
// meanwhile must neither take them as ID bytes nor drop them: it goes by the software handshake.
TEST_F(SimLink, DataSurplusWaitsThroughAnIdRead) {
    ASSERT_NO_FATAL_FAILURE(open_ecp(""));
    const std::vector<uint8_t> data = pattern(40);
    ASSERT_EQ(sim_peer_push(sim, data.data(), data.size()), data.size());
    const std::vector<uint8_t> head = fifo_read(3);
    const uint32_t kept = lp_fifo_surplus();
    ASSERT_GT(kept, 0u);
    lp_device_id id;
    EXPECT_EQ(lp_device_id_read(port, 1, &id), LP_ID_OK);
    EXPECT_EQ(id.via, LP_ID_VIA_SOFTWARE);
    EXPECT_STREQ(id.text, SIM_DEFAULT_ID);
    EXPECT_EQ(lp_fifo_surplus(), kept);
    ASSERT_EQ(lp_negotiate(port, LP_MODE_ECP), 0);
    std::vector<uint8_t> all = head;
    const std::vector<uint8_t> rest = fifo_read(data.size() - 3);
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_TRUE(all == data);
}

struct answers_case {
    const char *name, *config;
    int device_id;
    int want[LP_NANSWERS];
    const char *text[LP_NANSWERS];
};

class SimAnswers : public SimLink, public ::testing::WithParamInterface<answers_case> {};

TEST_P(SimAnswers, EachRequest) {
    const answers_case &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(open(c.config));
    lp_mode_answer out[LP_NANSWERS];
    lp_mode_answers(port, c.device_id, out);
    const int32_t bit = c.device_id ? LP_MODE_DEVICE_ID : 0;
    const int32_t modes[LP_NANSWERS] = {LP_MODE_NIBBLE | bit, LP_MODE_BYTE | bit, LP_MODE_ECP | bit};
    for (int i = 0; i < LP_NANSWERS; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(out[i].mode, modes[i]);
        EXPECT_EQ(out[i].answer, c.want[i]);
        EXPECT_STREQ(lp_answer_text(&out[i]), c.text[i]);
    }
    EXPECT_EQ(port->mode, LP_MODE_COMPAT);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

INSTANTIATE_TEST_SUITE_P(
    Peripherals, SimAnswers,
    ::testing::Values(
        answers_case{"modes", "", 0, {A, A, A}, {"accepted", "accepted", "accepted"}},
        answers_case{"ids", "", 1, {A, R, A}, {"accepted", "refused", "accepted"}},  // no byte-mode ID
        answers_case{"no_ecp", "fault=refuse:0x10", 0, {A, A, R}, {"accepted", "accepted", "refused"}},
        answers_case{"no_id", "fault=no-id", 1, {R, R, R}, {"refused", "refused", "refused"}},
        answers_case{"no_peripheral", "fault=no-peripheral", 0, {S, S, S},
                     {"no answer at event 2", "no answer at event 2", "no answer at event 2"}},
        answers_case{"no_event6", "fault=no-event6", 1, {S, S, S},
                     {"no answer at event 6", "no answer at event 6", "no answer at event 6"}}),
    [](const ::testing::TestParamInfo<answers_case> &info) { return std::string(info.param.name); });

// The parser, on IDs as printers send them.
struct parse_case {
    std::string id;
    int found;
    const char *mfg, *mdl, *cmd, *cls, *des;
};

TEST(DeviceIdParse, Table) {
    const std::string many_cmds = [] {
        std::string s;
        for (int i = 0; i < 120; i++)
            s += (i ? "," : "") + std::string("LANG") + std::to_string(i);
        return s;
    }();
    const parse_case cases[] = {
        {"MFG:Hewlett-Packard;CMD:PJL,PML,PCLXL,POSTSCRIPT,PCL;MDL:HP LaserJet 4050 Series ;CLS:PRINTER;"
         "DES:Hewlett-Packard LaserJet 4050 Series ;",
         5, "Hewlett-Packard", "HP LaserJet 4050 Series", "PJL,PML,PCLXL,POSTSCRIPT,PCL", "PRINTER",
         "Hewlett-Packard LaserJet 4050 Series"},
        {"MANUFACTURER:EPSON;COMMAND SET:ESCPL2,BDC,D4,D4PX;MODEL:Stylus C84;CLASS:PRINTER;DESCRIPTION:EPSON Stylus C84;",
         5, "EPSON", "Stylus C84", "ESCPL2,BDC,D4,D4PX", "PRINTER", "EPSON Stylus C84"},
        {"MFG:Canon;CMD:BJL,BJRaster3,BSCCe;SOJ:TXT01;MDL:iP4200;CLS:PRINTER;DES:Canon iP4200;VER:1.00;STA:10;",
         5, "Canon", "iP4200", "BJL,BJRaster3,BSCCe", "PRINTER", "Canon iP4200"},
        {"MFG:Brother;MDL:HL-1250;", 2, "Brother", "HL-1250", "", "", ""},
        {" mfg : Lexmark ; Mdl:Optra E310\r\n", 2, "Lexmark", "Optra E310", "", "", ""},  // no last ';'
        {"MFG:Xerox;MDL:Phaser 3117;\r\n", 2, "Xerox", "Phaser 3117", "", "", ""},
        {"MFG:A;MFG:B;MANUFACTURER:C;DES:Model: 4100 ;;;", 2, "A", "", "", "", "Model: 4100"},
        {"MFG:Tab\tand\x01 bell\x07;MDL:;CLS", 2, "Taband bell", "", "", "", ""},
        {std::string("MFG:Nul\0Inside;MDL:Z;", 21), 2, "NulInside", "Z", "", "", ""},
        {"MFG:Big;CMD:" + many_cmds + ";", 2, "Big", "", many_cmds.c_str(), "", ""},
        {"this is not a device id", 0, "", "", "", "", ""},
        {"", 0, "", "", "", "", ""},
    };
    for (const parse_case &c : cases) {
        SCOPED_TRACE(c.id);
        lp_id_fields f;
        std::memset(&f, 0x5A, sizeof f);
        EXPECT_EQ(lp_device_id_parse(c.id.data(), c.id.size(), &f), c.found);
        EXPECT_STREQ(f.mfg, c.mfg);
        EXPECT_STREQ(f.mdl, c.mdl);
        EXPECT_STREQ(f.cmd, c.cmd);
        EXPECT_STREQ(f.cls, c.cls);
        EXPECT_STREQ(f.des, c.des);
    }
}

// A value longer than its field is cut at the field's size, never past it.
TEST(DeviceIdParse, ValueLongerThanTheFieldIsCut) {
    const std::string id = "MDL:" + std::string(3000, 'M') + ";CLS:PRINTER;";
    lp_id_fields f;
    EXPECT_EQ(lp_device_id_parse(id.data(), id.size(), &f), 2);
    EXPECT_EQ(std::strlen(f.mdl), size_t(LP_DEVICE_ID_MAX));
    EXPECT_STREQ(f.cls, "PRINTER");
}

}  // namespace
