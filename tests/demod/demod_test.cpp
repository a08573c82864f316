#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <gtest/gtest.h>

#include "demod/rds_demod.h"
#include "support/rds_modulator.h"
#include "support/temp_folder.h"

namespace {

using testsupport::TxGroup;

// Groups like a station's: PI D395, type 0A/2A/8A in turn and, every fifth,
// a version B group, whose third block carries offset C'.
std::vector<TxGroup> StationGroups(std::size_t count) {
    std::vector<TxGroup> groups(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto n = static_cast<std::uint16_t>(i);
        TxGroup &g = groups[i];
        if (i % 5 == 4)
            g.blocks = {0xD395, static_cast<std::uint16_t>(0xF800 | (n & 0x1F)), 0xD395,
                        static_cast<std::uint16_t>(0x1000 + n)};
        else
            g.blocks = {0xD395, static_cast<std::uint16_t>(((i % 3) * 0x4000 | 0x0400) + (n & 7)),
                        static_cast<std::uint16_t>(0xE000 ^ (n * 0x0101)),
                        static_cast<std::uint16_t>(0x5744 + 3 * n)};
    }
    return groups;
}

std::vector<std::string> Lines(const std::vector<TxGroup> &groups) {
    std::vector<std::string> lines;
    for (const TxGroup &g : groups)
        lines.push_back(testsupport::FormatTxGroup(g));
    return lines;
}

std::vector<std::string> Lines(const std::vector<demod::Group> &groups) {
    std::vector<std::string> lines;
    for (const demod::Group &g : groups)
        lines.push_back(demod::FormatGroup(g));
    return lines;
}

std::vector<float> Mpx(const std::vector<TxGroup> &groups, const testsupport::MpxOptions &options) {
    testsupport::MpxModulator modulator(groups, options);
    std::vector<float> samples(modulator.TotalSamples());
    samples.resize(modulator.Generate(samples));
    return samples;
}

std::vector<std::uint8_t> Iq(const std::vector<TxGroup> &groups,
                             const testsupport::IqOptions &options) {
    testsupport::IqModulator modulator(groups, options);
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> chunk(1 << 16);
    while (const std::size_t n = modulator.Generate(chunk))
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    return bytes;
}

std::vector<demod::Group> Receive(const std::vector<float> &mpx, double rate) {
    demod::MpxDemodulator receiver(rate);
    std::vector<demod::Group> got;
    receiver.Process(mpx, got);
    return got;
}

// Channel bits of groups as the transmitter sends them (differentially
// coded), as soft values +-1 with Gaussian noise.
std::vector<float> ChannelBits(const std::vector<TxGroup> &groups, std::size_t lead_in,
                               float noise = 0.0F) {
    std::mt19937 random(7);
    std::vector<bool> data;
    for (std::size_t i = 0; i < lead_in; ++i)
        data.push_back((random() & 1U) != 0);
    for (const TxGroup &g : groups) {
        const bool version_b = (g.blocks[1] & 0x0800) != 0;
        const demod::Offset offsets[4] = {demod::Offset::A, demod::Offset::B,
                                          version_b ? demod::Offset::CPrime : demod::Offset::C,
                                          demod::Offset::D};
        for (std::size_t b = 0; b < 4; ++b) {
            const std::uint32_t word = (static_cast<std::uint32_t>(g.blocks[b]) << 10) |
                                       demod::CheckWord(g.blocks[b], offsets[b]);
            for (int k = 25; k >= 0; --k)
                data.push_back(((word >> k) & 1U) != 0);
        }
    }
    std::vector<float> soft;
    std::normal_distribution<float> gaussian(0.0F, noise);
    bool channel = false;
    for (bool bit : data) {
        channel = channel != bit;
        soft.push_back((channel ? 1.0F : -1.0F) + (noise > 0.0F ? gaussian(random) : 0.0F));
    }
    return soft;
}

std::vector<demod::Group> Decode(const std::vector<float> &soft) {
    demod::BlockDecoder decoder;
    std::vector<demod::Group> got;
    for (float v : soft)
        decoder.Push(v, got);
    return got;
}

TEST(RdsBlocks, CheckwordsAndSyndromesFollowTheBlockCode) {
    // Known blocks, checked against the code's parity-check matrix.
    EXPECT_EQ(demod::CheckWord(0xD395, demod::Offset::A), 0x136);
    EXPECT_EQ(demod::CheckWord(0x3110, demod::Offset::B), 0x25F);
    EXPECT_EQ(demod::CheckWord(0x0000, demod::Offset::D), 0x1B4);
    const std::uint32_t block = (0xD395U << 10) | 0x136U;
    EXPECT_EQ(demod::Syndrome(block), demod::OffsetWord(demod::Offset::A));
    // No single wrong bit leaves a block looking good at any place.
    for (int bit = 0; bit < 26; ++bit) {
        const std::uint16_t syndrome = demod::Syndrome(block ^ (1U << bit));
        for (int o = 0; o < 5; ++o)
            EXPECT_NE(syndrome, demod::OffsetWord(static_cast<demod::Offset>(o))) << bit;
    }
    demod::Group group;
    group.blocks = {0xD395, 0x0000, 0xABCD, 0x00FF};
    group.decoded = {true, false, true, true};
    EXPECT_EQ(demod::FormatGroup(group), "D395 ---- ABCD 00FF");
}

TEST(BlockDecoder, ReportsEachGroupOnceInOrderWhenItsLastBlockHasPassed) {
    const std::vector<TxGroup> groups = StationGroups(12);
    std::vector<float> soft = ChannelBits(groups, 50);
    demod::BlockDecoder decoder;
    std::vector<demod::Group> got;
    for (std::size_t i = 0; i < soft.size(); ++i) {
        decoder.Push(soft[i], got);
        // Synchronised from the third block on: from then on each group is
        // out as soon as its block D is in, not when the next A comes.
        const std::size_t bits = i + 1 - 50;
        if (i + 1 > 50 + 78 && (bits % 104) == 0) {
            ASSERT_EQ(got.size(), bits / 104) << "after bit " << i;
        }
    }
    EXPECT_EQ(Lines(got), Lines(groups));

    // Three strongly wrong bits: a block lost, its group still reported once;
    // one doubtful wrong bit: repaired.
    soft = ChannelBits(groups, 50, 0.2F);
    const std::size_t b_of_third = 50 + 2 * 104 + 26;
    for (std::size_t k : {3, 9, 17})
        soft[b_of_third + k] = -soft[b_of_third + k];
    const std::size_t c_of_fifth = 50 + 4 * 104 + 52;
    soft[c_of_fifth + 11] = soft[c_of_fifth + 11] > 0.0F ? -0.1F : 0.1F;
    std::vector<std::string> expected = Lines(groups);
    expected[2].replace(5, 4, "----");
    EXPECT_EQ(Lines(Decode(soft)), expected);
}

TEST(BlockDecoder, InventsNothingFromRandomBitsAndRecoversFromABitSlip) {
    std::mt19937 random(3);
    std::vector<float> noise(200000);
    for (float &v : noise)
        v = static_cast<float>(random() % 2001) / 1000.0F - 1.0F;
    EXPECT_TRUE(Decode(noise).empty());

    // A bit lost mid-stream: the groups before and well after it come out,
    // none twice, none altered.
    const std::vector<TxGroup> groups = StationGroups(30);
    std::vector<float> soft = ChannelBits(groups, 50);
    soft.erase(soft.begin() + 50 + 10 * 104 + 40);
    const std::vector<std::string> got = Lines(Decode(soft));
    const std::vector<std::string> sent = Lines(groups);
    std::size_t next = 0;
    std::size_t whole = 0;
    for (const std::string &line : got) {
        while (next < sent.size() && sent[next].substr(0, 4) != line.substr(0, 4))
            ++next;
        std::size_t match = next;
        // Each line is a sent group, possibly with lost blocks, and later
        // than the previous line's.
        bool found = false;
        for (; match < sent.size() && !found; ++match) {
            found = true;
            for (std::size_t c = 0; c < line.size(); ++c)
                if (line[c] != sent[match][c] && line.compare(c - c % 5, 4, "----") != 0)
                    found = false;
        }
        ASSERT_TRUE(found) << line;
        whole += line == sent[match - 1] ? 1 : 0;
        next = match;
    }
    EXPECT_GE(whole, 26U);
}

struct RoundTrip {
    double rate;
    bool pilot;
};

class MpxRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(MpxRoundTrip, EveryGroupComesOutIdenticalAndInOrder) {
    const std::vector<TxGroup> groups = StationGroups(25);
    testsupport::MpxOptions options;
    options.rate = GetParam().rate;
    options.pilot = GetParam().pilot;
    const std::vector<float> mpx = Mpx(groups, options);
    EXPECT_EQ(Lines(Receive(mpx, options.rate)), Lines(groups));

