// The FM stack simulator driven through its exports with a recording
// callback: power, tuning, seeking, queries, RDS flow and rate, the query
// made on the event thread, the fault hooks and teardown with events in
// flight. All timing is on the device clock, run fast.
#include <gtest/gtest.h>

#include <fmsim.h>
#include <fmstack.h>
#include <platform/emulation.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "rdsgroup.h"

namespace {

const char kScenario[] = "seed 5\n"
                         "latency 5\n"
                         "seek-step 10\n"
                         "search-level 20\n"
                         "noise 8\n"
                         "station 88000 signal=30 pi=1111 rds=generated ps=\"ONE\"\n"
                         "station 90000 signal=45 pi=D318 rds=generated ps=\"TAVRINEL\" tmc=on "
                         "af=94400\n"
                         "station 94400 signal=38 pi=D318 rds=generated ps=\"TAVRINEL\" tmc=on\n"
                         "station 99100 signal=15 pi=2222 rds=generated\n"
                         "station 104600 signal=12\n";

struct Seen {
    StackEvent event;
    DWORD thread;
};

// What the callback saw. Events are copied; RDS bytes appended.
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Seen> events;
    std::vector<std::uint8_t> rds;
    std::vector<unsigned> runs;
    std::vector<DWORD> runTicks; // the device clock when each run arrived
    bool calledInsideEntryPoint = false;
    std::function<void(const StackEvent &)> hook; // runs on the delivering thread
};

Recorder *recorder = nullptr;
thread_local bool insideEntryPoint = false;

DWORD Callback(const StackEvent *event) {
    std::function<void(const StackEvent &)> hook;
    {
        std::lock_guard<std::mutex> guard(recorder->lock);
        if (insideEntryPoint)
            recorder->calledInsideEntryPoint = true;
        if (event->type == STACK_EVENT_RDS_DATA) {
            const auto *data = reinterpret_cast<const std::uint8_t *>(event->u.rds.data);
            recorder->rds.insert(recorder->rds.end(), data, data + event->u.rds.length);
            recorder->runs.push_back(event->u.rds.length);
            recorder->runTicks.push_back(GetTickCount());
        } else {
            recorder->events.push_back({*event, GetCurrentThreadId()});
        }
        hook = recorder->hook;
    }
    recorder->changed.notify_all();
    if (hook)
        hook(*event);
    return 0;
}

// Marks the calling thread as inside an FM_* call, to catch callbacks made
// from within one.
template <typename F> DWORD Call(F f) {
    insideEntryPoint = true;
    const DWORD r = f();
    insideEntryPoint = false;
    return r;
}

// Counts whole groups in a raw stream that starts on a group boundary.
std::size_t CountGroups(const std::vector<std::uint8_t> &raw, std::uint16_t pi) {
    std::size_t groups = 0;
    for (std::size_t i = 0; i + kFmsRdsGroupBytes <= raw.size(); i += kFmsRdsGroupBytes) {
        bool good = ((raw[i] << 8) | raw[i + 1]) == pi;
        for (std::size_t b = 0; b < kFmsRdsBlocks; ++b)
            good = good && raw[i + kFmsRdsBlockBytes * b + kFmsRdsStatus] == kFmsRdsBlockStatus[b];
        groups += good;
    }
    return groups;
}

