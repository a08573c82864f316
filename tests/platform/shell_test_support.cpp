// shell_test_support.cpp — the shell tests' helpers and the test program's
// exported resource table.
#include "shell_test_util.h"

namespace {

// Owned storage behind the exported table.
std::vector<shelltest::Resource> storage;
std::vector<CeResource> entries;

} // namespace

// The program's resources (found through GetProcAddressW(NULL, ...)).
extern "C" {
__declspec(dllexport) CeResourceTable CeResourceTable = {0, nullptr};
}

namespace shelltest {

void SetProgramResources(std::vector<Resource> resources) {
    storage = std::move(resources);
    entries.clear();
    for (const Resource &r : storage) {
        CeResource e{};
        e.type = r.type.empty() ? MAKEINTRESOURCEW(r.typeOrdinal) : r.type.c_str();
        e.name = r.name.empty() ? MAKEINTRESOURCEW(r.nameOrdinal) : r.name.c_str();
        e.data = r.data.data();
        e.size = static_cast<DWORD>(r.data.size());
        entries.push_back(e);
    }
    ::CeResourceTable.count = static_cast<DWORD>(entries.size());
    ::CeResourceTable.entries = entries.data();
}

std::vector<BYTE> StringBlock(const std::vector<std::u16string> &strings) {
    Bytes b;
    for (size_t i = 0; i < 16; ++i) {
        const std::u16string s = i < strings.size() ? strings[i] : u"";
        b.Word(static_cast<WORD>(s.size()));
        for (char16_t c : s)
            b.Word(c);
    }
    return b.bytes;
}

std::vector<BYTE> MenuTemplate(
    const std::vector<std::pair<std::u16string, std::vector<std::pair<WORD, std::u16string>>>>
        &popups) {
    Bytes b;
    b.Word(0);
    b.Word(0);
    for (size_t p = 0; p < popups.size(); ++p) {
        b.Word(static_cast<WORD>(MF_POPUP | (p + 1 == popups.size() ? MF_END : 0)));
        b.Text(popups[p].first);
        const auto &items = popups[p].second;
        for (size_t i = 0; i < items.size(); ++i) {
            b.Word(static_cast<WORD>(i + 1 == items.size() ? MF_END : 0));
            b.Word(items[i].first);
            b.Text(items[i].second);
        }
    }
    return b.bytes;
}

LPCDLGTEMPLATEW LoadTemplate(WORD id) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), RT_DIALOG);
    if (!found)
        return nullptr;
    return static_cast<LPCDLGTEMPLATEW>(LockResource(LoadResource(nullptr, found)));
}

INT_PTR CALLBACK RecordingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    Recorder *recorder = nullptr;
    if (message == WM_INITDIALOG) {
        recorder = reinterpret_cast<Recorder *>(lParam);
        SetWindowLongPtrW(dialog, GWL_USERDATA, lParam);
        {
            std::lock_guard guard(recorder->lock);
            recorder->initFocus = reinterpret_cast<HWND>(wParam);
            recorder->initParam = lParam;
        }
        recorder->threadId = GetCurrentThreadId();
        recorder->dialog = dialog;
    } else {
        recorder = reinterpret_cast<Recorder *>(GetWindowLongPtrW(dialog, GWL_USERDATA));
    }
    if (!recorder)
        return FALSE;
    {
        std::lock_guard guard(recorder->lock);
        recorder->messages.push_back(message);
        if (message == WM_COMMAND)
            recorder->commands.push_back(
                {LOWORD(wParam), HIWORD(wParam), lParam, GetCurrentThreadId()});
    }
    if (recorder->hook) {
        if (const INT_PTR answer = recorder->hook(dialog, message, wParam, lParam))
            return answer;
    }
    if (message == WM_INITDIALOG)
        return recorder->initAnswer;
    return message == WM_COMMAND ? TRUE : FALSE;
}

DialogThread::DialogThread(std::vector<BYTE> templ, Recorder &recorder, HWND owner)
    : templ_(std::move(templ)), recorder_(recorder) {
    thread_ = std::thread([this, owner] {
        result_ =
            DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(templ_.data()),
                                    owner, RecordingProc, reinterpret_cast<LPARAM>(&recorder_));
        done_ = true;
    });
}

DialogThread::~DialogThread() {
    if (thread_.joinable()) {
        if (!done_ && recorder_.dialog)
            EndDialog(recorder_.dialog, -2);
        thread_.join();
    }
}

HWND DialogThread::WaitShown() {
    WaitFor([&] { return recorder_.dialog != nullptr || done_; });
    WaitFor([&] {
        for (const auto &d : platform::shell::Snapshot().dialogs)
            if (d.hwnd == recorder_.dialog)
                return true;
        return done_.load();
    });
    return recorder_.dialog;
}

INT_PTR DialogThread::Join() {
    if (thread_.joinable())
        thread_.join();
    return result_;
}

bool WaitFor(const std::function<bool()> &ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void Input(const InputEvent &event) {
    platform::shell::PostInput(event);
    EXPECT_TRUE(platform::shell::WaitIdle(5000));
}

void Type(std::u16string_view text) {
    for (char16_t c : text)
        Input(Char(c));
}

const platform::shell::ControlView *FindControl(const ScreenView &view, int id) {
    if (view.dialogs.empty())
        return nullptr;
    for (const auto &c : view.dialogs.back().controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

} // namespace shelltest
