// client_registry_util.h — registry helpers of the control program's
// tests: keys and values under HKEY_LOCAL_MACHINE, on either build.
#ifndef TAVRINEL_TESTS_CLIENT_REGISTRY_UTIL_H
#define TAVRINEL_TESTS_CLIENT_REGISTRY_UTIL_H

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace clienttest {

// Wide text as WCHAR holds it (UTF-16 code units on either build).
using WString = std::basic_string<WCHAR>;

const WCHAR kManualKey[] = TEXT("Drivers\\Tavrinel");
const WCHAR kStartupKey[] = TEXT("Drivers\\Builtin\\Tavrinel");
const WCHAR kDriverDll[] = TEXT("\\Windows\\Tavrinel.dll");

// ---------------------------------------------------------------- registry

inline HKEY CreateKey(const WString &path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

inline void SetRaw(const WString &path, const WCHAR *name, DWORD type, const void *data,
                   DWORD size) {
    HKEY key = CreateKey(path);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

inline void SetDword(const WString &path, const WCHAR *name, DWORD value) {
    SetRaw(path, name, REG_DWORD, &value, sizeof value);
}

inline void SetSz(const WString &path, const WCHAR *name, const WString &text) {
    SetRaw(path, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

inline bool KeyExists(const WString &path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

struct Value {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    DWORD AsDword() const {
        DWORD v = 0;
        if (data.size() == sizeof v)
            std::memcpy(&v, data.data(), sizeof v);
        return v;
    }
    WString AsText() const {
        WString text(data.size() / 2, WCHAR{0});
        std::memcpy(text.data(), data.data(), text.size() * 2);
        while (!text.empty() && text.back() == 0)
            text.pop_back();
        return text;
    }
};

inline std::optional<Value> ReadValue(const WString &path, const WCHAR *name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS)
        return std::nullopt;
    Value value;
    DWORD size = 0;
    std::optional<Value> result;
    if (RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
        value.data.resize(size);
        if (RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size) ==
            ERROR_SUCCESS)
            result = value;
    }
    RegCloseKey(key);
    return result;
}

inline int CountValues(const WString &path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, 0, &key) != ERROR_SUCCESS)
        return -1;
    int count = 0;
    for (;; ++count) {
        WCHAR name[260];
        DWORD chars = 260;
        if (RegEnumValueW(key, static_cast<DWORD>(count), name, &chars, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
            break;
    }
    RegCloseKey(key);
    return count;
}

// A driver key that loads the recording port (or any in-process driver).
inline void WriteDriverKey(const WString &path, const WString &dll, DWORD index) {
    SetSz(path, TEXT("Dll"), dll);
    SetSz(path, TEXT("Prefix"), TEXT("COM"));
    SetDword(path, TEXT("Index"), index);
}

} // namespace clienttest

#endif // TAVRINEL_TESTS_CLIENT_REGISTRY_UTIL_H
