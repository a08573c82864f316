// stack_events.cpp — the session and its event thread: the schedule and the
// latency, seek reports, RDS runs, delivery to the callback and the wake-up
// of the port reader (see stack.h for the threads).
#include "stack.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace fms {

namespace {

constexpr UINT kPostedEventMessage = WM_APP + 0x46;
constexpr DWORD kMaxIdleWaitMs = 1000; // a safety net: whatever changes wakes the thread
// A busy stack wakes its reader at least this often: the reader may hold the
// stack back until it has read what the previous wake announced, so two
// wakes' worth of RDS (as sentences, about 2.8 bytes a raw byte) must fit
// the driver's 2048-byte buffer.
constexpr unsigned kMaxEventsPerWake = 8;
constexpr unsigned kMaxRdsBytesPerWake = 240;

StackEvent CommandStatus(BYTE command, BYTE status, DWORD value) {
    StackEvent e{};
    e.type = STACK_EVENT_COMMAND_STATUS;
    e.u.status.command = command;
    e.u.status.status = status;
    e.u.status.value = value;
    return e;
}

LRESULT CALLBACK SimWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kPostedEventMessage)
        return DefWindowProcW(window, message, wParam, lParam);
    TheStack().DeliverPosted(static_cast<std::uint64_t>(wParam));
    return 0;
}

} // namespace

// ---------------------------------------------------------------- wake-ups

void Stack::WakeReader() {
    std::lock_guard<std::mutex> guard(wakeLock_);
    if (wakeFunction_ != nullptr)
        wakeFunction_(wakeContext_);
}

void Stack::WakeEventThread() {
    if (session_.wake)
        SetEvent(session_.wake);
}

// From a radio's own thread: no lock, the session's wake event while it lasts.
void Stack::WakeFromRadio() {
    if (HANDLE wake = radioWake_.load())
        SetEvent(wake);
}

// ---------------------------------------------------------------- on their way

void Stack::Schedule(const Scheduled &item) {
    auto it = queue_.begin();
    while (it != queue_.end() && Reached(item.due, it->due))
        ++it;
    queue_.insert(it, item);
    WakeEventThread();
}

bool Stack::EnsureClass() {
    if (classRegistered_)
        return true;
    // One class name per loaded module: test variants of the stack may share a process.
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "TavrinelFms%p", reinterpret_cast<void *>(&SimWindowProc));
    className_.assign(buffer, buffer + std::strlen(buffer));
    WNDCLASSW wc{};
    wc.lpfnWndProc = SimWindowProc;
    wc.lpszClassName = className_.c_str();
    if (RegisterClassW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    classRegistered_ = true;
    return true;
}

HWND Stack::CreateHiddenWindow() {
    return CreateWindowExW(0, className_.c_str(), TEXT(""), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           nullptr, nullptr);
}

// Sends an event on its way from an entry point: through a window when the
// caller is the event thread or the caller-queue route is on, else through
// the schedule after the latency.
void Stack::Emit(const StackEvent &event) {
    const DWORD self = GetCurrentThreadId();
    HWND target = nullptr;
    if (self == eventThreadId_.load()) {
        target = session_.window;
    } else if (faults_.route == FMSIM_ROUTE_CALLER_QUEUE) {
        auto it = callerWindows_.find(self);
        if (it == callerWindows_.end()) {
            HWND w = CreateHiddenWindow();
            if (w != nullptr)
                it = callerWindows_.emplace(self, w).first;
        }
        if (it != callerWindows_.end())
            target = it->second;
    }
    if (target != nullptr) {
        const std::uint64_t id = nextPostId_++;
        posted_.emplace(id, event);
        if (PostMessageW(target, kPostedEventMessage, static_cast<WPARAM>(id), 0))
            return;
        posted_.erase(id);
    }
    Scheduled item;
    item.due = Now() + latencyMs_;
    item.event = event;
    Schedule(item);
}

void Stack::EmitStatus(BYTE command, BYTE status, DWORD value) {
    Emit(CommandStatus(command, status, value));
}

// ---------------------------------------------------------------- delivery

// Last look at an event before the callback: the session must still run,
// and the reply faults apply.
bool Stack::TakeForDelivery(StackEvent &event, FmsEventCallback &callback) {
    if (!session_.exists || session_.stop || session_.callback == nullptr ||
        !ApplyReplyFaults(event)) {
        counters_.droppedEvents++;
        return false;
    }
    callback = session_.callback;
    return true;
}

