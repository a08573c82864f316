// controls.cpp — the shell's control classes "BUTTON", "EDIT", "STATIC"
// and "COMBOBOX": real windows whose procedures keep their state in the
// shell (so that a snapshot can show them) and answer the Win32 messages.
//
// Choices where Windows leaves room:
//  - An edit box holds at most kEditCapacity (65535) characters; EM_LIMITTEXT
//    lowers that (0 restores it). Typing beyond the limit is refused. When
//    EM_REPLACESEL would pass it, a multi-line box drops its oldest text —
//    whole lines where it can — so that a log that is appended forever keeps
//    its newest part; a single-line box cuts the inserted text. WM_SETTEXT
//    keeps the first kEditCapacity characters.
//  - Lines of an edit box end at "\n" ("\r\n" in practice); a multi-line box
//    of three or more lines wraps its text in a frame (see platform/shell.h);
//    EM_GETLINECOUNT counts wrapped rows, as Windows does.
//  - A combo box is a drop-down list: Up/Down change the selection at once
//    and send CBN_SELCHANGE whether the list is dropped or not; Enter,
//    Space and F4 drop or close the list, Escape closes it.
//  - Enter in an edit box does nothing (no default push button here).
#include "shell_internal.h"

#include <algorithm>
#include <mutex>

#include "kernel.h"

