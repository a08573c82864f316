// Real broadcast captures replayed through the framer as raw stack bytes,
// as the stack's capture playback sends them: a block the receiver could
// not decode ("----") arrives with a damaged status byte. The groups
// delivered must be the undamaged groups of the station, in order.
#include <algorithm>
#include <filesystem>
#include <map>
#include <random>

#include "capture.h"
#include "lumarc_test.h"

using namespace lumarctest;

namespace {

class CaptureTest : public LumarcTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(CaptureTest, UndamagedGroupsOfTheStationAreDeliveredInOrder) {
    const std::filesystem::path path = std::filesystem::path(TAVRINEL_CAPTURE_DIR) / GetParam();
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "capture not found: " << path
                     << " (real captures are not in the repository)";
    rds::Capture capture;
    std::string error;
    ASSERT_TRUE(rds::ReadCapture(path.string(), capture, error)) << error;
    ASSERT_GT(capture.groups.size(), 1000u);
    // The station: the PI code of most groups (a capture may begin elsewhere).
    std::map<uint16_t, size_t> piCounts;
    for (const rds::Group &group : capture.groups)
        if (!group.blockMissing(rds::kBlockA))
            ++piCounts[group.block[rds::kBlockA]];
    const uint16_t pi = std::max_element(piCounts.begin(), piCounts.end(), [](auto &a, auto &b) {
                            return a.second < b.second;
                        })->first;
    size_t stationGroups = 0;

    std::vector<uint8_t> stream;
    std::vector<rds::Group> expected;
    for (const rds::Group &group : capture.groups) {
        rds::AppendRawGroup(group, stream);
        if (group.missing == 0) {
            expected.push_back(group);
            stationGroups += group.block[rds::kBlockA] == pi ? 1 : 0;
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
        while (next < expected.size() && !(expected[next].block[rds::kBlockB] == group.wBlockB &&
                                           expected[next].block[rds::kBlockC] == group.wBlockC &&
                                           expected[next].block[rds::kBlockD] == group.wBlockD))
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