void Stack::Deliver(FmsEventCallback callback, const StackEvent &event) {
    counters_.events++;
    if (event.type == STACK_EVENT_COMMAND_STATUS)
        counters_.commandStatus++;
    else if (event.type == STACK_EVENT_AF_JUMP)
        counters_.afJumps++;
    callback(&event);
}

// The one place events reach the client: each gets its last look under the
// lock (the session may have ended meanwhile), then the callback without it.
void Stack::DeliverEvents(std::vector<Outgoing> &batch) {
    unsigned delivered = 0; // events since the last wake of the reader
    unsigned rdsBytes = 0;  // RDS bytes since then
    for (Outgoing &out : batch) {
        FmsEventCallback callback = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!TakeForDelivery(out.event, callback))
                continue;
        }
        if (out.posted)
            counters_.postedReplies++;
        if (out.event.type == STACK_EVENT_RDS_DATA) {
            counters_.rdsEvents++;
            counters_.rdsBytes += out.event.u.rds.length;
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

// An event posted to a window, taken by whoever dispatched it.
void Stack::DeliverPosted(std::uint64_t id) {
    std::vector<Outgoing> batch(1);
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = posted_.find(id);
        if (it == posted_.end())
            return; // the session that posted it is gone
        batch.front().event = it->second;
        batch.front().posted = true;
        posted_.erase(it);
    }
    DeliverEvents(batch);
}

// ---------------------------------------------------------------- what is due

// A running seek that the radio says has ended is reported after the
// latency; the chip stays seeking until then.
void Stack::FollowSeek(DWORD now, DWORD &waitMs) {
    if (!chip_.seeking || chip_.seekEnding)
        return;
    Millis radioWaitMs = waitMs; // DWORD is not 32-bit unsigned int everywhere
    const SeekResult r = radio_->seekPoll(now, radioWaitMs);
    waitMs = radioWaitMs;
    if (!r.ended)
        return;
    chip_.seekEnding = true;
    chip_.seekTargetKHz = r.positionKHz;
    chip_.seekStatus = r.found ? FMS_STATUS_SEEK_SUCCESS : FMS_STATUS_SEEK_BAND_LIMIT;
    Scheduled item;
    item.due = now + latencyMs_;
    item.seekDone = true;
    item.seekId = chip_.seekId;
    Schedule(item);
}

// Moves the scheduled events that are due into the batch.
void Stack::TakeDueEvents(DWORD now, std::vector<Outgoing> &batch) {
    while (!queue_.empty() && Reached(now, queue_.front().due)) {
        Scheduled item = queue_.front();
        queue_.pop_front();
        if (item.seekDone) {
            if (!chip_.seeking || chip_.seekId != item.seekId)
                continue; // stopped or overtaken by a tune
            chip_.seeking = false;
            chip_.seekEnding = false;
            chip_.frequencyKHz = chip_.seekTargetKHz;
            chip_.afArmed = true;
            chip_.tunedAt = now;
            RestartRds(now, 1);
            item.event = CommandStatus(FMS_CMD_SEEK, chip_.seekStatus, chip_.seekTargetKHz);
        }
        Outgoing out;
        out.event = item.event;
        batch.push_back(std::move(out));
    }
}

