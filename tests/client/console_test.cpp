// The test console over the recording port: the bytes every button writes,
// the "Man" toggle, what the reader shows and extracts, and closing while
// the reader is busy.
#include "client_test_util.h"

using namespace clienttest;
using platform::shell::DialogView;

namespace {

constexpr int kSeekDown = 1000, kStepDown = 1001, kStepUp = 1002, kSeekUp = 1003, kFreq = 1005,
              kSet = 1006, kMan = 1007, kReceive = 1008, kSend = 1009;
constexpr int kTest = 32784;

// The sentence checksum, computed here on its own.
std::string Checksummed(const std::string &body) {
    unsigned x = 0;
    size_t i = 1;
    for (; i < body.size() && body[i] != '*'; ++i)
        x ^= static_cast<unsigned char>(body[i]);
    char digits[3];
    snprintf(digits, sizeof digits, "%02X", x);
    return body.substr(0, i + 1) + digits + "\r\n";
}

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetClockSpeed(50);
        platform::DeactivateAllDevices();
        platform::ResetRegistry();
        RegisterRecordingPort();
        Port().Reset();
    }
    void TearDown() override {
        {
            std::lock_guard guard(Port().lock);
            Port().holdReads = false;
            Port().changed.notify_all();
        }
        program.reset();
        platform::DeactivateAllDevices();
    }

    void LoadPort() {
        WriteDriverKey(kManualKey, kDriverDll, 9);
        ASSERT_NE(ActivateDeviceEx(kManualKey, nullptr, 0, nullptr), nullptr);
    }
    void StartProgram() {
        program = std::make_unique<Program>();
        program->Start();
        settings = program->Settings();
        ASSERT_NE(settings, nullptr);
    }
    HWND OpenConsole() {
        Command(settings, kTest);
        const auto dialog = WaitDialog(u"TMC Test");
        return dialog ? dialog->hwnd : nullptr;
    }
    void CloseConsole(HWND console) {
        PostMessageW(console, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(WaitDialog(u"Tavrinel").has_value());
    }
    // Presses a button and answers what that one press wrote.
    std::string Press(HWND console, int id) {
        size_t before;
        {
            std::lock_guard guard(Port().lock);
            before = Port().writes.size();
        }
        Command(console, id);
        if (!Port().WaitFor([&] { return Port().writes.size() > before; }))
            return "(nothing written)";
        std::lock_guard guard(Port().lock);
        return Port().writes.back();
    }
    static std::u16string Text(int id) {
        const auto dialog = TopDialog();
        return dialog ? ControlOf(*dialog, id).text : u"(no dialog)";
    }
    // Queues one read and waits until the pass that took it has finished
    // (the reader asks for the next read).
    static void Deliver(const std::string &chunk) {
        int reads;
        {
            std::lock_guard guard(Port().lock);
            Port().chunks.push_back(chunk);
            reads = Port().reads;
            Port().changed.notify_all();
        }
        ASSERT_TRUE(Port().WaitFor([&] { return Port().chunks.empty(); }));
        ASSERT_TRUE(Port().WaitFor([&] { return Port().reads > reads + 1; }));
    }

    std::unique_ptr<Program> program;
    HWND settings = nullptr;
};

TEST_F(ConsoleTest, EveryButtonWritesItsSentenceAndEchoesIt) {
    LoadPort();
    StartProgram();
    HWND console = OpenConsole();
    ASSERT_NE(console, nullptr);
    EXPECT_TRUE(TopDialog()->fullScreen);

    EXPECT_EQ(Press(console, kSeekDown), "$PSRF123,0,1*26\r\n");
    EXPECT_EQ(Press(console, kStepDown), "$PSRF123,0,0*27\r\n");
    EXPECT_EQ(Press(console, kStepUp), "$PSRF123,1,0*26\r\n");
    EXPECT_EQ(Press(console, kSeekUp), "$PSRF123,1,1*27\r\n");
    SetDlgItemTextW(console, kFreq, u"87.5");
    EXPECT_EQ(Press(console, kSet), "$PSRF122,87.5,1,0*1F\r\n");
    EXPECT_EQ(Press(console, kMan), "$PSRF121,0*39\r\n$PSRF121,2*3b\r\n");
    EXPECT_EQ(Press(console, kMan), "$PSRF121,1*38\r\n");

    std::string all;
    {
        std::lock_guard guard(Port().lock);
        all = Port().written;
    }
    // The echo follows the write.
    EXPECT_TRUE(WaitScreen([&](const platform::shell::ScreenView &) {
        return Text(kSend) == platform::Widen(all);
    })) << platform::Narrow(Text(kSend));
}

TEST_F(ConsoleTest, SetSendsTheFrequencyBoxAsTyped) {
    LoadPort();
    StartProgram();
    HWND console = OpenConsole();
    ASSERT_NE(console, nullptr);

    EXPECT_EQ(Press(console, kSet), "$PSRF122,,1,0*0B\r\n");
    // As the reader fills it: the whole text is the first field.
    SetDlgItemTextW(console, kFreq, u" 87.5,10,0");
    EXPECT_EQ(Press(console, kSet), Checksummed("$PSRF122, 87.5,10,0,1,0*"));
    // At most 11 characters are taken.
    SetDlgItemTextW(console, kFreq, u"123456789012345");
    EXPECT_EQ(Press(console, kSet), Checksummed("$PSRF122,12345678901,1,0*"));
    // A "*" ends the checksummed part; the rest is dropped.
    SetDlgItemTextW(console, kFreq, u"8*7.5");
    EXPECT_EQ(Press(console, kSet), Checksummed("$PSRF122,8*"));
}

