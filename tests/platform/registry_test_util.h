// registry_test_util.h — shared helpers of the registry tests.
#ifndef TAVRINEL_TESTS_REGISTRY_TEST_UTIL_H
#define TAVRINEL_TESTS_REGISTRY_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/emulation.h"
#include "support/temp_folder.h"
#include "windows.h"

namespace regtest {

constexpr DWORD kSentinel = 0xdeadbeef;
inline HKEY SentinelKey() {
    return reinterpret_cast<HKEY>(static_cast<uintptr_t>(kSentinel));
}

using TempDir = testsupport::TempFolder;

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// The bytes of a REG_SZ as the callers pass them: UTF-16 with terminator.
inline std::vector<BYTE> Sz(std::u16string_view text, bool terminator = true) {
    std::vector<BYTE> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<BYTE>(c));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    if (terminator) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

inline LONG SetValue(HKEY root, const char16_t *path, const char16_t *name, DWORD type,
                     const std::vector<BYTE> &data) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    return rc;
}

inline LONG SetDword(HKEY root, const char16_t *path, const char16_t *name, DWORD value) {
    return SetValue(root, path, name, REG_DWORD,
                    {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                     static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)});
}

// Reads a value through the API; false when it is missing.
inline bool GetValue(HKEY root, const char16_t *path, const char16_t *name, DWORD &type,
                     std::vector<BYTE> &data) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    BYTE buffer[16384];
    DWORD size = sizeof buffer;
    const LONG rc = RegQueryValueExW(key, name, nullptr, &type, buffer, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return false;
    data.assign(buffer, buffer + size);
    return true;
}

inline bool KeyExists(HKEY root, const char16_t *path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, 0, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

inline std::string Hex(const BYTE *data, size_t size) {
    std::string out;
    char buffer[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", data[i]);
        out += buffer;
    }
    return out;
}

// Names for messages: ASCII as is, anything else as <hhhh>.
inline std::string Printable(const std::u16string &text) {
    std::string out;
    char buffer[8];
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            std::snprintf(buffer, sizeof buffer, "<%04x>", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

// Everything below a root as lines "path|name|type|bytes", in enumeration
// order: equal dumps mean equal registries, order included.
inline void DumpKey(HKEY key, const std::string &path, std::vector<std::string> &out) {
    out.push_back(path);
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD nameChars = 256;
        DWORD type = 0;
        BYTE data[16384];
        DWORD size = sizeof data;
        const LONG rc = RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data, &size);
        if (rc != ERROR_SUCCESS)
            break;
        out.push_back(path + "|" + Printable(std::u16string(name, nameChars)) + "|" +
                      std::to_string(type) + "|" + Hex(data, size));
    }
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD nameChars = 256;
        if (RegEnumKeyExW(key, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY sub = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) {
            out.push_back("cannot open " + path);
            continue;
        }
        DumpKey(sub, path + "\\" + Printable(std::u16string(name, nameChars)), out);
        RegCloseKey(sub);
    }
}

inline std::vector<std::string> Dump() {
    std::vector<std::string> out;
    DumpKey(HKEY_LOCAL_MACHINE, "HKLM", out);
    DumpKey(HKEY_CURRENT_USER, "HKCU", out);
    DumpKey(HKEY_CLASSES_ROOT, "HKCR", out);
    return out;
}

// Every test starts and ends with an empty, memory-only registry.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { platform::ResetRegistry(); }
    void TearDown() override { platform::ResetRegistry(); }
};

} // namespace regtest

#endif // TAVRINEL_TESTS_REGISTRY_TEST_UTIL_H
