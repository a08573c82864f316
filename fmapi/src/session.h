// session.h — Lumarc's private header: the tuner session, the cached
// property block and the library-wide state shared by the source files.
//
// Threads: the exports run on the client's threads; StackEventCallback and
// everything it calls run on the FM stack's event thread. The flags and
// property words below are single atomic words of the width the device
// uses (8 bits, 32 bits, or pointer-sized for words that carry a callback);
// rdsLock guards the framer state, replyLock the writes of replyReceived.
#ifndef TAVRINEL_FMAPI_SESSION_H
#define TAVRINEL_FMAPI_SESSION_H

#include <atomic>
#include <cstddef>
#include <memory>

#include <cecompat.h>
#include <windows.h>

#include "fmapi.h"
#include "fmstack.h"

namespace lumarc {

// ---------------------------------------------------------------- constants

inline constexpr DWORD kReplyTimeoutMs = 5000; // every wait for the stack
inline constexpr DWORD kReplyPollMs = 5;       // step of the pumping wait
inline constexpr int kPowerOffPasses = 10;     // replies awaited at power-off
inline constexpr DWORD kRdsInitialCapacity = 2048;
inline constexpr DWORD kNoPiLock = 0xFFFF;        // piLock when unlocked
inline constexpr size_t kDebugLineChars = 256;    // debugPrint buffer, with terminator
inline constexpr size_t kInvalidEventChars = 200; // "Invalid event type" buffer
inline constexpr DWORD kDevInfoVersion = 0x10000;

// The framer's unlocked search needs two raw groups (fmstack_rds.h) and the
// next group's block A.
inline constexpr DWORD kRdsLockWindow = 2 * kFmsRdsGroupBytes + 2; // 26

// ---------------------------------------------------------------- property block

// One word per FMPropID, in id order, holding the last value set by the
// client or reported by the stack. Pointer-sized because the two client
// callbacks travel in it.
struct TunerProperties {
    std::atomic<DWORD_PTR> afEnable{0};
    std::atomic<DWORD_PTR> audioPath{1};
    std::atomic<DWORD_PTR> band{0};
    std::atomic<DWORD_PTR> deemphasis{0};
    std::atomic<DWORD_PTR> frequency{87500}; // kHz
    std::atomic<DWORD_PTR> rssiSearchLevel{8};
    std::atomic<DWORD_PTR> monoStereo{0};
    std::atomic<DWORD_PTR> mute{0};
    std::atomic<DWORD_PTR> rssi{0};
    std::atomic<DWORD_PTR> stereoBlend{0};
    std::atomic<DWORD_PTR> volume{50}; // 0..100
    std::atomic<DWORD_PTR> tuneCallback{0};
    std::atomic<DWORD_PTR> rdsCallback{0};

    // The word of a property id; null for an id above 12.
    std::atomic<DWORD_PTR> *word(DWORD id);
};
static_assert(sizeof(TunerProperties) == FMPROP_COUNT * sizeof(DWORD_PTR));

inline std::atomic<DWORD_PTR> *TunerProperties::word(DWORD id) {
    switch (id) {
    case FMPROP_AF:
        return &afEnable;
    case FMPROP_AUDIO_PATH:
        return &audioPath;
    case FMPROP_BAND:
        return &band;
    case FMPROP_DEEMPHASIS:
        return &deemphasis;
    case FMPROP_FREQUENCY:
        return &frequency;
    case FMPROP_RSSI_SEARCH_LEVEL:
        return &rssiSearchLevel;
    case FMPROP_MONO_STEREO:
        return &monoStereo;
    case FMPROP_MUTE:
        return &mute;
    case FMPROP_RSSI:
        return &rssi;
    case FMPROP_STEREO_BLEND:
        return &stereoBlend;
    case FMPROP_VOLUME:
        return &volume;
    case FMPROP_TUNE_CALLBACK:
        return &tuneCallback;
    case FMPROP_RDS_CALLBACK:
        return &rdsCallback;
    default:
        return nullptr;
    }
}

// ---------------------------------------------------------------- session

class TunerSession {
public:
    TunerSession(HMODULE stackLibrary, TunerProperties *properties);
    TunerSession(const TunerSession &) = delete;
    TunerSession &operator=(const TunerSession &) = delete;

    // Stack event handlers, in the slot order the stack dispatch relies on.
    virtual DWORD onCommandStatus(const StackEvent &event);
    virtual DWORD onIgnoredEvent(BYTE first);
    virtual DWORD onTuneComplete(const StackEvent &event);
    virtual DWORD onAfJump(const StackEvent &event);
    virtual DWORD onRdsData(WORD length, const BYTE *data);
    virtual ~TunerSession();

    // Whether construction got every resource (buffer, event).
    [[nodiscard]] bool ready() const { return rdsBuffer != nullptr && replyEvent != nullptr; }

