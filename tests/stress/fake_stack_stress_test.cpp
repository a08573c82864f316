// Concurrency stress over the recording fake stack, whose own thread posts
// numbered RDS groups: with writers and a reader at once, a reader that
// keeps up loses nothing and sees every group once, in order; and events
// the stack still delivers while and after the driver unloads are harmless.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_stack.h"
#include "stress_harness.h"

namespace {

using harness::Command;
using harness::Device;

constexpr int kBoundSeconds = 120; // a hang, not a measurement
constexpr WORD kPi = 0xD318;

// One RDS group as the chip delivers it: per block two data bytes and a
// status byte (block number, no errors); the sequence number in block C.
void AppendGroup(std::vector<uint8_t> &raw, WORD sequence) {
    const WORD blocks[4] = {kPi, 0x8548, sequence, 0x5A5A};
    for (int b = 0; b < 4; ++b) {
        raw.push_back(static_cast<uint8_t>(blocks[b] >> 8));
        raw.push_back(static_cast<uint8_t>(blocks[b]));
        raw.push_back(static_cast<uint8_t>(0x20 | (b == 3 ? 4 : b)));
    }
}

// Numbers of the $RTTMC sentences among whole sentences read.
std::vector<int> GroupNumbers(const std::vector<std::string> &lines) {
    std::vector<int> numbers;
    for (const auto &line : lines)
        if (line.rfind("$RTTMC,", 0) == 0) {
            const size_t c = line.find(",8548,");
            numbers.push_back(static_cast<int>(std::stoul(line.substr(c + 6), nullptr, 16)));
        }
    return numbers;
}

class FakeStackStress : public ::testing::Test {
protected:
    void SetUp() override {
        fakestack::Reset();
        Reply("FM_Enable", FMS_CMD_POWER_ON);
        Reply("FM_Disable", FMS_CMD_POWER_OFF);
    }
    void TearDown() override { fakestack::Reset(); }
    static void Reply(const std::string &name, BYTE command) {
        fakestack::OnCall(name, [command] {
            fakestack::Post(fakestack::CommandStatus(command, FMS_STATUS_SUCCESS, 0));
        });
    }
};

TEST_F(FakeStackStress, AReaderThatKeepsUpLosesNothingWhileWritersWrite) {
    Device device(200.0);
    platform::MapModule(u"FMS_API.dll", harness::ModulePath("FakeStack.dll"));
    ASSERT_TRUE(device.Load());
    HANDLE port = device.Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Device::Drain(port);

    constexpr int kGroups = 1500;
    constexpr int kAhead = 16;  // groups in flight at most: far below the buffer
    constexpr int kWriters = 3; // each waits for its answer before the next command
    constexpr int kCommands = 60;
    std::atomic<int> seenGroups{0};
    std::atomic<int> acks[kWriters] = {};
    std::atomic<bool> done{false};
    std::vector<std::string> lines;
    std::string bad;
    stress::RunBounded("lossless stress", kBoundSeconds, [&] {
        std::thread reader([&] {
            char buffer[2048];
            while (!done) {
                DWORD n = 0;
                if (!ReadFile(port, buffer, sizeof buffer, &n, nullptr))
                    break;
                std::vector<std::string> got;
                std::string why;
                if (!harness::SplitWhole(std::string(buffer, n), got, why) && bad.empty())
                    bad = why;
                for (auto &line : got) {
                    if (line.rfind("$RTTMC,", 0) == 0)
                        ++seenGroups;
                    for (int w = 0; w < kWriters; ++w)
                        if (line.rfind("$PSRFTXT,Ack Input20" + std::to_string(w) + "*", 0) == 0)
                            ++acks[w];
                    lines.push_back(std::move(line));
                }
                if (n == 0)
                    std::this_thread::yield();
            }
        });
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w)
            writers.emplace_back([&, w] {
                // An unknown command is only acknowledged: "PSRF20w".
                const std::string command = Command("PSRF20" + std::to_string(w));
                for (int i = 0; i < kCommands; ++i) {
                    ASSERT_TRUE(Device::Send(port, command));
                    harness::WaitUntil([&] { return acks[w].load() > i; }, 30000);
                }
            });
        for (int g = 0; g < kGroups; ++g) {
            std::vector<uint8_t> raw;
            AppendGroup(raw, static_cast<WORD>(g));
            if (g == kGroups - 1)
                raw.push_back(kPi >> 8); // lets the framer end the last group
            fakestack::PostRds(raw);
            if (g >= kAhead)
                harness::WaitUntil([&] { return seenGroups.load() >= g - kAhead; }, 30000);
        }
        fakestack::DrainEvents();
        for (auto &t : writers)
            t.join();
        harness::WaitUntil([&] { return seenGroups.load() >= kGroups; }, 30000);
        done = true;
        reader.join();
    });
    EXPECT_EQ(bad, "");
    const std::vector<int> sequence = GroupNumbers(lines);
    ASSERT_EQ(sequence.size(), static_cast<size_t>(kGroups)) << "groups lost or repeated";
    for (int g = 0; g < kGroups; ++g)
        ASSERT_EQ(sequence[g], g) << "out of order or lost";
    for (int w = 0; w < kWriters; ++w)
        EXPECT_EQ(acks[w].load(), kCommands) << "writer " << w;
    device.Close(port);
    EXPECT_TRUE(device.Unload());
}

