// The phone with its screen, end to end: `phone` in a tmux pane of its own
// (a private tmux server), driven with keys and clicks as a user would, its
// screen read back with capture-pane.
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <platform/emulation.h>

#include "launcher.h"
#include "phone_test_util.h"
#include "screen_curses.h"

namespace {

using phonetest::WaitUntil;

constexpr int kColumns = 80, kLines = 30;
constexpr int kScreenMs = 20000; // boot, a dialog, the driver's load
constexpr int kExitMs = 30000;   // power off: the driver's unload, sped up

std::string PhoneFolder() {
    const std::string phone = TAVRINEL_PHONE_PATH;
    return phone.substr(0, phone.rfind('/'));
}

// Runs a shell command; answers its standard output.
std::string Shell(const std::string &command, int *status = nullptr) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int rc = pclose(pipe);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string Quote(const std::string &text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

class PhoneScreen : public ::testing::Test {
protected:
    void SetUp() override {
        if (access((PhoneFolder() + "/Tavrinel.dll").c_str(), R_OK) != 0)
            GTEST_SKIP() << "Tavrinel.dll is not built beside the phone";
        int status = -1;
        Shell("tmux -V", &status);
        if (status != 0)
            GTEST_SKIP() << "tmux is not installed";
        static int counter = 0;
        socket_ = "tavrinel-ui-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        root_ = temp_.Path() + "/root";
        exitFile_ = temp_.Path() + "/exit";
    }

    void TearDown() override {
        if (!socket_.empty())
            Shell(Tmux("kill-server") + " 2>/dev/null");
    }

    [[nodiscard]] std::string Tmux(const std::string &arguments) const {
        return "env -u TMUX tmux -L " + socket_ + " " + arguments;
    }

    void StartPhone(const std::string &options = {}) {
        const std::string phone = std::string(TAVRINEL_PHONE_PATH) + " --root " + Quote(root_) +
                                  " --speed 20 --poll-ms 5 " + options;
        const std::string script =
            "env -u TAVRINEL_FM_SCENARIO -u TAVRINEL_CLOCK_SPEED TERM=screen " + phone +
            "; echo $? > " + Quote(exitFile_) + "; sleep 60";
        int status = -1;
        Shell(Tmux("-f /dev/null new-session -d -s phone -x " + std::to_string(kColumns) + " -y " +
                   std::to_string(kLines) + " " + Quote(script)),
              &status);
        ASSERT_EQ(status, 0) << "tmux new-session failed";
    }

    std::string Screen() { return Shell(Tmux("capture-pane -p -t phone")); }
    std::vector<std::string> ScreenLines() {
        std::vector<std::string> lines;
        const std::string text = Screen();
        size_t at = 0, end;
        while ((end = text.find('\n', at)) != std::string::npos) {
            lines.push_back(text.substr(at, end - at));
            at = end + 1;
        }
        return lines;
    }

    bool WaitFor(const std::string &text, int timeoutMs = kScreenMs) {
        return WaitUntil([&] { return Screen().find(text) != std::string::npos; }, timeoutMs);
    }

    void Keys(const std::string &keys) { Shell(Tmux("send-keys -t phone " + keys)); }

    // A mouse press and release at a cell (zero-based) in the X10 encoding
    // that the pane's terminal type ("screen") declares: ESC [ M, then the
    // button, column and line, each plus 32, one-based.
    void Click(int x, int y) {
        std::string bytes;
        for (int button : {0, 3})
            bytes += std::string("\x1b[M") + char(32 + button) + char(33 + x) + char(33 + y);
        std::string hex;
        for (char c : bytes) {
            char byte[4];
            std::snprintf(byte, sizeof byte, " %02x", static_cast<unsigned char>(c));
            hex += byte;
        }
        Shell(Tmux("send-keys -t phone -H" + hex));
    }

    // The phone's exit status once it wrote it, or -1.
    int ExitStatus(int timeoutMs) {
        std::string text;
        WaitUntil(
            [&] {
                text = phonetest::ReadWholeFile(exitFile_);
                return !text.empty();
            },
            timeoutMs);
        return text.empty() ? -1 : std::atoi(text.c_str());
    }

    phonetest::TempFolder temp_;
    std::string socket_, root_, exitFile_;
};

// The frequency in MHz shown on a line (the first number with a decimal).
double Frequency(const std::string &line) {
    std::smatch m;
    static const std::regex number(R"(\b(\d{2,3}\.\d)\b)");
    return std::regex_search(line, m, number) ? std::stod(m[1]) : 0;
}

TEST_F(PhoneScreen, TheControlProgramLoadsTheDriverTestsItAndThePhonePowersOff) {
    const bool program = access((PhoneFolder() + "/VorliskClient.exe").c_str(), R_OK) == 0;
    // No setting can be saved while a folder stands in the way of the save,
    // from the boot on; the home screen says so once the program is gone.
    const std::string blocker = root_ + "/registry.reg.tmp";
    ASSERT_EQ(mkdir(root_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(blocker.c_str(), 0700), 0);
    StartPhone();
    if (!program) {
        // Without the program the home screen says so and still powers off.
        ASSERT_TRUE(WaitFor("cannot be started")) << Screen();
        EXPECT_TRUE(WaitFor("No port is served yet")) << Screen();
        EXPECT_EQ(Screen().find("read_port.py"), std::string::npos) << Screen();
        EXPECT_TRUE(WaitFor("p or F2: power off")) << Screen();
        Keys("p");
        EXPECT_EQ(ExitStatus(kExitMs), 0) << Screen();
        GTEST_SKIP() << "VorliskClient.exe is not built beside the phone: only the home screen "
                        "was tested";
    }

    // The settings dialog, with the driver not loaded yet.
    ASSERT_TRUE(WaitFor("Tavrinel")) << Screen();
    // The radio chosen is said at boot in the log, not over the screen.
    EXPECT_NE(phonetest::ReadWholeFile(root_ + "/phone.log").find("phone: radio sim\n"),
              std::string::npos);
    ASSERT_TRUE(WaitFor("COM9:")) << Screen();
    ASSERT_TRUE(WaitFor("TMC")) << Screen();
    ASSERT_TRUE(WaitFor("TMC DRIVER INACTIVE")) << Screen();
    // Every text in full, each label on its list's line.
    for (const char *label :
         {"COM Port", "FM Band", "Data output", "Sound output", "Mute radio", "Load on boot"})
        EXPECT_TRUE(WaitUntil(
            [&] {
                for (const auto &line : ScreenLines())
                    if (line.find(label) != std::string::npos)
                        return line.find(" v") != std::string::npos;
                return false;
            },
            kScreenMs))
            << label << "\n"
            << Screen();
    EXPECT_TRUE(WaitFor("CCIR 87.5-108 MHz")) << Screen();
    // The focus starts on the first tab stop, "TMC": Enter loads the driver.
    Keys("Enter");
    ASSERT_TRUE(WaitFor("TMC DRIVER ACTIVE")) << Screen();

    // Menu -> Test: the console shows what the port sends.
    Keys("F2");
    ASSERT_TRUE(WaitFor("Test")) << Screen();
    Keys("Down");
    Keys("Enter");
    ASSERT_TRUE(WaitFor("TMC Test")) << Screen();
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string s = Screen();
            return s.find("$RTTMC") != std::string::npos || s.find("$RTRDS") != std::string::npos;
        },
        kScreenMs))
        << Screen();
    // The frequency box (between the seek and step buttons) shows the tuned
    // frequency.
    int buttons = -1;
    size_t seekUp = std::string::npos;
    double before = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto lines = ScreenLines();
            for (size_t i = 0; i < lines.size(); ++i)
                if ((seekUp = lines[i].find(">|")) != std::string::npos) {
                    buttons = static_cast<int>(i);
                    before = Frequency(lines[i]);
                    return before > 0;
                }
            return false;
        },
        kScreenMs))
        << Screen();
    // Seek up: a click on ">|" (a click, because the console moves the focus
    // to the frequency box on every read).
    Click(static_cast<int>(seekUp), buttons);
    double after = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            const auto lines = ScreenLines();
            after = static_cast<int>(lines.size()) > buttons ? Frequency(lines[buttons]) : 0;
            return after > 0 && after != before;
        },
        kScreenMs))
        << "before " << before << "\n"
        << Screen();

    // Close the console with its caption's OK, leave with the "Exit" soft key.
    const std::string caption = ScreenLines().at(phone::kNoticeLines);
    const size_t ok = caption.find("[ok]");
    ASSERT_NE(ok, std::string::npos) << caption;
    Click(static_cast<int>(ok) + 1, phone::kNoticeLines);
    ASSERT_TRUE(WaitFor("TMC DRIVER ACTIVE")) << Screen();
    // Menu -> About shows its texts whole.
    Keys("F2");
    ASSERT_TRUE(WaitFor("About")) << Screen();
    Keys("Enter");
    EXPECT_TRUE(WaitFor("VorliskClient Version 0.1")) << Screen();
    EXPECT_TRUE(WaitFor("RDS-TMC receiver port for navigation")) << Screen();
    Keys("Escape");
    ASSERT_TRUE(
        WaitUntil([&] { return Screen().find("Version 0.1") == std::string::npos; }, kScreenMs))
        << Screen();
    Keys("F1");
    ASSERT_TRUE(WaitFor("Active devices:")) << Screen();
    EXPECT_TRUE(WaitFor("COM9:")) << Screen();
    // The port is served once the bridge's next check has seen the driver;
    // from then on the home screen tells how to watch it.
    EXPECT_TRUE(WaitFor(root_ + "/dev/COM9 (/dev/pts/")) << Screen();
    EXPECT_TRUE(WaitFor("scripts/read_port.py ")) << Screen();
    EXPECT_TRUE(WaitFor("VorliskClient.exe has closed; the drivers it loaded stay loaded."))
        << Screen();
    EXPECT_TRUE(WaitFor("the registry cannot be saved")) << Screen();
    ASSERT_EQ(rmdir(blocker.c_str()), 0);

    // The driver is still loaded: its port answers.
    {
        char target[256] = {0};
        const ssize_t n = readlink((root_ + "/dev/COM9").c_str(), target, sizeof target - 1);
        EXPECT_EQ(access((root_ + "/dev/COM9").c_str(), F_OK), 0)
            << strerror(errno) << " link " << n << " -> " << target << "\n"
            << Screen();
    }

    Keys("p");
    EXPECT_EQ(ExitStatus(kExitMs), 0) << Screen();
}

