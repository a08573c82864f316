// fake_stack.cpp — a recording stand-in for the phone's FM stack
// "FMS_API.dll", for the library's tests. See fake_stack.h.
//
// Built twice: FakeStack.dll, and FakeStackNoAudioEnable.dll (with
// FAKE_STACK_NO_AUDIO_ENABLE) which lacks the last entry point.
#include "fake_stack.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include <cecompat.h>

namespace {

constexpr uint32_t kDefaultHandle = 0x5151;

// Set when the module is detached because the process is ending: Win32 has
// then already ended the event thread, and joining it would never return.
std::atomic<bool> processEnding{false};

struct Posted {
    StackEvent event;
    std::vector<uint8_t> bytes; // RDS data, when the event carries any
};

struct State {
    std::mutex mutex; // guards everything up to the queue
    std::vector<fakestack::Call> calls;
    std::map<std::string, uint32_t> results;
    std::map<std::string, std::function<void()>> actions;
    uint32_t createHandle = kDefaultHandle;
    std::array<uint8_t, FMS_CURRENT_STATUS_BYTES> currentStatus{};
    std::atomic<FmsEventCallback> callback{nullptr};

    // The event thread: delivers posted events in order.
    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<Posted> queue;
    bool busy = false;
    bool stopping = false;
    std::atomic<uint64_t> deliveries{0};
    std::thread thread;

    ~State() {
        if (processEnding.load()) {
            // Nothing to stop; waking the gone thread could wait for it.
            if (thread.joinable())
                thread.detach();
            return;
        }
        {
            std::lock_guard lock(queueMutex);
            stopping = true;
        }
        queueChanged.notify_all();
        if (thread.joinable())
            thread.join();
    }

    void run() {
        std::unique_lock lock(queueMutex);
        for (;;) {
            queueChanged.wait(lock, [this] { return stopping || !queue.empty(); });
            if (stopping)
                return;
            Posted posted = std::move(queue.front());
            queue.pop_front();
            busy = true;
            lock.unlock();
            if (!posted.bytes.empty())
                posted.event.u.rds.data = reinterpret_cast<DWORD_PTR>(posted.bytes.data());
            deliveries.fetch_add(1); // counted first: the callback may wake a waiter
            if (FmsEventCallback cb = callback.load())
                cb(&posted.event);
            lock.lock();
            busy = false;
            queueChanged.notify_all();
        }
    }

    void post(Posted posted) {
        std::lock_guard lock(queueMutex);
        if (!thread.joinable())
            thread = std::thread([this] { run(); });
        queue.push_back(std::move(posted));
        queueChanged.notify_all();
    }

    void drain() {
        std::unique_lock lock(queueMutex);
        queueChanged.wait(lock, [this] { return queue.empty() && !busy; });
    }
};

State &state() {
    static State instance;
    return instance;
}

BOOL StackEntry(HANDLE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr)
        processEnding.store(true);
    return TRUE;
}

// Records a call, then runs its action outside the lock; answers its result.
uint32_t record(const char *name, std::vector<int64_t> args) {
    State &s = state();
    std::function<void()> action;
    uint32_t result = 0;
    {
        std::lock_guard lock(s.mutex);
        s.calls.push_back({name, std::move(args)});
        if (auto it = s.results.find(name); it != s.results.end())
            result = it->second;
        if (auto it = s.actions.find(name); it != s.actions.end())
            action = it->second;
    }
    if (action)
        action();
    return result;
}

int64_t present(const void *pointer) {
    return pointer != nullptr ? 1 : 0;
}

} // namespace

TAVRINEL_DLL_ENTRY(StackEntry)

// ---------------------------------------------------------------- control API

