// screen_curses.cpp — the phone's terminal screen: composing ScreenView
// snapshots into cells, drawing them with ncurses, reading keys and clicks.
#define NCURSES_WIDECHAR 1
#include "screen_curses.h"

#include "boot.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <platform/emulation.h>
#include <windows.h>

namespace phone {

using platform::shell::ControlView;
using platform::shell::DialogView;
using platform::shell::InputEvent;
using platform::shell::ScreenView;

namespace {

constexpr int kMaxCells = 1000;      // a terminal side we draw at most
constexpr int kSpinnerMs = 150;      // a wait mark frame
constexpr int kIdlePollMs = 250;     // how often a quiet screen looks for a resize
constexpr char kSpinner[] = "|/-\\"; // the wait mark's frames
constexpr int kSpinnerFrames = 4;
constexpr std::string_view kOkMark = "[ok]";
constexpr std::string_view kIconGlyph = "[*]";
constexpr std::string_view kMessageButton = "[ OK ]";
constexpr std::string_view kErrorMark = "(!) ";

// ---- text helpers

// UTF-16 to code points; a lone surrogate becomes U+FFFD.
std::u32string CodePoints(std::u16string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((char32_t(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            out.push_back(0xFFFD);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

void AppendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// A button's or static's text as drawn: "&" marks a mnemonic, "&&" is "&".
std::u16string WithoutPrefix(std::u16string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size())
            ++i;
        out.push_back(text[i]);
    }
    return out;
}

// Lines of a text at its line breaks ("\r\n", "\n" or "\r").
std::vector<std::u16string> SplitLines(std::u16string_view text) {
    std::vector<std::u16string> lines(1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' || text[i] == u'\n') {
            if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
            lines.emplace_back();
        } else {
            lines.back().push_back(text[i]);
        }
    }
    return lines;
}

// Lines broken at line breaks and wrapped at `width` cells.
std::vector<std::u16string> WrapLines(std::u16string_view text, int width) {
    std::vector<std::u16string> out;
    width = std::max(width, 1);
    for (auto &line : SplitLines(text)) {
        if (line.empty())
            out.emplace_back();
        for (size_t at = 0; at < line.size(); at += static_cast<size_t>(width))
            out.push_back(line.substr(at, static_cast<size_t>(width)));
    }
    return out;
}

int Cells(std::u16string_view text) {
    return static_cast<int>(CodePoints(text).size());
}

// A multi-line edit box's text laid out in rows: each row holds the text
// index of every character it shows, so that the caret and the selection
// find their cells.
struct EditRow {
    std::u16string text;
    std::vector<int> source;
    int start = 0;
};

std::vector<EditRow> LayoutEdit(std::u16string_view text, int width) {
    std::vector<EditRow> rows(1);
    width = std::max(width, 1);
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\r')
            continue;
        if (c == u'\n') {
            rows.emplace_back();
            rows.back().start = static_cast<int>(i) + 1;
            continue;
        }
        if (static_cast<int>(rows.back().text.size()) >= width) {
            rows.emplace_back();
            rows.back().start = static_cast<int>(i);
        }
        rows.back().text.push_back(c);
        rows.back().source.push_back(static_cast<int>(i));
    }
    return rows;
}

// The row and column of text index `position`.
void CaretCell(const std::vector<EditRow> &rows, int position, int &row, int &column) {
    row = 0;
    for (size_t r = 0; r < rows.size(); ++r)
        if (rows[r].start <= position)
            row = static_cast<int>(r);
    column = 0;
    for (int s : rows[static_cast<size_t>(row)].source)
        if (s < position)
            ++column;
}

// ---- composing

struct Area {
    int x = 0, y = 0, width = 0, height = 0;
};

void Frame(CellGrid &grid, const Area &a, uint8_t attributes) {
    if (a.width < 2 || a.height < 2)
        return;
    const int right = a.x + a.width - 1, bottom = a.y + a.height - 1;
    for (int x = a.x + 1; x < right; ++x) {
        grid.Fill(x, a.y, 1, 1, U'-', attributes);
        grid.Fill(x, bottom, 1, 1, U'-', attributes);
    }
    for (int y = a.y + 1; y < bottom; ++y) {
        grid.Fill(a.x, y, 1, 1, U'|', attributes);
        grid.Fill(right, y, 1, 1, U'|', attributes);
    }
    for (auto [x, y] : {std::pair{a.x, a.y}, {right, a.y}, {a.x, bottom}, {right, bottom}})
        grid.Fill(x, y, 1, 1, U'+', attributes);
}

// Where a dialog's caption bar and client area are on the screen: its cells
// are its whole area (the shell places it); a full-screen dialog without
// cells covers the screen above the soft-key bar.
void DialogAreas(const DialogView &d, const ScreenView &view, int columns, int lines, Area &whole,
                 Area &client) {
    if (d.cells.width > 0 && d.cells.height > 0)
        whole = {d.cells.x, d.cells.y, d.cells.width, d.cells.height};
    else if (d.fullScreen)
        whole = {0, 0, columns, view.hasMenuBar ? lines - 1 : lines};
    else
        whole = {};
    client = {whole.x, whole.y + 1, whole.width, std::max(whole.height - 1, 0)};
}

uint8_t ControlAttributes(const ControlView &c, uint8_t normal) {
    if (!c.enabled)
        return kDim;
    if (c.focused)
        return kReverse | kBold;
    return normal;
}

void DrawButton(CellGrid &grid, const ControlView &c, int x, int y) {
    const std::u16string text = WithoutPrefix(c.text);
    const int width = std::max(c.cells.width, 2);
    const int inner = width - 2;
    const int length = std::min(Cells(text), inner);
    const int pad = (inner - length) / 2;
    const uint8_t a = ControlAttributes(c, kPlain);
    grid.Fill(x, y, width, 1, U' ', a);
    grid.PutAscii(x, y, "[", a);
    grid.Put(x + 1 + pad, y, text, a, inner);
    grid.PutAscii(x + width - 1, y, "]", a);
}

// The cells a control's text may use on a terminal. Templates are laid out
// for a proportional font, in which a text fits a narrower box than in
// fixed-width cells; a one-line label or a closed list therefore may use
// the free cells to its right, up to the next control on its line (one
// blank between) or the dialog's edge.
int FreeWidth(const DialogView &d, const ControlView &c, const Area &client) {
    int limit = client.width;
    for (const auto &o : d.controls) {
        if (&o == &c || !o.visible || o.cells.x <= c.cells.x)
            continue;
        const int height = o.className == u"COMBOBOX" ? 1 : std::max(o.cells.height, 1);
        if (o.cells.y <= c.cells.y && o.cells.y + height > c.cells.y)
            limit = std::min(limit, o.cells.x - 1);
    }
    return std::max(limit - c.cells.x, 1);
}

int LongestItem(const ControlView &c) {
    int longest = Cells(c.text);
    for (const auto &item : c.items)
        longest = std::max(longest, Cells(item));
    return longest;
}

void DrawStatic(CellGrid &grid, const ControlView &c, int x, int y, int room) {
    const DWORD type = c.style & 0x1Fu;
    if (c.isIcon || type == SS_ICON) {
        grid.PutAscii(x, y, kIconGlyph, c.enabled ? kBold : kDim);
        return;
    }
    const std::u16string text = (c.style & SS_NOPREFIX) ? c.text : WithoutPrefix(c.text);
    int width = std::max(c.cells.width, 1);
    const int height = std::max(c.cells.height, 1);
    if (height == 1)
        width = std::max(width, std::min(room, Cells(text)));
    const auto lines = WrapLines(text, width);
    for (int i = 0; i < height && i < static_cast<int>(lines.size()); ++i) {
        const auto &line = lines[static_cast<size_t>(i)];
        int at = x;
        if (type == SS_CENTER)
            at = x + (width - Cells(line)) / 2;
        else if (type == SS_RIGHT)
            at = x + width - Cells(line);
        grid.Put(at, y + i, line, c.enabled ? kPlain : kDim, width);
    }
}

void DrawCombo(CellGrid &grid, const ControlView &c, int x, int y, int room) {
    const int width = std::max({c.cells.width, 3, std::min(room, LongestItem(c) + 2)});
    const uint8_t a = ControlAttributes(c, kUnderline);
    grid.Fill(x, y, width, 1, U' ', a);
    grid.Put(x, y, c.text, a, width - 2);
    grid.PutAscii(x + width - 1, y, "v", a);
}

// A dropped list goes over everything else of its dialog.
void DrawComboList(CellGrid &grid, const ControlView &c, int x, int y, int freeWidth) {
    const int width = std::max({c.cells.width, 3, std::min(freeWidth, LongestItem(c) + 1)});
    const int count = static_cast<int>(c.items.size());
    const int room = std::max(c.cells.height - 1, 1);
    const int shown = std::min(count, room); // as the shell hit-tests it
    int first = 0;
    if (c.selection >= shown)
        first = c.selection - shown + 1;
    for (int i = 0; i < shown; ++i) {
        const int item = first + i;
        const uint8_t a = item == c.selection ? kReverse | kBold : kUnderline;
        grid.Fill(x, y + 1 + i, width, 1, U' ', a);
        grid.Put(x + 1, y + 1 + i, c.items[static_cast<size_t>(item)], a, width - 1);
    }
}

void DrawEdit(CellGrid &grid, const ControlView &c, int x, int y) {
    const bool multi = (c.style & ES_MULTILINE) != 0;
    const uint8_t base = c.enabled ? kPlain : kDim;
    const int selLow = std::min(c.selStart, c.selEnd), selHigh = std::max(c.selStart, c.selEnd);
    const int caret = c.selEnd;
    const auto cellAttributes = [&](int source, uint8_t normal) -> uint8_t {
        if (c.focused && source >= selLow && source < selHigh)
            return kReverse;
        return normal;
    };
    if (!multi || c.cells.height < 3) {
        // One line: underlined, scrolled so that the caret shows.
        const int width = std::max(c.cells.width, 1);
        const uint8_t a = c.enabled ? kUnderline : kDim;
        const auto rows = LayoutEdit(c.text, INT_MAX / 2);
        const EditRow &row = rows.front();
        int caretRow = 0, caretColumn = 0;
        CaretCell(rows, caret, caretRow, caretColumn);
        const int offset = caretRow == 0 ? std::max(0, caretColumn - (width - 1)) : 0;
        grid.Fill(x, y, width, 1, U' ', a);
        for (int i = 0; i < width && offset + i < static_cast<int>(row.text.size()); ++i) {
            const size_t at = static_cast<size_t>(offset) + static_cast<size_t>(i);
            grid.Put(x + i, y, std::u16string_view(&row.text[at], 1),
                     cellAttributes(row.source[at], a), 1);
        }
        if (c.focused && c.enabled && caretRow == 0 && selLow == selHigh)
            grid.Fill(x + caretColumn - offset, y, 1, 1, grid.At(x + caretColumn - offset, y).ch,
                      kReverse);
        return;
    }
    // Several lines in a frame, wrapped, from the first visible row on (the
    // shell scrolls it; clicks are hit-tested against the same rows).
    const Area box{x, y, c.cells.width, c.cells.height};
    grid.Fill(box.x, box.y, box.width, box.height, U' ', base);
    Frame(grid, box, c.focused ? static_cast<uint8_t>(kBold) : base);
    const int inner = std::max(box.width - 2, 1), rowsShown = box.height - 2;
    const auto rows = LayoutEdit(c.text, inner);
    int caretRow = 0, caretColumn = 0;
    CaretCell(rows, caret, caretRow, caretColumn);
    const int top = std::clamp(c.firstLine, 0, std::max(static_cast<int>(rows.size()) - 1, 0));
    for (int r = 0; r < rowsShown && top + r < static_cast<int>(rows.size()); ++r) {
        const EditRow &row = rows[static_cast<size_t>(top) + static_cast<size_t>(r)];
        for (size_t i = 0; i < row.text.size(); ++i)
            grid.Put(x + 1 + static_cast<int>(i), y + 1 + r, std::u16string_view(&row.text[i], 1),
                     cellAttributes(row.source[i], base), 1);
    }
    if (c.focused && c.enabled && selLow == selHigh && caretRow >= top &&
        caretRow < top + rowsShown && caretColumn < inner)
        grid.Fill(x + 1 + caretColumn, y + 1 + caretRow - top, 1, 1,
                  grid.At(x + 1 + caretColumn, y + 1 + caretRow - top).ch, kReverse);
}

void DrawDialog(CellGrid &grid, const ScreenView &view, const DialogView &d, bool active,
                unsigned spinnerPhase) {
    Area whole, client;
    DialogAreas(d, view, grid.Columns(), grid.Lines(), whole, client);
    grid.Fill(whole.x, whole.y, whole.width, whole.height, U' ', kPlain);
    // The caption bar.
    const uint8_t bar = active ? kReverse | kBold : kReverse;
    grid.Fill(whole.x, whole.y, whole.width, 1, U' ', bar);
    int right = whole.x + whole.width;
    if (d.captionOk) {
        right -= static_cast<int>(kOkMark.size()) + 1;
        grid.PutAscii(right, whole.y, kOkMark, bar);
    }
    if (active && view.waitCursor) {
        right -= 3;
        const char frame[2] = {kSpinner[spinnerPhase % kSpinnerFrames], 0};
        grid.PutAscii(right, whole.y, frame, bar);
    }
    grid.Put(whole.x + 1, whole.y, d.caption, bar, std::max(right - whole.x - 2, 0));

    const ControlView *dropped = nullptr;
    for (const auto &c : d.controls) {
        if (!c.visible)
            continue;
        const int x = client.x + c.cells.x, y = client.y + c.cells.y;
        if (c.className == u"BUTTON")
            DrawButton(grid, c, x, y);
        else if (c.className == u"EDIT")
            DrawEdit(grid, c, x, y);
        else if (c.className == u"COMBOBOX") {
            DrawCombo(grid, c, x, y, FreeWidth(d, c, client));
            if (c.dropped)
                dropped = &c;
        } else
            DrawStatic(grid, c, x, y, FreeWidth(d, c, client));
    }
    // The list goes over everything of its dialog: its room is the edge.
    if (dropped)
        DrawComboList(grid, *dropped, client.x + dropped->cells.x, client.y + dropped->cells.y,
                      std::max(client.width - dropped->cells.x, 1));
}

void DrawMenuBar(CellGrid &grid, const platform::shell::MenuBarView &m) {
    const int y = grid.Lines() - 1;
    const uint8_t bar = kReverse;
    grid.Fill(0, y, grid.Columns(), 1, U' ', bar);
    const std::u16string left = WithoutPrefix(m.left), right = WithoutPrefix(m.right);
    if (!left.empty()) {
        grid.PutAscii(1, y, "F1 ", bar | kDim);
        grid.Put(4, y, left, bar | kBold, grid.Columns() / 2 - 4);
    }
    if (!right.empty()) {
        const int width = std::min(Cells(right), grid.Columns() / 2 - 4);
        const int at = grid.Columns() - 4 - width;
        grid.Put(at, y, right, bar | kBold, width);
        grid.PutAscii(at + width, y, " F2", bar | kDim);
    }
    if (!m.popupOpen || m.popupItems.empty())
        return;
    int longest = 0;
    for (const auto &item : m.popupItems)
        longest = std::max(longest, Cells(WithoutPrefix(item)));
    const int count = static_cast<int>(m.popupItems.size());
    Area box{0, 0, std::min(longest + 4, grid.Columns()), std::min(count + 2, grid.Lines() - 1)};
    box.x = std::max(grid.Columns() - box.width, 0);
    box.y = std::max(y - box.height, 0);
    grid.Fill(box.x, box.y, box.width, box.height, U' ', kPlain);
    Frame(grid, box, kBold);
    for (int i = 0; i < count && i < box.height - 2; ++i) {
        const uint8_t a = i == m.popupSelection ? kReverse | kBold : kPlain;
        grid.Fill(box.x + 1, box.y + 1 + i, box.width - 2, 1, U' ', a);
        grid.Put(box.x + 2, box.y + 1 + i, WithoutPrefix(m.popupItems[static_cast<size_t>(i)]), a,
                 box.width - 3);
    }
}

void DrawMessageBox(CellGrid &grid, const platform::shell::MessageBoxView &m) {
    const int maxInner = std::max(grid.Columns() - 6, 8);
    std::u16string text = m.text;
    if (m.errorIcon)
        text.insert(0, std::u16string(kErrorMark.begin(), kErrorMark.end()));
    const auto lines = WrapLines(text, maxInner);
    int inner = std::max(Cells(m.caption) + 2, static_cast<int>(kMessageButton.size()));
    for (const auto &line : lines)
        inner = std::max(inner, Cells(line));
    inner = std::min(inner, maxInner);
    const int lineCount = static_cast<int>(lines.size());
    Area box{0, 0, inner + 4, lineCount + 5};
    box.height = std::min(box.height, grid.Lines());
    box.x = std::max((grid.Columns() - box.width) / 2, 0);
    box.y = std::max((grid.Lines() - box.height) / 2, 0);
    grid.Fill(box.x, box.y, box.width, box.height, U' ', kPlain);
    Frame(grid, box, kBold);
    grid.Fill(box.x + 1, box.y, box.width - 2, 1, U' ', kReverse | kBold);
    grid.Put(box.x + 2, box.y, m.caption, kReverse | kBold, box.width - 4);
    for (int i = 0; i < lineCount && 2 + i < box.height - 2; ++i)
        grid.Put(box.x + 2, box.y + 2 + i, lines[static_cast<size_t>(i)], kPlain, inner);
    const int buttonX = box.x + (box.width - static_cast<int>(kMessageButton.size())) / 2;
    grid.PutAscii(buttonX, box.y + box.height - 2, kMessageButton, kReverse | kBold);
}

} // namespace

// ---------------------------------------------------------------- CellGrid

CellGrid::CellGrid(int columns, int lines)
    : columns_(std::clamp(columns, 1, kMaxCells)), lines_(std::clamp(lines, 1, kMaxCells)),
      cells_(static_cast<size_t>(columns_) * static_cast<size_t>(lines_)) {}

void CellGrid::Put(int x, int y, std::u16string_view text, uint8_t attributes, int maxCells) {
    if (y < 0 || y >= lines_)
        return;
    const std::u32string points = CodePoints(text);
    const int limit = maxCells < 0 ? columns_ - x : maxCells;
    for (int i = 0; i < limit && i < static_cast<int>(points.size()); ++i) {
        const int at = x + i;
        if (at < 0 || at >= columns_)
            continue;
        char32_t c = points[static_cast<size_t>(i)];
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0))
            c = U'?';
        cells_[CellIndex(at, y)] = {c, attributes};
    }
}

