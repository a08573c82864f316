// kernel_test_util.h — conventions of the kernel tests, after Wine's own:
// outputs and the last error are preset to a sentinel, buffers carry a
// guard past their end, and each test checks exactly what changed.
#ifndef TAVRINEL_TESTS_PLATFORM_KERNEL_TEST_UTIL_H
#define TAVRINEL_TESTS_PLATFORM_KERNEL_TEST_UTIL_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace kerneltest {

// What outputs and the last error hold before a call.
constexpr DWORD kSentinel = 0xdeadbeef;
// The byte (or character) placed one past the end of a buffer.
constexpr unsigned char kGuardByte = 0xA5;
constexpr WCHAR kGuardChar = 0xA5A5;

// Every test runs on a clock 50 times faster than real time, so that a
// 5000 ms time-out takes 100 ms (kernel_environment.cpp).
constexpr double kTestClockSpeed = 50.0;

inline void PresetLastError() {
    SetLastError(kSentinel);
}

// Wide text as WCHAR holds it (UTF-16 code units on either build).
using WString = std::basic_string<WCHAR>;

// WString from a NUL-terminated buffer.
inline WString Str(const WCHAR *text) {
    return text ? WString(text) : WString();
}

} // namespace kerneltest

// Reports the caller's line.
#define EXPECT_LAST_ERROR(expected) EXPECT_EQ(GetLastError(), static_cast<DWORD>(expected))

#endif // TAVRINEL_TESTS_PLATFORM_KERNEL_TEST_UTIL_H
