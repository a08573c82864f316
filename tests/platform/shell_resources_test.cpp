// shell_resources_test.cpp — resources from the program's table: lookup,
// string tables (LoadStringW's edge cases), and the soft-key menu bar built
// from its RCDATA description, strings and popup menu.
#include "shell_test_util.h"

using namespace shelltest;
using platform::shell::Snapshot;

namespace {

constexpr WORD kMenuBar = 138;
constexpr WORD kExit = 40003, kMenu = 40001, kAbout = 40002, kTest = 32784;

// The description: menu id, count, then per button image, command, state,
// style, caption string, popup index.
std::vector<BYTE> MenuBarData(const std::vector<WORD> &words) {
    Bytes b;
    for (WORD w : words)
        b.Word(w);
    return b.bytes;
}

std::vector<BYTE> StandardBar() {
    return MenuBarData({kMenuBar, 2,                                                        //
                        I_IMAGENONE, kExit, TBSTATE_ENABLED, TBSTYLE_AUTOSIZE, 103, NOMENU, //
                        I_IMAGENONE, kMenu, TBSTATE_ENABLED, TBSTYLE_DROPDOWN | TBSTYLE_AUTOSIZE,
                        104, 0});
}

std::vector<Resource> ProgramResources(std::vector<BYTE> bar, std::vector<BYTE> menu) {
    std::vector<std::u16string> block0(16), block7(16);
    block0[1] = u"VorliskClient";
    block7[103 % 16] = u"Exit";
    block7[104 % 16] = u"Menu";
    return {
        {u"", 6, u"", 1, StringBlock(block0)},    {u"", 6, u"", 103 / 16 + 1, StringBlock(block7)},
        {u"", 10, u"", kMenuBar, std::move(bar)}, {u"", 4, u"", kMenuBar, std::move(menu)},
        {u"CEUX", 0, u"HI_RES_AWARE", 0, {1, 0}}, {u"", 14, u"", 101, {0, 0, 1, 0, 3, 0}},
    };
}

std::vector<BYTE> StandardMenu() {
    return MenuTemplate({{u"Menu", {{kAbout, u"About"}, {kTest, u"Test"}}}});
}

// Runs a dialog whose WM_INITDIALOG creates the menu bar; answers whether
// SHCreateMenuBar succeeded.
struct BarDialog {
    explicit BarDialog(Recorder &recorder) : recorder(recorder) {
        recorder.hook = [this](HWND dialog, UINT message, WPARAM, LPARAM) -> INT_PTR {
            if (message == WM_INITDIALOG) {
                SHMENUBARINFO info{};
                info.cbSize = 36;
                info.hwndParent = dialog;
                info.nToolBarId = kMenuBar;
                info.hInstRes = nullptr;
                created = SHCreateMenuBar(&info);
                bar = info.hwndMB;
                initialised = true;
            }
            return 0;
        };
        run = std::make_unique<DialogThread>(
            TemplateBuilder(u"Settings", 158, 186)
                .Control(kButton, u"TMC", 1011, WS_TABSTOP, 125, 7, 26, 12)
                .Build(),
            recorder);
        dialog = run->WaitShown();
        // Shown can come before WM_INITDIALOG has finished on the dialog's thread.
        WaitFor([this] { return initialised.load(); });
    }
    ~BarDialog() {
        EndDialog(dialog, 0);
        run->Join();
    }
    Recorder &recorder;
    std::atomic<BOOL> created{FALSE};
    std::atomic<HWND> bar{nullptr};
    std::atomic<bool> initialised{false};
    std::unique_ptr<DialogThread> run;
    HWND dialog = nullptr;
};

} // namespace

// ---------------------------------------------------------------- lookup and strings