namespace platform::shell::detail {

namespace {

// Sends WM_COMMAND with a notification to the control's dialog.
void Notify(HWND control, WORD code) {
    HWND dialog = nullptr;
    WORD id = 0;
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        const auto c = FindControlLocked(shell, control);
        if (!c)
            return;
        dialog = c->dialog;
        id = c->id;
    }
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
}

// ---------------------------------------------------------------- text helpers

LRESULT CopyText(const std::u16string &text, WPARAM room, LPARAM buffer) {
    auto *out = reinterpret_cast<WCHAR *>(buffer);
    if (!out || room == 0)
        return 0;
    const size_t count = std::min<size_t>(text.size(), room - 1);
    std::copy_n(text.data(), count, out);
    out[count] = 0;
    return static_cast<LRESULT>(count);
}

// ---------------------------------------------------------------- edit boxes

int TextLength(const Control &c) {
    return static_cast<int>(c.text.size());
}

bool IsMultiLine(const Control &c) {
    return (c.style & ES_MULTILINE) != 0;
}

// Under the lock: keeps the caret's row in view (auto-scrolling boxes, or
// whenever the caret left the view).
void ScrollToCaretLocked(Control &c) {
    const EditLayout layout = LayoutEdit(c);
    if (!layout.framed) {
        c.firstLine = 0;
        return;
    }
    const int caretRow = RowOfPosition(layout, c.selEnd);
    const int rows = static_cast<int>(layout.rowStart.size());
    c.firstLine = std::clamp(c.firstLine, 0, std::max(rows - 1, 0));
    if (caretRow >= c.firstLine + layout.rowsShown)
        c.firstLine = caretRow - layout.rowsShown + 1;
    if (caretRow < c.firstLine)
        c.firstLine = caretRow;
}

void SetSelectionLocked(Control &c, int start, int end) {
    const int length = TextLength(c);
    if (start < 0) {
        // No selection: the caret stays where it is.
        c.selStart = c.selEnd = std::clamp(c.selEnd, 0, length);
        return;
    }
    if (end < 0 || end > length)
        end = length;
    start = std::min(start, length);
    if (start > end)
        std::swap(start, end);
    c.selStart = start;
    c.selEnd = end;
}

// Replaces the selection with `insert`, under the capacity rule above.
// Answers false when nothing fits (typing).
bool ReplaceSelectionLocked(Control &c, std::u16string insert, bool typing) {
    int low = std::min(c.selStart, c.selEnd), high = std::max(c.selStart, c.selEnd);
    low = std::clamp(low, 0, TextLength(c));
    high = std::clamp(high, low, TextLength(c));
    const size_t limit = std::min(c.limit, kEditCapacity);
    size_t newLength = c.text.size() - static_cast<size_t>(high - low) + insert.size();
    if (newLength > limit) {
        if (typing)
            return false;
        size_t over = newLength - limit;
        if (IsMultiLine(c)) {
            // Drop the oldest text in front of the selection, up to a line end.
            size_t cut = std::min(over, static_cast<size_t>(low));
            if (cut > 0 && cut < static_cast<size_t>(low)) {
                const size_t lineEnd = c.text.find(u'\n', cut - 1);
                if (lineEnd != std::u16string::npos && lineEnd + 1 <= static_cast<size_t>(low))
                    cut = lineEnd + 1;
            }
            c.text.erase(0, cut);
            low -= static_cast<int>(cut);
            high -= static_cast<int>(cut);
            newLength -= cut;
            c.firstLine = 0;
            over = newLength > limit ? newLength - limit : 0;
            // What still does not fit: keep the newest part of the insert.
            if (over > 0)
                insert.erase(0, std::min(over, insert.size()));
        } else {
            insert.resize(insert.size() - std::min(over, insert.size()));
        }
    }
    c.text.replace(static_cast<size_t>(low), static_cast<size_t>(high - low), insert);
    c.selStart = c.selEnd = low + static_cast<int>(insert.size());
    if (c.text.size() > limit) // the selection itself was longer than the limit
        c.text.resize(limit);
    c.selStart = c.selEnd = std::min(c.selEnd, TextLength(c));
    return true;
}

// The position one step left or right of `position`, a "\r\n" pair being
// one step.
int StepLeft(const Control &c, int position) {
    if (position <= 0)
        return 0;
    if (position >= 2 && c.text[static_cast<size_t>(position - 1)] == u'\n' &&
        c.text[static_cast<size_t>(position - 2)] == u'\r')
        return position - 2;
    return position - 1;
}

int StepRight(const Control &c, int position) {
    const int length = TextLength(c);
    if (position >= length)
        return length;
    if (position + 1 < length && c.text[static_cast<size_t>(position)] == u'\r' &&
        c.text[static_cast<size_t>(position + 1)] == u'\n')
        return position + 2;
    return position + 1;
}

int LineStart(const Control &c, int position) {
    if (!IsMultiLine(c) || position <= 0)
        return 0;
    const size_t at = c.text.rfind(u'\n', static_cast<size_t>(position - 1));
    return at == std::u16string::npos ? 0 : static_cast<int>(at) + 1;
}

int LineEnd(const Control &c, int position) {
    if (!IsMultiLine(c))
        return TextLength(c);
    size_t at = c.text.find(u'\n', static_cast<size_t>(position));
    if (at == std::u16string::npos)
        return TextLength(c);
    if (at > 0 && c.text[at - 1] == u'\r')
        --at;
    return static_cast<int>(at);
}

// The text position shown at `row`, `column` of the layout.
int PositionAt(const Control &c, const EditLayout &layout, int row, int column) {
    const int rows = static_cast<int>(layout.rowStart.size());
    row = std::clamp(row, 0, rows - 1);
    int position = layout.rowStart[static_cast<size_t>(row)];
    const int end = row + 1 < rows ? layout.rowStart[static_cast<size_t>(row + 1)] : TextLength(c);
    int cells = 0;
    while (position < end && cells < column) {
        const char16_t ch = c.text[static_cast<size_t>(position)];
        if (ch == u'\n' || (ch == u'\r' && position + 1 < TextLength(c) &&
                            c.text[static_cast<size_t>(position + 1)] == u'\n'))
            break;
        if (ch != u'\r')
            ++cells;
        ++position;
    }
    return position;
}

int ColumnOf(const Control &c, const EditLayout &layout, int position) {
    const int row = RowOfPosition(layout, position);
    int cells = 0;
    for (int p = layout.rowStart[static_cast<size_t>(row)]; p < position; ++p) {
        if (c.text[static_cast<size_t>(p)] != u'\r')
            ++cells;
    }
    return cells;
}

void MoveCaretLocked(Control &c, int position) {
    c.selStart = c.selEnd = std::clamp(position, 0, TextLength(c));
}

LRESULT EditKey(Control &c, UINT key) {
    const int caret = c.selEnd;
    const bool readOnly = (c.style & ES_READONLY) != 0;
    const int low = std::min(c.selStart, c.selEnd), high = std::max(c.selStart, c.selEnd);
    switch (key) {
    case VK_LEFT:
        MoveCaretLocked(c, low != high ? low : StepLeft(c, caret));
        break;
    case VK_RIGHT:
        MoveCaretLocked(c, low != high ? high : StepRight(c, caret));
        break;
    case VK_HOME:
        MoveCaretLocked(c, LineStart(c, caret));
        break;
    case VK_END:
        MoveCaretLocked(c, LineEnd(c, caret));
        break;
    case VK_UP:
    case VK_DOWN: {
        if (!IsMultiLine(c))
            return 0;
        const EditLayout layout = LayoutEdit(c);
        const int row = RowOfPosition(layout, caret) + (key == VK_UP ? -1 : 1);
        if (row < 0 || row >= static_cast<int>(layout.rowStart.size()))
            return 0;
        MoveCaretLocked(c, PositionAt(c, layout, row, ColumnOf(c, layout, caret)));
        break;
    }
    case VK_BACK:
    case VK_DELETE:
        if (readOnly)
            return 0;
        if (low == high) {
            const int from = key == VK_BACK ? StepLeft(c, caret) : caret;
            const int to = key == VK_BACK ? caret : StepRight(c, caret);
            c.text.erase(static_cast<size_t>(from), static_cast<size_t>(to - from));
            MoveCaretLocked(c, from);
        } else {
            c.text.erase(static_cast<size_t>(low), static_cast<size_t>(high - low));
            MoveCaretLocked(c, low);
        }
        break;
    default:
        return 0;
    }
    ScrollToCaretLocked(c);
    return 0;
}

LRESULT EditMessage(Control &c, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case EM_GETSEL: {
        const int low = std::min(c.selStart, c.selEnd), high = std::max(c.selStart, c.selEnd);
        if (auto *start = reinterpret_cast<DWORD *>(wParam))
            *start = static_cast<DWORD>(low);
        if (auto *end = reinterpret_cast<DWORD *>(lParam))
            *end = static_cast<DWORD>(high);
        return MAKELONG(std::min(low, 0xFFFF), std::min(high, 0xFFFF));
    }
    case EM_SETSEL:
        SetSelectionLocked(c, static_cast<int>(static_cast<LONG_PTR>(wParam)),
                           static_cast<int>(lParam));
        ScrollToCaretLocked(c);
        return 0;
    case EM_SCROLLCARET:
        ScrollToCaretLocked(c);
        return TRUE;
    case EM_REPLACESEL:
        ReplaceSelectionLocked(c, BoundedText(reinterpret_cast<const WCHAR *>(lParam)), false);
        ScrollToCaretLocked(c);
        return 0;
    case EM_LIMITTEXT:
        c.limit = wParam == 0 ? kEditCapacity : std::min<size_t>(wParam, kEditCapacity);
        return 0;
    case EM_GETLINECOUNT:
        if (!IsMultiLine(c))
            return 1;
        return static_cast<LRESULT>(LayoutEdit(c).rowStart.size());
    case WM_SETTEXT:
        c.text = BoundedText(reinterpret_cast<const WCHAR *>(lParam));
        if (c.text.size() > kEditCapacity)
            c.text.resize(kEditCapacity);
        c.selStart = c.selEnd = 0;
        c.firstLine = 0;
        return TRUE;
    case WM_KEYDOWN:
        return EditKey(c, static_cast<UINT>(wParam));
    case WM_CHAR: {
        const auto ch = static_cast<char16_t>(wParam);
        if (ch < 0x20 || ch == 0x7F || (c.style & ES_READONLY))
            return 0;
        ReplaceSelectionLocked(c, std::u16string(1, ch), true);
        ScrollToCaretLocked(c);
        return 0;
    }
    case WM_LBUTTONDOWN: {
        const int x = static_cast<short>(LOWORD(lParam)), y = static_cast<short>(HIWORD(lParam));
        const EditLayout layout = LayoutEdit(c);
        if (layout.framed)
            MoveCaretLocked(c, PositionAt(c, layout, c.firstLine + y - 1, std::max(x - 1, 0)));
        else
            MoveCaretLocked(c, PositionAt(c, layout, 0, std::max(x, 0)));
        return 0;
    }
    default:
        return 0;
    }
}

