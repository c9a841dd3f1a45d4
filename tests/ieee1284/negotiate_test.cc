// Termination and negotiation: the exact line changes, data writes and delays of each branch, and
// the link state every outcome leaves behind.
#include <gtest/gtest.h>

#include "ieee1284/ieee1284.h"
#include "tests/ieee1284/link_fixture.h"

namespace {

using namespace linktest;

// Status bytes of a peripheral that answers the negotiation.
constexpr uint8_t kEvent2 = 0xB8;    // nAck low; nFault, Select (XFlag), PError high
constexpr uint8_t kEvent6 = 0xF8;    // nAck high, XFlag high, PError high
constexpr uint8_t kEvent6NoX = 0xE8; // nAck high, XFlag low

// The accesses of an accepted ECP negotiation after the soft copy reads 0x0C (compatibility idle
// with nInit high): request byte 0x10, events 0 to 6, then the ECP setup (events 30, 31).
const char *const kEcpAccepted =
    "W 37a 0c\n"   // compatibility idle lines
    "S 1\n"
    "W 37a 0c\n"   // data lines forward
    "W 378 10\n"   // event 0: the request byte
    "S 400\n"
    "W 37a 06\n"   // event 1: nSelectIn high, nAutoFd low
    "R 379 b8\n"   // event 2
    "W 37a 07\n"   // event 3: nStrobe low
    "S 5\n"
    "W 37a 04\n"   // event 4: nStrobe and nAutoFd high
    "R 379 f8\n"   // event 6
    "R 379 f8\n"   // XFlag
    "W 37a 06\n"   // event 30: HostAck low
    "R 379 f8\n";  // event 31: nAckReverse high

class Termination : public LinkTest {};

TEST_F(Termination, EppFamilyPulsesNinitForFiftyMicrosecondsWithoutWaits) {
    for (int32_t mode : {LP_MODE_EPP, LP_MODE_EPP_ALIAS_A, LP_MODE_EPP_ALIAS_B}) {
        SCOPED_TRACE(mode);
        io.clear();
        port->mode = mode;
        port->phase = LP_PH_REV_DATA;
        priv_ctr = 0x03;  // nStrobe and nAutoFd low: the branch leaves them alone
        lp_terminate(port);
        // STATUS is not scripted, so any wait would fail the test. 1284Active goes low before
        // nInit does: nInit low with 1284Active high would be an ECP reverse request.
        EXPECT_EQ(steps(), "W 37a 0f\nW 37a 0b\nS 50\nW 37a 0f\n");
        EXPECT_EQ(port->mode, LP_MODE_COMPAT);
        EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    }
}

TEST_F(Termination, EcpOutsideForwardIdleTurnsTheLinkForwardFirst) {
    for (int32_t mode : {LP_MODE_ECP, LP_MODE_ECP_RLE, LP_MODE_ECP_ALIAS}) {
        for (int32_t phase : {LP_PH_FWD_DATA, LP_PH_NEGOTIATION, LP_PH_REV_IDLE, LP_PH_REV_DATA,
                              LP_PH_ECP_SETUP, LP_PH_ECP_DIR_UNKNOWN}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " phase " << phase);
            io.clear();
            io.sequence(kStatus, {0x20, 0x00, 0x40});  // events 49, 24, 27 answered at once
            port->mode = mode;
            port->phase = phase;
            priv_ctr = 0x22;  // data lines reversed, HostAck low, nReverseRequest asserted
            lp_terminate(port);
            EXPECT_EQ(steps(),
                      "W 37a 26\n"   // event 47: nReverseRequest high, HostAck low
                      "R 379 20\n"   // event 49
                      "W 37a 06\n"   // data lines forward
                      "W 37a 0c\n"   // event 22
                      "R 379 00\n"   // event 24
                      "W 37a 0e\n"   // event 25
                      "R 379 40\n"   // event 27
                      "W 37a 0c\n"); // event 28
            EXPECT_EQ(port->mode, LP_MODE_COMPAT);
            EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
        }
    }
}

