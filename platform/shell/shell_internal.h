// shell_internal.h — what the shell stand-in's sources share: the one
// screen's state (dialogs and message boxes in z-order, the controls, the
// menu bars, the wait cursor, the pending input), its lock, and the
// helpers that present the screen and run modal loops.
//
// Locks: Shell().lock guards everything here. It is never held while a
// window procedure, a dialog procedure or the renderer runs, nor across
// SendMessageW/PostMessageW. It may be held while messages.cpp takes its
// own lock (never the other way round).
#ifndef TAVRINEL_PLATFORM_SHELL_INTERNAL_H
#define TAVRINEL_PLATFORM_SHELL_INTERNAL_H

#include <aygshell.h>
#include <platform/shell.h>
#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::shell::detail {

// ---------------------------------------------------------------- limits

// An edit box never holds more than this many characters; EM_LIMITTEXT can
// lower it (0 restores it).
constexpr size_t kEditCapacity = 65535;
// Items of one combo box (CB_ADDSTRING answers CB_ERRSPACE beyond).
constexpr size_t kMaxComboItems = 1000;
// The longest zero-terminated text the shell reads from a caller's pointer;
// a longer one is cut there.
constexpr size_t kMaxTextScan = 1u << 20;
// Controls in one dialog template.
constexpr size_t kMaxDialogItems = 255;
// Buttons of one menu bar, items of one popup.
constexpr size_t kMaxMenuBarButtons = 8;
constexpr size_t kMaxPopupItems = 64;

// The private thread message that wakes a modal loop to take input.
constexpr UINT kWakeMessage = WM_APP + 0x3F00;

enum class ControlKind { Button, Edit, Static, Combo };

// A control of a dialog (a window of one of the shell's classes).
struct Control {
    HWND hwnd = nullptr;
    HWND dialog = nullptr; // its parent
    WORD id = 0;
    ControlKind kind = ControlKind::Static;
    DWORD style = 0;
    CellRect cells; // relative to the dialog's client area
    int order = 0;  // creation order: template order
    std::u16string text;
    bool enabled = true;
    bool visible = true;
    // Combo boxes.
    std::vector<std::u16string> items;
    int selection = -1;
    bool dropped = false;
    // Edit boxes: selection [selStart, selEnd), caret at selEnd.
    int selStart = 0, selEnd = 0;
    int firstLine = 0;
    size_t limit = kEditCapacity;
};

struct MenuItem {
    std::u16string text;
    WORD id = 0;
    bool enabled = true;
};

struct SoftKey {
    std::u16string caption;
    WORD command = 0;
    bool dropDown = false; // opens `popup`, sends no command
    bool enabled = true;
    std::vector<MenuItem> popup;
};

struct MenuBar {
    HWND hwnd = nullptr;
    std::vector<SoftKey> keys;
    int openKey = -1; // the soft key whose popup is open
    int popupSelection = 0;
};

// A dialog or a message box in the z-order.
struct Modal {
    enum class Kind { Dialog, MessageBox } kind = Kind::Dialog;
    HWND hwnd = nullptr; // the dialog window; NULL for a message box
    HWND owner = nullptr;
    DWORD threadId = 0;
    DLGPROC proc = nullptr;
    std::u16string caption;
    std::u16string text; // message box
    UINT boxType = 0;    // message box
    DWORD style = 0, exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0; // template, dialog units
    bool fullScreen = false;
    bool captionOk = false;
    bool emptyMenu = false;
    std::vector<HWND> controls; // template order
    HWND focus = nullptr;
    std::optional<MenuBar> menuBar;
    bool ended = false;
    INT_PTR result = 0;
};

struct ShellState {
    std::mutex lock;
    std::map<HWND, std::shared_ptr<Control>> controls;
    std::vector<std::shared_ptr<Modal>> stack; // bottom first
    int columns = 60, lines = 24;
    bool waitCursor = false;
    HWND foreground = nullptr;
    Renderer *renderer = nullptr;
    uint64_t generation = 1; // counts changes of what the screen shows
    uint64_t presented = 0;  // the generation last handed to the renderer
    // Input not yet taken, and input being handled (tests wait on both).
    std::deque<InputEvent> input;
    int inputActive = 0;
    std::condition_variable idle;
};

