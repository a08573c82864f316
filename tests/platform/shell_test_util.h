// shell_test_util.h — helpers of the shell tests: a builder of standard
// in-memory dialog templates, the test program's resource table, a dialog
// run on a thread of its own with a recording dialog procedure, and
// polling waits on the shell's snapshot.
#ifndef TAVRINEL_TESTS_PLATFORM_SHELL_TEST_UTIL_H
#define TAVRINEL_TESTS_PLATFORM_SHELL_TEST_UTIL_H

#include <aygshell.h>
#include <platform/resources.h>
#include <platform/shell.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace shelltest {

using platform::shell::InputEvent;
using platform::shell::ScreenView;

constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082, kCombo = 0x0085;

// ---------------------------------------------------------------- bytes

class Bytes {
public:
    void Word(WORD w) { Raw(&w, 2); }
    void Dword(DWORD d) { Raw(&d, 4); }
    void Text(std::u16string_view text) {
        for (char16_t c : text)
            Word(c);
        Word(0);
    }
    void Raw(const void *data, size_t size) {
        const auto *p = static_cast<const BYTE *>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
    void Align() {
        while (bytes.size() % 4)
            bytes.push_back(0);
    }
    std::vector<BYTE> bytes;
};

// ---------------------------------------------------------------- templates

// Emits the standard DLGTEMPLATE layout: header, no menu, default class,
// caption, font (DS_SETFONT), then DWORD-aligned items.
class TemplateBuilder {
public:
    TemplateBuilder(std::u16string caption, short cx, short cy,
                    DWORD style = WS_POPUP | WS_CAPTION | DS_SETFONT, DWORD exStyle = 0)
        : caption_(std::move(caption)), cx_(cx), cy_(cy), style_(style), exStyle_(exStyle) {}

    TemplateBuilder &Control(WORD classOrdinal, std::u16string text, WORD id, DWORD style, short x,
                             short y, short cx, short cy) {
        items_.push_back(
            {classOrdinal, std::move(text), id, style | WS_CHILD | WS_VISIBLE, x, y, cx, cy, 0});
        return *this;
    }
    // A control whose text is a resource ordinal (an icon).
    TemplateBuilder &IconStatic(WORD iconId, WORD id, short x, short y, short cx, short cy) {
        items_.push_back({kStatic, u"", id, SS_ICON | WS_CHILD | WS_VISIBLE, x, y, cx, cy, iconId});
        return *this;
    }
    // The last control loses WS_VISIBLE.
    TemplateBuilder &Hidden() {
        items_.back().style &= ~WS_VISIBLE;
        return *this;
    }

    [[nodiscard]] std::vector<BYTE> Build() const {
        Bytes b;
        DLGTEMPLATE head{};
        head.style = style_;
        head.dwExtendedStyle = exStyle_;
        head.cdit = static_cast<WORD>(items_.size());
        head.cx = cx_;
        head.cy = cy_;
        b.Raw(&head, sizeof head);
        b.Word(0); // menu
        b.Word(0); // class
        b.Text(caption_);
        if (style_ & DS_SETFONT) {
            b.Word(8);
            b.Text(u"MS Shell Dlg");
        }
        for (const Item &item : items_) {
            b.Align();
            DLGITEMTEMPLATE raw{};
            raw.style = item.style;
            raw.x = item.x;
            raw.y = item.y;
            raw.cx = item.cx;
            raw.cy = item.cy;
            raw.id = item.id;
            b.Raw(&raw, sizeof raw);
            b.Word(0xFFFF);
            b.Word(item.classOrdinal);
            if (item.iconId) {
                b.Word(0xFFFF);
                b.Word(item.iconId);
            } else {
                b.Text(item.text);
            }
            b.Word(0); // creation data
        }
        return b.bytes;
    }

private:
    struct Item {
        WORD classOrdinal;
        std::u16string text;
        WORD id;
        DWORD style;
        short x, y, cx, cy;
        WORD iconId;
    };
    std::u16string caption_;
    short cx_, cy_;
    DWORD style_, exStyle_;
    std::vector<Item> items_;
};

// ---------------------------------------------------------------- resources

// The test program's resource table (shell_test_main.cpp): tests replace
// its entries while no dialog runs. NULL module = the program.
struct Resource {
    std::u16string type; // empty: typeOrdinal
    WORD typeOrdinal = 0;
    std::u16string name; // empty: nameOrdinal
    WORD nameOrdinal = 0;
    std::vector<BYTE> data;
};
void SetProgramResources(std::vector<Resource> resources);

// A string table block of 16 strings (empty ones absent).
std::vector<BYTE> StringBlock(const std::vector<std::u16string> &strings);
// An old-style menu template with one popup per entry: (text, items(id, text)).
std::vector<BYTE> MenuTemplate(
    const std::vector<std::pair<std::u16string, std::vector<std::pair<WORD, std::u16string>>>>
        &popups);

// A template loaded from the program's resources as the control program
// loads it: FindResourceW + LoadResource + LockResource.
LPCDLGTEMPLATEW LoadTemplate(WORD id);

// ---------------------------------------------------------------- running dialogs

struct Command {
    WORD id = 0;
    WORD code = 0;
    LPARAM lParam = 0;
    DWORD threadId = 0;
};

// What the recording dialog procedure saw; a test may add a hook that runs
// first (answering nonzero: handled with that value).
struct Recorder {
    std::mutex lock;
    std::vector<Command> commands;
    std::vector<UINT> messages;
    HWND initFocus = nullptr;
    LPARAM initParam = 0;
    std::atomic<HWND> dialog{nullptr};
    std::atomic<DWORD> threadId{0};
    INT_PTR initAnswer = TRUE;
    std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> hook;

    std::vector<Command> Commands() {
        std::lock_guard guard(lock);
        return commands;
    }
};

INT_PTR CALLBACK RecordingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs DialogBoxIndirectParamW on a thread of its own.
class DialogThread {
public:
    DialogThread(std::vector<BYTE> templ, Recorder &recorder, HWND owner = nullptr);
    ~DialogThread();
    DialogThread(const DialogThread &) = delete;
    DialogThread &operator=(const DialogThread &) = delete;
    // Waits until the dialog runs (its WM_INITDIALOG ran) and answers it.
    HWND WaitShown();
    // Waits until DialogBoxIndirectParamW returned and answers its result.
    INT_PTR Join();
    [[nodiscard]] bool Done() const { return done_; }

private:
    std::vector<BYTE> templ_;
    Recorder &recorder_;
    std::atomic<bool> done_{false};
    std::atomic<INT_PTR> result_{0};
    std::thread thread_;
};

// Polls `ready` for up to five seconds of real time.
bool WaitFor(const std::function<bool()> &ready);

inline InputEvent Key(UINT vk, bool shift = false) {
    InputEvent e;
    e.kind = InputEvent::Kind::Key;
    e.virtualKey = vk;
    e.shift = shift;
    return e;
}
inline InputEvent Char(char16_t c) {
    InputEvent e;
    e.kind = InputEvent::Kind::Char;
    e.character = c;
    return e;
}
inline InputEvent ClickAt(int x, int y) {
    InputEvent e;
    e.kind = InputEvent::Kind::Click;
    e.x = x;
    e.y = y;
    return e;
}
// Posts and waits until the shell handled it.
void Input(const InputEvent &event);
void Type(std::u16string_view text);

// The control of the top-most dialog with that id in a snapshot.
const platform::shell::ControlView *FindControl(const ScreenView &view, int id);

} // namespace shelltest

#endif // TAVRINEL_TESTS_PLATFORM_SHELL_TEST_UTIL_H
