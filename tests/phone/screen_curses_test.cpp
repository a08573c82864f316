// The phone's terminal screen: what a ScreenView looks like in cells, how
// it reaches a curses screen, and how the terminal's keys and clicks become
// the shell's input events. Curses runs on pseudo-terminals here.
#define NCURSES_WIDECHAR 1
#include <atomic>
#include <clocale>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include "phone_test_util.h"
#include "screen_curses.h"

namespace {

using phone::CellGrid;
using phone::ComposeScreen;
using platform::shell::ControlView;
using platform::shell::DialogView;
using platform::shell::InputEvent;
using platform::shell::ScreenView;

constexpr int kColumns = 60, kLines = 24;

ControlView Control(const char16_t *className, const char16_t *text, int x, int y, int width,
                    int height, DWORD style = 0) {
    ControlView c;
    c.className = className;
    c.text = text;
    c.cells = {x, y, width, height};
    c.style = style;
    return c;
}

// A settings screen as the control program shows it, in cells.
ScreenView SettingsScreen() {
    ScreenView view;
    view.columns = kColumns;
    view.lines = kLines;
    DialogView d;
    d.caption = u"Tavrinel";
    d.captionOk = true;
    d.fullScreen = true;
    d.cells = {0, 0, kColumns, kLines - 1};
    d.controls.push_back(Control(u"STATIC", u"DRIVER NOT LOADED", 1, 0, 28, 1, SS_CENTER));
    ControlView tmc = Control(u"BUTTON", u"TMC", 31, 0, 7, 2, WS_TABSTOP);
    tmc.focused = true;
    d.controls.push_back(tmc);
    ControlView port = Control(u"COMBOBOX", u"COM9:", 20, 2, 17, 11, CBS_DROPDOWNLIST);
    for (int i = 0; i < 10; ++i)
        port.items.push_back(u"COM" + std::u16string(1, char16_t(u'0' + i)) + u":");
    port.selection = 9;
    d.controls.push_back(port);
    d.controls.push_back(Control(u"STATIC", u"COM Port", 3, 3, 10, 1));
    ControlView band = Control(u"COMBOBOX", u"CCIR 87.5-108 MHz", 20, 5, 17, 9, CBS_DROPDOWNLIST);
    band.items = {u"CCIR 87.5-108 MHz", u"Japan 76-91MHz", u"World 76-108MHz"};
    band.selection = 0;
    band.enabled = false;
    d.controls.push_back(band);
    d.controls.push_back(Control(u"STATIC", u"FM Band", 3, 5, 12, 1));
    view.dialogs.push_back(d);
    view.hasMenuBar = true;
    view.menuBar.left = u"Exit";
    view.menuBar.right = u"Menu";
    view.menuBar.popupItems = {u"About", u"Test"};
    return view;
}

// The cells from x on, as text.
std::string At(const CellGrid &grid, int x, int y, size_t count) {
    return grid.Line(y).substr(static_cast<size_t>(x), count);
}

// ---------------------------------------------------------------- composing

TEST(ScreenCompose, DialogControlsLandAtTheirCellsBelowTheCaption) {
    const CellGrid grid = ComposeScreen(SettingsScreen(), kColumns, kLines);
    // Caption bar: the title at the left, the OK mark at the right edge.
    EXPECT_EQ(At(grid, 1, 0, 8), "Tavrinel");
    EXPECT_EQ(grid.Line(0).substr(kColumns - 5, 4), "[ok]");
    EXPECT_TRUE(grid.At(1, 0).attributes & phone::kReverse);
    // Client cells start on line 1: the centred status in its 28 cells.
    EXPECT_EQ(At(grid, 6, 1, 17), "DRIVER NOT LOADED");
    EXPECT_EQ(At(grid, 31, 1, 7), "[ TMC ]");
    EXPECT_EQ(At(grid, 20, 3, 5), "COM9:");
    EXPECT_EQ(grid.At(36, 3).ch, U'v'); // the drop mark in the box's last cell
    EXPECT_EQ(At(grid, 3, 4, 8), "COM Port");
    // A closed list uses the free cells to its right for its longest item.
    EXPECT_EQ(At(grid, 20, 6, 19), "CCIR 87.5-108 MHz v");
}

TEST(ScreenCompose, TextsLongerThanTheirBoxesUseTheFreeCellsToTheirRight) {
    ScreenView view;
    view.columns = kColumns;
    view.lines = kLines;
    DialogView d;
    d.caption = u"About VorliskClient";
    d.cells = {10, 2, 39, 17};
    d.controls.push_back(Control(u"STATIC", u"VorliskClient Version 0.1", 3, 4, 17, 1));
    d.controls.push_back(Control(u"STATIC", u"RDS-TMC receiver port for navigation", 3, 5, 30, 1));
    // Up to the next control on the line, one blank between.
    d.controls.push_back(Control(u"STATIC", u"Frequency in MHz", 0, 7, 8, 1));
    d.controls.push_back(Control(u"BUTTON", u"Set", 12, 7, 5, 1));
    view.dialogs.push_back(d);
    const CellGrid grid = ComposeScreen(view, kColumns, kLines);
    EXPECT_EQ(At(grid, 13, 7, 25), "VorliskClient Version 0.1");
    EXPECT_EQ(At(grid, 13, 8, 36), "RDS-TMC receiver port for navigation");
    EXPECT_EQ(At(grid, 10, 10, 13), "Frequency i [");
}

TEST(ScreenCompose, FocusIsHighlightedAndDisabledControlsAreDimmed) {
    const CellGrid grid = ComposeScreen(SettingsScreen(), kColumns, kLines);
    EXPECT_TRUE(grid.At(33, 1).attributes & phone::kReverse);  // focused TMC
    EXPECT_FALSE(grid.At(20, 3).attributes & phone::kReverse); // enabled, unfocused combo
    EXPECT_FALSE(grid.At(20, 3).attributes & phone::kDim);
    EXPECT_TRUE(grid.At(20, 6).attributes & phone::kDim); // disabled band box

    ScreenView view = SettingsScreen();
    view.dialogs[0].controls[1].focused = false;
    view.dialogs[0].controls[1].enabled = false;
    view.dialogs[0].controls[2].focused = true;
    const CellGrid after = ComposeScreen(view, kColumns, kLines);
    EXPECT_TRUE(after.At(33, 1).attributes & phone::kDim);
    EXPECT_FALSE(after.At(33, 1).attributes & phone::kReverse);
    EXPECT_TRUE(after.At(20, 3).attributes & phone::kReverse);
}

TEST(ScreenCompose, SoftKeysSitOnTheLastLineAndThePopupAboveTheRightOne) {
    ScreenView view = SettingsScreen();
    CellGrid grid = ComposeScreen(view, kColumns, kLines);
    const std::string bar = grid.Line(kLines - 1);
    EXPECT_LT(bar.find("Exit"), 10u) << bar;
    EXPECT_GT(bar.find("Menu"), 45u) << bar;
    EXPECT_TRUE(grid.At(0, kLines - 1).attributes & phone::kReverse);
    EXPECT_EQ(grid.Line(kLines - 3).find("About"), std::string::npos); // closed popup

    view.menuBar.popupOpen = true;
    view.menuBar.popupSelection = 1;
    grid = ComposeScreen(view, kColumns, kLines);
    // Items above the bar, right-aligned, the second one selected.
    const std::string about = grid.Line(kLines - 4), test = grid.Line(kLines - 3);
    ASSERT_NE(about.find("About"), std::string::npos) << about;
    ASSERT_NE(test.find("Test"), std::string::npos) << test;
    EXPECT_GT(about.find("About"), 45u);
    EXPECT_TRUE(grid.At(static_cast<int>(test.find("Test")), kLines - 3).attributes &
                phone::kReverse);
    EXPECT_FALSE(grid.At(static_cast<int>(about.find("About")), kLines - 4).attributes &
                 phone::kReverse);
}

TEST(ScreenCompose, ADroppedListCoversWhatLiesBelowItsBox) {
    ScreenView view = SettingsScreen();
    auto &port = view.dialogs[0].controls[2];
    port.dropped = true;
    port.selection = 1;
    const CellGrid grid = ComposeScreen(view, kColumns, kLines);
    // Ten rows of room (height 11 less the field): COM0: first, on the line
    // under the field; the band box below is covered.
    EXPECT_EQ(At(grid, 21, 4, 5), "COM0:");
    EXPECT_EQ(At(grid, 21, 5, 5), "COM1:");
    EXPECT_TRUE(grid.At(21, 5).attributes & phone::kReverse);
    EXPECT_FALSE(grid.At(21, 4).attributes & phone::kReverse);
    EXPECT_EQ(At(grid, 21, 6, 5), "COM2:");
    EXPECT_EQ(At(grid, 21, 13, 5), "COM9:");

    // A selection past the room scrolls the list so that it shows.
    port.cells.height = 4;
    port.selection = 9;
    const CellGrid scrolled = ComposeScreen(view, kColumns, kLines);
    EXPECT_EQ(At(scrolled, 21, 4, 5), "COM7:");
    EXPECT_EQ(At(scrolled, 21, 6, 5), "COM9:");
    EXPECT_TRUE(scrolled.At(21, 6).attributes & phone::kReverse);
}

TEST(ScreenCompose, AMessageBoxIsCentredOverEverything) {
    ScreenView view = SettingsScreen();
    view.menuBar.popupOpen = true;
    view.hasMessageBox = true;
    view.messageBox.caption = u"ERROR";
    view.messageBox.text = u"Cannot open COM port.\r\nIs the driver loaded?";
    view.messageBox.errorIcon = true;
    const CellGrid grid = ComposeScreen(view, kColumns, kLines);
    int captionLine = -1, firstLine = -1, secondLine = -1, buttonLine = -1;
    for (int y = 0; y < kLines; ++y) {
        const std::string line = grid.Line(y);
        if (line.find("ERROR") != std::string::npos)
            captionLine = y;
        if (line.find("(!) Cannot open COM port.") != std::string::npos)
            firstLine = y;
        if (line.find("Is the driver loaded?") != std::string::npos)
            secondLine = y;
        if (line.find("[ OK ]") != std::string::npos)
            buttonLine = y;
    }
    ASSERT_GE(captionLine, 0);
    EXPECT_EQ(firstLine, captionLine + 2);
    EXPECT_EQ(secondLine, firstLine + 1);
    EXPECT_GT(buttonLine, secondLine);
    // Centred both ways.
    const std::string first = grid.Line(firstLine);
    const size_t left = first.find("(!)");
    const size_t right = first.find_last_not_of(' ');
    EXPECT_NEAR(static_cast<double>(left), static_cast<double>(kColumns - 1 - right), 4.0) << first;
    EXPECT_NEAR(captionLine + (buttonLine - captionLine) / 2.0, kLines / 2.0, 3.0);
    EXPECT_NE(grid.Line(buttonLine).find("[ OK ]"), std::string::npos);
}

TEST(ScreenCompose, AMultiLineEditShowsTheLinesAroundItsCaret) {
    ScreenView view;
    DialogView d;
    d.caption = u"TMC Test";
    d.fullScreen = true;
    ControlView receive = Control(u"EDIT", u"", 1, 4, 20, 5, ES_MULTILINE | WS_BORDER);
    for (int i = 0; i < 10; ++i)
        receive.text += u"$RTTMC," + std::u16string(1, char16_t(u'0' + i)) + u"\r\n";
    receive.text += u"$RTRDS, 94.4";
    receive.selStart = receive.selEnd = static_cast<int>(receive.text.size());
    receive.firstLine = 8; // scrolled to the end by the shell
    receive.focused = true;
    d.controls.push_back(receive);
    view.dialogs.push_back(d);
    CellGrid grid = ComposeScreen(view, kColumns, kLines);
    // A frame of 5 lines holds 3 text lines: the caret's line is the last.
    EXPECT_EQ(At(grid, 1, 5, 1), "+");
    EXPECT_EQ(At(grid, 2, 6, 8), "$RTTMC,8");
    EXPECT_EQ(At(grid, 2, 7, 8), "$RTTMC,9");
    EXPECT_EQ(At(grid, 2, 8, 12), "$RTRDS, 94.4");
    EXPECT_TRUE(grid.At(14, 8).attributes & phone::kReverse); // the caret behind the text
    EXPECT_EQ(At(grid, 1, 9, 1), "+");

    // The rows from the first line on; beyond the text, the last row.
    auto &box = view.dialogs[0].controls[0];
    box.selStart = box.selEnd = 0;
    box.firstLine = 0;
    grid = ComposeScreen(view, kColumns, kLines);
    EXPECT_EQ(At(grid, 2, 6, 8), "$RTTMC,0");
    EXPECT_TRUE(grid.At(2, 6).attributes & phone::kReverse); // caret at the start
    box.firstLine = 5;
    grid = ComposeScreen(view, kColumns, kLines);
    EXPECT_EQ(At(grid, 2, 6, 8), "$RTTMC,5");
    box.firstLine = 99;
    grid = ComposeScreen(view, kColumns, kLines);
    EXPECT_EQ(At(grid, 2, 6, 12), "$RTRDS, 94.4");

    // Long lines wrap inside the frame.
    box.text = std::u16string(40, u'x');
    box.selStart = box.selEnd = 0;
    box.firstLine = 0;
    grid = ComposeScreen(view, kColumns, kLines);
    EXPECT_EQ(At(grid, 2, 6, 18), std::string(18, 'x'));
    EXPECT_EQ(At(grid, 2, 7, 19), std::string(18, 'x') + "|");
}

TEST(ScreenCompose, ASingleLineEditScrollsToItsCaretAndStaticsAlign) {
    ScreenView view;
    DialogView d;
    d.fullScreen = true;
    ControlView freq = Control(u"EDIT", u" 100.0,45,1", 9, 0, 6, 1, WS_BORDER);
    freq.selStart = freq.selEnd = 11;
    freq.focused = true;
    d.controls.push_back(freq);
    d.controls.push_back(Control(u"STATIC", u"right", 0, 3, 10, 1, SS_RIGHT));
    d.controls.push_back(Control(u"STATIC", u"&Send", 0, 4, 10, 1));
    ControlView icon = Control(u"STATIC", u"", 3, 6, 5, 2, SS_ICON);
    icon.isIcon = true;
    d.controls.push_back(icon);
    view.dialogs.push_back(d);
    const CellGrid grid = ComposeScreen(view, kColumns, kLines);
    // Caret behind the eleventh character: the last five show, then the caret.
    EXPECT_EQ(At(grid, 9, 1, 5), ",45,1");
    EXPECT_TRUE(grid.At(14, 1).attributes & phone::kReverse);
    EXPECT_FALSE(grid.At(13, 1).attributes & phone::kReverse);
    EXPECT_TRUE(grid.At(9, 1).attributes & phone::kUnderline);
    EXPECT_EQ(At(grid, 5, 4, 5), "right");
    EXPECT_EQ(At(grid, 0, 5, 5), "Send ");
    EXPECT_EQ(At(grid, 3, 7, 3), "[*]");
}

TEST(ScreenCompose, TheWaitMarkTurnsInTheActiveCaption) {
    ScreenView view = SettingsScreen();
    const std::string still = ComposeScreen(view, kColumns, kLines).Line(0);
    view.waitCursor = true;
    const std::string one = ComposeScreen(view, kColumns, kLines, 0).Line(0);
    const std::string two = ComposeScreen(view, kColumns, kLines, 1).Line(0);
    EXPECT_NE(one, still);
    EXPECT_NE(one, two);
    EXPECT_EQ(one.find("Tavrinel"), still.find("Tavrinel"));
    EXPECT_NE(one.find("[ok]"), std::string::npos);
}

TEST(ScreenCompose, StackedDialogsAndTinyScreensStayInBounds) {
    ScreenView view = SettingsScreen();
    DialogView about;
    about.caption = u"About VorliskClient";
    about.fullScreen = true;
    about.captionOk = true;
    about.controls.push_back(Control(u"STATIC", u"VorliskClient Version 0.1", 3, 4, 17, 1));
    view.dialogs.push_back(about);
    CellGrid grid = ComposeScreen(view, kColumns, kLines);
    EXPECT_EQ(At(grid, 1, 0, 19), "About VorliskClient");
    EXPECT_EQ(grid.Line(1).find("DRIVER"), std::string::npos); // hidden below
    EXPECT_EQ(At(grid, 3, 5, 17), "VorliskClient Ver");

    // Far-away cells and a 3 x 2 terminal: clipped, nothing written outside.
    view.dialogs[1].controls.push_back(Control(u"BUTTON", u"x", 5000, -40, 9000, 3));
    view.hasMessageBox = true;
    view.messageBox.text = std::u16string(500, u'w');
    view.menuBar.popupOpen = true;
    grid = ComposeScreen(view, 3, 2);
    EXPECT_EQ(grid.Columns(), 3);
    EXPECT_EQ(grid.Lines(), 2);
}

TEST(ScreenCompose, TextIsDrawnAsCodePointsAndControlCharactersAsMarks) {
    CellGrid grid(10, 1);
    grid.Put(0, 0, u"a\u00fc\U0001F4FB\x07z", phone::kPlain);
    EXPECT_EQ(grid.At(1, 0).ch, U'\u00fc');
    EXPECT_EQ(grid.At(2, 0).ch, U'\U0001F4FB');
    EXPECT_EQ(grid.At(3, 0).ch, U'?');
    EXPECT_EQ(grid.At(4, 0).ch, U'z');
    EXPECT_EQ(grid.Line(0).substr(0, 3), "a\xc3\xbc");
}

// ---------------------------------------------------------------- keys

TEST(ScreenKeys, TerminalKeysBecomeTheShellsKeys) {
    struct Row {
        const char *legend;
        bool isKeyCode;
        uint32_t key;
        InputEvent::Kind kind;
        UINT virtualKey;
        bool shift;
        char16_t character;
    };
    using K = InputEvent::Kind;
    const Row rows[] = {
        {"tab", false, '\t', K::Key, VK_TAB, false, 0},
        {"shift-tab", true, KEY_BTAB, K::Key, VK_TAB, true, 0},
        {"enter (carriage return)", false, '\r', K::Key, VK_RETURN, false, 0},
        {"enter (line feed)", false, '\n', K::Key, VK_RETURN, false, 0},
        {"keypad enter", true, KEY_ENTER, K::Key, VK_RETURN, false, 0},
        {"space", false, ' ', K::Key, VK_SPACE, false, 0},
        {"escape", false, 0x1B, K::Key, VK_ESCAPE, false, 0},
        {"backspace (DEL)", false, 0x7F, K::Key, VK_BACK, false, 0},
        {"backspace (BS)", false, 0x08, K::Key, VK_BACK, false, 0},
        {"backspace key", true, KEY_BACKSPACE, K::Key, VK_BACK, false, 0},
        {"delete", true, KEY_DC, K::Key, VK_DELETE, false, 0},
        {"up", true, KEY_UP, K::Key, VK_UP, false, 0},
        {"down", true, KEY_DOWN, K::Key, VK_DOWN, false, 0},
        {"left", true, KEY_LEFT, K::Key, VK_LEFT, false, 0},
        {"right", true, KEY_RIGHT, K::Key, VK_RIGHT, false, 0},
        {"home", true, KEY_HOME, K::Key, VK_HOME, false, 0},
        {"end", true, KEY_END, K::Key, VK_END, false, 0},
        {"F1: left soft key", true, static_cast<uint32_t>(KEY_F(1)), K::Key, VK_F1, false, 0},
        {"F2: right soft key", true, static_cast<uint32_t>(KEY_F(2)), K::Key, VK_F2, false, 0},
        {"digit", false, '8', K::Char, 0, false, u'8'},
        {"dot", false, '.', K::Char, 0, false, u'.'},
        {"star", false, '*', K::Char, 0, false, u'*'},
        {"umlaut", false, 0xFC, K::Char, 0, false, u'\u00fc'},
    };
    for (const Row &row : rows) {
        InputEvent event;
        ASSERT_TRUE(phone::TranslateKey(row.isKeyCode, row.key, event)) << row.legend;
        EXPECT_EQ(event.kind, row.kind) << row.legend;
        EXPECT_EQ(event.virtualKey, row.virtualKey) << row.legend;
        EXPECT_EQ(event.shift, row.shift) << row.legend;
        EXPECT_EQ(event.character, row.character) << row.legend;
    }
    const struct {
        const char *legend;
        bool isKeyCode;
        uint32_t key;
    } ignored[] = {{"F3", true, static_cast<uint32_t>(KEY_F(3))},
                   {"page down", true, KEY_NPAGE},
                   {"Ctrl-A", false, 0x01},
                   {"C1 control", false, 0x85},
                   {"outside the BMP", false, 0x1F4FB},
                   {"lone surrogate", false, 0xD800}};
    for (const auto &row : ignored) {
        InputEvent event;
        EXPECT_FALSE(phone::TranslateKey(row.isKeyCode, row.key, event)) << row.legend;
    }
}

// ---------------------------------------------------------------- on a terminal

// A pseudo-terminal whose master is drained (and kept) by a thread, so
// that curses never blocks writing to it.
class Terminal {
public:
    Terminal() {
        winsize size{};
        size.ws_row = kLines;
        size.ws_col = kColumns;
        if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0)
            return;
        in_ = fdopen(dup(slave_), "r");
        out_ = fdopen(dup(slave_), "w");
        reader_ = std::thread([this] {
            char buffer[4096];
            while (!stop_) {
                pollfd p{master_, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0)
                    continue;
                const ssize_t n = read(master_, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                std::lock_guard<std::mutex> hold(lock_);
                output_.append(buffer, static_cast<size_t>(n));
            }
        });
    }
    ~Terminal() {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        if (in_)
            std::fclose(in_);
        if (out_)
            std::fclose(out_);
        for (int fd : {master_, slave_})
            if (fd >= 0)
                close(fd);
    }
    [[nodiscard]] bool Ok() const { return in_ && out_; }
    FILE *In() { return in_; }
    FILE *Out() { return out_; }
    void Type(const std::string &bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string Output() {
        std::lock_guard<std::mutex> hold(lock_);
        return output_;
    }

private:
    int master_ = -1, slave_ = -1;
    FILE *in_ = nullptr, *out_ = nullptr;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::string output_;
};

// Reads a line of a curses window back as text.
std::string ReadBack(WINDOW *window, int y) {
    wchar_t text[kColumns + 1] = {};
    mvwinnwstr(window, y, 0, text, kColumns);
    std::string out;
    for (const wchar_t *c = text; *c; ++c)
        out.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
    return out;
}

TEST(ScreenCurses, AComposedScreenReachesTheCursesWindowCellForCell) {
    Terminal terminal;
    ASSERT_TRUE(terminal.Ok());
    SCREEN *screen = newterm("xterm", terminal.Out(), terminal.In());
    ASSERT_NE(screen, nullptr);
    set_term(screen);
    const CellGrid grid = ComposeScreen(SettingsScreen(), kColumns, kLines);
    phone::DrawGrid(stdscr, grid);
    for (int y : {0, 1, 3, 6, kLines - 1})
        EXPECT_EQ(ReadBack(stdscr, y), grid.Line(y)) << "line " << y;
    cchar_t cell{};
    mvwin_wch(stdscr, 1, 33, &cell); // focused TMC
    EXPECT_TRUE(cell.attr & A_REVERSE);
    mvwin_wch(stdscr, 6, 20, &cell); // disabled band box
    EXPECT_TRUE(cell.attr & A_DIM);
    mvwin_wch(stdscr, 3, 20, &cell); // enabled combo: underlined field
    EXPECT_TRUE(cell.attr & A_UNDERLINE);
    EXPECT_FALSE(cell.attr & A_REVERSE);
    wrefresh(stdscr);
    endwin();
    delscreen(screen);
    EXPECT_TRUE(phonetest::WaitUntil(
        [&] { return terminal.Output().find("Tavrinel") != std::string::npos; }, 5000));
}

class ScreenThread : public ::testing::Test {
protected:
    void StartScreen() {
        ASSERT_TRUE(terminal_.Ok());
        phone::CursesScreen::Options options;
        options.in = terminal_.In();
        options.out = terminal_.Out();
        options.terminalType = "xterm";
        options.input = [this](const InputEvent &event) {
            std::lock_guard<std::mutex> hold(lock_);
            events_.push_back(event);
        };
        options.resize = [this](int columns, int lines) {
            std::lock_guard<std::mutex> hold(lock_);
            size_ = {columns, lines};
        };
        screen_ = std::make_unique<phone::CursesScreen>(options);
        std::string error;
        ASSERT_TRUE(screen_->Start(error)) << error;
    }
    void TearDown() override {
        if (screen_)
            screen_->Stop();
    }
    // Types `bytes` and answers the events they gave.
    std::vector<InputEvent> Type(const std::string &bytes, size_t expected) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            events_.clear();
        }
        terminal_.Type(bytes);
        phonetest::WaitUntil(
            [&] {
                std::lock_guard<std::mutex> hold(lock_);
                return events_.size() >= expected;
            },
            5000);
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }

