// fmstack.h — the phone's FM radio stack "FMS_API.dll" as Lumarc binds it:
// its 33 entry points (by name, in binding order), their argument lists,
// and the event record the stack hands to the library's callback.
//
// A stack call counts as accepted when it returns FMS_OK or FMS_PENDING.
// Every call but FM_Init, FM_Create and FM_Deinit takes the stack handle
// first. The stack calls the registered callback on its own event thread.
#ifndef TAVRINEL_FMAPI_FMSTACK_H
#define TAVRINEL_FMAPI_FMSTACK_H

#include <cstddef>

#include <windows.h>

#include "fmstack_rds.h"

#define FMS_OK 0u
#define FMS_PENDING 2u

// ---- the stack's event record (little-endian; pointers are 32 bits on the
// device and pointer-sized here).
//
//  offset  type 1 (command status)   type 2 (tune)   type 5 (AF jump)   type 8 (RDS data)
//  0       type                      type            type               type
//  4       command (8), status (8)   -               -                  length (16)
//  8       value (32)                frequency (32)  -                  data (pointer)
//  12                                                frequency (32)
//
// An RDS data event carries raw groups as fmstack_rds.h describes them.
// Types 3, 4 and 6 exist but carry nothing the library reads; type 7 is
// handed to the session, which ignores it; any other type is invalid.
enum StackEventType : BYTE {
    STACK_EVENT_COMMAND_STATUS = 1,
    STACK_EVENT_TUNE_COMPLETE = 2,
    STACK_EVENT_UNREAD_3 = 3,
    STACK_EVENT_UNREAD_4 = 4,
    STACK_EVENT_AF_JUMP = 5,
    STACK_EVENT_UNREAD_6 = 6,
    STACK_EVENT_IGNORED = 7,
    STACK_EVENT_RDS_DATA = 8,
};

#pragma pack(push, 4)
struct StackEvent {
    BYTE type;
    BYTE reserved[3];
    union {
        struct {
            BYTE command;
            BYTE status;
            WORD reserved;
            DWORD value;
        } status;
        struct {
            DWORD reserved;
            DWORD frequency; // kHz
        } tune;
        struct {
            DWORD reserved[2];
            DWORD frequency; // kHz
        } afJump;
        BYTE ignored;
        struct {
            WORD length; // raw RDS bytes at data
            WORD reserved;
            DWORD_PTR data; // const BYTE *, valid during the call only
        } rds;
    } u;
};
#pragma pack(pop)
static_assert(offsetof(StackEvent, u.status.command) == 4);
static_assert(offsetof(StackEvent, u.status.status) == 5);
static_assert(offsetof(StackEvent, u.status.value) == 8);
static_assert(offsetof(StackEvent, u.tune.frequency) == 8);
static_assert(offsetof(StackEvent, u.afJump.frequency) == 12);
static_assert(offsetof(StackEvent, u.rds.length) == 4);
static_assert(offsetof(StackEvent, u.rds.data) == 8);

// Command codes carried by a command status (type 1) that the library acts on;
// the debug output names all of 0 to 31.
enum StackCommand : BYTE {
    FMS_CMD_POWER_ON = 0,
    FMS_CMD_POWER_OFF = 1,
    FMS_CMD_SET_MOST = 2,
    FMS_CMD_SET_BAND = 3,
    FMS_CMD_SET_MUTE = 4,
    FMS_CMD_SET_VOLUME = 5,
    FMS_CMD_SET_RDS = 6,
    FMS_CMD_TUNE = 7,
    FMS_CMD_GET_RSSI = 8,
    FMS_CMD_SEEK = 9,
    FMS_CMD_SET_AF = 10,
    FMS_CMD_SET_STEREO_BLEND = 11,
    FMS_CMD_SET_DEEMPHASIS = 12,
    FMS_CMD_SET_RSSI_SEARCH_LEVEL = 13,
    FMS_CMD_SET_PAUSE_LEVEL = 14,
    FMS_CMD_SET_PAUSE_DURATION = 15,
    FMS_CMD_SET_RDS_RBDS = 16,
    FMS_CMD_GET_MOST = 17,
    FMS_CMD_AUDIO_ENABLE = 18,
    FMS_CMD_GET_CURRENT_STATUS = 23,
    FMS_CMD_GET_DEEMPHASIS = 24,
    FMS_CMD_GET_MUTE_MODE = 25,
    FMS_CMD_GET_BAND_MODE = 26,
    FMS_CMD_GET_VOLUME = 27,
    FMS_CMD_GET_RSSI_SEARCH_LEVEL = 28,
    FMS_CMD_GET_MOST_BLEND = 29,
    FMS_CMD_GET_AF_FREQ = 30,
};