// ---------------------------------------------------------------- combo boxes

// What a combo box message does; `notify` gets the notification to send
// (after the lock is released), 0 for none.
LRESULT ComboMessage(Control &c, UINT message, WPARAM wParam, LPARAM lParam, WORD &notify,
                     bool &notifyAny) {
    const int count = static_cast<int>(c.items.size());
    const auto index = static_cast<int>(static_cast<LONG_PTR>(wParam));
    switch (message) {
    case CB_ADDSTRING:
        if (!lParam)
            return CB_ERR;
        if (c.items.size() >= kMaxComboItems)
            return CB_ERRSPACE;
        c.items.push_back(BoundedText(reinterpret_cast<const WCHAR *>(lParam)));
        return count;
    case CB_DELETESTRING:
        if (index < 0 || index >= count)
            return CB_ERR;
        c.items.erase(c.items.begin() + index);
        if (c.selection == index)
            c.selection = -1;
        else if (c.selection > index)
            --c.selection;
        return count - 1;
    case CB_GETCOUNT:
        return count;
    case CB_GETCURSEL:
        return c.selection >= 0 ? c.selection : CB_ERR;
    case CB_SETCURSEL:
        // -1 clears; an index out of range clears too and answers CB_ERR.
        if (index < 0 || index >= count) {
            c.selection = -1;
            return CB_ERR;
        }
        c.selection = index;
        return index;
    case CB_GETLBTEXT: {
        // No room is given: the caller provides CB_GETLBTEXTLEN + 1.
        auto *out = reinterpret_cast<WCHAR *>(lParam);
        if (index < 0 || index >= count || !out)
            return CB_ERR;
        const std::u16string &item = c.items[static_cast<size_t>(index)];
        std::copy(item.begin(), item.end(), out);
        out[item.size()] = 0;
        return static_cast<LRESULT>(item.size());
    }
    case CB_GETLBTEXTLEN:
        if (index < 0 || index >= count)
            return CB_ERR;
        return static_cast<LRESULT>(c.items[static_cast<size_t>(index)].size());
    case CB_RESETCONTENT:
        c.items.clear();
        c.selection = -1;
        return CB_OKAY;
    case CB_SHOWDROPDOWN:
        if ((wParam != 0) != c.dropped) {
            c.dropped = wParam != 0;
            notify = c.dropped ? CBN_DROPDOWN : CBN_CLOSEUP;
            notifyAny = true;
        }
        return TRUE;
    case CB_GETDROPPEDSTATE:
        return c.dropped ? TRUE : FALSE;
    case WM_SETTEXT:
        return CB_ERR; // a drop-down list shows only its entries
    case WM_KEYDOWN:
        switch (wParam) {
        case VK_UP:
        case VK_DOWN:
        case VK_HOME:
        case VK_END: {
            if (count == 0)
                return 0;
            int next = c.selection;
            if (wParam == VK_UP)
                next = c.selection < 0 ? 0 : std::max(c.selection - 1, 0);
            else if (wParam == VK_DOWN)
                next = c.selection < 0 ? 0 : std::min(c.selection + 1, count - 1);
            else
                next = wParam == VK_HOME ? 0 : count - 1;
            if (next != c.selection) {
                c.selection = next;
                notify = CBN_SELCHANGE;
                notifyAny = true;
            }
            return 0;
        }
        case VK_RETURN:
        case VK_SPACE:
        case VK_F4:
            c.dropped = !c.dropped;
            notify = c.dropped ? CBN_DROPDOWN : CBN_CLOSEUP;
            notifyAny = true;
            return 0;
        case VK_ESCAPE:
            if (c.dropped) {
                c.dropped = false;
                notify = CBN_CLOSEUP;
                notifyAny = true;
            }
            return 0;
        default:
            return 0;
        }
    case WM_LBUTTONDOWN: {
        // lParam's y: 0 the field; 1 + i the i-th shown row of the list.
        const int y = static_cast<short>(HIWORD(lParam));
        if (y <= 0 || !c.dropped) {
            c.dropped = !c.dropped;
            notify = c.dropped ? CBN_DROPDOWN : CBN_CLOSEUP;
            notifyAny = true;
            return 0;
        }
        const int room = std::max(c.cells.height - 1, 1);
        const int shown = std::min(count, room);
        const int first = c.selection >= shown ? c.selection - shown + 1 : 0;
        const int item = first + y - 1;
        c.dropped = false;
        if (item >= 0 && item < count && item != c.selection) {
            c.selection = item;
            notify = CBN_SELCHANGE;
            notifyAny = true;
        }
        return 0;
    }
    default:
        return 0;
    }
}

