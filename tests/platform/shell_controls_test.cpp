// shell_controls_test.cpp — combo boxes and edit boxes: their messages,
// the keys a user presses in them, the edit capacity rule, and a reader
// thread appending to a log box as the test console does.
#include "shell_test_util.h"

using namespace shelltest;
using platform::shell::Snapshot;

namespace {

constexpr int kCombo1 = 1012, kCombo2 = 1013, kFreq = 1005, kLog = 1008, kLine = 1009;

std::vector<BYTE> Form() {
    return TemplateBuilder(u"Form", 168, 186)
        .Control(kCombo, u"", kCombo1, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 80, 23, 71, 90)
        .Control(kCombo, u"", kCombo2, CBS_DROPDOWNLIST | WS_TABSTOP, 80, 41, 71, 73)
        .Control(kEdit, u"", kFreq, WS_BORDER | WS_TABSTOP, 38, 120, 51, 13)
        .Control(kEdit, u"", kLog,
                 ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 7, 136, 48,
                 40)
        .Control(kEdit, u"", kLine, ES_AUTOHSCROLL | WS_TABSTOP, 100, 136, 40, 12)
        .Build();
}

LRESULT Send(HWND dialog, int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendDlgItemMessageW(dialog, id, message, wParam, lParam);
}

LPARAM Text(const WCHAR *text) {
    return reinterpret_cast<LPARAM>(text);
}

std::u16string EditText(int id) {
    const ScreenView view = Snapshot();
    const auto *c = FindControl(view, id);
    return c ? c->text : u"<none>";
}

// Appends as the test console does: caret to the end, replace the selection.
void Append(HWND dialog, int id, const WCHAR *text) {
    const auto length = GetWindowTextLengthW(GetDlgItem(dialog, id));
    Send(dialog, id, EM_SETSEL, static_cast<WPARAM>(length), length);
    Send(dialog, id, EM_REPLACESEL, 0, Text(text));
}

class ShellControls : public ::testing::Test {
protected:
    void SetUp() override {
        run_ = std::make_unique<DialogThread>(Form(), recorder_);
        dialog_ = run_->WaitShown();
        ASSERT_NE(dialog_, nullptr);
    }
    void TearDown() override {
        EndDialog(dialog_, 0);
        run_->Join();
    }
    std::vector<Command> Notifications(int id) {
        std::vector<Command> out;
        for (const auto &c : recorder_.Commands())
            if (c.id == id)
                out.push_back(c);
        return out;
    }
    Recorder recorder_;
    std::unique_ptr<DialogThread> run_;
    HWND dialog_ = nullptr;
};

} // namespace

// ---------------------------------------------------------------- combo boxes

