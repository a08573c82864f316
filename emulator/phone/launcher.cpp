// launcher.cpp — the phone's user interface mode: the control program on a
// thread of its own, and the phone's home screen when it is not running.
#include "launcher.h"

#include "boot.h"

#include <chrono>
#include <cstdio>

#include <platform/devices.h>
#include <platform/emulation.h>

namespace phone {

using platform::shell::ControlView;
using platform::shell::DialogView;
using platform::shell::InputEvent;
using platform::shell::ScreenView;

namespace {

constexpr int kClosePollMs = 200; // power off: how often a closing program is nudged

ControlView TextLine(int y, int width, const std::string &text) {
    ControlView c;
    c.className = u"STATIC";
    c.cells = {1, y, width, 1};
    c.style = SS_NOPREFIX;
    c.text = platform::Widen(text);
    return c;
}

// News may be longer than the screen is wide: broken at spaces onto a few
// lines rather than cut (the whole text is in phone.log as well).
void AddWrapped(DialogView &d, int &y, int width, const std::string &text) {
    constexpr int kMaxLines = 4;
    const size_t w = static_cast<size_t>(std::max(width, 1));
    size_t at = 0;
    for (int n = 0; n < kMaxLines && at < text.size(); ++n) {
        size_t end = std::min(text.size(), at + w);
        if (end < text.size()) {
            const size_t space = text.rfind(' ', end);
            if (space != std::string::npos && space > at)
                end = space;
        }
        d.controls.push_back(TextLine(y++, width, text.substr(at, end - at)));
        at = end;
        while (at < text.size() && text[at] == ' ')
            ++at;
    }
}

// "\\Windows\\VorliskClient.exe" -> "VorliskClient.exe".
std::string ProgramName(const std::u16string &program) {
    const size_t slash = program.find_last_of(u"\\/");
    return platform::Narrow(slash == std::u16string::npos ? program : program.substr(slash + 1));
}

} // namespace

Launcher::Launcher(LauncherOptions options, PtyBridge *bridge,
                   std::function<void(const ScreenView &)> present)
    : options_(std::move(options)), bridge_(bridge), present_(std::move(present)) {}

Launcher::~Launcher() {
    End();
}

void Launcher::Begin() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (watcher_.joinable())
            return;
        startRequested_ = true;
    }
    StartThread(watcher_, [this] { Watch(); });
}

bool Launcher::End() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        poweringOff_ = true;
        startRequested_ = false;
    }
    // Close the program as a phone does at power off: each dialog is asked
    // to close, top-most first, and a message box in the way is dismissed.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.closeMs);
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(lock_);
            if (!running_ || ended_)
                break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        const ScreenView screen = platform::shell::Snapshot();
        if (screen.hasMessageBox) {
            InputEvent escape;
            escape.virtualKey = VK_ESCAPE;
            platform::shell::PostInput(escape);
        } else if (screen.hasMenuBar && screen.menuBar.popupOpen) {
            InputEvent escape;
            escape.virtualKey = VK_ESCAPE;
            platform::shell::PostInput(escape);
        } else if (!screen.dialogs.empty()) {
            PostMessageW(screen.dialogs.back().hwnd, WM_CLOSE, 0, 0);
        }
        std::unique_lock<std::mutex> hold(lock_);
        wake_.wait_for(hold, std::chrono::milliseconds(kClosePollMs),
                       [this] { return !running_ || ended_; });
    }
    bool ended;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ended = !running_ || ended_;
        stopping_ = true;
    }
    wake_.notify_all();
    if (watcher_.joinable())
        watcher_.join();
    // The watcher frees the module of a program that ended before it left.
    if (ended && ProgramRunning())
        ReapProgram(); // it ended after the watcher's last look
    return ended;
}

void Launcher::Notice(const std::string &text) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        notice_ = text;
    }
    wake_.notify_all();
}