void CellGrid::PutAscii(int x, int y, std::string_view text, uint8_t attributes, int maxCells) {
    Put(x, y, std::u16string(text.begin(), text.end()), attributes, maxCells);
}

void CellGrid::Fill(int x, int y, int width, int height, char32_t ch, uint8_t attributes) {
    for (int row = std::max(y, 0); row < std::min(y + height, lines_); ++row)
        for (int col = std::max(x, 0); col < std::min(x + width, columns_); ++col)
            cells_[CellIndex(col, row)] = {ch, attributes};
}

void CellGrid::Paste(const CellGrid &from, int y) {
    for (int row = std::max(y, 0); row < std::min(y + from.Lines(), lines_); ++row)
        for (int col = 0; col < std::min(from.Columns(), columns_); ++col)
            cells_[CellIndex(col, row)] = from.At(col, row - y);
}

const Cell &CellGrid::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= columns_ || y >= lines_)
        return outside_;
    return cells_[CellIndex(x, y)];
}

std::string CellGrid::Line(int y) const {
    std::string out;
    for (int x = 0; x < columns_; ++x)
        AppendUtf8(out, At(x, y).ch);
    return out;
}

CellGrid ComposeScreen(const ScreenView &view, int columns, int lines, unsigned spinnerPhase) {
    CellGrid grid(columns, lines);
    for (size_t i = 0; i < view.dialogs.size(); ++i)
        DrawDialog(grid, view, view.dialogs[i], i + 1 == view.dialogs.size(), spinnerPhase);
    if (view.dialogs.empty() && view.waitCursor) {
        const char frame[2] = {kSpinner[spinnerPhase % kSpinnerFrames], 0};
        grid.PutAscii(grid.Columns() - 2, 0, frame, kBold);
    }
    if (view.hasMenuBar)
        DrawMenuBar(grid, view.menuBar);
    if (view.hasMessageBox)
        DrawMessageBox(grid, view.messageBox);
    return grid;
}

