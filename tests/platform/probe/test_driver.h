// test_driver.h — what the device tests see of TestDriver.dll, a stream
// driver with the prefix "TST" that records its calls.
//
// Per instance (read by TST_Init from the driver key named by the active
// key's "Key"): "InitFails" (DWORD, nonzero: Init answers 0) and
// "NestedOpen" (REG_SZ: a device that Open opens and Close closes).
// Each instance is an echo device: Write appends, Read takes from the front.
// IOControl: kIoctlAnswer writes the DWORD 42, kIoctlEcho copies in to out,
// any other code fails with ERROR_NOT_SUPPORTED.
#ifndef TAVRINEL_TESTS_PLATFORM_TEST_DRIVER_H
#define TAVRINEL_TESTS_PLATFORM_TEST_DRIVER_H

#include <windows.h>

#include <atomic>

namespace testdriver {

constexpr DWORD kIoctlAnswer = 0x100;
constexpr DWORD kIoctlEcho = 0x104;

// Open behaviours.
constexpr LONG kOpenNormal = 0;
constexpr LONG kOpenFailSilently = 1; // answers 0, last error untouched
constexpr LONG kOpenFailDenied = 2;   // answers 0 with ERROR_ACCESS_DENIED

struct Record {
    // Calls, all instances together.
    std::atomic<LONG> inits{0}, deinits{0}, opens{0}, closes{0}, reads{0}, writes{0}, ioctls{0};
    // Calls that ran while they should not have: Close while a call on the
    // same open context ran, Deinit while any call on the device ran.
    std::atomic<LONG> overlapViolations{0};
    // Behaviour switches set by the test.
    std::atomic<LONG> openMode{kOpenNormal};
    std::atomic<DWORD> readDelayMs{0};    // Read sleeps this long (device clock)
    std::atomic<DWORD> deinitDelayMs{0};  // Deinit sleeps this long
    std::atomic<DWORD> readOverAnswer{0}; // Read answers this many bytes more than it gave
    // Arguments of the last calls.
    WCHAR lastActiveKey[64]{};
    std::atomic<DWORD_PTR> lastInitContext{0};
    std::atomic<DWORD_PTR> lastDeinitContext{0};
    std::atomic<DWORD_PTR> lastOpenDevice{0};
    std::atomic<DWORD> lastAccess{0}, lastShare{0};
    std::atomic<DWORD_PTR> lastOpenContext{0};  // what Open answered
    std::atomic<DWORD_PTR> lastCloseContext{0}; // what Close got
    std::atomic<const void *> lastBuffer{nullptr};
    std::atomic<DWORD> lastCount{0};
    std::atomic<DWORD> lastCode{0}, lastInSize{0}, lastOutSize{0};
    std::atomic<const void *> lastIn{nullptr}, lastOut{nullptr}, lastReturned{nullptr};
    std::atomic<DWORD> nestedOpenError{0}; // the last error of a failed nested open
};

} // namespace testdriver

// Exported by TestDriver.dll: the record (reset by TST_Reset).
extern "C" typedef testdriver::Record *(*TstRecordProc)();
extern "C" typedef void (*TstResetProc)();

#endif // TAVRINEL_TESTS_PLATFORM_TEST_DRIVER_H
