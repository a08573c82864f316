// fake_stack.h — control API of the recording fake FM stack (FakeStack.dll).
//
// The fake exports the 33 FM_* entry points with C linkage. Every call is
// recorded with its arguments, in order; each function answers a scripted
// result (0 unless set); an action may be attached to a function and runs
// inside the call. The event callback passed to FM_Create is captured so
// that a test can deliver events synchronously (Deliver) or from the
// fake's own event thread (Post), in order.
//
// Tests link FakeStack.dll and map "FMS_API.dll" to it, so the library's
// LoadLibraryW reaches this same instance.
#ifndef TAVRINEL_TESTS_FMAPI_FAKE_STACK_H
#define TAVRINEL_TESTS_FMAPI_FAKE_STACK_H

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <fmstack.h>

#define FAKESTACK_API __declspec(dllexport)

namespace fakestack {

struct Call {
    std::string name;
    std::vector<int64_t> args; // integers as passed; pointers as 0 (null) or 1
};

// Back to a fresh stack: no calls, results 0, no actions, handle 0x5151,
// zeroed status record. Waits for the event thread to go idle first.
FAKESTACK_API void Reset();

FAKESTACK_API std::vector<Call> Calls();
FAKESTACK_API std::vector<std::string> CallNames();
FAKESTACK_API void ClearCalls();

// The result `name` answers from now on.
FAKESTACK_API void SetResult(const std::string &name, uint32_t result);
// The handle FM_Create writes; 0 leaves the caller's word untouched.
FAKESTACK_API void SetCreateHandle(uint32_t handle);
// What FM_GetCurrentStatus writes into its 12-byte record.
FAKESTACK_API void SetCurrentStatus(const std::array<uint8_t, FMS_CURRENT_STATUS_BYTES> &record);
// Runs inside every call of `name`, after it was recorded; empty removes it.
FAKESTACK_API void OnCall(const std::string &name, std::function<void()> action);

// The callback registered by the last FM_Create, or null.
FAKESTACK_API FmsEventCallback Callback();
// Calls the captured callback on this thread and answers its result.
FAKESTACK_API uint32_t Deliver(const StackEvent &event);
FAKESTACK_API uint32_t DeliverRds(const std::vector<uint8_t> &bytes);
// Queues an event for the fake's event thread (RDS bytes are copied).
FAKESTACK_API void Post(const StackEvent &event);
FAKESTACK_API void PostRds(const std::vector<uint8_t> &bytes);
// Waits until every posted event has been delivered.
FAKESTACK_API void DrainEvents();
// How many events the event thread has delivered so far.
FAKESTACK_API uint64_t EventThreadDeliveries();

// Event builders.
FAKESTACK_API StackEvent CommandStatus(uint8_t command, uint8_t status, uint32_t value);
FAKESTACK_API StackEvent TuneComplete(uint32_t frequencyKHz);
FAKESTACK_API StackEvent AfJump(uint32_t frequencyKHz);
FAKESTACK_API StackEvent OfType(uint8_t type);

} // namespace fakestack

#endif // TAVRINEL_TESTS_FMAPI_FAKE_STACK_H
