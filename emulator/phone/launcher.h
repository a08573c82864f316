// launcher.h — the phone's user interface mode: starts the control program
// as the shell would (its WinMain on a thread of its own), shows the shell's
// screen on the terminal while it runs, and a home screen of the phone's
// own when it is not: the active ports, how to watch them, and the keys to
// start the program again (F1 or "s") or power off (F2 or "p").
//
// Who draws: while the program runs, the shell's snapshots reach the
// terminal and keys go to the shell; otherwise the home screen is drawn and
// keys come here. A late snapshot of a program that has ended is dropped,
// so it never covers the home screen.
#ifndef TAVRINEL_PHONE_LAUNCHER_H
#define TAVRINEL_PHONE_LAUNCHER_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <platform/shell.h>
#include <windows.h>

#include "pty_bridge.h"

namespace phone {

inline constexpr const char16_t *kControlProgram = u"\\Windows\\VorliskClient.exe";

struct LauncherOptions {
    std::u16string program = kControlProgram;
    std::string root;               // the phone's root folder
    int homeRefreshMs = 1000;       // how often the home screen looks at the ports again
    int closeMs = 8000;             // power off: how long the program may take to close
    std::function<void()> powerOff; // the home screen's power-off key
};

class Launcher {
public:
    // `present` draws a screen (the terminal renderer's Present).
    Launcher(LauncherOptions options, PtyBridge *bridge,
             std::function<void(const platform::shell::ScreenView &)> present);
    ~Launcher();
    Launcher(const Launcher &) = delete;
    Launcher &operator=(const Launcher &) = delete;

    // Starts the program (or shows the home screen with the reason it cannot
    // start) and the thread that watches it.
    void Begin();
    // Power off: asks a running program to close (its dialogs get WM_CLOSE,
    // a message box Escape), waits at most closeMs, then frees its module.
    // Answers false when the program did not end (its module stays loaded).
    bool End();

    // The renderer to install in the shell: passes snapshots on while the
    // program runs.
    platform::shell::Renderer &ShellRenderer() { return programScreen_; }
    // Keys and clicks from the terminal, and its size.
    void Input(const platform::shell::InputEvent &event);
    void Resize(int columns, int lines);

    // News for the home screen (shown from its next refresh on).
    void Notice(const std::string &text);

    [[nodiscard]] bool ProgramRunning();
    // The home screen as it would be drawn now (tests).
    platform::shell::ScreenView HomeScreen();

private:
    class ProgramScreen : public platform::shell::Renderer {
    public:
        explicit ProgramScreen(Launcher &owner) : owner_(owner) {}
        void Present(const platform::shell::ScreenView &screen) override;

    private:
        Launcher &owner_;
    };
    static DWORD WINAPI ProgramThread(LPVOID self);
    void Watch();
    void StartProgram(); // on the watching thread
    void ReapProgram();  // on the watching thread, once the program's thread ended
    void PresentHome();

    LauncherOptions options_;
    PtyBridge *bridge_;
    std::function<void(const platform::shell::ScreenView &)> present_;
    ProgramScreen programScreen_{*this};

    std::mutex lock_;
    std::condition_variable wake_;
    bool running_ = false; // the program's thread is alive
    bool ended_ = false;   // ... and has returned from WinMain
    bool startRequested_ = false;
    bool stopping_ = false;
    bool poweringOff_ = false;
    int columns_ = 60, lines_ = 24;
    std::string message_; // the home screen's news
    std::string notice_;  // the latest word from the registry; outlives a program's run
    HMODULE module_ = nullptr;
    HANDLE thread_ = nullptr;
    using WinMainProc = int (*)(HINSTANCE, HINSTANCE, LPWSTR, int);
    WinMainProc entry_ = nullptr;
    int exitCode_ = 0;
    std::thread watcher_;
};

} // namespace phone

#endif // TAVRINEL_PHONE_LAUNCHER_H
