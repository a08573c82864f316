// The program as the phone runs it: start, the settings dialog with its
// boxes, status and "TMC" button, the menu bar, About, a second start.
#include "client_test_util.h"

using namespace clienttest;
using platform::shell::ControlView;
using platform::shell::DialogView;

namespace {

constexpr int kTmc = 1011, kStatus = 1019, kPort = 1012, kBand = 1013, kData = 1014, kSound = 1015,
              kMute = 1016, kLoad = 1017;
const char16_t kCannotLoad[] =
    u"Cannot load driver.\r\nTry installing vandelcert.cab \r\nor another COM port.";

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetClockSpeed(50);
        platform::DeactivateAllDevices();
        platform::ResetRegistry();
        RegisterRecordingPort();
        Port().Reset();
    }
    void TearDown() override {
        program.reset();
        platform::DeactivateAllDevices();
    }

    HWND Start() {
        program = std::make_unique<Program>();
        program->Start();
        return program->Settings();
    }
    static DialogView Settings() {
        const auto dialog = WaitDialog(u"Tavrinel");
        return dialog ? *dialog : DialogView{};
    }
    static std::u16string Status() { return ControlOf(Settings(), kStatus).text; }
    static bool WaitStatus(const std::u16string &text) {
        return WaitScreen([&](const platform::shell::ScreenView &screen) {
            if (screen.dialogs.empty() || screen.hasMessageBox)
                return false;
            const ControlView *status = FindControl(screen.dialogs.back(), kStatus);
            return status != nullptr && status->text == text;
        });
    }
    static void ExpectBoxesEnabled(bool enabled) {
        // The program writes the status line before it enables or disables
        // the boxes: wait until its thread has done both.
        WaitScreen([&](const platform::shell::ScreenView &screen) {
            if (screen.dialogs.empty())
                return false;
            for (int id = kPort; id <= kLoad; ++id) {
                const ControlView *box = FindControl(screen.dialogs.back(), id);
                if (box == nullptr || box->enabled != enabled)
                    return false;
            }
            return true;
        });
        const DialogView dialog = Settings();
        for (int id = kPort; id <= kLoad; ++id)
            EXPECT_EQ(ControlOf(dialog, id).enabled, enabled) << "box " << id;
        EXPECT_TRUE(ControlOf(dialog, kTmc).enabled);
    }

    std::unique_ptr<Program> program;
};

TEST_F(DialogTest, FirstStartShowsTheDefaultsAndSavesNothing) {
    HWND settings = Start();
    ASSERT_NE(settings, nullptr);
    const DialogView dialog = Settings();
    EXPECT_TRUE(dialog.fullScreen);
    EXPECT_TRUE(dialog.captionOk);
    EXPECT_EQ(ControlOf(dialog, kStatus).text, u"TMC DRIVER INACTIVE");

    const ControlView *port = &ControlOf(dialog, kPort);
    ASSERT_EQ(port->items.size(), 10u);
    EXPECT_EQ(port->items.front(), u"COM0:");
    EXPECT_EQ(port->selection, 9);
    EXPECT_EQ(port->text, u"COM9:");
    const ControlView *band = &ControlOf(dialog, kBand);
    EXPECT_EQ(band->items, (std::vector<std::u16string>{u"CCIR 87.5-108 MHz", u"Japan 76-91MHz",
                                                        u"World 76-108MHz"}));
    EXPECT_EQ(band->selection, 0);
    EXPECT_EQ(ControlOf(dialog, kData).text, u"TMC Data");
    EXPECT_EQ(ControlOf(dialog, kSound).text, u"Speaker");
    EXPECT_EQ(ControlOf(dialog, kMute).text, u"Tuned sound");
    EXPECT_EQ(ControlOf(dialog, kLoad).text, u"Manual");
    ExpectBoxesEnabled(true);

    const auto screen = platform::shell::Snapshot();
    ASSERT_TRUE(screen.hasMenuBar);
    EXPECT_EQ(screen.menuBar.left, u"Exit");
    EXPECT_EQ(screen.menuBar.right, u"Menu");

    // A changed box and "Exit" without "TMC": nothing is written.
    SendDlgItemMessageW(settings, kBand, CB_SETCURSEL, 2, 0);
    program->Exit();
    EXPECT_FALSE(KeyExists(kManualKey));
    EXPECT_FALSE(KeyExists(kStartupKey));
    EXPECT_TRUE(platform::ListActiveDevices().empty());
}

