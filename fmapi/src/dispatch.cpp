// dispatch.cpp — the stack's event callback and the session's handlers for
// command statuses, finished tunes and AF jumps.
#include "session.h"

namespace lumarc {

namespace {

// The debug vocabulary, indexed by command and status code. The last slot
// of each has no name; a status line for it is written as an invalid one.
constexpr DWORD kCommandSlots = 33;
constexpr DWORD kStatusSlots = 14;
static_assert(kStatusSlots == FMS_STATUS_ALREADY_PENDING + 2, "a name for every stack status");

const WCHAR *const commandNames[kCommandSlots] = {
    TEXT("power on"),
    TEXT("power off"),
    TEXT("set Mo/St"),
    TEXT("set band"),
    TEXT("set mute"),
    TEXT("set volume"),
    TEXT("set rds"),
    TEXT("tune"),
    TEXT("get rssi"),
    TEXT("seek"),
    TEXT("set AF"),
    TEXT("set stereo blend"),
    TEXT("set deemphasis mode"),
    TEXT("set rssi search level"),
    TEXT("set pause level"),
    TEXT("set pause duration"),
    TEXT("set RDS/RBDS mode"),
    TEXT("get Mo/St"),
    TEXT("audio enable"),
    TEXT("handle get int"),
    TEXT("read rds"),
    TEXT("handle AF jump"),
    TEXT("handle stereo change"),
    TEXT("get current status"),
    TEXT("get deemphasis mode"),
    TEXT("get mute mode"),
    TEXT("get band mode"),
    TEXT("get volume"),
    TEXT("get rssi search level"),
    TEXT("get Mo/St blend"),
    TEXT("get AF freq"),
    TEXT("handle hw mal"),
    nullptr,
};

const WCHAR *const statusNames[kStatusSlots] = {
    TEXT("successed"),
    TEXT("failed"),
    TEXT("pending"),
    TEXT("invalid parameter"),
    TEXT("BT not initialized"),
    TEXT("failed FM not on"),
    TEXT("FM already on"),
    TEXT("Seek reached band limit"),
    TEXT("Seek stopped"),
    TEXT("Seek successed"),
    TEXT("Stop seek"),
    TEXT("pending update cmd params"),
    TEXT("failed already pending"),
    nullptr,
};

} // namespace

// ---------------------------------------------------------------- the stack's callback

namespace {

// Stack events being handled right now, on all threads. A session is
// destroyed only when no other thread is still inside one of its handlers (a
// waiting client may see its reply before the handler returns).
std::atomic<int> dispatchesInFlight{0};

DWORD threadSlot() {
    static const DWORD slot = TlsAlloc();
    return slot;
}

struct DispatchScope {
    DispatchScope() {
        dispatchesInFlight.fetch_add(1, std::memory_order_seq_cst);
        setThreadActivity(threadActivity() + kThreadDispatch);
    }
    ~DispatchScope() {
        setThreadActivity(threadActivity() - kThreadDispatch);
        dispatchesInFlight.fetch_sub(1, std::memory_order_release);
    }
    DispatchScope(const DispatchScope &) = delete;
    DispatchScope &operator=(const DispatchScope &) = delete;
};

} // namespace

// Called with eventTarget already cleared. Bounded, so that a handler stuck
// in a client callback cannot hold up closing for ever.
void waitForDispatchesToEnd() {
    const DWORD start = GetTickCount();
    const int own = static_cast<int>(threadActivity() / kThreadDispatch);
    while (dispatchesInFlight.load(std::memory_order_acquire) > own &&
           GetTickCount() - start < kReplyTimeoutMs)
        Sleep(1);
}

DWORD_PTR threadActivity() {
    // TlsGetValue clears the last error: the caller's stays as it was.
    const DWORD lastError = GetLastError();
    const auto activity = reinterpret_cast<DWORD_PTR>(TlsGetValue(threadSlot()));
    SetLastError(lastError);
    return activity;
}

void setThreadActivity(DWORD_PTR activity) {
    TlsSetValue(threadSlot(), reinterpret_cast<LPVOID>(activity));
}

void releaseThreadActivity() {
    TlsFree(threadSlot());
}

DWORD StackEventCallback(const StackEvent *event) {
    if (event == nullptr)
        return 0;
    const DispatchScope scope;
    const BYTE type = event->type;
    // Events with no session (none can arrive between open and close) are dropped.
    TunerSession *target = eventTarget.load(std::memory_order_seq_cst);
    switch (type) {
    case STACK_EVENT_COMMAND_STATUS:
        if (target != nullptr)
            target->onCommandStatus(*event);
        break;
    case STACK_EVENT_TUNE_COMPLETE:
        if (target != nullptr)
            target->onTuneComplete(*event);
        break;
    case STACK_EVENT_AF_JUMP:
        if (target != nullptr)
            target->onAfJump(*event);
        break;
    case STACK_EVENT_IGNORED:
        if (target != nullptr)
            target->onIgnoredEvent(event->u.ignored);
        break;
    case STACK_EVENT_RDS_DATA:
        if (target != nullptr)
            target->onRdsData(event->u.rds.length,
                              reinterpret_cast<const BYTE *>(event->u.rds.data));
        break;
    case STACK_EVENT_UNREAD_3:
    case STACK_EVENT_UNREAD_4:
    case STACK_EVENT_UNREAD_6:
        break; // known, carry nothing the library uses
    default:
        if (const FMDebugFunction sink = debugSink.load(std::memory_order_acquire)) {
            WCHAR line[kInvalidEventChars] = {};
            _snwprintf(line, kInvalidEventChars - 1, TEXT("Invalid event type: %d \r\n"),
                       static_cast<int>(type) - 1);
            sink(line);
        }
        break;
    }
    return 0;
}

// ---------------------------------------------------------------- handlers

void TunerSession::notifyTune(DWORD frequencyKHz, FMTuneReason reason) {
    piLock.store(kNoPiLock, std::memory_order_relaxed);
    properties->frequency.store(frequencyKHz);
    {
        CriticalSectionGuard guard(rdsLock);
        rdsLength = 0; // bytes of the old frequency must never be framed
    }
    if (const DWORD_PTR callback = properties->tuneCallback.load())
        reinterpret_cast<FMTuneCallback>(callback)(static_cast<HFMTUNER>(this), frequencyKHz,
                                                   reason);
}

DWORD TunerSession::onIgnoredEvent(BYTE) {
    return 0;
}

DWORD TunerSession::onTuneComplete(const StackEvent &event) {
    notifyTune(event.u.tune.frequency, FMTUNE_TUNED);
    return 0;
}

DWORD TunerSession::onAfJump(const StackEvent &event) {
    notifyTune(event.u.afJump.frequency, FMTUNE_AF_JUMP);
    return 0;
}

DWORD TunerSession::onCommandStatus(const StackEvent &event) {
    const BYTE command = event.u.status.command;
    const BYTE status = event.u.status.status;
    const DWORD value = event.u.status.value;
    const bool success = status == FMS_STATUS_SUCCESS;
    TunerProperties &p = *properties;
    // Codes outside the known ranges only earn the invalid-command line.
    const bool inRange = command < kCommandSlots && status < kStatusSlots;

    switch (inRange ? command : 0xFF) {
    case FMS_CMD_POWER_ON:
        if (success || status == FMS_STATUS_ALREADY_ON)
            poweredOn.store(1);
        signalReply(true); // a failure must wake FMPowerOn too
        break;
    case FMS_CMD_POWER_OFF:
        poweredOn.store(0);
        signalReply(false);
        break;
    case FMS_CMD_TUNE:
        notifyTune(value, FMTUNE_TUNED);
        break;
    case FMS_CMD_GET_RSSI:
        p.rssi.store(value);
        rssiReplies.fetch_add(1);
        signalReply(false);
        break;
    case FMS_CMD_SEEK:
        notifyTune(value, status == FMS_STATUS_SEEK_BAND_LIMIT ? FMTUNE_BAND_LIMIT : FMTUNE_SEEK);
        break;
    // The inversions mirror how FMSetProp encodes mono/stereo and mute.
    case FMS_CMD_GET_MOST:
        if (success)
            p.monoStereo.store(value == 0 ? 1 : 0);
        signalReply(false);
        break;
    case FMS_CMD_GET_DEEMPHASIS:
        if (success)
            p.deemphasis.store(value);
        signalReply(false);
        break;
    case FMS_CMD_GET_MUTE_MODE:
        if (success)
            p.mute.store(value == 0 ? 1 : 0);
        signalReply(false);
        break;
    case FMS_CMD_GET_BAND_MODE:
        if (success)
            p.band.store(value);
        signalReply(false);
        break;
    case FMS_CMD_GET_RSSI_SEARCH_LEVEL:
        // A refused query leaves the last known level.
        if (success)
            p.rssiSearchLevel.store(value);
        else
            searchLevelRefusals.fetch_add(1);
        signalReply(false);
        break;
    case FMS_CMD_GET_MOST_BLEND:
        if (success)
            p.stereoBlend.store(value != 0 ? 1 : 0);
        signalReply(false);
        break;
    default:
        break;
    }

    const WCHAR *commandName = inRange ? commandNames[command] : nullptr;
    const WCHAR *statusName = inRange ? statusNames[status] : nullptr;
    if (commandName != nullptr && statusName != nullptr)
        debugPrint(TEXT("Status: cmd: %s, status: %s, value: %d .\r\n"), commandName, statusName,
                   static_cast<int>(value));
    else
        debugPrint(TEXT("Invalid cmd: %d, status: %d, value: %d .\r\n"), static_cast<int>(command),
                   static_cast<int>(status), static_cast<int>(value));
    return 0;
}

} // namespace lumarc