TEST_F(FakeStackStress, AReaderThatStopsLosesOnlyWhatTheRestartDrops) {
    Device device(200.0);
    platform::MapModule(u"FMS_API.dll", harness::ModulePath("FakeStack.dll"));
    ASSERT_TRUE(device.Load());
    HANDLE port = device.Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Device::Drain(port);
    // The reader pauses while 300 groups (far more than the buffer) arrive.
    constexpr int kGroups = 300;
    std::vector<uint8_t> raw;
    for (int g = 0; g < kGroups; ++g)
        AppendGroup(raw, static_cast<WORD>(g));
    raw.push_back(kPi >> 8);
    for (size_t at = 0; at < raw.size(); at += 50) // runs across group boundaries
        fakestack::PostRds(
            std::vector<uint8_t>(raw.begin() + static_cast<long>(at),
                                 raw.begin() + static_cast<long>(std::min(raw.size(), at + 50))));
    fakestack::DrainEvents();
    // What is left is whole sentences: the newest groups, none skipped.
    std::vector<std::string> lines;
    std::string why;
    const std::string pending = Device::Drain(port);
    ASSERT_TRUE(harness::SplitWhole(pending, lines, why)) << why;
    const std::vector<int> kept = GroupNumbers(lines);
    ASSERT_FALSE(kept.empty());
    EXPECT_LT(pending.size(), 2048u);
    EXPECT_EQ(kept.back(), kGroups - 1);
    for (size_t i = 1; i < kept.size(); ++i)
        EXPECT_EQ(kept[i], kept[i - 1] + 1) << "a gap that no restart explains";
    // After the reader resumes, everything arrives.
    raw.clear();
    for (int g = kGroups; g < kGroups + 10; ++g)
        AppendGroup(raw, static_cast<WORD>(g));
    raw.push_back(kPi >> 8);
    fakestack::PostRds(raw);
    fakestack::DrainEvents();
    lines.clear();
    ASSERT_TRUE(harness::SplitWhole(Device::Drain(port), lines, why)) << why;
    const std::vector<int> after = GroupNumbers(lines);
    ASSERT_EQ(after.size(), 10u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(after[static_cast<size_t>(i)], kGroups + i);
    device.Close(port);
    EXPECT_TRUE(device.Unload());
}

TEST_F(FakeStackStress, EventsDuringAndAfterTheUnloadAreHarmless) {
    Device device(200.0);
    platform::MapModule(u"FMS_API.dll", harness::ModulePath("FakeStack.dll"));
    // The fake keeps the callback it was given and calls it whatever
    // happens: the tuner library must stay mapped for that, the driver not.
    HMODULE library = LoadLibraryW(u"Lumarc.dll");
    ASSERT_NE(library, nullptr);
    ASSERT_TRUE(device.Load());
    HANDLE port = device.Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    std::atomic<bool> stop{false};
    stress::RunBounded("unload while the stack posts", kBoundSeconds, [&] {
        // The stack goes on posting groups and tune reports, through the
        // unload and after it (a stack that ignores its FM_Destroy).
        std::thread feeder([&] {
            for (WORD g = 0; !stop; ++g) {
                std::vector<uint8_t> raw;
                AppendGroup(raw, g);
                fakestack::PostRds(raw);
                if (g % 16 == 0)
                    fakestack::Post(
                        fakestack::CommandStatus(FMS_CMD_TUNE, FMS_STATUS_SUCCESS, 94400));
                std::this_thread::yield();
            }
        });
        std::thread reader([&] {
            char buffer[2048];
            DWORD n = 0;
            while (!stop && ReadFile(port, buffer, sizeof buffer, &n, nullptr)) {
            }
        });
        Sleep(200);
        EXPECT_TRUE(device.Unload());
        Sleep(200); // the stack keeps posting into a closed session
        stop = true;
        feeder.join();
        reader.join();
        fakestack::DrainEvents();
    });
    // And a new load over the same stack works.
    ASSERT_TRUE(device.Load());
    HANDLE again = device.Open();
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Device::Send(again, Command("PSRF107")));
    EXPECT_NE(Device::Drain(again).find("$PSRF154,107*3D\r\n"), std::string::npos);
    device.Close(again);
    EXPECT_TRUE(device.Unload());
    fakestack::Reset();
    FreeLibrary(library);
}

} // namespace