TEST_F(DialogTest, TwoPressesLoadAfterSavingThenUnloadWithoutSaving) {
    HWND settings = Start();
    ASSERT_NE(settings, nullptr);
    SendDlgItemMessageW(settings, kData, CB_SETCURSEL, 1, 0);

    Command(settings, kTmc);
    ASSERT_TRUE(WaitStatus(u"TMC DRIVER ACTIVE"));
    ExpectBoxesEnabled(false);
    EXPECT_EQ(ReadValue(kManualKey, u"Data")->AsDword(), 1u);
    EXPECT_EQ(ReadValue(kManualKey, u"Index")->AsDword(), 9u);
    ASSERT_EQ(platform::ListActiveDevices().size(), 1u);
    EXPECT_EQ(platform::ListActiveDevices()[0].name, u"COM9:");

    SetDword(kManualKey, u"Data", 0); // a save would write 1 again
    Command(settings, kTmc);
    ASSERT_TRUE(WaitStatus(u"TMC DRIVER INACTIVE"));
    ExpectBoxesEnabled(true);
    EXPECT_TRUE(platform::ListActiveDevices().empty());
    EXPECT_EQ(ReadValue(kManualKey, u"Data")->AsDword(), 0u);
    EXPECT_EQ(ControlOf(Settings(), kData).selection, 1);
    std::lock_guard guard(Port().lock);
    EXPECT_EQ(Port().inits, 1);
    EXPECT_EQ(Port().deinits, 1);
}

TEST_F(DialogTest, PortTakenByAnotherDeviceReportsTheRefusedLoad) {
    WriteDriverKey(u"Drivers\\Other", u"Other.dll", 9);
    ASSERT_NE(ActivateDeviceEx(u"Drivers\\Other", nullptr, 0, nullptr), nullptr);
    HWND settings = Start();
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(Status(), u"TMC DRIVER INACTIVE");

    Command(settings, kTmc);
    const auto box = WaitMessageBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->caption, u"ERROR");
    EXPECT_EQ(box->text, kCannotLoad);
    EXPECT_TRUE(box->errorIcon);
    DismissMessageBox();
    ASSERT_TRUE(WaitStatus(u"TMC DRIVER INACTIVE"));
    ExpectBoxesEnabled(true);
    EXPECT_TRUE(KeyExists(kManualKey)); // saved before the attempt
}

TEST_F(DialogTest, StoredChoicesWithoutEntriesShowNoSelection) {
    SetDword(kManualKey, u"Index", 12);
    SetDword(kManualKey, u"Band", 7);
    SetDword(kManualKey, u"Mute", 1);
    HWND settings = Start();
    ASSERT_NE(settings, nullptr);
    const DialogView dialog = Settings();
    EXPECT_EQ(ControlOf(dialog, kPort).selection, -1);
    EXPECT_EQ(ControlOf(dialog, kBand).selection, -1);
    EXPECT_EQ(ControlOf(dialog, kMute).text, u"Mute");
    EXPECT_EQ(ControlOf(dialog, kLoad).text, u"Manual");

    // "TMC" keeps the stored numbers of the boxes without a selection; the
    // device manager refuses index 12 and the user is told.
    Command(settings, kTmc);
    ASSERT_TRUE(WaitMessageBox().has_value());
    DismissMessageBox();
    ASSERT_TRUE(WaitStatus(u"TMC DRIVER INACTIVE"));
    EXPECT_EQ(ReadValue(kManualKey, u"Index")->AsDword(), 12u);
    EXPECT_EQ(ReadValue(kManualKey, u"Band")->AsDword(), 7u);
}

TEST_F(DialogTest, DriverLoadedAtStartDisablesTheBoxesShowingTheStoredChoices) {
    WriteDriverKey(kStartupKey, kDriverDll, 9);
    SetDword(kStartupKey, u"Band", 2);
    ASSERT_NE(ActivateDeviceEx(kStartupKey, nullptr, 0, nullptr), nullptr);
    ASSERT_NE(Start(), nullptr);
    EXPECT_EQ(Status(), u"TMC DRIVER ACTIVE");
    ExpectBoxesEnabled(false);
    EXPECT_EQ(ControlOf(Settings(), kBand).text, u"World 76-108MHz");
    EXPECT_EQ(ControlOf(Settings(), kLoad).text, u"Automatic");
}