// ---------------------------------------------------------------- the procedure

LRESULT ControlProc(ControlKind kind, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    PresentOnExit present;
    ShellState &shell = Shell();
    if (message == WM_CREATE) {
        const auto *create = reinterpret_cast<const CREATESTRUCTW *>(lParam);
        auto control = std::make_shared<Control>();
        control->hwnd = hwnd;
        control->kind = kind;
        if (create) {
            control->dialog = create->hwndParent;
            control->id = static_cast<WORD>(reinterpret_cast<uintptr_t>(create->hMenu));
            control->style = static_cast<DWORD>(create->style);
            control->cells = CellsFromDialogUnits(create->x, create->y, create->cx, create->cy);
            control->enabled = (control->style & WS_DISABLED) == 0;
            control->visible = (control->style & WS_VISIBLE) != 0;
            if (kind != ControlKind::Combo)
                control->text = BoundedText(create->lpszName);
            if (kind == ControlKind::Edit && control->text.size() > kEditCapacity)
                control->text.resize(kEditCapacity);
        }
        std::lock_guard guard(shell.lock);
        shell.controls[hwnd] = control;
        ChangedLocked(shell);
        return 0;
    }
    if (message == WM_DESTROY) {
        std::lock_guard guard(shell.lock);
        shell.controls.erase(hwnd);
        ChangedLocked(shell);
        return 0;
    }
    // Presses and notifications go out after the lock is released.
    bool press = false;
    WORD notify = 0;
    bool notifyAny = false;
    LRESULT result = 0;
    {
        std::lock_guard guard(shell.lock);
        const auto c = FindControlLocked(shell, hwnd);
        if (!c)
            return DefWindowProcW(hwnd, message, wParam, lParam);
        const bool input = message == WM_KEYDOWN || message == WM_CHAR ||
                           message == WM_LBUTTONDOWN || message == BM_CLICK;
        if (input && !c->enabled)
            return 0;
        switch (message) {
        case WM_GETTEXT:
            if (kind == ControlKind::Combo) {
                const std::u16string none;
                const bool has =
                    c->selection >= 0 && static_cast<size_t>(c->selection) < c->items.size();
                return CopyText(has ? c->items[static_cast<size_t>(c->selection)] : none, wParam,
                                lParam);
            }
            return CopyText(c->text, wParam, lParam);
        case WM_GETTEXTLENGTH:
            if (kind == ControlKind::Combo)
                return c->selection >= 0 && static_cast<size_t>(c->selection) < c->items.size()
                           ? static_cast<LRESULT>(
                                 c->items[static_cast<size_t>(c->selection)].size())
                           : 0;
            return static_cast<LRESULT>(c->text.size());
        case WM_ENABLE:
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            return 0;
        default:
            break;
        }
        switch (kind) {
        case ControlKind::Button:
            if (message == WM_SETTEXT) {
                c->text = BoundedText(reinterpret_cast<const WCHAR *>(lParam));
                result = TRUE;
            } else if (message == BM_CLICK || message == WM_LBUTTONDOWN ||
                       (message == WM_KEYDOWN && (wParam == VK_RETURN || wParam == VK_SPACE))) {
                press = true;
            }
            break;
        case ControlKind::Static:
            if (message == WM_SETTEXT) {
                c->text = BoundedText(reinterpret_cast<const WCHAR *>(lParam));
                result = TRUE;
            }
            break;
        case ControlKind::Edit:
            result = EditMessage(*c, message, wParam, lParam);
            break;
        case ControlKind::Combo:
            result = ComboMessage(*c, message, wParam, lParam, notify, notifyAny);
            break;
        }
        ChangedLocked(shell);
    }
    if (press)
        Notify(hwnd, BN_CLICKED);
    if (notifyAny)
        Notify(hwnd, notify);
    return result;
}

