// Receiver sentences from tuner events: $RTTMC per group, $RTRDS per tune.
#include <string>

#include "driver_test.h"

using drivertest::DriverTest;
using drivertest::WithChecksum;

namespace {

class EncoderTest : public DriverTest {
protected:
    // The stack answers a signal-strength query at once with `strength`.
    void StrengthIs(DWORD strength) {
        fakestack::SetResult("FM_RssiGet", 0);
        fakestack::OnCall("FM_RssiGet", [strength] {
            fakestack::Deliver(fakestack::CommandStatus(FMS_CMD_GET_RSSI, 0, strength));
        });
    }

    std::string Group(WORD a, WORD b, WORD c, WORD d) {
        RdsGroupRecord record{16, a, b, c, d, 0};
        OnRdsGroup(session, &record);
        return ReadAll();
    }
};

TEST_F(EncoderTest, TmcSentences) {
    struct Row {
        const char *legend;
        WORD a, b, c, d;
        const char *body;
    } rows[] = {
        {"typical 8A", 0xD3C2, 0x8A10, 0x12F4, 0x00AB, "$RTTMC,8,D3C2,8A10,12F4,AB*"},
        {"no leading zeros", 0x0001, 0x0000, 0x0005, 0x0000, "$RTTMC,0,1,0,5,0*"},
        {"group type 15", 0xFFFF, 0xF000, 0xFFFF, 0xFFFF, "$RTTMC,15,FFFF,F000,FFFF,FFFF*"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(Group(row.a, row.b, row.c, row.d), WithChecksum(row.body)) << row.legend;
    EXPECT_EQ(Group(0xD3C2, 0x8A10, 0x12F4, 0x00AB), "$RTTMC,8,D3C2,8A10,12F4,AB*44\r\n");
}

TEST_F(EncoderTest, TuneReportWithStrengthLevel) {
    StrengthIs(170);
    OnTuned(session, 87500, FMTUNE_TUNED);
    EXPECT_EQ(ReadAll(), "$RTRDS, 87.5,10,0,0,2,1,1,000,255,5,0,50*46\r\n");
    EXPECT_EQ(driverState.currentFrequency, 87500u);
    EXPECT_EQ(driverState.signalStrength, 170u);
}

TEST_F(EncoderTest, FrequencyFieldAndLevels) {
    struct Row {
        DWORD kHz, strength;
        const char *field;
        int level;
    } rows[] = {
        {108000, 255, "108.0", 15}, {76000, 16, " 76.0", 0}, {87550, 17, " 87.5", 1},
        {90000, 128, " 90.0", 7},   {100000, 0, "100.0", 0},
    };
    for (const Row &row : rows) {
        StrengthIs(row.strength);
        OnTuned(session, row.kHz, FMTUNE_SEEK);
        EXPECT_EQ(ReadAll(), WithChecksum(std::string("$RTRDS,") + row.field + "," +
                                          std::to_string(row.level) + ",0,0,2,1,1,000,255,5,0,50*"))
            << row.kHz << " kHz, strength " << row.strength;
    }
}

TEST_F(EncoderTest, FailedStrengthReadRepeatsThePreviousLevel) {
    StrengthIs(255);
    OnTuned(session, 90000, FMTUNE_TUNED);
    ReadAll();
    fakestack::OnCall("FM_RssiGet", nullptr);
    fakestack::SetResult("FM_RssiGet", 1); // refused
    OnTuned(session, 90100, FMTUNE_TUNED);
    EXPECT_EQ(ReadAll(), WithChecksum("$RTRDS, 90.1,15,0,0,2,1,1,000,255,5,0,50*"));
}

TEST_F(EncoderTest, AbsurdFrequencyStaysInsideItsField) {
    StrengthIs(0);
    OnTuned(session, 4000000000u, FMTUNE_TUNED);
    EXPECT_EQ(std::string(driverState.frequencyText), "4000000");
    EXPECT_EQ(ReadAll(), WithChecksum("$RTRDS,4000000,0,0,0,2,1,1,000,255,5,0,50*"));
}

} // namespace
