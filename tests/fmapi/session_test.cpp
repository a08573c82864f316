// Tuner session: open and close over the stack, power, seek, device
// information, the two kinds of wait and the export's error codes.
#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

#include "lumarc_test.h"

using namespace lumarctest;
using fakestack::CallNames;
using ::testing::ElementsAre;

namespace {

using Names = std::vector<std::string>;

// ---------------------------------------------------------------- open

TEST_F(LumarcTest, OpenBindsInitialisesAndCreatesStackSession) {
    EXPECT_EQ(FMGetNumDevs(), 1u);
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(CallNames(), (Names{"FM_Init", "FM_Create"}));
    const auto create = CallsOf("FM_Create");
    // A word holding 0, the event callback, the handle's address.
    EXPECT_THAT(create[0].args, ElementsAre(0, 1, 1));
    EXPECT_EQ(FMGetNumDevs(), 1u);
}

TEST_F(LumarcTest, OpenRefusesOtherDevicesAndASecondSession) {
    for (LONG index : {1, -1, 2}) {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(FMOpen(index), nullptr);
        EXPECT_EQ(GetLastError(), 87u) << index;
    }
    EXPECT_TRUE(fakestack::Calls().empty());

    ASSERT_NO_FATAL_FAILURE(Open());
    fakestack::ClearCalls();
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FMOpen(0), nullptr);
    EXPECT_EQ(GetLastError(), 548u);
    EXPECT_TRUE(fakestack::Calls().empty());
    // The first session is untouched.
    TagFMDEVINFO info{};
    info.dwSize = sizeof(info);
    EXPECT_EQ(FMGetDevInfo(session, &info), 0u);
}

TEST_F(LumarcTest, ReopenAfterCloseStartsFromNothing) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(FMClose(session), 0u);
    const HFMTUNER closed = session;
    session = nullptr;
    EXPECT_EQ(FMSeek(closed, FMSEEK_UP), 87u); // no longer a valid handle
    fakestack::ClearCalls();
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(CallNames(), (Names{"FM_Init", "FM_Create"}));
}

struct OpenFailure {
    const char *legend;
    std::function<void()> arrange;
    DWORD lastError;
    const WCHAR *message;
    Names calls;
};

TEST_F(LumarcTest, FailedOpensReportAndLeaveNothingBehind) {
    const OpenFailure cases[] = {
        {"stack library missing",
         [] { platform::MapModule(TEXT("FMS_API.dll"), ModulePath("NoSuchStack.dll")); },
         110,
         TEXT("Failed to load FMS_API.dll\r\n"),
         {}},
        {"entry point missing",
         [] { platform::MapModule(TEXT("FMS_API.dll"), ModulePath("FakeStackNoAudioEnable.dll")); },
         20,
         TEXT("Failed to load 'FM_AudioEnable'"),
         {}},
        {"init refused",
         [] { fakestack::SetResult("FM_Init", 1); },
         21,
         TEXT("Failed to init FM radio\r\n"),
         {"FM_Init"}},
        {"create refused",
         [] { fakestack::SetResult("FM_Create", 3); },
         21,
         TEXT("Failed to create FM session\r\n"),
         {"FM_Init", "FM_Create", "FM_Deinit"}},
        {"create pending is no success",
         [] { fakestack::SetResult("FM_Create", 2); },
         21,
         TEXT("Failed to create FM session\r\n"),
         {"FM_Init", "FM_Create", "FM_Deinit"}},
        {"create gives no handle",
         [] { fakestack::SetCreateHandle(0); },
         21,
         TEXT("Failed to create FM session\r\n"),
         {"FM_Init", "FM_Create", "FM_Deinit"}},
    };
    for (const OpenFailure &c : cases) {
        SCOPED_TRACE(c.legend);
        fakestack::Reset();
        platform::MapModule(TEXT("FMS_API.dll"), ModulePath("FakeStack.dll"));
        ClearCaptured();
        c.arrange();
        SetLastError(0xdeadbeef);
        EXPECT_EQ(FMOpen(0), nullptr);
        EXPECT_EQ(GetLastError(), c.lastError);
        const auto lines = DebugLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], c.message) << Text(lines[0]);
        EXPECT_EQ(CallNames(), c.calls);

        // Nothing is left open: a good stack opens at once.
        fakestack::Reset();
        platform::MapModule(TEXT("FMS_API.dll"), ModulePath("FakeStack.dll"));
        ASSERT_NO_FATAL_FAILURE(Open());
        EXPECT_EQ(FMClose(session), 0u);
        session = nullptr;
    }
}

