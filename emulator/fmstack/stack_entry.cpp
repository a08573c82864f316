// stack_entry.cpp — the 33 FM_* entry points of FMS_API.dll. Each is
// counted (and refused when a fault says so), checks the handle, the power
// and its arguments under the stack's lock, then has the stack carry it out.
// Calls answered by a command status return FMS_PENDING; the status follows
// on the event thread.
#include "stack.h"

#include <csignal>
#include <iterator>
#include <mutex>
#include <stdexcept>

using fms::Chip;
using fms::EntryIndex;
using fms::Stack;
using fms::TheStack;

namespace {

constexpr DWORD kAny = 0xFFFFFFFFu;

// Runs `body` for a call of the running session: counted, refused by an
// injected fault, a wrong handle or (when it needs it) a chip that is off.
template <typename Body> DWORD Call(EntryIndex index, DWORD handle, bool needsPower, Body body) {
    Stack &stack = TheStack();
    if (DWORD refused = stack.Enter(index))
        return refused;
    std::lock_guard<std::mutex> guard(stack.Mutex());
    if (DWORD refused = stack.CheckSession(handle, needsPower))
        return refused;
    return body(stack);
}

// A setting answered by its command status.
DWORD Set(EntryIndex index, DWORD handle, bool needsPower, BYTE command, DWORD value, DWORD maximum,
          DWORD Chip::*field) {
    return Call(index, handle, needsPower, [&](Stack &stack) -> DWORD {
        if (value > maximum)
            return FMS_STATUS_INVALID_PARAMETER;
        stack.SetSetting(command, value, field);
        return FMS_PENDING;
    });
}

// A query answered by one command status carrying the value.
template <typename ValueFn>
DWORD Query(EntryIndex index, DWORD handle, bool needsPower, BYTE command, ValueFn value) {
    return Call(index, handle, needsPower, [&](Stack &stack) -> DWORD {
        stack.Answer(command, value(stack));
        return FMS_PENDING;
    });
}

} // namespace

