// RDS group generator: block layouts, text reassembly, TMC and clock fields,
// the broadcast mix.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "rdsgen.h"

using namespace rds;

namespace {

GeneratorConfig Config() {
    GeneratorConfig c;
    c.pi = 0xD318;
    c.ps = "TAVRINEL";
    c.radiotext = "Stau auf der A5";
    c.pty = 10;
    c.tp = true;
    c.tmc = true;
    c.ltn = 1;
    c.sid = 10;
    c.start = {2024, 5, 6, 8, 30, 4};
    return c;
}

unsigned Bits(std::uint16_t word, unsigned shift, unsigned width) {
    return (word >> shift) & ((1u << width) - 1);
}

} // namespace

TEST(RdsGenerator, BlockBCarriesTypeVersionTpPty) {
    const GeneratorConfig c = Config();
    const Group g = MakePsGroup(c, 2, 0xE0CD);
    EXPECT_EQ(g.block[kBlockA], 0xD318);
    EXPECT_EQ(Bits(g.block[kBlockB], 12, 4), 0u); // type 0
    EXPECT_EQ(Bits(g.block[kBlockB], 11, 1), 0u); // version A
    EXPECT_EQ(Bits(g.block[kBlockB], 10, 1), 1u); // TP
    EXPECT_EQ(Bits(g.block[kBlockB], 5, 5), 10u); // PTY
    EXPECT_EQ(Bits(g.block[kBlockB], 0, 2), 2u);  // segment address
    EXPECT_EQ(g.block[kBlockC], 0xE0CD);
    EXPECT_EQ(g.block[kBlockD], ('I' << 8) | 'N'); // characters 4 and 5
    EXPECT_EQ(MakeTmcUserGroup(c, {}).typeCode(), 8u);
    EXPECT_EQ(MakeRadiotextGroup(c, 0, false).typeCode(), 2u);
    EXPECT_EQ(MakeClockGroup(c, c.start).typeCode(), 4u);
    EXPECT_EQ(MakeTmcSystemGroup(c, 0).typeCode(), 3u);
}

TEST(RdsGenerator, PsAndRadiotextReassembleFromTheStream) {
    GroupGenerator gen(Config());
    std::string ps(8, '?');
    std::string rt(64, '?');
    std::map<unsigned, int> seen;
    for (int i = 0; i < 400; ++i) {
        const Group g = gen.next();
        EXPECT_EQ(g.block[kBlockA], 0xD318);
        if (g.typeCode() == 0) {
            const unsigned seg = g.block[kBlockB] & 3;
            ps[2 * seg] = static_cast<char>(g.block[kBlockD] >> 8);
            ps[2 * seg + 1] = static_cast<char>(g.block[kBlockD] & 0xFF);
        } else if (g.typeCode() == 2) {
            const unsigned seg = g.block[kBlockB] & 15;
            ++seen[seg];
            rt[4 * seg] = static_cast<char>(g.block[kBlockC] >> 8);
            rt[4 * seg + 1] = static_cast<char>(g.block[kBlockC] & 0xFF);
            rt[4 * seg + 2] = static_cast<char>(g.block[kBlockD] >> 8);
            rt[4 * seg + 3] = static_cast<char>(g.block[kBlockD] & 0xFF);
        }
    }
    EXPECT_EQ(ps, "TAVRINEL");
    // 15 characters + CR = 16 = 4 segments; the text ends at the CR.
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(rt.substr(0, rt.find('\r')), "Stau auf der A5");
    EXPECT_EQ(RadiotextSegments(std::string(64, 'x')), 16u);
    EXPECT_EQ(RadiotextSegments("abc"), 1u);
}

TEST(RdsGenerator, ShortPsIsPaddedWithSpaces) {
    GeneratorConfig c = Config();
    c.ps = "POP";
    EXPECT_EQ(MakePsGroup(c, 1, 0).block[kBlockD], ('P' << 8) | ' ');
    EXPECT_EQ(MakePsGroup(c, 3, 0).block[kBlockD], (' ' << 8) | ' ');
}

TEST(RdsGenerator, ClockTimeFields) {
    GeneratorConfig c = Config();
    // 2024-05-06 is MJD 60436.
    EXPECT_EQ(ModifiedJulianDay(2024, 5, 6), 60436u);
    EXPECT_EQ(ModifiedJulianDay(1858, 11, 17), 0u);
    const Group g = MakeClockGroup(c, {2024, 5, 6, 19, 42, -3});
    const std::uint32_t mjd = (Bits(g.block[kBlockB], 0, 2) << 15) | Bits(g.block[kBlockC], 1, 15);
    EXPECT_EQ(mjd, 60436u);
    const unsigned hour = (Bits(g.block[kBlockC], 0, 1) << 4) | Bits(g.block[kBlockD], 12, 4);
    EXPECT_EQ(hour, 19u);
    EXPECT_EQ(Bits(g.block[kBlockD], 6, 6), 42u);
    EXPECT_EQ(Bits(g.block[kBlockD], 5, 1), 1u); // negative offset
    EXPECT_EQ(Bits(g.block[kBlockD], 0, 5), 3u);
}

