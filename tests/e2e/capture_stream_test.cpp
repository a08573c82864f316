// Real off-air captures end to end: the phone boots headless with one
// station replaying a capture, fast, and the test reads its COM9 port as a
// navigation program would. Every $RTTMC sentence must carry a valid
// checksum and be the capture's next acceptable group (all four blocks
// decoded), formatted here from the capture on its own; nothing but
// $RTRDS tune reports may arrive beside them. The replay begins anywhere
// in the capture, begins again at each tune (the driver powers the radio
// on, then tunes) and loops; groups go missing only while the framer
// (re)acquires a station.
#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "support/captures.h"

#include "e2e_util.h"

namespace {

constexpr int kStartMs = 60000;     // boot and the link, under sanitizers too
constexpr int kExitMs = 60000;      // power-off, sped up by the device clock
constexpr double kSpeed = 10;       // device clock: the driver's sleeps shrink with it
constexpr double kRate = 5;         // RDS rate on the device clock: 50x broadcast in real time
constexpr size_t kMaxGroups = 2000; // groups covered per capture (a prefix of big ones)
constexpr size_t kProbe = 32;       // sentences that place a replay's origin
constexpr size_t kMaxSkip = 24;     // acceptable groups one loss may span
constexpr size_t kAcquire = 3;      // groups a replay may lose at its start
// Silence on the port after which the driver's 2048-byte buffer may have
// overflowed: at the rate here it holds about 110 ms of sentences.
constexpr auto kStarvedMs = std::chrono::milliseconds(80);

using Group = std::array<std::uint16_t, 4>;

struct Capture {
    size_t lines = 0;            // groups in the capture
    std::vector<Group> accepted; // all four blocks decoded
    // Per accepted group: may a framer lose it while (re)acquiring? Near a
    // damaged group or a change of PI (kRiskBefore lines before it, or
    // kRiskAfter after: acquiring needs the groups that follow too).
    std::vector<bool> atRisk;
};

constexpr size_t kRiskBefore = 8;
constexpr size_t kRiskAfter = 2;

// The capture by the shared line rules; a file they refuse fails the test.
Capture ReadCapture(const std::string &path) {
    Capture capture;
    rds::Capture groups;
    std::string error;
    EXPECT_TRUE(rds::ReadCapture(path, groups, error)) << error;
    std::vector<int> lineKey; // per line: the PI, or -1 when any block is missing
    std::vector<size_t> acceptedLine;
    for (const rds::Group &group : groups.groups) {
        const bool decoded = group.missing == 0;
        lineKey.push_back(decoded ? group.block[rds::kBlockA] : -1);
        if (decoded) {
            capture.accepted.push_back(group.block);
            acceptedLine.push_back(capture.lines);
        }
        ++capture.lines;
    }
    const size_t lines = capture.lines;
    for (size_t i = 0; i < capture.accepted.size(); ++i) {
        const size_t at = acceptedLine[i];
        bool risk = false;
        for (size_t k = 0; k <= kRiskBefore + kRiskAfter && !risk; ++k) {
            const size_t other = (at + k + (kRiskBefore / lines + 1) * lines - kRiskBefore) % lines;
            risk = lineKey[other] != static_cast<int>(capture.accepted[i][0]);
        }
        capture.atRisk.push_back(risk);
    }
    return capture;
}

// The sentence a receiver port owes a group: type = block B's top four
// bits in decimal, blocks in upper-case hex without leading zeros.
std::string Sentence(const Group &g) {
    char body[40];
    std::snprintf(body, sizeof body, "RTTMC,%u,%X,%X,%X,%X", static_cast<unsigned>(g[1] >> 12),
                  static_cast<unsigned>(g[0]), static_cast<unsigned>(g[1]),
                  static_cast<unsigned>(g[2]), static_cast<unsigned>(g[3]));
    return std::string("$") + body + "*" + e2e::Checksum(body);
}

// One replay (from a tune to the next): where in the capture it began and
// how far the sentences received have walked through it since.
struct Replay {
    size_t origin = 0;
    size_t next = 0;    // position after the last matched one (unwrapped)
    size_t matched = 0; // sentences matched
    bool placed = false;
};

// Follows the sentences through the capture: each must be the capture's
// next acceptable group, allowing a short run of lost ones before it; a
// replay may wrap around the capture's end (the simulator loops it).
class Matcher {
public:
    Matcher(const std::vector<std::string> &expected, const std::vector<bool> &atRisk)
        : expected_(expected), atRisk_(atRisk) {
        for (size_t i = 0; i < expected_.size(); ++i)
            positions_[expected_[i]].push_back(i);
    }