TEST_F(LumarcTest, NoDebugSinkSilencesTheLibrary) {
    FMSetDebugFunction(nullptr);
    fakestack::SetResult("FM_Init", 1);
    EXPECT_EQ(FMOpen(0), nullptr);
    EXPECT_TRUE(DebugLines().empty());
}

// ---------------------------------------------------------------- handles

TEST_F(LumarcTest, EveryExportRefusesForeignHandles) {
    ASSERT_NO_FATAL_FAILURE(Open());
    int other = 0;
    for (HFMTUNER bad : {static_cast<HFMTUNER>(nullptr), static_cast<HFMTUNER>(&other)}) {
        DWORD_PTR value = 0x1234;
        TagFMDEVINFO info{};
        info.dwSize = sizeof(info);
        EXPECT_EQ(FMPowerOn(bad, 1, FMBAND_CCIR), 87u);
        EXPECT_EQ(FMPowerOn(bad, 0, FMBAND_CCIR), 87u);
        EXPECT_EQ(FMSetProp(bad, FMPROP_VOLUME, 10), 87u);
        EXPECT_EQ(FMGetProp(bad, FMPROP_VOLUME, &value), 87u);
        EXPECT_EQ(value, 0x1234u);
        EXPECT_EQ(FMSeek(bad, FMSEEK_UP), 87u);
        EXPECT_EQ(FMGetDevInfo(bad, &info), 87u);
        EXPECT_EQ(info.dwVersion, 0u);
        EXPECT_EQ(FMClose(bad), 87u);
    }
    EXPECT_EQ(CallNames(), (Names{"FM_Init", "FM_Create"}));
}

// ---------------------------------------------------------------- close

TEST_F(LumarcTest, CloseWhileOnPowersOffMutesAndTearsDown) {
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    EXPECT_EQ(FMClose(session), 0u);
    session = nullptr;
    EXPECT_EQ(CallNames(), (Names{"FM_SetRDS", "FM_MuteRadio", "FM_Disable", "FM_MuteRadio",
                                  "FM_Destroy", "FM_Deinit"}));
    for (const auto &call : fakestack::Calls()) {
        if (call.name != "FM_Deinit") {
            EXPECT_EQ(call.args.at(0), kStackHandle) << call.name;
        }
    }
}

TEST_F(LumarcTest, CloseWhileOffOnlyTearsDown) {
    ASSERT_NO_FATAL_FAILURE(Open());
    fakestack::ClearCalls();
    EXPECT_EQ(FMClose(session), 0u);
    session = nullptr;
    EXPECT_EQ(CallNames(), (Names{"FM_MuteRadio", "FM_Destroy", "FM_Deinit"}));
    EXPECT_THAT(CallsOf("FM_MuteRadio")[0].args, ElementsAre(kStackHandle, 0));
}

// A close that the stack stalls in FM_Destroy until the test lets it go.
struct StalledClose {
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    std::thread closer;

