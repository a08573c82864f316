// volume.cpp — FMPROP_VOLUME: one setting updates the stack's level, the
// wave-out volume and the shell's volume values in the registry.
#include "session.h"

#include <mmsystem.h>

namespace lumarc {

namespace {

constexpr DWORD_PTR kVolumeMax = 100;
constexpr DWORD kStackLevelMax = 0xFFFF;
constexpr DWORD kVolumeSteps = 15;          // the shell's volume steps 0..15
constexpr DWORD kEveryNibble = 0x11111111u; // step repeated in all eight nibbles
const HWAVEOUT kWaveMapper = reinterpret_cast<HWAVEOUT>(static_cast<UINT_PTR>(WAVE_MAPPER));

void writeVolumeStep(LPCWSTR keyPath, REGSAM access, LPCWSTR valueName, DWORD step) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, access, &key) != ERROR_SUCCESS)
        return; // a missing key is skipped
    RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&step),
                   sizeof(step));
    RegCloseKey(key);
}

} // namespace

// Values above 100 are taken as 100: beyond it the level would wrap and the
// step would spill across the nibbles of the wave-out word.
DWORD setVolume(TunerSession *session, DWORD_PTR volume) {
    const DWORD v = static_cast<DWORD>(volume > kVolumeMax ? kVolumeMax : volume);
    const DWORD level = v * kStackLevelMax / kVolumeMax;
    session->FM_SetVolume(stackHandle.load(), static_cast<SHORT>(static_cast<WORD>(level)), 0);

    const DWORD step = v * kVolumeSteps / kVolumeMax;
    waveOutSetVolume(kWaveMapper, step * kEveryNibble);
    writeVolumeStep(TEXT("ControlPanel\\Volume"), KEY_ALL_ACCESS, TEXT("Volume"), step);
    writeVolumeStep(TEXT("\\ControlPanel\\Notifications\\ShellOverrides"), 0, TEXT("SavedVolume"),
                    step);
    AudioUpdateFromRegistry();
    return 0;
}

// Only the lowest nibble counts: the left channel's step.
DWORD getVolume(TunerSession *) {
    DWORD word = 0;
    waveOutGetVolume(kWaveMapper, &word);
    return (word & 0xF) * static_cast<DWORD>(kVolumeMax) / kVolumeSteps;
}

} // namespace lumarc
