// shell_modal_test.cpp — nested dialogs and message boxes, owners,
// SHInitDialog's caption OK button, FindWindowW and the foreground, the
// wait cursor, and what the renderer is handed.
#include "shell_test_util.h"

using namespace shelltest;
using platform::shell::Snapshot;

namespace {

std::vector<BYTE> Outer() {
    return TemplateBuilder(u"Settings", 158, 186)
        .Control(kButton, u"About", 40002, WS_TABSTOP, 7, 7, 30, 12)
        .Control(kButton, u"Box", 40003, WS_TABSTOP, 47, 7, 30, 12)
        .Build();
}

std::vector<BYTE> Inner() {
    return TemplateBuilder(u"About", 156, 129, WS_POPUP | WS_CAPTION | DS_SETFONT,
                           WS_EX_CAPTIONOKBTN)
        .Control(kButton, u"Close", 7, WS_TABSTOP, 7, 7, 30, 12)
        .Build();
}

// A frame window like the control program's, on the calling thread.
LRESULT CALLBACK FrameProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND MakeFrame(const WCHAR *className, const WCHAR *title) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = FrameProc;
    wc.lpszClassName = className;
    RegisterClassW(&wc);
    return CreateWindowExW(0, className, title, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
}

struct RecordingRenderer : platform::shell::Renderer {
    std::mutex lock;
    std::vector<ScreenView> views;
    void Present(const ScreenView &screen) override {
        std::lock_guard guard(lock);
        views.push_back(screen);
    }
    size_t Count() {
        std::lock_guard guard(lock);
        return views.size();
    }
    ScreenView Last() {
        std::lock_guard guard(lock);
        return views.empty() ? ScreenView{} : views.back();
    }
};

} // namespace

// ---------------------------------------------------------------- nesting

TEST(ShellModal, NestedDialogTakesInputAndReturnsToTheOuterOne) {
    Recorder outer, inner;
    std::atomic<INT_PTR> innerResult{-100};
    std::atomic<HWND> frame{nullptr};
    outer.hook = [&](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_COMMAND && LOWORD(wParam) == 40002) {
            const auto templ = Inner();
            innerResult = DialogBoxIndirectParamW(
                nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(templ.data()), GetParent(dialog),
                RecordingProc, reinterpret_cast<LPARAM>(&inner));
            return TRUE;
        }
        return 0;
    };
    inner.hook = [&](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == 7)) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return 0;
    };
    std::atomic<INT_PTR> outerResult{-100};
    std::thread ui([&] {
        frame = MakeFrame(u"ShellModalFrame", u"Frame");
        const auto templ = Outer();
        outerResult =
            DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(templ.data()), frame,
                                    RecordingProc, reinterpret_cast<LPARAM>(&outer));
        DestroyWindow(frame);
    });
    // The dialog shows on the screen a moment before its initialisation has
    // run: wait for that too.
    ASSERT_TRUE(WaitFor([&] {
        return Snapshot().dialogs.size() == 1 && outer.dialog.load() != nullptr &&
               !IsWindowEnabled(frame);
    })) << "the owner is disabled while a dialog runs";
    EXPECT_EQ(GetParent(outer.dialog), frame.load());

    Input(Key(VK_RETURN)); // "About" has the focus
    ASSERT_TRUE(WaitFor([&] { return Snapshot().dialogs.size() == 2; }));
    ScreenView view = Snapshot();
    EXPECT_EQ(view.dialogs[1].caption, u"About");
    EXPECT_TRUE(view.dialogs[1].captionOk); // WS_EX_CAPTIONOKBTN
    // Only the top-most dialog takes input: Tab and Enter act in About.
    Input(Key(VK_RETURN));
    EXPECT_EQ(innerResult, 7);
    ASSERT_TRUE(WaitFor([&] { return Snapshot().dialogs.size() == 1; }));
    EXPECT_EQ(outer.Commands().size(), 1u);
    EXPECT_FALSE(IsWindowEnabled(frame)); // still the outer dialog's owner

    // Again, closed with the caption's OK mark (a click in its cells).
    Input(Key(VK_RETURN));
    ASSERT_TRUE(WaitFor([&] { return Snapshot().dialogs.size() == 2; }));
    view = Snapshot();
    const auto &cells = view.dialogs[1].cells;
    Input(ClickAt(cells.x + cells.width - 3, cells.y));
    EXPECT_EQ(innerResult, IDOK);

    ASSERT_TRUE(WaitFor([&] { return Snapshot().dialogs.size() == 1; }));
    EndDialog(outer.dialog, 3);
    ui.join();
    EXPECT_EQ(outerResult, 3);
}

