// sync.cpp — critical sections, events and the interlocked operations.
#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "handles.h"
#include "kernel.h"
#include "text.h"

using platform::kernel::CurrentThreadId;

// ---------------------------------------------------------------- critical sections
//
// CRITICAL_SECTION.impl holds a mutex; .owner the owning thread's id (0 when
// free) and .recursion the owner's entry count, both touched only by the
// owner except for the owner test. A section that was never initialised
// (zero-filled) gets its mutex at first use instead of crashing. Leaving a
// section that the caller does not own does nothing (Windows corrupts it).

namespace {

struct SectionImpl {
    std::mutex mutex;
};

SectionImpl *Impl(LPCRITICAL_SECTION cs) {
    std::atomic_ref<void *> ref(cs->impl);
    void *impl = ref.load(std::memory_order_acquire);
    if (!impl) {
        auto *fresh = new SectionImpl;
        void *expected = nullptr;
        if (ref.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
            impl = fresh;
        } else {
            delete fresh;
            impl = expected;
        }
    }
    return static_cast<SectionImpl *>(impl);
}

std::atomic_ref<DWORD> Owner(LPCRITICAL_SECTION cs) {
    return std::atomic_ref<DWORD>(cs->owner);
}

} // namespace

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs)
        return;
    cs->impl = new SectionImpl;
    cs->owner = 0;
    cs->recursion = 0;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs)
        return;
    delete static_cast<SectionImpl *>(cs->impl);
    cs->impl = nullptr;
    cs->owner = 0;
    cs->recursion = 0;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs)
        return;
    const DWORD self = CurrentThreadId();
    if (Owner(cs).load(std::memory_order_relaxed) == self) {
        ++cs->recursion;
        return;
    }
    Impl(cs)->mutex.lock();
    Owner(cs).store(self, std::memory_order_relaxed);
    cs->recursion = 1;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs)
        return FALSE;
    const DWORD self = CurrentThreadId();
    if (Owner(cs).load(std::memory_order_relaxed) == self) {
        ++cs->recursion;
        return TRUE;
    }
    if (!Impl(cs)->mutex.try_lock())
        return FALSE;
    Owner(cs).store(self, std::memory_order_relaxed);
    cs->recursion = 1;
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs || Owner(cs).load(std::memory_order_relaxed) != CurrentThreadId())
        return;
    if (--cs->recursion > 0)
        return;
    cs->recursion = 0;
    Owner(cs).store(0, std::memory_order_relaxed);
    Impl(cs)->mutex.unlock();
}

// ---------------------------------------------------------------- events

namespace {

class Event final : public platform::kernel::WaitableObject {
public:
    Event(bool manualReset, bool signalled, std::u16string name)
        : manualReset_(manualReset), signalled_(signalled), name_(std::move(name)) {}
    ~Event() override;

    [[nodiscard]] const char *Kind() const override { return "event"; }
    [[nodiscard]] bool IsSignalled(DWORD) const override { return signalled_; }
    // An auto-reset event lets exactly one waiter through.
    void Satisfy(DWORD) override {
        if (!manualReset_)
            signalled_ = false;
    }

    void Set() {
        std::lock_guard guard(platform::kernel::WaitLock());
        signalled_ = true;
        WakeWaiters();
    }
    void Reset() {
        std::lock_guard guard(platform::kernel::WaitLock());
        signalled_ = false;
    }

private:
    const bool manualReset_;
    bool signalled_; // under WaitLock()
    const std::u16string name_;
};

// Named events: one object per name, alive while any handle or waiter holds
// it. Names compare with case, as Win32 object names do.
struct EventNames {
    std::mutex lock;
    std::map<std::u16string, std::weak_ptr<Event>> events;
};

EventNames &Names() {
    static EventNames *names = new EventNames;
    return *names;
}

Event::~Event() {
    if (name_.empty())
        return;
    EventNames &names = Names();
    std::lock_guard guard(names.lock);
    const auto it = names.events.find(name_);
    if (it != names.events.end() && it->second.expired())
        names.events.erase(it);
}

} // namespace

// Last error: ERROR_ALREADY_EXISTS when a named event existed (the handle
// then names that event, and manualReset/initialState are ignored), else 0.
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCWSTR name) {
    std::u16string eventName = name ? std::u16string(name) : std::u16string();
    if (eventName.size() > MAX_PATH) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<Event> event;
    DWORD error = ERROR_SUCCESS;
    if (eventName.empty()) {
        event = std::make_shared<Event>(manualReset != FALSE, initialState != FALSE, u"");
    } else {
        EventNames &names = Names();
        std::lock_guard guard(names.lock);
        std::weak_ptr<Event> &slot = names.events[eventName];
        event = slot.lock();
        if (event) {
            error = ERROR_ALREADY_EXISTS;
        } else {
            event = std::make_shared<Event>(manualReset != FALSE, initialState != FALSE, eventName);
            slot = event;
        }
    }
    HANDLE handle = platform::kernel::AllocHandle(std::move(event));
    if (handle)
        SetLastError(error);
    return handle;
}

BOOL WINAPI SetEvent(HANDLE handle) {
    const auto event = platform::kernel::GetHandleObjectAs<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE handle) {
    const auto event = platform::kernel::GetHandleObjectAs<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Reset();
    return TRUE;
}

// ---------------------------------------------------------------- interlocked operations
//
// Sequentially consistent, as the Windows ones are full barriers.

static std::atomic_ref<LONG> Atomic(LONG volatile *value) {
    return std::atomic_ref<LONG>(*const_cast<LONG *>(value));
}

// Both wrap around at the ends of the LONG range, as on Windows.
LONG WINAPI InterlockedIncrement(LONG volatile *value) {
    return static_cast<LONG>(static_cast<ULONG>(Atomic(value).fetch_add(1)) + 1u);
}

LONG WINAPI InterlockedDecrement(LONG volatile *value) {
    return static_cast<LONG>(static_cast<ULONG>(Atomic(value).fetch_sub(1)) - 1u);
}

LONG WINAPI InterlockedExchange(LONG volatile *target, LONG value) {
    return Atomic(target).exchange(value);
}

LONG WINAPI InterlockedCompareExchange(LONG volatile *target, LONG exchange, LONG comparand) {
    Atomic(target).compare_exchange_strong(comparand, exchange);
    return comparand;
}