    Terminal terminal_;
    std::unique_ptr<phone::CursesScreen> screen_;
    std::mutex lock_;
    std::vector<InputEvent> events_;
    std::pair<int, int> size_{0, 0};
};

TEST_F(ScreenThread, PresentedSnapshotsAreDrawnLatestFirstFromAnyThreadBelowTheNoticeLine) {
    StartScreen();
    {
        std::lock_guard<std::mutex> hold(lock_);
        EXPECT_EQ(size_, std::make_pair(kColumns, kLines - phone::kNoticeLines));
    }
    // Many threads present at once; the last one presented is what shows.
    std::vector<std::thread> presenters;
    for (int i = 0; i < 4; ++i)
        presenters.emplace_back([this, i] {
            for (int n = 0; n < 50; ++n) {
                ScreenView view = SettingsScreen();
                view.dialogs[0].caption = u"busy " + std::u16string(1, char16_t(u'0' + i));
                screen_->Present(view);
            }
        });
    for (auto &t : presenters)
        t.join();
    screen_->Present(SettingsScreen());
    ASSERT_TRUE(screen_->WaitDrawn(5000));
    auto lines = screen_->LastDrawn();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kLines));
    EXPECT_EQ(lines[0], std::string(kColumns, ' ')) << "nothing to say yet";
    EXPECT_EQ(lines[1].substr(1, 8), "Tavrinel");
    EXPECT_NE(lines[kLines - 1].find("Menu"), std::string::npos);
    EXPECT_TRUE(phonetest::WaitUntil(
        [&] { return terminal_.Output().find("DRIVER NOT LOADED") != std::string::npos; }, 5000));

    // The word stays on its line over the program, cut at the edge, controls shown as '?'.
    screen_->SetNotice("radio: sh: 1: x\x1b[2J: not found " + std::string(kColumns, '-'));
    ASSERT_TRUE(screen_->WaitDrawn(5000));
    lines = screen_->LastDrawn();
    EXPECT_EQ(lines[0].substr(0, 32), "radio: sh: 1: x?[2J: not found -");
    EXPECT_EQ(lines[0].size(), static_cast<size_t>(kColumns));
    EXPECT_EQ(lines[1].substr(1, 8), "Tavrinel");
    screen_->SetNotice("");
    ASSERT_TRUE(screen_->WaitDrawn(5000));
    EXPECT_EQ(screen_->LastDrawn()[0], std::string(kColumns, ' '));
}