TEST_F(ConsoleTest, ManToggleSurvivesClosingAndReopening) {
    LoadPort();
    StartProgram();
    HWND console = OpenConsole();
    ASSERT_NE(console, nullptr);
    const std::string pair = Press(console, kMan);
    EXPECT_EQ(pair.size(), 30u);
    CloseConsole(console);

    console = OpenConsole();
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(Press(console, kMan), "$PSRF121,1*38\r\n");
    EXPECT_EQ(Press(console, kMan), pair);
    std::lock_guard guard(Port().lock);
    EXPECT_EQ(Port().opens, 2);
    EXPECT_EQ(Port().closes, 1);
}

TEST_F(ConsoleTest, ReaderShowsReadsAndTakesTheFrequencyField) {
    LoadPort();
    StartProgram();
    HWND console = OpenConsole();
    ASSERT_NE(console, nullptr);

    // Reads that deliver nothing show nothing.
    ASSERT_TRUE(Port().WaitFor([] { return Port().reads >= 3; }));
    EXPECT_EQ(Text(kReceive), u"");
    EXPECT_EQ(Text(kFreq), u"");

    const std::string tmc = "$RTTMC,8,D3C2,8A10,12F4,AB*44\r\n";
    const std::string rds = "$RTRDS, 87.5,10,0,0,2,1,1,000,255,5,0,50*46\r\n";
    Deliver(tmc + rds);
    EXPECT_EQ(Text(kFreq), u" 87.5,10,0");
    // A sentence cut by the end of the read: a shorter field.
    Deliver(tmc + "$RTRDS,100.0");
    EXPECT_EQ(Text(kFreq), u"100.0");
    // "RTRDS" itself cut: the box keeps what it had.
    Deliver(tmc + "$RTR");
    EXPECT_EQ(Text(kFreq), u"100.0");
    // Bytes above 127 show as the characters of the same value.
    Deliver("\xB0\r\n");
    EXPECT_EQ(Text(kReceive),
              platform::Widen(tmc + rds + tmc + "$RTRDS,100.0" + tmc + "$RTR") + u"\u00B0\r\n");
}

TEST_F(ConsoleTest, PortFasterThanTheConsoleIsReadIn250ByteBlocks) {
    LoadPort();
    StartProgram();
    HWND console = OpenConsole();
    ASSERT_NE(console, nullptr);
    {
        std::lock_guard guard(Port().lock);
        Port().flood = true;
    }
    int reads;
    {
        std::lock_guard guard(Port().lock);
        reads = Port().reads;
    }
    ASSERT_TRUE(Port().WaitFor([&] { return Port().reads >= reads + 4; }));
    // Every pass shows one whole block of 250 bytes.
    const size_t shown = Text(kReceive).size();
    EXPECT_GE(shown, 500u);
    EXPECT_EQ(shown % 250, 0u);
    {
        std::lock_guard guard(Port().lock);
        EXPECT_EQ(Port().largestRequest, 250u);
    }
    CloseConsole(console);
}

TEST_F(ConsoleTest, ClosingWaitsForTheReaderBeforeClosingThePort) {
    LoadPort();
    StartProgram();
    HWND console = OpenConsole();
    ASSERT_NE(console, nullptr);
    {
        std::lock_guard guard(Port().lock);
        Port().holdReads = true;
    }
    ASSERT_TRUE(Port().WaitFor([] { return Port().readsInFlight == 1; }));

    // The read outlasts the 1500 ms pause many times over (device time).
    PostMessageW(console, WM_COMMAND, IDOK, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    {
        std::lock_guard guard(Port().lock);
        EXPECT_EQ(Port().closes, 0);
        Port().chunks.push_back("$RTRDS, 99.9,10*00\r\n");
        Port().holdReads = false;
        Port().changed.notify_all();
    }
    ASSERT_TRUE(WaitDialog(u"Tavrinel").has_value());
    ASSERT_TRUE(Port().WaitFor([] { return Port().closes == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard guard(Port().lock);
    EXPECT_FALSE(Port().closedWhileReading);
    EXPECT_EQ(Port().readsAfterClose, 0);
    EXPECT_EQ(Port().readsInFlight, 0);
}

TEST_F(ConsoleTest, OpeningWithoutTheDriverTellsTheUserAndReturns) {
    StartProgram();
    Command(settings, kTest);
    const auto box = WaitMessageBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->caption, u"ERROR");
    EXPECT_EQ(box->text, u"Cannot open COM port.\r\nIs the driver loaded?");
    EXPECT_TRUE(box->errorIcon);
    DismissMessageBox();
    EXPECT_TRUE(WaitDialog(u"Tavrinel").has_value());
    EXPECT_EQ(platform::shell::Snapshot().dialogs.size(), 1u);
    std::lock_guard guard(Port().lock);
    EXPECT_EQ(Port().opens, 0);
}

} // namespace
