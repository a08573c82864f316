// stack.h — FMS_API.dll's state, private to the module: the chip (power,
// band, frequency, seeking, settings, AF), the radio under it (radio.h),
// the session and its event thread, the fault injection and the counters,
// all in one Stack reached through TheStack().
//
//   stack_entry.cpp     the 33 FM_* entry points: check their arguments,
//                       then call into the stack
//   stack.cpp           the chip, its radio and scenario, and the commands
//   stack_events.cpp    the session's event thread: schedule, latency,
//                       seek reports, RDS runs, delivery, wake-ups
//   stack_controls.cpp  the fmsim.h controls and the fault injection
//
// Threads. One event thread per session delivers every event through the
// registered callback. It owns a hidden window; its loop dispatches that
// window's messages, then takes the scheduled events that are due and a due
// run of RDS bytes, delivers them (DeliverEvents, the one place events reach
// the client), then sleeps on the wake event until the next deadline (device
// clock) or until a radio's own thread has news. Entry points never call the
// callback: they change the chip state under the lock and schedule the
// event. A call made on the event thread itself (a client querying from
// inside its callback) posts its event to the window instead, so the
// client's pumping wait dispatches it at once. The lock is never held while
// the callback runs.
#ifndef TAVRINEL_EMULATOR_FMSTACK_STACK_H
#define TAVRINEL_EMULATOR_FMSTACK_STACK_H

#include <fmsim.h>
#include <fmstack.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "radio.h"
#include "scenario.h"

namespace fms {

enum EntryIndex {
#define FMSIM_ENTRY_INDEX(name, result, params) kEntry_##name,
    FMS_ENTRY_POINTS(FMSIM_ENTRY_INDEX)
#undef FMSIM_ENTRY_INDEX
        kEntryCount
};
static_assert(kEntryCount == kFmsEntryPointCount);

constexpr std::size_t kCommandCodes = 256;
constexpr DWORD kFirstHandle = 0x464D0001; // "FM" + session number

inline DWORD Now() {
    return GetTickCount();
}

// Wrap-safe "a is at or after b" on the 32-bit device clock.
inline bool Reached(DWORD now, DWORD due) {
    return static_cast<std::int32_t>(now - due) >= 0;
}

struct Scheduled {
    DWORD due = 0;
    StackEvent event{};
    bool seekDone = false; // the event is built when due, if the seek still runs
    std::uint64_t seekId = 0;
};

// One event on its way to the callback, with the RDS bytes it points to.
struct Outgoing {
    StackEvent event{};
    std::unique_ptr<std::uint8_t[]> bytes; // valid during the callback only
    bool posted = false;                   // came through a window's queue
};

struct Chip {
    bool powered = false;
    unsigned band = 0;
    DWORD frequencyKHz = 90000;
    unsigned searchLevel = 20;
    DWORD mute = 2; // stack encoding: 0 muted, 2 audible
    WORD volume = 0;
    DWORD deemphasis = 0;
    DWORD monoStereo = 0;
    DWORD stereoBlend = 0;
    DWORD rdsEnabled = 0;
    DWORD rdsRbds = 0;
    DWORD afEnabled = 0;
    DWORD audioPath = 0;
    DWORD audioEnabled = 1;
    DWORD pauseLevel = 0;
    DWORD pauseDuration = 0;
    // seek in progress
    bool seeking = false;
    bool seekEnding = false; // its report is scheduled
    std::uint64_t seekId = 0;
    DWORD seekTargetKHz = 0;
    BYTE seekStatus = FMS_STATUS_SEEK_SUCCESS;
    // AF: armed by a tune, spent by a jump
    bool afArmed = false;
    DWORD tunedAt = 0;
};

struct RdsFlow {
    DWORD resumeAt = 0; // no RDS before this time (after a tune)
    bool paused = false;
};

struct Session {
    bool exists = false;
    bool stop = false;
    DWORD handle = 0;
    FmsEventCallback callback = nullptr;
    HANDLE thread = nullptr;
    HANDLE wake = nullptr;
    HANDLE ready = nullptr;
    HWND window = nullptr;
};

struct Faults {
    DWORD failCall[kEntryCount] = {};
    bool dropReply[kCommandCodes] = {};
    int failStatus[kCommandCodes];
    int destroyFault = FMSIM_FAULT_NONE;
    int route = FMSIM_ROUTE_EVENT_THREAD;
    Faults() {
        for (int &s : failStatus)
            s = -1;
    }
};

struct Counters {
    std::atomic<std::uint64_t> calls{0}, events{0}, commandStatus{0}, afJumps{0}, rdsEvents{0},
        rdsBytes{0}, rdsGroups{0}, postedReplies{0}, droppedEvents{0};
    std::atomic<std::uint64_t> perEntry[kEntryCount] = {};
};

class Stack {
public:
    Stack() = default;
    ~Stack() = default;
    Stack(const Stack &) = delete;
    Stack &operator=(const Stack &) = delete;

