// properties.cpp — the property exports FMSetProp/FMGetProp over the cached
// block TunerProperties, and the rule that decides whether RDS data flows.
#include "session.h"

using namespace lumarc;

namespace lumarc {

void applyRdsEnable(TunerSession *session) {
    if (poweredOn.load() == 0)
        return;
    const TunerProperties &p = *session->properties;
    const bool wanted = p.afEnable.load() != 0 || p.rdsCallback.load() != 0;
    session->FM_SetRDS(stackHandle.load(), wanted ? 1 : 0);
}

} // namespace lumarc

namespace {

// Ids served whether or not the radio is on.
bool servedWhileOff(DWORD id) {
    return id == FMPROP_AUDIO_PATH || id == FMPROP_VOLUME || id == FMPROP_TUNE_CALLBACK ||
           id == FMPROP_RDS_CALLBACK;
}

// The common first tests of both exports; 0 lets the export go on.
DWORD checkAccess(TunerSession *session, DWORD id) {
    if (session == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (servedWhileOff(id))
        return ERROR_SUCCESS;
    if (poweredOn.load() == 0)
        return ERROR_NOT_READY;
    if (id > FMPROP_STEREO_BLEND)
        return ERROR_NOT_SUPPORTED;
    return ERROR_SUCCESS;
}

DWORD setAnswer(DWORD stackResult) {
    return stackAccepted(stackResult) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

// Asks the stack for a value and waits for the command status that writes
// it into its word. Any reply ends the wait (all queries share one flag);
// `own` is the count that the query's own reply moves, where the query
// must know that reply came.
enum class OwnReply { NotChecked, MustArrive, MustNotBeRefusal };

DWORD query(TunerSession *session, PFN_FM_GetBandMode ask, const std::atomic<DWORD_PTR> &word,
            DWORD rejected, DWORD_PTR *result, OwnReply check = OwnReply::NotChecked,
            const std::atomic<DWORD> *own = nullptr) {
    session->armReply(false);
    const DWORD before = own != nullptr ? own->load() : 0;
    if (!stackAccepted(ask(stackHandle.load())))
        return rejected;
    session->waitForReply(false);
    const bool moved = own != nullptr && own->load() != before;
    if ((check == OwnReply::MustArrive && !moved) || (check == OwnReply::MustNotBeRefusal && moved))
        return ERROR_GEN_FAILURE;
    *result = word.load();
    return ERROR_SUCCESS;
}

} // namespace

// ---------------------------------------------------------------- FMSetProp

DWORD FMSetProp(HFMTUNER handle, FMPropID id, DWORD_PTR value) {
    TunerSession *session = sessionFromHandle(handle);
    if (DWORD refused = checkAccess(session, id); refused != ERROR_SUCCESS)
        return refused;
    TunerProperties &p = *session->properties;
    const DWORD stack = stackHandle.load();
    // Settings are 32-bit words on the device; only the callbacks carry pointers.
    const DWORD setting = static_cast<DWORD>(value);

    switch (id) {
    case FMPROP_AF:
        p.afEnable.store(setting);
        if (!stackAccepted(session->FM_SetAF(stack, setting)))
            return ERROR_INVALID_PARAMETER;
        applyRdsEnable(session);
        return ERROR_SUCCESS;
    case FMPROP_AUDIO_PATH:
        p.audioPath.store(setting);
        return setAnswer(session->FM_SetAudioPath(stack, setting));
    case FMPROP_BAND:
        p.band.store(setting);
        return setAnswer(session->FM_SetBand(stack, setting & 0xFF));
    case FMPROP_DEEMPHASIS:
        p.deemphasis.store(setting);
        return setAnswer(session->FM_SetDeemphasisMode(stack, setting & 0xFF));
    case FMPROP_FREQUENCY:
        p.frequency.store(setting);
        return setAnswer(session->FM_Tune(stack, setting));
    case FMPROP_RSSI_SEARCH_LEVEL:
        p.rssiSearchLevel.store(setting);
        return setAnswer(session->FM_RssiSearchLevel(stack, setting));
    case FMPROP_MONO_STEREO:
        // The stack's mode is the inverse truth value.
        p.monoStereo.store(setting);
        return setAnswer(session->FM_SetMoSt(stack, setting == 0 ? 1 : 0));
    case FMPROP_MUTE:
        // Stack mute modes: 0 muted, 2 sound.
        p.mute.store(setting);
        return setAnswer(session->FM_MuteRadio(stack, setting == 0 ? 2 : 0));
    case FMPROP_RSSI:
        return ERROR_INVALID_PARAMETER; // read only
    case FMPROP_STEREO_BLEND:
        p.stereoBlend.store(setting);
        return setAnswer(session->FM_SetStereoBlend(stack, setting));
    case FMPROP_VOLUME:
        p.volume.store(setting);
        setVolume(session, setting);
        return ERROR_SUCCESS;
    case FMPROP_TUNE_CALLBACK:
        p.tuneCallback.store(value);
        return ERROR_SUCCESS;
    case FMPROP_RDS_CALLBACK:
        p.rdsCallback.store(value);
        applyRdsEnable(session);
        return ERROR_SUCCESS;
    }
    return ERROR_NOT_SUPPORTED;
}

// ---------------------------------------------------------------- FMGetProp

DWORD FMGetProp(HFMTUNER handle, FMPropID id, DWORD_PTR *result) {
    TunerSession *session = sessionFromHandle(handle);
    if (DWORD refused = checkAccess(session, id); refused != ERROR_SUCCESS)
        return refused;
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    TunerProperties &p = *session->properties;

    switch (id) {
    case FMPROP_AF:
        *result = p.afEnable.load();
        return ERROR_SUCCESS;
    case FMPROP_AUDIO_PATH: {
        BYTE record[FMS_CURRENT_STATUS_BYTES] = {};
        if (!stackAccepted(session->FM_GetCurrentStatus(stackHandle.load(), record)))
            return ERROR_GEN_FAILURE;
        // The audio path is the little-endian word at bytes 8-11.
        *result = static_cast<DWORD>(record[8]) | static_cast<DWORD>(record[9]) << 8 |
                  static_cast<DWORD>(record[10]) << 16 | static_cast<DWORD>(record[11]) << 24;
        return ERROR_SUCCESS;
    }
    case FMPROP_BAND:
        return query(session, session->FM_GetBandMode, p.band, ERROR_GEN_FAILURE, result);
    case FMPROP_DEEMPHASIS:
        return query(session, session->FM_GetDemphMode, p.deemphasis, ERROR_GEN_FAILURE, result);
    case FMPROP_FREQUENCY:
        *result = p.frequency.load();
        return ERROR_SUCCESS;
    case FMPROP_RSSI_SEARCH_LEVEL:
        return query(session, session->FM_GetRSSISearchLevel, p.rssiSearchLevel, ERROR_GEN_FAILURE,
                     result, OwnReply::MustNotBeRefusal, &session->searchLevelRefusals);
    case FMPROP_MONO_STEREO:
        return query(session, session->FM_GetMoSt, p.monoStereo, ERROR_GEN_FAILURE, result);
    case FMPROP_MUTE:
        return query(session, session->FM_GetMuteMode, p.mute, ERROR_GEN_FAILURE, result);
    case FMPROP_RSSI:
        // Another caller's reply (the power-off status at the last close)
        // may end this wait first: the strength is then unknown, not stale.
        return query(session, session->FM_RssiGet, p.rssi, ERROR_INVALID_PARAMETER, result,
                     OwnReply::MustArrive, &session->rssiReplies);
    case FMPROP_STEREO_BLEND:
        return query(session, session->FM_GetMostBlend, p.stereoBlend, ERROR_GEN_FAILURE, result);
    case FMPROP_VOLUME:
        *result = getVolume(session);
        return ERROR_SUCCESS;
    case FMPROP_TUNE_CALLBACK:
        *result = p.tuneCallback.load();
        return ERROR_SUCCESS;
    case FMPROP_RDS_CALLBACK:
        *result = p.rdsCallback.load();
        return ERROR_SUCCESS;
    }
    return ERROR_NOT_SUPPORTED;
}
