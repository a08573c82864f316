// mmsystem.h — waveform audio volume and the audio-settings refresh.
#ifndef TAVRINEL_PLATFORM_MMSYSTEM_H
#define TAVRINEL_PLATFORM_MMSYSTEM_H

#include "windows.h"

#define WAVE_MAPPER (static_cast<UINT>(-1))
#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_INVALPARAM 11

// The volume word: low 16 bits left channel, high 16 bits right channel.
// The device argument is a device id or a handle; WAVE_MAPPER and device 0
// are the one output device of the phone.
WINBASEAPI MMRESULT WINAPI waveOutGetVolume(HWAVEOUT device, LPDWORD volume);
WINBASEAPI MMRESULT WINAPI waveOutSetVolume(HWAVEOUT device, DWORD volume);

// Makes the audio system take over the volume values that the shell keeps
// in HKEY_CURRENT_USER ("ControlPanel\Volume" "Volume").
WINBASEAPI void WINAPI AudioUpdateFromRegistry();

#endif // TAVRINEL_PLATFORM_MMSYSTEM_H
