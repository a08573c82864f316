// Real off-air captures replayed through the FM stack simulator and the
// tuner library: every group the library delivers must be one of the
// capture's acceptable groups (all four blocks decoded, the station's PI),
// in capture order, each at most once; and next to none may go missing.
// A capture may hold more than one station (the recording receiver was
// retuned): the framer then follows the new PI, so every decoded group
// counts, whatever its PI.
#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/captures.h"

#include <fmapi.h>
#include <fmsim.h>
#include <platform/emulation.h>
#include <windows.h>

namespace {

using Group = std::array<WORD, 4>;

// The capture's decoded groups and its most frequent PI, read on their own terms: lines of four
// 4-digit hex blocks ("----" marks a block the receiver lost), headers
// skipped. Independent of the simulator's own capture reader.
std::vector<Group> AcceptableGroups(const std::string &path, WORD &pi, size_t &lines) {
    std::ifstream in(path);
    std::vector<Group> groups;
    std::map<WORD, size_t> piCounts;
    std::string line;
    lines = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string block[4];
        if (!(fields >> block[0] >> block[1] >> block[2] >> block[3]))
            continue;
        bool decoded = true, wellFormed = true;
        Group g{};
        for (int i = 0; i < 4; ++i) {
            if (block[i] == "----") {
                decoded = false;
                continue;
            }
            if (block[i].size() != 4 ||
                !std::all_of(block[i].begin(), block[i].end(), ::isxdigit)) {
                wellFormed = false;
                break;
            }
            g[i] = static_cast<WORD>(std::stoul(block[i], nullptr, 16));
        }
        if (!wellFormed)
            continue;
        ++lines;
        if (decoded) {
            groups.push_back(g);
            ++piCounts[g[0]];
        }
    }
    pi = 0;
    size_t best = 0;
    for (const auto &[code, count] : piCounts)
        if (count > best)
            best = count, pi = code;
    return groups;
}

std::mutex receivedLock;
std::vector<Group> received;

void OnGroup(HFMTUNER, const RdsGroupRecord *r) {
    std::lock_guard<std::mutex> guard(receivedLock);
    received.push_back({r->wBlockA, r->wBlockB, r->wBlockC, r->wBlockD});
}

class CaptureReplay : public ::testing::TestWithParam<const char *> {};

TEST_P(CaptureReplay, DeliversTheAcceptableGroupsInOrder) {
    const std::string path = std::string(TAVRINEL_CAPTURE_DIR) + "/" + GetParam();
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "capture " << path << " is absent; real captures are not part of the "
                     << "repository (see ../shared/rds/README.md)";
    platform::SetClockSpeed(10);
    WORD pi = 0;
    size_t lines = 0;
    const std::vector<Group> expected = AcceptableGroups(path, pi, lines);
    ASSERT_FALSE(expected.empty());

    const std::string scenario = "seed 1\nlatency 1\nrate 50\nruns 12 64\n"
                                 "errors block=0 status=0 lost=0 extra=0\n"
                                 "station 90000 signal=45 rds=capture file=\"" +
                                 path + "\"\n";
    char error[256] = {0};
    ASSERT_TRUE(
        FmsimLoadScenarioText(scenario.data(), scenario.size(), "replay.scn", error, sizeof error))
        << error;
    {
        std::lock_guard<std::mutex> guard(receivedLock);
        received.clear();
    }

    HFMTUNER tuner = FMOpen(0);
    ASSERT_NE(tuner, nullptr) << GetLastError();
    ASSERT_EQ(FMSetProp(tuner, FMPROP_RDS_CALLBACK, reinterpret_cast<DWORD_PTR>(&OnGroup)), 0u);
    ASSERT_EQ(FMPowerOn(tuner, 1, FMBAND_CCIR), 0u);
    FmsimResetCounters();
    ASSERT_EQ(FMSetProp(tuner, FMPROP_FREQUENCY, 90000), 0u);

    // The simulator loops the capture: wait, on the device clock, until the
    // library has delivered as many groups as one round holds and a few
    // more, or the simulator has begun the capture a second time over.
    const DWORD start = GetTickCount();
    FmsimCounters counters{};
    for (;;) {
        Sleep(20);
        FmsimGetCounters(&counters);
        size_t delivered = 0;
        {
            std::lock_guard<std::mutex> guard(receivedLock);
            delivered = received.size();
        }
        if (delivered >= expected.size() + 3 || counters.rdsGroups >= 2 * lines + 3 ||
            GetTickCount() - start > 600000)
            break;
    }
    FmsimPauseRds(1);
    EXPECT_EQ(FMPowerOn(tuner, 0, FMBAND_CCIR), 0u);
    EXPECT_EQ(FMClose(tuner), 0u);
    FmsimPauseRds(0);
    FmsimUseDefaultScenario();
    ASSERT_GE(counters.rdsGroups, lines) << "the simulator did not play the whole capture";

    std::vector<Group> got;
    {
        std::lock_guard<std::mutex> guard(receivedLock);
        got = received;
    }
    // A station broadcasts whether or not anyone listens, so the replay may
    // begin anywhere in the capture. Find where: among the places holding
    // the first delivered group, the one from which the first few delivered
    // groups follow most tightly.
    ASSERT_FALSE(got.empty());
    const size_t n = expected.size();
    auto span = [&](size_t from, size_t count) {
        size_t next = from;
        for (size_t i = 0; i < count; ++i) {
            while (next < from + 2 * n && expected[next % n] != got[i])
                ++next;
            if (next == from + 2 * n)
                return 2 * n;
            ++next;
        }
        return next - from;
    };
    size_t origin = n, tightest = 2 * n + 1;
    const size_t probe = std::min<size_t>(got.size(), 32);
    for (size_t s = 0; s < n; ++s) {
        if (expected[s] != got[0])
            continue;
        const size_t width = span(s, probe);
        if (width < tightest)
            tightest = width, origin = s;
    }
    ASSERT_LT(origin, n) << "the first delivered group is not in the capture";
    // Greedy subsequence match from there over two rounds of the capture;
    // the groups matched within one round are the ones delivered of it.
    size_t next = origin, firstRound = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        while (next < origin + 2 * n && expected[next % n] != got[i])
            ++next;
        ASSERT_LT(next, origin + 2 * n)
            << "group " << i << " (PI " << std::hex << got[i][0] << " B " << got[i][1]
            << ") is not the capture's next acceptable group";
        if (next < origin + n)
            ++firstRound;
        ++next;
    }
    const size_t lost = expected.size() - firstRound;
    RecordProperty("groups_in_capture", static_cast<int>(lines));
    RecordProperty("acceptable", static_cast<int>(expected.size()));
    RecordProperty("delivered", static_cast<int>(firstRound));
    std::printf("%s: %zu groups, %zu acceptable (PI %04X), %zu delivered, %zu lost\n", GetParam(),
                lines, expected.size(), pi, firstRound, lost);
    // Groups are lost only while the framer (re)acquires a station: a
    // handful at the start, at a change of PI and after long stretches of
    // damaged groups.
    EXPECT_LE(lost, 5 + expected.size() / 50);
}

INSTANTIATE_TEST_SUITE_P(RealCaptures, CaptureReplay,
                         ::testing::Values("de-D395-wdr5-tmc.spy", "at-A203-oe1-tmc.rds",
                                           "pl-3205-radiozet-noisy.rds", "fr-FE37-tmc.spy",
                                           "uk-C36C-heart-tmc.rds"),
                         testsupport::CaptureTestName<CaptureReplay::ParamType>);

} // namespace
