// menubar.cpp — SHInitDialog and the soft-key menu bar (SHCreateMenuBar):
// its description (RT_RCDATA, see aygshell.h), its captions (LoadStringW),
// its popups (an old-style RT_MENU template: MENUITEMTEMPLATEHEADER with
// version 0, then items with MF_POPUP/MF_END flags and UTF-16 texts; the
// extended MENUEX format is refused), and what F1, F2 and the popup keys do.
#include "shell_internal.h"

#include <algorithm>
#include <cstring>

#include "kernel.h"
#include "resource_reader.h"
#include "user.h"

namespace platform::shell::detail {

namespace {

constexpr size_t kMaxMenuText = 256;
constexpr int kMaxMenuDepth = 8;
constexpr size_t kMaxMenuItemsTotal = 1024;

// ---------------------------------------------------------------- menu templates

// Reads one level of items. `popups` gets the items of each popup of this
// level (only the top level is kept); nested popups are read past.
bool ReadMenuLevel(ResourceReader &reader, int depth, size_t &total,
                   std::vector<std::vector<MenuItem>> *popups, std::vector<MenuItem> *items) {
    if (depth > kMaxMenuDepth)
        return false;
    for (;;) {
        if (++total > kMaxMenuItemsTotal)
            return false;
        WORD flags = 0;
        if (!reader.Word(flags))
            return false;
        MenuItem item;
        if (!(flags & MF_POPUP) && !reader.Word(item.id))
            return false;
        if (!reader.String(item.text))
            return false;
        item.enabled = !(flags & (MF_GRAYED | MF_DISABLED));
        if (flags & MF_POPUP) {
            std::vector<MenuItem> inner;
            if (!ReadMenuLevel(reader, depth + 1, total, nullptr, &inner))
                return false;
            if (popups)
                popups->push_back(std::move(inner));
        } else if (items && !(flags & MF_SEPARATOR) && !(item.id == 0 && item.text.empty())) {
            if (items->size() >= kMaxPopupItems)
                return false;
            items->push_back(std::move(item));
        }
        if (flags & MF_END)
            return true;
    }
}

bool ParseMenu(const BYTE *data, size_t size, std::vector<std::vector<MenuItem>> &popups) {
    ResourceReader reader(data, size, kMaxMenuText);
    WORD version = 0, headerSize = 0;
    if (!reader.Word(version) || !reader.Word(headerSize) || version != 0 ||
        !reader.Skip(headerSize))
        return false;
    size_t total = 0;
    return ReadMenuLevel(reader, 0, total, &popups, nullptr);
}

// ---------------------------------------------------------------- the bar

// Cells a menu text takes: "&" marks the access key and takes none ("&&"
// shows one "&").
size_t ShownLength(const std::u16string &text) {
    size_t cells = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size())
            ++i;
        ++cells;
    }
    return cells;
}

void SendCommand(HWND dialog, WORD command) {
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(command, 0), 0);
}

} // namespace

// The menu bar's window: a child of the dialog that goes with it.
LRESULT CALLBACK MenuBarWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        for (const auto &modal : shell.stack) {
            if (modal->menuBar && modal->menuBar->hwnd == hwnd) {
                modal->menuBar.reset();
                ChangedLocked(shell);
            }
        }
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void PressSoftKey(const std::shared_ptr<Modal> &modal, int index) {
    WORD command = 0;
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        if (!modal->menuBar || index < 0 ||
            static_cast<size_t>(index) >= modal->menuBar->keys.size())
            return;
        MenuBar &bar = *modal->menuBar;
        const SoftKey &key = bar.keys[static_cast<size_t>(index)];
        if (!key.enabled)
            return;
        if (key.dropDown) {
            bar.openKey = bar.openKey == index ? -1 : index;
            bar.popupSelection = 0;
            ChangedLocked(shell);
            return;
        }
        command = key.command;
    }
    SendCommand(modal->hwnd, command);
}

bool PopupInput(const std::shared_ptr<Modal> &modal, const InputEvent &event) {
    WORD command = 0;
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        if (!modal->menuBar || modal->menuBar->openKey < 0)
            return false;
        MenuBar &bar = *modal->menuBar;
        const auto &items = bar.keys[static_cast<size_t>(bar.openKey)].popup;
        const int count = static_cast<int>(items.size());
        int chosen = -1;
        ChangedLocked(shell);
        if (event.kind == InputEvent::Kind::Key) {
            switch (event.virtualKey) {
            case VK_UP:
                bar.popupSelection = std::max(bar.popupSelection - 1, 0);
                return true;
            case VK_DOWN:
                bar.popupSelection = std::clamp(bar.popupSelection + 1, 0, std::max(count - 1, 0));
                return true;
            case VK_RETURN:
            case VK_SPACE:
                chosen = bar.popupSelection;
                break;
            case VK_ESCAPE:
            case VK_F1:
            case VK_F2:
            case VK_TAB:
                bar.openKey = -1;
                return true;
            default:
                return true; // the popup holds the keyboard
            }
        } else if (event.kind == InputEvent::Kind::Click) {
            // The popup's frame, as platform/shell.h lays it out.
            size_t longest = 0;
            for (const MenuItem &item : items)
                longest = std::max(longest, ShownLength(item.text));
            const int width = std::min(static_cast<int>(longest) + 4, shell.columns);
            const int height = std::min(count + 2, shell.lines - 1);
            const int x = std::max(shell.columns - width, 0);
            const int y = std::max(shell.lines - 1 - height, 0);
            const int row = event.y - (y + 1);
            if (event.x > x && event.x < x + width - 1 && row >= 0 && row < count &&
                row < height - 2)
                chosen = row;
            else if (event.y == shell.lines - 1) {
                bar.openKey = -1;
                return true;
            }
        } else {
            return true;
        }
        bar.openKey = -1;
        if (chosen < 0 || chosen >= count || !items[static_cast<size_t>(chosen)].enabled)
            return true;
        command = items[static_cast<size_t>(chosen)].id;
    }
    SendCommand(modal->hwnd, command);
    return true;
}

} // namespace platform::shell::detail

