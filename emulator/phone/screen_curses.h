// screen_curses.h — the phone's screen on a terminal: an ncurses (wide
// character) renderer of the shell's ScreenView snapshots, and its input
// thread that turns keys and mouse clicks into the shell's input events.
//
// The work is split in three so that each part can be tested alone:
//   ComposeScreen  ScreenView -> CellGrid (pure: what goes in which cell);
//   DrawGrid       CellGrid -> a curses window (no refresh);
//   CursesScreen   one thread that owns the curses screen: it draws the
//                  latest snapshot handed to Present (latest wins) and reads
//                  the keyboard and mouse. No other thread calls curses.
//
// Layout on the terminal: each dialog's top line is its caption bar (title
// at the left, "[ok]" at the right when the caption has an OK button, a
// spinner while the wait cursor is on), its client area starts on the line
// below, and control cells are relative to that client area. The soft-key
// bar is the last line; an open popup menu sits above the right soft key; a
// message box is centred over everything. All of that lies below the
// phone's own notification line, the terminal's first: the programs get the
// lines under it (the size told to `resize`, clicks made relative to it),
// and the line shows the phone's latest word (SetNotice) whatever program
// is in front.
#ifndef TAVRINEL_PHONE_SCREEN_CURSES_H
#define TAVRINEL_PHONE_SCREEN_CURSES_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <platform/shell.h>

struct _win_st; // curses' WINDOW

namespace phone {

// ---------------------------------------------------------------- cells

enum CellAttribute : uint8_t {
    kPlain = 0,
    kReverse = 1,   // focus, selection, bars
    kDim = 2,       // disabled
    kUnderline = 4, // edit fields
    kBold = 8,      // captions, message box
};

struct Cell {
    char32_t ch = U' ';
    uint8_t attributes = kPlain;
};

// A screen's worth of cells; writes outside it are clipped.
class CellGrid {
public:
    CellGrid(int columns, int lines);
    [[nodiscard]] int Columns() const { return columns_; }
    [[nodiscard]] int Lines() const { return lines_; }
    // Writes `text` from (x, y) on one line, at most `maxCells` cells
    // (-1: to the right edge). Control characters show as '?'.
    void Put(int x, int y, std::u16string_view text, uint8_t attributes, int maxCells = -1);
    void PutAscii(int x, int y, std::string_view text, uint8_t attributes, int maxCells = -1);
    void Fill(int x, int y, int width, int height, char32_t ch, uint8_t attributes);
    // Copies `from` here with its top-left cell at (0, y), clipped.
    void Paste(const CellGrid &from, int y);
    [[nodiscard]] const Cell &At(int x, int y) const;
    // One line as UTF-8, trailing blanks kept (tests).
    [[nodiscard]] std::string Line(int y) const;

private:
    // The cell at (x, y), both already checked to lie on the grid.
    [[nodiscard]] size_t CellIndex(int x, int y) const {
        return static_cast<size_t>(y) * static_cast<size_t>(columns_) + static_cast<size_t>(x);
    }

    int columns_, lines_;
    std::vector<Cell> cells_;
    Cell outside_;
};

// What the screen shows for `view` on a terminal of `columns` x `lines`.
// `spinnerPhase` picks the wait mark's frame.
CellGrid ComposeScreen(const platform::shell::ScreenView &view, int columns, int lines,
                       unsigned spinnerPhase = 0);

// The phone's notification line above the programs' screen.
inline constexpr int kNoticeLines = 1;

// The whole terminal: the notification line (`notice`, UTF-8) on top and
// `view` composed on the lines below it.
CellGrid ComposePhoneScreen(const platform::shell::ScreenView &view, const std::string &notice,
                            int columns, int lines, unsigned spinnerPhase = 0);

// Draws `grid` into a curses window from its top-left cell, clipped to the
// window, without refreshing it. Only on the thread that owns the screen.
void DrawGrid(::_win_st *window, const CellGrid &grid);

// ---------------------------------------------------------------- input

// A key as get_wch reports it (isKeyCode: it answered KEY_CODE_YES) as the
// shell's input event. Answers false for keys the shell has no use for.
bool TranslateKey(bool isKeyCode, uint32_t key, platform::shell::InputEvent &event);

// ---------------------------------------------------------------- the screen

class CursesScreen : public platform::shell::Renderer {
public:
    struct Options {
        FILE *in = stdin; // the terminal
        FILE *out = stdout;
        std::string terminalType; // "" : $TERM
        // Every translated key or click, on the screen's thread.
        std::function<void(const platform::shell::InputEvent &)> input;
        // The terminal's size at start and after each resize.
        std::function<void(int columns, int lines)> resize;
        bool mouse = true;
    };

    explicit CursesScreen(Options options);
    ~CursesScreen() override;
    CursesScreen(const CursesScreen &) = delete;
    CursesScreen &operator=(const CursesScreen &) = delete;

    // Takes over the terminal (on the screen's own thread) and starts
    // drawing. Fails when the terminal cannot be set up.
    bool Start(std::string &error);
    // Gives the terminal back (endwin) and ends the thread. Idempotent.
    void Stop();

    // Any thread: the newest snapshot replaces any not yet drawn.
    void Present(const platform::shell::ScreenView &screen) override;
    // Any thread: the notification line's text ("" clears it).
    void SetNotice(const std::string &text);

    // What was last drawn, line by line (tests).
    [[nodiscard]] std::vector<std::string> LastDrawn();
    // Answers once everything presented so far has been drawn, at most
    // `milliseconds` of real time (tests).
    bool WaitDrawn(int milliseconds);

private:
    void Run();
    void Wake();

    Options options_;
    std::thread thread_;
    int wakeFds_[2] = {-1, -1};

    std::mutex lock_;
    std::condition_variable changed_;
    std::optional<platform::shell::ScreenView> pending_; // latest wins
    std::string notice_;
    bool noticeChanged_ = false;
    uint64_t presented_ = 0, drawn_ = 0;
    bool started_ = false, running_ = false, stopping_ = false;
    std::string startError_;
    std::vector<std::string> lastDrawn_;
};

} // namespace phone

#endif // TAVRINEL_PHONE_SCREEN_CURSES_H