bool Launcher::ProgramRunning() {
    std::lock_guard<std::mutex> hold(lock_);
    return running_;
}

void Launcher::ProgramScreen::Present(const ScreenView &screen) {
    // Checked and passed on under the lock, so that a snapshot of a program
    // that has just ended cannot overtake the home screen.
    std::lock_guard<std::mutex> hold(owner_.lock_);
    if (owner_.running_ && !owner_.ended_ && owner_.present_)
        owner_.present_(screen);
}

void Launcher::Input(const InputEvent &event) {
    bool toShell, start = false, powerOff = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        toShell = running_ && !ended_;
        if (!toShell && !poweringOff_) {
            const bool key = event.kind == InputEvent::Kind::Key;
            const bool character = event.kind == InputEvent::Kind::Char;
            const bool click = event.kind == InputEvent::Kind::Click && event.y == lines_ - 1;
            start = (key && event.virtualKey == VK_F1) ||
                    (character && (event.character == u's' || event.character == u'S')) ||
                    (click && event.x < columns_ / 2);
            powerOff = (key && event.virtualKey == VK_F2) ||
                       (character && (event.character == u'p' || event.character == u'P')) ||
                       (click && event.x >= columns_ / 2);
            if (start) {
                startRequested_ = true;
                message_ = "Starting " + platform::Narrow(options_.program) + "...";
            }
            if (powerOff)
                poweringOff_ = true;
        }
    }
    if (toShell) {
        platform::shell::PostInput(event);
    } else if (start) {
        wake_.notify_all();
        PresentHome();
    } else if (powerOff) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            message_ = "Powering off...";
        }
        PresentHome();
        if (options_.powerOff)
            options_.powerOff();
    }
}

void Launcher::Resize(int columns, int lines) {
    platform::shell::SetScreenSize(columns, lines);
    bool home;
    {
        std::lock_guard<std::mutex> hold(lock_);
        columns_ = columns;
        lines_ = lines;
        home = !running_ || ended_;
    }
    if (home)
        PresentHome();
}

DWORD WINAPI Launcher::ProgramThread(LPVOID self) {
    auto *launcher = static_cast<Launcher *>(self);
    WinMainProc entry;
    HMODULE module;
    {
        std::lock_guard<std::mutex> hold(launcher->lock_);
        entry = launcher->entry_;
        module = launcher->module_;
    }
    WCHAR commandLine[1] = {0};
    const int code = entry(module, nullptr, commandLine, SW_SHOW);
    {
        std::lock_guard<std::mutex> hold(launcher->lock_);
        launcher->ended_ = true;
        launcher->exitCode_ = code;
    }
    launcher->wake_.notify_all();
    return static_cast<DWORD>(code);
}

// ---- the watching thread

void Launcher::Watch() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        wake_.wait_for(hold, std::chrono::milliseconds(options_.homeRefreshMs),
                       [this] { return stopping_ || startRequested_ || (running_ && ended_); });
        if (running_ && ended_) {
            hold.unlock();
            ReapProgram();
            PresentHome();
            hold.lock();
            continue;
        }
        if (stopping_)
            return;
        if (startRequested_ && !running_) {
            startRequested_ = false;
            hold.unlock();
            StartProgram();
            PresentHome(); // shown until the program's first dialog, or its failure
            hold.lock();
            continue;
        }
        startRequested_ = false;
        if (!running_) {
            hold.unlock();
            PresentHome(); // the ports may have changed
            hold.lock();
        }
    }
}

