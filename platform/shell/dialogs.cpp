// dialogs.cpp — modal dialogs from in-memory templates, the dialog item
// functions, message boxes, and what keys and clicks do in them.
//
// The template is read with a bound: the bytes of the resource that
// LoadResource handed out when the template lies inside one (the way the
// program gets its templates), else at most kUntrackedTemplateBytes (a
// template the caller built itself is trusted as far as that, as Windows
// trusts it). Anything that would be read past the bound, an unknown
// control class, more than kMaxDialogItems controls or an overlong string
// refuses the dialog: DialogBoxIndirectParamW answers -1.
//
// Items are DWORD-aligned relative to the start of the template.
// A dialog shows whether or not its template has WS_VISIBLE; a control
// only with WS_VISIBLE, as in Windows.
#include "shell_internal.h"

#include <algorithm>
#include <cstring>

#include "kernel.h"
#include "resource_reader.h"
#include "user.h"

namespace platform::shell::detail {

namespace {

constexpr size_t kUntrackedTemplateBytes = 64 * 1024;
constexpr size_t kMaxTemplateString = 1024;

// ---------------------------------------------------------------- dialog templates

struct ItemTemplate {
    DWORD style = 0, exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    WORD id = 0;
    std::u16string className;
    std::u16string text;
};

struct DialogTemplate {
    DWORD style = 0, exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::u16string caption;
    std::vector<ItemTemplate> items;
};

// On a terminal a label's row comes from rounding its own position, so a
// label a few dialog units lower than the list beside it (as templates
// often have it) would sit a line below that list. A one-line label that
// overlaps the first line of a control to its right by at least half its
// height is put on that control's row.
constexpr int kLineUnits = 14; // a control's first line, in dialog units

void AlignLabelsLocked(ShellState &shell, const std::vector<ItemTemplate> &items,
                       const std::vector<HWND> &controls) {
    const size_t count = std::min(items.size(), controls.size());
    for (size_t i = 0; i < count; ++i) {
        const auto label = FindControlLocked(shell, controls[i]);
        if (!label || label->kind != ControlKind::Static || label->cells.height != 1)
            continue;
        const int top = items[i].y, bottom = items[i].y + std::min<int>(items[i].cy, kLineUnits);
        for (size_t j = 0; j < count; ++j) {
            const auto other = FindControlLocked(shell, controls[j]);
            if (!other || other->kind == ControlKind::Static || items[j].x <= items[i].x)
                continue;
            const int otherBottom = items[j].y + std::min<int>(items[j].cy, kLineUnits);
            const int overlap = std::min(bottom, otherBottom) - std::max(top, int{items[j].y});
            if (overlap * 2 >= bottom - top && bottom > top) {
                label->cells.y = other->cells.y;
                break;
            }
        }
    }
}

bool ParseTemplate(const BYTE *data, size_t size, DialogTemplate &out) {
    ResourceReader reader(data, size, kMaxTemplateString);
    DLGTEMPLATE head{};
    if (!reader.Bytes(&head, sizeof head))
        return false;
    if (head.cdit > kMaxDialogItems)
        return false;
    out.style = head.style;
    out.exStyle = head.dwExtendedStyle;
    out.x = head.x;
    out.y = head.y;
    out.cx = head.cx;
    out.cy = head.cy;
    std::u16string text;
    WORD ordinal = 0;
    bool isOrdinal = false;
    if (!reader.StringOrOrdinal(text, ordinal, isOrdinal)) // menu (ignored)
        return false;
    if (!reader.StringOrOrdinal(text, ordinal, isOrdinal)) // class (ignored)
        return false;
    if (!reader.String(out.caption))
        return false;
    if (head.style & DS_SETFONT) {
        WORD points = 0;
        if (!reader.Word(points) || !reader.String(text))
            return false;
    }
    for (WORD i = 0; i < head.cdit; ++i) {
        ItemTemplate item;
        DLGITEMTEMPLATE raw{};
        if (!reader.AlignDword() || !reader.Bytes(&raw, sizeof raw))
            return false;
        item.style = raw.style;
        item.exStyle = raw.dwExtendedStyle;
        item.x = raw.x;
        item.y = raw.y;
        item.cx = raw.cx;
        item.cy = raw.cy;
        item.id = raw.id;
        if (!reader.StringOrOrdinal(item.className, ordinal, isOrdinal))
            return false;
        if (isOrdinal) {
            switch (ordinal) {
            case 0x0080:
                item.className = u"BUTTON";
                break;
            case 0x0081:
                item.className = u"EDIT";
                break;
            case 0x0082:
                item.className = u"STATIC";
                break;
            case 0x0085:
                item.className = u"COMBOBOX";
                break;
            default:
                return false; // list boxes and scroll bars are not stood in
            }
        } else if (item.className.empty()) {
            return false;
        }
        if (!reader.StringOrOrdinal(item.text, ordinal, isOrdinal))
            return false;
        if (isOrdinal) { // a resource (an icon of a static): "#id"
            const std::string digits = std::to_string(ordinal);
            item.text = u"#" + std::u16string(digits.begin(), digits.end());
        }
        WORD extra = 0;
        if (!reader.Word(extra))
            return false;
        // Creation data: its size in bytes counts the size word itself.
        if (extra == 1 || (extra > 2 && !reader.Skip(extra - 2u)))
            return false;
        out.items.push_back(std::move(item));
    }
    return true;
}

// ---------------------------------------------------------------- modal sessions

// Pushes a modal entry and disables its owner; undoes both at the end.
class ModalSession {
public:
    explicit ModalSession(std::shared_ptr<Modal> modal) : modal_(std::move(modal)) {
        ShellState &shell = Shell();
        {
            std::lock_guard guard(shell.lock);
            shell.stack.push_back(modal_);
            ChangedLocked(shell);
        }
        HWND owner = modal_->owner;
        if (owner && IsWindow(owner) && IsWindowEnabled(owner)) {
            EnableWindow(owner, FALSE);
            reenable_ = true;
        }
    }
    ~ModalSession() {
        ShellState &shell = Shell();
        {
            std::lock_guard guard(shell.lock);
            modal_->ended = true;
            ChangedLocked(shell);
        }
        if (reenable_ && IsWindow(modal_->owner))
            EnableWindow(modal_->owner, TRUE);
        DWORD next = 0;
        {
            std::lock_guard guard(shell.lock);
            shell.stack.erase(std::remove(shell.stack.begin(), shell.stack.end(), modal_),
                              shell.stack.end());
            if (shell.foreground == modal_->hwnd)
                shell.foreground = nullptr;
            if (!shell.input.empty())
                if (const auto top = TopModalLocked(shell))
                    next = top->threadId;
            ChangedLocked(shell);
            shell.idle.notify_all();
        }
        if (next)
            PostThreadMessageW(next, kWakeMessage, 0, 0);
        PresentIfChanged();
    }
    ModalSession(const ModalSession &) = delete;
    ModalSession &operator=(const ModalSession &) = delete;

private:
    std::shared_ptr<Modal> modal_;
    bool reenable_ = false;
};

void EndModal(const std::shared_ptr<Modal> &modal, INT_PTR result) {
    ShellState &shell = Shell();
    std::lock_guard guard(shell.lock);
    if (!modal->ended) {
        modal->ended = true;
        modal->result = result;
        ChangedLocked(shell);
    }
}

// ---------------------------------------------------------------- input

// The tab stops of a dialog in template order.
std::vector<HWND> TabStops(const Modal &modal) {
    ShellState &shell = Shell();
    std::lock_guard guard(shell.lock);
    std::vector<HWND> stops;
    for (HWND hwnd : modal.controls) {
        const auto c = FindControlLocked(shell, hwnd);
        if (c && IsTabStopLocked(*c))
            stops.push_back(hwnd);
    }
    return stops;
}

void TabFocus(const std::shared_ptr<Modal> &modal, bool backwards) {
    const std::vector<HWND> stops = TabStops(*modal);
    if (stops.empty())
        return;
    HWND focus = nullptr;
    int focusOrder = -1;
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        focus = modal->focus;
        const auto it = std::find(modal->controls.begin(), modal->controls.end(), focus);
        if (it != modal->controls.end())
            focusOrder = static_cast<int>(it - modal->controls.begin());
    }
    // Position of every stop in template order, to find the neighbour of a
    // focus that is not itself a stop (disabled meanwhile).
    auto orderOf = [&](HWND hwnd) {
        return static_cast<int>(std::find(modal->controls.begin(), modal->controls.end(), hwnd) -
                                modal->controls.begin());
    };
    HWND next = nullptr;
    if (!backwards) {
        next = stops.front();
        for (HWND stop : stops) {
            if (orderOf(stop) > focusOrder) {
                next = stop;
                break;
            }
        }
    } else {
        next = stops.back();
        for (auto it = stops.rbegin(); it != stops.rend(); ++it) {
            if (focusOrder >= 0 && orderOf(*it) < focusOrder) {
                next = *it;
                break;
            }
        }
    }
    MoveFocus(modal, next);
}

bool Inside(const CellRect &r, int x, int y) {
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

void Click(const std::shared_ptr<Modal> &modal, int x, int y) {
    ShellState &shell = Shell();
    HWND target = nullptr;
    int relX = 0, relY = 0;
    bool focusable = false;
    bool captionOk = false;
    bool softKey = false;
    int softKeyIndex = 0;
    {
        std::lock_guard guard(shell.lock);
        CellRect whole, client;
        DialogAreasLocked(shell, *modal, whole, client);
        const bool bar = modal->menuBar.has_value() || modal->emptyMenu;
        if (bar && y == shell.lines - 1) {
            softKey = true;
            softKeyIndex = x < shell.columns / 2 ? 0 : 1;
        } else if (y == whole.y && modal->captionOk && x >= whole.x + whole.width - 6 &&
                   x < whole.x + whole.width) {
            captionOk = true;
        } else {
            // A dropped list lies over everything else of its dialog.
            for (HWND hwnd : modal->controls) {
                const auto c = FindControlLocked(shell, hwnd);
                if (!c || !c->dropped || !c->visible)
                    continue;
                const int shown =
                    std::min({static_cast<int>(c->items.size()), std::max(c->cells.height - 1, 1),
                              std::max(shell.lines - 1 - (client.y + c->cells.y + 1), 1)});
                CellRect list{client.x + c->cells.x, client.y + c->cells.y,
                              std::max(c->cells.width, 3), shown + 1};
                target = hwnd;
                relX = x - list.x;
                relY = Inside(list, x, y) ? y - list.y : 0; // outside: closes it
                break;
            }
            if (!target) {
                for (auto it = modal->controls.rbegin(); it != modal->controls.rend(); ++it) {
                    const auto c = FindControlLocked(shell, *it);
                    if (!c || !c->visible || !c->enabled || c->kind == ControlKind::Static)
                        continue;
                    CellRect r{client.x + c->cells.x, client.y + c->cells.y, c->cells.width,
                               c->kind == ControlKind::Combo ? 1 : c->cells.height};
                    if (!Inside(r, x, y))
                        continue;
                    target = *it;
                    relX = x - r.x;
                    relY = y - r.y;
                    focusable = true;
                    break;
                }
            }
        }
    }
    if (softKey) {
        PressSoftKey(modal, softKeyIndex);
    } else if (captionOk) {
        SendMessageW(modal->hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    } else if (target) {
        if (focusable)
            MoveFocus(modal, target);
        SendMessageW(target, WM_LBUTTONDOWN, 0, MAKELONG(relX, relY));
    }
}

// The dialog's default behaviour where its procedure did not handle a
// message.
LRESULT DefaultDialogMessage(const std::shared_ptr<Modal> &modal, UINT message, WPARAM wParam,
                             LPARAM lParam) {
    ShellState &shell = Shell();
    std::lock_guard guard(shell.lock);
    switch (message) {
    case WM_SETTEXT:
        modal->caption = BoundedText(reinterpret_cast<const WCHAR *>(lParam));
        ChangedLocked(shell);
        return TRUE;
    case WM_GETTEXT: {
        auto *out = reinterpret_cast<WCHAR *>(lParam);
        if (!out || wParam == 0)
            return 0;
        const size_t count = std::min<size_t>(modal->caption.size(), wParam - 1);
        std::copy_n(modal->caption.data(), count, out);
        out[count] = 0;
        return static_cast<LRESULT>(count);
    }
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(modal->caption.size());
    default:
        return 0; // WM_CLOSE included: a dialog ends only by EndDialog
    }
}

} // namespace

// The procedure of the shell's "Dialog" class: the dialog procedure
// first, the defaults when it answers FALSE.
LRESULT CALLBACK DialogWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    PresentOnExit present;
    std::shared_ptr<Modal> modal;
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        modal = FindModalLocked(shell, hwnd);
    }
    if (!modal)
        return message == WM_CREATE ? 0 : DefWindowProcW(hwnd, message, wParam, lParam);
    const INT_PTR handled = modal->proc ? modal->proc(hwnd, message, wParam, lParam) : FALSE;
    if (handled || message == WM_INITDIALOG)
        return handled;
    return DefaultDialogMessage(modal, message, wParam, lParam);
}