TEST(ShellModal, MessageBoxesFromAnyThreadAreModalOverEverything) {
    Recorder recorder;
    std::atomic<int> answer{-1};
    recorder.hook = [&](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_COMMAND && LOWORD(wParam) == 40003) {
            answer = MessageBoxW(dialog, u"Cannot open COM port.\r\nIs the driver loaded?",
                                 u"ERROR", MB_OK | MB_ICONERROR);
            return TRUE;
        }
        return 0;
    };
    DialogThread run(Outer(), recorder);
    const HWND dialog = run.WaitShown();
    SetFocus(GetDlgItem(dialog, 40003));
    PostMessageW(GetDlgItem(dialog, 40003), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitFor([] { return Snapshot().hasMessageBox; }));
    ScreenView view = Snapshot();
    EXPECT_EQ(view.messageBox.caption, u"ERROR");
    EXPECT_EQ(view.messageBox.text, u"Cannot open COM port.\r\nIs the driver loaded?");
    EXPECT_TRUE(view.messageBox.errorIcon);
    EXPECT_FALSE(IsWindowEnabled(dialog)); // its owner
    // Keys go to the box, not to the dialog below.
    Input(Key(VK_TAB));
    Input(Key(VK_SPACE));
    // MessageBoxW returns on the dialog's thread just after the box went.
    EXPECT_TRUE(WaitFor([&] { return answer == IDOK; }));
    EXPECT_FALSE(Snapshot().hasMessageBox);
    EXPECT_TRUE(IsWindowEnabled(dialog));
    EXPECT_EQ(recorder.Commands().size(), 1u);

    // From another thread, without an owner, over the running dialog;
    // Escape dismisses it. A second box from a third thread stacks on top.
    std::atomic<int> fromReader{-1}, third{-1};
    std::thread reader([&] { fromReader = MessageBoxW(nullptr, u"one", nullptr, MB_OK); });
    ASSERT_TRUE(WaitFor([] { return Snapshot().hasMessageBox; }));
    EXPECT_EQ(Snapshot().messageBox.caption, u"Error"); // the default caption
    std::thread another([&] { third = MessageBoxW(nullptr, u"two", u"T", MB_OKCANCEL); });
    ASSERT_TRUE(WaitFor([] { return Snapshot().messageBox.text == u"two"; }));
    Input(Key(VK_ESCAPE));
    another.join();
    EXPECT_EQ(third, IDCANCEL);
    EXPECT_EQ(Snapshot().messageBox.text, u"one");
    Input(ClickAt(0, 0));
    reader.join();
    EXPECT_EQ(fromReader, IDOK);
    EXPECT_FALSE(Snapshot().hasMessageBox);
    EndDialog(dialog, 0);
    run.Join();
}

// ---------------------------------------------------------------- shell dialogs

TEST(ShellModal, InitDialogFullScreenWithCaptionOk) {
    Recorder recorder;
    recorder.hook = [](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            SHINITDLGINFO info{SHIDIM_FLAGS, dialog, 0x2D};
            EXPECT_TRUE(SHInitDialog(&info));
        }
        if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
            EndDialog(dialog, 42);
            return TRUE;
        }
        return 0;
    };
    platform::shell::SetScreenSize(60, 24);
    DialogThread run(Outer(), recorder);
    run.WaitShown();
    const ScreenView view = Snapshot();
    ASSERT_EQ(view.dialogs.size(), 1u);
    EXPECT_TRUE(view.dialogs[0].fullScreen);
    EXPECT_TRUE(view.dialogs[0].captionOk);
    EXPECT_TRUE(view.hasMenuBar); // the empty menu bar's line
    EXPECT_EQ(view.dialogs[0].cells.width, 60);
    EXPECT_EQ(view.dialogs[0].cells.height, 23);
    SHINITDLGINFO bad{SHIDIM_FLAGS, GetDlgItem(recorder.dialog, 40002), 0x2D};
    EXPECT_FALSE(SHInitDialog(&bad));
    EXPECT_FALSE(SHInitDialog(nullptr));
    Input(ClickAt(57, 0)); // "[ok]" at the right of the caption
    EXPECT_EQ(run.Join(), 42);
    const auto commands = recorder.Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].id, IDOK);
}

TEST(ShellModal, EscapePressesTheCaptionOk) {
    Recorder recorder;
    recorder.hook = [](HWND dialog, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            SHINITDLGINFO info{SHIDIM_FLAGS, dialog, 0x2D};
            SHInitDialog(&info);
        }
        if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
            EndDialog(dialog, 7);
            return TRUE;
        }
        return 0;
    };
    DialogThread run(Outer(), recorder);
    run.WaitShown();
    Input(Key(VK_ESCAPE)); // the keyboard's way to "[ok]"
    EXPECT_EQ(run.Join(), 7);
}

// ---------------------------------------------------------------- top-level windows