    // A tune report: the replay begins again somewhere else.
    std::string Tune() {
        std::string why = Finish();
        replays_.emplace_back();
        return why;
    }

    // Feeds one $RTTMC sentence; answers "" or what is wrong with it.
    // `starved`: the port was silent long enough before it for the driver's
    // buffer to overflow (the machine starved the reader), so a gap there is
    // no fault of the chain: the replay is placed again from this sentence.
    std::string Feed(const std::string &sentence, bool starved) {
        if (positions_.find(sentence) == positions_.end())
            return "not one of the capture's acceptable groups";
        if (replays_.empty())
            replays_.emplace_back();
        Replay &r = replays_.back();
        if (r.placed) {
            std::string why = Step(r, sentence);
            if (why.empty() || !starved)
                return why;
            ++starvations_;
            replays_.emplace_back();
            pending_.push_back(sentence);
            return {};
        }
        pending_.push_back(sentence);
        return pending_.size() < kProbe ? std::string() : Place(r);
    }

    // Places a replay that ended before its probe filled.
    std::string Finish() {
        if (replays_.empty() || replays_.back().placed || pending_.empty())
            return {};
        return Place(replays_.back());
    }

    // Capture positions walked and sentences matched, over all replays.
    [[nodiscard]] size_t Covered() const {
        size_t sum = 0;
        for (const Replay &r : replays_)
            sum += r.next - r.origin;
        return sum;
    }
    [[nodiscard]] size_t Matched() const {
        size_t sum = 0;
        for (const Replay &r : replays_)
            sum += r.matched;
        return sum;
    }
    [[nodiscard]] size_t Replays() const { return replays_.size(); }
    [[nodiscard]] size_t LongestSkip() const { return longestSkip_; }
    [[nodiscard]] size_t Starvations() const { return starvations_; }
    // Lost groups that no (re)acquisition explains: clean surroundings.
    [[nodiscard]] size_t Unexplained() const { return unexplained_; }

private:
    // Among the positions of the first pending sentence, the one from which
    // the pending sentences follow most tightly; then matches them.
    std::string Place(Replay &r) {
        const size_t n = expected_.size();
        size_t best = n, tightest = SIZE_MAX;
        for (size_t s : positions_.at(pending_.front())) {
            size_t next = s;
            for (const std::string &p : pending_) {
                while (next < s + n && expected_[next % n] != p)
                    ++next;
                if (next == s + n)
                    break;
                ++next;
            }
            if (next < s + n && next - s < tightest)
                tightest = next - s, best = s;
        }
        const std::vector<std::string> pending = std::move(pending_);
        pending_.clear();
        if (best == n)
            return "the first sentences after a tune do not follow one another in the capture";
        r.placed = true;
        r.origin = r.next = best;
        for (const std::string &p : pending)
            if (std::string why = Step(r, p); !why.empty())
                return why;
        return {};
    }