CellGrid ComposePhoneScreen(const ScreenView &view, const std::string &notice, int columns,
                            int lines, unsigned spinnerPhase) {
    CellGrid grid(columns, lines);
    grid.Paste(ComposeScreen(view, columns, std::max(lines - kNoticeLines, 1), spinnerPhase),
               kNoticeLines);
    if (!notice.empty())
        grid.Put(0, 0, platform::Widen(notice), kBold, columns);
    return grid;
}

// ---------------------------------------------------------------- input

bool TranslateKey(bool isKeyCode, uint32_t key, InputEvent &event) {
    event = InputEvent{};
    event.kind = InputEvent::Kind::Key;
    if (isKeyCode) {
        switch (key) {
        case KEY_BTAB:
            event.virtualKey = VK_TAB;
            event.shift = true;
            return true;
        case KEY_ENTER:
            event.virtualKey = VK_RETURN;
            return true;
        case KEY_UP:
            event.virtualKey = VK_UP;
            return true;
        case KEY_DOWN:
            event.virtualKey = VK_DOWN;
            return true;
        case KEY_LEFT:
            event.virtualKey = VK_LEFT;
            return true;
        case KEY_RIGHT:
            event.virtualKey = VK_RIGHT;
            return true;
        case KEY_HOME:
            event.virtualKey = VK_HOME;
            return true;
        case KEY_END:
            event.virtualKey = VK_END;
            return true;
        case KEY_BACKSPACE:
            event.virtualKey = VK_BACK;
            return true;
        case KEY_DC:
            event.virtualKey = VK_DELETE;
            return true;
        default:
            if (key == static_cast<uint32_t>(KEY_F(1))) {
                event.virtualKey = VK_F1;
                return true;
            }
            if (key == static_cast<uint32_t>(KEY_F(2))) {
                event.virtualKey = VK_F2;
                return true;
            }
            return false;
        }
    }
    switch (key) {
    case '\t':
        event.virtualKey = VK_TAB;
        return true;
    case '\r':
    case '\n':
        event.virtualKey = VK_RETURN;
        return true;
    case ' ':
        event.virtualKey = VK_SPACE;
        return true;
    case 0x08:
    case 0x7F:
        event.virtualKey = VK_BACK;
        return true;
    case 0x1B:
        event.virtualKey = VK_ESCAPE;
        return true;
    default:
        break;
    }
    // Printable characters of the Basic Multilingual Plane.
    if (key < 0x20 || (key >= 0x7F && key < 0xA0) || key > 0xFFFF ||
        (key >= 0xD800 && key <= 0xDFFF))
        return false;
    event.kind = InputEvent::Kind::Char;
    event.character = static_cast<char16_t>(key);
    return true;
}