// Adds one run of RDS bytes to the batch when one is due; otherwise lowers
// `waitMs` to the time until the next run may be.
void Stack::TakeDueRds(DWORD now, DWORD &waitMs, std::vector<Outgoing> &batch) {
    // Scheduled AF jump: the station fades, the chip moves to its AF.
    const bool tuned = chip_.powered && !chip_.seeking;
    if (tuned && chip_.afArmed && chip_.afEnabled && TunedAlternative() != 0 &&
        radio_->fadeAfterMs() != 0) {
        const DWORD at = chip_.tunedAt + radio_->fadeAfterMs();
        if (Reached(now, at))
            AfJump(now);
        else
            waitMs = std::min<DWORD>(waitMs, at - now);
    }
    const bool active = tuned && chip_.rdsEnabled && !rds_.paused && Reached(now, rds_.resumeAt);
    if (!active) {
        radio_->rdsIdle();
        if (tuned && chip_.rdsEnabled && !Reached(now, rds_.resumeAt))
            waitMs = std::min<DWORD>(waitMs, rds_.resumeAt - now);
        return;
    }
    std::vector<std::uint8_t> data;
    const std::uint64_t groupsBefore = radio_->groupsStarted();
    Millis radioWaitMs = waitMs;
    const bool read = radio_->readRds(now, data, radioWaitMs);
    waitMs = radioWaitMs;
    if (!read || data.empty())
        return;
    counters_.rdsGroups += radio_->groupsStarted() - groupsBefore;
    const std::size_t run = std::min<std::size_t>(data.size(), kMaxRunBytes);
    Outgoing out;
    out.bytes = std::make_unique<std::uint8_t[]>(run);
    std::memcpy(out.bytes.get(), data.data(), run);
    out.event.type = STACK_EVENT_RDS_DATA;
    out.event.u.rds.length = static_cast<WORD>(run);
    out.event.u.rds.data = reinterpret_cast<DWORD_PTR>(out.bytes.get());
    batch.push_back(std::move(out));
}

// ---------------------------------------------------------------- the event thread

DWORD WINAPI Stack::EventThreadMain(LPVOID self) {
    static_cast<Stack *>(self)->RunEvents();
    return 0;
}

void Stack::RunEvents() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        eventThreadId_.store(GetCurrentThreadId());
        session_.window = CreateHiddenWindow();
        SetEvent(session_.ready);
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
            std::lock_guard<std::mutex> guard(lock_);
            if (session_.stop)
                break;
            DWORD now = Now();
            FollowSeek(now, waitMs);
            TakeDueEvents(now, batch);
            TakeDueRds(now, waitMs, batch);
            if (!queue_.empty()) {
                const DWORD due = queue_.front().due;
                now = Now();
                waitMs = Reached(now, due) ? 0 : std::min<DWORD>(waitMs, due - now);
            }
            wake = session_.wake;
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
        std::lock_guard<std::mutex> guard(lock_);
        window = session_.window;
        session_.window = nullptr;
    }
    if (window != nullptr)
        DestroyWindow(window);
    eventThreadId_.store(0);
}

// ---------------------------------------------------------------- the session

DWORD Stack::CreateSession(std::unique_lock<std::mutex> &guard, FmsEventCallback callback,
                           DWORD &handle) {
    if (session_.exists)
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
    s.handle = nextHandle_++;
    if (nextHandle_ == 0)
        nextHandle_ = kFirstHandle;
    session_ = s;
    ResetChip();
    queue_.clear();
    posted_.clear();
    session_.thread = CreateThread(nullptr, 0, EventThreadMain, this, 0, nullptr);
    if (session_.thread == nullptr) {
        CloseHandle(session_.wake);
        CloseHandle(session_.ready);
        session_ = Session{};
        return FMS_STATUS_FAILED;
    }
    radioWake_.store(session_.wake);
    HANDLE ready = session_.ready;
    guard.unlock();
    // The event thread must own its window before any call can post to it.
    WaitForSingleObject(ready, INFINITE);
    guard.lock();
    handle = session_.handle;
    return FMS_OK;
}

void Stack::DestroySession() {
    HANDLE thread;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!session_.exists)
            return;
        session_.stop = true;
        thread = session_.thread;
        WakeEventThread();
    }
    WaitForSingleObject(thread, INFINITE);
    std::lock_guard<std::mutex> guard(lock_);
    // Its threads may wake the event thread until it is off.
    radio_->powerOff();
    radioWake_.store(nullptr);
    CloseHandle(session_.thread);
    CloseHandle(session_.wake);
    CloseHandle(session_.ready);
    counters_.droppedEvents += queue_.size() + posted_.size();
    queue_.clear();
    posted_.clear();
    // Windows can only be destroyed by their own thread; the others stay
    // and find nothing to deliver.
    const DWORD self = GetCurrentThreadId();
    for (auto it = callerWindows_.begin(); it != callerWindows_.end();) {
        if (it->first == self) {
            DestroyWindow(it->second);
            it = callerWindows_.erase(it);
        } else {
            ++it;
        }
    }
    session_ = Session{};
    chip_.powered = false;
    radio_->powerOff();
}

} // namespace fms
