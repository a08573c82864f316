// fmapi.h — the FM tuner API of Lumarc.dll: one tuner session over the
// phone's FM stack, reached through a handle. Exports carry C++ linkage, so
// their names are decorated with their argument types.
//
// Results are 0 or a Win32 error number: 87 invalid parameter, 21 not
// ready, 50 not supported, 31 general failure, 110 open failed. FMOpen
// reports through the thread's last-error value (also 548 and 20).
#ifndef TAVRINEL_FMAPI_FMAPI_H
#define TAVRINEL_FMAPI_FMAPI_H

#include <windows.h>

#ifdef LUMARC_BUILD
#define LUMARC_API __declspec(dllexport)
#else
#define LUMARC_API __declspec(dllimport)
#endif

// The session handle FMOpen answers; opaque to clients.
typedef HANDLE HFMTUNER;

enum FMPropID : DWORD {
    FMPROP_AF = 0,
    FMPROP_AUDIO_PATH = 1,
    FMPROP_BAND = 2,
    FMPROP_DEEMPHASIS = 3,
    FMPROP_FREQUENCY = 4, // kHz
    FMPROP_RSSI_SEARCH_LEVEL = 5,
    FMPROP_MONO_STEREO = 6,
    FMPROP_MUTE = 7,
    FMPROP_RSSI = 8, // read only
    FMPROP_STEREO_BLEND = 9,
    FMPROP_VOLUME = 10, // 0..100
    FMPROP_TUNE_CALLBACK = 11,
    FMPROP_RDS_CALLBACK = 12,
};
inline constexpr DWORD FMPROP_COUNT = 13;

enum FMRadioBand : DWORD {
    FMBAND_CCIR = 0,  // 87.5-108 MHz
    FMBAND_JAPAN = 1, // 76-91 MHz
    FMBAND_WORLD = 2, // 76-108 MHz
};

enum FMSeekCmd : DWORD {
    FMSEEK_UP = 0,
    FMSEEK_DOWN = 1,
    FMSEEK_STOP = 2,
};

// Why the tune callback is called.
enum FMTuneReason : DWORD {
    FMTUNE_TUNED = 0,
    FMTUNE_SEEK = 1,
    FMTUNE_BAND_LIMIT = 2,
    FMTUNE_AF_JUMP = 4,
};

// Device information; the caller sets dwSize to 56.
struct TagFMDEVINFO {
    DWORD dwSize;
    DWORD dwVersion;
    DWORD dwChipStatus;
    DWORD dwReserved;
    WCHAR szDeviceName[20];
};
static_assert(sizeof(TagFMDEVINFO) == 56);

// One RDS group handed to the RDS callback; valid during the call only.
struct RdsGroupRecord {
    DWORD dwSize; // 16
    WORD wBlockA; // PI code
    WORD wBlockB;
    WORD wBlockC;
    WORD wBlockD;
    DWORD dwBlockErrors; // bit 25 block A, 17 B, 9 C, 1 D
};
static_assert(sizeof(RdsGroupRecord) == 16);

// Callbacks, carried in the value of FMSetProp (pointer-sized here).
typedef void (*FMTuneCallback)(HFMTUNER session, DWORD frequencyKHz, FMTuneReason reason);
typedef void (*FMRdsCallback)(HFMTUNER session, const RdsGroupRecord *group);
typedef void (*FMDebugFunction)(LPCWSTR message);

LUMARC_API HFMTUNER FMOpen(LONG deviceIndex);
LUMARC_API DWORD FMClose(HFMTUNER session);
LUMARC_API DWORD FMPowerOn(HFMTUNER session, DWORD on, FMRadioBand band);
LUMARC_API DWORD FMSetProp(HFMTUNER session, FMPropID id, DWORD_PTR value);
LUMARC_API DWORD FMGetProp(HFMTUNER session, FMPropID id, DWORD_PTR *result);
LUMARC_API DWORD FMSeek(HFMTUNER session, FMSeekCmd command);
LUMARC_API DWORD FMGetDevInfo(HFMTUNER session, TagFMDEVINFO *info);
LUMARC_API DWORD FMGetNumDevs();
LUMARC_API void FMSetDebugFunction(FMDebugFunction sink);

#endif // TAVRINEL_FMAPI_FMAPI_H