    std::string Step(Replay &r, const std::string &sentence) {
        const size_t n = expected_.size();
        // The group just delivered again, where the capture does not repeat it.
        if (r.matched > 0 && expected_[(r.next - 1) % n] == sentence &&
            expected_[r.next % n] != sentence)
            return "the previous group again";
        size_t at = r.next;
        while (at - r.next <= kMaxSkip && at < r.origin + 2 * n && expected_[at % n] != sentence)
            ++at;
        if (at - r.next > kMaxSkip || at == r.origin + 2 * n)
            return "not the capture's next acceptable group (a repeat, out of order, or after "
                   "more than " +
                   std::to_string(kMaxSkip) + " lost)";
        longestSkip_ = std::max(longestSkip_, at - r.next);
        for (size_t p = r.next; p < at; ++p)
            if (!atRisk_[p % n] && p - r.origin >= kAcquire)
                ++unexplained_;
        r.next = at + 1;
        ++r.matched;
        return {};
    }

    const std::vector<std::string> &expected_;
    const std::vector<bool> &atRisk_;
    std::unordered_map<std::string, std::vector<size_t>> positions_;
    std::vector<Replay> replays_;
    std::vector<std::string> pending_;
    size_t longestSkip_ = 0;
    size_t unexplained_ = 0;
    size_t starvations_ = 0;
};

std::string PhonePath() {
    return TAVRINEL_PHONE_PATH;
}

// Every .spy and .rds capture of the folder, by name; "none" (a skipped
// case) when there is none.
std::vector<std::string> CaptureNames() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(TAVRINEL_CAPTURE_DIR, error)) {
        const std::string ext = entry.path().extension().string();
        if (entry.is_regular_file(error) && (ext == ".spy" || ext == ".rds"))
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    if (names.empty())
        names.emplace_back("none");
    return names;
}

class CaptureStream : public ::testing::TestWithParam<std::string> {};

