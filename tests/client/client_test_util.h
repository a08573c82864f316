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

#include "client_registry_util.h"

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