    // Guards all the state but the counters, the event thread's id and the
    // wake-up hook. "(lock held)" below: the caller holds it.
    std::mutex &Mutex() { return lock_; }

    // ---- the entry points' frame
    // Counts a call and answers its injected refusal, 0 to go on.
    DWORD Enter(EntryIndex index);
    // The handle names the running session (and the chip is on when
    // needed): 0 to go on, else the refusal (lock held).
    [[nodiscard]] DWORD CheckSession(DWORD handle, bool needsPower) const;
    [[nodiscard]] const Chip &ChipState() const { return chip_; } // lock held
    [[nodiscard]] bool OnEventThread() const {
        return GetCurrentThreadId() == eventThreadId_.load();
    }

    // ---- the stack's life (stack.cpp, stack_events.cpp)
    DWORD Init();
    void Deinit();                          // not on the event thread
    [[nodiscard]] bool Initialised() const; // lock held
    // Starts the session and its event thread; `guard` holds the lock and
    // is let go while the thread starts.
    DWORD CreateSession(std::unique_lock<std::mutex> &guard, FmsEventCallback callback,
                        DWORD &handle);
    // Stops the event thread and ends the session; not on the event thread,
    // lock not held.
    void DestroySession();

    // ---- commands (stack.cpp; lock held): each changes the chip and sends
    // its command status on its way
    void PowerOn();
    void PowerOff();
    void SetBand(unsigned band);
    void StopSeek();
    DWORD StartSeek(bool up);
    void SetSearchLevel(unsigned level);
    void TuneTo(DWORD frequencyKHz);
    void SetVolume(WORD volume);
    void SetAudioPath(DWORD path);
    void SetRds(DWORD enable);
    void SetSetting(BYTE command, DWORD value, DWORD Chip::*field);
    // A query's answer: a command status carrying the value.
    void Answer(BYTE command, DWORD value);
    // Fills the FMS_CURRENT_STATUS_BYTES of FM_GetCurrentStatus's record.
    void StatusRecord(BYTE *record);
    // Where the chip is tuned, or a running seek has got to.
    [[nodiscard]] DWORD Frequency();
    [[nodiscard]] unsigned CurrentSignal();
    // Alternative frequency of the tuned station, 0 when none.
    [[nodiscard]] DWORD TunedAlternative();
    void WakeEventThread();