TEST_F(ShellControls, ComboMessagesAnswerAsWindowsDoes) {
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCURSEL), CB_ERR);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_ADDSTRING, 0, Text(u"COM0:")), 0);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_ADDSTRING, 0, Text(u"COM1:")), 1);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_ADDSTRING, 0, Text(u"Japan 76-91MHz")), 2);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_ADDSTRING, 0, 0), CB_ERR);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCOUNT), 3);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_SETCURSEL, 2), 2);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCURSEL), 2);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETLBTEXTLEN, 2), 14);
    WCHAR item[16];
    std::fill(std::begin(item), std::end(item), u'#');
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(item)), 14);
    EXPECT_EQ(std::u16string(item), u"Japan 76-91MHz");
    EXPECT_EQ(item[15], u'#');
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETLBTEXT, 3, reinterpret_cast<LPARAM>(item)), CB_ERR);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETLBTEXTLEN, -1), CB_ERR);
    // The window text is the selected entry.
    WCHAR text[8];
    EXPECT_EQ(GetDlgItemTextW(dialog_, kCombo1, text, 8), 7u);
    EXPECT_EQ(std::u16string(text), u"Japan 7");
    EXPECT_EQ(Snapshot().dialogs[0].controls[0].text, u"Japan 76-91MHz");

    // A stored number with no entry ("Band" = 7) leaves no selection.
    EXPECT_EQ(Send(dialog_, kCombo1, CB_SETCURSEL, 7), CB_ERR);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCURSEL), CB_ERR);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_SETCURSEL, 1), 1);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_SETCURSEL, static_cast<WPARAM>(-1)), CB_ERR);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCURSEL), CB_ERR);
    EXPECT_EQ(GetWindowTextLengthW(GetDlgItem(dialog_, kCombo1)), 0);

    EXPECT_EQ(Send(dialog_, kCombo1, CB_SETCURSEL, 2), 2);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_DELETESTRING, 0), 2);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCURSEL), 1); // follows its entry
    EXPECT_EQ(Send(dialog_, kCombo1, CB_RESETCONTENT), CB_OKAY);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCOUNT), 0);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCURSEL), CB_ERR);

    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETDROPPEDSTATE), FALSE);
    EXPECT_TRUE(Send(dialog_, kCombo1, CB_SHOWDROPDOWN, TRUE));
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETDROPPEDSTATE), TRUE);
    EXPECT_TRUE(Snapshot().dialogs[0].controls[0].dropped);
    // Programmatic changes send no CBN_SELCHANGE.
    for (const auto &c : Notifications(kCombo1))
        EXPECT_NE(c.code, CBN_SELCHANGE);
}

TEST_F(ShellControls, ComboKeysAndClicksChangeTheSelection) {
    for (const WCHAR *s : {u"Speaker", u"Headset", u"Other"})
        Send(dialog_, kCombo1, CB_ADDSTRING, 0, Text(s));
    Send(dialog_, kCombo1, CB_SETCURSEL, 0);
    Input(Key(VK_DOWN));
    Input(Key(VK_DOWN));
    Input(Key(VK_DOWN)); // at the end: no change, no notification
    Input(Key(VK_UP));
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCURSEL), 1);
    auto changes = [&] {
        int n = 0;
        for (const auto &c : Notifications(kCombo1))
            n += c.code == CBN_SELCHANGE;
        return n;
    };
    EXPECT_EQ(changes(), 3);
    const auto notes = Notifications(kCombo1);
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes[0].lParam, reinterpret_cast<LPARAM>(GetDlgItem(dialog_, kCombo1)));
    EXPECT_EQ(notes[0].threadId, recorder_.threadId.load());

    // Enter drops the list, Down moves, Enter closes it.
    Input(Key(VK_RETURN));
    EXPECT_TRUE(FindControl(Snapshot(), kCombo1)->dropped);
    Input(Key(VK_DOWN));
    Input(Key(VK_RETURN));
    EXPECT_FALSE(FindControl(Snapshot(), kCombo1)->dropped);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCURSEL), 2);
    // F4 drops it, Escape closes it; Escape never closes the dialog.
    Input(Key(VK_F4));
    EXPECT_TRUE(FindControl(Snapshot(), kCombo1)->dropped);
    Input(Key(VK_ESCAPE));
    EXPECT_FALSE(FindControl(Snapshot(), kCombo1)->dropped);
    EXPECT_FALSE(run_->Done());

    // Clicks: on the field drops; on the first row of the list chooses it.
    const ScreenView view = Snapshot();
    const auto *combo = FindControl(view, kCombo1);
    const int x = view.dialogs[0].cells.x + combo->cells.x + 2;
    const int y = view.dialogs[0].cells.y + 1 + combo->cells.y;
    Input(ClickAt(x, y));
    EXPECT_TRUE(FindControl(Snapshot(), kCombo1)->dropped);
    Input(ClickAt(x, y + 1));
    EXPECT_FALSE(FindControl(Snapshot(), kCombo1)->dropped);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCURSEL), 0);
    EXPECT_EQ(changes(), 5);

    // Tab closes a dropped list; a disabled combo ignores keys.
    Input(Key(VK_RETURN));
    Input(Key(VK_TAB));
    EXPECT_FALSE(FindControl(Snapshot(), kCombo1)->dropped);
    EnableWindow(GetDlgItem(dialog_, kCombo1), FALSE);
    SendMessageW(GetDlgItem(dialog_, kCombo1), WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(Send(dialog_, kCombo1, CB_GETCURSEL), 0);
}

