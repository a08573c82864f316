// platform/shell.h — the emulated phone's screen. The shell keeps the
// windows, dialogs, controls, menu bar and message boxes; a renderer draws
// a snapshot of them and feeds input back. Two renderers: headless (tests;
// the default) and a terminal renderer (ncurses) for the phone.
//
// Geometry is in character cells: one dialog unit is a quarter of a cell
// across and an eighth of a line down, so template positions map straight
// to cells (x / 4, y / 8). The screen's origin is the top-left cell; the
// top-most dialog fills the screen when SHInitDialog asked for full screen.
//
// Layout (the shell hit-tests clicks with the same rules):
//  - DialogView.cells is the dialog's whole area on the screen: a full-screen
//    dialog covers every line but the last when it has a menu bar. Its first
//    line is the caption bar; the client area starts on the line below.
//  - ControlView.cells are relative to that client area: left = (x + 2) / 4,
//    top = (y + 4) / 8 (nearest cell), width = cx / 4, height = cy / 8
//    (at least 1 x 1).
//  - The caption's OK mark sits in the last six cells of the caption line.
//  - A combo box's field is the first line of its cells; its dropped list
//    shows below it, min(items, height - 1) rows, scrolled so that the
//    selection shows (first = selection - shown + 1 when selection >= shown).
//  - A multi-line edit box of three or more lines has a frame: its text
//    is wrapped at width - 2 cells ("\r" takes no cell, "\n" breaks the
//    line) and shows height - 2 rows from firstLine (a wrapped row).
//  - The soft keys are on the last line: a click on its left half is F1,
//    on its right half F2. An open popup sits right-aligned above the
//    menu bar in a frame as wide as its longest item + 4 and count + 2
//    lines high; item i is on the frame's line 1 + i.
//  - A message box takes every click (any click dismisses it).
#ifndef TAVRINEL_PLATFORM_SHELL_H
#define TAVRINEL_PLATFORM_SHELL_H

#include <string>
#include <vector>

#include "../windows.h"

namespace platform::shell {

struct CellRect {
    int x = 0, y = 0, width = 0, height = 0;
};

struct ControlView {
    HWND hwnd = nullptr;
    int id = 0;
    std::u16string className; // "BUTTON", "EDIT", "STATIC", "COMBOBOX"
    DWORD style = 0;
    CellRect cells;
    std::u16string text; // edit: its whole text; combo: the selected entry
    bool enabled = true;
    bool visible = true;
    bool focused = false;
    // Combo boxes.
    std::vector<std::u16string> items;
    int selection = -1;
    bool dropped = false;
    // Edit boxes: caret/selection in characters; first visible line.
    int selStart = 0, selEnd = 0;
    int firstLine = 0;
    // Static icons.
    bool isIcon = false;
};

struct DialogView {
    HWND hwnd = nullptr;
    std::u16string caption;
    bool captionOk = false; // OK button in the caption
    bool fullScreen = false;
    CellRect cells;
    std::vector<ControlView> controls;
};

struct MenuBarView {
    std::u16string left, right; // soft key captions (F1, F2)
    bool popupOpen = false;
    std::vector<std::u16string> popupItems;
    int popupSelection = 0;
};

struct MessageBoxView {
    std::u16string caption, text;
    bool errorIcon = false;
};

struct ScreenView {
    int columns = 60, lines = 24;
    std::vector<DialogView> dialogs; // bottom first; the last is active
    bool hasMenuBar = false;
    MenuBarView menuBar; // of the active dialog
    bool hasMessageBox = false;
    MessageBoxView messageBox;
    bool waitCursor = false;
    // The window SetForegroundWindow last brought to the front (with the
    // low bit: the owner's most recent dialog), or NULL.
    HWND foreground = nullptr;
};

class Renderer {
public:
    virtual ~Renderer() = default;
    // Called on the shell's threads whenever the screen changed; must be
    // cheap and must not call back into the shell.
    virtual void Present(const ScreenView &screen) = 0;
};

// Installs a renderer (nullptr: headless). The renderer stays owned by
// the caller and must outlive its installation.
void SetRenderer(Renderer *renderer);
void SetScreenSize(int columns, int lines);
ScreenView Snapshot();

// Input, as a renderer or a test gives it. Keys go to the active modal
// loop's thread (the top-most dialog, message box or popup): Tab and
// Shift-Tab move the focus between tab stops, Enter and Space press the
// focused button, Up/Down change a combo box's selection (sending
// CBN_SELCHANGE), printable characters and Backspace/Delete/Left/Right/
// Home/End edit an edit box, F1/F2 press the soft keys, Escape closes a
// popup or dropped list (or a message box) and otherwise presses the
// caption's OK button, Enter in a message box or popup chooses. A click at
// a cell acts on what is drawn there.
struct InputEvent {
    enum class Kind { Key, Char, Click } kind = Kind::Key;
    UINT virtualKey = 0; // VK_* for Kind::Key
    bool shift = false;
    char16_t character = 0; // for Kind::Char
    int x = 0, y = 0;       // cell, for Kind::Click
};
void PostInput(const InputEvent &event);

// Waits until the shell has nothing left to do for the input posted so
// far (tests), at most `milliseconds` of real time: every event handled
// (an event whose handling opened a modal dialog or message box counts as
// handled once that one waits for input) and every ended dialog's modal
// loop returned. Answers whether it settled.
bool WaitIdle(DWORD milliseconds);

} // namespace platform::shell

#endif // TAVRINEL_PLATFORM_SHELL_H
