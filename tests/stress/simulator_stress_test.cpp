// Concurrency stress over the real FM stack simulator, in process: writers,
// a reader and RDS at the highest rate at once; tuning and seeking while
// groups arrive; open/close storms; unloading while the stack delivers.
// Bounded in work, not in time; meant for ThreadSanitizer too.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fmsim.h>

#include "stress_harness.h"

namespace {

using harness::Command;
using harness::Device;

constexpr int kBoundSeconds = 120; // a hang, not a measurement

class SimulatorStress : public ::testing::Test {
protected:
    void SetUp() override {
        FmsimUseDefaultScenario();
        FmsimClearFaults();
    }
    void TearDown() override {
        FmsimClearFaults();
        FmsimSetRdsRate(1.0);
    }
};

TEST_F(SimulatorStress, WritersTuningAndSeekingWhileGroupsPourIn) {
    Device device(20.0);
    ASSERT_TRUE(device.Load());
    HANDLE port = device.Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    FmsimSetRdsRate(1000);
    stress::Reader reader(port);
    std::atomic<int> writersLeft{3};
    std::atomic<int> writeFailures{0};
    stress::RunBounded("writers, reader and RDS", kBoundSeconds, [&] {
        std::thread readerThread([&] {
            while (writersLeft.load() > 0)
                reader.ReadOnce();
            // What is still on its way: the tune reports follow the commands
            // after the stack's latency, so keep reading until one has come
            // (bounded: about three seconds).
            for (int i = 0; i < 3000 && (i < 50 || reader.Count("$RTRDS,") == 0 ||
                                         reader.Count("$RTTMC,") == 0);
                 ++i) {
                reader.ReadOnce();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        std::vector<std::thread> writers;
        for (int w = 0; w < 3; ++w)
            writers.emplace_back([&, w] {
                const std::string commands[] = {
                    Command("PSRF107"),     Command("PSRF122,94.4"), Command("PSRF123,1,0"),
                    Command("PSRF123,0,0"), Command("PSRF123,1,1"),  Command("PSRF123,0,1"),
                    Command("PSRF126,1"),   Command("PSRF122,90.0"),
                };
                for (int i = 0; i < 40; ++i)
                    if (!Device::Send(port, commands[(i + w) % 8]))
                        ++writeFailures;
                --writersLeft;
            });
        for (auto &t : writers)
            t.join();
        readerThread.join();
    });
    EXPECT_EQ(writeFailures.load(), 0);
    EXPECT_EQ(reader.Bad(), "");
    EXPECT_GT(reader.Count("$RTTMC,"), 0u);
    EXPECT_GT(reader.Count("$RTRDS,"), 0u);
    EXPECT_GT(reader.Count("$PSRFTXT,Ack Input"), 0u);
    FmsimSetRdsRate(1.0);
    device.Close(port);
    EXPECT_TRUE(device.Unload());
    EXPECT_EQ(FmsimPowered(), 0);
}

// Opens and closes race: a first open (radio set up) against a last close
// (radio off, multiplexer port closed) on another thread must not leave the
// count of opens wrong, or the port stays unusable until a reload.
TEST_F(SimulatorStress, OpenCloseStormLeavesThePortUsable) {
    Device device(1000.0);
    ASSERT_TRUE(device.Load());
    for (int storm = 0; storm < 6; ++storm) {
        SCOPED_TRACE("storm " + std::to_string(storm));
        std::atomic<int> opened{0};
        stress::RunBounded("open/close storm", kBoundSeconds, [&] {
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t)
                threads.emplace_back([&, t] {
                    for (int i = 0; i < 25; ++i) {
                        HANDLE h = CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                               OPEN_EXISTING, 0, nullptr);
                        if (h == INVALID_HANDLE_VALUE)
                            continue;
                        ++opened;
                        if ((i + t) % 3 == 0)
                            Device::Send(h, Command("PSRF107"));
                        char buffer[2048];
                        DWORD n = 0;
                        ReadFile(h, buffer, sizeof buffer, &n, nullptr);
                        CloseHandle(h);
                    }
                });
            for (auto &t : threads)
                t.join();
        });
        EXPECT_GT(opened.load(), 0);
        // Every handle is closed: the radio is off, and the next open is a first
        // open again that sets it up and serves.
        EXPECT_EQ(FmsimPowered(), 0) << "the last close powers the radio off";
        HANDLE port = device.Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << "the storm left the port unusable";
        EXPECT_EQ(FmsimPowered(), 1);
        ASSERT_TRUE(Device::Send(port, Command("PSRF107")));
        EXPECT_NE(Device::Drain(port).find("$PSRF154,107*3D\r\n"), std::string::npos);
        device.Close(port);
        EXPECT_EQ(FmsimPowered(), 0);
    }
    EXPECT_TRUE(device.Unload());
}

TEST_F(SimulatorStress, UnloadWhileTheStackDeliversAndClientsWork) {
    Device device(200.0);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(device.Load());
        HANDLE port = device.Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        FmsimSetRdsRate(1000);
        stress::Reader reader(port);
        std::atomic<bool> stop{false};
        stress::RunBounded("unload under load", kBoundSeconds, [&] {
            std::thread readerThread([&] {
                while (!stop && reader.ReadOnce()) {
                }
            });
            std::thread writer([&] {
                while (!stop && Device::Send(port, Command("PSRF107"))) {
                }
            });
            harness::WaitUntil([&] { return reader.Count("$RTTMC,") > 20; }, 10000);
            EXPECT_TRUE(device.Unload());
            stop = true;
            readerThread.join();
            writer.join();
        });
        EXPECT_EQ(reader.Bad(), "");
        device.Close(port);
        FmsimSetRdsRate(1.0);
    }
}

} // namespace