    // ---- controls (stack_controls.cpp; they take the lock themselves)
    void InstallScenario(Scenario &&scenario);
    void UseDefaultScenario();
    void UseRadio(const char *spec);
    void SetLatency(DWORD milliseconds);
    void SetRdsRate(double multiplier);
    void PauseRds(bool paused);
    void SetWake(FmsimWakeFunction wake, void *context);
    bool TriggerAfJump();
    void SetReplyRoute(int route);
    void FailCall(EntryIndex index, DWORD result);
    void DropReply(BYTE command, bool drop);
    void FailStatus(BYTE command, int status);
    void SetDestroyFault(int fault);
    [[nodiscard]] int DestroyFault(); // lock held
    void ClearFaults();
    void GetCounters(FmsimCounters &out) const;
    [[nodiscard]] std::uint64_t CallCount(EntryIndex index) const;
    void ResetCounters();
    [[nodiscard]] DWORD EventThreadId() const { return eventThreadId_.load(); }
    [[nodiscard]] bool Powered();
    // The newest of the radio's word and the stack's own (a radio that
    // cannot start, a running seek with where it is now).
    void GetNotice(FmsimNotice &out);

    // ---- for the event thread's window
    void DeliverPosted(std::uint64_t id);

private:
    // stack.cpp: the chip and its radio (lock held)
    bool LoadDefaultScenario(std::string &error);
    void RestartRds(DWORD now, DWORD holdMs);
    void Tune(DWORD frequencyKHz, DWORD now);
    bool AfJump(DWORD now);
    void MakeChosenRadio();
    void ResetChip();
    void ApplyAudio();
    void PowerOnRadio();
    DWORD SeekPosition(DWORD now);

    // stack_events.cpp
    static DWORD WINAPI EventThreadMain(LPVOID self);
    void RunEvents();
    void WakeReader();
    void WakeFromRadio();
    void Schedule(const Scheduled &item); // lock held
    bool EnsureClass();                   // lock held
    HWND CreateHiddenWindow();            // lock held
    void Emit(const StackEvent &event);   // lock held
    void EmitStatus(BYTE command, BYTE status, DWORD value);
    bool TakeForDelivery(StackEvent &event, FmsEventCallback &callback); // lock held
    void Deliver(FmsEventCallback callback, const StackEvent &event);
    void DeliverEvents(std::vector<Outgoing> &batch);
    void FollowSeek(DWORD now, DWORD &waitMs);                               // lock held
    void TakeDueEvents(DWORD now, std::vector<Outgoing> &batch);             // lock held
    void TakeDueRds(DWORD now, DWORD &waitMs, std::vector<Outgoing> &batch); // lock held

    // stack_controls.cpp: the missing-reply and failed-status faults; false
    // when the event is not to be sent (lock held).
    bool ApplyReplyFaults(StackEvent &event);

    std::mutex lock_; // guards everything below but the atomics
    bool initialised_ = false;
    bool scenarioExplicit_ = false;
    Scenario scenario_;
    DWORD latencyMs_ = 5;
    double rdsRate_ = 1.0;
    Session session_;
    Chip chip_;
    RdsFlow rds_;
    std::unique_ptr<Radio> radio_; // exists from the first chip reset on
    std::string radioSpec_ = "sim";
    bool radioExplicit_ = false;
    std::string radioFailure_;   // why the chosen radio could not be made
    bool radioSilenced_ = false; // it could not start: silence stands in
    Notice notice_;              // the stack's word about the radio
    std::atomic<HANDLE> radioWake_{nullptr};
    Faults faults_;
    std::deque<Scheduled> queue_;
    std::map<std::uint64_t, StackEvent> posted_;
    std::uint64_t nextPostId_ = 1;
    std::map<DWORD, HWND> callerWindows_;
    DWORD nextHandle_ = kFirstHandle;
    bool classRegistered_ = false;
    std::basic_string<WCHAR> className_;

    std::atomic<DWORD> eventThreadId_{0};
    Counters counters_;

    // Whom to wake after delivering events (FmsimSetWake); its own lock, so
    // that clearing it waits for a running call.
    std::mutex wakeLock_;
    FmsimWakeFunction wakeFunction_ = nullptr;
    void *wakeContext_ = nullptr;
};

// The module's one stack.
Stack &TheStack();

} // namespace fms

#endif // TAVRINEL_EMULATOR_FMSTACK_STACK_H