    // The same as bytes, in awkward pieces, for the s16le entry point.
    const std::vector<std::uint8_t> bytes = testsupport::ToS16le(mpx);
    demod::MpxDemodulator receiver(options.rate);
    std::vector<demod::Group> got;
    for (std::size_t at = 0, step = 1; at < bytes.size(); at += step, step = step * 3 % 4097)
        receiver.ProcessS16le(
            std::span<const std::uint8_t>(bytes.data() + at, std::min(step, bytes.size() - at)),
            got);
    EXPECT_EQ(Lines(got), Lines(groups));
}

INSTANTIATE_TEST_SUITE_P(Rates, MpxRoundTrip,
                         testing::Values(RoundTrip{171000.0, true}, RoundTrip{171000.0, false},
                                         RoundTrip{228000.0, true}, RoundTrip{250000.0, true}),
                         [](const testing::TestParamInfo<RoundTrip> &info) {
                             return std::to_string(static_cast<int>(info.param.rate)) +
                                    (info.param.pilot ? "_pilot" : "_no_pilot");
                         });

TEST(MpxReception, SampleRateErrorOf200PpmAndNoiseStillDecode) {
    const std::vector<TxGroup> groups = StationGroups(25);
    for (double ppm : {-200.0, 200.0}) {
        testsupport::MpxOptions options;
        options.ppm = ppm;
        options.ebn0_db = 12.0;
        options.seed = 11;
        EXPECT_EQ(Lines(Receive(Mpx(groups, options), options.rate)), Lines(groups)) << ppm;
    }
}

TEST(MpxReception, CaptureWithLostBlocksComesBackWithTheSameGaps) {
    const std::string path = std::string(TAVRINEL_CAPTURE_DIR) + "/pl-3205-radiozet-noisy.rds";
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "real RDS captures absent: " << path;
    const std::vector<TxGroup> groups = testsupport::ReadCaptureGroups(path, 60);
    ASSERT_EQ(groups.size(), 60U);
    std::size_t with_gaps = 0;
    for (const TxGroup &g : groups)
        with_gaps += (g.missing[0] || g.missing[1] || g.missing[2] || g.missing[3]) ? 1 : 0;
    ASSERT_GT(with_gaps, 3U);
    testsupport::MpxOptions options;
    options.ebn0_db = 15.0;
    // A group with no block at all is never reported.
    std::vector<std::string> expected;
    for (const std::string &line : Lines(groups))
        if (line != "---- ---- ---- ----")
            expected.push_back(line);
    EXPECT_EQ(Lines(Receive(Mpx(groups, options), options.rate)), expected);
}

TEST(IqReception, FmAtAMegasampleRoundTrips) {
    const std::vector<TxGroup> groups = StationGroups(20);
    testsupport::IqOptions options;
    options.rate = 1024000.0;
    options.cnr_db = 20.0;
    const std::vector<std::uint8_t> bytes = Iq(groups, options);
    demod::IqDemodulator receiver(options.rate);
    std::vector<demod::Group> got;
    // An odd split: the receiver keeps the unpaired byte.
    const std::size_t half = bytes.size() / 2 + 1;
    receiver.ProcessCu8(std::span<const std::uint8_t>(bytes.data(), half), got);
    receiver.ProcessCu8(std::span<const std::uint8_t>(bytes.data() + half, bytes.size() - half),
                        got);
    EXPECT_EQ(Lines(got), Lines(groups));
    EXPECT_TRUE(receiver.GetStatus().pilot_locked);
}

TEST(Reception, NoiseAndHostileInputGiveNoGroupsAndNoCrash) {
    testsupport::Gaussian noise(9);
    std::vector<float> mpx(171000 * 20);
    for (float &v : mpx)
        v = noise();
    EXPECT_TRUE(Receive(mpx, 171000.0).empty());

    std::vector<std::uint8_t> iq(2 * 1024000 * 4);
    for (std::uint8_t &b : iq)
        b = static_cast<std::uint8_t>(std::clamp(std::lround(127.5 + 40.0 * noise()), 0L, 255L));
    demod::IqDemodulator iq_receiver(1024000.0);
    std::vector<demod::Group> got;
    iq_receiver.ProcessCu8(iq, got);
    EXPECT_TRUE(got.empty());

    // Not-a-number, infinities, full-scale square waves, silence, nothing.
    std::vector<float> hostile(171000);
    for (std::size_t i = 0; i < hostile.size(); ++i) {
        const float values[] = {std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity(), -3.4e38F, 0.0F,
                                (i / 7) % 2 ? 1e30F : -1e30F};
        hostile[i] = values[(i / 10000) % 5];
    }
    demod::MpxDemodulator receiver(171000.0);
    receiver.Process(hostile, got);
    receiver.Process({}, got);
    receiver.ProcessS16le({}, got);
    const std::uint8_t lone = 0x7F;
    receiver.ProcessS16le(std::span<const std::uint8_t>(&lone, 1), got);
    EXPECT_TRUE(got.empty());
    // The receiver still works afterwards.
    const std::vector<TxGroup> groups = StationGroups(10);
    testsupport::MpxOptions options;
    receiver.Process(Mpx(groups, options), got);
    EXPECT_GE(got.size(), 8U);

    EXPECT_THROW(demod::MpxDemodulator(100000.0), std::invalid_argument);
    EXPECT_THROW(demod::MpxDemodulator{std::numeric_limits<double>::quiet_NaN()},
                 std::invalid_argument);
    EXPECT_THROW(demod::IqDemodulator(5e6), std::invalid_argument);
}

// Runs rdsdemod with a file on standard input; returns its exit status.
int RunCommand(const std::string &arguments, const std::string &input, const std::string &output,
               const std::string &errors) {
    const std::string command = std::string(RDSDEMOD_PATH) + " " + arguments + " <" + input + " >" +
                                output + " 2>" + errors;
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> ReadLines(const std::string &path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

void WriteFile(const std::string &path, const std::vector<std::uint8_t> &bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

TEST(RdsdemodCommand, PrintsTheGroupsOfPipedSamplesAndRejectsBadArguments) {
    testsupport::TempFolder folder("demod-test");
    ASSERT_FALSE(folder.Path().empty());
    const std::string out = folder.File("out");
    const std::string err = folder.File("err");

    const std::vector<TxGroup> groups = StationGroups(15);
    testsupport::MpxOptions options;
    options.ebn0_db = 15.0;
    std::vector<std::uint8_t> bytes = testsupport::ToS16le(Mpx(groups, options));
    bytes.push_back(0x42); // an odd byte count
    WriteFile(folder.File("mpx"), bytes);
    EXPECT_EQ(RunCommand("--mpx 171k", folder.File("mpx"), out, err), 0);
    EXPECT_EQ(ReadLines(out), Lines(groups));

    testsupport::IqOptions iq_options;
    iq_options.rate = 1024000.0;
    WriteFile(folder.File("iq"), Iq(StationGroups(8), iq_options));
    EXPECT_EQ(RunCommand("--iq 1024000", folder.File("iq"), out, err), 0);
    EXPECT_EQ(ReadLines(out), Lines(StationGroups(8)));

    WriteFile(folder.File("empty"), {});
    WriteFile(folder.File("one"), {0x01});
    for (const char *input : {"empty", "one"}) {
        EXPECT_EQ(RunCommand("--mpx 171000", folder.File(input), out, err), 0) << input;
        EXPECT_TRUE(ReadLines(out).empty()) << input;
        EXPECT_EQ(RunCommand("--iq 1.024M", folder.File(input), out, err), 0) << input;
    }

    EXPECT_EQ(RunCommand("--help", folder.File("empty"), out, err), 0);
    ASSERT_FALSE(ReadLines(out).empty());
    EXPECT_NE(ReadLines(out)[0].find("--mpx"), std::string::npos);
    for (const char *bad : {"", "--mpx", "--mpx 12", "--mpx abc", "--iq 171k --mpx 171k",
                            "--frobnicate", "--mpx 171k extra", "--iq 9e9"}) {
        EXPECT_EQ(RunCommand(bad, folder.File("empty"), out, err), 2) << bad;
        EXPECT_EQ(ReadLines(err).size(), 1U) << bad;
        EXPECT_TRUE(ReadLines(out).empty()) << bad;
    }
}

} // namespace
