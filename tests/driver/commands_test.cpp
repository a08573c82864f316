// The $PSRF command interpreter: acknowledgements first, exact replies,
// frequency set/step/seek through the tuner library, and writes of any
// shape.
#include <string>
#include <vector>

#include "driver_test.h"

using drivertest::DriverTest;
using drivertest::WithChecksum;

extern "C" DWORD COM_Write(DWORD_PTR, LPCVOID, DWORD);

namespace {

class CommandTest : public DriverTest {};

std::string Ack(const std::string &field) {
    return WithChecksum("$PSRFTXT,Ack Input" + field + "*");
}

TEST_F(CommandTest, VersionQuery) {
    Write(WithChecksum("$PSRF107*"));
    EXPECT_EQ(ReadAll(), "$PSRFTXT,Ack Input107*6A\r\n" +
                             WithChecksum("$PSRFTXT,VersionR: 2K00320101N10151006080906*") +
                             WithChecksum("$PSRFTXT,RoyalTek Ver 1.1.0.106 GSW3LP EE*") +
                             "$PSRF154,107*3D\r\n");
}

TEST_F(CommandTest, SetFrequency) {
    struct Row {
        const char *legend, *write;
        int64_t kHz;
    } rows[] = {
        {"one decimal", "$PSRF122,87.5*", 87500},
        {"five characters", "$PSRF122,100.0*", 100000},
        {"five characters, all read", "$PSRF122,100.5*", 100500},
        {"cut by the end of the write", "$PSRF122,90.0", 90000},
        {"star in the fifth place", "$PSRF122,94.4*", 94400},
        {"trailing fields ignored", "$PSRF122,99.1,1,0*", 99100},
        {"no number", "$PSRF122,abc*", 0},
        {"exponent beyond 32-bit kHz", "$PSRF122,9e99*", 0},
    };
    for (const Row &row : rows) {
        fakestack::ClearCalls();
        ClearLog();
        Write(row.write);
        EXPECT_EQ(Tunes(), std::vector<int64_t>{row.kHz}) << row.legend;
        EXPECT_EQ(ReadAll(), Ack("122")) << row.legend;
    }
    ClearLog();
    Write("$PSRF122,87.5*");
    EXPECT_EQ(Log(), "COM_Write: $PSRF122,87.5*\nCOM_Write: 122 Tune freq: 87.5-87500 \n");
    EXPECT_EQ(driverState.currentFrequency, 90000u) << "only a tune report moves it";
}

TEST_F(CommandTest, StepsWrapAtTheFixedLimits) {
    struct Row {
        DWORD base;
        const char *write;
        int64_t kHz;
    } rows[] = {
        {90000, "$PSRF123,1,0*", 90100},  {90000, "$PSRF123,0,0*", 89900},
        {87500, "$PSRF123,0,0*", 108000}, {108000, "$PSRF123,1,0*", 87500},
        {87600, "$PSRF123,0,0*", 87500},  {107900, "$PSRF123,1,0*", 108000},
        {50, "$PSRF123,0,0*", 108000},    {90000, "$PSRF123,7,0*", 90000},
    };
    for (const Row &row : rows) {
        driverState.currentFrequency = row.base;
        fakestack::ClearCalls();
        Write(row.write);
        EXPECT_EQ(Tunes(), std::vector<int64_t>{row.kHz}) << row.base << " " << row.write;
    }
    driverState.currentFrequency = 87500;
    ClearLog();
    Write("$PSRF123,0,0*");
    Write("$PSRF123,1,0*");
    EXPECT_EQ(Log(), "COM_Write: $PSRF123,0,0*\nCOM_Write: 123 Tune DOWN: 108000 P1:0 P2:0\n"
                     "COM_Write: $PSRF123,1,0*\nCOM_Write: 123 Tune UP: 87600 P1:1 P2:0 \n");
}

TEST_F(CommandTest, StepsWrapAtTheConfiguredBandsLimits) {
    struct Row {
        DWORD band, base;
        const char *write;
        int64_t kHz;
    } rows[] = {
        {FMBAND_JAPAN, 76000, "$PSRF123,0,0*", 91000},
        {FMBAND_JAPAN, 91000, "$PSRF123,1,0*", 76000},
        {FMBAND_JAPAN, 87500, "$PSRF123,0,0*", 87400},
        {FMBAND_JAPAN, 90900, "$PSRF123,1,0*", 91000},
        {FMBAND_WORLD, 76000, "$PSRF123,0,0*", 108000},
        {FMBAND_WORLD, 108000, "$PSRF123,1,0*", 76000},
        {FMBAND_WORLD, 87500, "$PSRF123,0,0*", 87400},
        {7, 87500, "$PSRF123,0,0*", 108000},
    };
    for (const Row &row : rows) {
        driverState.settings.Band = row.band;
        driverState.currentFrequency = row.base;
        fakestack::ClearCalls();
        Write(row.write);
        EXPECT_EQ(Tunes(), std::vector<int64_t>{row.kHz})
            << "band " << row.band << " " << row.base << " " << row.write;
    }
    driverState.settings.Band = FMBAND_CCIR;
}

TEST_F(CommandTest, Seeks) {
    Write("$PSRF123,1,1*");
    Write("$PSRF123,0,1*");
    Write("$PSRF123,5,1*"); // no such direction
    const auto seeks = lumarctest::CallsOf("FM_Seek");
    ASSERT_EQ(seeks.size(), 2u);
    EXPECT_EQ(seeks[0].args, (std::vector<int64_t>{lumarctest::kStackHandle, 0, 1}));
    EXPECT_EQ(seeks[1].args, (std::vector<int64_t>{lumarctest::kStackHandle, 0, 0}));
    EXPECT_EQ(ReadAll(), Ack("123") + Ack("123") + Ack("123"));
}

TEST_F(CommandTest, TwoCommandsInOneWriteStartFromTheSameBase) {
    Write(WithChecksum("$PSRF123,1,0*") + WithChecksum("$PSRF123,1,0*") +
          WithChecksum("$PSRF122,100.0*"));
    EXPECT_EQ(Tunes(), (std::vector<int64_t>{90100, 90100, 100000}));
    EXPECT_EQ(ReadAll(), Ack("123") + Ack("123") + Ack("122"));
}

TEST_F(CommandTest, AnythingElseIsOnlyAcknowledgedOrLogged) {
    struct Row {
        const char *legend, *write, *reply;
    } rows[] = {
        {"an echo of our own output", "$PSRFTXT,Ack Input107*6A\r\n", "TXT"},
        {"unknown number", "$PSRF121,1*", "121"},
        {"accepted and unused", "$PSRF126,1*", "126"},
        {"cut right after PSRF", "$PSRF", ""},
        {"cut inside the number", "$PSRF12", "12"},
    };
    for (const Row &row : rows) {
        fakestack::ClearCalls();
        Write(row.write);
        EXPECT_EQ(ReadAll(), Ack(row.reply)) << row.legend;
        EXPECT_TRUE(Tunes().empty()) << row.legend;
    }
    Write("hello, no command here\r\n");
    EXPECT_EQ(ReadAll(), "");
}

TEST_F(CommandTest, AcknowledgementShowsUnprintableFieldBytesAsQuestionMarks) {
    // Each reply must stay one line with a valid checksum for a line reader.
    struct Row {
        std::string write, field;
    } rows[] = {
        {"$PSRF\r\n", "??"},
        {"$PSRF1\t7*", "1?7"},
        {"$PSRF\xB0\x7F"
         "1",
         "??1"},
        {"$PSRF$PSRF107*", "?PS"},
    };
    for (const Row &row : rows) {
        Write(row.write);
        const std::string got = ReadAll();
        EXPECT_EQ(got.substr(0, got.find("\r\n") + 2), Ack(row.field)) << row.field;
    }
    // Printable characters, "*" included, stay as written; the checksum
    // ends the sentence at the first "*".
    Write("$PSRF1*2");
    EXPECT_EQ(ReadAll(), WithChecksum("$PSRFTXT,Ack Input1*"));
}

TEST_F(CommandTest, ZeroByteEndsTheScan) {
    const std::string bytes = std::string("$PSRF107*\0$PSRF122,95.0*", 24);
    Write(bytes);
    EXPECT_TRUE(Tunes().empty());
    EXPECT_EQ(ReadAll().substr(0, 26), "$PSRFTXT,Ack Input107*6A\r\n");
}

TEST_F(CommandTest, LongWriteIsScannedPieceByPieceAndFullyCounted) {
    // A command beyond the first 2047 bytes is still carried out.
    std::string bytes(3000, ' ');
    bytes.replace(2500, 14, "$PSRF122,95.0*");
    EXPECT_EQ(COM_Write(0, bytes.data(), static_cast<DWORD>(bytes.size())), 3000u);
    EXPECT_EQ(Tunes(), std::vector<int64_t>{95000});
    // No byte is lost where one piece ends and the next begins: a command
    // starting on the first byte of the second and third piece is answered.
    ReadAll();
    bytes.assign(5000, ' ');
    bytes.replace(2046, 9, "$PSRF107*");
    bytes.replace(4093, 9, "$PSRF107*");
    EXPECT_EQ(COM_Write(0, bytes.data(), static_cast<DWORD>(bytes.size())), 5000u);
    const std::string replies = ReadAll();
    size_t versions = 0;
    for (size_t at = replies.find("VersionR"); at != std::string::npos;
         at = replies.find("VersionR", at + 1))
        ++versions;
    EXPECT_EQ(versions, 2u) << replies;
    EXPECT_EQ(COM_Write(0, nullptr, 10), 0u);
    EXPECT_EQ(COM_Write(0, "x", 0), 0u);
}

TEST_F(CommandTest, RepliesWithoutATuner) {
    driverState.tunerHandle = nullptr; // the tuner failed to open
    Write("$PSRF122,95.0*$PSRF123,1,1*");
    EXPECT_EQ(ReadAll(), Ack("122") + Ack("123"));
    EXPECT_TRUE(Tunes().empty());
}

} // namespace