// The status of a command status event (offset 5). A refused call returns
// one of these too, as its result.
enum StackStatus : BYTE {
    FMS_STATUS_SUCCESS = 0,
    FMS_STATUS_FAILED = 1,
    FMS_STATUS_PENDING = 2,
    FMS_STATUS_INVALID_PARAMETER = 3,
    FMS_STATUS_NOT_INITIALIZED = 4,
    FMS_STATUS_FM_NOT_ON = 5,
    FMS_STATUS_ALREADY_ON = 6,
    FMS_STATUS_SEEK_BAND_LIMIT = 7,
    FMS_STATUS_SEEK_STOPPED = 8,
    FMS_STATUS_SEEK_SUCCESS = 9,
    FMS_STATUS_STOP_SEEK = 10,
    FMS_STATUS_PENDING_UPDATE = 11,  // a pending command's parameters were updated
    FMS_STATUS_ALREADY_PENDING = 12, // refused: the command is still pending
};

// Size of the record FM_GetCurrentStatus fills.
#define FMS_CURRENT_STATUS_BYTES 12

typedef DWORD (*FmsEventCallback)(const StackEvent *event);

// ---- entry points, in binding order: X(name, result, parameters)
#define FMS_ENTRY_POINTS(X)                                                                        \
    X(FM_GetCurrentStatus, DWORD, (DWORD stack, BYTE * record))                                    \
    X(FM_Create, DWORD, (DWORD * reserved, FmsEventCallback callback, DWORD * stack))              \
    X(FM_Init, DWORD, ())                                                                          \
    X(FM_Deinit, DWORD, ())                                                                        \
    X(FM_Destroy, DWORD, (DWORD stack))                                                            \
    X(FM_Enable, DWORD, (DWORD stack))                                                             \
    X(FM_Disable, DWORD, (DWORD stack))                                                            \
    X(FM_MuteRadio, DWORD, (DWORD stack, DWORD mode))                                              \
    X(FM_GetBandMode, DWORD, (DWORD stack))                                                        \
    X(FM_SetBand, DWORD, (DWORD stack, DWORD band))                                                \
    X(FM_GetDemphMode, DWORD, (DWORD stack))                                                       \
    X(FM_SetDeemphasisMode, DWORD, (DWORD stack, DWORD mode))                                      \
    X(FM_Seek, DWORD, (DWORD stack, DWORD stop, DWORD up))                                         \
    X(FM_RssiSearchLevel, DWORD, (DWORD stack, DWORD level))                                       \
    X(FM_GetRSSISearchLevel, DWORD, (DWORD stack))                                                 \
    X(FM_Tune, DWORD, (DWORD stack, DWORD frequencyKHz))                                           \
    X(FM_GetCurrentFreq, DWORD, (DWORD stack))                                                     \
    X(FM_RssiGet, DWORD, (DWORD stack))                                                            \
    X(FM_SetVolume, DWORD, (DWORD stack, SHORT level, DWORD reserved))                             \
    X(FM_GetVolume, DWORD, (DWORD stack))                                                          \
    X(FM_GetMuteMode, DWORD, (DWORD stack))                                                        \
    X(FM_GetMoSt, DWORD, (DWORD stack))                                                            \
    X(FM_SetMoSt, DWORD, (DWORD stack, DWORD mode))                                                \
    X(FM_SetAudioPath, DWORD, (DWORD stack, DWORD path))                                           \
    X(FM_SetRDS, DWORD, (DWORD stack, DWORD enable))                                               \
    X(FM_SetRdsRbds, DWORD, (DWORD stack, DWORD mode))                                             \
    X(FM_SetPauseDuration, DWORD, (DWORD stack, DWORD duration))                                   \
    X(FM_SetPauseLevel, DWORD, (DWORD stack, DWORD level))                                         \
    X(FM_GetMostBlend, DWORD, (DWORD stack))                                                       \
    X(FM_SetStereoBlend, DWORD, (DWORD stack, DWORD enable))                                       \
    X(FM_GetAFFreq, DWORD, (DWORD stack))                                                          \
    X(FM_SetAF, DWORD, (DWORD stack, DWORD enable))                                                \
    X(FM_AudioEnable, DWORD, (DWORD stack, DWORD enable))

#define FMS_DECLARE_POINTER_TYPE(name, result, params) typedef result(*PFN_##name) params;
FMS_ENTRY_POINTS(FMS_DECLARE_POINTER_TYPE)
#undef FMS_DECLARE_POINTER_TYPE

#define FMS_COUNT_ONE(name, result, params) +1
inline constexpr int kFmsEntryPointCount = 0 FMS_ENTRY_POINTS(FMS_COUNT_ONE);
#undef FMS_COUNT_ONE
static_assert(kFmsEntryPointCount == 33);

// A stack module exports each entry point with C linkage under its name.

#endif // TAVRINEL_FMAPI_FMSTACK_H