void HandleInput(const std::shared_ptr<Modal> &top, const InputEvent &event) {
    using Kind = InputEvent::Kind;
    if (top->kind == Modal::Kind::MessageBox) {
        if (event.kind == Kind::Click) {
            EndModal(top, IDOK);
        } else if (event.kind == Kind::Key) {
            if (event.virtualKey == VK_RETURN || event.virtualKey == VK_SPACE)
                EndModal(top, IDOK);
            else if (event.virtualKey == VK_ESCAPE)
                EndModal(top, (top->boxType & 0xF) == MB_OKCANCEL ? IDCANCEL : IDOK);
        }
        return;
    }
    if (PopupInput(top, event))
        return;
    if (event.kind == Kind::Click) {
        Click(top, event.x, event.y);
        return;
    }
    if (event.kind == Kind::Key) {
        switch (event.virtualKey) {
        case VK_F1:
            PressSoftKey(top, 0);
            return;
        case VK_F2:
            PressSoftKey(top, 1);
            return;
        case VK_TAB:
            TabFocus(top, event.shift);
            return;
        case VK_ESCAPE: {
            // The keyboard's way to the caption's OK button, unless Escape
            // is closing a dropped list.
            bool listDropped = false;
            {
                ShellState &shell = Shell();
                std::lock_guard guard(shell.lock);
                const auto c = FindControlLocked(shell, top->focus);
                listDropped = c && c->kind == ControlKind::Combo && c->dropped;
            }
            if (!listDropped && top->captionOk) {
                SendMessageW(top->hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                return;
            }
            break;
        }
        default:
            break;
        }
    }
    HWND focus = nullptr;
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        focus = top->focus;
        const auto c = FindControlLocked(shell, focus);
        if (!c || !c->enabled || !c->visible)
            return;
    }
    if (event.kind == Kind::Key)
        SendMessageW(focus, WM_KEYDOWN, event.virtualKey, 0);
    else
        SendMessageW(focus, WM_CHAR, event.character, 0);
}

} // namespace platform::shell::detail

