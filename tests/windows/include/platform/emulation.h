// platform/emulation.h for tests built for Windows: the stand-in's device
// controls do not exist there. Tests built from shared sources that need
// them are left out of the Windows run (tests/windows/CMakeLists.txt);
// these definitions let those sources compile and do what Windows itself
// does where there is an obvious equivalent.
#ifndef TAVRINEL_TESTS_WINDOWS_EMULATION_H
#define TAVRINEL_TESTS_WINDOWS_EMULATION_H

#include <windows.h>

#include <string>

namespace platform {

// Windows clocks run at real speed.
inline void SetClockSpeed(double) {}
inline double GetClockSpeed() {
    return 1.0;
}

// Modules are found by Windows' own search; the Lumarc tests' folder holds
// the recording fake stack under the name FMS_API.dll.
inline void MapModule(const std::basic_string<WCHAR> &, const std::string &) {}
inline void ClearModuleMaps() {}

inline std::string Narrow(const std::basic_string<WCHAR> &wide) {
    std::string out(wide.size() * 3 + 1, '\0');
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), out.data(),
                            static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
    return out;
}

inline void ResetRegistry() {}
inline unsigned AudioRefreshCount() {
    return 0;
}

} // namespace platform

#endif // TAVRINEL_TESTS_WINDOWS_EMULATION_H
