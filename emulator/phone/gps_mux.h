// gps_mux.h — the phone's GPS Intermediate Driver multiplexer: an in-process
// stream device under the name that "DriverInterface" holds. Programs that
// share the GPS open it with any access and share mode; it carries no data
// and answers the serial I/O controls, so that a receiver port driver can
// forward its controls to it.
#ifndef TAVRINEL_PHONE_GPS_MUX_H
#define TAVRINEL_PHONE_GPS_MUX_H

#include <string>
#include <string_view>

#include <platform/devices.h>
#include <windows.h>

namespace phone {

// Where the multiplexer's port name is kept.
inline constexpr const char16_t *kGpsMuxKey =
    u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer";
inline constexpr const char16_t *kGpsMuxValue = u"DriverInterface";
// The name a new phone uses when the value is missing.
inline constexpr const char16_t *kGpsMuxDefaultName = u"GPD0:";
// The "Dll" name under which the multiplexer is registered in-process, and
// the volatile key it is activated from.
inline constexpr const char16_t *kGpsMuxDll = u"GPSID.dll";
inline constexpr const char16_t *kGpsMuxDriverKey = u"Drivers\\GPSID";

// A device name as the device manager builds it: three letters, one digit,
// a colon ("GPD0:"). Answers false for anything else, with the reason.
bool ParseDeviceName(std::u16string_view name, std::u16string &prefix, DWORD &index,
                     std::string &why);

// The multiplexer's entry points (thread-safe; one device instance).
const platform::StreamDriver &GpsMuxDriver();

// Reads "DriverInterface" (the default name when missing), registers the
// multiplexer in-process and activates it under that name. Answers the
// device handle, or nullptr with a message in `error`; `name` receives the
// name it was activated (or refused) under.
HANDLE StartGpsMux(std::u16string &name, std::string &error);

} // namespace phone

#endif // TAVRINEL_PHONE_GPS_MUX_H