using namespace platform::shell::detail;
using platform::kernel::CurrentThreadId;

// ---------------------------------------------------------------- dialogs

INT_PTR WINAPI DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW templ, HWND owner,
                                       DLGPROC procedure, LPARAM param) {
    if (!templ) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    size_t bound = KnownResourceBytes(templ);
    if (bound == 0)
        bound = kUntrackedTemplateBytes;
    DialogTemplate parsed;
    if (!ParseTemplate(reinterpret_cast<const BYTE *>(templ), bound, parsed)) {
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    if (owner && !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    RegisterShellClasses();
    EnsureQueue();

    auto modal = std::make_shared<Modal>();
    modal->kind = Modal::Kind::Dialog;
    modal->owner = owner;
    modal->threadId = CurrentThreadId();
    modal->proc = procedure;
    modal->caption = parsed.caption;
    modal->style = parsed.style;
    modal->exStyle = parsed.exStyle;
    modal->x = parsed.x;
    modal->y = parsed.y;
    modal->cx = parsed.cx;
    modal->cy = parsed.cy;
    modal->captionOk = (parsed.exStyle & WS_EX_CAPTIONOKBTN) != 0;

    const HWND dialog = CreateWindowExW(parsed.exStyle, u"Dialog", parsed.caption.c_str(),
                                        parsed.style & ~WS_CHILD, parsed.x, parsed.y, parsed.cx,
                                        parsed.cy, nullptr, nullptr, instance, nullptr);
    if (!dialog)
        return -1;
    modal->hwnd = dialog;
    INT_PTR result = -1;
    {
        ModalSession session(modal);
        bool created = true;
        for (const ItemTemplate &item : parsed.items) {
            const HWND control = CreateWindowExW(
                item.exStyle, item.className.c_str(), item.text.c_str(),
                (item.style | WS_CHILD) & ~WS_POPUP, item.x, item.y, item.cx, item.cy, dialog,
                reinterpret_cast<HMENU>(static_cast<uintptr_t>(item.id)), instance, nullptr);
            if (!control) {
                created = false;
                break;
            }
            ShellState &shell = Shell();
            std::lock_guard guard(shell.lock);
            modal->controls.push_back(control);
            if (const auto c = FindControlLocked(shell, control))
                c->order = static_cast<int>(modal->controls.size()) - 1;
        }
        if (created) {
            {
                ShellState &shell = Shell();
                std::lock_guard guard(shell.lock);
                AlignLabelsLocked(shell, parsed.items, modal->controls);
            }
            const std::vector<HWND> stops = TabStops(*modal);
            const HWND first = stops.empty() ? nullptr : stops.front();
            const LRESULT setFocus =
                SendMessageW(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), param);
            if (setFocus && first && IsWindow(first))
                MoveFocus(modal, first);
            RunModal(modal);
            ShellState &shell = Shell();
            std::lock_guard guard(shell.lock);
            result = modal->result;
        } else {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        }
        DestroyWindow(dialog);
    }
    return result;
}

// Ends the dialog's modal loop with `result` (from any thread); the
// dialog disappears from the screen at once.
BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
    PresentOnExit present;
    std::shared_ptr<Modal> modal;
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        modal = FindModalLocked(shell, dialog);
    }
    if (!modal || modal->kind != Modal::Kind::Dialog) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    EndModal(modal, result);
    PostThreadMessageW(modal->threadId, kWakeMessage, 0, 0);
    return TRUE;
}