using namespace platform::shell::detail;

// Records full screen, the caption OK button and the empty menu bar of a
// running shell dialog.
BOOL WINAPI SHInitDialog(PSHINITDLGINFO info) {
    PresentOnExit present;
    if (!info || !(info->dwMask & SHIDIM_FLAGS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ShellState &shell = Shell();
    std::lock_guard guard(shell.lock);
    const auto modal = FindModalLocked(shell, info->hDlg);
    if (!modal || modal->kind != Modal::Kind::Dialog) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const DWORD flags = info->dwFlags;
    if (flags & SHIDIF_DONEBUTTON)
        modal->captionOk = true;
    if (flags & (SHIDIF_SIZEDLG | SHIDIF_SIZEDLGFULLSCREEN | SHIDIF_FULLSCREENNOMENUBAR))
        modal->fullScreen = true;
    if (flags & SHIDIF_EMPTYMENU)
        modal->emptyMenu = true;
    ChangedLocked(shell);
    return TRUE;
}

// Creates the soft-key bar of a shell dialog from RT_RCDATA nToolBarId,
// its caption strings and the popups of RT_MENU (the menu id the
// description names). cbSize: 36 (the device's size) or more. FALSE with
// ERROR_RESOURCE_NAME_NOT_FOUND / ERROR_INVALID_DATA for a missing or
// malformed resource; the dialog then has no bar.
BOOL WINAPI SHCreateMenuBar(PSHMENUBARINFO info) {
    PresentOnExit present;
    if (!info || info->cbSize < 36) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HINSTANCE module = info->hInstRes;
    const BYTE *data = nullptr;
    size_t size = 0;
    if (!FindResourceBytes(module, MAKEINTRESOURCEW(info->nToolBarId), RT_RCDATA, data, size))
        return FALSE;
    auto word = [&](size_t index, WORD &out) {
        if (index >= size / 2)
            return false;
        std::memcpy(&out, data + index * 2, 2);
        return true;
    };
    WORD menuId = 0, count = 0;
    if (!word(0, menuId) || !word(1, count) || count > kMaxMenuBarButtons ||
        size / 2 < 2 + static_cast<size_t>(count) * 6) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    std::vector<std::vector<MenuItem>> popups;
    bool menuRead = false;
    MenuBar bar;
    for (WORD i = 0; i < count; ++i) {
        WORD image = 0, command = 0, state = 0, style = 0, caption = 0, popup = 0;
        const size_t at = 2 + static_cast<size_t>(i) * 6;
        word(at, image);
        word(at + 1, command);
        word(at + 2, state);
        word(at + 3, style);
        word(at + 4, caption);
        word(at + 5, popup);
        SoftKey key;
        key.command = command;
        key.enabled = (state & TBSTATE_ENABLED) != 0;
        WCHAR text[kMaxMenuText + 1] = {};
        if (LoadStringW(module, caption, text, static_cast<int>(kMaxMenuText + 1)) <= 0) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return FALSE;
        }
        key.caption = text;
        if (popup != NOMENU) {
            if (!menuRead) {
                const BYTE *menu = nullptr;
                size_t menuSize = 0;
                if (!FindResourceBytes(module, MAKEINTRESOURCEW(menuId), RT_MENU, menu, menuSize))
                    return FALSE;
                if (!ParseMenu(menu, menuSize, popups)) {
                    SetLastError(ERROR_INVALID_DATA);
                    return FALSE;
                }
                menuRead = true;
            }
            if (popup >= popups.size()) {
                SetLastError(ERROR_INVALID_DATA);
                return FALSE;
            }
            key.popup = popups[popup];
        }
        // A drop-down button without a popup is a plain button.
        key.dropDown = (style & TBSTYLE_DROPDOWN) && popup != NOMENU;
        bar.keys.push_back(std::move(key));
    }
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        const auto modal = FindModalLocked(shell, info->hwndParent);
        if (!modal || modal->kind != Modal::Kind::Dialog) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
    }
    RegisterShellClasses();
    const HWND window = CreateWindowExW(0, u"menu_worker", u"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0,
                                        info->hwndParent, nullptr, module, nullptr);
    if (!window)
        return FALSE;
    bar.hwnd = window;
    HWND previous = nullptr;
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        const auto modal = FindModalLocked(shell, info->hwndParent);
        if (!modal) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (modal->menuBar)
            previous = modal->menuBar->hwnd;
        modal->menuBar = std::move(bar);
        ChangedLocked(shell);
    }
    if (previous)
        DestroyWindow(previous);
    info->hwndMB = window;
    return TRUE;
}
