// fmsim.h — test and demo controls of the FM stack simulator (FMS_API.dll),
// exported with C linkage beside the 33 FM_* entry points. Not part of the
// phone's stack: the deliverables never call these.
//
// Simulator behaviour worth knowing:
//  - Every event reaches the callback on the simulator's event thread, after
//    the latency, never from inside an FM_* call. Events caused by an FM_*
//    call made ON the event thread (e.g. FM_RssiGet inside the tune
//    callback) are posted to a hidden window of the event thread and
//    delivered by whoever dispatches its messages next: a pumping wait
//    gets them at its next dispatch.
//  - A tune is answered by one command status "tune" (7) carrying the
//    frequency; no tune-complete event (type 2) is sent, since the library
//    reports a tune for each.
//  - Calls that need the radio on are refused while it is off with the result
//    FMS_STATUS_FM_NOT_ON (5) and no event. Out-of-range arguments are refused
//    with FMS_STATUS_INVALID_PARAMETER (3), a wrong handle likewise. Calls
//    answered by an event return FMS_PENDING (2); calls done at once, 0.
//  - FM_GetCurrentStatus record: bytes 0-1 chip status word (FMSIM_CHIP_*),
//    byte 2 signal of the tuned frequency (0 while off), bytes 4-7 frequency
//    in kHz, bytes 8-11 audio path (FM_SetAudioPath).
#ifndef TAVRINEL_EMULATOR_FMSIM_H
#define TAVRINEL_EMULATOR_FMSIM_H

#include <cstddef>
#include <cstdint>

#include <fmstack.h>
#include <windows.h>

// The 33 stack entry points, declared for programs that link the simulator
// directly (tests); the definitions are checked against the same list.
#define FMSIM_DECLARE_ENTRY(name, result, params) __declspec(dllexport) result name params;
extern "C" {
FMS_ENTRY_POINTS(FMSIM_DECLARE_ENTRY)
}
#undef FMSIM_DECLARE_ENTRY

#define FMSIM_CHIP_POWERED 0x0001u
#define FMSIM_CHIP_RDS 0x0002u
#define FMSIM_CHIP_SEEKING 0x0004u
#define FMSIM_CHIP_STEREO 0x0008u
#define FMSIM_CHIP_MUTED 0x0010u
#define FMSIM_CHIP_AF 0x0020u

// Where the events caused by a call go.
#define FMSIM_ROUTE_EVENT_THREAD 0 // the event thread (normal)
#define FMSIM_ROUTE_CALLER_QUEUE 1 // posted to a hidden window of the calling thread

#define FMSIM_FAULT_NONE 0
#define FMSIM_FAULT_EXCEPTION 1 // FM_Destroy throws a C++ exception (std::runtime_error)
#define FMSIM_FAULT_SEGV 2      // FM_Destroy raises SIGSEGV ("hardware fault")

struct FmsimCounters {
    uint64_t calls;         // FM_* calls of all kinds
    uint64_t events;        // events delivered to the callback
    uint64_t commandStatus; // of them command statuses
    uint64_t afJumps;       // of them AF jumps
    uint64_t rdsEvents;     // of them RDS data events
    uint64_t rdsBytes;      // raw RDS bytes delivered
    uint64_t rdsGroups;     // groups begun by the RDS streams
    uint64_t postedReplies; // events delivered through a message queue
    uint64_t droppedEvents; // events discarded (destroy, missing-reply fault)
};

#define FMSIM_NOTICE_CAUSE_BYTES 16
#define FMSIM_NOTICE_TEXT_BYTES 160

// The radio's latest word for the user (FmsimGetNotice).
struct FmsimNotice {
    uint64_t serial;                      // grows with each word; 0: nothing said yet
    char cause[FMSIM_NOTICE_CAUSE_BYTES]; // its kind: "start", "exit", "garbage", "gone", "seek"...
    char text[FMSIM_NOTICE_TEXT_BYTES];   // "radio: ...", cut to fit; "" takes the word back
};

extern "C" {

// ---- scenario
// Loads a scenario file (host path) and uses it from now on (also across
// FM_Init). On failure answers 0, writes "file:line: message" into error
// (always terminated, truncated to errorSize) and changes nothing.
__declspec(dllexport) int FmsimLoadScenario(const char *path, char *error, size_t errorSize);
__declspec(dllexport) int FmsimLoadScenarioText(const char *text, size_t length, const char *name,
                                                char *error, size_t errorSize);
// Back to the environment's scenario or the built-in default.
__declspec(dllexport) void FmsimUseDefaultScenario();

// ---- the radio under the stack
// "sim" (the scenario's band), "v4l2:/dev/radioN" (a Linux radio tuner) or
// "cmd:COMMAND" (a decoder command printing RDS groups as hex lines; {khz}
// and {mhz} stand for the frequency). Takes effect at the next FM_Create;
// null goes back to the environment's TAVRINEL_FM_RADIO (read at FM_Init),
// else "sim".
__declspec(dllexport) void FmsimUseRadio(const char *spec);

// ---- behaviour
__declspec(dllexport) void FmsimSetLatency(DWORD milliseconds);
__declspec(dllexport) void FmsimSetRdsRate(double multiplier); // 0.01..1000
__declspec(dllexport) void FmsimPauseRds(int paused);
// Jumps to the tuned station's first alternative frequency now, as when
// reception fades; needs the radio on and AF enabled. Answers 1 when a jump
// event was scheduled.
__declspec(dllexport) int FmsimTriggerAfJump();
__declspec(dllexport) void FmsimSetReplyRoute(int route);

// ---- faults (by FM_* name; an unknown name answers 0)
// The named entry point answers `result` (nonzero) without doing anything;
// result 0 clears the fault.
__declspec(dllexport) int FmsimFailCall(const char *function, DWORD result);
// The command's status events are not sent (drop nonzero) / sent again.
__declspec(dllexport) void FmsimDropReply(BYTE command, int drop);
// The command's statuses carry `status` instead of success; -1 clears.
__declspec(dllexport) void FmsimFailStatus(BYTE command, int status);
__declspec(dllexport) void FmsimSetDestroyFault(int fault);
// Clears every fault and the reply route; options come from the scenario again.
__declspec(dllexport) void FmsimClearFaults();

// ---- wake
// As a radio's interrupt wakes a device: the stack calls `wake(context)` on
// its event thread once after each batch of events it has delivered, so
// that a reader of the port above it need not poll. The function must
// return at once and must not call back into the stack. Null clears it.
// When this returns, a call of the previous function has finished; so it
// must not be called from inside the wake function itself.
typedef void (*FmsimWakeFunction)(void *context);
__declspec(dllexport) void FmsimSetWake(FmsimWakeFunction wake, void *context);

// ---- observation
__declspec(dllexport) void FmsimGetCounters(FmsimCounters *counters);
__declspec(dllexport) uint64_t FmsimCallCount(const char *function);
__declspec(dllexport) void FmsimResetCounters();
// Thread id of the event thread, 0 when no session exists.
__declspec(dllexport) DWORD FmsimEventThreadId();
// Frequency the chip is tuned to (kHz), and whether it is powered.
__declspec(dllexport) DWORD FmsimFrequency();
// The latest word of the radio or of the stack about it: it cannot start,
// its command ended and is started again, lines it printed were not
// understood, the tuner was unplugged, a seek runs. Both strings are
// terminated and printable.
__declspec(dllexport) void FmsimGetNotice(FmsimNotice *notice);
__declspec(dllexport) int FmsimPowered();

} // extern "C"

#endif // TAVRINEL_EMULATOR_FMSIM_H
