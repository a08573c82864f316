// devmgr.h — what the device manager (devices.cpp) shares with the device
// files (devfiles.cpp): an active device and the calls that keep it alive
// while one of its entry points runs.
#ifndef TAVRINEL_PLATFORM_DEVMGR_H
#define TAVRINEL_PLATFORM_DEVMGR_H

#include <windows.h>

#include <platform/devices.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace platform::kernel {

// One loaded stream driver instance. Shared by the device manager's table
// and by every file opened on it; the driver's entry points are called only
// between a successful Enter() and the matching Leave(), and never once
// Deinit has been called.
class Device {
public:
    std::u16string name;   // "COM9:"
    std::u16string key;    // the driver key, as given to ActivateDeviceEx
    std::u16string active; // "Drivers\Active\NN"
    StreamDriver entry{};
    HMODULE module = nullptr; // null for an in-process driver
    DWORD_PTR context = 0;    // what Init answered
    uintptr_t handle = 0;     // the device handle (DeactivateDevice)
    unsigned activeNumber = 0;
    unsigned long long sequence = 0; // activation order

    // Answers false once the device is being deactivated.
    bool Enter();
    void Leave();
    // Refuses new calls and waits until the running ones have returned.
    void Retire();
    bool Retired();

private:
    std::mutex lock_;
    std::condition_variable idle_;
    unsigned inFlight_ = 0;
    bool retired_ = false;
};

// Holds a device entered for the length of one entry point call.
class DeviceCall {
public:
    explicit DeviceCall(std::shared_ptr<Device> device) : device_(std::move(device)) {
        entered_ = device_ && device_->Enter();
    }
    ~DeviceCall() {
        if (entered_)
            device_->Leave();
    }
    DeviceCall(const DeviceCall &) = delete;
    DeviceCall &operator=(const DeviceCall &) = delete;
    [[nodiscard]] bool Entered() const { return entered_; }

private:
    std::shared_ptr<Device> device_;
    bool entered_ = false;
};

// The active (initialised, not retired) device of that name ("COM9:",
// matched without regard to case), or null.
std::shared_ptr<Device> FindActiveDevice(std::u16string_view name);

} // namespace platform::kernel

#endif // TAVRINEL_PLATFORM_DEVMGR_H