TEST_F(Termination, CommonBranchForEcpInForwardIdleFlaggedCodesAndTheRest) {
    struct { int32_t mode, phase; } cases[] = {
        {LP_MODE_ECP, LP_PH_FWD_IDLE},
        {LP_MODE_ECP | LP_MODE_MASKED_FLAG, LP_PH_REV_DATA},  // a flag leaves the ECP family
        {LP_MODE_ECP | LP_MODE_EXT_LINK, LP_PH_REV_IDLE},
        {LP_MODE_NIBBLE, LP_PH_REV_IDLE},
        {LP_MODE_BYTE, LP_PH_REV_DATA},
        {LP_MODE_COMPAT, LP_PH_FWD_IDLE},
        {LP_MODE_EPP | LP_MODE_MASKED_FLAG, LP_PH_FWD_IDLE},
    };
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " phase " << c.phase);
        io.clear();
        io.sequence(kStatus, {0x00, 0x40});
        port->mode = c.mode;
        port->phase = c.phase;
        priv_ctr = 0x05;  // nStrobe low, nInit high: both stay as they were
        lp_terminate(port);
        EXPECT_EQ(steps(), "W 37a 0d\nR 379 00\nW 37a 0f\nR 379 40\nW 37a 0d\n");
        EXPECT_EQ(port->mode, LP_MODE_COMPAT);
        EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    }
}