void Launcher::StartProgram() {
    const std::string name = platform::Narrow(options_.program);
    HMODULE module = LoadLibraryW(options_.program.c_str());
    if (!module) {
        std::lock_guard<std::mutex> hold(lock_);
        message_ = name + " cannot be started: " + platform::LastLoaderError();
        return;
    }
    // FARPROC is the generic function pointer; WinMain's own type restored.
    auto entry = reinterpret_cast<WinMainProc>(
        reinterpret_cast<void (*)()>(GetProcAddressW(module, u"WinMain")));
    if (!entry) {
        FreeLibrary(module);
        std::lock_guard<std::mutex> hold(lock_);
        message_ = name + " cannot be started: it has no WinMain";
        return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (poweringOff_) {
        FreeLibrary(module);
        return;
    }
    module_ = module;
    entry_ = entry;
    ended_ = false;
    running_ = true;
    DWORD id = 0;
    thread_ = CreateThread(nullptr, 0, &Launcher::ProgramThread, this, 0, &id);
    if (!thread_) {
        running_ = false;
        module_ = nullptr;
        FreeLibrary(module);
        message_ = name + " cannot be started: " + kNoThread;
        ThreadRefused();
    }
}

void Launcher::ReapProgram() {
    HANDLE thread;
    HMODULE module;
    {
        std::lock_guard<std::mutex> hold(lock_);
        thread = thread_;
        module = module_;
    }
    // The module stays loaded until its thread is gone for good.
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    FreeLibrary(module);
    std::lock_guard<std::mutex> hold(lock_);
    thread_ = nullptr;
    module_ = nullptr;
    running_ = false;
    // Its exit code is the command it left with, which says nothing to a
    // user; what matters is that the drivers it loaded stay.
    message_ = ProgramName(options_.program) + " has closed; the drivers it loaded stay loaded.";
}

// ---- the home screen

ScreenView Launcher::HomeScreen() {
    int columns, lines;
    std::string message, notice;
    {
        std::lock_guard<std::mutex> hold(lock_);
        columns = columns_;
        lines = lines_;
        message = message_;
        notice = notice_;
    }
    ScreenView view;
    view.columns = columns;
    view.lines = lines;
    DialogView d;
    d.caption = u"Tavrinel phone";
    d.fullScreen = true;
    const int width = std::max(columns - 2, 1);
    int y = 0;
    d.controls.push_back(TextLine(y++, width, "Active devices:"));
    std::vector<ServedPort> served;
    if (bridge_)
        served = bridge_->Ports();
    std::string firstLink;
    const auto devices = platform::ListActiveDevices();
    for (const auto &device : devices) {
        std::string line =
            "  " + platform::Narrow(device.name) + "  HKLM\\" + platform::Narrow(device.key);
        d.controls.push_back(TextLine(y++, width, line));
        std::string link;
        if (PortLinkName(device.name, link))
            for (const auto &port : served)
                if (port.name == link) {
                    d.controls.push_back(
                        TextLine(y++, width, "      " + port.link + " (" + port.slavePath + ")"));
                    if (firstLink.empty())
                        firstLink = port.link;
                }
    }
    if (devices.empty())
        d.controls.push_back(TextLine(y++, width, "  none"));
    ++y;
    AddWrapped(d, y, width, notice);
    AddWrapped(d, y, width, message);
    ++y;
    // Only a port that is served can be watched: a path that is not there
    // yet would only fail.
    if (!firstLink.empty()) {
        d.controls.push_back(TextLine(y++, width, "Watch the port from another terminal:"));
        d.controls.push_back(
            TextLine(y++, width, "  scripts/read_port.py " + ShellQuoted(firstLink)));
    } else {
        AddWrapped(d, y, width,
                   "No port is served yet: the receiver's port appears here once the driver "
                   "is loaded (by the program, or at boot with --install-driver).");
    }
    ++y;
    d.controls.push_back(TextLine(y++, width, "s or F1: start the program    p or F2: power off"));
    view.dialogs.push_back(d);
    view.hasMenuBar = true;
    view.menuBar.left = u"Start";
    view.menuBar.right = u"Power off";
    return view;
}

void Launcher::PresentHome() {
    const ScreenView view = HomeScreen();
    std::lock_guard<std::mutex> hold(lock_);
    if ((!running_ || ended_) && present_)
        present_(view);
}

} // namespace phone
