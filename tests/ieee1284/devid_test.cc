// The Device ID on the simulator, in virtual time: each path and each way it goes wrong, what it
// leaves for the next READ, the answers to the mode requests; then the parser.
#include <cstring>
#include <string>

#include "tests/ieee1284/sim_link_fixture.h"

namespace {

using namespace simlink;
using namespace std::string_literals;

constexpr int A = LP_ANSWER_ACCEPTED, R = LP_ANSWER_REFUSED, S = LP_ANSWER_SILENT, kNotAsked = -1;

std::string long_id(size_t size) {
    std::string id = "MFG:Tessaline;MDL:Long;CMD:";
    while (id.size() < size)
        id += "PCL,";
    return id.substr(0, size - 1) + ";";
}

struct id_case {
    const char *name;
    std::string config;
    int use_fifo;
    int32_t status, via;
    int ecp, nibble;  // LP_ANSWER_..., or kNotAsked
    int64_t length;   // the length field expected; -1: the true one
    // Virtual time the whole read may take: the FIFO read ends one expiry (100 ms) after the
    // stream stops, the software read one failed wait (30-40 ms); an ID request after a refused
    // one first waits out the event 24 of a termination nobody answers (35 ms).
    uint64_t max_ms;
};

class SimDeviceId : public SimLink, public ::testing::WithParamInterface<id_case> {};

TEST_P(SimDeviceId, Read) {
    const id_case &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(open(c.config));
    sim_config cfg;
    ASSERT_EQ(sim_parse_config(c.config.c_str(), &cfg, nullptr, 0), 0);
    lp_device_id id;
    std::memset(&id, 0x5A, sizeof id);  // every field must be set, not left as found
    const uint64_t t0 = now();
    EXPECT_EQ(lp_device_id_read(port, c.use_fifo, &id), c.status) << lp_id_status_text(id.status);
    EXPECT_LE(now() - t0, c.max_ms * kMs);
    EXPECT_EQ(id.via, c.via);
    EXPECT_EQ(id.ecp.answer, c.ecp);
    EXPECT_EQ(c.nibble == kNotAsked ? id.nibble.mode : id.nibble.answer, c.nibble == kNotAsked ? 0 : c.nibble);
    EXPECT_EQ(int64_t(id.length), c.length >= 0 ? c.length : int64_t(std::strlen(cfg.device_id) + 2));
    // The text only when it all agreed, and zeros after it: nothing of a bad ID shows through.
    const std::string want = c.status == LP_ID_OK ? cfg.device_id : "";
    EXPECT_EQ(std::string(id.text, sizeof id.text), want + std::string(sizeof id.text - want.size(), '\0'));
    // Terminated, the ECR in PS/2 mode, nothing of the ID stream kept for a READ.
    EXPECT_EQ(port->mode, LP_MODE_COMPAT);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(ecr() & 0xE0, 0x20);
    EXPECT_EQ(lp_fifo_surplus(), 0u);
    EXPECT_EQ(periph(), SIM_P_COMPAT);
}

const std::string kNibbleOnly = "fault=refuse:0x14,";

INSTANTIATE_TEST_SUITE_P(
    Paths, SimDeviceId,
    ::testing::Values(
        id_case{"fifo", "", 1, LP_ID_OK, LP_ID_VIA_FIFO, A, kNotAsked, -1, 120},
        id_case{"software", "", 0, LP_ID_OK, LP_ID_VIA_SOFTWARE, A, kNotAsked, -1, 50},
        id_case{"nibble", kNibbleOnly + "id=" + long_id(LP_DEVICE_ID_MAX), 1, LP_ID_OK, LP_ID_VIA_NIBBLE, R, A, -1, 150},
        id_case{"fifo_longest", "id=" + long_id(LP_DEVICE_ID_MAX), 1, LP_ID_OK, LP_ID_VIA_FIFO, A, kNotAsked, -1, 40},
        id_case{"refused", "fault=no-id", 1, LP_ID_REFUSED, LP_ID_VIA_NONE, R, R, 0, 60},
        id_case{"no_peripheral", "fault=no-peripheral", 1, LP_ID_NO_PERIPHERAL, LP_ID_VIA_NONE, S, kNotAsked, 0, 60},
        id_case{"no_event6", "fault=no-event6", 1, LP_ID_REFUSED, LP_ID_VIA_NONE, S, S, 0, 200},
        id_case{"fifo_no_reverse", "fault=no-reverse", 1, LP_ID_NO_DATA, LP_ID_VIA_FIFO, A, kNotAsked, 0, 5200},
        id_case{"software_no_reverse", "fault=no-reverse", 0, LP_ID_NO_DATA, LP_ID_VIA_SOFTWARE, A, kNotAsked, 0, 5200},
        id_case{"fifo_length_small", "fault=id-length:40", 1, LP_ID_LONG, LP_ID_VIA_FIFO, A, kNotAsked, 40, 120},
        id_case{"software_length_small", "fault=id-length:40", 0, LP_ID_LONG, LP_ID_VIA_SOFTWARE, A, kNotAsked, 40, 50},
        id_case{"nibble_length_large", kNibbleOnly + "fault=id-length:300", 1, LP_ID_SHORT, LP_ID_VIA_NIBBLE, R, A, 300, 60},
        id_case{"fifo_length_large", "fault=id-length:300", 1, LP_ID_SHORT, LP_ID_VIA_FIFO, A, kNotAsked, 300, 120},
        id_case{"software_length_two", "fault=id-length:2", 0, LP_ID_BAD_LENGTH, LP_ID_VIA_SOFTWARE, A, kNotAsked, 2, 50},
        id_case{"nibble_past_the_cap", kNibbleOnly + "fault=id-length:1025,id=" + long_id(1800), 1, LP_ID_LONG, LP_ID_VIA_NIBBLE, R, A, 1025, 150},
        id_case{"nibble_length_huge", kNibbleOnly + "fault=id-length:1026", 1, LP_ID_BAD_LENGTH, LP_ID_VIA_NIBBLE, R, A, 1026, 60}),
    [](const ::testing::TestParamInfo<id_case> &info) { return std::string(info.param.name); });

// The ID replaces the MFP's reverse data only for the ID negotiation: echo data queued before
// comes back whole on the next ECP READ, also after a stream longer than the host keeps (which
// leaves bytes in the FIFO), and also when data bytes already waited in the surplus store.
TEST_F(SimLink, DataAroundAnIdReadIsTheMfpsOwn) {
    const std::string too_long = "fault=id-length:1025,id=" + long_id(1800);
    for (int use_fifo : {1, 0}) {
        for (const std::string &config : {std::string(), too_long}) {
            for (size_t first : {0, 3}) {
                SCOPED_TRACE(testing::Message() << "fifo " << use_fifo << " long " << !config.empty() << " first " << first);
                ASSERT_NO_FATAL_FAILURE(open_ecp(config));
                const std::vector<uint8_t> data = pattern(100);
                ASSERT_EQ(sim_peer_push(sim, data.data(), data.size()), data.size());
                std::vector<uint8_t> all = fifo_read(first);  // 3: the FIFO pulls more than that
                lp_device_id id;
                EXPECT_EQ(lp_device_id_read(port, use_fifo, &id), config.empty() ? LP_ID_OK : LP_ID_LONG);
                EXPECT_EQ(id.via, use_fifo && first == 0 ? LP_ID_VIA_FIFO : LP_ID_VIA_SOFTWARE);
                ASSERT_EQ(lp_negotiate(port, LP_MODE_ECP), 0);
                const std::vector<uint8_t> rest = fifo_read(data.size() - first);
                all.insert(all.end(), rest.begin(), rest.end());
                EXPECT_TRUE(all == data);
                sim_destroy(sim);
                sim = nullptr;
            }
        }
    }
}

// Each request negotiated and terminated in turn; the text says the answer and the event.
TEST_F(SimLink, ModeAnswers) {
    const struct {
        const char *config;
        int device_id;
        const char *text[LP_NANSWERS];  // nibble, byte, ECP
    } cases[] = {
        {"", 1, {"accepted", "refused", "accepted"}},  // the simulator has no byte-mode ID
        {"fault=refuse:0x10", 0, {"accepted", "accepted", "refused"}},
        {"fault=no-peripheral", 0, {"no answer at event 2", "no answer at event 2", "no answer at event 2"}},
        {"fault=no-event6", 1, {"no answer at event 6", "no answer at event 6", "no answer at event 6"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        ASSERT_NO_FATAL_FAILURE(open(c.config));
        lp_mode_answer out[LP_NANSWERS];
        lp_mode_answers(port, c.device_id, out);
        const int32_t bit = c.device_id ? LP_MODE_DEVICE_ID : 0;
        const int32_t modes[LP_NANSWERS] = {LP_MODE_NIBBLE | bit, LP_MODE_BYTE | bit, LP_MODE_ECP | bit};
        for (int i = 0; i < LP_NANSWERS; i++) {
            EXPECT_EQ(out[i].mode, modes[i]);
            EXPECT_STREQ(lp_answer_text(&out[i]), c.text[i]) << i;
        }
        EXPECT_EQ(port->mode, LP_MODE_COMPAT);
        sim_destroy(sim);
        sim = nullptr;
    }
}

// The parser, on IDs as printers send them.
TEST(DeviceIdParse, Table) {
    const struct {
        std::string id;
        int found;
        std::string mfg, mdl, cmd, cls, des;
    } cases[] = {
        {"MFG:Hewlett-Packard;CMD:PJL,PML,PCLXL,POSTSCRIPT,PCL;MDL:HP LaserJet 4050 Series ;CLS:PRINTER;"
         "DES:Hewlett-Packard LaserJet 4050 Series ;",
         5, "Hewlett-Packard", "HP LaserJet 4050 Series", "PJL,PML,PCLXL,POSTSCRIPT,PCL", "PRINTER",
         "Hewlett-Packard LaserJet 4050 Series"},
        {"MANUFACTURER:EPSON;COMMAND SET:ESCPL2,BDC,D4;MODEL:Stylus C84;CLASS:PRINTER;DESCRIPTION:EPSON Stylus C84;",
         5, "EPSON", "Stylus C84", "ESCPL2,BDC,D4", "PRINTER", "EPSON Stylus C84"},
        {"MFG:Canon;CMD:BJL,BJRaster3;SOJ:TXT01;MDL:iP4200;VER:1.00;", 3, "Canon", "iP4200", "BJL,BJRaster3", "", ""},
        {" mfg : Lexmark ; Mdl:Optra E310\r\n", 2, "Lexmark", "Optra E310", "", "", ""},  // no last ';'
        {"MFG:A;MFG:B;MANUFACTURER:C;DES:Model: 4100 ;;;CLS", 2, "A", "", "", "", "Model: 4100"},
        {"MFG:Nul\0In\tside\x07;MDL:;"s, 2, "NulInside", "", "", "", ""},
        {"MDL:" + std::string(3000, 'M') + ";CLS:PRINTER;", 2, "", std::string(LP_DEVICE_ID_MAX, 'M'), "", "PRINTER", ""},
        {"this is not a device id", 0, "", "", "", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id.substr(0, 60));
        lp_id_fields f;
        std::memset(&f, 0x5A, sizeof f);
        EXPECT_EQ(lp_device_id_parse(c.id.data(), c.id.size(), &f), c.found);
        EXPECT_EQ(f.mfg, c.mfg);
        EXPECT_EQ(f.mdl, c.mdl);
        EXPECT_EQ(f.cmd, c.cmd);
        EXPECT_EQ(f.cls, c.cls);
        EXPECT_EQ(f.des, c.des);
    }
}

}  // namespace
