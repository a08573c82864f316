// client_test_util.h — helpers of the control program's tests: registry
// keys and values, a recording COM port that stands in for the receiver
// driver (registered under the driver's module name, so the program's own
// key loads it), and running the program's module with its dialogs.
#ifndef TAVRINEL_TESTS_CLIENT_TEST_UTIL_H
#define TAVRINEL_TESTS_CLIENT_TEST_UTIL_H

#include <windows.h>

#include <platform/devices.h>
#include <platform/emulation.h>
#include <platform/shell.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace clienttest {

const char16_t kManualKey[] = u"Drivers\\Tavrinel";
const char16_t kStartupKey[] = u"Drivers\\Builtin\\Tavrinel";
const char16_t kDriverDll[] = u"\\Windows\\Tavrinel.dll";

// ---------------------------------------------------------------- registry

inline HKEY CreateKey(const std::u16string &path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

inline void SetRaw(const std::u16string &path, const char16_t *name, DWORD type, const void *data,
                   DWORD size) {
    HKEY key = CreateKey(path);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

inline void SetDword(const std::u16string &path, const char16_t *name, DWORD value) {
    SetRaw(path, name, REG_DWORD, &value, sizeof value);
}

inline void SetSz(const std::u16string &path, const char16_t *name, const std::u16string &text) {
    SetRaw(path, name, REG_SZ, text.c_str(),
           static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

inline bool KeyExists(const std::u16string &path) {
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
    std::u16string AsText() const {
        std::u16string text(data.size() / 2, u'\0');
        std::memcpy(text.data(), data.data(), text.size() * 2);
        while (!text.empty() && text.back() == 0)
            text.pop_back();
        return text;
    }
};

inline std::optional<Value> ReadValue(const std::u16string &path, const char16_t *name) {
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

inline int CountValues(const std::u16string &path) {
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
inline void WriteDriverKey(const std::u16string &path, const std::u16string &dll, DWORD index) {
    SetSz(path, u"Dll", dll);
    SetSz(path, u"Prefix", u"COM");
    SetDword(path, u"Index", index);
}

// ---------------------------------------------------------------- the recording port

// An in-process stream driver answering as the receiver port: records every
// write, hands out scripted reads one chunk per call (or a flood, or
// nothing), can hold a read until released, and notes any read that runs
// while or after the port is being closed.
struct RecordingPort {
    std::mutex lock;
    std::condition_variable changed;
    int inits = 0, deinits = 0, opens = 0, closes = 0, reads = 0;
    std::string written;
    std::vector<std::string> writes;
    std::deque<std::string> chunks;
    bool flood = false;
    bool holdReads = false; // a read waits until this is cleared
    int readsInFlight = 0;
    DWORD largestRequest = 0; // the most bytes one read asked for
    int readsAfterClose = 0;
    bool closedWhileReading = false;
    bool isOpen = false;

    void Reset() {
        std::lock_guard guard(lock);
        inits = deinits = opens = closes = reads = 0;
        written.clear();
        writes.clear();
        chunks.clear();
        flood = holdReads = false;
        readsInFlight = readsAfterClose = 0;
        largestRequest = 0;
        closedWhileReading = isOpen = false;
    }
    // Waits (real time) until pred holds under the lock.
    bool WaitFor(const std::function<bool()> &pred, int ms = 5000) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(ms), pred);
    }
};

RecordingPort &Port();

// Registers the recording port under "\Windows\Tavrinel.dll" and also
// under "Other.dll" (another device that can take the port's name).
void RegisterRecordingPort();

// ---------------------------------------------------------------- screen

inline std::optional<platform::shell::DialogView> TopDialog() {
    const platform::shell::ScreenView screen = platform::shell::Snapshot();
    if (screen.dialogs.empty())
        return std::nullopt;
    return screen.dialogs.back();
}

// Polls the screen (real time) until pred holds.
inline bool WaitScreen(const std::function<bool(const platform::shell::ScreenView &)> &pred,
                       int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (pred(platform::shell::Snapshot()))
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

inline const platform::shell::ControlView *FindControl(const platform::shell::DialogView &dialog,
                                                       int id) {
    for (const auto &control : dialog.controls)
        if (control.id == id)
            return &control;
    return nullptr;
}

// A control that must be there (a missing one fails the test and reads as
// an empty control).
inline const platform::shell::ControlView &ControlOf(const platform::shell::DialogView &dialog,
                                                     int id) {
    static const platform::shell::ControlView missing;
    if (const auto *control = FindControl(dialog, id))
        return *control;
    ADD_FAILURE() << "no control " << id << " in the dialog";
    return missing;
}

// The top dialog with this caption, once it is on top.
inline std::optional<platform::shell::DialogView> WaitDialog(const std::u16string &caption,
                                                             int ms = 5000) {
    std::optional<platform::shell::DialogView> found;
    WaitScreen(
        [&](const platform::shell::ScreenView &screen) {
            if (screen.dialogs.empty() || screen.dialogs.back().caption != caption ||
                screen.hasMessageBox)
                return false;
            found = screen.dialogs.back();
            return true;
        },
        ms);
    return found;
}

inline std::optional<platform::shell::MessageBoxView> WaitMessageBox(int ms = 5000) {
    std::optional<platform::shell::MessageBoxView> box;
    WaitScreen(
        [&](const platform::shell::ScreenView &screen) {
            if (!screen.hasMessageBox)
                return false;
            box = screen.messageBox;
            return true;
        },
        ms);
    return box;
}

inline void DismissMessageBox() {
    platform::shell::InputEvent enter;
    enter.kind = platform::shell::InputEvent::Kind::Key;
    enter.virtualKey = VK_RETURN;
    platform::shell::PostInput(enter);
    WaitScreen([](const platform::shell::ScreenView &s) { return !s.hasMessageBox; });
}

// A command as a button press or menu choice delivers it (posted, so that a
// message box it opens does not block the test).
inline void Command(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// ---------------------------------------------------------------- the program

using WinMainProc = int (*)(HINSTANCE, HINSTANCE, LPWSTR, int);

// Loads \Windows\VorliskClient.exe as the phone does and runs its WinMain
// on a thread of its own.
class Program {
public:
    Program();
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    HMODULE Module() const { return module_; }
    WinMainProc Entry() const { return entry_; }
    void Start();
    // The settings dialog, once it shows.
    HWND Settings();
    // Ends the program with "Exit" and waits for WinMain to return.
    int Exit();
    bool Running() const { return thread_.joinable(); }

private:
    HMODULE module_ = nullptr;
    WinMainProc entry_ = nullptr;
    std::thread thread_;
    int result_ = -1;
};

} // namespace clienttest

#endif // TAVRINEL_TESTS_CLIENT_TEST_UTIL_H
