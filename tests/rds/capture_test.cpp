// Capture reader: the recorded formats, hostile lines, raw replay bytes, and
// the real captures when they are present.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "capture.h"
#include "rawstream.h"

using namespace rds;

namespace {

const char kSample[] = "% RDS hexgroups\n"
                       "% Freq 88500, date=2017/12/27 18:22:00.235\n"
                       "A203 8548 53F4 A827 @2017/12/27 18:22:00.339\r\n"
                       "\n"
                       "---- 0548 E795 ---- @2015/09/27 23:29:25.752\n"
                       "a203 2559 7420 6a65\n";

} // namespace

TEST(CaptureReader, ReadsGroupsHeadersAndMissingBlocks) {
    Capture c;
    std::string error;
    ASSERT_TRUE(ParseCapture(kSample, "sample.rds", c, error)) << error;
    EXPECT_EQ(c.frequencyKHz, 88500u);
    ASSERT_EQ(c.groups.size(), 3u);
    EXPECT_EQ(c.groups[0].block[kBlockA], 0xA203);
    EXPECT_EQ(c.groups[0].block[kBlockD], 0xA827);
    EXPECT_EQ(c.groups[0].missing, 0);
    EXPECT_TRUE(c.groups[1].blockMissing(kBlockA));
    EXPECT_FALSE(c.groups[1].blockMissing(kBlockB));
    EXPECT_TRUE(c.groups[1].blockMissing(kBlockD));
    EXPECT_EQ(c.groups[2].block[kBlockC], 0x7420); // lower-case hex accepted
}

TEST(CaptureReader, RefusesMalformedGroupLinesWithTheirLine) {
    struct Case {
        const char *legend;
        std::string text;
        const char *error;
    };
    const Case cases[] = {
        {"three blocks", "% x\nA203 8548 53F4\n", "cap:2: expected four blocks"},
        {"non-hex digit", "A203 8548 53G4 A827\n", "cap:1: block C is not four hex"},
        {"five digits", "A2030 8548 53F4 A827\n", "cap:1: block A is not four hex"},
        {"trailing garbage", "A203 8548 53F4 A827 xyz\n", "cap:1: unexpected text after block D"},
        {"two lines run together",
         "A203 8548 53F4 A827 @2017/12/27 18:22:00.339A203 8548 53F4 A827 @2017/12/27\n",
         "cap:1: malformed timestamp"},
        {"NUL byte", std::string("A203 8548 53F4 A8\0 7\n", 21), "cap:1: NUL byte"},
        {"long line", std::string(5000, 'A') + "\n", "cap:1: line too long"},
        {"partial dash block", "A203 8548 --F4 A827\n", "cap:1: block C"},
    };
    for (const Case &c : cases) {
        Capture capture;
        capture.frequencyKHz = 1;
        std::string error;
        EXPECT_FALSE(ParseCapture(c.text, "cap", capture, error)) << c.legend;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.legend << ": " << error;
        EXPECT_EQ(capture.frequencyKHz, 1u) << c.legend << ": refused file changed the output";
    }
}

// The one set of line rules every reader of group lines goes by.
TEST(CaptureReader, GroupLineRules) {
    struct Row {
        const char *legend;
        std::string line;
        LineKind kind;
        std::uint16_t blockD; // for a group
    };
    const Row rows[] = {
        {"RDS Spy line", "D395 8115 544D 4320 @2026/12/08 09:46:19.57", LineKind::Group, 0x4320},
        {"redsea -o hex line", "D395 8115 544D 4320", LineKind::Group, 0x4320},
        {"redsea ISO stamp", "D395 8115 544D 4320 @2024-01-01T12:00:00+0200", LineKind::Group,
         0x4320},
        {"lower case", "d395 8115 544d 43ef", LineKind::Group, 0x43EF},
        {"tabs and runs of blanks", "\tD395\t\t8115  544D \t4320\t@x  ", LineKind::Group, 0x4320},
        {"CR LF end", "D395 8115 544D 4320\r\n", LineKind::Group, 0x4320},
        {"empty stamp", "D395 8115 544D 4320 @", LineKind::Group, 0x4320},
        {"stamp with letters", "D395 8115 544D 4320 @Mon Dec 8 2026", LineKind::Group, 0x4320},
        {"block D lost", "D395 8115 544D ----", LineKind::Group, 0},
        {"blank line", " \t\r", LineKind::Header, 0},
        {"RDS Spy header", "<recorder=\"RDS Spy\">", LineKind::Header, 0},
        {"hex log header", "  % Freq 88500", LineKind::Header, 0},
        {"three blocks", "D395 8115 544D", LineKind::Bad, 0},
        {"five blocks", "D395 8115 544D 4320 0000", LineKind::Bad, 0},
        {"three digits", "D395 815 544D 4320", LineKind::Bad, 0},
        {"0x prefix", "D395 0x81 544D 4320", LineKind::Bad, 0},
        {"stamp without a blank", "D395 8115 544D 4320@2026/12/08", LineKind::Bad, 0},
        {"second stamp", "D395 8115 544D 4320 @1 @2", LineKind::Bad, 0},
        {"control byte in stamp", "D395 8115 544D 4320 @2026\x1b[2J", LineKind::Bad, 0},
        {"NUL in stamp", std::string("D395 8115 544D 4320 @2\0", 23), LineKind::Bad, 0},
        {"receiver sentence", "$RTTMC,8,D3C2,8A10,12F4,AB*44", LineKind::Bad, 0},
    };
    for (const Row &row : rows) {
        Group group;
        group.block[kBlockD] = 0x5555;
        std::string why;
        EXPECT_EQ(ParseGroupLine(row.line, group, why), row.kind) << row.legend;
        if (row.kind == LineKind::Group)
            EXPECT_EQ(group.block[kBlockD], row.blockD) << row.legend;
        else
            EXPECT_EQ(group.block[kBlockD], 0x5555) << row.legend << ": changed without a group";
        EXPECT_EQ(why.empty(), row.kind != LineKind::Bad) << row.legend << ": " << why;
    }
}