// ---------------------------------------------------------------- CursesScreen

CursesScreen::CursesScreen(Options options) : options_(std::move(options)) {}

CursesScreen::~CursesScreen() {
    Stop();
}

bool CursesScreen::Start(std::string &error) {
    if (pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot make the screen's wake pipe: ") + std::strerror(errno);
        return false;
    }
    if (!StartThread(thread_, [this] { Run(); })) {
        error = kNoThread;
        return false;
    }
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return started_; });
    if (running_)
        return true;
    error = startError_;
    hold.unlock();
    thread_.join();
    return false;
}

void CursesScreen::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    Wake();
    if (thread_.joinable())
        thread_.join();
    for (int &fd : wakeFds_)
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
}

void CursesScreen::Present(const ScreenView &screen) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        pending_ = screen;
        ++presented_;
    }
    Wake();
}

void CursesScreen::SetNotice(const std::string &text) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (notice_ == text)
            return;
        notice_ = text;
        noticeChanged_ = true;
        ++presented_;
    }
    Wake();
}

void CursesScreen::Wake() {
    if (wakeFds_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = write(wakeFds_[1], &byte, 1); // full pipe: awake
    }
}

std::vector<std::string> CursesScreen::LastDrawn() {
    std::lock_guard<std::mutex> hold(lock_);
    return lastDrawn_;
}

