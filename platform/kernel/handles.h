// handles.h — kernel objects and the handle table of libplatform.
//
// A HANDLE is an id in a table, never a pointer: a foreign, garbage or
// closed handle is simply not found and the call fails with
// ERROR_INVALID_HANDLE. The table holds shared ownership of each object,
// so a handle closed while another thread waits on it (or calls into it)
// leaves that thread with a live object.
//
// To add an object kind (a device file, a mutex): derive from KernelObject,
// or from WaitableObject when it can be waited on, and hand a shared_ptr to
// AllocHandle. Callers find it again with GetHandleObjectAs<Kind>(handle).
#ifndef TAVRINEL_PLATFORM_HANDLES_H
#define TAVRINEL_PLATFORM_HANDLES_H

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace platform::kernel {

// Ids of kernel handles, windows and modules come from this one counter
// (nonzero multiples of 4 below 2^30), so that a live value of one kind is
// never also a live value of another kind.
uintptr_t NewObjectId();

class WaitableObject;

// ---------------------------------------------------------------- objects

// Base of every object that a HANDLE can name.
class KernelObject {
public:
    KernelObject() = default;
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject &) = delete;
    KernelObject &operator=(const KernelObject &) = delete;

    // The kind of object, for diagnostics: "event", "thread", "file".
    [[nodiscard]] virtual const char *Kind() const = 0;
    // Non-null when the object can be waited on.
    virtual WaitableObject *AsWaitable() { return nullptr; }
    // CloseHandle has removed the handle (on the closing thread, no lock
    // held). Answer false after SetLastError to make CloseHandle report a
    // failure; the handle is gone either way. Other threads may still hold
    // the object; its destructor runs when the last of them lets go.
    virtual bool OnClose() { return true; }
};

// The one lock under which every signal state changes and is tested (as
// the Wine server serialises its objects). Held only briefly, never across
// a call out of libplatform.
std::mutex &WaitLock();

// An object with a signal state.
class WaitableObject : public KernelObject {
public:
    WaitableObject *AsWaitable() override { return this; }

    // Under WaitLock(): is the object signalled for thread `threadId`?
    [[nodiscard]] virtual bool IsSignalled(DWORD threadId) const = 0;
    // Under WaitLock(): a wait of `threadId` was satisfied by this object
    // (an auto-reset event resets itself here).
    virtual void Satisfy(DWORD threadId) { (void)threadId; }

    // Under WaitLock(): wake every thread waiting on this object so that it
    // tests the signal states again. Call after a state became signalled.
    void WakeWaiters();

private:
    friend class WaitRegistration;
    std::vector<std::condition_variable *> waiters_;
};

// ---------------------------------------------------------------- handle table

// Enters `object` into the table. Answers NULL (ERROR_NOT_ENOUGH_MEMORY) only
// when the table is full.
HANDLE AllocHandle(std::shared_ptr<KernelObject> object);
// The object a handle names, or null (no last error set here).
std::shared_ptr<KernelObject> GetHandleObject(HANDLE handle);
template <class T> std::shared_ptr<T> GetHandleObjectAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(GetHandleObject(handle));
}
// Removes a handle from the table and answers its object (null if none).
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);
// Number of open handles (tests, diagnostics).
size_t HandleCount();

// ---------------------------------------------------------------- waits

// Waits until one (waitAll false) or all (waitAll true) of `objects` are
// signalled, or `timeoutMs` device milliseconds have passed. Answers
// WAIT_OBJECT_0 + index (the lowest signalled index) or WAIT_TIMEOUT.
DWORD WaitForObjects(std::span<WaitableObject *const> objects, bool waitAll, DWORD timeoutMs);

} // namespace platform::kernel

#endif // TAVRINEL_PLATFORM_HANDLES_H