ShellState &Shell();

// ---------------------------------------------------------------- shell_core.cpp

// Under Shell().lock: the screen changed.
inline void ChangedLocked(ShellState &shell) {
    ++shell.generation;
}
void Changed();
// Hands a snapshot to the renderer if the screen changed since the last
// one. Call with no lock held.
void PresentIfChanged();
// Presents when it goes out of scope (public entry points).
struct PresentOnExit {
    PresentOnExit() = default;
    PresentOnExit(const PresentOnExit &) = delete;
    PresentOnExit &operator=(const PresentOnExit &) = delete;
    ~PresentOnExit() { PresentIfChanged(); }
};

// Under the lock: the modal entry of a dialog window, the control of a
// control window; null when none.
std::shared_ptr<Modal> FindModalLocked(ShellState &shell, HWND dialog);
std::shared_ptr<Control> FindControlLocked(ShellState &shell, HWND control);
// Under the lock: the top-most modal that has not ended, or null.
std::shared_ptr<Modal> TopModalLocked(ShellState &shell);
// Under the lock: the whole area of a dialog and its client area, as the
// renderers draw them.
void DialogAreasLocked(const ShellState &shell, const Modal &modal, CellRect &whole,
                       CellRect &client);

// Runs the modal loop of `modal` (pushed by the caller) on the calling
// thread until it ends; pops it. Disables the owner meanwhile.
void RunModal(const std::shared_ptr<Modal> &modal);
// Ensures the calling thread has a message queue.
void EnsureQueue();

// Length of a zero-terminated text, at most kMaxTextScan.
size_t BoundedLength(const WCHAR *text);
std::u16string BoundedText(const WCHAR *text);

// Moves the focus of `modal` to `control` (NULL clears it); sends
// WM_KILLFOCUS/WM_SETFOCUS when called on the dialog's thread. Answers the
// previous focus.
HWND MoveFocus(const std::shared_ptr<Modal> &modal, HWND control);

// ---------------------------------------------------------------- controls.cpp

void RegisterShellClasses();
// Under the lock: may the control take the focus by Tab?
bool IsTabStopLocked(const Control &control);
// The cells of a control from its template rectangle in dialog units.
CellRect CellsFromDialogUnits(int x, int y, int cx, int cy);
// Edit layout shared with the renderers: the wrapped row of each position.
struct EditLayout {
    std::vector<int> rowStart; // text index of each row's first position
    int width = 1;
    bool framed = false;
    int rowsShown = 1;
};
EditLayout LayoutEdit(const Control &control);
int RowOfPosition(const EditLayout &layout, int position);

// ---------------------------------------------------------------- dialogs.cpp

// Handles one input event for the top-most modal (on its thread).
void HandleInput(const std::shared_ptr<Modal> &top, const InputEvent &event);

// ---------------------------------------------------------------- menubar.cpp

// Soft key `index` (0 left, 1 right) of the dialog's menu bar; popup keys.
void PressSoftKey(const std::shared_ptr<Modal> &modal, int index);
// Handles a key or click while a popup is open; false when none is open.
bool PopupInput(const std::shared_ptr<Modal> &modal, const InputEvent &event);

// ---------------------------------------------------------------- resources.cpp

// The bytes of a resource that LoadResource handed out and that contain
// `data`: how many bytes from `data` on belong to it; 0 when unknown.
size_t KnownResourceBytes(const void *data);
// A resource's bytes, or false.
bool FindResourceBytes(HMODULE module, LPCWSTR name, LPCWSTR type, const BYTE *&data, size_t &size);

} // namespace platform::shell::detail

#endif // TAVRINEL_PLATFORM_SHELL_INTERNAL_H