LRESULT CALLBACK ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return ControlProc(ControlKind::Button, hwnd, message, wParam, lParam);
}
LRESULT CALLBACK EditProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return ControlProc(ControlKind::Edit, hwnd, message, wParam, lParam);
}
LRESULT CALLBACK StaticProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return ControlProc(ControlKind::Static, hwnd, message, wParam, lParam);
}
LRESULT CALLBACK ComboProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return ControlProc(ControlKind::Combo, hwnd, message, wParam, lParam);
}

} // namespace

// Declared in dialogs.cpp and menubar.cpp.
LRESULT CALLBACK DialogWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK MenuBarWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

void RegisterShellClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        const struct {
            const WCHAR *name;
            WNDPROC proc;
        } classes[] = {{u"BUTTON", ButtonProc},       {u"EDIT", EditProc},
                       {u"STATIC", StaticProc},       {u"COMBOBOX", ComboProc},
                       {u"Dialog", DialogWindowProc}, {u"menu_worker", MenuBarWindowProc}};
        for (const auto &c : classes) {
            WNDCLASSW wc{};
            wc.lpfnWndProc = c.proc;
            wc.lpszClassName = c.name;
            RegisterClassW(&wc); // a name the program took first stays the program's
        }
    });
}

bool IsTabStopLocked(const Control &control) {
    return (control.style & WS_TABSTOP) && control.enabled && control.visible;
}