TEST_F(DialogTest, SecondStartFrontsTheRunningDialogAndEnds) {
    HWND settings = Start();
    ASSERT_NE(settings, nullptr);
    WCHAR commandLine[] = u"";
    EXPECT_EQ(program->Entry()(program->Module(), nullptr, commandLine, SW_SHOW), 0);
    const auto screen = platform::shell::Snapshot();
    EXPECT_EQ(screen.dialogs.size(), 1u);
    EXPECT_NE(screen.foreground, nullptr);

    // After the program ended it can start again (its window and class
    // went with it).
    program->Exit();
    program->Start();
    EXPECT_NE(program->Settings(), nullptr);
}

TEST_F(DialogTest, MenuOpensAboutOverTheSettingsDialog) {
    ASSERT_NE(Start(), nullptr);
    platform::shell::InputEvent f2;
    f2.virtualKey = VK_F2;
    platform::shell::PostInput(f2);
    ASSERT_TRUE(
        WaitScreen([](const platform::shell::ScreenView &s) { return s.menuBar.popupOpen; }));
    EXPECT_EQ(platform::shell::Snapshot().menuBar.popupItems,
              (std::vector<std::u16string>{u"About", u"Test"}));
    platform::shell::InputEvent enter;
    enter.virtualKey = VK_RETURN;
    platform::shell::PostInput(enter);

    const auto about = WaitDialog(u"About VorliskClient");
    ASSERT_TRUE(about.has_value());
    EXPECT_TRUE(about->captionOk);
    EXPECT_TRUE(ControlOf(*about, 201).isIcon);
    EXPECT_EQ(ControlOf(*about, 202).text, u"VorliskClient Version 0.1");
    EXPECT_FALSE(ControlOf(*about, 203).text.empty());
    PostMessageW(about->hwnd, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitDialog(u"Tavrinel").has_value());
    EXPECT_EQ(platform::shell::Snapshot().dialogs.size(), 1u);
}

// The resources as the shell reads them: strings, the icon group and its
// three 256-colour images.
TEST_F(DialogTest, ResourcesHoldTheStringsAndTheIcon) {
    Program loaded;
    HMODULE module = loaded.Module();
    WCHAR text[100];
    ASSERT_EQ(LoadStringW(module, 1, text, 100), 13);
    EXPECT_EQ(std::u16string(text), u"VorliskClient");
    LoadStringW(module, 103, text, 100);
    EXPECT_EQ(std::u16string(text), u"Exit");
    LoadStringW(module, 104, text, 100);
    EXPECT_EQ(std::u16string(text), u"Menu");
    EXPECT_NE(LoadIconW(module, MAKEINTRESOURCEW(101)), nullptr);

    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(101), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    const auto *dir = static_cast<const BYTE *>(LockResource(LoadResource(module, group)));
    ASSERT_EQ(SizeofResource(module, group), 6u + 3 * 14);
    const int sizes[] = {64, 32, 16};
    for (int i = 0; i < 3; ++i) {
        const BYTE *entry = dir + 6 + 14 * i;
        EXPECT_EQ(entry[0], sizes[i]);
        WORD bits, id;
        DWORD bytes;
        std::memcpy(&bits, entry + 6, 2);
        std::memcpy(&bytes, entry + 8, 4);
        std::memcpy(&id, entry + 12, 2);
        EXPECT_EQ(bits, 8);
        HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(id), RT_ICON);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(SizeofResource(module, image), bytes);
        const DWORD pixels = static_cast<DWORD>(sizes[i] * sizes[i]);
        const DWORD mask = static_cast<DWORD>(((sizes[i] + 31) / 32) * 4 * sizes[i]);
        EXPECT_EQ(bytes, 40 + 1024 + pixels + mask);
    }
    HRSRC marker = FindResourceW(module, u"HI_RES_AWARE", u"CEUX");
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(SizeofResource(module, marker), 2u);
}

} // namespace