// A radio that cannot start says so on the notice line, over whatever
// program is in front, and once in the log; one printing garbage has it
// counted there at most once a second.
TEST_F(PhoneScreen, TheRadiosWordIsOnTheNoticeLineAndTheLogStaysSmall) {
    for (const char *radio : {"cmd:tavrinel-no-such-program {khz}", "cmd:yes not-a-group"}) {
        SCOPED_TRACE(radio);
        StartPhone("--install-driver --radio " + Quote(radio));
        // A reader of the port powers the radio on.
        const std::string link = root_ + "/dev/COM9";
        int port = -1;
        ASSERT_TRUE(WaitUntil(
            [&] { return (port = open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) >= 0; },
            kScreenMs))
            << Screen();
        const bool garbage = std::string(radio).find("yes") != std::string::npos;
        const std::string word =
            garbage ? " lines not understood" : "radio: sh: 1: tavrinel-no-such-program: not found";
        EXPECT_TRUE(WaitUntil([&] { return ScreenLines().at(0).find(word) != std::string::npos; },
                              kScreenMs))
            << Screen();
        sleep(3); // restarts, or a flood of garbage
        EXPECT_NE(ScreenLines().at(0).find(word), std::string::npos) << Screen();
        EXPECT_EQ(ScreenLines().at(1).find("radio"), std::string::npos) << Screen();
        close(port);
        Keys("C-c");
        EXPECT_EQ(ExitStatus(kExitMs), 0) << Screen();
        const std::string log = phonetest::ReadWholeFile(root_ + "/phone.log");
        size_t said = 0;
        const std::string logged = garbage ? "not understood" : "not found";
        for (size_t at = log.find(logged); at != std::string::npos; at = log.find(logged, at + 1))
            ++said;
        EXPECT_GE(said, 1u) << log;
        EXPECT_LE(said, garbage ? 6u : 1u) << log;
        EXPECT_LT(log.size(), 16384u);
        Shell(Tmux("kill-server") + " 2>/dev/null");
        Shell("rm -rf " + Quote(root_) + " " + Quote(exitFile_));
    }
}

// The home screen points at a port to watch only while one is served.
TEST(PhoneHome, SuggestsWatchingAPortOnlyWhileOneIsServed) {
    phone::Launcher launcher({}, nullptr, [](const platform::shell::ScreenView &) {});
    std::string text;
    for (const auto &dialog : launcher.HomeScreen().dialogs)
        for (const auto &control : dialog.controls)
            text += platform::Narrow(control.text) + "\n";
    EXPECT_EQ(text.find("read_port.py"), std::string::npos) << text;
    EXPECT_EQ(text.find("COM9"), std::string::npos) << text;
    EXPECT_NE(text.find("No port is served yet"), std::string::npos) << text;
}

} // namespace