CellRect CellsFromDialogUnits(int x, int y, int cx, int cy) {
    CellRect r;
    r.x = (x + 2) / 4;
    r.y = (y + 4) / 8;
    r.width = std::max(cx / 4, 1);
    r.height = std::max(cy / 8, 1);
    return r;
}

EditLayout LayoutEdit(const Control &c) {
    EditLayout layout;
    layout.framed = IsMultiLine(c) && c.cells.height >= 3;
    layout.width = layout.framed ? std::max(c.cells.width - 2, 1) : 0x7FFFFFFF;
    layout.rowsShown = layout.framed ? c.cells.height - 2 : 1;
    layout.rowStart.push_back(0);
    int cells = 0;
    const int length = TextLength(c);
    for (int i = 0; i < length; ++i) {
        const char16_t ch = c.text[static_cast<size_t>(i)];
        if (ch == u'\r')
            continue;
        if (ch == u'\n') {
            if (!IsMultiLine(c))
                continue;
            layout.rowStart.push_back(i + 1);
            cells = 0;
            continue;
        }
        if (cells >= layout.width) {
            layout.rowStart.push_back(i);
            cells = 0;
        }
        ++cells;
    }
    return layout;
}

int RowOfPosition(const EditLayout &layout, int position) {
    const auto it = std::upper_bound(layout.rowStart.begin(), layout.rowStart.end(), position);
    return std::max(static_cast<int>(it - layout.rowStart.begin()) - 1, 0);
}

} // namespace platform::shell::detail