namespace fakestack {

void Reset() {
    State &s = state();
    s.drain();
    std::lock_guard lock(s.mutex);
    s.calls.clear();
    s.results.clear();
    s.actions.clear();
    s.createHandle = kDefaultHandle;
    s.currentStatus = {};
}

std::vector<Call> Calls() {
    std::lock_guard lock(state().mutex);
    return state().calls;
}

std::vector<std::string> CallNames() {
    std::vector<std::string> names;
    for (const Call &call : Calls())
        names.push_back(call.name);
    return names;
}

void ClearCalls() {
    std::lock_guard lock(state().mutex);
    state().calls.clear();
}

void SetResult(const std::string &name, uint32_t result) {
    std::lock_guard lock(state().mutex);
    state().results[name] = result;
}

void SetCreateHandle(uint32_t handle) {
    std::lock_guard lock(state().mutex);
    state().createHandle = handle;
}

void SetCurrentStatus(const std::array<uint8_t, FMS_CURRENT_STATUS_BYTES> &record) {
    std::lock_guard lock(state().mutex);
    state().currentStatus = record;
}

void OnCall(const std::string &name, std::function<void()> action) {
    std::lock_guard lock(state().mutex);
    if (action)
        state().actions[name] = std::move(action);
    else
        state().actions.erase(name);
}

FmsEventCallback Callback() {
    return state().callback.load();
}

uint32_t Deliver(const StackEvent &event) {
    FmsEventCallback cb = Callback();
    return cb != nullptr ? cb(&event) : 0xFFFFFFFFu;
}

uint32_t DeliverRds(const std::vector<uint8_t> &bytes) {
    StackEvent event = OfType(STACK_EVENT_RDS_DATA);
    event.u.rds.length = static_cast<WORD>(bytes.size());
    event.u.rds.data = reinterpret_cast<DWORD_PTR>(bytes.data());
    return Deliver(event);
}

void Post(const StackEvent &event) {
    state().post({event, {}});
}

void PostRds(const std::vector<uint8_t> &bytes) {
    StackEvent event = OfType(STACK_EVENT_RDS_DATA);
    event.u.rds.length = static_cast<WORD>(bytes.size());
    state().post({event, bytes});
}

void DrainEvents() {
    state().drain();
}

uint64_t EventThreadDeliveries() {
    return state().deliveries.load();
}

StackEvent OfType(uint8_t type) {
    StackEvent event;
    std::memset(&event, 0, sizeof(event));
    event.type = type;
    return event;
}

StackEvent CommandStatus(uint8_t command, uint8_t status, uint32_t value) {
    StackEvent event = OfType(STACK_EVENT_COMMAND_STATUS);
    event.u.status.command = command;
    event.u.status.status = status;
    event.u.status.value = value;
    return event;
}

StackEvent TuneComplete(uint32_t frequencyKHz) {
    StackEvent event = OfType(STACK_EVENT_TUNE_COMPLETE);
    event.u.tune.frequency = frequencyKHz;
    return event;
}

StackEvent AfJump(uint32_t frequencyKHz) {
    StackEvent event = OfType(STACK_EVENT_AF_JUMP);
    event.u.afJump.frequency = frequencyKHz;
    return event;
}

} // namespace fakestack

// ---------------------------------------------------------------- the stack's entry points

#define FAKE_EXPORT extern "C" __declspec(dllexport)

FAKE_EXPORT DWORD FM_GetCurrentStatus(DWORD stack, BYTE *statusRecord) {
    // The second argument tells whether the caller handed over a zeroed record.
    bool zeroed = statusRecord != nullptr;
    for (int i = 0; zeroed && i < FMS_CURRENT_STATUS_BYTES; ++i)
        zeroed = statusRecord[i] == 0;
    const uint32_t result = record("FM_GetCurrentStatus", {stack, zeroed ? 1 : 0});
    if (statusRecord != nullptr) {
        std::lock_guard lock(state().mutex);
        std::memcpy(statusRecord, state().currentStatus.data(), FMS_CURRENT_STATUS_BYTES);
    }
    return result;
}

FAKE_EXPORT DWORD FM_Create(DWORD *reserved, FmsEventCallback callback, DWORD *stack) {
    state().callback.store(callback);
    const uint32_t result =
        record("FM_Create", {reserved != nullptr ? static_cast<int64_t>(*reserved) : -1,
                             present(reinterpret_cast<const void *>(callback)), present(stack)});
    uint32_t handle;
    {
        std::lock_guard lock(state().mutex);
        handle = state().createHandle;
    }
    if (stack != nullptr && handle != 0)
        *stack = handle;
    return result;
}

