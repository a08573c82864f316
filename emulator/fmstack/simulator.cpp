// simulator.cpp — FMS_API.dll, the phone's FM stack: the 33 FM_* entry
// points, the chip's state (power, band, frequency, seeking, settings, AF),
// command statuses and events on the stack's own thread, and the fmsim.h
// controls. What is received comes from a radio (radio.h): the simulated
// band of a scenario, a Linux V4L2 tuner or a decoder command, chosen by
// TAVRINEL_FM_RADIO or FmsimUseRadio.
//
// Threads. One event thread per stack session delivers every event through
// the registered callback. It owns a hidden window; its loop dispatches that
// window's messages, then takes the scheduled events that are due and a due
// run of RDS bytes, delivers them (DeliverEvents, the one place events reach
// the client), then sleeps on the wake event until the next deadline (device
// clock) or until a radio's own thread has news. Entry points never call the
// callback: they change the chip state under `lock` and schedule the event.
// A call made on the event thread itself (a client querying from inside its
// callback) posts its event to the window instead, so the client's pumping
// wait dispatches it at once. `lock` is never held while the callback runs.
#include <fmsim.h>
#include <fmstack.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "radio.h"
#include "scenario.h"

namespace {

// ---------------------------------------------------------------- entry point table

enum EntryIndex {
#define FMSIM_ENTRY_INDEX(name, result, params) kEntry_##name,
    FMS_ENTRY_POINTS(FMSIM_ENTRY_INDEX)
#undef FMSIM_ENTRY_INDEX
        kEntryCount
};
static_assert(kEntryCount == kFmsEntryPointCount);

constexpr const char *kEntryNames[kEntryCount] = {
#define FMSIM_ENTRY_NAME(name, result, params) #name,
    FMS_ENTRY_POINTS(FMSIM_ENTRY_NAME)
#undef FMSIM_ENTRY_NAME
};

int EntryByName(const char *name) {
    if (name == nullptr)
        return -1;
    for (int i = 0; i < kEntryCount; ++i) {
        if (std::strcmp(name, kEntryNames[i]) == 0)
            return i;
    }
    return -1;
}

constexpr UINT kPostedEventMessage = WM_APP + 0x46;
constexpr DWORD kMaxIdleWaitMs = 1000; // a safety net: whatever changes wakes the thread
// A busy stack wakes its reader at least this often: the reader may hold the
// stack back until it has read what the previous wake announced, so two
// wakes' worth of RDS (as sentences, about 2.8 bytes a raw byte) must fit
// the driver's 2048-byte buffer.
constexpr unsigned kMaxEventsPerWake = 8;
constexpr unsigned kMaxRdsBytesPerWake = 240;
constexpr DWORD kFirstHandle = 0x464D0001; // "FM" + session number
constexpr std::size_t kCommandCodes = 256;
constexpr DWORD kStatusAlreadyPending = 12;

// ---------------------------------------------------------------- state

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

struct Rds {
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

std::mutex lock; // guards everything below but the atomics
bool initialised = false;
bool scenarioExplicit = false;
fms::Scenario scenario;
DWORD latencyMs = 5;
double rdsRate = 1.0;
Session session;
Chip chip;
Rds rdsState;
std::unique_ptr<fms::Radio> radio; // exists from the first chip reset on
std::string radioSpec = "sim";
bool radioExplicit = false;
std::string radioFailure;   // why the chosen radio could not be made
bool radioSilenced = false; // it could not start: silence stands in
std::atomic<HANDLE> radioWake{nullptr};
Faults faults;
std::deque<Scheduled> queue;
std::map<std::uint64_t, StackEvent> posted;
std::uint64_t nextPostId = 1;
std::map<DWORD, HWND> callerWindows;
DWORD nextHandle = kFirstHandle;
bool classRegistered = false;
std::basic_string<WCHAR> className;

std::atomic<DWORD> eventThreadId{0};
Counters counters;

// Whom to wake after delivering events (FmsimSetWake); its own lock, so
// that clearing it waits for a running call.
std::mutex wakeLock;
FmsimWakeFunction wakeFunction = nullptr;
void *wakeContext = nullptr;

void WakeReader() {
    std::lock_guard<std::mutex> guard(wakeLock);
    if (wakeFunction != nullptr)
        wakeFunction(wakeContext);
}

// ---------------------------------------------------------------- helpers

DWORD Now() {
    return GetTickCount();
}

// Wrap-safe "a is at or after b" on the 32-bit device clock.
bool Reached(DWORD now, DWORD due) {
    return static_cast<std::int32_t>(now - due) >= 0;
}

unsigned CurrentSignal() {
    return chip.powered ? std::min(radio->signal(), fms::kMaxSignal) : 0;
}

// Alternative frequency of the tuned station, 0 when none.
DWORD TunedAlternative() {
    return chip.powered && !chip.seeking ? radio->alternativeKHz() : 0;
}

DWORD SeekPosition(DWORD now) {
    fms::Millis unused = 0;
    return radio->seekPoll(now, unused).positionKHz;
}

void LoadDefaultScenarioLocked(std::string &error, bool &ok) {
    fms::Scenario s;
    const char *env = std::getenv("TAVRINEL_FM_SCENARIO");
    if (env != nullptr && env[0] != '\0')
        ok = fms::LoadScenarioFile(env, s, error);
    else
        ok = fms::ParseScenario(fms::DefaultScenarioText(), "default.scn", "", s, error);
    if (ok) {
        scenario = std::move(s);
        latencyMs = scenario.latencyMs;
        rdsRate = scenario.rate;
    }
}

// The radio follows the chip's frequency; RDS resumes after the tune has
// been reported.
void RestartRds(DWORD now, DWORD holdMs) {
    rdsState.resumeAt = now + holdMs;
    if (chip.powered)
        radio->tune(chip.frequencyKHz, now);
    radio->rdsIdle();
}

void WakeEventThread() {
    if (session.wake)
        SetEvent(session.wake);
}

// From a radio's own thread: no lock, the session's wake event while it lasts.
void WakeFromRadio() {
    if (HANDLE wake = radioWake.load())
        SetEvent(wake);
}

void Schedule(const Scheduled &item) {
    auto it = queue.begin();
    while (it != queue.end() && Reached(item.due, it->due))
        ++it;
    queue.insert(it, item);
    WakeEventThread();
}

LRESULT CALLBACK SimWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

bool EnsureClass() {
    if (classRegistered)
        return true;
    // One class name per loaded module: test variants of the stack may share a process.
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "TavrinelFms%p", reinterpret_cast<void *>(&SimWindowProc));
    className.assign(buffer, buffer + std::strlen(buffer));
    WNDCLASSW wc{};
    wc.lpfnWndProc = SimWindowProc;
    wc.lpszClassName = className.c_str();
    if (RegisterClassW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    classRegistered = true;
    return true;
}

HWND CreateHiddenWindow() {
    return CreateWindowExW(0, className.c_str(), TEXT(""), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           nullptr, nullptr);
}

// Sends an event on its way from an entry point (lock held): through a
// window when the caller is the event thread or the caller-queue route is
// on, else through the schedule after the latency.
void Emit(const StackEvent &event) {
    const DWORD self = GetCurrentThreadId();
    HWND target = nullptr;
    if (self == eventThreadId.load()) {
        target = session.window;
    } else if (faults.route == FMSIM_ROUTE_CALLER_QUEUE) {
        auto it = callerWindows.find(self);
        if (it == callerWindows.end()) {
            HWND w = CreateHiddenWindow();
            if (w != nullptr)
                it = callerWindows.emplace(self, w).first;
        }
        if (it != callerWindows.end())
            target = it->second;
    }
    if (target != nullptr) {
        const std::uint64_t id = nextPostId++;
        posted.emplace(id, event);
        if (PostMessageW(target, kPostedEventMessage, static_cast<WPARAM>(id), 0))
            return;
        posted.erase(id);
    }
    Scheduled item;
    item.due = Now() + latencyMs;
    item.event = event;
    Schedule(item);
}

StackEvent CommandStatus(BYTE command, BYTE status, DWORD value) {
    StackEvent e{};
    e.type = STACK_EVENT_COMMAND_STATUS;
    e.u.status.command = command;
    e.u.status.status = status;
    e.u.status.value = value;
    return e;
}

void EmitStatus(BYTE command, BYTE status, DWORD value) {
    Emit(CommandStatus(command, status, value));
}

// Last look at an event before the callback (lock held): the session must
// still run, and the missing-reply and failed-status faults apply.
bool TakeForDelivery(StackEvent &event, FmsEventCallback &callback) {
    if (!session.exists || session.stop || session.callback == nullptr) {
        counters.droppedEvents++;
        return false;
    }
    if (event.type == STACK_EVENT_COMMAND_STATUS) {
        const BYTE command = event.u.status.command;
        if (faults.dropReply[command]) {
            counters.droppedEvents++;
            return false;
        }
        if (faults.failStatus[command] >= 0)
            event.u.status.status = static_cast<BYTE>(faults.failStatus[command]);
    }
    callback = session.callback;
    return true;
}

void Deliver(FmsEventCallback callback, const StackEvent &event) {
    counters.events++;
    if (event.type == STACK_EVENT_COMMAND_STATUS)
        counters.commandStatus++;
    else if (event.type == STACK_EVENT_AF_JUMP)
        counters.afJumps++;
    callback(&event);
}

void DeliverEvents(std::vector<Outgoing> &batch);

LRESULT CALLBACK SimWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kPostedEventMessage)
        return DefWindowProcW(window, message, wParam, lParam);
    std::vector<Outgoing> batch(1);
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = posted.find(static_cast<std::uint64_t>(wParam));
        if (it == posted.end())
            return 0; // the session that posted it is gone
        batch.front().event = it->second;
        batch.front().posted = true;
        posted.erase(it);
    }
    DeliverEvents(batch);
    return 0;
}