extern "C" {

__declspec(dllexport) DWORD FM_GetCurrentStatus(DWORD stack, BYTE *record) {
    return Call(fms::kEntry_FM_GetCurrentStatus, stack, false, [&](Stack &s) -> DWORD {
        if (record == nullptr)
            return FMS_STATUS_INVALID_PARAMETER;
        s.StatusRecord(record);
        return FMS_OK;
    });
}

__declspec(dllexport) DWORD FM_Create(DWORD *reserved, FmsEventCallback callback, DWORD *stack) {
    (void)reserved;
    Stack &s = TheStack();
    if (DWORD refused = s.Enter(fms::kEntry_FM_Create))
        return refused;
    std::unique_lock<std::mutex> guard(s.Mutex());
    if (!s.Initialised())
        return FMS_STATUS_NOT_INITIALIZED;
    if (callback == nullptr || stack == nullptr)
        return FMS_STATUS_INVALID_PARAMETER;
    return s.CreateSession(guard, callback, *stack);
}

__declspec(dllexport) DWORD FM_Init() {
    Stack &s = TheStack();
    if (DWORD refused = s.Enter(fms::kEntry_FM_Init))
        return refused;
    return s.Init();
}

__declspec(dllexport) DWORD FM_Deinit() {
    Stack &s = TheStack();
    if (DWORD refused = s.Enter(fms::kEntry_FM_Deinit))
        return refused;
    // The event thread cannot wait for itself to end.
    if (s.OnEventThread())
        return FMS_STATUS_FAILED;
    s.Deinit();
    return FMS_OK;
}

__declspec(dllexport) DWORD FM_Destroy(DWORD stack) {
    Stack &s = TheStack();
    if (DWORD refused = s.Enter(fms::kEntry_FM_Destroy))
        return refused;
    int fault;
    {
        std::lock_guard<std::mutex> guard(s.Mutex());
        if (DWORD refused = s.CheckSession(stack, false))
            return refused;
        if (s.OnEventThread())
            return FMS_STATUS_FAILED;
        fault = s.DestroyFault();
    }
    s.DestroySession();
    // The injected fault strikes after the radio has been shut down cleanly,
    // as a fault in the stack's own clean-up would.
    if (fault == FMSIM_FAULT_EXCEPTION)
        throw std::runtime_error("FM_Destroy: simulated stack fault");
    if (fault == FMSIM_FAULT_SEGV)
        std::raise(SIGSEGV);
    return FMS_OK;
}

__declspec(dllexport) DWORD FM_Enable(DWORD stack) {
    return Call(fms::kEntry_FM_Enable, stack, false, [](Stack &s) -> DWORD {
        s.PowerOn();
        return FMS_PENDING;
    });
}

__declspec(dllexport) DWORD FM_Disable(DWORD stack) {
    return Call(fms::kEntry_FM_Disable, stack, false, [](Stack &s) -> DWORD {
        s.PowerOff();
        return FMS_PENDING;
    });
}

__declspec(dllexport) DWORD FM_MuteRadio(DWORD stack, DWORD mode) {
    return Set(fms::kEntry_FM_MuteRadio, stack, false, FMS_CMD_SET_MUTE, mode, 2, &Chip::mute);
}

__declspec(dllexport) DWORD FM_GetBandMode(DWORD stack) {
    return Query(fms::kEntry_FM_GetBandMode, stack, true, FMS_CMD_GET_BAND_MODE,
                 [](Stack &s) { return static_cast<DWORD>(s.ChipState().band); });
}

__declspec(dllexport) DWORD FM_SetBand(DWORD stack, DWORD band) {
    return Call(fms::kEntry_FM_SetBand, stack, true, [&](Stack &s) -> DWORD {
        if (band >= std::size(fms::kBands))
            return FMS_STATUS_INVALID_PARAMETER;
        s.SetBand(band);
        return FMS_PENDING;
    });
}

__declspec(dllexport) DWORD FM_GetDemphMode(DWORD stack) {
    return Query(fms::kEntry_FM_GetDemphMode, stack, true, FMS_CMD_GET_DEEMPHASIS,
                 [](Stack &s) { return s.ChipState().deemphasis; });
}

__declspec(dllexport) DWORD FM_SetDeemphasisMode(DWORD stack, DWORD mode) {
    return Set(fms::kEntry_FM_SetDeemphasisMode, stack, true, FMS_CMD_SET_DEEMPHASIS, mode, 1,
               &Chip::deemphasis);
}

__declspec(dllexport) DWORD FM_Seek(DWORD stack, DWORD stop, DWORD up) {
    return Call(fms::kEntry_FM_Seek, stack, true, [&](Stack &s) -> DWORD {
        if (stop == 0)
            return s.StartSeek(up != 0);
        s.StopSeek();
        return FMS_PENDING;
    });
}

__declspec(dllexport) DWORD FM_RssiSearchLevel(DWORD stack, DWORD level) {
    return Call(fms::kEntry_FM_RssiSearchLevel, stack, true, [&](Stack &s) -> DWORD {
        if (level > fms::kMaxSignal)
            return FMS_STATUS_INVALID_PARAMETER;
        s.SetSearchLevel(level);
        return FMS_PENDING;
    });
}

__declspec(dllexport) DWORD FM_GetRSSISearchLevel(DWORD stack) {
    return Query(fms::kEntry_FM_GetRSSISearchLevel, stack, true, FMS_CMD_GET_RSSI_SEARCH_LEVEL,
                 [](Stack &s) { return static_cast<DWORD>(s.ChipState().searchLevel); });
}

__declspec(dllexport) DWORD FM_Tune(DWORD stack, DWORD frequencyKHz) {
    return Call(fms::kEntry_FM_Tune, stack, true, [&](Stack &s) -> DWORD {
        const fms::BandLimits limits = fms::kBands[s.ChipState().band];
        if (frequencyKHz < limits.lowKHz || frequencyKHz > limits.highKHz)
            return FMS_STATUS_INVALID_PARAMETER;
        s.TuneTo(frequencyKHz);
        return FMS_PENDING;
    });
}

// No command of its own: answered as "get current status" with the frequency.
__declspec(dllexport) DWORD FM_GetCurrentFreq(DWORD stack) {
    return Query(fms::kEntry_FM_GetCurrentFreq, stack, true, FMS_CMD_GET_CURRENT_STATUS,
                 [](Stack &s) { return s.Frequency(); });
}

__declspec(dllexport) DWORD FM_RssiGet(DWORD stack) {
    return Query(fms::kEntry_FM_RssiGet, stack, true, FMS_CMD_GET_RSSI,
                 [](Stack &s) { return static_cast<DWORD>(s.CurrentSignal()); });
}

__declspec(dllexport) DWORD FM_SetVolume(DWORD stack, SHORT level, DWORD reserved) {
    (void)reserved;
    return Call(fms::kEntry_FM_SetVolume, stack, false, [&](Stack &s) -> DWORD {
        s.SetVolume(static_cast<WORD>(level));
        return FMS_PENDING;
    });
}

__declspec(dllexport) DWORD FM_GetVolume(DWORD stack) {
    return Query(fms::kEntry_FM_GetVolume, stack, false, FMS_CMD_GET_VOLUME,
                 [](Stack &s) { return static_cast<DWORD>(s.ChipState().volume); });
}

__declspec(dllexport) DWORD FM_GetMuteMode(DWORD stack) {
    return Query(fms::kEntry_FM_GetMuteMode, stack, false, FMS_CMD_GET_MUTE_MODE,
                 [](Stack &s) { return s.ChipState().mute; });
}

__declspec(dllexport) DWORD FM_GetMoSt(DWORD stack) {
    return Query(fms::kEntry_FM_GetMoSt, stack, true, FMS_CMD_GET_MOST,
                 [](Stack &s) { return s.ChipState().monoStereo; });
}

__declspec(dllexport) DWORD FM_SetMoSt(DWORD stack, DWORD mode) {
    return Set(fms::kEntry_FM_SetMoSt, stack, true, FMS_CMD_SET_MOST, mode, 1, &Chip::monoStereo);
}

// The audio path has no command status; it is read back through
// FM_GetCurrentStatus (bytes 8-11).
__declspec(dllexport) DWORD FM_SetAudioPath(DWORD stack, DWORD path) {
    return Call(fms::kEntry_FM_SetAudioPath, stack, false, [&](Stack &s) -> DWORD {
        s.SetAudioPath(path);
        return FMS_OK;
    });
}

__declspec(dllexport) DWORD FM_SetRDS(DWORD stack, DWORD enable) {
    return Call(fms::kEntry_FM_SetRDS, stack, true, [&](Stack &s) -> DWORD {
        if (enable > 1)
            return FMS_STATUS_INVALID_PARAMETER;
        s.SetRds(enable);
        return FMS_PENDING;
    });
}

__declspec(dllexport) DWORD FM_SetRdsRbds(DWORD stack, DWORD mode) {
    return Set(fms::kEntry_FM_SetRdsRbds, stack, true, FMS_CMD_SET_RDS_RBDS, mode, 1,
               &Chip::rdsRbds);
}

__declspec(dllexport) DWORD FM_SetPauseDuration(DWORD stack, DWORD duration) {
    return Set(fms::kEntry_FM_SetPauseDuration, stack, true, FMS_CMD_SET_PAUSE_DURATION, duration,
               kAny, &Chip::pauseDuration);
}

__declspec(dllexport) DWORD FM_SetPauseLevel(DWORD stack, DWORD level) {
    return Set(fms::kEntry_FM_SetPauseLevel, stack, true, FMS_CMD_SET_PAUSE_LEVEL, level, kAny,
               &Chip::pauseLevel);
}

__declspec(dllexport) DWORD FM_GetMostBlend(DWORD stack) {
    return Query(fms::kEntry_FM_GetMostBlend, stack, true, FMS_CMD_GET_MOST_BLEND,
                 [](Stack &s) { return s.ChipState().stereoBlend; });
}

__declspec(dllexport) DWORD FM_SetStereoBlend(DWORD stack, DWORD enable) {
    return Set(fms::kEntry_FM_SetStereoBlend, stack, true, FMS_CMD_SET_STEREO_BLEND, enable, kAny,
               &Chip::stereoBlend);
}

__declspec(dllexport) DWORD FM_GetAFFreq(DWORD stack) {
    return Query(fms::kEntry_FM_GetAFFreq, stack, true, FMS_CMD_GET_AF_FREQ,
                 [](Stack &s) { return s.TunedAlternative(); });
}

__declspec(dllexport) DWORD FM_SetAF(DWORD stack, DWORD enable) {
    const DWORD result =
        Set(fms::kEntry_FM_SetAF, stack, true, FMS_CMD_SET_AF, enable, kAny, &Chip::afEnabled);
    // The event thread looks again whether an AF jump is due.
    Stack &s = TheStack();
    std::lock_guard<std::mutex> guard(s.Mutex());
    s.WakeEventThread();
    return result;
}

__declspec(dllexport) DWORD FM_AudioEnable(DWORD stack, DWORD enable) {
    return Set(fms::kEntry_FM_AudioEnable, stack, true, FMS_CMD_AUDIO_ENABLE, enable, 1,
               &Chip::audioEnabled);
}

} // extern "C"