TEST_F(ScreenThread, EscapeSequencesAndClicksArriveAsInputEvents) {
    StartScreen();
    using K = InputEvent::Kind;
    auto one = [&](const std::string &bytes) {
        const auto events = Type(bytes, 1);
        EXPECT_EQ(events.size(), 1u) << "bytes of " << bytes.size();
        return events.empty() ? InputEvent{} : events[0];
    };
    InputEvent e = one("\x1b[Z");
    EXPECT_EQ(e.virtualKey, static_cast<UINT>(VK_TAB));
    EXPECT_TRUE(e.shift);
    EXPECT_EQ(one("\x1bOP").virtualKey, static_cast<UINT>(VK_F1));
    EXPECT_EQ(one("\x1bOQ").virtualKey, static_cast<UINT>(VK_F2));
    EXPECT_EQ(one("\x1bOA").virtualKey, static_cast<UINT>(VK_UP)); // keypad (application) mode
    EXPECT_EQ(one("\x1b[3~").virtualKey, static_cast<UINT>(VK_DELETE));
    EXPECT_EQ(one("\x1b").virtualKey, static_cast<UINT>(VK_ESCAPE)); // alone, after a pause
    e = one("7");
    EXPECT_EQ(e.kind, K::Char);
    EXPECT_EQ(e.character, u'7');

    const auto several = Type("\t\r 9\x7f", 5);
    ASSERT_EQ(several.size(), 5u);
    EXPECT_EQ(several[0].virtualKey, static_cast<UINT>(VK_TAB));
    EXPECT_FALSE(several[0].shift);
    EXPECT_EQ(several[1].virtualKey, static_cast<UINT>(VK_RETURN));
    EXPECT_EQ(several[2].virtualKey, static_cast<UINT>(VK_SPACE));
    EXPECT_EQ(several[3].character, u'9');
    EXPECT_EQ(several[4].virtualKey, static_cast<UINT>(VK_BACK));

    // An xterm (SGR) mouse press and release at column 31, line 2 (one-based
    // on the wire): one click on the programs' line 0, under the notice line.
    e = one("\x1b[<0;32;2M\x1b[<0;32;2m");
    EXPECT_EQ(e.kind, K::Click);
    EXPECT_EQ(e.x, 31);
    EXPECT_EQ(e.y, 0);
}

} // namespace

int main(int argc, char **argv) {
    std::setlocale(LC_ALL, "C.UTF-8");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