// ---------------------------------------------------------------- the chip

void Tune(DWORD frequencyKHz, DWORD now) {
    if (chip.seeking) {
        chip.seeking = false;
        ++chip.seekId;
    }
    chip.frequencyKHz = frequencyKHz;
    chip.afArmed = true;
    chip.tunedAt = now;
    RestartRds(now, latencyMs + 1);
}

// Jumps to the tuned station's first alternative frequency (lock held).
bool AfJump(DWORD now) {
    const DWORD target = TunedAlternative();
    if (target == 0 || !chip.afEnabled)
        return false;
    chip.frequencyKHz = target;
    chip.afArmed = false;
    chip.tunedAt = now;
    RestartRds(now, latencyMs + 1);
    Scheduled item;
    item.due = now + latencyMs;
    item.event.type = STACK_EVENT_AF_JUMP;
    item.event.u.afJump.frequency = target;
    Schedule(item);
    return true;
}

// A radio that hears nothing: what the stack runs on when the chosen radio
// cannot start.
class SilentRadio final : public fms::Radio {
public:
    bool powerOn(std::uint32_t frequencyKHz, std::string &) override {
        frequencyKHz_ = frequencyKHz;
        return true;
    }
    void powerOff() override {}
    void tune(std::uint32_t frequencyKHz, fms::Millis) override { frequencyKHz_ = frequencyKHz; }
    unsigned signal() override { return 0; }
    void seekStart(std::uint32_t, bool up, fms::BandLimits band, unsigned, fms::Millis) override {
        frequencyKHz_ = up ? band.highKHz : band.lowKHz;
    }
    fms::SeekResult seekPoll(fms::Millis, fms::Millis &) override {
        return {frequencyKHz_, true, false};
    }
    bool readRds(fms::Millis, std::vector<std::uint8_t> &, fms::Millis &) override { return false; }
    void rdsIdle() override {}
    std::uint64_t groupsStarted() const override { return 0; }

private:
    std::uint32_t frequencyKHz_ = 0;
};