TEST(ShellResources, FindResourceByOrdinalAndName) {
    SetProgramResources(ProgramResources(StandardBar(), StandardMenu()));
    HRSRC custom = FindResourceW(nullptr, u"hi_res_aware", u"CEUX");
    ASSERT_NE(custom, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, custom), 2u);
    const auto *value = static_cast<const BYTE *>(LockResource(LoadResource(nullptr, custom)));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value[0], 1);
    EXPECT_NE(FindResourceW(nullptr, u"#138", RT_MENU), nullptr); // "#n" is the ordinal n
    SetLastError(0);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(139), RT_MENU), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(138), RT_DIALOG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    // Handles that FindResourceW did not hand out are refused.
    int junk = 0;
    EXPECT_EQ(LoadResource(nullptr, &junk), nullptr);
    EXPECT_EQ(SizeofResource(nullptr, &junk), 0u);
    EXPECT_NE(LoadIconW(nullptr, MAKEINTRESOURCEW(101)), nullptr);
    // A module without a table has no resources.
    EXPECT_EQ(FindResourceW(reinterpret_cast<HMODULE>(0x4444), MAKEINTRESOURCEW(1), RT_STRING),
              nullptr);
    SetProgramResources({});
}

TEST(ShellResources, LoadStringEdgeCases) {
    std::vector<std::u16string> block(16);
    block[1] = u"VorliskClient";
    block[15] = u"last";
    auto resources = ProgramResources(StandardBar(), StandardMenu());
    resources[0].data = StringBlock(block);
    // Block 3 (ids 32..47) is cut in the middle of its second string.
    auto cut = StringBlock({u"abc", u"defgh"});
    cut.resize(2 + 6 + 2 + 4);
    resources.push_back({u"", 6, u"", 3, cut});
    SetProgramResources(resources);

    WCHAR buffer[32];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(LoadStringW(nullptr, 1, buffer, 100 > 32 ? 32 : 100), 13);
    EXPECT_EQ(std::u16string(buffer), u"VorliskClient");
    EXPECT_EQ(buffer[14], u'#');
    // Exact fit needs room for the terminator: cut to maxChars - 1.
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(LoadStringW(nullptr, 1, buffer, 13), 12);
    EXPECT_EQ(std::u16string(buffer), u"VorliskClien");
    EXPECT_EQ(buffer[13], u'#');
    EXPECT_EQ(LoadStringW(nullptr, 1, buffer, 1), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(LoadStringW(nullptr, 15, buffer, 32), 4);
    EXPECT_EQ(std::u16string(buffer), u"last");
    // maxChars 0: a read-only pointer to the string itself.
    const WCHAR *direct = nullptr;
    EXPECT_EQ(LoadStringW(nullptr, 1, reinterpret_cast<LPWSTR>(&direct), 0), 13);
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(std::u16string(direct, 13), u"VorliskClient");
    // Missing: an empty slot, a missing block, a block cut short.
    buffer[0] = u'#';
    EXPECT_EQ(LoadStringW(nullptr, 2, buffer, 32), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(LoadStringW(nullptr, 500, buffer, 32), 0);
    EXPECT_EQ(LoadStringW(nullptr, 32, buffer, 32), 3);
    EXPECT_EQ(LoadStringW(nullptr, 33, buffer, 32), 0);
    EXPECT_EQ(LoadStringW(nullptr, 1, nullptr, 32), 0);
    EXPECT_EQ(LoadStringW(nullptr, 1, buffer, -1), 0);
    SetProgramResources({});
}

// ---------------------------------------------------------------- the menu bar

TEST(ShellResources, MenuBarSoftKeysAndPopup) {
    SetProgramResources(ProgramResources(StandardBar(), StandardMenu()));
    Recorder recorder;
    BarDialog d(recorder);
    ASSERT_TRUE(d.created);
    EXPECT_NE(d.bar.load(), nullptr);
    EXPECT_EQ(GetParent(d.bar), d.dialog);
    ScreenView view = Snapshot();
    ASSERT_TRUE(view.hasMenuBar);
    EXPECT_EQ(view.menuBar.left, u"Exit");
    EXPECT_EQ(view.menuBar.right, u"Menu");
    EXPECT_FALSE(view.menuBar.popupOpen);

    auto menuCommands = [&] {
        std::vector<WORD> ids;
        for (const auto &c : recorder.Commands())
            ids.push_back(c.id);
        return ids;
    };
    Input(Key(VK_F1));
    EXPECT_EQ(menuCommands(), std::vector<WORD>{kExit});
    Input(Key(VK_F2)); // opens the popup; no command of its own
    view = Snapshot();
    EXPECT_TRUE(view.menuBar.popupOpen);
    EXPECT_EQ(view.menuBar.popupItems, (std::vector<std::u16string>{u"About", u"Test"}));
    EXPECT_EQ(view.menuBar.popupSelection, 0);
    Input(Key(VK_DOWN));
    Input(Key(VK_DOWN)); // stays on the last item
    EXPECT_EQ(Snapshot().menuBar.popupSelection, 1);
    Input(Key(VK_RETURN));
    EXPECT_FALSE(Snapshot().menuBar.popupOpen);
    EXPECT_EQ(menuCommands(), (std::vector<WORD>{kExit, kTest}));
    // The popup holds the keyboard; Escape closes it without a command.
    Input(Key(VK_F2));
    Input(Key(VK_TAB));
    EXPECT_FALSE(Snapshot().menuBar.popupOpen);
    Input(Key(VK_F2));
    Input(Key(VK_ESCAPE));
    EXPECT_EQ(menuCommands().size(), 2u);

    // Clicks: the right half of the last line opens the popup; its first
    // item sits on the line below the frame's top, right-aligned.
    view = Snapshot();
    Input(ClickAt(view.columns - 2, view.lines - 1));
    ASSERT_TRUE(Snapshot().menuBar.popupOpen);
    const int width = 5 + 4, height = 2 + 2;
    const int top = view.lines - 1 - height;
    Input(ClickAt(view.columns - width + 2, top + 1));
    EXPECT_EQ(menuCommands(), (std::vector<WORD>{kExit, kTest, kAbout}));
    Input(ClickAt(1, view.lines - 1));
    EXPECT_EQ(menuCommands().back(), kExit);
    const auto all = recorder.Commands();
    for (const auto &c : all)
        EXPECT_EQ(c.code, 0);
    SetProgramResources({});
}

TEST(ShellResources, MalformedMenuBarsAreRefused) {
    struct Case {
        const char *legend;
        std::vector<BYTE> bar;
        std::vector<BYTE> menu;
        bool dropStrings;
    };
    auto truncated = StandardBar();
    truncated.resize(truncated.size() - 2);
    auto badVersion = StandardMenu();
    badVersion[0] = 1; // MENUEX
    auto unterminated = StandardMenu();
    unterminated.resize(unterminated.size() - 2);
    const Case cases[] = {
        {"description cut short", truncated, StandardMenu(), false},
        {"too many buttons", MenuBarData({kMenuBar, 200}), StandardMenu(), false},
        {"popup index past the menu",
         MenuBarData({kMenuBar, 1, I_IMAGENONE, kMenu, TBSTATE_ENABLED, TBSTYLE_DROPDOWN, 104, 3}),
         StandardMenu(), false},
        {"extended menu format", StandardBar(), badVersion, false},
        {"menu text without its end", StandardBar(), unterminated, false},
        {"caption string missing", StandardBar(), StandardMenu(), true},
        {"no description at all", {}, StandardMenu(), false},
    };
    for (const Case &c : cases) {
        auto resources = ProgramResources(c.bar, c.menu);
        if (c.dropStrings)
            resources.erase(resources.begin() + 1);
        SetProgramResources(resources);
        Recorder recorder;
        BarDialog d(recorder);
        EXPECT_FALSE(d.created) << c.legend;
        EXPECT_EQ(d.bar.load(), nullptr) << c.legend;
        EXPECT_FALSE(Snapshot().hasMenuBar) << c.legend;
    }
    SHMENUBARINFO small{};
    small.cbSize = 8;
    EXPECT_FALSE(SHCreateMenuBar(&small));
    EXPECT_FALSE(SHCreateMenuBar(nullptr));
    SetProgramResources({});
}
