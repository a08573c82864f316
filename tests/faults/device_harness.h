// Helpers of the fault and stress tests: a device root of its own, an
// in-process GPS multiplexer, the receiver driver's key, the port as a
// navigation program uses it, and sentence checks.
#ifndef TAVRINEL_TESTS_FAULTS_DEVICE_HARNESS_H
#define TAVRINEL_TESTS_FAULTS_DEVICE_HARNESS_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <platform/devices.h>
#include <platform/emulation.h>
#include <windows.h>

#include "support/sentences.h"

namespace harness {

inline std::string ModulePath(const char *file) {
    const char *dir = std::getenv("TAVRINEL_MODULE_DIR");
    return std::string(dir != nullptr ? dir : ".") + "/" + file;
}

inline std::string ReadWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteWholeFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

using testsupport::Checksum;
using testsupport::Command;
using testsupport::ValidSentence;

// Splits one read's bytes into sentences. A read of the whole buffer must
// hold whole sentences only: answers false (with the reason) otherwise.
inline bool SplitWhole(const std::string &chunk, std::vector<std::string> &lines,
                       std::string &why) {
    size_t at = 0;
    while (at < chunk.size()) {
        const size_t end = chunk.find("\r\n", at);
        if (end == std::string::npos) {
            why = "a read ends inside a sentence: \"" + chunk.substr(at) + "\"";
            return false;
        }
        std::string line = chunk.substr(at, end - at);
        if (!ValidSentence(line)) {
            why = "not a whole valid sentence: \"" + line + "\"";
            return false;
        }
        lines.push_back(std::move(line));
        at = end + 2;
    }
    return true;
}

// Polls `done` until it holds or `timeoutMs` of real time pass (a bound
// against a hang, never a measurement).
inline bool WaitUntil(const std::function<bool()> &done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// ---- a stand-in GPS Intermediate Driver multiplexer, in process

inline DWORD_PTR MuxInit(LPCWSTR) {
    return 0x4D5558;
}
inline BOOL MuxDeinit(DWORD_PTR) {
    return TRUE;
}
inline DWORD_PTR MuxOpen(DWORD_PTR device, DWORD, DWORD) {
    return device;
}
inline BOOL MuxClose(DWORD_PTR) {
    return TRUE;
}
inline BOOL MuxIoControl(DWORD_PTR, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD returned) {
    if (returned != nullptr)
        *returned = 0;
    return TRUE;
}

inline void SetString(HKEY key, const char16_t *name, const std::u16string &value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
}
inline void SetDword(HKEY key, const char16_t *name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), 4);
}
inline HKEY CreateKey(const char16_t *path) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &key, &disposition),
        ERROR_SUCCESS);
    return key;
}

// A device of its own: a temporary root, a fast clock, an empty registry,
// the multiplexer on GPD0: and the receiver driver's key for COM9:.
class Device {
public:
    explicit Device(double clockSpeed) {
        platform::SetClockSpeed(clockSpeed);
        platform::ResetRegistry();
        char templ[] = "/tmp/tavrinel-faults-XXXXXX";
        if (mkdtemp(templ) != nullptr)
            root = templ;
        platform::SetDeviceRoot(root);
        platform::StreamDriver table{};
        table.Init = MuxInit;
        table.Deinit = MuxDeinit;
        table.Open = MuxOpen;
        table.Close = MuxClose;
        table.IOControl = MuxIoControl;
        platform::RegisterInProcessDriver(u"FaultMux.dll", table);
        HKEY key = CreateKey(u"System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer");
        SetString(key, u"DriverInterface", u"GPD0:");
        RegCloseKey(key);
        key = CreateKey(u"Drivers\\FaultMux");
        SetString(key, u"Dll", u"FaultMux.dll");
        SetString(key, u"Prefix", u"GPD");
        SetDword(key, u"Index", 0);
        RegCloseKey(key);
        mux = ActivateDeviceEx(u"Drivers\\FaultMux", nullptr, 0, nullptr);
        key = CreateKey(u"Drivers\\Tavrinel");
        SetString(key, u"Dll", u"\\Windows\\Tavrinel.dll");
        SetString(key, u"Prefix", u"COM");
        SetDword(key, u"Index", 9);
        SetDword(key, u"Frequency", 90000);
        RegCloseKey(key);
    }

    ~Device() {
        for (HANDLE h : ports)
            CloseHandle(h);
        Unload();
        if (mux != nullptr)
            DeactivateDevice(mux);
        platform::ClearModuleMaps();
        platform::ResetRegistry();
        platform::SetDeviceRoot("");
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    bool Load() {
        driver = ActivateDeviceEx(u"Drivers\\Tavrinel", nullptr, 0, nullptr);
        return driver != nullptr;
    }

    bool Unload() {
        if (driver == nullptr)
            return true;
        const BOOL ok = DeactivateDevice(driver);
        driver = nullptr;
        return ok != FALSE;
    }

    HANDLE Open() {
        HANDLE h = CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE)
            ports.push_back(h);
        return h;
    }

    void Close(HANDLE h) {
        std::erase(ports, h);
        CloseHandle(h);
    }

    static bool Send(HANDLE h, const std::string &text) {
        DWORD n = 0;
        return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) &&
               n == text.size();
    }

    // Everything pending now.
    static std::string Drain(HANDLE h) {
        std::string all;
        char buffer[2048];
        DWORD n = 0;
        while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n != 0)
            all.append(buffer, n);
        return all;
    }

    [[nodiscard]] std::string Log() const { return ReadWholeFile(root + "/Tavrinel.log"); }

    std::string root;
    HANDLE mux = nullptr;
    HANDLE driver = nullptr;
    std::vector<HANDLE> ports;
};

} // namespace harness

#endif // TAVRINEL_TESTS_FAULTS_DEVICE_HARNESS_H
