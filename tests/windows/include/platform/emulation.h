// platform/emulation.h for tests built for Windows: the stand-in's device
// controls do not exist there. The few tests built from shared sources that
// call them are left out of the Windows run (tests/windows/CMakeLists.txt);
// these definitions only let those sources compile and link.
#ifndef TAVRINEL_TESTS_WINDOWS_EMULATION_H
#define TAVRINEL_TESTS_WINDOWS_EMULATION_H

#include <windows.h>

namespace platform {

// Windows clocks run at real speed.
inline void SetClockSpeed(double) {}
inline double GetClockSpeed() {
    return 1.0;
}

} // namespace platform

#endif // TAVRINEL_TESTS_WINDOWS_EMULATION_H
