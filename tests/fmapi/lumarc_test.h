// lumarc_test.h — fixture and helpers for the Lumarc tests: the recording
// fake stack mapped in as "FMS_API.dll", a fast device clock, captured
// debug lines and client callbacks.
#ifndef TAVRINEL_TESTS_FMAPI_LUMARC_TEST_H
#define TAVRINEL_TESTS_FMAPI_LUMARC_TEST_H

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_stack.h"
#include "session.h"

#include <fmapi.h>
#include <platform/emulation.h>

namespace lumarctest {

// Wide text as WCHAR holds it (UTF-16 code units on either build).
using WString = std::basic_string<WCHAR>;

// 5000 ms time-outs take 100 ms of real time: short, yet long enough for
// the fake stack's event thread to answer on a loaded machine.
inline constexpr double kClockSpeed = 50.0;
inline constexpr DWORD kStackHandle = 0x5151; // what the fake's FM_Create writes

inline std::string ModulePath(const char *file) {
    const char *dir = std::getenv("TAVRINEL_MODULE_DIR");
    return std::string(dir != nullptr ? dir : ".") + "/" + file;
}

// ---- captured client output

struct TuneNotice {
    HFMTUNER session;
    DWORD frequencyKHz;
    FMTuneReason reason;
};

struct Captured {
    std::mutex mutex;
    std::vector<WString> debugLines;
    std::vector<TuneNotice> tunes;
    std::vector<RdsGroupRecord> groups;
    std::vector<HFMTUNER> groupSessions;
};

inline Captured &captured() {
    static Captured instance;
    return instance;
}

inline void CaptureDebug(LPCWSTR line) {
    std::lock_guard lock(captured().mutex);
    captured().debugLines.emplace_back(line);
}

inline void CaptureTune(HFMTUNER session, DWORD frequencyKHz, FMTuneReason reason) {
    std::lock_guard lock(captured().mutex);
    captured().tunes.push_back({session, frequencyKHz, reason});
}

inline void CaptureGroup(HFMTUNER session, const RdsGroupRecord *group) {
    std::lock_guard lock(captured().mutex);
    captured().groups.push_back(*group);
    captured().groupSessions.push_back(session);
}

inline std::vector<WString> DebugLines() {
    std::lock_guard lock(captured().mutex);
    return captured().debugLines;
}

inline std::vector<TuneNotice> Tunes() {
    std::lock_guard lock(captured().mutex);
    return captured().tunes;
}

inline std::vector<RdsGroupRecord> Groups() {
    std::lock_guard lock(captured().mutex);
    return captured().groups;
}

inline void ClearCaptured() {
    std::lock_guard lock(captured().mutex);
    captured().debugLines.clear();
    captured().tunes.clear();
    captured().groups.clear();
    captured().groupSessions.clear();
}

// Narrow text of a debug line, for readable failure messages.
inline std::string Text(const WString &wide) {
    return platform::Narrow(wide);
}

// The fake's calls of one function, in order.
inline std::vector<fakestack::Call> CallsOf(const std::string &name) {
    std::vector<fakestack::Call> found;
    for (const fakestack::Call &call : fakestack::Calls())
        if (call.name == name)
            found.push_back(call);
    return found;
}

// The stack answers a call of `name` with a command status, from its event thread.
inline void ReplyTo(const std::string &name, BYTE command, BYTE status, DWORD value) {
    fakestack::OnCall(name,
                      [=] { fakestack::Post(fakestack::CommandStatus(command, status, value)); });
}

class LumarcTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetClockSpeed(kClockSpeed);
        platform::MapModule(TEXT("FMS_API.dll"), ModulePath("FakeStack.dll"));
        fakestack::Reset();
        ClearCaptured();
        FMSetDebugFunction(CaptureDebug);
        // A stack that confirms power-off, so closing never waits out a time-out.
        ReplyTo("FM_Disable", FMS_CMD_POWER_OFF, FMS_STATUS_SUCCESS, 0);
    }

    void TearDown() override {
        if (session != nullptr) {
            FMSetProp(session, FMPROP_TUNE_CALLBACK, 0);
            FMSetProp(session, FMPROP_RDS_CALLBACK, 0);
            ReplyTo("FM_Disable", FMS_CMD_POWER_OFF, FMS_STATUS_SUCCESS, 0);
            EXPECT_EQ(FMClose(session), 0u);
            session = nullptr;
        }
        fakestack::DrainEvents();
        FMSetDebugFunction(nullptr);
        platform::ClearModuleMaps();
    }

    void Open() {
        session = FMOpen(0);
        ASSERT_NE(session, nullptr) << "last error " << GetLastError();
    }

    // Powers on with the stack confirming from its event thread.
    void PowerOn(FMRadioBand band = FMBAND_CCIR) {
        ReplyTo("FM_Enable", FMS_CMD_POWER_ON, FMS_STATUS_SUCCESS, 0);
        ASSERT_EQ(FMPowerOn(session, 1, band), 0u);
        fakestack::OnCall("FM_Enable", nullptr);
    }

    void OpenAndPowerOn() {
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_NO_FATAL_FAILURE(PowerOn());
        fakestack::ClearCalls();
        ClearCaptured();
    }

    lumarc::TunerSession &Session() { return *static_cast<lumarc::TunerSession *>(session); }
    lumarc::TunerProperties &Properties() { return *Session().properties; }

    HFMTUNER session = nullptr;
};

} // namespace lumarctest

#endif // TAVRINEL_TESTS_FMAPI_LUMARC_TEST_H
