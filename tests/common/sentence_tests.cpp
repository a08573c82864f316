// Sentence checksum and token search, as the driver and the control
// program both rely on them.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/sentence.h"

namespace {

std::string Checksummed(const char *templ, size_t capacity = 64) {
    char buffer[64];
    std::memset(buffer, 'Z', sizeof buffer);
    std::strncpy(buffer, templ, sizeof buffer - 1);
    buffer[sizeof buffer - 1] = '\0';
    ChecksumSentence(buffer, capacity);
    return buffer;
}

TEST(ChecksumSentence, KnownReceiverSentences) {
    struct Row {
        const char *legend, *in, *out;
    } rows[] = {
        {"TMC group", "$RTTMC,8,D3C2,8A10,12F4,AB*", "$RTTMC,8,D3C2,8A10,12F4,AB*44"},
        {"acknowledgement", "$PSRFTXT,Ack Input107*", "$PSRFTXT,Ack Input107*6A"},
        {"version tail", "$PSRF154,107*", "$PSRF154,107*3D"},
        {"tune report with padded frequency", "$RTRDS, 87.5,10,0,0,2,1,1,000,255,5,0,50*",
         "$RTRDS, 87.5,10,0,0,2,1,1,000,255,5,0,50*46"},
        {"text after the star is replaced", "$PSRF154,107*XXXX", "$PSRF154,107*3D"},
        {"only the first star counts", "$A*B*", "$A*41"},
        {"empty body gives 00", "$*", "$*00"},
        {"XOR below 16 keeps its leading zero", "$AB*", "$AB*03"},
        {"no star: unchanged", "$PSRF107", "$PSRF107"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(Checksummed(row.in), row.out) << row.legend;
}

TEST(ChecksumSentence, NeverWritesPastItsCapacity) {
    char buffer[8] = {'$', 'A', 'B', 'C', '*', '\0', 'G', 'G'};
    ChecksumSentence(buffer, 7); // "*" at 4: digits at 5, 6 and terminator at 7 do not fit
    EXPECT_STREQ(buffer, "$ABC*");
    EXPECT_EQ(buffer[7], 'G');
    ChecksumSentence(buffer, 8);
    EXPECT_STREQ(buffer, "$ABC*40");
    ChecksumSentence(nullptr, 8); // tolerated
}

TEST(SentenceChecksumValid, WholeSentencesWithTheirChecksum) {
    struct Row {
        const char *legend;
        std::string text;
        bool valid;
    } rows[] = {
        {"TMC group", "$RTTMC,8,D3C2,8A10,12F4,AB*44", true},
        {"lower-case digits", "$PSRFTXT,Ack Input107*6a", true},
        {"empty body", "$*00", true},
        {"wrong checksum", "$RTTMC,8,D3C2,8A10,12F4,AB*45", false},
        {"one digit", "$AB*3", false},
        {"text after the digits", "$AB*03\r", false},
        {"a later star is body, not checksum", "$A*B*", false},
        {"no star", "$PSRF107", false},
        {"no dollar", "AB*03", false},
        {"not hex", "$AB*0G", false},
        {"NUL in the body counts", std::string("$A\0B*03", 7), true},
    };
    for (const Row &row : rows)
        EXPECT_EQ(SentenceChecksumValid(row.text.data(), row.text.size()), row.valid) << row.legend;
    EXPECT_FALSE(SentenceChecksumValid(nullptr, 4));
}

TEST(FindToken, FindsFirstOccurrenceFromStart) {
    const char *text = "xx$PSRF107*6A\r\n$PSRF122,90.0*";
    EXPECT_EQ(FindToken(0, text, "PSRF"), 3);
    EXPECT_EQ(FindToken(3, text, "PSRF"), 3);
    EXPECT_EQ(FindToken(4, text, "PSRF"), 16);
    EXPECT_EQ(FindToken(17, text, "PSRF"), -1);
    EXPECT_EQ(FindToken(0, text, "psrf"), -1) << "case-sensitive";
    EXPECT_EQ(FindToken(static_cast<int>(std::strlen(text)), text, "P"), -1);
    EXPECT_EQ(FindToken(1000, text, "P"), -1);
    EXPECT_EQ(FindToken(-1, text, "P"), -1);
    EXPECT_EQ(FindToken(0, "", "PSRF"), -1);
    EXPECT_EQ(FindToken(0, "PSR", "PSRF"), -1) << "token cut by the end of the text";
    EXPECT_EQ(FindToken(0, nullptr, "P"), -1);
}

} // namespace