void WakeEventThread();

// A fresh radio of the chosen kind, powered off (lock held).
void MakeChosenRadio() {
    if (radio)
        radio->powerOff();
    std::string why;
    radio = fms::MakeRadio(
        radioSpec, scenario, rdsRate, [] { WakeFromRadio(); }, why);
    radioFailure.clear();
    radioSilenced = false;
    if (!radio) {
        radioFailure = why; // said when the radio is powered on
        radio = std::make_unique<SilentRadio>();
    }
}

void ResetChip() {
    chip = Chip{};
    chip.band = scenario.band;
    chip.frequencyKHz = scenario.frequencyKHz;
    chip.searchLevel = scenario.searchLevel;
    MakeChosenRadio();
}

// The chip's audio settings reach the radio.
void ApplyAudio() {
    if (!chip.powered)
        return;
    radio->setVolume(chip.volume);
    radio->setMute(chip.mute == 0);
    radio->setMono(chip.monoStereo != 0);
    radio->setDeemphasis75us(chip.deemphasis != 0);
}

// Powers the radio on; one that cannot start is replaced by silence until
// the next power-on tries again (a tuner plugged in meanwhile).
void PowerOnRadio() {
    if (radioSilenced)
        MakeChosenRadio();
    std::string why = radioFailure;
    radioSilenced = !why.empty() || !radio->powerOn(chip.frequencyKHz, why);
    if (radioSilenced) {
        std::fprintf(stderr, "FMS_API: radio %s cannot start: %s\n", radioSpec.c_str(),
                     why.c_str());
        radio->powerOff();
        radio = std::make_unique<SilentRadio>();
        radio->powerOn(chip.frequencyKHz, why);
    }
}

// ---------------------------------------------------------------- event thread

// The one place events reach the client: each gets its last look under the
// lock (the session may have ended meanwhile), then the callback without it.
void DeliverEvents(std::vector<Outgoing> &batch) {
    unsigned delivered = 0; // events since the last wake of the reader
    unsigned rdsBytes = 0;  // RDS bytes since then
    for (Outgoing &out : batch) {
        FmsEventCallback callback = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!TakeForDelivery(out.event, callback))
                continue;
        }
        if (out.posted)
            counters.postedReplies++;
        if (out.event.type == STACK_EVENT_RDS_DATA) {
            counters.rdsEvents++;
            counters.rdsBytes += out.event.u.rds.length;
            rdsBytes += out.event.u.rds.length;
        }
        Deliver(callback, out.event);
        // A long batch still wakes its reader in time.
        if (++delivered >= kMaxEventsPerWake || rdsBytes >= kMaxRdsBytesPerWake) {
            delivered = 0;
            rdsBytes = 0;
            WakeReader();
        }
    }
    batch.clear();
    if (delivered > 0)
        WakeReader();
}

// A running seek that the radio says has ended is reported after the
// latency; the chip stays seeking until then (lock held).
void FollowSeek(DWORD now, DWORD &waitMs) {
    if (!chip.seeking || chip.seekEnding)
        return;
    fms::Millis radioWaitMs = waitMs; // DWORD is not 32-bit unsigned int everywhere
    const fms::SeekResult r = radio->seekPoll(now, radioWaitMs);
    waitMs = radioWaitMs;
    if (!r.ended)
        return;
    chip.seekEnding = true;
    chip.seekTargetKHz = r.positionKHz;
    chip.seekStatus = r.found ? FMS_STATUS_SEEK_SUCCESS : FMS_STATUS_SEEK_BAND_LIMIT;
    Scheduled item;
    item.due = now + latencyMs;
    item.seekDone = true;
    item.seekId = chip.seekId;
    Schedule(item);
}

// Moves the scheduled events that are due into the batch (lock held).
void TakeDueEvents(DWORD now, std::vector<Outgoing> &batch) {
    while (!queue.empty() && Reached(now, queue.front().due)) {
        Scheduled item = queue.front();
        queue.pop_front();
        if (item.seekDone) {
            if (!chip.seeking || chip.seekId != item.seekId)
                continue; // stopped or overtaken by a tune
            chip.seeking = false;
            chip.seekEnding = false;
            chip.frequencyKHz = chip.seekTargetKHz;
            chip.afArmed = true;
            chip.tunedAt = now;
            RestartRds(now, 1);
            item.event = CommandStatus(FMS_CMD_SEEK, chip.seekStatus, chip.seekTargetKHz);
        }
        Outgoing out;
        out.event = item.event;
        batch.push_back(std::move(out));
    }
}

