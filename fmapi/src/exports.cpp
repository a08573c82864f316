// exports.cpp — the exported tuner API (open, close, power, seek, device
// information) and the library's load and unload.
// session.h first: the standard headers must precede windows.h.
#include "session.h"

#include <cstring>

#include <cecompat.h>

using namespace lumarc;

namespace {

const WCHAR kStackLibraryName[] = TEXT("FMS_API.dll");
const WCHAR kDeviceName[] = TEXT("KRV_BRF6350_1");
static_assert(sizeof(kDeviceName) <= sizeof(TagFMDEVINFO::szDeviceName));
constexpr DWORD kDevInfoSize = sizeof(TagFMDEVINFO); // 56

// A session whose close the stack interrupted (it faulted inside a call and
// the caller's guard abandoned FMClose). Its handle is already invalid; it
// is freed, and the stack library released, at the next open or close that
// finds no close running, or at unload.
std::atomic<TunerSession *> abandonedSession{nullptr};

// The thread inside FMOpen or FMClose, or 0. Opening and closing change the
// library-wide state (openSession, stackHandle, the abandoned session), so
// only one runs at a time; an open that finds another thread here answers
// 548. A C++ exception leaving the call releases the claim on its way out; a
// hardware fault abandons the call without unwinding, and then the claim
// stays with its thread: that thread coming back to the library shows the
// call is no longer running (the driver never reaches the library from a
// window procedure the pumping wait dispatches).
std::atomic<DWORD> lifecycleOwner{0};

// Longest an open or close can hold the claim: every wait for the stack
// at power-off, and one more for the rest.
constexpr DWORD kLongestLifecycleMs = (kPowerOffPasses + 1) * kReplyTimeoutMs;

class LifecycleClaim {
public:
    // Waits up to `waitMs` for another thread's open or close to finish.
    explicit LifecycleClaim(DWORD waitMs = 0) {
        const DWORD self = GetCurrentThreadId();
        const DWORD start = GetTickCount();
        for (;;) {
            DWORD expected = 0;
            held_ = lifecycleOwner.compare_exchange_strong(expected, self) || expected == self;
            if (held_ || GetTickCount() - start >= waitMs)
                return;
            Sleep(kReplyPollMs);
        }
    }
    ~LifecycleClaim() {
        if (held_)
            lifecycleOwner.store(0);
    }
    LifecycleClaim(const LifecycleClaim &) = delete;
    LifecycleClaim &operator=(const LifecycleClaim &) = delete;
    [[nodiscard]] bool held() const { return held_; }

private:
    bool held_;
};

// Called only under a held claim: no close can be running meanwhile.
void finishAbandonedClose() {
    if (TunerSession *session = abandonedSession.exchange(nullptr))
        delete session;
}

// Builds a session over the loaded stack library. Nothing may escape into
// the caller: an allocation failure yields null and the library is released.
TunerSession *createSession(HMODULE library) {
    TunerSession *session = nullptr;
    try {
        session = new TunerSession(library, &tunerProperties);
    } catch (...) {
        FreeLibrary(library);
        return nullptr;
    }
    if (!session->ready()) {
        delete session; // releases the library
        return nullptr;
    }
    return session;
}

DWORD powerOn(TunerSession *session, HFMTUNER handle, FMRadioBand band) {
    session->armReply(true);
    session->FM_Enable(stackHandle.load());
    if (!session->waitForReply(true)) {
        poweredOn.store(0);
        return ERROR_GEN_FAILURE;
    }
    if (poweredOn.load() == 0)
        return ERROR_OPEN_FAILED; // the stack reported a failed power-on
    FMSetProp(handle, FMPROP_BAND, band);
    applyRdsEnable(session);
    return ERROR_SUCCESS;
}

DWORD powerOff(TunerSession *session) {
    const DWORD stack = stackHandle.load();
    session->FM_SetRDS(stack, 0);
    session->FM_MuteRadio(stack, 0);
    session->armReply(false);
    session->FM_Disable(stack);
    // Any reply ends a wait (they share one flag), so give the power-off
    // status a few chances to arrive.
    for (int pass = 0; pass < kPowerOffPasses; ++pass) {
        if (poweredOn.load() == 0)
            return ERROR_SUCCESS;
        if (!session->waitForReply(false)) {
            poweredOn.store(0);
            return ERROR_GEN_FAILURE;
        }
        session->armReply(false);
    }
    // Ten replies came and none was the power-off: the radio is still on.
    return poweredOn.load() == 0 ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

} // namespace

// ---------------------------------------------------------------- open and close

HFMTUNER FMOpen(LONG deviceIndex) {
    if (deviceIndex != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const LifecycleClaim claim;
    if (openSession.load() != nullptr || !claim.held()) {
        SetLastError(ERROR_DEVICE_ALREADY_ATTACHED);
        return nullptr;
    }
    finishAbandonedClose();
    poweredOn.store(0); // a flag left by an earlier session says nothing about this one
    HMODULE library = LoadLibraryW(kStackLibraryName);
    if (library == nullptr) {
        debugPrint(TEXT("Failed to load FMS_API.dll\r\n"));
        SetLastError(ERROR_OPEN_FAILED);
        return nullptr;
    }
    TunerSession *session = createSession(library);
    if (session == nullptr) {
        SetLastError(ERROR_NOT_READY);
        return nullptr;
    }
    if (!session->bindStack()) {
        delete session;
        SetLastError(ERROR_BAD_UNIT);
        return nullptr;
    }
    if (session->FM_Init() != 0) {
        debugPrint(TEXT("Failed to init FM radio\r\n"));
        delete session;
        SetLastError(ERROR_NOT_READY);
        return nullptr;
    }
    DWORD reserved = 0;
    DWORD handle = 0;
    const DWORD created = session->FM_Create(&reserved, StackEventCallback, &handle);
    if (created == 0 && handle != 0) {
        stackHandle.store(handle);
        eventTarget.store(session, std::memory_order_release);
        openSession.store(session, std::memory_order_release);
        return static_cast<HFMTUNER>(session);
    }
    // No usable stack session: a handle the stack may have written is not kept.
    stackHandle.store(0);
    session->FM_Deinit();
    debugPrint(TEXT("Failed to create FM session\r\n"));
    delete session;
    SetLastError(ERROR_NOT_READY);
    return nullptr;
}

DWORD FMClose(HFMTUNER handle) {
    // A close that meets another thread's open or close waits for it: the
    // handle may still be valid afterwards, and 87 would say it never was.
    const LifecycleClaim claim(kLongestLifecycleMs);
    if (!claim.held())
        return ERROR_INVALID_PARAMETER; // an open or close stuck in the stack
    finishAbandonedClose();
    TunerSession *session = sessionFromHandle(handle);
    if (session == nullptr)
        return ERROR_INVALID_PARAMETER;
    // The handle stops being valid before the stack is touched: if the stack
    // faults below (the caller may guard against that), the library's
    // unload must not close the same session over the same stack again.
    openSession.store(nullptr, std::memory_order_release);
    abandonedSession.store(session);
    const DWORD stack = stackHandle.load();
    if (stack != 0) {
        if (poweredOn.load() != 0)
            powerOff(session);
        session->FM_MuteRadio(stack, 0);
        session->FM_Destroy(stack);
        stackHandle.store(0);
    }
    session->FM_Deinit();
    abandonedSession.store(nullptr);
    delete session; // releases the stack library and unhooks the events
    poweredOn.store(0);
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- power and seek

DWORD FMPowerOn(HFMTUNER handle, DWORD on, FMRadioBand band) {
    TunerSession *session = sessionFromHandle(handle);
    if (session == nullptr)
        return ERROR_INVALID_PARAMETER;
    return on != 0 ? powerOn(session, handle, band) : powerOff(session);
}

DWORD FMSeek(HFMTUNER handle, FMSeekCmd command) {
    TunerSession *session = sessionFromHandle(handle);
    if (session == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (poweredOn.load() == 0)
        return ERROR_NOT_READY;
    const DWORD stack = stackHandle.load();
    // FM_Seek(stack, stop, up): the outcome arrives later as a seek status.
    DWORD stop = 0;
    DWORD up = 0;
    switch (command) {
    case FMSEEK_UP:
        up = 1;
        break;
    case FMSEEK_DOWN:
        break;
    case FMSEEK_STOP:
        stop = 1;
        break;
    default:
        return ERROR_NOT_SUPPORTED;
    }
    // A refused seek never brings a tune report: the caller must hear of it.
    return stackAccepted(session->FM_Seek(stack, stop, up)) ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

// ---------------------------------------------------------------- device information

DWORD FMGetDevInfo(HFMTUNER handle, TagFMDEVINFO *info) {
    TunerSession *session = sessionFromHandle(handle);
    if (session == nullptr || info == nullptr || info->dwSize != kDevInfoSize)
        return ERROR_INVALID_PARAMETER;
    info->dwVersion = kDevInfoVersion;
    info->dwReserved = 0xFFFFFFFFu;
    BYTE record[FMS_CURRENT_STATUS_BYTES] = {};
    session->FM_GetCurrentStatus(stackHandle.load(), record);
    // Bytes 0-1 (little-endian) and byte 2 of the stack's status record.
    info->dwChipStatus = static_cast<DWORD>(record[0]) | static_cast<DWORD>(record[1]) << 8 |
                         static_cast<DWORD>(record[2]) << 16;
    std::memcpy(info->szDeviceName, kDeviceName, sizeof(kDeviceName));
    return ERROR_SUCCESS;
}

DWORD FMGetNumDevs() {
    return 1;
}

void FMSetDebugFunction(FMDebugFunction sink) {
    debugSink.store(sink, std::memory_order_release);
}

// ---------------------------------------------------------------- load and unload

static BOOL LibraryEntry(HANDLE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        break;
    case DLL_PROCESS_DETACH: {
        TunerSession *session = openSession.load();
        if (session != nullptr) {
            // The client is going away with the library: never call it again.
            tunerProperties.tuneCallback.store(0);
            tunerProperties.rdsCallback.store(0);
        }
        if (reserved != nullptr) {
            // The process is ending. Win32 has already ended its other
            // threads, the stack's event thread among them, so a close would
            // wait for replies that can no longer come; the system reclaims
            // the radio's session with the process.
            break;
        }
        if (session != nullptr)
            FMClose(static_cast<HFMTUNER>(session));
        // Nothing else runs in the library while it unloads.
        finishAbandonedClose();
        releaseThreadActivity();
        CoUninitialize();
        break;
    }
    default:
        break;
    }
    return TRUE;
}

TAVRINEL_DLL_ENTRY(LibraryEntry)