FAKE_EXPORT DWORD FM_Init() {
    return record("FM_Init", {});
}
FAKE_EXPORT DWORD FM_Deinit() {
    return record("FM_Deinit", {});
}
FAKE_EXPORT DWORD FM_Destroy(DWORD stack) {
    return record("FM_Destroy", {stack});
}
FAKE_EXPORT DWORD FM_Enable(DWORD stack) {
    return record("FM_Enable", {stack});
}
FAKE_EXPORT DWORD FM_Disable(DWORD stack) {
    return record("FM_Disable", {stack});
}
FAKE_EXPORT DWORD FM_MuteRadio(DWORD stack, DWORD mode) {
    return record("FM_MuteRadio", {stack, mode});
}
FAKE_EXPORT DWORD FM_GetBandMode(DWORD stack) {
    return record("FM_GetBandMode", {stack});
}
FAKE_EXPORT DWORD FM_SetBand(DWORD stack, DWORD band) {
    return record("FM_SetBand", {stack, band});
}
FAKE_EXPORT DWORD FM_GetDemphMode(DWORD stack) {
    return record("FM_GetDemphMode", {stack});
}
FAKE_EXPORT DWORD FM_SetDeemphasisMode(DWORD stack, DWORD mode) {
    return record("FM_SetDeemphasisMode", {stack, mode});
}
FAKE_EXPORT DWORD FM_Seek(DWORD stack, DWORD stop, DWORD up) {
    return record("FM_Seek", {stack, stop, up});
}
FAKE_EXPORT DWORD FM_RssiSearchLevel(DWORD stack, DWORD level) {
    return record("FM_RssiSearchLevel", {stack, level});
}
FAKE_EXPORT DWORD FM_GetRSSISearchLevel(DWORD stack) {
    return record("FM_GetRSSISearchLevel", {stack});
}
FAKE_EXPORT DWORD FM_Tune(DWORD stack, DWORD frequencyKHz) {
    return record("FM_Tune", {stack, frequencyKHz});
}
FAKE_EXPORT DWORD FM_GetCurrentFreq(DWORD stack) {
    return record("FM_GetCurrentFreq", {stack});
}
FAKE_EXPORT DWORD FM_RssiGet(DWORD stack) {
    return record("FM_RssiGet", {stack});
}
FAKE_EXPORT DWORD FM_SetVolume(DWORD stack, SHORT level, DWORD reserved) {
    return record("FM_SetVolume", {stack, level, reserved});
}
FAKE_EXPORT DWORD FM_GetVolume(DWORD stack) {
    return record("FM_GetVolume", {stack});
}
FAKE_EXPORT DWORD FM_GetMuteMode(DWORD stack) {
    return record("FM_GetMuteMode", {stack});
}
FAKE_EXPORT DWORD FM_GetMoSt(DWORD stack) {
    return record("FM_GetMoSt", {stack});
}
FAKE_EXPORT DWORD FM_SetMoSt(DWORD stack, DWORD mode) {
    return record("FM_SetMoSt", {stack, mode});
}
FAKE_EXPORT DWORD FM_SetAudioPath(DWORD stack, DWORD path) {
    return record("FM_SetAudioPath", {stack, path});
}
FAKE_EXPORT DWORD FM_SetRDS(DWORD stack, DWORD enable) {
    return record("FM_SetRDS", {stack, enable});
}
FAKE_EXPORT DWORD FM_SetRdsRbds(DWORD stack, DWORD mode) {
    return record("FM_SetRdsRbds", {stack, mode});
}
FAKE_EXPORT DWORD FM_SetPauseDuration(DWORD stack, DWORD duration) {
    return record("FM_SetPauseDuration", {stack, duration});
}
FAKE_EXPORT DWORD FM_SetPauseLevel(DWORD stack, DWORD level) {
    return record("FM_SetPauseLevel", {stack, level});
}
FAKE_EXPORT DWORD FM_GetMostBlend(DWORD stack) {
    return record("FM_GetMostBlend", {stack});
}
FAKE_EXPORT DWORD FM_SetStereoBlend(DWORD stack, DWORD enable) {
    return record("FM_SetStereoBlend", {stack, enable});
}
FAKE_EXPORT DWORD FM_GetAFFreq(DWORD stack) {
    return record("FM_GetAFFreq", {stack});
}
FAKE_EXPORT DWORD FM_SetAF(DWORD stack, DWORD enable) {
    return record("FM_SetAF", {stack, enable});
}
#ifndef FAKE_STACK_NO_AUDIO_ENABLE
FAKE_EXPORT DWORD FM_AudioEnable(DWORD stack, DWORD enable) {
    return record("FM_AudioEnable", {stack, enable});
}
#endif
