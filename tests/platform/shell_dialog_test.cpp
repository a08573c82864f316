// shell_dialog_test.cpp — dialogs from templates: parsing (and refusing
// malformed templates), WM_INITDIALOG and focus, tab order, buttons,
// EndDialog, cells, and messages sent from other threads.
#include "shell_test_util.h"

using namespace shelltest;
using platform::shell::Snapshot;

namespace {

std::vector<BYTE> ThreeButtons() {
    return TemplateBuilder(u"Buttons", 160, 100)
        .Control(kStatic, u"Label", 0xFFFF, SS_LEFT, 7, 7, 40, 8)
        .Control(kButton, u"One", 101, BS_PUSHBUTTON | WS_TABSTOP, 7, 20, 30, 12)
        .Control(kButton, u"Two", 102, BS_PUSHBUTTON | WS_TABSTOP, 47, 20, 30, 12)
        .Control(kButton, u"Three", 103, BS_PUSHBUTTON | WS_TABSTOP, 87, 20, 30, 12)
        .Build();
}

HWND Focused(const ScreenView &view) {
    for (const auto &c : view.dialogs.back().controls)
        if (c.focused)
            return c.hwnd;
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------- templates

TEST(ShellDialog, TemplateMakesControlsWithCellsAndText) {
    Recorder recorder;
    const auto templ =
        TemplateBuilder(u"Settings", 158, 186)
            .Control(kStatic, u"DRIVER NOT LOADED", 1019, SS_CENTER, 7, 7, 112, 8)
            .Control(kButton, u"TMC", 1011, WS_TABSTOP, 125, 7, 26, 12)
            .Control(kCombo, u"", 1012, CBS_DROPDOWNLIST | WS_TABSTOP, 80, 23, 71, 90)
            .Control(kEdit, u"87.5", 1005, WS_BORDER | WS_TABSTOP, 38, 7, 51, 13)
            .Control(kStatic, u"tiny", 1020, 0, 0, 0, 2, 3)
            .IconStatic(101, 201, 12, 12, 20, 20)
            .Control(kStatic, u"hidden", 1021, 0, 0, 40, 20, 8)
            .Hidden()
            // A label a little lower than the list beside it, and one
            // beside nothing.
            .Control(kCombo, u"", 1013, CBS_DROPDOWNLIST | WS_TABSTOP, 80, 41, 71, 73)
            .Control(kStatic, u"FM Band", 1022, SS_LEFT, 15, 44, 48, 10)
            .Control(kStatic, u"alone", 1023, SS_LEFT, 15, 60, 48, 10)
            .Build();
    DialogThread run(templ, recorder);
    const HWND dialog = run.WaitShown();
    ASSERT_NE(dialog, nullptr);
    const ScreenView view = Snapshot();
    ASSERT_EQ(view.dialogs.size(), 1u);
    EXPECT_EQ(view.dialogs[0].caption, u"Settings");
    ASSERT_EQ(view.dialogs[0].controls.size(), 10u);
    EXPECT_EQ(FindControl(view, 1022)->cells.y, FindControl(view, 1013)->cells.y)
        << "a label sits on its list's line";
    EXPECT_EQ(FindControl(view, 1023)->cells.y, 8);

    const auto *status = FindControl(view, 1019);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->className, u"STATIC");
    EXPECT_EQ(status->text, u"DRIVER NOT LOADED");
    EXPECT_EQ(status->cells.x, 2);
    EXPECT_EQ(status->cells.y, 1);
    EXPECT_EQ(status->cells.width, 28);
    EXPECT_EQ(status->cells.height, 1);
    const auto *combo = FindControl(view, 1012);
    EXPECT_EQ(combo->className, u"COMBOBOX");
    EXPECT_EQ(combo->cells.x, 20);
    EXPECT_EQ(combo->cells.y, 3);
    EXPECT_EQ(combo->cells.height, 11); // the field and its dropped list
    EXPECT_EQ(FindControl(view, 1005)->text, u"87.5");
    EXPECT_EQ(FindControl(view, 1005)->className, u"EDIT");
    const auto *tiny = FindControl(view, 1020);
    EXPECT_EQ(tiny->cells.width, 1);
    EXPECT_EQ(tiny->cells.height, 1);
    EXPECT_TRUE(FindControl(view, 201)->isIcon);
    EXPECT_FALSE(FindControl(view, 1021)->visible);

    // Control windows answer the window functions.
    const HWND tmc = GetDlgItem(dialog, 1011);
    ASSERT_NE(tmc, nullptr);
    EXPECT_EQ(GetDlgCtrlID(tmc), 1011);
    EXPECT_EQ(GetParent(tmc), dialog);
    EXPECT_EQ(GetDlgItem(dialog, 4242), nullptr);
    WCHAR text[8] = {};
    EXPECT_EQ(GetWindowTextW(tmc, text, 8), 3);
    EXPECT_EQ(std::u16string(text), u"TMC");
    EXPECT_EQ(GetWindowTextLengthW(dialog), 8);
    EXPECT_TRUE(SetWindowTextW(dialog, u"Renamed"));
    EXPECT_TRUE(SetDlgItemTextW(dialog, 1019, u"TMC DRIVER ACTIVE"));
    EXPECT_EQ(GetDlgItemTextW(dialog, 1019, text, 4), 3u); // cut to the room
    EXPECT_EQ(std::u16string(text), u"TMC");
    EXPECT_EQ(Snapshot().dialogs[0].caption, u"Renamed");
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, 1021)));
    EXPECT_TRUE(IsWindowVisible(tmc));

    EXPECT_TRUE(EndDialog(dialog, 77));
    EXPECT_EQ(run.Join(), 77);
    EXPECT_TRUE(Snapshot().dialogs.empty());
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_FALSE(IsWindow(tmc));
}