    explicit StalledClose(HFMTUNER session) {
        fakestack::OnCall("FM_Destroy", [this] {
            inside = true;
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        closer = std::thread([session] { EXPECT_EQ(FMClose(session), 0u); });
        while (!inside)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void Finish() {
        release = true;
        closer.join();
        fakestack::OnCall("FM_Destroy", nullptr);
    }
};

TEST_F(LumarcTest, OpenWhileAnotherThreadClosesIsRefusedAndLeavesTheCloseAlone) {
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    StalledClose close(session);
    session = nullptr;
    SetLastError(0);
    EXPECT_EQ(FMOpen(0), nullptr);
    EXPECT_EQ(GetLastError(), 548u);
    close.Finish(); // the closing thread still owns every part of its session
    EXPECT_EQ(CallsOf("FM_Deinit").size(), 1u);
    ASSERT_NO_FATAL_FAILURE(Open());
}

TEST_F(LumarcTest, CloseThatMeetsAnotherCloseWaitsForItThenJudgesTheHandle) {
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    StalledClose close(session);
    std::atomic<bool> released{false};
    std::atomic<DWORD> answer{0};
    std::thread second([&, handle = session] {
        answer = FMClose(handle);
        EXPECT_TRUE(released.load()) << "the second close did not wait for the first";
    });
    session = nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    released = true;
    close.Finish();
    second.join();
    EXPECT_EQ(answer.load(), 87u); // closed by the first: no longer a handle
    EXPECT_EQ(CallsOf("FM_Deinit").size(), 1u);
}

// A close the stack breaks off, as the driver's guard sees it: a C++
// exception, or a memory fault that leaves the close's frames behind.
void CloseThroughGuard(void *tuner) {
    FMClose(static_cast<HFMTUNER>(tuner));
}

TEST_F(LumarcTest, SessionOfABrokenOffCloseIsFreedByTheNextOpenOrClose) {
    for (int variant = 0; variant < 4; ++variant) {
        const bool segv = variant % 2 == 1;
        const bool byOpen = variant < 2;
        SCOPED_TRACE(std::string(segv ? "memory fault" : "exception") +
                     (byOpen ? ", then open" : ", then close"));
        ASSERT_NO_FATAL_FAILURE(Open());
        const HMODULE stack = Session().stackLibrary;
        fakestack::OnCall("FM_Destroy", [segv] {
            if (segv)
                std::raise(SIGSEGV);
            throw std::runtime_error("stack fault");
        });
        EXPECT_FALSE(GuardedCall(CloseThroughGuard, session));
        fakestack::OnCall("FM_Destroy", nullptr);
        WCHAR name[64];
        EXPECT_NE(GetModuleFileNameW(stack, name, 64), 0u) << "held by the broken-off session";
        const HFMTUNER broken = session;
        session = nullptr;
        if (byOpen) {
            ASSERT_NO_FATAL_FAILURE(Open());
        } else {
            EXPECT_EQ(FMClose(broken), 87u);
        }
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameW(stack, name, 64), 0u) << "stack library released";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        if (session != nullptr) {
            EXPECT_EQ(FMClose(session), 0u);
            session = nullptr;
        }
    }
}

// A tune callback that takes a while; FMClose must not return under it.
std::atomic<bool> slowTuneEntered{false};
std::atomic<bool> slowTuneFinished{false};
void SlowTuneCallback(HFMTUNER, DWORD, FMTuneReason) {
    slowTuneEntered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    slowTuneFinished = true;
}

TEST_F(LumarcTest, CloseReturnsOnlyAfterARunningHandlerHasFinished) {
    platform::SetClockSpeed(10.0); // the bounded wait for handlers: 500 ms real
    ASSERT_NO_FATAL_FAILURE(Open());
    FMSetProp(session, FMPROP_TUNE_CALLBACK, reinterpret_cast<DWORD_PTR>(&SlowTuneCallback));
    slowTuneEntered = slowTuneFinished = false;
    fakestack::Post(fakestack::TuneComplete(95000));
    while (!slowTuneEntered)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(FMClose(session), 0u);
    session = nullptr;
    EXPECT_TRUE(slowTuneFinished);
}

// ---------------------------------------------------------------- power

TEST_F(LumarcTest, PowerOnWithReplyFromEventThreadSetsBandAndRds) {
    ASSERT_NO_FATAL_FAILURE(Open());
    FMSetProp(session, FMPROP_RDS_CALLBACK, reinterpret_cast<DWORD_PTR>(&CaptureGroup));
    fakestack::ClearCalls();
    const uint64_t before = fakestack::EventThreadDeliveries();
    ReplyTo("FM_Enable", FMS_CMD_POWER_ON, FMS_STATUS_SUCCESS, 0);
    EXPECT_EQ(FMPowerOn(session, 1, FMBAND_JAPAN), 0u);
    EXPECT_GT(fakestack::EventThreadDeliveries(), before);
    EXPECT_EQ(CallNames(), (Names{"FM_Enable", "FM_SetBand", "FM_SetRDS"}));
    EXPECT_THAT(CallsOf("FM_SetBand")[0].args, ElementsAre(kStackHandle, 1));
    EXPECT_THAT(CallsOf("FM_SetRDS")[0].args, ElementsAre(kStackHandle, 1));
    EXPECT_EQ(Properties().band.load(), 1u);
    EXPECT_EQ(FMSeek(session, FMSEEK_UP), 0u); // on
}

struct PowerOnCase {
    const char *legend;
    bool replies;
    BYTE status;
    DWORD expected;
    bool onAfter;
};

TEST_F(LumarcTest, PowerOnOutcomes) {
    const PowerOnCase cases[] = {
        {"successed", true, FMS_STATUS_SUCCESS, 0, true},
        {"FM already on counts as on", true, FMS_STATUS_ALREADY_ON, 0, true},
        {"failed", true, FMS_STATUS_FAILED, 110, false},
        {"BT not initialized", true, FMS_STATUS_NOT_INITIALIZED, 110, false},
        {"no reply within 5000 ms", false, 0, 31, false},
    };
    ASSERT_NO_FATAL_FAILURE(Open());
    for (const PowerOnCase &c : cases) {
        SCOPED_TRACE(c.legend);
        ASSERT_EQ(FMPowerOn(session, 0, FMBAND_CCIR), 0u); // start from off
        fakestack::DrainEvents();
        fakestack::ClearCalls();
        if (c.replies)
            ReplyTo("FM_Enable", FMS_CMD_POWER_ON, c.status, 0);
        else
            fakestack::OnCall("FM_Enable", nullptr);
        EXPECT_EQ(FMPowerOn(session, 1, FMBAND_WORLD), c.expected);
        EXPECT_EQ(FMSeek(session, FMSEEK_STOP), c.onAfter ? 0u : 21u);
        // The band is set only after a confirmed power-on.
        EXPECT_EQ(CallsOf("FM_SetBand").size(), c.onAfter ? 1u : 0u);
    }
}

TEST_F(LumarcTest, PowerOnAgainWhileOnSetsTheBandAgain) {
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    ReplyTo("FM_Enable", FMS_CMD_POWER_ON, FMS_STATUS_ALREADY_ON, 0);
    EXPECT_EQ(FMPowerOn(session, 1, FMBAND_WORLD), 0u);
    ASSERT_EQ(CallsOf("FM_SetBand").size(), 1u);
    EXPECT_EQ(CallsOf("FM_SetBand")[0].args[1], 2);

    // No answer this time: the radio counts as off.
    fakestack::OnCall("FM_Enable", nullptr);
    EXPECT_EQ(FMPowerOn(session, 1, FMBAND_WORLD), 31u);
    EXPECT_EQ(FMSeek(session, FMSEEK_UP), 21u);
}

TEST_F(LumarcTest, PowerOffWhileOffAnswersAtOnce) {
    ASSERT_NO_FATAL_FAILURE(Open());
    fakestack::OnCall("FM_Disable", nullptr);
    fakestack::ClearCalls();
    EXPECT_EQ(FMPowerOn(session, 0, FMBAND_JAPAN), 0u);
    EXPECT_EQ(CallNames(), (Names{"FM_SetRDS", "FM_MuteRadio", "FM_Disable"}));
    EXPECT_THAT(CallsOf("FM_SetRDS")[0].args, ElementsAre(kStackHandle, 0));
    EXPECT_THAT(CallsOf("FM_MuteRadio")[0].args, ElementsAre(kStackHandle, 0));
}

TEST_F(LumarcTest, PowerOffConfirmedByEventThread) {
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    EXPECT_EQ(FMPowerOn(session, 0, FMBAND_CCIR), 0u);
    EXPECT_EQ(FMSeek(session, FMSEEK_UP), 21u);
}

TEST_F(LumarcTest, PowerOffWithoutReplyTimesOutAndCountsAsOff) {
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    fakestack::OnCall("FM_Disable", nullptr);
    EXPECT_EQ(FMPowerOn(session, 0, FMBAND_CCIR), 31u);
    EXPECT_EQ(FMSeek(session, FMSEEK_UP), 21u);
}

// ---------------------------------------------------------------- seek

TEST_F(LumarcTest, SeekCommands) {
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(FMSeek(session, FMSEEK_UP), 21u);
    EXPECT_EQ(FMSeek(session, static_cast<FMSeekCmd>(3)), 21u); // power test first
    ASSERT_NO_FATAL_FAILURE(PowerOn());

    struct {
        FMSeekCmd command;
        int64_t stop, up;
    } const cases[] = {{FMSEEK_UP, 0, 1}, {FMSEEK_DOWN, 0, 0}, {FMSEEK_STOP, 1, 0}};
    for (const auto &c : cases) {
        // Pending counts as accepted; a refusal brings no tune report, so it is no success.
        for (DWORD stackResult : {0u, 2u, 1u}) {
            fakestack::SetResult("FM_Seek", stackResult);
            fakestack::ClearCalls();
            EXPECT_EQ(FMSeek(session, c.command), stackResult == 1 ? 31u : 0u) << stackResult;
            ASSERT_EQ(CallNames(), (Names{"FM_Seek"}));
            EXPECT_THAT(CallsOf("FM_Seek")[0].args, ElementsAre(kStackHandle, c.stop, c.up));
        }
    }
    fakestack::ClearCalls();
    EXPECT_EQ(FMSeek(session, static_cast<FMSeekCmd>(3)), 50u);
    EXPECT_TRUE(fakestack::Calls().empty());
}

// ---------------------------------------------------------------- device information

TEST_F(LumarcTest, DeviceInformation) {
    ASSERT_NO_FATAL_FAILURE(Open());
    TagFMDEVINFO info;
    std::memset(&info, 0xAB, sizeof(info));
    info.dwSize = 52;
    const TagFMDEVINFO before = info;
    EXPECT_EQ(FMGetDevInfo(session, &info), 87u);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof(info)), 0);
    EXPECT_EQ(FMGetDevInfo(session, nullptr), 87u);