class Simulator : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetClockSpeed(50);
        recorder = &rec;
        FmsimClearFaults();
        char error[256];
        ASSERT_TRUE(
            FmsimLoadScenarioText(kScenario, sizeof kScenario - 1, "test.scn", error, sizeof error))
            << error;
        FmsimResetCounters();
        ASSERT_EQ(FM_Init(), FMS_OK);
        DWORD reserved = 0;
        ASSERT_EQ(FM_Create(&reserved, Callback, &stack), FMS_OK);
        ASSERT_NE(stack, 0u);
    }

    void TearDown() override {
        if (stack != 0)
            FM_Destroy(stack);
        FM_Deinit();
        FmsimClearFaults();
        EXPECT_FALSE(rec.calledInsideEntryPoint) << "callback called from inside an FM_* call";
        recorder = nullptr;
    }

    // Waits (real time cap) until `count` non-RDS events have arrived.
    bool WaitEvents(std::size_t count) {
        std::unique_lock<std::mutex> guard(rec.lock);
        return rec.changed.wait_for(guard, std::chrono::seconds(10),
                                    [&] { return rec.events.size() >= count; });
    }

    // The next command status, after waiting for it.
    StackEvent Next() {
        const std::size_t want = taken + 1;
        EXPECT_TRUE(WaitEvents(want)) << "no event #" << want;
        std::lock_guard<std::mutex> guard(rec.lock);
        if (rec.events.size() < want)
            return StackEvent{};
        return rec.events[taken++].event;
    }

    void ExpectStatus(BYTE command, BYTE status, DWORD value) {
        const StackEvent e = Next();
        EXPECT_EQ(e.type, STACK_EVENT_COMMAND_STATUS);
        EXPECT_EQ(e.u.status.command, command);
        EXPECT_EQ(e.u.status.status, status);
        EXPECT_EQ(e.u.status.value, value);
    }

    std::size_t EventCount() {
        std::lock_guard<std::mutex> guard(rec.lock);
        return rec.events.size();
    }

    std::size_t RdsCount() {
        std::lock_guard<std::mutex> guard(rec.lock);
        return rec.rds.size();
    }

    // RDS bytes that arrived from device time `from` up to, not including, `to`.
    std::size_t RdsBytesArrived(DWORD from, DWORD to) {
        std::lock_guard<std::mutex> guard(rec.lock);
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < rec.runs.size(); ++i)
            if (rec.runTicks[i] - from < to - from)
                bytes += rec.runs[i];
        return bytes;
    }

    void PowerOn() {
        ASSERT_EQ(Call([&] { return FM_Enable(stack); }), FMS_PENDING);
        ExpectStatus(FMS_CMD_POWER_ON, FMS_STATUS_SUCCESS, 0);
    }

    void Tune(DWORD f) {
        ASSERT_EQ(Call([&] { return FM_Tune(stack, f); }), FMS_PENDING);
        ExpectStatus(FMS_CMD_TUNE, FMS_STATUS_SUCCESS, f);
    }

    DWORD Query(PFN_FM_RssiGet query, BYTE command) {
        EXPECT_EQ(Call([&] { return query(stack); }), FMS_PENDING);
        const StackEvent e = Next();
        EXPECT_EQ(e.u.status.command, command);
        EXPECT_EQ(e.u.status.status, FMS_STATUS_SUCCESS);
        return e.u.status.value;
    }

    // A fresh stack on another radio.
    void UseRadio(const char *spec) {
        ASSERT_EQ(FM_Destroy(stack), FMS_OK);
        stack = 0;
        taken = 0;
        rec.events.clear();
        FmsimUseRadio(spec);
        DWORD reserved = 0;
        ASSERT_EQ(FM_Create(&reserved, Callback, &stack), FMS_OK);
    }

    // Waits for RDS from the start of `rec.rds` on, and answers whether all of it is `pi`'s.
    bool RdsOnlyFrom(std::uint16_t pi) {
        std::unique_lock<std::mutex> guard(rec.lock);
        return rec.changed.wait_for(guard, std::chrono::seconds(10), [&] {
            return rec.rds.size() >= 36;
        }) && CountGroups(rec.rds, pi) * 12 == rec.rds.size();
    }

    void ClearRds() {
        std::lock_guard<std::mutex> guard(rec.lock);
        rec.rds.clear();
    }

    Recorder rec;
    DWORD stack = 0;
    std::size_t taken = 0;
};

} // namespace

// ---------------------------------------------------------------- power and tuning

