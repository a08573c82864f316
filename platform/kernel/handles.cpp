// handles.cpp — the handle table, CloseHandle and the waits
// (WaitForSingleObject, WaitForMultipleObjects).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <unordered_map>

#include "handles.h"
#include "kernel.h"

namespace platform::kernel {

// ---------------------------------------------------------------- ids

uintptr_t NewObjectId() {
    // Multiples of 4 from 0x100 up to 2^30, then around again. A value comes
    // back only after a quarter of a billion others, so a stale one is not
    // found.
    constexpr uint32_t kFirst = 0x100;
    constexpr uint32_t kLimit = 0x40000000;
    static std::atomic<uint32_t> counter{0};
    const uint32_t n = counter.fetch_add(4, std::memory_order_relaxed);
    return kFirst + n % (kLimit - kFirst);
}

// ---------------------------------------------------------------- handle table

namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
};

// Never destroyed: modules close handles during process exit.
HandleTable &Table() {
    static HandleTable *table = new HandleTable;
    return *table;
}

uintptr_t HandleKey(HANDLE handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

} // namespace

HANDLE AllocHandle(std::shared_ptr<KernelObject> object) {
    if (!object) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HandleTable &table = Table();
    std::lock_guard guard(table.lock);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const uintptr_t id = NewObjectId();
        if (table.objects.try_emplace(id, object).second)
            return reinterpret_cast<HANDLE>(id);
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

std::shared_ptr<KernelObject> GetHandleObject(HANDLE handle) {
    HandleTable &table = Table();
    std::lock_guard guard(table.lock);
    const auto it = table.objects.find(HandleKey(handle));
    return it == table.objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
    HandleTable &table = Table();
    std::lock_guard guard(table.lock);
    const auto it = table.objects.find(HandleKey(handle));
    if (it == table.objects.end())
        return nullptr;
    std::shared_ptr<KernelObject> object = std::move(it->second);
    table.objects.erase(it);
    return object;
}

size_t HandleCount() {
    HandleTable &table = Table();
    std::lock_guard guard(table.lock);
    return table.objects.size();
}

// ---------------------------------------------------------------- waits

std::mutex &WaitLock() {
    static std::mutex *lock = new std::mutex;
    return *lock;
}

void WaitableObject::WakeWaiters() {
    for (std::condition_variable *waiter : waiters_)
        waiter->notify_one();
}

// Enters one waiting thread's condition variable into the waiter lists of
// the objects it waits on, for the time of the wait (under WaitLock()).
class WaitRegistration {
public:
    WaitRegistration(std::span<WaitableObject *const> objects, std::condition_variable &cv)
        : objects_(objects), cv_(cv) {
        for (WaitableObject *object : objects_)
            object->waiters_.push_back(&cv_);
    }
    ~WaitRegistration() {
        for (WaitableObject *object : objects_) {
            auto &list = object->waiters_;
            const auto it = std::find(list.begin(), list.end(), &cv_);
            if (it != list.end())
                list.erase(it);
        }
    }
    WaitRegistration(const WaitRegistration &) = delete;
    WaitRegistration &operator=(const WaitRegistration &) = delete;

private:
    std::span<WaitableObject *const> objects_;
    std::condition_variable &cv_;
};

DWORD WaitForObjects(std::span<WaitableObject *const> objects, bool waitAll, DWORD timeoutMs) {
    const DWORD self = CurrentThreadId();
    const DeviceDeadline deadline(timeoutMs);
    std::condition_variable cv;
    std::unique_lock lock(WaitLock());
    WaitRegistration registration(objects, cv);
    DWORD result = WAIT_TIMEOUT;
    auto satisfied = [&] {
        if (waitAll) {
            const bool all = std::all_of(objects.begin(), objects.end(),
                                         [&](WaitableObject *o) { return o->IsSignalled(self); });
            if (!all)
                return false;
            for (WaitableObject *object : objects)
                object->Satisfy(self);
            result = WAIT_OBJECT_0;
            return true;
        }
        for (size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->IsSignalled(self)) {
                objects[i]->Satisfy(self);
                result = WAIT_OBJECT_0 + static_cast<DWORD>(i);
                return true;
            }
        }
        return false;
    };
    deadline.Wait(cv, lock, satisfied);
    return result;
}

} // namespace platform::kernel

using namespace platform::kernel;

// Fails with ERROR_INVALID_HANDLE for NULL, INVALID_HANDLE_VALUE, a closed
// or a foreign handle. The object lives on while another thread holds it.
BOOL WINAPI CloseHandle(HANDLE object) {
    std::shared_ptr<KernelObject> removed = RemoveHandle(object);
    if (!removed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return removed->OnClose() ? TRUE : FALSE;
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &object, FALSE, milliseconds);
}

// Windows CE accepts only waitAll FALSE; TRUE works here as on desktop
// Windows. Answers WAIT_FAILED with ERROR_INVALID_PARAMETER for a count of
// 0 or above MAXIMUM_WAIT_OBJECTS, a NULL array, or (waitAll TRUE) a handle
// named twice; with ERROR_INVALID_HANDLE when a handle is not a waitable
// object.
DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *objects, BOOL waitAll,
                                    DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !objects) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<KernelObject>> held; // keeps the objects alive during the wait
    std::vector<WaitableObject *> waitables;
    held.reserve(count);
    waitables.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<KernelObject> object = GetHandleObject(objects[i]);
        WaitableObject *waitable = object ? object->AsWaitable() : nullptr;
        if (!waitable) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (waitAll && std::find(waitables.begin(), waitables.end(), waitable) != waitables.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        waitables.push_back(waitable);
        held.push_back(std::move(object));
    }
    return WaitForObjects(waitables, waitAll != FALSE, milliseconds);
}