// Adds one run of RDS bytes to the batch when one is due; otherwise lowers
// `waitMs` to the time until the next run may be (lock held).
void TakeDueRds(DWORD now, DWORD &waitMs, std::vector<Outgoing> &batch) {
    // Scheduled AF jump: the station fades, the chip moves to its AF.
    const bool tuned = chip.powered && !chip.seeking;
    if (tuned && chip.afArmed && chip.afEnabled && TunedAlternative() != 0 &&
        radio->fadeAfterMs() != 0) {
        const DWORD at = chip.tunedAt + radio->fadeAfterMs();
        if (Reached(now, at))
            AfJump(now);
        else
            waitMs = std::min<DWORD>(waitMs, at - now);
    }
    const bool active =
        tuned && chip.rdsEnabled && !rdsState.paused && Reached(now, rdsState.resumeAt);
    if (!active) {
        radio->rdsIdle();
        if (tuned && chip.rdsEnabled && !Reached(now, rdsState.resumeAt))
            waitMs = std::min<DWORD>(waitMs, rdsState.resumeAt - now);
        return;
    }
    std::vector<std::uint8_t> data;
    const std::uint64_t groupsBefore = radio->groupsStarted();
    fms::Millis radioWaitMs = waitMs;
    const bool read = radio->readRds(now, data, radioWaitMs);
    waitMs = radioWaitMs;
    if (!read || data.empty())
        return;
    counters.rdsGroups += radio->groupsStarted() - groupsBefore;
    const std::size_t run = std::min<std::size_t>(data.size(), fms::kMaxRunBytes);
    Outgoing out;
    out.bytes = std::make_unique<std::uint8_t[]>(run);
    std::memcpy(out.bytes.get(), data.data(), run);
    out.event.type = STACK_EVENT_RDS_DATA;
    out.event.u.rds.length = static_cast<WORD>(run);
    out.event.u.rds.data = reinterpret_cast<DWORD_PTR>(out.bytes.get());
    batch.push_back(std::move(out));
}

DWORD WINAPI EventThread(LPVOID) {
    {
        std::lock_guard<std::mutex> guard(lock);
        eventThreadId.store(GetCurrentThreadId());
        session.window = CreateHiddenWindow();
        SetEvent(session.ready);
    }
    std::vector<Outgoing> batch;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        DWORD waitMs = kMaxIdleWaitMs;
        HANDLE wake;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (session.stop)
                break;
            DWORD now = Now();
            FollowSeek(now, waitMs);
            TakeDueEvents(now, batch);
            TakeDueRds(now, waitMs, batch);
            if (!queue.empty()) {
                const DWORD due = queue.front().due;
                now = Now();
                waitMs = Reached(now, due) ? 0 : std::min<DWORD>(waitMs, due - now);
            }
            wake = session.wake;
        }
        if (!batch.empty()) {
            DeliverEvents(batch);
            continue;
        }
        if (waitMs > 0)
            WaitForSingleObject(wake, waitMs);
    }
    HWND window;
    {
        std::lock_guard<std::mutex> guard(lock);
        window = session.window;
        session.window = nullptr;
    }
    if (window != nullptr)
        DestroyWindow(window);
    eventThreadId.store(0);
    return 0;
}

// Stops the event thread and ends the session. Not on the event thread.
void DestroySessionUnlocked() {
    HANDLE thread;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!session.exists)
            return;
        session.stop = true;
        thread = session.thread;
        WakeEventThread();
    }
    WaitForSingleObject(thread, INFINITE);
    std::lock_guard<std::mutex> guard(lock);
    // Its threads may wake the event thread until it is off.
    radio->powerOff();
    radioWake.store(nullptr);
    CloseHandle(session.thread);
    CloseHandle(session.wake);
    CloseHandle(session.ready);
    counters.droppedEvents += queue.size() + posted.size();
    queue.clear();
    posted.clear();
    // Windows can only be destroyed by their own thread; the others stay
    // and find nothing to deliver.
    const DWORD self = GetCurrentThreadId();
    for (auto it = callerWindows.begin(); it != callerWindows.end();) {
        if (it->first == self) {
            DestroyWindow(it->second);
            it = callerWindows.erase(it);
        } else {
            ++it;
        }
    }
    session = Session{};
    chip.powered = false;
    radio->powerOff();
}

// ---------------------------------------------------------------- entry point guards

// Counts the call and applies an injected refusal; 0 to go on.
DWORD Enter(EntryIndex index) {
    counters.calls++;
    counters.perEntry[index]++;
    std::lock_guard<std::mutex> guard(lock);
    return faults.failCall[index];
}

// Checks handle (and power) with the lock held; 0 to go on.
DWORD CheckSession(DWORD stack, bool needsPower) {
    if (!session.exists || session.stop || stack != session.handle)
        return FMS_STATUS_INVALID_PARAMETER;
    if (needsPower && !chip.powered)
        return FMS_STATUS_FM_NOT_ON;
    return 0;
}

// A setting answered by its command status.
DWORD Set(EntryIndex index, DWORD stack, bool needsPower, BYTE command, DWORD value, DWORD maximum,
          DWORD Chip::*field) {
    if (DWORD refused = Enter(index))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, needsPower))
        return refused;
    if (value > maximum)
        return FMS_STATUS_INVALID_PARAMETER;
    if (field != nullptr)
        chip.*field = value;
    ApplyAudio();
    EmitStatus(command, FMS_STATUS_SUCCESS, value);
    return FMS_PENDING;
}

// A query answered by one command status carrying the value.
template <typename ValueFn>
DWORD Query(EntryIndex index, DWORD stack, bool needsPower, BYTE command, ValueFn value) {
    if (DWORD refused = Enter(index))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, needsPower))
        return refused;
    EmitStatus(command, FMS_STATUS_SUCCESS, value());
    return FMS_PENDING;
}

constexpr DWORD kAny = 0xFFFFFFFFu;

void CopyError(const std::string &text, char *error, size_t errorSize) {
    if (error == nullptr || errorSize == 0)
        return;
    const size_t n = std::min(text.size(), errorSize - 1);
    std::memcpy(error, text.data(), n);
    error[n] = '\0';
}

