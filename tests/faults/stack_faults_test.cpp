// The receiver driver over a misbehaving FM stack, in process: the device
// manager loads Tavrinel.dll, which loads Lumarc.dll, which loads the real
// simulator FMS_API.dll. This program links the simulator too, so its fault
// hooks reach the very instance the library talks to.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fmsim.h>

#include "device_harness.h"

namespace {

using harness::Command;
using harness::Device;

constexpr double kClockSpeed = 200.0;

class StackFaults : public ::testing::Test {
protected:
    void SetUp() override {
        FmsimUseDefaultScenario();
        FmsimClearFaults();
        FmsimResetCounters();
    }
    void TearDown() override {
        FmsimClearFaults();
        FmsimSetRdsRate(1.0);
    }
};

// Everything the port sent until `prefix` arrived (or the bound passed).
std::string ReadUntil(HANDLE port, const std::string &prefix, int timeoutMs = 10000) {
    std::string all;
    harness::WaitUntil(
        [&] {
            all += Device::Drain(port);
            return all.find(prefix) != std::string::npos;
        },
        timeoutMs);
    return all;
}

TEST_F(StackFaults, SilentStackStillOpensThePortAndAnswersCommands) {
    for (BYTE command : {FMS_CMD_POWER_ON, FMS_CMD_TUNE, FMS_CMD_GET_RSSI, FMS_CMD_SET_RDS,
                         FMS_CMD_SET_MUTE, FMS_CMD_GET_CURRENT_STATUS})
        FmsimDropReply(command, 1);
    Device device(kClockSpeed);
    ASSERT_TRUE(device.Load()) << GetLastError();
    const DWORD before = GetTickCount();
    HANDLE port = device.Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "the open waits out the time-outs, then succeeds";
    EXPECT_GE(GetTickCount() - before, 5000u) << "the power-on answer was waited for";
    ASSERT_TRUE(Device::Send(port, Command("PSRF107")));
    const std::string got = ReadUntil(port, "$PSRF154,107*");
    EXPECT_NE(got.find("$PSRFTXT,Ack Input107*6A\r\n"), std::string::npos) << got;
    EXPECT_NE(got.find("$PSRF154,107*3D\r\n"), std::string::npos) << got;
    EXPECT_EQ(got.find("$RT"), std::string::npos) << "no radio: no receiver sentences";
    EXPECT_TRUE(device.Unload());
}

TEST_F(StackFaults, TunerThatCannotOpenLeavesAPortWithoutReceiverSentences) {
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant == 0 ? "FM_Init fails" : "a stack lacking FM_AudioEnable");
        if (variant == 0)
            FmsimFailCall("FM_Init", FMS_STATUS_FAILED);
        Device device(kClockSpeed);
        if (variant == 1)
            platform::MapModule(u"FMS_API.dll", harness::ModulePath("FMS_API_NoAudioEnable.dll"));
        ASSERT_TRUE(device.Load()) << GetLastError();
        HANDLE port = device.Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(Device::Send(port, Command("PSRF107") + Command("PSRF123,1,1")));
        const std::string got = ReadUntil(port, "$PSRFTXT,Ack Input123*");
        EXPECT_EQ(got.rfind("$PSRFTXT,Ack Input107*6A\r\n", 0), 0u) << got;
        EXPECT_NE(got.find("$PSRFTXT,Ack Input123*"), std::string::npos) << got;
        Sleep(2000); // device time for anything a radio would have sent
        EXPECT_EQ((got + Device::Drain(port)).find("$RT"), std::string::npos);
        device.Close(port);
        EXPECT_TRUE(device.Unload());
        FmsimClearFaults();
    }
}

TEST_F(StackFaults, FaultInsideTheStackAtUnloadIsCaughtAndTheHostGoesOn) {
    for (int fault : {FMSIM_FAULT_EXCEPTION, FMSIM_FAULT_SEGV}) {
        SCOPED_TRACE(fault == FMSIM_FAULT_EXCEPTION ? "C++ exception" : "memory fault");
        Device device(kClockSpeed);
        ASSERT_TRUE(device.Load());
        HANDLE port = device.Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        EXPECT_NE(ReadUntil(port, "$RTTMC,").find("$RTTMC,"), std::string::npos);
        device.Close(port);
        FmsimSetDestroyFault(fault);
        EXPECT_TRUE(device.Unload());
        EXPECT_NE(device.Log().find("COM_Deinit\nException raised on FMClose\n"), std::string::npos)
            << device.Log();
        EXPECT_EQ(FmsimPowered(), 0);
        // The host goes on: the driver loads and serves again.
        FmsimClearFaults();
        ASSERT_TRUE(device.Load());
        port = device.Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        EXPECT_NE(ReadUntil(port, "$RTTMC,").find("$RTTMC,"), std::string::npos);
        device.Close(port);
        EXPECT_TRUE(device.Unload());
    }
}

TEST_F(StackFaults, EventsInFlightAtUnloadAreHarmless) {
    Device device(kClockSpeed);
    ASSERT_TRUE(device.Load());
    HANDLE port = device.Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    FmsimSetRdsRate(1000);
    // A tune whose answer is due about when the stack is closed (the unload
    // waits 5 s before FMClose).
    FmsimSetLatency(5000);
    ASSERT_TRUE(Device::Send(port, Command("PSRF122,94.4")));
    std::atomic<bool> stop{false};
    std::atomic<bool> bad{false};
    std::thread reader([&] {
        char buffer[2048];
        while (!stop) {
            DWORD n = 0;
            if (!ReadFile(port, buffer, sizeof buffer, &n, nullptr))
                break; // the device is gone
            std::vector<std::string> lines;
            std::string why;
            if (!harness::SplitWhole(std::string(buffer, n), lines, why))
                bad = true;
        }
    });
    EXPECT_TRUE(device.Unload()) << "unloaded with the port open and RDS flowing";
    stop = true;
    reader.join();
    EXPECT_FALSE(bad);
    DWORD n = 0;
    char buffer[16];
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, nullptr) && n != 0)
        << "nothing comes from an unloaded driver";
    EXPECT_EQ(FmsimPowered(), 0);
    // The late answer died with the session; the process carries on.
    FmsimSetLatency(5);
    ASSERT_TRUE(device.Load());
}

} // namespace