// ---------------------------------------------------------------- edit boxes

TEST_F(ShellControls, EditSelectionAndReplaceSelection) {
    SetDlgItemTextW(dialog_, kFreq, u"87.5");
    DWORD start = 0xdeadbeef, end = 0xdeadbeef;
    EXPECT_EQ(Send(dialog_, kFreq, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                   reinterpret_cast<LPARAM>(&end)),
              0);
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 0u);
    Send(dialog_, kFreq, EM_SETSEL, 0, -1); // everything
    EXPECT_EQ(Send(dialog_, kFreq, EM_GETSEL), MAKELONG(0, 4));
    Send(dialog_, kFreq, EM_SETSEL, 3, 1); // reversed
    EXPECT_EQ(Send(dialog_, kFreq, EM_GETSEL), MAKELONG(1, 3));
    Send(dialog_, kFreq, EM_REPLACESEL, 0, Text(u"00"));
    EXPECT_EQ(EditText(kFreq), u"8005");
    EXPECT_EQ(Send(dialog_, kFreq, EM_GETSEL), MAKELONG(3, 3));
    Send(dialog_, kFreq, EM_SETSEL, static_cast<WPARAM>(-1), 0); // no selection, caret stays
    EXPECT_EQ(Send(dialog_, kFreq, EM_GETSEL), MAKELONG(3, 3));
    Send(dialog_, kFreq, EM_SETSEL, 99, 99); // past the end: the end
    EXPECT_EQ(Send(dialog_, kFreq, EM_GETSEL), MAKELONG(4, 4));
    Send(dialog_, kFreq, EM_REPLACESEL, 0, 0);
    EXPECT_EQ(EditText(kFreq), u"8005");

    // The test console's pattern: each append lands at the end, and the
    // auto-scrolling box shows the last line.
    std::u16string expected;
    for (int i = 0; i < 12; ++i) {
        const std::u16string line = u"$RTTMC,line " + std::u16string(1, u'a' + i) + u"\r\n";
        Append(dialog_, kLog, line.c_str());
        expected += line;
    }
    EXPECT_EQ(EditText(kLog), expected);
    const ScreenView view = Snapshot();
    const auto *log = FindControl(view, kLog);
    // 48 x 40 dialog units: 12 x 5 cells, a frame, 10 x 3 inside. Every
    // 14-character line takes two rows; the caret sits on the empty 25th.
    EXPECT_EQ(Send(dialog_, kLog, EM_GETLINECOUNT), 25);
    EXPECT_EQ(log->firstLine, 25 - 3);
    EXPECT_EQ(log->selStart, static_cast<int>(expected.size()));
    EXPECT_EQ(Send(dialog_, kFreq, EM_GETLINECOUNT), 1);
}