bool CursesScreen::WaitDrawn(int milliseconds) {
    std::unique_lock<std::mutex> hold(lock_);
    const uint64_t target = presented_;
    return changed_.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] {
        return drawn_ >= target || !running_;
    }) && drawn_ >= target;
}

void DrawGrid(WINDOW *window, const CellGrid &grid) {
    int lines = 0, columns = 0;
    getmaxyx(window, lines, columns);
    for (int y = 0; y < grid.Lines() && y < lines; ++y)
        for (int x = 0; x < grid.Columns() && x < columns; ++x) {
            const Cell &cell = grid.At(x, y);
            attr_t a = A_NORMAL;
            if (cell.attributes & kReverse)
                a |= A_REVERSE;
            if (cell.attributes & kDim)
                a |= A_DIM;
            if (cell.attributes & kUnderline)
                a |= A_UNDERLINE;
            if (cell.attributes & kBold)
                a |= A_BOLD;
            const wchar_t text[2] = {static_cast<wchar_t>(cell.ch), 0};
            cchar_t c{};
            setcchar(&c, text, a, 0, nullptr);
            // The bottom-right cell scrolls some terminals: insert it instead.
            if (y == lines - 1 && x == columns - 1)
                mvwins_wch(window, y, x, &c);
            else
                mvwadd_wch(window, y, x, &c);
        }
}

