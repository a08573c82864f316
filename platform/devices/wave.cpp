// wave.cpp — the wave-out volume of the phone's one output device and the
// audio-settings refresh.
//
// The emulated audio system keeps one volume word (low 16 bits left, high
// 16 bits right), full volume at boot. AudioUpdateFromRegistry only counts
// its calls (platform::AudioRefreshCount): the emulated device has no sound
// to apply the shell's registry values to, and the FM library writes the
// wave-out word itself.
#include <windows.h>

#include <platform/emulation.h>

#include <atomic>

namespace {

std::atomic<DWORD> waveVolume{0xFFFFFFFFu};
std::atomic<unsigned> audioRefreshes{0};

// WAVE_MAPPER arrives as (HWAVEOUT)WAVE_MAPPER, that is 0xFFFFFFFF, or as
// (HWAVEOUT)-1 when a caller widened the id with its sign; device id 0 is
// the one device as well.
bool IsOutputDevice(HWAVEOUT device) {
    const auto id = reinterpret_cast<uintptr_t>(device);
    return id == 0 || id == static_cast<uintptr_t>(WAVE_MAPPER) || id == static_cast<uintptr_t>(-1);
}

} // namespace

MMRESULT WINAPI waveOutGetVolume(HWAVEOUT device, LPDWORD volume) {
    if (!IsOutputDevice(device))
        return MMSYSERR_BADDEVICEID;
    if (!volume)
        return MMSYSERR_INVALPARAM;
    *volume = waveVolume.load();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveOutSetVolume(HWAVEOUT device, DWORD volume) {
    if (!IsOutputDevice(device))
        return MMSYSERR_BADDEVICEID;
    waveVolume.store(volume);
    return MMSYSERR_NOERROR;
}

void WINAPI AudioUpdateFromRegistry() {
    audioRefreshes.fetch_add(1);
}

namespace platform {

unsigned AudioRefreshCount() {
    return audioRefreshes.load();
}

} // namespace platform