TEST(ShellModal, FindWindowAndForegroundWithTheLowBit) {
    std::atomic<HWND> frame{nullptr};
    Recorder recorder;
    std::thread ui([&] {
        frame = MakeFrame(u"VorliskClientTest", u"VorliskClientTest");
        const auto templ = Outer();
        DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(templ.data()), frame,
                                RecordingProc, reinterpret_cast<LPARAM>(&recorder));
        DestroyWindow(frame);
    });
    ASSERT_TRUE(WaitFor([&] { return recorder.dialog != nullptr; }));
    EXPECT_EQ(FindWindowW(u"vorliskclienttest", u"VorliskClientTest"), frame.load());
    EXPECT_EQ(FindWindowW(u"VorliskClientTest", nullptr), frame.load());
    EXPECT_EQ(FindWindowW(nullptr, u"Settings"), recorder.dialog.load()); // a dialog's caption
    EXPECT_EQ(FindWindowW(u"VorliskClientTest", u"Other"), nullptr);
    EXPECT_EQ(FindWindowW(u"BUTTON", nullptr), nullptr); // children are not top-level

    const auto withBit = reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(frame.load()) | 1);
    EXPECT_TRUE(SetForegroundWindow(withBit));
    EXPECT_EQ(Snapshot().foreground, recorder.dialog.load());
    EXPECT_EQ(GetForegroundWindow(), recorder.dialog.load());
    EXPECT_TRUE(SetForegroundWindow(frame));
    EXPECT_EQ(Snapshot().foreground, frame.load());
    EXPECT_FALSE(SetForegroundWindow(reinterpret_cast<HWND>(0x12345679)));
    EndDialog(recorder.dialog, 0);
    ui.join();
    EXPECT_EQ(FindWindowW(u"VorliskClientTest", nullptr), nullptr);
}

// ---------------------------------------------------------------- cursor, painting, renderer

TEST(ShellModal, WaitCursorAndPaintingStandIns) {
    const HCURSOR wait = LoadCursorW(nullptr, IDC_WAIT);
    ASSERT_NE(wait, nullptr);
    EXPECT_NE(LoadCursorW(nullptr, IDC_ARROW), wait);
    EXPECT_EQ(LoadCursorW(nullptr, MAKEINTRESOURCEW(1)), nullptr);
    SetCursor(wait);
    EXPECT_TRUE(Snapshot().waitCursor);
    EXPECT_EQ(SetCursor(nullptr), wait);
    EXPECT_FALSE(Snapshot().waitCursor);

    const HWND frame = MakeFrame(u"ShellPaintFrame", u"Paint");
    PAINTSTRUCT paint;
    std::memset(&paint, 0xA5, sizeof paint);
    const HDC dc = BeginPaint(frame, &paint);
    EXPECT_NE(dc, nullptr);
    EXPECT_EQ(paint.hdc, dc);
    EXPECT_TRUE(EndPaint(frame, &paint));
    EXPECT_NE(GetStockObject(WHITE_BRUSH), nullptr);
    EXPECT_TRUE(UpdateWindow(frame));
    EXPECT_TRUE(ShowWindow(frame, SW_HIDE)); // was visible
    EXPECT_FALSE(IsWindowVisible(frame));
    // A plain window keeps its text through DefWindowProcW.
    EXPECT_TRUE(SetWindowTextW(frame, u"Renamed"));
    WCHAR text[4];
    EXPECT_EQ(GetWindowTextW(frame, text, 4), 3);
    EXPECT_EQ(std::u16string(text), u"Ren");
    EXPECT_EQ(GetWindowTextLengthW(frame), 7);
    DestroyWindow(frame);
    EXPECT_EQ(BeginPaint(frame, &paint), nullptr);
}

// Changes reach the renderer, also those made by messages sent from other
// threads while the dialog's loop waits; nothing changed, nothing presented.
TEST(ShellModal, RendererSeesEveryChange) {
    RecordingRenderer renderer;
    platform::shell::SetRenderer(&renderer);
    Recorder recorder;
    const auto templ = TemplateBuilder(u"Console", 160, 120)
                           .Control(kEdit, u"", 1008, ES_MULTILINE | WS_TABSTOP, 7, 7, 100, 60)
                           .Build();
    DialogThread run(templ, recorder);
    const HWND dialog = run.WaitShown();
    ASSERT_TRUE(WaitFor([&] { return renderer.Last().dialogs.size() == 1; }));
    SendDlgItemMessageW(dialog, 1008, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(u"$RTTMC"));
    ASSERT_TRUE(WaitFor([&] {
        const ScreenView last = renderer.Last();
        return !last.dialogs.empty() && FindControl(last, 1008)->text == u"$RTTMC";
    }));
    const size_t before = renderer.Count();
    EXPECT_EQ(GetWindowTextLengthW(GetDlgItem(dialog, 1008)), 6); // a read changes nothing
    SetCursor(nullptr);
    EXPECT_EQ(renderer.Count(), before);
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    EXPECT_EQ(renderer.Count(), before + 1);
    EXPECT_TRUE(renderer.Last().waitCursor);
    SetCursor(nullptr);
    EndDialog(dialog, 0);
    run.Join();
    EXPECT_TRUE(renderer.Last().dialogs.empty());
    platform::shell::SetRenderer(nullptr);
}
