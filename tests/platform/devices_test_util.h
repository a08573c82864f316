// devices_test_util.h — helpers of the device manager tests: driver keys,
// the active-device list, the recording TestDriver.dll, a temporary device
// root. Outputs and the last error are preset to a sentinel (Wine style).
#ifndef TAVRINEL_TESTS_PLATFORM_DEVICES_TEST_UTIL_H
#define TAVRINEL_TESTS_PLATFORM_DEVICES_TEST_UTIL_H

#include <windows.h>

#include <platform/devices.h>
#include <platform/emulation.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "probe/test_driver.h"
#include "support/temp_folder.h"

namespace devtest {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr BYTE kGuardByte = 0xA5;
// Waits in these tests (Deinit's sleep, slow reads) run 100 times faster.
constexpr double kClockSpeed = 100.0;

inline HANDLE SentinelHandle() {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(kSentinel));
}

inline void SetSz(HKEY key, const char16_t *name, std::u16string_view value) {
    std::u16string text(value);
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
}

inline void SetDword(HKEY key, const char16_t *name, DWORD value) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                             sizeof value),
              ERROR_SUCCESS);
}

inline void SetRaw(HKEY key, const char16_t *name, DWORD type, const void *data, DWORD size) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size),
              ERROR_SUCCESS);
}

inline HKEY CreateKey(const std::u16string &path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

// A driver key with "Dll", "Prefix" and (index >= 0) "Index".
inline void MakeDriverKey(const std::u16string &path, std::u16string_view dll,
                          std::u16string_view prefix, long index) {
    HKEY key = CreateKey(path);
    SetSz(key, u"Dll", dll);
    SetSz(key, u"Prefix", prefix);
    if (index >= 0)
        SetDword(key, u"Index", static_cast<DWORD>(index));
    RegCloseKey(key);
}

struct ActiveEntry {
    std::u16string key;
    std::u16string name;
    DWORD hnd = 0;
    DWORD hndType = 0;
    DWORD hndSize = 0;
};

inline bool KeyExists(const std::u16string &path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

inline std::optional<ActiveEntry> ReadActiveEntry(const std::u16string &path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    ActiveEntry entry;
    WCHAR text[300];
    DWORD type = 0;
    DWORD size = sizeof text;
    if (RegQueryValueExW(key, u"Key", nullptr, &type, reinterpret_cast<BYTE *>(text), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ)
        entry.key = text;
    size = sizeof text;
    if (RegQueryValueExW(key, u"Name", nullptr, &type, reinterpret_cast<BYTE *>(text), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ)
        entry.name = text;
    entry.hndSize = sizeof entry.hnd;
    RegQueryValueExW(key, u"Hnd", nullptr, &entry.hndType, reinterpret_cast<BYTE *>(&entry.hnd),
                     &entry.hndSize);
    RegCloseKey(key);
    return entry;
}

// Number of subkeys of "Drivers\Active" (0 when it does not exist).
inline DWORD ActiveEntryCount() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD count = 0;
    for (;; ++count) {
        WCHAR name[256];
        DWORD chars = 256;
        if (RegEnumKeyExW(key, count, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
    }
    RegCloseKey(key);
    return count;
}

using TempDir = testsupport::TempFolder;

// Every test starts from an empty registry and no active device, with
// TestDriver.dll held by the test (so its record outlives activations).
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetClockSpeed(kClockSpeed);
        platform::ResetRegistry();
        module_ = LoadLibraryW(u"TestDriver.dll");
        ASSERT_NE(module_, nullptr) << platform::LastLoaderError();
        auto recordProc = reinterpret_cast<TstRecordProc>(
            reinterpret_cast<void (*)()>(GetProcAddressW(module_, u"TST_Record")));
        auto resetProc = reinterpret_cast<TstResetProc>(
            reinterpret_cast<void (*)()>(GetProcAddressW(module_, u"TST_Reset")));
        ASSERT_NE(recordProc, nullptr);
        ASSERT_NE(resetProc, nullptr);
        resetProc();
        record_ = recordProc();
    }
    void TearDown() override {
        platform::DeactivateAllDevices();
        if (module_)
            FreeLibrary(module_);
        platform::ResetRegistry();
        platform::SetDeviceRoot("");
    }

    // Activates "Drivers\<name>" (a TestDriver key with that index).
    HANDLE ActivateTest(const std::u16string &name, long index) {
        const std::u16string path = u"Drivers\\" + name;
        MakeDriverKey(path, u"TestDriver.dll", u"TST", index);
        return ActivateDeviceEx(path.c_str(), nullptr, 0, nullptr);
    }

    HMODULE module_ = nullptr;
    testdriver::Record *record_ = nullptr;
};

} // namespace devtest

#define EXPECT_LAST_ERROR(expected) EXPECT_EQ(GetLastError(), static_cast<DWORD>(expected))

#endif // TAVRINEL_TESTS_PLATFORM_DEVICES_TEST_UTIL_H