TEST(CaptureReader, RawReplayGivesExpectedAndDamagedStatusBytes) {
    Capture c;
    std::string error;
    ASSERT_TRUE(ParseCapture(kSample, "sample.rds", c, error));
    std::vector<std::uint8_t> raw;
    AppendRawGroup(c.groups[0], raw);
    AppendRawGroup(c.groups[1], raw);
    ASSERT_EQ(raw.size(), 24u);
    const std::vector<std::uint8_t> first = {0xA2, 0x03, 0x20, 0x85, 0x48, 0x21,
                                             0x53, 0xF4, 0x22, 0xA8, 0x27, 0x24};
    EXPECT_EQ(std::vector<std::uint8_t>(raw.begin(), raw.begin() + 12), first);
    EXPECT_EQ(raw[12], 0);
    EXPECT_EQ(raw[13], 0);
    EXPECT_EQ(raw[14], 0x20 | 0x10); // not decoded
    EXPECT_EQ(raw[17], 0x21);
    EXPECT_EQ(raw[23], 0x24 | 0x10);
}

TEST(RawStream, InjectsFaultsReproducibly) {
    GeneratorConfig config;
    ErrorRates rates;
    rates.blockError = 0.2;
    rates.damagedStatus = 0.05;
    RawStream a(std::make_unique<GeneratedSource>(config), rates, 42);
    RawStream b(std::make_unique<GeneratedSource>(config), rates, 42);
    std::vector<std::uint8_t> x, y;
    a.read(12 * 500, x);
    b.read(12 * 500, y);
    EXPECT_EQ(x, y);
    EXPECT_EQ(a.groupsStarted(), 500u);
    int errorBits = 0, damaged = 0;
    for (std::size_t g = 0; g < 500; ++g) {
        for (std::size_t b2 = 0; b2 < 4; ++b2) {
            const std::uint8_t status = x[g * 12 + b2 * 3 + 2];
            if ((status & ~kFmsRdsErrorBit) != kFmsRdsBlockStatus[b2])
                ++damaged;
            else if (status & kFmsRdsErrorBit)
                ++errorBits;
        }
    }
    // 2000 blocks: about 400 with the error bit, about 100 damaged.
    EXPECT_GT(errorBits, 300);
    EXPECT_LT(errorBits, 500);
    EXPECT_GT(damaged, 50);
    EXPECT_LT(damaged, 150);

    ErrorRates lossy;
    lossy.lostByte = 0.01;
    lossy.extraByte = 0.01;
    RawStream c(std::make_unique<GeneratedSource>(config), lossy, 7);
    std::vector<std::uint8_t> z;
    c.read(12000, z);
    EXPECT_EQ(z.size(), 12000u);
    EXPECT_NE(c.groupsStarted(), 1000u); // lost and extra bytes shift the count
}

// The real captures, checked against the counts of their README.
TEST(CaptureReader, ReadsEveryRealCapture) {
    const std::filesystem::path dir = TAVRINEL_CAPTURE_DIR;
    if (!std::filesystem::is_directory(dir))
        GTEST_SKIP() << "no real RDS captures at " << dir << " (optional test data)";
    struct Expected {
        const char *file;
        std::size_t groups, withMissing, tmc8A;
    };
    const Expected table[] = {
        {"de-D395-wdr5-tmc.spy", 9789, 443, 1429},
        {"at-A203-oe1-tmc.rds", 18848, 1069, 3800},
        {"pl-3205-radiozet-noisy.rds", 9213, 1778, 2091},
        {"fr-FE37-tmc.spy", 5490, 160, 734},
        {"uk-C36C-heart-tmc.rds", 3223, 1, 536},
    };
    for (const Expected &e : table) {
        const std::string path = (dir / e.file).string();
        if (!std::filesystem::exists(path)) {
            ADD_FAILURE() << path << " missing from the capture folder";
            continue;
        }
        Capture c;
        std::string error;
        ASSERT_TRUE(ReadCapture(path, c, error)) << error;
        std::size_t missing = 0, tmc = 0;
        for (const Group &g : c.groups) {
            missing += g.missing != 0;
            tmc += !g.blockMissing(kBlockB) && (g.block[kBlockB] >> 11) == 0x10;
        }
        EXPECT_EQ(c.groups.size(), e.groups) << e.file;
        EXPECT_EQ(missing, e.withMissing) << e.file;
        EXPECT_EQ(tmc, e.tmc8A) << e.file;
    }
}