TEST_F(ShellControls, TypingAndEditingKeys) {
    SetFocus(GetDlgItem(dialog_, kLine));
    Type(u"94.4");
    EXPECT_EQ(EditText(kLine), u"94.4");
    Input(Key(VK_LEFT));
    Input(Key(VK_BACK)); // removes the dot
    Input(Key(VK_HOME));
    Input(Key(VK_DELETE)); // removes the 9
    Input(Key(VK_END));
    Type(u"0");
    EXPECT_EQ(EditText(kLine), u"440");
    Input(Key(VK_RIGHT));  // at the end already
    Input(Key(VK_RETURN)); // nothing in an edit box
    Input(Char(u'\t'));    // control characters are not typed
    EXPECT_EQ(EditText(kLine), u"440");
    Send(dialog_, kLine, EM_SETSEL, 0, 2);
    Type(u"X"); // replaces the selection
    EXPECT_EQ(EditText(kLine), u"X0");

    // In a multi-line box Backspace removes a line break as one.
    SetFocus(GetDlgItem(dialog_, kLog));
    SetDlgItemTextW(dialog_, kLog, u"ab\r\ncd");
    Send(dialog_, kLog, EM_SETSEL, 4, 4);
    Input(Key(VK_BACK));
    EXPECT_EQ(EditText(kLog), u"abcd");
    Input(Key(VK_END));
    EXPECT_EQ(Send(dialog_, kLog, EM_GETSEL), MAKELONG(4, 4));

    // Read-only boxes and disabled boxes take no typing.
    EnableWindow(GetDlgItem(dialog_, kLog), FALSE);
    SendMessageW(GetDlgItem(dialog_, kLog), WM_CHAR, u'z', 0);
    EXPECT_EQ(EditText(kLog), u"abcd");
}

TEST_F(ShellControls, EditCapacityDropsOldestLinesOrRefuses) {
    // A multi-line log over its limit drops whole old lines first.
    Send(dialog_, kLog, EM_LIMITTEXT, 20);
    Append(dialog_, kLog, u"line1\r\nline2\r\n");
    Append(dialog_, kLog, u"line3\r\n");
    EXPECT_EQ(EditText(kLog), u"line2\r\nline3\r\n");
    EXPECT_EQ(Send(dialog_, kLog, EM_GETSEL), MAKELONG(14, 14));
    // An insert longer than the limit keeps its newest part.
    Append(dialog_, kLog, u"abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(EditText(kLog), u"ghijklmnopqrstuvwxyz");

    // A single-line box cuts the insert, and refuses typing when full.
    Send(dialog_, kLine, EM_LIMITTEXT, 5);
    Send(dialog_, kLine, EM_REPLACESEL, 0, Text(u"1234567"));
    EXPECT_EQ(EditText(kLine), u"12345");
    SetFocus(GetDlgItem(dialog_, kLine));
    Type(u"6");
    EXPECT_EQ(EditText(kLine), u"12345");
    Input(Key(VK_BACK));
    Type(u"9");
    EXPECT_EQ(EditText(kLine), u"12349");

    // Without a limit of its own a log never passes the capacity, and the
    // newest text is always there.
    Send(dialog_, kLog, EM_LIMITTEXT, 0);
    SetDlgItemTextW(dialog_, kLog, u"");
    const std::u16string chunk(250, u'x');
    for (int i = 0; i < 300; ++i) {
        const std::u16string text = chunk + u"\r\n" + std::u16string(1, u'A' + i % 26);
        Append(dialog_, kLog, text.c_str());
    }
    const std::u16string all = EditText(kLog);
    EXPECT_LE(all.size(), 65535u);
    EXPECT_GT(all.size(), 60000u);
    EXPECT_EQ(all.back(), u'A' + 299 % 26);
    EXPECT_EQ(GetWindowTextLengthW(GetDlgItem(dialog_, kLog)), static_cast<int>(all.size()));
}

// The test console's reader: another thread sets texts, appends and moves
// the focus while the dialog's loop runs; everything lands in order.
TEST_F(ShellControls, ReaderThreadUpdatesControlsThroughMessages) {
    std::thread reader([&] {
        for (int i = 0; i < 50; ++i) {
            Append(dialog_, kLog, u"$RTRDS,1,87.5\r\n");
            SetFocus(GetDlgItem(dialog_, kFreq));
            SetDlgItemTextW(dialog_, kFreq, u" 87.5,");
        }
        SetDlgItemTextW(dialog_, kFreq, u"Exiting..");
    });
    reader.join();
    const ScreenView view = Snapshot();
    EXPECT_EQ(FindControl(view, kFreq)->text, u"Exiting..");
    EXPECT_TRUE(FindControl(view, kFreq)->focused);
    EXPECT_EQ(FindControl(view, kLog)->text.size(), 50u * 15u);
}