    // Binds the 33 stack entry points by name; reports the first missing one.
    bool bindStack();

    // The reply mechanism: useEvent selects replyEvent (power-on) or the
    // replyReceived flag with the message-pumping wait (everything else).
    void armReply(bool useEvent);
    void signalReply(bool useEvent);
    bool waitForReply(bool useEvent);

    // A new frequency: unlock the framer, drop buffered RDS bytes, tell the client.
    void notifyTune(DWORD frequencyKHz, FMTuneReason reason);

    // ---- framer state (rdsLock guards all four; notifyTune resets piLock
    // just before taking the lock)
    std::unique_ptr<BYTE[]> rdsBuffer;
    DWORD rdsLength = 0;
    LONG rdsCapacity = 0;
    std::atomic<DWORD> piLock{kNoPiLock};
    CRITICAL_SECTION rdsLock{};

    // ---- stack entry points, in binding order
#define FMS_DECLARE_MEMBER(name, result, params) PFN_##name name = nullptr;
    FMS_ENTRY_POINTS(FMS_DECLARE_MEMBER)
#undef FMS_DECLARE_MEMBER

    HMODULE stackLibrary = nullptr;
    TunerProperties *properties = nullptr; // not owned
    HANDLE replyEvent = nullptr;           // auto-reset; the power-on status
    std::atomic<BYTE> replyReceived{0};    // query replies and power-off status
    CRITICAL_SECTION replyLock{};

    // Any reply ends a pumping wait, so the two queries that must tell their
    // own reply from another's count theirs (onCommandStatus counts before
    // it sets replyReceived): signal-strength replies, and refused
    // search-level replies.
    std::atomic<DWORD> rssiReplies{0};
    std::atomic<DWORD> searchLevelRefusals{0};

private:
    // Framer steps (framer.cpp). Positions are offsets into rdsBuffer.
    static constexpr DWORD kNoGroup = 0xFFFFFFFFu;
    [[nodiscard]] bool sameBlockA(DWORD q) const;
    DWORD findGroup(DWORD from, DWORD &errorBits);
};

// Accepts a raw group when every status byte holds its block's value, with
// the error bit 3 allowed on any block; errorBits then holds those bits
// moved to bit 1 of each byte (RdsGroupRecord::dwBlockErrors).
bool checkGroupStatus(const BYTE *group, DWORD &errorBits);

// ---------------------------------------------------------------- library-wide state

extern std::atomic<FMDebugFunction> debugSink;
extern std::atomic<BYTE> poweredOn;
extern std::atomic<TunerSession *> eventTarget;
extern std::atomic<TunerSession *> openSession;
extern std::atomic<DWORD> stackHandle;
extern TunerProperties tunerProperties;

// A stack result of 0 or 2 ("pending") means accepted.
inline bool stackAccepted(DWORD result) {
    return result == FMS_OK || result == FMS_PENDING;
}

// Formats into a zeroed 256-character buffer (truncating) and hands the line
// to debugSink; does nothing without a sink. Formats are always our own.
void debugPrint(LPCWSTR format, ...);

// The session behind a handle, or null when it is not the open session.
TunerSession *sessionFromHandle(HFMTUNER handle);

// Sends FM_SetRDS while the radio is on: 1 when AF switching or an RDS
// client wants the data, else 0.
void applyRdsEnable(TunerSession *session);

DWORD setVolume(TunerSession *session, DWORD_PTR volume);
DWORD getVolume(TunerSession *session);

DWORD StackEventCallback(const StackEvent *event);
// Waits (at most 5000 ms) until no other thread is inside a stack event handler.
void waitForDispatchesToEnd();

// What this thread is doing inside the library, kept in a Win32 TLS slot (a
// library loaded at run time cannot count on implicit thread_local storage):
// bit 0 is set while it frames RDS data, the bits above count the stack
// events it is handling (nested when a handler's wait pumps messages).
constexpr DWORD_PTR kThreadFraming = 1;
constexpr DWORD_PTR kThreadDispatch = 2;
DWORD_PTR threadActivity();
void setThreadActivity(DWORD_PTR activity);
void releaseThreadActivity(); // at unload

// Test hook: RDS buffer growth beyond this many bytes fails as an
// allocation failure would (default: no limit). Not part of the client API.
LUMARC_API void SetRdsAllocationLimitForTesting(size_t bytes);

// Holds a critical section for a scope, released on every way out.
class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CRITICAL_SECTION &cs) : cs_(cs) { EnterCriticalSection(&cs_); }
    ~CriticalSectionGuard() { LeaveCriticalSection(&cs_); }
    CriticalSectionGuard(const CriticalSectionGuard &) = delete;
    CriticalSectionGuard &operator=(const CriticalSectionGuard &) = delete;

private:
    CRITICAL_SECTION &cs_;
};

} // namespace lumarc

#endif // TAVRINEL_FMAPI_SESSION_H