TEST(ShellDialog, MalformedTemplatesAreRefused) {
    const auto good = ThreeButtons();
    // Every proper prefix of a template, loaded as a resource of that size.
    std::vector<Resource> resources;
    for (size_t n = 0; n < good.size(); ++n)
        resources.push_back({u"", 5, u"", static_cast<WORD>(1000 + n),
                             std::vector<BYTE>(good.begin(), good.begin() + n)});
    resources.push_back({u"", 5, u"", 999, good});
    SetProgramResources(resources);
    Recorder recorder;
    for (size_t n = 0; n < good.size(); ++n) {
        LPCDLGTEMPLATEW templ = LoadTemplate(static_cast<WORD>(1000 + n));
        if (n == 0) {
            EXPECT_EQ(templ, nullptr); // a resource without data
            continue;
        }
        ASSERT_NE(templ, nullptr) << n;
        EXPECT_EQ(DialogBoxIndirectParamW(nullptr, templ, nullptr, RecordingProc,
                                          reinterpret_cast<LPARAM>(&recorder)),
                  -1)
            << "prefix of " << n << " bytes";
    }
    EXPECT_EQ(recorder.dialog, nullptr); // no WM_INITDIALOG ever

    // The whole resource runs.
    recorder.hook = [](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG)
            EndDialog(dialog, 5);
        return 0;
    };
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, LoadTemplate(999), nullptr, RecordingProc,
                                      reinterpret_cast<LPARAM>(&recorder)),
              5);

    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, nullptr, nullptr, RecordingProc, 0), -1);

    // An unknown class ordinal (a list box), too many items, bad creation data.
    auto listBox = TemplateBuilder(u"x", 10, 10).Control(kButton, u"b", 1, 0, 0, 0, 4, 4).Build();
    const size_t classAt = listBox.size() - 2 - 4 - 2; // ... 0xFFFF, class, "b\0", extra
    ASSERT_EQ(listBox[classAt - 2], 0xFF);
    listBox[classAt] = 0x83;
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(listBox.data()),
                                      nullptr, RecordingProc, 0),
              -1);
    auto many = TemplateBuilder(u"x", 10, 10).Build();
    reinterpret_cast<DLGTEMPLATE *>(many.data())->cdit = 300;
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(many.data()),
                                      nullptr, RecordingProc, 0),
              -1);
    auto extra = TemplateBuilder(u"x", 10, 10).Control(kButton, u"b", 1, 0, 0, 0, 4, 4).Build();
    extra[extra.size() - 2] = 1; // creation data of one byte cannot hold its own size
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(extra.data()),
                                      nullptr, RecordingProc, 0),
              -1);
    SetProgramResources({});
}

// ---------------------------------------------------------------- focus