TEST_F(Simulator, PowerStatusesOnTheEventThread) {
    EXPECT_EQ(Call([&] { return FM_Tune(stack, 90000); }), FMS_STATUS_FM_NOT_ON);
    EXPECT_EQ(Call([&] { return FM_RssiGet(stack); }), FMS_STATUS_FM_NOT_ON);
    PowerOn();
    EXPECT_EQ(Call([&] { return FM_Enable(stack); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_POWER_ON, FMS_STATUS_ALREADY_ON, 0);
    EXPECT_EQ(FmsimPowered(), 1);
    EXPECT_EQ(Call([&] { return FM_Disable(stack); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_POWER_OFF, FMS_STATUS_SUCCESS, 0);
    EXPECT_EQ(FmsimPowered(), 0);

    std::lock_guard<std::mutex> guard(rec.lock);
    for (const Seen &s : rec.events) {
        EXPECT_EQ(s.thread, FmsimEventThreadId());
        EXPECT_NE(s.thread, GetCurrentThreadId());
    }
    // Wrong handle and a second session are refused.
    EXPECT_EQ(FM_Enable(stack + 1), FMS_STATUS_INVALID_PARAMETER);
    DWORD reserved = 0, second = 0;
    EXPECT_NE(FM_Create(&reserved, Callback, &second), FMS_OK);
}

TEST_F(Simulator, TuneQueriesAndSettings) {
    PowerOn();
    Tune(94400);
    EXPECT_EQ(Query(FM_RssiGet, FMS_CMD_GET_RSSI), 38u);
    Tune(95000);
    EXPECT_EQ(Query(FM_RssiGet, FMS_CMD_GET_RSSI), 8u); // noise
    EXPECT_EQ(FM_Tune(stack, 120000), FMS_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FM_Tune(stack, 80000), FMS_STATUS_INVALID_PARAMETER); // below band 0
    EXPECT_EQ(Query(FM_GetBandMode, FMS_CMD_GET_BAND_MODE), 0u);

    EXPECT_EQ(Call([&] { return FM_RssiSearchLevel(stack, 30); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_RSSI_SEARCH_LEVEL, FMS_STATUS_SUCCESS, 30);
    EXPECT_EQ(Query(FM_GetRSSISearchLevel, FMS_CMD_GET_RSSI_SEARCH_LEVEL), 30u);
    EXPECT_EQ(Call([&] { return FM_MuteRadio(stack, 0); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_MUTE, FMS_STATUS_SUCCESS, 0);
    EXPECT_EQ(Query(FM_GetMuteMode, FMS_CMD_GET_MUTE_MODE), 0u);
    EXPECT_EQ(Call([&] { return FM_SetMoSt(stack, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_MOST, FMS_STATUS_SUCCESS, 1);
    EXPECT_EQ(Query(FM_GetMoSt, FMS_CMD_GET_MOST), 1u);
    EXPECT_EQ(Call([&] { return FM_SetStereoBlend(stack, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_STEREO_BLEND, FMS_STATUS_SUCCESS, 1);
    EXPECT_EQ(Query(FM_GetMostBlend, FMS_CMD_GET_MOST_BLEND), 1u);
    EXPECT_EQ(Call([&] { return FM_SetDeemphasisMode(stack, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_DEEMPHASIS, FMS_STATUS_SUCCESS, 1);
    EXPECT_EQ(Query(FM_GetDemphMode, FMS_CMD_GET_DEEMPHASIS), 1u);
    EXPECT_EQ(Call([&] { return FM_SetVolume(stack, -1, 0); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_VOLUME, FMS_STATUS_SUCCESS, 0xFFFF);
    EXPECT_EQ(FM_SetDeemphasisMode(stack, 7), FMS_STATUS_INVALID_PARAMETER);

    // Band 1 (76-91 MHz) does not hold 95.0 MHz: the chip retunes to its edge.
    EXPECT_EQ(Call([&] { return FM_SetBand(stack, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_BAND, FMS_STATUS_SUCCESS, 1);
    ExpectStatus(FMS_CMD_TUNE, FMS_STATUS_SUCCESS, 76000);
    EXPECT_EQ(FM_SetBand(stack, 3), FMS_STATUS_INVALID_PARAMETER);

    // The current status record is filled synchronously.
    EXPECT_EQ(FM_SetAudioPath(stack, 0x01020304), FMS_OK);
    Tune(88000);
    BYTE record[FMS_CURRENT_STATUS_BYTES] = {};
    EXPECT_EQ(FM_GetCurrentStatus(stack, record), FMS_OK);
    const WORD word = static_cast<WORD>(record[0] | (record[1] << 8));
    EXPECT_TRUE(word & FMSIM_CHIP_POWERED);
    EXPECT_TRUE(word & FMSIM_CHIP_MUTED);
    EXPECT_EQ(record[2], 30);
    EXPECT_EQ(record[4] | (record[5] << 8) | (record[6] << 16), 88000);
    EXPECT_EQ(record[8], 0x04);
    EXPECT_EQ(record[11], 0x01);
}

TEST_F(Simulator, SeekStopsAtStationsAndBandLimits) {
    PowerOn();
    Tune(90000);
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 0, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SEEK, FMS_STATUS_SEEK_SUCCESS, 94400);
    // 99.1 (15) and 104.6 (12) are below the search level of 20.
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 0, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SEEK, FMS_STATUS_SEEK_BAND_LIMIT, 108000);
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 0, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SEEK, FMS_STATUS_SEEK_BAND_LIMIT, 108000);
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 0, 0); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SEEK, FMS_STATUS_SEEK_SUCCESS, 94400);
    Tune(88000);
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 0, 0); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SEEK, FMS_STATUS_SEEK_BAND_LIMIT, 87500);
    // Off the 100 kHz grid: the next grid point up is 90000.
    Tune(89950);
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 0, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SEEK, FMS_STATUS_SEEK_SUCCESS, 90000);
}

TEST_F(Simulator, StopSeekReportsWhereItStopped) {
    PowerOn();
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 1, 0); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SEEK, FMS_STATUS_STOP_SEEK, 90000);
    // 1 s per step: the seek towards 94.4 MHz is still running when stopped.
    char error[256];
    const std::string slow = std::string(kScenario) + "seek-step 1000\n";
    ASSERT_FALSE(FmsimLoadScenarioText(slow.c_str(), slow.size(), "slow", error, sizeof error));
    std::string text = kScenario;
    text.replace(text.find("seek-step 10"), 12, "seek-step 1000");
    ASSERT_TRUE(FmsimLoadScenarioText(text.c_str(), text.size(), "slow", error, sizeof error))
        << error;
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 0, 1); }), FMS_PENDING);
    EXPECT_EQ(FM_Seek(stack, 0, 1), 12u); // already seeking
    Sleep(2500);
    // The phone's notice line tells where the running seek is.
    FmsimNotice notice{};
    FmsimGetNotice(&notice);
    EXPECT_STREQ(notice.cause, "seek");
    const std::string word = notice.text;
    // "seeking 9x.y MHz": one decimal, as the port's sentences give it.
    EXPECT_TRUE(word.starts_with("seeking 9") && word.ends_with(" MHz") && word.size() == 16 &&
                word[10] == '.')
        << word;
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 1, 0); }), FMS_PENDING);
    const StackEvent e = Next();
    EXPECT_EQ(e.u.status.command, FMS_CMD_SEEK);
    EXPECT_EQ(e.u.status.status, FMS_STATUS_SEEK_STOPPED);
    EXPECT_GE(e.u.status.value, 90200u);
    EXPECT_LT(e.u.status.value, 94400u);
    FmsimGetNotice(&notice);
    EXPECT_STREQ(notice.text, "") << "the word of a seek that has ended";
    // The stopped seek never completes.
    Sleep(6000);
    EXPECT_EQ(EventCount(), taken);
}

TEST_F(Simulator, AfJumpNeedsAfEnabled) {
    PowerOn();
    Tune(90000);
    EXPECT_EQ(FmsimTriggerAfJump(), 0);
    ASSERT_EQ(Call([&] { return FM_SetAF(stack, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_AF, FMS_STATUS_SUCCESS, 1);
    ASSERT_EQ(FmsimTriggerAfJump(), 1);
    const StackEvent e = Next();
    EXPECT_EQ(e.type, STACK_EVENT_AF_JUMP);
    EXPECT_EQ(e.u.afJump.frequency, 94400u);
    EXPECT_EQ(reinterpret_cast<const BYTE *>(&e)[12], 94400 & 0xFF);
    EXPECT_EQ(FmsimFrequency(), 94400u);
}

// ---------------------------------------------------------------- RDS

TEST_F(Simulator, RdsFlowsOnlyWhileOnAndEnabled) {
    PowerOn();
    Tune(90000);
    Sleep(500);
    EXPECT_EQ(RdsCount(), 0u) << "RDS without FM_SetRDS(1)";
    ASSERT_EQ(Call([&] { return FM_SetRDS(stack, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_RDS, FMS_STATUS_SUCCESS, 1);
    {
        std::unique_lock<std::mutex> guard(rec.lock);
        ASSERT_TRUE(rec.changed.wait_for(guard, std::chrono::seconds(10),
                                         [&] { return rec.rds.size() >= 240; }));
        // Runs of 1..64 bytes that ignore group boundaries, from a group start.
        for (unsigned run : rec.runs) {
            EXPECT_GE(run, 1u);
            EXPECT_LE(run, 64u);
        }
        EXPECT_EQ(CountGroups(rec.rds, 0xD318), rec.rds.size() / 12);
    }
    // A station without RDS, then power off: the stream stops.
    Tune(104600);
    Sleep(300);
    const std::size_t quiet = RdsCount();
    Sleep(1000);
    EXPECT_EQ(RdsCount(), quiet);
    Tune(90000);
    ASSERT_EQ(Call([&] { return FM_Disable(stack); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_POWER_OFF, FMS_STATUS_SUCCESS, 0);
    const std::size_t off = RdsCount();
    Sleep(1000);
    EXPECT_EQ(RdsCount(), off);
    FmsimCounters c{};
    FmsimGetCounters(&c);
    EXPECT_EQ(c.rdsBytes, off);
    EXPECT_GT(c.rdsGroups, 0u);
}

TEST_F(Simulator, WakesItsReaderOnceAfterEachBatchOfEvents) {
    struct Wakes {
        std::mutex lock;
        std::vector<std::size_t> deliveredBefore; // events seen by the callback at each wake
        bool offThread = false;
    } wakes;
    static Recorder *seen;
    seen = &rec;
    FmsimSetWake(
        [](void *context) {
            auto *w = static_cast<Wakes *>(context);
            std::size_t delivered;
            {
                std::lock_guard<std::mutex> guard(seen->lock);
                delivered = seen->events.size() + seen->runs.size();
            }
            std::lock_guard<std::mutex> guard(w->lock);
            w->deliveredBefore.push_back(delivered);
            w->offThread |= GetCurrentThreadId() != FmsimEventThreadId();
        },
        &wakes);
    PowerOn();
    Tune(90000);
    ASSERT_EQ(Call([&] { return FM_SetRDS(stack, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_RDS, FMS_STATUS_SUCCESS, 1);
    {
        std::unique_lock<std::mutex> guard(rec.lock);
        ASSERT_TRUE(rec.changed.wait_for(guard, std::chrono::seconds(10),
                                         [&] { return rec.runs.size() >= 10; }));
    }
    ASSERT_EQ(Call([&] { return FM_Disable(stack); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_POWER_OFF, FMS_STATUS_SUCCESS, 0);
    // Nothing more comes: the last wake must follow the last event.
    const std::size_t delivered = EventCount() + [&] {
        std::lock_guard<std::mutex> guard(rec.lock);
        return rec.runs.size();
    }();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(wakes.lock);
            if (!wakes.deliveredBefore.empty() && wakes.deliveredBefore.back() == delivered)
                break;
        }
        if (std::chrono::steady_clock::now() > end)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    FmsimSetWake(nullptr, nullptr);

    std::lock_guard<std::mutex> guard(wakes.lock);
    EXPECT_FALSE(wakes.offThread) << "woken from another thread than the event thread";
    ASSERT_FALSE(wakes.deliveredBefore.empty());
    // Each wake follows new events, and none is left without one.
    std::size_t previous = 0;
    for (const std::size_t d : wakes.deliveredBefore) {
        EXPECT_GT(d, previous);
        previous = d;
    }
    EXPECT_EQ(previous, delivered);
    // Batches: at most one wake per event, fewer while events come together.
    EXPECT_LE(wakes.deliveredBefore.size(), delivered);
}

TEST_F(Simulator, RdsRateFollowsTheDeviceClock) {
    platform::SetClockSpeed(10);
    PowerOn();
    Tune(90000);
    ASSERT_EQ(Call([&] { return FM_SetRDS(stack, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_RDS, FMS_STATUS_SUCCESS, 1);
    Sleep(300);
    // Bytes a device second, counted by when they arrived on the device
    // clock. A loaded machine can keep the event thread from running longer
    // than the chip's FIFO lasts (a device second: a tenth of a real one
    // here), which then drops bytes; such a window is measured again. A rate
    // on the wrong clock (a tenth) or without its multiplier (a twentieth)
    // is off in every window.
    auto rateIsAbout = [&](DWORD ms, double expected) {
        double perSecond = 0;
        for (int attempt = 0; attempt < 5; ++attempt) {
            const DWORD start = GetTickCount();
            Sleep(ms);
            const DWORD end = GetTickCount();
            perSecond = RdsBytesArrived(start, end) * 1000.0 / (end - start);
            if (perSecond > expected * 0.6 && perSecond < expected * 1.4)
                return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << perSecond << " bytes a second, not about " << expected;
    };
    // 11.4 groups of 12 bytes a second.
    EXPECT_TRUE(rateIsAbout(4000, 137));
    FmsimSetRdsRate(20);
    Sleep(100);
    EXPECT_TRUE(rateIsAbout(2000, 137 * 20));
    FmsimPauseRds(1);
    Sleep(200);
    const std::size_t paused = RdsCount();
    Sleep(500);
    EXPECT_EQ(RdsCount(), paused);
}

// ---------------------------------------------------------------- the query on the event thread

TEST_F(Simulator, QueryFromTheCallbackIsAnsweredThroughTheMessageQueue) {
    PowerOn();
    std::atomic<int> steps{-1};
    std::atomic<DWORD> rssi{0};
    std::atomic<bool> replied{false};
    std::atomic<bool> onEventThread{false};
    {
        std::lock_guard<std::mutex> guard(rec.lock);
        rec.hook = [&](const StackEvent &e) {
            if (e.type == STACK_EVENT_COMMAND_STATUS && e.u.status.command == FMS_CMD_GET_RSSI) {
                rssi = e.u.status.value;
                replied = true;
                return;
            }
            if (e.type != STACK_EVENT_COMMAND_STATUS || e.u.status.command != FMS_CMD_TUNE)
                return;
            onEventThread = GetCurrentThreadId() == FmsimEventThreadId();
            // What the library does: ask, then the pumping wait.
            replied = false;
            if (FM_RssiGet(stack) != FMS_PENDING)
                return;
            for (int step = 1; step <= 1000; ++step) {
                Sleep(5);
                if (replied) {
                    steps = step;
                    return;
                }
                MSG msg;
                while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    TranslateMessage(&msg);
                    DispatchMessageW(&msg);
                }
            }
        };
    }
    ASSERT_EQ(Call([&] { return FM_Tune(stack, 90000); }), FMS_PENDING);
    ASSERT_TRUE(WaitEvents(3));
    // The tune callback is still finishing its wait when the reply is recorded.
    for (int i = 0; i < 1000 && steps.load() < 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(onEventThread);
    EXPECT_GE(steps.load(), 1);
    EXPECT_LE(steps.load(), 2) << "the reply waited for the event thread";
    EXPECT_EQ(rssi.load(), 45u);
    FmsimCounters c{};
    FmsimGetCounters(&c);
    EXPECT_EQ(c.postedReplies, 1u);
    std::lock_guard<std::mutex> guard(rec.lock);
    rec.hook = nullptr;
}

// ---------------------------------------------------------------- faults

TEST_F(Simulator, InjectedRefusalsMissingRepliesAndFailedStatuses) {
    EXPECT_EQ(FmsimFailCall("FM_NoSuchCall", 1), 0);
    FmsimFailStatus(FMS_CMD_POWER_ON, FMS_STATUS_FAILED);
    EXPECT_EQ(Call([&] { return FM_Enable(stack); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_POWER_ON, FMS_STATUS_FAILED, 0);
    FmsimFailStatus(FMS_CMD_POWER_ON, -1);

    ASSERT_EQ(FmsimFailCall("FM_Tune", 1), 1);
    EXPECT_EQ(FM_Tune(stack, 94400), 1u);
    EXPECT_EQ(FmsimFrequency(), 90000u) << "a refused call changed the chip";
    FmsimFailCall("FM_Tune", 0);
    Tune(94400);

    FmsimDropReply(FMS_CMD_GET_RSSI, 1);
    EXPECT_EQ(Call([&] { return FM_RssiGet(stack); }), FMS_PENDING);
    Sleep(300);
    EXPECT_EQ(EventCount(), taken);
    FmsimDropReply(FMS_CMD_GET_RSSI, 0);
    EXPECT_EQ(Query(FM_RssiGet, FMS_CMD_GET_RSSI), 38u);
    EXPECT_EQ(FmsimCallCount("FM_RssiGet"), 2u);
    EXPECT_EQ(FmsimCallCount("FM_Tune"), 2u);

    ASSERT_EQ(FmsimFailCall("FM_Init", 4), 1);
    EXPECT_EQ(FM_Init(), 4u);
}

TEST_F(Simulator, RepliesThroughTheCallersQueue) {
    PowerOn();
    FmsimSetReplyRoute(FMSIM_ROUTE_CALLER_QUEUE);
    EXPECT_EQ(Call([&] { return FM_RssiGet(stack); }), FMS_PENDING);
    Sleep(300);
    EXPECT_EQ(EventCount(), taken) << "delivered before the caller dispatched its messages";
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
    ASSERT_EQ(EventCount(), taken + 1);
    std::lock_guard<std::mutex> guard(rec.lock);
    EXPECT_EQ(rec.events.back().thread, GetCurrentThreadId());
    EXPECT_EQ(rec.events.back().event.u.status.command, FMS_CMD_GET_RSSI);
    EXPECT_EQ(rec.events.back().event.u.status.value, 45u);
}

TEST_F(Simulator, DestroyFaultThrowsAfterACleanShutdown) {
    FmsimSetDestroyFault(FMSIM_FAULT_EXCEPTION);
    EXPECT_THROW(FM_Destroy(stack), std::runtime_error);
    EXPECT_EQ(FmsimEventThreadId(), 0u);
    EXPECT_EQ(FM_Enable(stack), FMS_STATUS_INVALID_PARAMETER);
    stack = 0;
}

TEST_F(Simulator, DestroyFaultRaisesAMemoryFault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FmsimSetDestroyFault(FMSIM_FAULT_SEGV);
    EXPECT_DEATH(FM_Destroy(stack), "");
    FmsimSetDestroyFault(FMSIM_FAULT_NONE);
}

TEST_F(Simulator, DestroyWithEventsInFlight) {
    for (int round = 0; round < 10; ++round) {
        PowerOn();
        FmsimSetRdsRate(200);
        ASSERT_EQ(FM_SetRDS(stack, 1), FMS_PENDING);
        FmsimSetLatency(60000); // these replies are still queued at FM_Destroy
        for (int i = 0; i < 20; ++i)
            FM_RssiGet(stack);
        {
            std::unique_lock<std::mutex> guard(rec.lock);
            ASSERT_TRUE(rec.changed.wait_for(guard, std::chrono::seconds(10),
                                             [&] { return rec.rds.size() > 100; }));
        }
        ASSERT_EQ(FM_Destroy(stack), FMS_OK);
        FmsimCounters after{};
        FmsimGetCounters(&after);
        Sleep(300);
        FmsimCounters later{};
        FmsimGetCounters(&later);
        EXPECT_EQ(later.events, after.events) << "an event arrived after FM_Destroy";
        EXPECT_GT(after.droppedEvents, 0u);
        FmsimClearFaults();
        DWORD reserved = 0;
        ASSERT_EQ(FM_Create(&reserved, Callback, &stack), FMS_OK);
        std::lock_guard<std::mutex> guard(rec.lock);
        taken = rec.events.size();
    }
}

// ---------------------------------------------------------------- stack variants

TEST(SimulatorModules, VariantsLackTheirEntryPoint) {
    HMODULE plain = LoadLibraryW(u"FMS_API.dll");
    HMODULE noAudio = LoadLibraryW(u"FMS_API_NoAudioEnable.dll");
    HMODULE noTune = LoadLibraryW(u"FMS_API_NoTune.dll");
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(noAudio, nullptr);
    ASSERT_NE(noTune, nullptr);
#define FMSIM_CHECK_ENTRY(name, result, params)                                                    \
    EXPECT_NE(GetProcAddressW(plain, u## #name), nullptr) << #name;                                \
    EXPECT_EQ(GetProcAddressW(noAudio, u## #name) == nullptr,                                      \
              std::string(#name) == "FM_AudioEnable")                                              \
        << #name;                                                                                  \
    EXPECT_EQ(GetProcAddressW(noTune, u## #name) == nullptr, std::string(#name) == "FM_Tune")      \
        << #name;
    FMS_ENTRY_POINTS(FMSIM_CHECK_ENTRY)
#undef FMSIM_CHECK_ENTRY
    FreeLibrary(noTune);
    FreeLibrary(noAudio);
    FreeLibrary(plain);
}

// ---------------------------------------------------------------- capture replay and scheduled AF
// jumps

TEST_F(Simulator, ReplaysACaptureWithDamagedBlocks) {
    const std::string path = ::testing::TempDir() + "fmsim-replay.rds";
    {
        FILE *f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("% RDS hexgroups\nC36C 0548 E795 4865\nC36C ---- 9895 6172\n", f);
        std::fclose(f);
    }
    const std::string text = "latency 5\nstation 90000 signal=40 rds=capture file=\"" + path +
                             "\"\nstation 94400 signal=40 pi=D318 rds=generated af=90000 "
                             "afjump=500\n";
    char error[256];
    ASSERT_TRUE(FmsimLoadScenarioText(text.c_str(), text.size(), "replay", error, sizeof error))
        << error;
    PowerOn();
    Tune(90000);
    ASSERT_EQ(FM_SetRDS(stack, 1), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_RDS, FMS_STATUS_SUCCESS, 1);
    {
        std::unique_lock<std::mutex> guard(rec.lock);
        ASSERT_TRUE(rec.changed.wait_for(guard, std::chrono::seconds(10),
                                         [&] { return rec.rds.size() >= 48; }));
        std::size_t damaged = 0;
        for (std::size_t i = 0; i + 12 <= rec.rds.size(); i += 12) {
            EXPECT_EQ((rec.rds[i] << 8) | rec.rds[i + 1], 0xC36C);
            if (rec.rds[i + 5] == (0x21 | kFmsRdsNotDecodedBit)) {
                ++damaged;
                EXPECT_EQ(rec.rds[i + 3], 0);
            } else {
                EXPECT_EQ(rec.rds[i + 5], 0x21);
            }
        }
        EXPECT_GE(damaged, 1u);
    }
    // The other station fades after 500 ms with AF on: the chip jumps to 90.0.
    ASSERT_EQ(FM_SetAF(stack, 1), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_AF, FMS_STATUS_SUCCESS, 1);
    Tune(94400);
    const StackEvent jump = Next();
    EXPECT_EQ(jump.type, STACK_EVENT_AF_JUMP);
    EXPECT_EQ(jump.u.afJump.frequency, 90000u);
    std::remove(path.c_str());
}

// ---------------------------------------------------------------- radios outside the process

TEST_F(Simulator, ACommandRadioFeedsTheStackAndOneThatCannotStartIsSilent) {
    auto useRadio = [&](const char *spec) { UseRadio(spec); };
    useRadio("cmd:while :; do echo 'D318 0548 E795 4865 @2024/05/06 10:00:00.00'; sleep 0.02; "
             "done");
    PowerOn();
    ASSERT_EQ(Call([&] { return FM_SetRDS(stack, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_RDS, FMS_STATUS_SUCCESS, 1);
    {
        std::unique_lock<std::mutex> guard(rec.lock);
        ASSERT_TRUE(rec.changed.wait_for(guard, std::chrono::seconds(10),
                                         [&] { return rec.rds.size() >= 48; }));
        EXPECT_EQ(CountGroups(rec.rds, 0xD318) * 12, rec.rds.size());
    }
    EXPECT_GT(Query(FM_RssiGet, FMS_CMD_GET_RSSI), 0u);

    testing::internal::CaptureStderr();
    useRadio("v4l2:/nonexistent/radio9");
    PowerOn();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("FMS_API: radio v4l2:/nonexistent/radio9"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(Query(FM_RssiGet, FMS_CMD_GET_RSSI), 0u);
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 0, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SEEK, FMS_STATUS_SEEK_BAND_LIMIT, 108000);
    FmsimUseRadio(nullptr);
}

TEST_F(Simulator, ACommandRadioStepsAndSeeksBetweenTheStationsItReports) {
    // The command hears D318 on 89.0 MHz and C36C on 89.5 MHz, nothing elsewhere.
    setenv("TAVRINEL_FM_SEEK_DWELL_MS", "150", 1);
    UseRadio("cmd:case {khz} in 89000) pi=D318;; 89500) pi=C36C;; *) exec sleep 60;; esac; "
             "while :; do echo \"$pi 0548 E795 4865\"; sleep 0.02; done");
    unsetenv("TAVRINEL_FM_SEEK_DWELL_MS");
    PowerOn();
    ASSERT_EQ(Call([&] { return FM_SetRDS(stack, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SET_RDS, FMS_STATUS_SUCCESS, 1);
    Tune(89000);
    ClearRds();
    EXPECT_TRUE(RdsOnlyFrom(0xD318));
    // A step restarts the command on a silent frequency, a tune on the other station.
    Tune(89100);
    EXPECT_EQ(Query(FM_RssiGet, FMS_CMD_GET_RSSI), 0u);
    ClearRds();
    Tune(89500);
    EXPECT_TRUE(RdsOnlyFrom(0xC36C));
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 0, 0); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SEEK, FMS_STATUS_SEEK_SUCCESS, 89000);
    ClearRds();
    EXPECT_TRUE(RdsOnlyFrom(0xD318));
    ASSERT_EQ(Call([&] { return FM_Seek(stack, 0, 1); }), FMS_PENDING);
    ExpectStatus(FMS_CMD_SEEK, FMS_STATUS_SEEK_SUCCESS, 89500);
    ClearRds();
    EXPECT_TRUE(RdsOnlyFrom(0xC36C));
    FmsimUseRadio(nullptr);
}
