// client_test_util.cpp — the recording port driver and the program runner.
#include "client_test_util.h"

#include <cstring>

namespace clienttest {

namespace {

RecordingPort port;

const char kFlood[] = "$RTTMC,8,D3C2,8A10,12F4,AB*44\r\n";

DWORD_PTR PortInit(LPCWSTR) {
    std::lock_guard guard(port.lock);
    ++port.inits;
    port.changed.notify_all();
    return 0x504F5254;
}
BOOL PortDeinit(DWORD_PTR) {
    std::lock_guard guard(port.lock);
    ++port.deinits;
    port.changed.notify_all();
    return TRUE;
}
DWORD_PTR PortOpen(DWORD_PTR device, DWORD, DWORD) {
    std::lock_guard guard(port.lock);
    ++port.opens;
    port.isOpen = true;
    port.changed.notify_all();
    return device;
}
BOOL PortClose(DWORD_PTR) {
    std::lock_guard guard(port.lock);
    ++port.closes;
    if (port.readsInFlight > 0)
        port.closedWhileReading = true;
    port.isOpen = false;
    port.changed.notify_all();
    return TRUE;
}
DWORD PortRead(DWORD_PTR, LPVOID buffer, DWORD count) {
    std::unique_lock guard(port.lock);
    ++port.reads;
    if (count > port.largestRequest)
        port.largestRequest = count;
    if (!port.isOpen)
        ++port.readsAfterClose;
    ++port.readsInFlight;
    port.changed.notify_all();
    port.changed.wait(guard, [] { return !port.holdReads; });
    DWORD got = 0;
    auto *out = static_cast<char *>(buffer);
    if (port.flood) {
        for (; got < count; ++got)
            out[got] = kFlood[got % (sizeof kFlood - 1)];
    } else if (!port.chunks.empty()) {
        std::string &chunk = port.chunks.front();
        got = static_cast<DWORD>(chunk.size() < count ? chunk.size() : count);
        std::memcpy(out, chunk.data(), got);
        if (got == chunk.size())
            port.chunks.pop_front();
        else
            chunk.erase(0, got);
    }
    --port.readsInFlight;
    port.changed.notify_all();
    return got;
}
DWORD PortWrite(DWORD_PTR, LPCVOID buffer, DWORD count) {
    std::lock_guard guard(port.lock);
    const std::string bytes(static_cast<const char *>(buffer), count);
    port.written += bytes;
    port.writes.push_back(bytes);
    port.changed.notify_all();
    return count;
}
BOOL PortIoControl(DWORD_PTR, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD returned) {
    if (returned != nullptr)
        *returned = 0;
    return TRUE;
}

} // namespace

RecordingPort &Port() {
    return port;
}

void RegisterRecordingPort() {
    platform::StreamDriver table{};
    table.Init = PortInit;
    table.Deinit = PortDeinit;
    table.Open = PortOpen;
    table.Close = PortClose;
    table.Read = PortRead;
    table.Write = PortWrite;
    table.IOControl = PortIoControl;
    platform::RegisterInProcessDriver(kDriverDll, table);
    platform::RegisterInProcessDriver(u"Other.dll", table);
}

// ---------------------------------------------------------------- Program

Program::Program() {
    module_ = LoadLibraryW(u"\\Windows\\VorliskClient.exe");
    EXPECT_NE(module_, nullptr) << platform::LastLoaderError();
    if (module_ != nullptr)
        entry_ = reinterpret_cast<WinMainProc>(
            reinterpret_cast<void (*)()>(GetProcAddressW(module_, u"WinMain")));
    EXPECT_NE(entry_, nullptr);
}

Program::~Program() {
    if (thread_.joinable()) {
        // Close whatever is open, top first, until WinMain returns.
        for (int i = 0; i < 20 && !platform::shell::Snapshot().dialogs.empty(); ++i) {
            if (platform::shell::Snapshot().hasMessageBox)
                DismissMessageBox();
            if (auto top = TopDialog())
                PostMessageW(top->hwnd, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        thread_.join();
    }
    if (module_ != nullptr)
        FreeLibrary(module_);
}

void Program::Start() {
    ASSERT_NE(entry_, nullptr);
    thread_ = std::thread([this] {
        WCHAR commandLine[] = u"";
        result_ = entry_(reinterpret_cast<HINSTANCE>(module_), nullptr, commandLine, SW_SHOW);
    });
}

// Ready once its initialisation has set the status line.
HWND Program::Settings() {
    HWND found = nullptr;
    WaitScreen([&](const platform::shell::ScreenView &screen) {
        if (screen.dialogs.empty() || screen.hasMessageBox)
            return false;
        const platform::shell::DialogView &top = screen.dialogs.back();
        const platform::shell::ControlView *status = FindControl(top, 1019);
        // The status is set before the boxes are filled: the last box (load
        // on boot) holding its two entries says the whole dialog is there.
        const platform::shell::ControlView *last = FindControl(top, 1017);
        if (top.caption != u"Tavrinel" || status == nullptr ||
            status->text.rfind(u"TMC DRIVER", 0) != 0 || last == nullptr || last->items.size() != 2)
            return false;
        found = top.hwnd;
        return true;
    });
    // The dialog shows while its initialisation still runs (the boxes are
    // selected and enabled after their entries are in). A message sent to it
    // is answered once that is over: its thread is then back in its loop.
    if (found)
        SendMessageW(found, WM_NULL, 0, 0);
    return found;
}

int Program::Exit() {
    if (HWND settings = Settings())
        Command(settings, 40003);
    if (thread_.joinable())
        thread_.join();
    return result_;
}

} // namespace clienttest