void CursesScreen::Run() {
    SCREEN *screen =
        newterm(options_.terminalType.empty() ? nullptr : options_.terminalType.c_str(),
                options_.out, options_.in);
    if (!screen) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            started_ = true;
            startError_ = "cannot set up the terminal (is TERM set?)";
        }
        changed_.notify_all();
        return;
    }
    set_term(screen);
    cbreak(); // Ctrl-C still powers the phone off
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    if (options_.mouse) {
        mousemask(BUTTON1_CLICKED | BUTTON1_PRESSED, nullptr);
        mouseinterval(0);
    }
    int columns = COLS, lines = LINES;
    // The programs' screen: what lies below the notification line.
    auto tellSize = [&] {
        if (options_.resize)
            options_.resize(columns, std::max(lines - kNoticeLines, 1));
    };
    tellSize();
    {
        std::lock_guard<std::mutex> hold(lock_);
        started_ = running_ = true;
    }
    changed_.notify_all();

    std::optional<ScreenView> shown;
    std::string notice;
    unsigned spinner = 0;
    auto lastSpin = std::chrono::steady_clock::now();
    bool redraw = true;
    const int inFd = fileno(options_.in);
    for (;;) {
        // Input first: everything the terminal has.
        wint_t key = 0;
        int status;
        while ((status = wget_wch(stdscr, &key)) != ERR) {
            const bool isKeyCode = status == KEY_CODE_YES;
            if (isKeyCode && key == KEY_RESIZE) {
                columns = COLS;
                lines = LINES;
                tellSize();
                redraw = true;
                continue;
            }
            if (!isKeyCode && key == 0x0C) { // Ctrl-L: draw everything again
                clearok(curscr, TRUE);
                redraw = true;
                continue;
            }
            InputEvent event;
            if (isKeyCode && key == KEY_MOUSE) {
                MEVENT mouse{};
                if (getmouse(&mouse) == OK &&
                    (mouse.bstate & (BUTTON1_CLICKED | BUTTON1_PRESSED)) &&
                    mouse.y >= kNoticeLines) {
                    event.kind = InputEvent::Kind::Click;
                    event.x = mouse.x;
                    event.y = mouse.y - kNoticeLines;
                    if (options_.input)
                        options_.input(event);
                }
                continue;
            }
            if (TranslateKey(isKeyCode, key, event) && options_.input)
                options_.input(event);
        }
        uint64_t presentedNow;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (stopping_)
                break;
            if (pending_) {
                shown = std::move(pending_);
                pending_.reset();
                redraw = true;
            }
            if (noticeChanged_) {
                notice = notice_;
                noticeChanged_ = false;
                redraw = true;
            }
            presentedNow = presented_;
        }
        const bool waiting = shown && shown->waitCursor;
        const auto now = std::chrono::steady_clock::now();
        if (waiting && now - lastSpin >= std::chrono::milliseconds(kSpinnerMs)) {
            ++spinner;
            lastSpin = now;
            redraw = true;
        }
        if (redraw) {
            const CellGrid grid =
                ComposePhoneScreen(shown ? *shown : ScreenView{}, notice, columns, lines, spinner);
            erase();
            DrawGrid(stdscr, grid);
            wnoutrefresh(stdscr);
            doupdate();
            redraw = false;
            std::vector<std::string> text;
            for (int y = 0; y < grid.Lines(); ++y)
                text.push_back(grid.Line(y));
            {
                std::lock_guard<std::mutex> hold(lock_);
                lastDrawn_ = std::move(text);
                drawn_ = std::max(drawn_, presentedNow);
            }
            changed_.notify_all();
        }
        pollfd fds[2] = {{inFd, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        const int ready = poll(fds, 2, waiting ? kSpinnerMs : kIdlePollMs);
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            char drain[64];
            while (read(wakeFds_[0], drain, sizeof drain) > 0) {
            }
        }
        if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) &&
            !(fds[0].revents & POLLIN)) {
            // The terminal went away: keep drawing nothing, wait to be stopped.
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait_for(hold, std::chrono::milliseconds(kIdlePollMs));
        }
    }
    endwin();
    delscreen(screen);
    {
        std::lock_guard<std::mutex> hold(lock_);
        running_ = false;
    }
    changed_.notify_all();
}

} // namespace phone
