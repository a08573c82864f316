// platform/devices.h — the emulated device manager's controls that have no
// Win32 counterpart: in-process devices, boot-time loading, the list of
// active devices. Used by the phone and tests.
#ifndef TAVRINEL_PLATFORM_DEVICES_H
#define TAVRINEL_PLATFORM_DEVICES_H

#include <string>
#include <vector>

#include "windows.h"

namespace platform {

// A stream driver's ten entry points (contexts are pointer-sized here).
struct StreamDriver {
    DWORD_PTR (*Init)(LPCWSTR activeKey);
    BOOL (*Deinit)(DWORD_PTR device);
    DWORD_PTR (*Open)(DWORD_PTR device, DWORD access, DWORD share);
    BOOL (*Close)(DWORD_PTR open);
    DWORD (*Read)(DWORD_PTR open, LPVOID buffer, DWORD count);
    DWORD (*Write)(DWORD_PTR open, LPCVOID buffer, DWORD count);
    DWORD (*Seek)(DWORD_PTR open, LONG amount, DWORD type);
    // clang-format splits a pointer to a function returning BOOL oddly.
    // clang-format off
    BOOL (*IOControl)(DWORD_PTR open, DWORD code, PBYTE in, DWORD inSize, PBYTE out,
                      DWORD outSize, PDWORD returned);
    // clang-format on
    void (*PowerUp)(DWORD_PTR device);
    void (*PowerDown)(DWORD_PTR device);
};

// Makes a "Dll" value name an in-process driver instead of a module file
// (the GPS Intermediate Driver lives in the phone itself).
void RegisterInProcessDriver(const std::u16string &dllName, const StreamDriver &driver);

// Activates every key under HKLM\Drivers\Builtin in ascending "Order"
// (keys without one last, by name). Answers how many loaded; `errors`
// collects one line per key that failed.
int LoadBuiltinDrivers(std::vector<std::string> &errors);

struct ActiveDevice {
    std::u16string name;   // "COM9:"
    std::u16string key;    // the driver key it was loaded from
    std::u16string active; // "Drivers\Active\NN"
    HANDLE handle;         // for DeactivateDevice
};
std::vector<ActiveDevice> ListActiveDevices();

// Calls `changed(context)` after each activation and deactivation, on the
// thread that made it; one watcher at a time. `changed` null stops the watch
// of `context` (and no other's). The call must not block: it runs with the
// watcher's lock held, so that stopping the watch waits for a call in
// progress.
void WatchActiveDevices(void (*changed)(void *context), void *context);

// Deactivates every active device, last activated first (power off).
void DeactivateAllDevices();

} // namespace platform

#endif // TAVRINEL_PLATFORM_DEVICES_H