TEST(ShellDialog, InitDialogGetsParamAndFocusGoesToFirstTabStop) {
    Recorder recorder;
    DialogThread run(ThreeButtons(), recorder);
    const HWND dialog = run.WaitShown();
    const HWND one = GetDlgItem(dialog, 101);
    {
        std::lock_guard guard(recorder.lock);
        EXPECT_EQ(recorder.initFocus, one);
        EXPECT_EQ(recorder.initParam, reinterpret_cast<LPARAM>(&recorder));
    }
    EXPECT_EQ(Focused(Snapshot()), one);
    EndDialog(dialog, 0);
    run.Join();

    // Answering FALSE leaves the focus alone.
    Recorder second;
    second.initAnswer = FALSE;
    DialogThread run2(ThreeButtons(), second);
    const HWND dialog2 = run2.WaitShown();
    EXPECT_EQ(Focused(Snapshot()), nullptr);
    EndDialog(dialog2, 0);
    run2.Join();
}

TEST(ShellDialog, TabOrderSkipsDisabledAndHiddenControls) {
    Recorder recorder;
    const auto templ = TemplateBuilder(u"Tabs", 160, 100)
                           .Control(kButton, u"A", 1, WS_TABSTOP, 0, 0, 20, 8)
                           .Control(kButton, u"B", 2, WS_TABSTOP, 20, 0, 20, 8)
                           .Control(kStatic, u"s", 3, 0, 40, 0, 20, 8)
                           .Control(kCombo, u"", 4, CBS_DROPDOWNLIST | WS_TABSTOP, 60, 0, 20, 40)
                           .Control(kEdit, u"", 5, WS_TABSTOP, 80, 0, 20, 8)
                           .Hidden()
                           .Control(kButton, u"F", 6, 0, 100, 0, 20, 8) // no tab stop
                           .Build();
    DialogThread run(templ, recorder);
    const HWND dialog = run.WaitShown();
    auto focusId = [] {
        const HWND f = Focused(Snapshot());
        return f ? GetDlgCtrlID(f) : 0;
    };
    EXPECT_EQ(focusId(), 1);
    Input(Key(VK_TAB));
    EXPECT_EQ(focusId(), 2);
    Input(Key(VK_TAB));
    EXPECT_EQ(focusId(), 4);
    Input(Key(VK_TAB)); // wraps round past the hidden edit box
    EXPECT_EQ(focusId(), 1);
    Input(Key(VK_TAB, true));
    EXPECT_EQ(focusId(), 4);

    // A disabled control is skipped, and its WM_ENABLE arrives.
    EXPECT_FALSE(EnableWindow(GetDlgItem(dialog, 2), FALSE)); // was enabled
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, 2)));
    EXPECT_TRUE(EnableWindow(GetDlgItem(dialog, 2), FALSE)); // was disabled
    Input(Key(VK_TAB));
    EXPECT_EQ(focusId(), 1);
    Input(Key(VK_TAB));
    EXPECT_EQ(focusId(), 4);
    EXPECT_FALSE(FindControl(Snapshot(), 2)->enabled);
    // SetFocus refuses a disabled control; moves to an enabled one.
    EXPECT_EQ(SetFocus(GetDlgItem(dialog, 2)), nullptr);
    EXPECT_EQ(focusId(), 4);
    SetFocus(GetDlgItem(dialog, 6));
    EXPECT_EQ(focusId(), 6);
    EndDialog(dialog, 0);
    run.Join();
}

// ---------------------------------------------------------------- buttons