TEST_P(CaptureStream, ThePortCarriesTheCapturesAcceptableGroupsInOrder) {
    const std::string path = std::string(TAVRINEL_CAPTURE_DIR) + "/" + GetParam();
    if (GetParam() == "none" || !std::filesystem::exists(path))
        GTEST_SKIP() << "no capture " << path << "; real captures are not part of the "
                     << "repository (see ../shared/rds/README.md)";
    const std::string phonePath = PhonePath();
    if (access((phonePath.substr(0, phonePath.rfind('/')) + "/Tavrinel.dll").c_str(), R_OK) != 0)
        GTEST_SKIP() << "Tavrinel.dll is not built beside the phone";

    const Capture capture = ReadCapture(path);
    ASSERT_FALSE(capture.accepted.empty());
    std::vector<std::string> expected;
    for (const Group &g : capture.accepted)
        expected.push_back(Sentence(g));
    const size_t target = std::min(expected.size(), kMaxGroups);

    e2e::TempFolder temp;
    ASSERT_FALSE(temp.Path().empty());
    const std::string scenario = temp.Path() + "/replay.scn";
    {
        std::ofstream out(scenario);
        out << "seed 1\nlatency 5\nrate " << kRate << "\nruns 12 64\n"
            << "errors block=0 status=0 lost=0 extra=0\nfrequency 90000\n"
            << "station 90000 signal=45 rds=capture file=\"" << path << "\"\n";
    }
    const std::string root = temp.Path() + "/root";
    const std::string logPath = temp.Path() + "/phone.out";
    auto log = [&] { return e2e::ReadWholeFile(logPath); };
    e2e::Phone phone;
    ASSERT_EQ(phone.Start(phonePath, {.root = root,
                                      .logPath = logPath,
                                      .scenario = scenario,
                                      .speed = std::to_string(kSpeed),
                                      .pollMs = "2"}),
              0);

    const std::string link = root + "/dev/COM9";
    int port = -1;
    const auto startEnd = e2e::Clock::now() + std::chrono::milliseconds(kStartMs);
    while (port < 0 && e2e::Clock::now() < startEnd && phone.Running()) {
        if (e2e::Exists(link))
            port = e2e::OpenRaw(link);
        if (port < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(port, 0) << "COM9 was not served\n" << log();

    // Read continuously until the replays have walked `target` groups
    // through the capture. Generous: the nominal time is a few seconds.
    const double groupsPerSecond = 11.4 * kRate * kSpeed;
    const double played = static_cast<double>(capture.lines) * target / expected.size();
    const auto readEnd =
        e2e::Clock::now() +
        std::chrono::milliseconds(30000 + static_cast<long>(4000.0 * played / groupsPerSecond));
    Matcher matcher(expected, capture.atRisk);
    e2e::LineReader reader(port);
    std::vector<std::string> lines;
    size_t sentences = 0, reports = 0, cutByOverflow = 0;
    std::vector<std::string> faults;
    auto lastData = e2e::Clock::now();
    while (matcher.Covered() < target && e2e::Clock::now() < readEnd && faults.size() < 5) {
        lines.clear();
        const size_t bytesBefore = reader.Bytes();
        if (!reader.Read(lines, 20))
            break;
        bool starved = false;
        if (reader.Bytes() != bytesBefore) {
            const auto now = e2e::Clock::now();
            starved = now - lastData >= kStarvedMs;
            lastData = now;
        }
        for (const std::string &line : lines) {
            if (!e2e::ValidSentence(line)) {
                // Two sentences run together: the driver's buffer restarted
                // after a partial read. Only a starved reader explains it.
                const bool runTogether = line.find('$', 1) != std::string::npos;
                if (runTogether && starved)
                    ++cutByOverflow;
                else
                    faults.push_back("malformed or bad checksum: \"" + line + "\"");
            } else if (line.rfind("$RTRDS,", 0) == 0) {
                ++reports;
                if (std::string why = matcher.Tune(); !why.empty())
                    faults.push_back(why);
            } else if (line.rfind("$RTTMC,", 0) == 0) {
                ++sentences;
                if (std::string why = matcher.Feed(line, starved); !why.empty())
                    faults.push_back("sentence " + std::to_string(sentences) + " \"" + line +
                                     "\": " + why);
            } else {
                faults.push_back("neither $RTTMC nor $RTRDS: \"" + line + "\"");
            }
        }
    }
    if (std::string why = matcher.Finish(); !why.empty())
        faults.push_back(why);
    close(port);
    const int status = phone.PowerOff(kExitMs);

    for (const std::string &f : faults)
        ADD_FAILURE() << f;
    const size_t covered = matcher.Covered();
    const size_t lost = covered - matcher.Matched();
    std::printf(
        "%s: %zu groups, %zu acceptable, %zu covered in %zu replay(s), %zu sentences "
        "out, %zu lost (longest run %zu, %zu unexplained), %zu tune reports, %zu bytes, %zu "
        "overflow(s) while the reader was starved (%zu sentence(s) cut)\n",
        GetParam().c_str(), capture.lines, expected.size(), covered, matcher.Replays(), sentences,
        lost, matcher.LongestSkip(), matcher.Unexplained(), reports, reader.Bytes(),
        matcher.Starvations(), cutByOverflow);
    RecordProperty("groups_in_capture", static_cast<int>(capture.lines));
    RecordProperty("acceptable", static_cast<int>(expected.size()));
    RecordProperty("sentences_out", static_cast<int>(sentences));
    RecordProperty("lost", static_cast<int>(lost));
    EXPECT_GE(covered, target) << "the port did not carry enough of the capture in time\n" << log();
    EXPECT_EQ(sentences, matcher.Matched());
    EXPECT_GE(reports, 1u) << "no tune report";
    // Lost only while the framer (re)acquires: at each tune, at a change of
    // PI and around damaged groups; never in clean surroundings.
    EXPECT_EQ(matcher.Unexplained(), 0u) << "groups lost where the capture is clean";
    EXPECT_LE(lost, 5 * matcher.Replays() + covered / 20);
    EXPECT_EQ(status, 0) << log();
}

INSTANTIATE_TEST_SUITE_P(RealCaptures, CaptureStream, ::testing::ValuesIn(CaptureNames()),
                         testsupport::CaptureTestName<CaptureStream::ParamType>);

} // namespace