// Installs a parsed scenario (lock held): options, and the chip's band if no
// session runs; a running session keeps its chip but restarts RDS.
void InstallScenario(fms::Scenario &&s) {
    scenario = std::move(s);
    scenarioExplicit = true;
    latencyMs = scenario.latencyMs;
    rdsRate = scenario.rate;
    if (!session.exists)
        ResetChip();
    else
        RestartRds(Now(), 0);
}

} // namespace

// ================================================================ FM_* entry points

extern "C" {

__declspec(dllexport) DWORD FM_GetCurrentStatus(DWORD stack, BYTE *record) {
    if (DWORD refused = Enter(kEntry_FM_GetCurrentStatus))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, false))
        return refused;
    if (record == nullptr)
        return FMS_STATUS_INVALID_PARAMETER;
    WORD word = 0;
    word |= chip.powered ? FMSIM_CHIP_POWERED : 0;
    word |= chip.rdsEnabled ? FMSIM_CHIP_RDS : 0;
    word |= chip.seeking ? FMSIM_CHIP_SEEKING : 0;
    word |= CurrentSignal() >= chip.searchLevel && chip.powered ? FMSIM_CHIP_STEREO : 0;
    word |= chip.mute == 0 ? FMSIM_CHIP_MUTED : 0;
    word |= chip.afEnabled ? FMSIM_CHIP_AF : 0;
    const DWORD frequency = chip.seeking ? SeekPosition(Now()) : chip.frequencyKHz;
    BYTE out[FMS_CURRENT_STATUS_BYTES] = {};
    out[0] = static_cast<BYTE>(word & 0xFF);
    out[1] = static_cast<BYTE>(word >> 8);
    out[2] = static_cast<BYTE>(CurrentSignal());
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = static_cast<BYTE>(frequency >> (8 * i));
        out[8 + i] = static_cast<BYTE>(chip.audioPath >> (8 * i));
    }
    std::memcpy(record, out, sizeof out);
    return FMS_OK;
}

__declspec(dllexport) DWORD FM_Create(DWORD *reserved, FmsEventCallback callback, DWORD *stack) {
    (void)reserved;
    if (DWORD refused = Enter(kEntry_FM_Create))
        return refused;
    std::unique_lock<std::mutex> guard(lock);
    if (!initialised)
        return FMS_STATUS_NOT_INITIALIZED;
    if (callback == nullptr || stack == nullptr)
        return FMS_STATUS_INVALID_PARAMETER;
    if (session.exists)
        return FMS_STATUS_FAILED;
    if (!EnsureClass())
        return FMS_STATUS_FAILED;
    Session s;
    s.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    s.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (s.wake == nullptr || s.ready == nullptr) {
        if (s.wake)
            CloseHandle(s.wake);
        if (s.ready)
            CloseHandle(s.ready);
        return FMS_STATUS_FAILED;
    }
    s.exists = true;
    s.callback = callback;
    s.handle = nextHandle++;
    if (nextHandle == 0)
        nextHandle = kFirstHandle;
    session = s;
    ResetChip();
    queue.clear();
    posted.clear();
    session.thread = CreateThread(nullptr, 0, EventThread, nullptr, 0, nullptr);
    if (session.thread == nullptr) {
        CloseHandle(session.wake);
        CloseHandle(session.ready);
        session = Session{};
        return FMS_STATUS_FAILED;
    }
    radioWake.store(session.wake);
    HANDLE ready = session.ready;
    guard.unlock();
    // The event thread must own its window before any call can post to it.
    WaitForSingleObject(ready, INFINITE);
    guard.lock();
    *stack = session.handle;
    return FMS_OK;
}

__declspec(dllexport) DWORD FM_Init() {
    if (DWORD refused = Enter(kEntry_FM_Init))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (initialised)
        return FMS_OK;
    if (!scenarioExplicit) {
        std::string error;
        bool ok = false;
        LoadDefaultScenarioLocked(error, ok);
        if (!ok) {
            std::fprintf(stderr, "FMS_API: scenario refused: %s\n", error.c_str());
            return FMS_STATUS_FAILED;
        }
    }
    if (!radioExplicit) {
        const char *env = std::getenv("TAVRINEL_FM_RADIO");
        radioSpec = env != nullptr && env[0] != '\0' ? env : "sim";
    }
    initialised = true;
    return FMS_OK;
}

__declspec(dllexport) DWORD FM_Deinit() {
    if (DWORD refused = Enter(kEntry_FM_Deinit))
        return refused;
    if (GetCurrentThreadId() == eventThreadId.load())
        return FMS_STATUS_FAILED;
    DestroySessionUnlocked();
    std::lock_guard<std::mutex> guard(lock);
    initialised = false;
    return FMS_OK;
}

__declspec(dllexport) DWORD FM_Destroy(DWORD stack) {
    if (DWORD refused = Enter(kEntry_FM_Destroy))
        return refused;
    int fault;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (DWORD refused = CheckSession(stack, false))
            return refused;
        // The event thread cannot wait for itself to end.
        if (GetCurrentThreadId() == eventThreadId.load())
            return FMS_STATUS_FAILED;
        fault = faults.destroyFault;
    }
    DestroySessionUnlocked();
    // The injected fault strikes after the radio has been shut down cleanly,
    // as a fault in the stack's own clean-up would.
    if (fault == FMSIM_FAULT_EXCEPTION)
        throw std::runtime_error("FM_Destroy: simulated stack fault");
    if (fault == FMSIM_FAULT_SEGV)
        std::raise(SIGSEGV);
    return FMS_OK;
}