    fakestack::SetCurrentStatus({0x34, 0x12, 0x56, 0x78, 0, 0, 0, 0, 1, 2, 3, 4});
    fakestack::SetResult("FM_GetCurrentStatus", 1); // ignored
    info.dwSize = 56;
    EXPECT_EQ(FMGetDevInfo(session, &info), 0u); // radio off
    EXPECT_EQ(info.dwVersion, 0x10000u);
    EXPECT_EQ(info.dwChipStatus, 0x00561234u);
    EXPECT_EQ(info.dwReserved, 0xFFFFFFFFu);
    EXPECT_EQ(WString(info.szDeviceName), TEXT("KRV_BRF6350_1"));
    EXPECT_EQ(info.szDeviceName[14], 0xABAB); // only name and terminator written
    const auto status = CallsOf("FM_GetCurrentStatus");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_THAT(status[0].args, ElementsAre(kStackHandle, 1)); // a zeroed record
}

// ---------------------------------------------------------------- the pumping wait

// A window owned by the waiting thread whose procedure delivers the event
// carried in lParam: the stack answering through the caller's own queue.
LRESULT CALLBACK DeliveringWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) {
        fakestack::Deliver(*reinterpret_cast<const StackEvent *>(lParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A DeliveringWindow on the test's thread, for as long as the scope lasts.
class DeliveringWindowScope {
public:
    DeliveringWindowScope() {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DeliveringWindow;
        windowClass.lpszClassName = kClass;
        RegisterClassW(&windowClass);
        window = CreateWindowExW(0, kClass, TEXT(""), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
    }
    ~DeliveringWindowScope() {
        DestroyWindow(window);
        UnregisterClassW(kClass, nullptr);
    }
    DeliveringWindowScope(const DeliveringWindowScope &) = delete;
    DeliveringWindowScope &operator=(const DeliveringWindowScope &) = delete;

    HWND window = nullptr;

private:
    static constexpr const WCHAR *kClass = TEXT("LumarcTestDelivery");
};

TEST_F(LumarcTest, PumpingWaitCompletesThroughTheCallersMessageQueue) {
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    const DeliveringWindowScope delivering;
    const HWND window = delivering.window;
    ASSERT_NE(window, nullptr);

    static const StackEvent reply = fakestack::CommandStatus(FMS_CMD_GET_RSSI, 0, 42);
    fakestack::OnCall("FM_RssiGet", [window] {
        PostMessageW(window, WM_APP, 0, reinterpret_cast<LPARAM>(&reply));
    });
    const uint64_t before = fakestack::EventThreadDeliveries();
    DWORD_PTR rssi = 0;
    EXPECT_EQ(FMGetProp(session, FMPROP_RSSI, &rssi), 0u); // 31 would mean a time-out
    EXPECT_EQ(rssi, 42u);
    EXPECT_EQ(fakestack::EventThreadDeliveries(), before);
}

// Queued replies that end each power-off wait but leave the radio on; one
// is taken per pass through the caller's message queue.
TEST_F(LumarcTest, PowerOffGivesUpAfterTenRepliesThatLeaveItOn) {
    const DeliveringWindowScope delivering;
    const HWND window = delivering.window;
    ASSERT_NE(window, nullptr);
    static const StackEvent unrelated = fakestack::CommandStatus(FMS_CMD_GET_BAND_MODE, 1, 0);

    struct {
        int replies;
        DWORD expected;
        bool onAfter;
    } const cases[] = {{11, 31, true}, {10, 31, true}, {9, 31, false}};
    ASSERT_NO_FATAL_FAILURE(Open());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.replies);
        ASSERT_NO_FATAL_FAILURE(PowerOn());
        fakestack::OnCall("FM_Disable", nullptr);
        for (int i = 0; i < c.replies; ++i)
            PostMessageW(window, WM_APP, 0, reinterpret_cast<LPARAM>(&unrelated));
        EXPECT_EQ(FMPowerOn(session, 0, FMBAND_CCIR), c.expected);
        EXPECT_EQ(FMSeek(session, FMSEEK_STOP), c.onAfter ? 0u : 21u);
        // Ten passes take ten replies (the radio still on is a failure),
        // whatever is left stays queued.
        MSG msg;
        int left = 0;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            ++left;
        EXPECT_EQ(left, c.replies > 10 ? c.replies - 10 : 0);
        ReplyTo("FM_Disable", FMS_CMD_POWER_OFF, FMS_STATUS_SUCCESS, 0);
        FMPowerOn(session, 0, FMBAND_CCIR);
        fakestack::DrainEvents();
    }
}

TEST_F(LumarcTest, PowerFlagOfAnEarlierSessionIsNotTakenForThisOne) {
    const DeliveringWindowScope delivering;
    const HWND window = delivering.window;
    ASSERT_NE(window, nullptr);
    static const StackEvent unrelated = fakestack::CommandStatus(FMS_CMD_GET_BAND_MODE, 1, 0);

    // A close that leaves the radio on and is then broken off by the stack.
    ASSERT_NO_FATAL_FAILURE(OpenAndPowerOn());
    fakestack::OnCall("FM_Disable", nullptr);
    for (int i = 0; i < 10; ++i)
        PostMessageW(window, WM_APP, 0, reinterpret_cast<LPARAM>(&unrelated));
    fakestack::OnCall("FM_Destroy", [] { throw std::runtime_error("stack fault"); });
    EXPECT_FALSE(GuardedCall(CloseThroughGuard, session));
    fakestack::OnCall("FM_Destroy", nullptr);
    session = nullptr;

    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(FMSeek(session, FMSEEK_UP), 21u) << "the new session starts off";
    ReplyTo("FM_Enable", FMS_CMD_POWER_ON, FMS_STATUS_FAILED, 0);
    EXPECT_EQ(FMPowerOn(session, 1, FMBAND_CCIR), 110u);
}

} // namespace