TEST(ShellDialog, ButtonPressesSendCommandOnTheDialogThread) {
    Recorder recorder;
    DialogThread run(ThreeButtons(), recorder);
    const HWND dialog = run.WaitShown();
    const HWND one = GetDlgItem(dialog, 101), two = GetDlgItem(dialog, 102);
    Input(Key(VK_RETURN)); // focus on One
    Input(Key(VK_TAB));
    Input(Key(VK_SPACE)); // Two
    // A click on Three: its cells, below the caption line.
    const ScreenView view = Snapshot();
    const auto *three = FindControl(view, 103);
    const auto &cells = view.dialogs[0].cells;
    Input(ClickAt(cells.x + three->cells.x + 1, cells.y + 1 + three->cells.y));
    SendMessageW(two, BM_CLICK, 0, 0); // from this thread: delivered on the dialog's
    // A disabled button ignores presses.
    EnableWindow(one, FALSE);
    SendMessageW(one, BM_CLICK, 0, 0);

    const auto commands = recorder.Commands();
    ASSERT_EQ(commands.size(), 4u);
    const WORD ids[] = {101, 102, 103, 102};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(commands[i].id, ids[i]);
        EXPECT_EQ(commands[i].code, BN_CLICKED);
        EXPECT_EQ(commands[i].lParam, reinterpret_cast<LPARAM>(GetDlgItem(dialog, ids[i])));
        EXPECT_EQ(commands[i].threadId, recorder.threadId.load());
    }
    EXPECT_EQ(Focused(Snapshot()), GetDlgItem(dialog, 103)); // a click focuses
    // Escape does not close a dialog; WM_CLOSE goes to the procedure.
    Input(Key(VK_ESCAPE));
    EXPECT_FALSE(run.Done());
    recorder.hook = [](HWND d, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_CLOSE) {
            EndDialog(d, 9);
            return TRUE;
        }
        return 0;
    };
    SendMessageW(dialog, WM_CLOSE, 0, 0);
    EXPECT_EQ(run.Join(), 9);
}

// ---------------------------------------------------------------- threads

// The test console's reader thread: its sends are handled on the dialog's
// thread while that thread takes messages, and wait while it sleeps.
TEST(ShellDialog, SendsFromOtherThreadsWaitWhileTheDialogSleeps) {
    Recorder recorder;
    std::atomic<bool> sleeping{false};
    std::vector<std::string> order; // on the dialog's thread only
    recorder.hook = [&](HWND, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_COMMAND && LOWORD(wParam) == 101) {
            sleeping = true;
            order.push_back("sleep");
            Sleep(200);
            order.push_back("awake");
            sleeping = false;
            return TRUE;
        }
        if (message == WM_USER + 1) {
            order.push_back("sent");
            return 0x55;
        }
        return 0;
    };
    DialogThread run(ThreeButtons(), recorder);
    const HWND dialog = run.WaitShown();
    // Delivered while the loop waits: on the dialog's thread.
    EXPECT_EQ(SendMessageW(dialog, WM_USER + 1, 0, 0), 0x55);
    {
        std::lock_guard guard(recorder.lock);
        EXPECT_EQ(recorder.messages.back(), static_cast<UINT>(WM_USER + 1));
    }
    order.clear();
    PostMessageW(GetDlgItem(dialog, 101), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return sleeping.load(); }));
    SendMessageW(dialog, WM_USER + 1, 0, 0);
    EndDialog(dialog, 0);
    run.Join();
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], "sleep");
    EXPECT_EQ(order[1], "awake");
    EXPECT_EQ(order[2], "sent");
}

TEST(ShellDialog, EndDialogFromAnotherThreadAndQuitEndsTheLoop) {
    Recorder recorder;
    DialogThread run(ThreeButtons(), recorder);
    const HWND dialog = run.WaitShown();
    EXPECT_FALSE(EndDialog(GetDlgItem(dialog, 101), 1)); // not a dialog
    EXPECT_TRUE(EndDialog(dialog, -7));
    EXPECT_EQ(run.Join(), -7);
    EXPECT_FALSE(EndDialog(dialog, 1));

    // WM_QUIT ends the loop with 0 and stays in the queue for the caller.
    Recorder quitting;
    quitting.hook = [](HWND, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_COMMAND && LOWORD(wParam) == 101)
            PostQuitMessage(3);
        return 0;
    };
    std::atomic<int> quitCode{-1};
    std::thread thread([&] {
        const auto templ = ThreeButtons();
        EXPECT_EQ(DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(templ.data()),
                                          nullptr, RecordingProc,
                                          reinterpret_cast<LPARAM>(&quitting)),
                  0);
        MSG msg{};
        if (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
            quitCode = static_cast<int>(msg.wParam);
    });
    ASSERT_TRUE(WaitFor([&] { return quitting.dialog != nullptr; }));
    SendMessageW(GetDlgItem(quitting.dialog, 101), BM_CLICK, 0, 0);
    thread.join();
    EXPECT_EQ(quitCode, 3);
}