__declspec(dllexport) DWORD FM_Enable(DWORD stack) {
    if (DWORD refused = Enter(kEntry_FM_Enable))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, false))
        return refused;
    if (chip.powered) {
        EmitStatus(FMS_CMD_POWER_ON, FMS_STATUS_ALREADY_ON, 0);
        return FMS_PENDING;
    }
    chip.powered = true;
    PowerOnRadio();
    ApplyAudio();
    Tune(chip.frequencyKHz, Now());
    EmitStatus(FMS_CMD_POWER_ON, FMS_STATUS_SUCCESS, 0);
    return FMS_PENDING;
}

__declspec(dllexport) DWORD FM_Disable(DWORD stack) {
    if (DWORD refused = Enter(kEntry_FM_Disable))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, false))
        return refused;
    if (!chip.powered) {
        EmitStatus(FMS_CMD_POWER_OFF, FMS_STATUS_FM_NOT_ON, 0);
        return FMS_PENDING;
    }
    if (chip.seeking) {
        chip.seeking = false;
        ++chip.seekId;
    }
    chip.powered = false;
    radio->powerOff();
    EmitStatus(FMS_CMD_POWER_OFF, FMS_STATUS_SUCCESS, 0);
    return FMS_PENDING;
}

__declspec(dllexport) DWORD FM_MuteRadio(DWORD stack, DWORD mode) {
    return Set(kEntry_FM_MuteRadio, stack, false, FMS_CMD_SET_MUTE, mode, 2, &Chip::mute);
}

__declspec(dllexport) DWORD FM_GetBandMode(DWORD stack) {
    return Query(kEntry_FM_GetBandMode, stack, true, FMS_CMD_GET_BAND_MODE,
                 [] { return static_cast<DWORD>(chip.band); });
}

__declspec(dllexport) DWORD FM_SetBand(DWORD stack, DWORD band) {
    if (DWORD refused = Enter(kEntry_FM_SetBand))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, true))
        return refused;
    if (band > 2)
        return FMS_STATUS_INVALID_PARAMETER;
    chip.band = band;
    EmitStatus(FMS_CMD_SET_BAND, FMS_STATUS_SUCCESS, band);
    const fms::BandLimits limits = fms::kBands[band];
    if (chip.frequencyKHz < limits.lowKHz || chip.frequencyKHz > limits.highKHz) {
        // Outside the new band: the chip retunes to its lower edge and says so.
        Tune(limits.lowKHz, Now());
        EmitStatus(FMS_CMD_TUNE, FMS_STATUS_SUCCESS, limits.lowKHz);
    }
    return FMS_PENDING;
}

__declspec(dllexport) DWORD FM_GetDemphMode(DWORD stack) {
    return Query(kEntry_FM_GetDemphMode, stack, true, FMS_CMD_GET_DEEMPHASIS,
                 [] { return chip.deemphasis; });
}

__declspec(dllexport) DWORD FM_SetDeemphasisMode(DWORD stack, DWORD mode) {
    return Set(kEntry_FM_SetDeemphasisMode, stack, true, FMS_CMD_SET_DEEMPHASIS, mode, 1,
               &Chip::deemphasis);
}

__declspec(dllexport) DWORD FM_Seek(DWORD stack, DWORD stop, DWORD up) {
    if (DWORD refused = Enter(kEntry_FM_Seek))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, true))
        return refused;
    const DWORD now = Now();
    if (stop != 0) {
        if (!chip.seeking) {
            EmitStatus(FMS_CMD_SEEK, FMS_STATUS_STOP_SEEK, chip.frequencyKHz);
            return FMS_PENDING;
        }
        const DWORD reached = SeekPosition(now);
        Tune(reached, now);
        EmitStatus(FMS_CMD_SEEK, FMS_STATUS_SEEK_STOPPED, reached);
        return FMS_PENDING;
    }
    if (chip.seeking)
        return kStatusAlreadyPending;
    chip.seeking = true;
    chip.seekEnding = false;
    ++chip.seekId;
    radio->seekStart(chip.frequencyKHz, up != 0, fms::kBands[chip.band], chip.searchLevel, now);
    radio->rdsIdle();
    WakeEventThread();
    return FMS_PENDING;
}

__declspec(dllexport) DWORD FM_RssiSearchLevel(DWORD stack, DWORD level) {
    if (DWORD refused = Enter(kEntry_FM_RssiSearchLevel))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, true))
        return refused;
    if (level > fms::kMaxSignal)
        return FMS_STATUS_INVALID_PARAMETER;
    chip.searchLevel = level;
    EmitStatus(FMS_CMD_SET_RSSI_SEARCH_LEVEL, FMS_STATUS_SUCCESS, level);
    return FMS_PENDING;
}

__declspec(dllexport) DWORD FM_GetRSSISearchLevel(DWORD stack) {
    return Query(kEntry_FM_GetRSSISearchLevel, stack, true, FMS_CMD_GET_RSSI_SEARCH_LEVEL,
                 [] { return static_cast<DWORD>(chip.searchLevel); });
}

__declspec(dllexport) DWORD FM_Tune(DWORD stack, DWORD frequencyKHz) {
    if (DWORD refused = Enter(kEntry_FM_Tune))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, true))
        return refused;
    const fms::BandLimits limits = fms::kBands[chip.band];
    if (frequencyKHz < limits.lowKHz || frequencyKHz > limits.highKHz)
        return FMS_STATUS_INVALID_PARAMETER;
    Tune(frequencyKHz, Now());
    EmitStatus(FMS_CMD_TUNE, FMS_STATUS_SUCCESS, frequencyKHz);
    return FMS_PENDING;
}