TEST(RdsGenerator, ClockGoesOutAtStartAndEachMinute) {
    GeneratorConfig c = Config();
    c.start = {2024, 12, 31, 23, 59, 0};
    GroupGenerator gen(c);
    std::vector<Group> clocks;
    // 1400 groups = 122.6 s: the start, and the minute changes at 60 s and 120 s.
    for (int i = 0; i < 1400; ++i) {
        const Group g = gen.next();
        if (g.typeCode() == 4)
            clocks.push_back(g);
    }
    ASSERT_EQ(clocks.size(), 3u);
    // The second crosses midnight into the new year.
    const Group &g = clocks[1];
    const std::uint32_t mjd = (Bits(g.block[kBlockB], 0, 2) << 15) | Bits(g.block[kBlockC], 1, 15);
    EXPECT_EQ(mjd, ModifiedJulianDay(2025, 1, 1));
    EXPECT_EQ(Bits(g.block[kBlockD], 6, 6), 0u);
}

TEST(RdsGenerator, TmcSystemGroupAnnouncesTheOda) {
    const GeneratorConfig c = Config();
    const Group v0 = MakeTmcSystemGroup(c, 0);
    EXPECT_EQ(v0.block[kBlockD], kTmcAid);
    EXPECT_EQ(Bits(v0.block[kBlockB], 0, 5), 0x10u); // application group 8A
    EXPECT_EQ(Bits(v0.block[kBlockC], 14, 2), 0u);
    EXPECT_EQ(Bits(v0.block[kBlockC], 6, 6), 1u); // LTN
    const Group v1 = MakeTmcSystemGroup(c, 1);
    EXPECT_EQ(Bits(v1.block[kBlockC], 14, 2), 1u);
    EXPECT_EQ(Bits(v1.block[kBlockC], 6, 6), 10u); // SID
}

TEST(RdsGenerator, TmcUserMessageFields) {
    const GeneratorConfig c = Config();
    TmcMessage m;
    m.event = 101;
    m.location = 12345;
    m.extent = 3;
    m.duration = 5;
    m.direction = true;
    const Group g = MakeTmcUserGroup(c, m);
    EXPECT_EQ(Bits(g.block[kBlockB], 4, 1), 0u); // user message, not tuning info
    EXPECT_EQ(Bits(g.block[kBlockB], 3, 1), 1u); // single group
    EXPECT_EQ(Bits(g.block[kBlockB], 0, 3), 5u);
    EXPECT_EQ(Bits(g.block[kBlockC], 15, 1), 0u);
    EXPECT_EQ(Bits(g.block[kBlockC], 14, 1), 1u);
    EXPECT_EQ(Bits(g.block[kBlockC], 11, 3), 3u);
    EXPECT_EQ(Bits(g.block[kBlockC], 0, 11), 101u);
    EXPECT_EQ(g.block[kBlockD], 12345);
}

TEST(RdsGenerator, BroadcastMixAndReproducibility) {
    GroupGenerator a(Config());
    GroupGenerator b(Config());
    std::map<unsigned, int> types;
    const int total = 2500;
    for (int i = 0; i < total; ++i) {
        const Group g = a.next();
        EXPECT_EQ(g.block, b.next().block);
        EXPECT_FALSE(g.versionB());
        ++types[g.typeCode()];
        if (g.typeCode() == 8) {
            EXPECT_LT(Bits(g.block[kBlockC], 0, 11), 2048u);
            EXPECT_GE(g.block[kBlockD], 1000);
        }
    }
    const double share8A = static_cast<double>(types[8]) / total;
    EXPECT_NEAR(share8A, 0.16, 0.02);
    EXPECT_GT(types[3], 0);
    EXPECT_GT(types[4], 0);
    EXPECT_GT(types[2], 0);
    EXPECT_GT(types[0], types[3]);

    GeneratorConfig plain = Config();
    plain.tmc = false;
    plain.radiotext.clear();
    plain.clock = false;
    GroupGenerator p(plain);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(p.next().typeCode(), 0u);
}

TEST(RdsGenerator, AlternativeFrequenciesInMethodA) {
    GeneratorConfig c = Config();
    c.tmc = false;
    c.radiotext.clear();
    c.clock = false;
    c.afKHz = {94400, 101300, 88000};
    GroupGenerator gen(c);
    std::vector<std::uint16_t> words;
    for (int i = 0; i < 4; ++i)
        words.push_back(gen.next().block[kBlockC]);
    EXPECT_EQ(words[0], ((224 + 3) << 8) | ((94400 - 87500) / 100));
    EXPECT_EQ(words[1], (((101300 - 87500) / 100) << 8) | ((88000 - 87500) / 100));
    EXPECT_EQ(words[2], words[0]);
}