// A peripheral that answers nothing: nAck is always the opposite of what the host waits for and
// nAckReverse never rises. Every step still runs, and the record still ends in compatibility.
TEST_F(Termination, PeripheralThatNeverAnswersStillEndsInCompatibilityForwardIdle) {
    io.on_read(kStatus, [this] { return uint8_t((ctl & 0x02) ? 0x00 : 0x40); });
    port->mode = LP_MODE_ECP;
    port->phase = LP_PH_REV_DATA;
    priv_ctr = 0x22;
    const int64_t start = io.now_us;
    lp_terminate(port);
    EXPECT_EQ(writes(kControl), (std::vector<uint8_t>{0x26, 0x06, 0x0c, 0x0e, 0x0c}));
    EXPECT_EQ(sleeps(5), 6u);  // three failed waits, two pauses in each fast poll
    EXPECT_GT(io.now_us - start, 90 * kMs);
    EXPECT_LT(io.now_us - start, 125 * kMs);
    EXPECT_EQ(port->mode, LP_MODE_COMPAT);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

class Negotiation : public LinkTest {};

TEST_F(Negotiation, AcceptedEcpAfterOpeningResetsWithNinitThenRunsEventsZeroToSixAndSetup) {
    std::vector<int32_t> phase_at_write;
    on_ctl = [&](uint8_t) { phase_at_write.push_back(port->phase); };
    io.sequence(kStatus, {kEvent2, kEvent6, kEvent6, kEvent6});
    EXPECT_EQ(lp_negotiate(port, LP_MODE_ECP), 0);
    EXPECT_EQ(steps(), std::string("W 37a 0c\nW 37a 08\nS 50\nW 37a 0c\n") + kEcpAccepted);
    EXPECT_EQ(phase_at_write, (std::vector<int32_t>{0, 0, 0, 3, 3, 3, 3, 3, 8}));
    EXPECT_EQ(port->mode, LP_MODE_ECP);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    // HostAck low, nInit high, nStrobe high, nSelectIn high, data lines forward.
    EXPECT_EQ(priv_ctr, 0x06);
}

TEST_F(Negotiation, FirstNegotiationAfterPortOpenTakesTheEppBranch) {
    io.set(kEcr, 0x02);   // a FIFO that reads full at once: the probe measures nothing
    io.set(kFifo, 0x10);  // cnfgA
    io.set(kControl, 0xC0);  // lines found away from compatibility idle: the printer is reset
    io.set(0x378, 0xFF);
    ASSERT_EQ(lp_port_open(0x378), &port_data);
    ASSERT_EQ(port->mode, LP_MODE_EPP);
    io.clear();
    io.sequence(kStatus, {kEvent2, kEvent6, kEvent6, kEvent6});
    EXPECT_EQ(lp_negotiate(port, LP_MODE_ECP), 0);
    EXPECT_EQ(steps(), std::string("W 37a 0c\nW 37a 08\nS 50\nW 37a 0c\n") + kEcpAccepted);
}

TEST_F(Negotiation, EcpAgainFromForwardIdleTerminatesWithTheCommonBranchFirst) {
    port->mode = LP_MODE_ECP;
    port->phase = LP_PH_FWD_IDLE;
    priv_ctr = 0x06;
    io.sequence(kStatus, {0x00, 0x40, kEvent2, kEvent6, kEvent6, kEvent6});
    EXPECT_EQ(lp_negotiate(port, LP_MODE_ECP), 0);
    EXPECT_EQ(steps(), std::string("W 37a 0c\nR 379 00\nW 37a 0e\nR 379 40\nW 37a 0c\n") + kEcpAccepted);
    EXPECT_EQ(port->mode, LP_MODE_ECP);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(Negotiation, CompatibilityIsTerminationAloneEvenWhenThePeripheralIgnoresIt) {
    io.on_read(kStatus, [this] { return uint8_t((ctl & 0x02) ? 0x00 : 0x40); });
    port->mode = LP_MODE_COMPAT;
    port->phase = LP_PH_FWD_IDLE;
    priv_ctr = 0x0C;
    const int64_t start = io.now_us;
    EXPECT_EQ(lp_negotiate(port, LP_MODE_COMPAT), 0);
    EXPECT_EQ(writes(kControl), (std::vector<uint8_t>{0x0c, 0x0e, 0x0c}));
    EXPECT_TRUE(writes(kData).empty());
    EXPECT_GT(io.now_us - start, 60 * kMs);  // both waits ran out
    EXPECT_EQ(port->mode, LP_MODE_COMPAT);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(Negotiation, RefusedCodeTerminatesThenReturnsMinus38WithoutRequestByte) {
    port->mode = LP_MODE_COMPAT;
    port->phase = LP_PH_FWD_IDLE;
    priv_ctr = 0x0C;
    io.sequence(kStatus, {0x00, 0x40});
    EXPECT_EQ(lp_negotiate(port, LP_MODE_REFUSED), -38);
    EXPECT_EQ(steps(), "W 37a 0c\nR 379 00\nW 37a 0e\nR 379 40\nW 37a 0c\n");
    EXPECT_EQ(port->mode, LP_MODE_COMPAT);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(Negotiation, NoAnswerAtEventTwoGivesMinusOneWithoutTerminationHandshake) {
    io.set(kStatus, 0x00);
    EXPECT_EQ(lp_negotiate(port, LP_MODE_ECP), -1);
    // EPP reset, idle, forward, event 1, then only the lines back to compatibility idle.
    EXPECT_EQ(writes(kControl), (std::vector<uint8_t>{0x0c, 0x08, 0x0c, 0x0c, 0x0c, 0x06, 0x0c}));
    EXPECT_EQ(writes(kData), (std::vector<uint8_t>{0x10}));
    const std::string s = steps();
    EXPECT_EQ(s.substr(s.size() - 18), "W 37a 0c\nR 379 00\n");  // one status read after, unused
    EXPECT_EQ(port->mode, LP_MODE_COMPAT);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
    EXPECT_EQ(priv_ctr, 0x0C);  // nStrobe, nAutoFd high, nSelectIn low, forward
}

TEST_F(Negotiation, MissingEventSixGivesOneAfterTheCommonTermination) {
    io.set(kStatus, kEvent2);  // nAck stays low
    EXPECT_EQ(lp_negotiate(port, LP_MODE_ECP), 1);
    EXPECT_EQ(writes(kControl),
              (std::vector<uint8_t>{0x0c, 0x08, 0x0c, 0x0c, 0x0c, 0x06, 0x07, 0x04, 0x0c, 0x0e, 0x0c}));
    EXPECT_EQ(port->mode, LP_MODE_COMPAT);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(Negotiation, XFlagLowAcceptsNibbleAndRefusesEveryOtherCode) {
    for (int32_t mode : {LP_MODE_BYTE, LP_MODE_ECP, LP_MODE_EPP}) {
        SCOPED_TRACE(mode);
        io.clear();
        port->mode = LP_MODE_COMPAT;
        priv_ctr = 0x0C;
        io.sequence(kStatus, {0x00, 0x40, kEvent2, kEvent6NoX});
        EXPECT_EQ(lp_negotiate(port, mode), 1);
        EXPECT_EQ(port->mode, LP_MODE_COMPAT);
        EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
        EXPECT_EQ(writes(kControl).back(), 0x0c);  // event 28 of the refusal's termination
    }

    io.clear();
    port->mode = LP_MODE_COMPAT;
    priv_ctr = 0x0C;
    io.sequence(kStatus, {0x00, 0x40, kEvent2, kEvent6NoX});
    EXPECT_EQ(lp_negotiate(port, LP_MODE_NIBBLE), 0);
    const std::string s = steps();
    // The status is read after event 6 as for every code; only its XFlag is not examined.
    EXPECT_EQ(s.substr(s.find("W 378")), "W 378 00\nS 400\nW 37a 06\nR 379 b8\nW 37a 07\nS 5\n"
                                         "W 37a 04\nR 379 e8\nR 379 e8\n");
    EXPECT_EQ(port->mode, LP_MODE_NIBBLE);
    EXPECT_EQ(port->phase, LP_PH_REV_IDLE);
}

TEST_F(Negotiation, AcceptedCodesStoreTheArgumentAndSetThePhaseByFamily) {
    struct { int32_t mode; uint8_t request; bool setup; int32_t phase; } cases[] = {
        {LP_MODE_NIBBLE, 0x00, false, LP_PH_REV_IDLE},
        {LP_MODE_BYTE, 0x01, false, LP_PH_REV_IDLE},
        {LP_MODE_ECP, 0x10, true, LP_PH_FWD_IDLE},
        {LP_MODE_ECP_RLE, 0x30, true, LP_PH_FWD_IDLE},
        {LP_MODE_EPP, 0x40, false, LP_PH_FWD_IDLE},
        {LP_MODE_ECP_ALIAS, 0x10, true, LP_PH_FWD_IDLE},
        {LP_MODE_EPP_ALIAS_A, 0x40, false, LP_PH_FWD_IDLE},
        {LP_MODE_EPP_ALIAS_B, 0x40, false, LP_PH_FWD_IDLE},
        {LP_MODE_ECP | LP_MODE_MASKED_FLAG, 0x10, true, LP_PH_FWD_IDLE},
        {LP_MODE_EPP | LP_MODE_MASKED_FLAG, 0x40, false, LP_PH_FWD_IDLE},
        {0x14, 0x14, true, LP_PH_FWD_IDLE},  // any request byte with 0x10 set is an ECP request
        {0x02, 0x02, false, LP_PH_FWD_IDLE},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.mode);
        io.clear();
        port->mode = LP_MODE_COMPAT;
        port->phase = LP_PH_FWD_IDLE;
        priv_ctr = 0x0C;
        std::vector<int32_t> phase_at_write;
        on_ctl = [&](uint8_t) { phase_at_write.push_back(port->phase); };
        io.sequence(kStatus, {0x00, 0x40, kEvent2, kEvent6, kEvent6, kEvent6});
        EXPECT_EQ(lp_negotiate(port, c.mode), 0);
        EXPECT_EQ(writes(kData), std::vector<uint8_t>{c.request});
        EXPECT_EQ(phase_at_write.back() == LP_PH_ECP_SETUP, c.setup);
        EXPECT_EQ(writes(kControl).back(), c.setup ? 0x06 : 0x04);
        EXPECT_EQ(io.count('R', kStatus), c.setup ? 6u : 5u);
        EXPECT_EQ(port->mode, c.mode);
        EXPECT_EQ(port->phase, c.phase);
        on_ctl = nullptr;
    }
}

TEST_F(Negotiation, EcpWithoutEvent31FailsAndTerminates) {
    io.sequence(kStatus, {kEvent2, kEvent6, kEvent6, 0xD8});  // PError stays low
    EXPECT_EQ(lp_negotiate(port, LP_MODE_ECP), 1);
    EXPECT_EQ(lp_negotiation_end(), LP_NEG_NO_EVENT31);
    EXPECT_EQ(port->mode, LP_MODE_COMPAT);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
}

TEST_F(Negotiation, AliasAndFlaggedCodesChooseTheirLaterTerminationBranch) {
    // 1024 is stored as is and still belongs to the ECP family.
    io.sequence(kStatus, {kEvent2, kEvent6, kEvent6, kEvent6});
    ASSERT_EQ(lp_negotiate(port, LP_MODE_ECP_ALIAS), 0);
    ASSERT_EQ(port->mode, LP_MODE_ECP_ALIAS);
    io.clear();
    port->phase = LP_PH_REV_IDLE;
    io.sequence(kStatus, {0x20, 0x00, 0x40});
    lp_terminate(port);
    EXPECT_EQ(steps(), "W 37a 06\nR 379 20\nW 37a 06\nW 37a 0c\nR 379 00\nW 37a 0e\nR 379 40\nW 37a 0c\n");

    // 2048 and 4096 are EPP codes: the next termination pulses nInit.
    for (int32_t mode : {LP_MODE_EPP_ALIAS_A, LP_MODE_EPP_ALIAS_B}) {
        SCOPED_TRACE(mode);
        io.clear();
        io.sequence(kStatus, {0x00, 0x40, kEvent2, kEvent6, kEvent6});
        ASSERT_EQ(lp_negotiate(port, mode), 0);
        ASSERT_EQ(port->mode, mode);
        io.clear();
        lp_terminate(port);
        EXPECT_EQ(steps(), "W 37a 0c\nW 37a 08\nS 50\nW 37a 0c\n");
    }

    // The masked flag keeps ECP's set-up but takes the stored code out of the ECP family.
    io.clear();
    io.sequence(kStatus, {0x00, 0x40, kEvent2, kEvent6, kEvent6, kEvent6});
    ASSERT_EQ(lp_negotiate(port, LP_MODE_ECP | LP_MODE_MASKED_FLAG), 0);
    ASSERT_EQ(port->mode, LP_MODE_ECP | LP_MODE_MASKED_FLAG);
    io.clear();
    port->phase = LP_PH_REV_DATA;
    io.sequence(kStatus, {0x00, 0x40});
    lp_terminate(port);
    EXPECT_EQ(steps(), "W 37a 0c\nR 379 00\nW 37a 0e\nR 379 40\nW 37a 0c\n");
}

class ExtensibilityLink : public LinkTest {
protected:
    ExtensibilityLink() {
        port->mode = LP_MODE_COMPAT;
        port->phase = LP_PH_FWD_IDLE;
        priv_ctr = 0x0C;
    }
};

TEST_F(ExtensibilityLink, SendsRequest0x80ThenTheCodeAndSkipsTheEcpSetup) {
    io.sequence(kStatus, {0x00, 0x40, kEvent2, kEvent6, kEvent6, kEvent2, kEvent6, kEvent6});
    const int32_t mode = LP_MODE_ECP | LP_MODE_EXT_LINK;
    EXPECT_EQ(lp_negotiate(port, mode), 0);
    const std::string s = steps();
    EXPECT_EQ(s.substr(s.find("W 378")),
              "W 378 80\n"   // event 0: extensibility link request
              "S 400\n"
              "W 37a 06\n"   // event 1
              "R 379 b8\n"   // event 2
              "W 37a 07\n"   // event 3
              "S 5\n"
              "W 37a 04\n"   // event 4
              "R 379 f8\n"   // event 6
              "R 379 f8\n"   // XFlag: the link is supported
              "S 1\n"
              "W 378 10\n"   // the code over the link
              "S 1\n"
              "W 37a 05\n"   // nStrobe low
              "R 379 b8\n"   // nAck low
              "W 37a 04\n"   // nStrobe high
              "R 379 f8\n"   // nAck high
              "R 379 f8\n"); // XFlag: the mode is accepted
    EXPECT_EQ(port->mode, mode);
    EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);

    // The combined code is no ECP code, so the next termination takes the common branch.
    io.clear();
    port->phase = LP_PH_REV_DATA;
    io.sequence(kStatus, {0x00, 0x40});
    lp_terminate(port);
    EXPECT_EQ(steps(), "W 37a 0c\nR 379 00\nW 37a 0e\nR 379 40\nW 37a 0c\n");
}

TEST_F(ExtensibilityLink, SendsTheLowSevenBitsOfTheCode) {
    io.sequence(kStatus, {0x00, 0x40, kEvent2, kEvent6, kEvent6, kEvent2, kEvent6, kEvent6});
    EXPECT_EQ(lp_negotiate(port, LP_MODE_EXT_LINK | 0xB3), 0);
    EXPECT_EQ(writes(kData), (std::vector<uint8_t>{0x80, 0x33}));
}

TEST_F(ExtensibilityLink, EveryFailureOnTheLinkGivesOneInCompatibility) {
    const std::vector<uint8_t> scripts[] = {
        {0x00, 0x40, kEvent2, kEvent6, kEvent6, kEvent6},                      // nAck never low
        {0x00, 0x40, kEvent2, kEvent6, kEvent6, kEvent2},                      // nAck never high
        {0x00, 0x40, kEvent2, kEvent6, kEvent6, kEvent2, kEvent6NoX, 0x40},  // XFlag low: refused
    };
    for (const auto &script : scripts) {
        SCOPED_TRACE(testing::PrintToString(script));
        io.clear();
        port->mode = LP_MODE_COMPAT;
        priv_ctr = 0x0C;
        io.sequence(kStatus, script);
        EXPECT_EQ(lp_negotiate(port, LP_MODE_ECP | LP_MODE_EXT_LINK), 1);
        EXPECT_EQ(writes(kData), (std::vector<uint8_t>{0x80, 0x10}));
        EXPECT_EQ(port->mode, LP_MODE_COMPAT);
        EXPECT_EQ(port->phase, LP_PH_FWD_IDLE);
        // The refusal's termination ran to event 28: nSelectIn low, nAutoFd high.
        EXPECT_EQ(writes(kControl).back() & 0x0A, 0x08);
    }
}

}  // namespace
