// Real broadcast captures replayed through the framer as raw stack bytes.
// Each decoded block gets its expected status byte; a block the receiver
// could not decode ("----") is sent with a damaged status byte. The groups
// delivered must be the undamaged groups of the station, in order.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "lumarc_test.h"

using namespace lumarctest;

namespace {

struct LoggedGroup {
    std::array<int, 4> blocks; // -1: not decoded
};

std::vector<LoggedGroup> ReadCapture(const std::filesystem::path &path) {
    std::vector<LoggedGroup> groups;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '%' || line[0] == '<')
            continue;
        std::istringstream fields(line);
        LoggedGroup group{};
        bool good = true;
        for (int &block : group.blocks) {
            std::string text;
            fields >> text;
            if (text == "----")
                block = -1;
            else if (text.size() == 4)
                block = std::stoi(text, nullptr, 16);
            else
                good = false;
        }
        if (good)
            groups.push_back(group);
    }
    return groups;
}

class CaptureTest : public LumarcTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(CaptureTest, UndamagedGroupsOfTheStationAreDeliveredInOrder) {
    const std::filesystem::path path = std::filesystem::path(TAVRINEL_CAPTURE_DIR) / GetParam();
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "capture not found: " << path
                     << " (real captures are not in the repository)";
    const std::vector<LoggedGroup> capture = ReadCapture(path);
    ASSERT_GT(capture.size(), 1000u);
    // The station: the PI code of most groups (a capture may begin elsewhere).
    std::map<int, size_t> piCounts;
    for (const LoggedGroup &group : capture)
        ++piCounts[group.blocks[0]];
    piCounts.erase(-1);
    const int pi = std::max_element(piCounts.begin(), piCounts.end(), [](auto &a, auto &b) {
                       return a.second < b.second;
                   })->first;
    size_t stationGroups = 0;

    std::vector<uint8_t> stream;
    std::vector<LoggedGroup> expected;
    static const uint8_t status[4] = {0x20, 0x21, 0x22, 0x24};
    bool damaged = false;
    for (const LoggedGroup &group : capture) {
        damaged = false;
        for (int b = 0; b < 4; ++b) {
            const int data = group.blocks[b] < 0 ? 0 : group.blocks[b];
            stream.push_back(uint8_t(data >> 8));
            stream.push_back(uint8_t(data));
            stream.push_back(group.blocks[b] < 0 ? uint8_t(status[b] | 0x10) : status[b]);
            damaged = damaged || group.blocks[b] < 0;
        }
        if (!damaged) {
            expected.push_back(group);
            stationGroups += group.blocks[0] == pi ? 1 : 0;
        }
    }
    stream.push_back(0); // the last group needs a byte after it

    ASSERT_NO_FATAL_FAILURE(Open());
    FMSetProp(session, FMPROP_RDS_CALLBACK, reinterpret_cast<DWORD_PTR>(&CaptureGroup));
    std::mt19937 random(1187);
    for (size_t at = 0; at < stream.size();) {
        const size_t run = std::min<size_t>(stream.size() - at, 12 + random() % 53);
        fakestack::DeliverRds(std::vector<uint8_t>(stream.begin() + at, stream.begin() + at + run));
        at += run;
    }

    // Every delivered group is the next undamaged line (or a later one).
    const auto groups = Groups();
    size_t next = 0;
    for (const RdsGroupRecord &group : groups) {
        while (next < expected.size() && !(expected[next].blocks[1] == group.wBlockB &&
                                           expected[next].blocks[2] == group.wBlockC &&
                                           expected[next].blocks[3] == group.wBlockD))
            ++next;
        ASSERT_LT(next, expected.size()) << "a group that is not in the capture";
        EXPECT_EQ(group.dwBlockErrors, 0u);
        ++next;
    }
    // Only groups between damaged ones, while the lock is re-acquired, are missed.
    EXPECT_GE(groups.size() * 100, stationGroups * 95) << groups.size() << " of " << stationGroups;
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureTest,
                         ::testing::Values("at-A203-oe1-tmc.rds", "de-D395-wdr5-tmc.spy",
                                           "fr-FE37-tmc.spy", "pl-3205-radiozet-noisy.rds",
                                           "uk-C36C-heart-tmc.rds"));

} // namespace