// No command of its own: answered as "get current status" with the frequency.
__declspec(dllexport) DWORD FM_GetCurrentFreq(DWORD stack) {
    return Query(kEntry_FM_GetCurrentFreq, stack, true, FMS_CMD_GET_CURRENT_STATUS,
                 [] { return chip.seeking ? SeekPosition(Now()) : chip.frequencyKHz; });
}

__declspec(dllexport) DWORD FM_RssiGet(DWORD stack) {
    return Query(kEntry_FM_RssiGet, stack, true, FMS_CMD_GET_RSSI,
                 [] { return static_cast<DWORD>(CurrentSignal()); });
}

__declspec(dllexport) DWORD FM_SetVolume(DWORD stack, SHORT level, DWORD reserved) {
    (void)reserved;
    if (DWORD refused = Enter(kEntry_FM_SetVolume))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, false))
        return refused;
    chip.volume = static_cast<WORD>(level);
    ApplyAudio();
    EmitStatus(FMS_CMD_SET_VOLUME, FMS_STATUS_SUCCESS, chip.volume);
    return FMS_PENDING;
}

__declspec(dllexport) DWORD FM_GetVolume(DWORD stack) {
    return Query(kEntry_FM_GetVolume, stack, false, FMS_CMD_GET_VOLUME,
                 [] { return static_cast<DWORD>(chip.volume); });
}

__declspec(dllexport) DWORD FM_GetMuteMode(DWORD stack) {
    return Query(kEntry_FM_GetMuteMode, stack, false, FMS_CMD_GET_MUTE_MODE,
                 [] { return chip.mute; });
}

__declspec(dllexport) DWORD FM_GetMoSt(DWORD stack) {
    return Query(kEntry_FM_GetMoSt, stack, true, FMS_CMD_GET_MOST, [] { return chip.monoStereo; });
}

__declspec(dllexport) DWORD FM_SetMoSt(DWORD stack, DWORD mode) {
    return Set(kEntry_FM_SetMoSt, stack, true, FMS_CMD_SET_MOST, mode, 1, &Chip::monoStereo);
}

// The audio path has no command status; it is read back through
// FM_GetCurrentStatus (bytes 8-11).
__declspec(dllexport) DWORD FM_SetAudioPath(DWORD stack, DWORD path) {
    if (DWORD refused = Enter(kEntry_FM_SetAudioPath))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, false))
        return refused;
    chip.audioPath = path;
    return FMS_OK;
}

__declspec(dllexport) DWORD FM_SetRDS(DWORD stack, DWORD enable) {
    if (DWORD refused = Enter(kEntry_FM_SetRDS))
        return refused;
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD refused = CheckSession(stack, true))
        return refused;
    if (enable > 1)
        return FMS_STATUS_INVALID_PARAMETER;
    chip.rdsEnabled = enable;
    EmitStatus(FMS_CMD_SET_RDS, FMS_STATUS_SUCCESS, enable);
    WakeEventThread();
    return FMS_PENDING;
}

__declspec(dllexport) DWORD FM_SetRdsRbds(DWORD stack, DWORD mode) {
    return Set(kEntry_FM_SetRdsRbds, stack, true, FMS_CMD_SET_RDS_RBDS, mode, 1, &Chip::rdsRbds);
}

__declspec(dllexport) DWORD FM_SetPauseDuration(DWORD stack, DWORD duration) {
    return Set(kEntry_FM_SetPauseDuration, stack, true, FMS_CMD_SET_PAUSE_DURATION, duration, kAny,
               &Chip::pauseDuration);
}

__declspec(dllexport) DWORD FM_SetPauseLevel(DWORD stack, DWORD level) {
    return Set(kEntry_FM_SetPauseLevel, stack, true, FMS_CMD_SET_PAUSE_LEVEL, level, kAny,
               &Chip::pauseLevel);
}

__declspec(dllexport) DWORD FM_GetMostBlend(DWORD stack) {
    return Query(kEntry_FM_GetMostBlend, stack, true, FMS_CMD_GET_MOST_BLEND,
                 [] { return chip.stereoBlend; });
}

__declspec(dllexport) DWORD FM_SetStereoBlend(DWORD stack, DWORD enable) {
    return Set(kEntry_FM_SetStereoBlend, stack, true, FMS_CMD_SET_STEREO_BLEND, enable, kAny,
               &Chip::stereoBlend);
}

__declspec(dllexport) DWORD FM_GetAFFreq(DWORD stack) {
    return Query(kEntry_FM_GetAFFreq, stack, true, FMS_CMD_GET_AF_FREQ,
                 [] { return TunedAlternative(); });
}

__declspec(dllexport) DWORD FM_SetAF(DWORD stack, DWORD enable) {
    const DWORD result =
        Set(kEntry_FM_SetAF, stack, true, FMS_CMD_SET_AF, enable, kAny, &Chip::afEnabled);
    std::lock_guard<std::mutex> guard(lock);
    WakeEventThread();
    return result;
}

__declspec(dllexport) DWORD FM_AudioEnable(DWORD stack, DWORD enable) {
    return Set(kEntry_FM_AudioEnable, stack, true, FMS_CMD_AUDIO_ENABLE, enable, 1,
               &Chip::audioEnabled);
}

// ================================================================ fmsim.h controls

__declspec(dllexport) int FmsimLoadScenario(const char *path, char *error, size_t errorSize) {
    fms::Scenario s;
    std::string message;
    if (path == nullptr || !fms::LoadScenarioFile(path, s, message)) {
        CopyError(path == nullptr ? "no path" : message, error, errorSize);
        return 0;
    }
    std::lock_guard<std::mutex> guard(lock);
    InstallScenario(std::move(s));
    CopyError("", error, errorSize);
    return 1;
}