// Children with that id (the low 16 bits count, as in templates).
HWND WINAPI GetDlgItem(HWND dialog, int id) {
    const WORD wanted = static_cast<WORD>(id);
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        if (const auto modal = FindModalLocked(shell, dialog)) {
            for (HWND hwnd : modal->controls) {
                const auto c = FindControlLocked(shell, hwnd);
                if (c && c->id == wanted)
                    return hwnd;
            }
            SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
            return nullptr;
        }
    }
    if (!IsWindow(dialog)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    for (const auto &info : platform::user::ListWindows()) {
        if (info.parent == dialog && static_cast<WORD>(info.id) == wanted)
            return info.handle;
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

int WINAPI GetDlgCtrlID(HWND control) {
    platform::user::WindowInfo info;
    if (!platform::user::QueryWindow(control, info)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(static_cast<WORD>(info.id));
}

LRESULT WINAPI SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam,
                                   LPARAM lParam) {
    const HWND control = GetDlgItem(dialog, id);
    return control ? SendMessageW(control, message, wParam, lParam) : 0;
}

BOOL WINAPI SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
    const HWND control = GetDlgItem(dialog, id);
    return control ? SetWindowTextW(control, text) : FALSE;
}

UINT WINAPI GetDlgItemTextW(HWND dialog, int id, LPWSTR text, int maxChars) {
    if (text && maxChars > 0)
        text[0] = 0;
    const HWND control = GetDlgItem(dialog, id);
    return control ? static_cast<UINT>(GetWindowTextW(control, text, maxChars)) : 0;
}

// ---------------------------------------------------------------- message boxes

// Modal over everything, on the calling thread (any thread, with or
// without an owner). Enter, Space or a click answer IDOK; Escape answers
// IDCANCEL for MB_OKCANCEL, else IDOK.
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    EnsureQueue();
    auto modal = std::make_shared<Modal>();
    modal->kind = Modal::Kind::MessageBox;
    modal->owner = owner && IsWindow(owner) ? owner : nullptr;
    modal->threadId = CurrentThreadId();
    modal->text = BoundedText(text);
    modal->caption = caption ? BoundedText(caption) : u"Error";
    modal->boxType = type;
    modal->result = IDOK;
    INT_PTR result = IDOK;
    {
        ModalSession session(modal);
        RunModal(modal);
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        result = modal->result;
    }
    return static_cast<int>(result);
}