__declspec(dllexport) int FmsimLoadScenarioText(const char *text, size_t length, const char *name,
                                                char *error, size_t errorSize) {
    fms::Scenario s;
    std::string message;
    const std::string fileName = name != nullptr ? name : "scenario";
    if (text == nullptr ||
        !fms::ParseScenario(std::string_view(text, length), fileName, ".", s, message)) {
        CopyError(text == nullptr ? "no text" : message, error, errorSize);
        return 0;
    }
    std::lock_guard<std::mutex> guard(lock);
    InstallScenario(std::move(s));
    CopyError("", error, errorSize);
    return 1;
}

__declspec(dllexport) void FmsimUseDefaultScenario() {
    std::lock_guard<std::mutex> guard(lock);
    scenarioExplicit = false;
    std::string error;
    bool ok = false;
    LoadDefaultScenarioLocked(error, ok);
    if (!ok)
        std::fprintf(stderr, "FMS_API: scenario refused: %s\n", error.c_str());
    if (!session.exists)
        ResetChip();
}

__declspec(dllexport) void FmsimUseRadio(const char *spec) {
    std::lock_guard<std::mutex> guard(lock);
    radioExplicit = spec != nullptr;
    radioSpec = spec != nullptr ? spec : "sim";
    if (!session.exists)
        MakeChosenRadio();
}

__declspec(dllexport) void FmsimSetLatency(DWORD milliseconds) {
    std::lock_guard<std::mutex> guard(lock);
    latencyMs = std::min<DWORD>(milliseconds, fms::kMaxLatencyMs);
}

__declspec(dllexport) void FmsimSetRdsRate(double multiplier) {
    std::lock_guard<std::mutex> guard(lock);
    if (!(multiplier >= 0.01))
        multiplier = 0.01;
    rdsRate = std::min(multiplier, fms::kMaxRate);
    if (radio)
        radio->rdsIdle(); // count afresh at the new rate
    WakeEventThread();
}

__declspec(dllexport) void FmsimPauseRds(int paused) {
    std::lock_guard<std::mutex> guard(lock);
    rdsState.paused = paused != 0;
    WakeEventThread();
}

__declspec(dllexport) void FmsimSetWake(FmsimWakeFunction wake, void *context) {
    std::lock_guard<std::mutex> guard(wakeLock);
    wakeFunction = wake;
    wakeContext = context;
}

__declspec(dllexport) int FmsimTriggerAfJump() {
    std::lock_guard<std::mutex> guard(lock);
    if (!session.exists || session.stop)
        return 0;
    return AfJump(Now()) ? 1 : 0;
}

__declspec(dllexport) void FmsimSetReplyRoute(int route) {
    std::lock_guard<std::mutex> guard(lock);
    faults.route = route == FMSIM_ROUTE_CALLER_QUEUE ? route : FMSIM_ROUTE_EVENT_THREAD;
}

__declspec(dllexport) int FmsimFailCall(const char *function, DWORD result) {
    const int index = EntryByName(function);
    if (index < 0)
        return 0;
    std::lock_guard<std::mutex> guard(lock);
    faults.failCall[index] = result;
    return 1;
}

__declspec(dllexport) void FmsimDropReply(BYTE command, int drop) {
    std::lock_guard<std::mutex> guard(lock);
    faults.dropReply[command] = drop != 0;
}

__declspec(dllexport) void FmsimFailStatus(BYTE command, int status) {
    std::lock_guard<std::mutex> guard(lock);
    faults.failStatus[command] = status < 0 || status > 255 ? -1 : status;
}

__declspec(dllexport) void FmsimSetDestroyFault(int fault) {
    std::lock_guard<std::mutex> guard(lock);
    faults.destroyFault = fault;
}

__declspec(dllexport) void FmsimClearFaults() {
    std::lock_guard<std::mutex> guard(lock);
    faults = Faults{};
    latencyMs = scenario.latencyMs;
    rdsRate = scenario.rate;
    rdsState.paused = false;
    if (radio)
        radio->rdsIdle();
}

__declspec(dllexport) void FmsimGetCounters(FmsimCounters *out) {
    if (out == nullptr)
        return;
    out->calls = counters.calls;
    out->events = counters.events;
    out->commandStatus = counters.commandStatus;
    out->afJumps = counters.afJumps;
    out->rdsEvents = counters.rdsEvents;
    out->rdsBytes = counters.rdsBytes;
    out->rdsGroups = counters.rdsGroups;
    out->postedReplies = counters.postedReplies;
    out->droppedEvents = counters.droppedEvents;
}

__declspec(dllexport) uint64_t FmsimCallCount(const char *function) {
    const int index = EntryByName(function);
    return index < 0 ? 0 : counters.perEntry[index].load();
}

__declspec(dllexport) void FmsimResetCounters() {
    counters.calls = 0;
    counters.events = 0;
    counters.commandStatus = 0;
    counters.afJumps = 0;
    counters.rdsEvents = 0;
    counters.rdsBytes = 0;
    counters.rdsGroups = 0;
    counters.postedReplies = 0;
    counters.droppedEvents = 0;
    for (auto &c : counters.perEntry)
        c = 0;
}

__declspec(dllexport) DWORD FmsimEventThreadId() {
    return eventThreadId.load();
}

__declspec(dllexport) DWORD FmsimFrequency() {
    std::lock_guard<std::mutex> guard(lock);
    return chip.seeking ? SeekPosition(Now()) : chip.frequencyKHz;
}

__declspec(dllexport) int FmsimPowered() {
    std::lock_guard<std::mutex> guard(lock);
    return chip.powered ? 1 : 0;
}

} // extern "C"
