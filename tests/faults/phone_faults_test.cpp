// The phone process under hostile conditions: a registry file that is
// corrupt or cut short at boot, links planted in its root, a stack that
// faults when the driver unloads at power-off.
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "device_harness.h"
#include "support/phone_process.h"

namespace {

using harness::ReadWholeFile;
using harness::WaitUntil;
using harness::WriteWholeFile;

constexpr int kStartMs = 20000; // boot and the first link (a bound, not a measure)
constexpr int kLineMs = 10000;  // a sentence
constexpr int kExitMs = 30000;  // power off

std::string BinFolder() {
    const std::string phone = TAVRINEL_PHONE_PATH;
    return phone.substr(0, phone.rfind('/'));
}

mode_t ModeOf(const std::string &path, bool follow = false) {
    struct stat st {};
    const int rc = follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st);
    return rc == 0 ? st.st_mode & 07777 : 0;
}

class PhoneFaults : public ::testing::Test {
protected:
    void SetUp() override {
        if (access((BinFolder() + "/Tavrinel.dll").c_str(), R_OK) != 0)
            GTEST_SKIP() << "Tavrinel.dll is not built beside the phone";
        char templ[] = "/tmp/tavrinel-phonefault-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        temp_ = templ;
        root_ = temp_ + "/root";
        output_ = temp_ + "/phone.out";
    }

    void TearDown() override {
        if (port_ >= 0)
            close(port_);
        phone_.Kill();
        std::error_code ignored;
        std::filesystem::remove_all(temp_, ignored);
    }

    void StartPhone(const std::string &moduleDir = {}) {
        const int rc = phone_.Start(
            TAVRINEL_PHONE_PATH,
            {.root = root_, .logPath = output_, .speed = "20", .moduleDir = moduleDir});
        ASSERT_EQ(rc, 0) << std::strerror(rc);
    }

    // Waits for the port's link and opens it raw.
    void OpenPort() {
        const std::string link = root_ + "/dev/COM9";
        ASSERT_TRUE(WaitUntil([&] { return ModeOf(link) != 0; }, kStartMs)) << Output();
        port_ = open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        ASSERT_GE(port_, 0) << std::strerror(errno);
        termios tio{};
        if (tcgetattr(port_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(port_, TCSANOW, &tio);
        }
    }

    // Reads until a line starting with `prefix` (a whole sentence) arrives.
    std::string WaitForLine(const std::string &prefix) {
        std::string found;
        WaitUntil(
            [&] {
                char buffer[4096];
                ssize_t n;
                while ((n = read(port_, buffer, sizeof buffer)) > 0)
                    received_.append(buffer, static_cast<size_t>(n));
                size_t end;
                while ((end = received_.find("\r\n")) != std::string::npos) {
                    const std::string line = received_.substr(0, end);
                    received_.erase(0, end + 2);
                    if (line.rfind(prefix, 0) == 0 && harness::ValidSentence(line)) {
                        found = line;
                        return true;
                    }
                }
                return false;
            },
            kLineMs);
        return found;
    }

    // Powers off and answers the exit status (-1: it did not end).
    int PowerOff() {
        if (port_ >= 0)
            close(port_), port_ = -1;
        return phone_.PowerOff(kExitMs);
    }

    std::string Output() { return ReadWholeFile(output_); }

    std::string temp_, root_, output_;
    std::string received_;
    testsupport::PhoneProcess phone_;
    int port_ = -1;
};

class CorruptRegistry : public PhoneFaults, public ::testing::WithParamInterface<int> {};

TEST_P(CorruptRegistry, PhoneReportsTheLineRunsOnDefaultsAndKeepsTheBadBytes) {
    // A first boot writes a good file; the driver's key is tuned to 94.4 MHz.
    StartPhone();
    ASSERT_NO_FATAL_FAILURE(OpenPort());
    ASSERT_EQ(PowerOff(), 0) << Output();
    std::string good = ReadWholeFile(root_ + "/registry.reg");
    const std::string entry = "\"Frequency\"=dword:00015f90"; // 90.0 MHz, the default
    const size_t at = good.find(entry);
    ASSERT_NE(at, std::string::npos) << good;
    good.replace(at, entry.size(), "\"Frequency\"=dword:000170c0"); // 94.4 MHz

    std::string bad = good;
    if (GetParam() == 0)
        bad.insert(at, "this line is no registry line\n"); // corrupt in the middle
    else
        bad.resize(at + entry.size() - 4); // cut short inside a value
    WriteWholeFile(root_ + "/registry.reg", bad);

    StartPhone();
    ASSERT_NO_FATAL_FAILURE(OpenPort());
    const std::string report = WaitForLine("$RTRDS,");
    EXPECT_EQ(report.rfind("$RTRDS, 90.0,", 0), 0u) << "runs on the defaults: " << report;
    const std::string out = Output();
    EXPECT_NE(out.find(root_ + "/registry.reg:"), std::string::npos) << out;
    ASSERT_EQ(PowerOff(), 0) << Output();
    // The bad file's bytes survive, moved aside when the driver was installed.
    EXPECT_EQ(ReadWholeFile(root_ + "/registry.reg.bad"), bad);
    EXPECT_EQ(ModeOf(root_ + "/registry.reg"), 0600u);

    // Put back by hand, the good settings come back.
    WriteWholeFile(root_ + "/registry.reg", good);
    StartPhone();
    ASSERT_NO_FATAL_FAILURE(OpenPort());
    const std::string restored = WaitForLine("$RTRDS,");
    EXPECT_EQ(restored.rfind("$RTRDS, 94.4,", 0), 0u) << restored << "\n" << Output();
    EXPECT_EQ(PowerOff(), 0) << Output();
}

INSTANTIATE_TEST_SUITE_P(Kinds, CorruptRegistry, ::testing::Values(0, 1),
                         [](const auto &info) { return info.param == 0 ? "Garbage" : "CutShort"; });

TEST_F(PhoneFaults, PlantedLinksInTheRootAreNotFollowedAndItsFilesArePrivate) {
    const std::string outside = temp_ + "/outside.txt";
    WriteWholeFile(outside, "outside\n");
    ASSERT_EQ(mkdir(root_.c_str(), 0700), 0);
    ASSERT_EQ(symlink(outside.c_str(), (root_ + "/Tavrinel.log").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (root_ + "/registry.reg.tmp").c_str()), 0);

    StartPhone();
    ASSERT_NO_FATAL_FAILURE(OpenPort());
    const std::string version = harness::Command("PSRF107");
    ASSERT_EQ(write(port_, version.data(), version.size()), static_cast<ssize_t>(version.size()));
    EXPECT_FALSE(WaitForLine("$PSRF154,107*").empty()) << Output();
    EXPECT_EQ(ModeOf(root_ + "/dev"), 0700u);
    EXPECT_EQ(ModeOf(root_ + "/dev/COM9", true), 0600u) << "the pseudo-terminal";
    EXPECT_EQ(ModeOf(root_ + "/registry.reg"), 0600u);
    ASSERT_EQ(PowerOff(), 0) << Output();
    EXPECT_EQ(ReadWholeFile(outside), "outside\n") << "a write went through a planted link";
    EXPECT_NE(
        ReadWholeFile(root_ + "/registry.reg").find("[HKEY_LOCAL_MACHINE\\Drivers\\Tavrinel]"),
        std::string::npos);
}

// --root DIR/phone, DIR another account's and "phone" its link to a third
// party's folder: refused in one line naming DIR and its owner, and the
// third party's folder is left exactly as it was.
TEST_F(PhoneFaults, ARootThroughAnotherAccountsFolderIsRefusedBeforeAnythingChanges) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving folders to other accounts needs root";
    const std::string dir = temp_ + "/dir", third = temp_ + "/third";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(third.c_str(), 0755), 0);
    WriteWholeFile(third + "/run.sh", "#!/bin/sh\n");
    ASSERT_EQ(chmod((third + "/run.sh").c_str(), 0755), 0);
    ASSERT_EQ(chown(third.c_str(), 4243, 4243), 0); // no account needed for a uid
    ASSERT_EQ(symlink(third.c_str(), (dir + "/phone").c_str()), 0);
    ASSERT_EQ(lchown((dir + "/phone").c_str(), 4242, 4242), 0);
    ASSERT_EQ(chown(dir.c_str(), 4242, 4242), 0);
    root_ = dir + "/phone";
    StartPhone();
    EXPECT_EQ(phone_.Wait(kExitMs), 1) << Output();
    EXPECT_NE(Output().find("phone: " + dir + " belongs to another user (uid 4242"),
              std::string::npos)
        << Output();
    EXPECT_EQ(ModeOf(third), 0755u);
    EXPECT_EQ(ModeOf(third + "/run.sh"), 0755u);
    for (const char *name : {"/phone.lock", "/Tavrinel.log", "/registry.reg", "/dev"})
        EXPECT_EQ(ModeOf(third + name), 0u) << name;
    ASSERT_EQ(chown(third.c_str(), 0, 0), 0);
    ASSERT_EQ(chown(dir.c_str(), 0, 0), 0);
}

TEST_F(PhoneFaults, ASecondPhoneOnTheRootLeavesItAloneAndEveryPowerOffSignalUnloads) {
    StartPhone();
    ASSERT_NO_FATAL_FAILURE(OpenPort());
    close(port_), port_ = -1;
    const std::string link = root_ + "/dev/COM9";
    char before[PATH_MAX] = {};
    ASSERT_GT(readlink(link.c_str(), before, sizeof before - 1), 0);
    const std::string registry = ReadWholeFile(root_ + "/registry.reg");

    testsupport::PhoneProcess second;
    const std::string secondOutput = temp_ + "/second.out";
    ASSERT_EQ(
        second.Start(TAVRINEL_PHONE_PATH, {.root = root_, .logPath = secondOutput, .speed = "20"}),
        0);
    EXPECT_EQ(second.PowerOff(kStartMs, 0), 1) << "it must end by itself";
    const std::string refusal = ReadWholeFile(secondOutput);
    EXPECT_NE(refusal.find(root_), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("process id " + std::to_string(phone_.Pid())), std::string::npos)
        << refusal;
    char after[PATH_MAX] = {};
    ASSERT_GT(readlink(link.c_str(), after, sizeof after - 1), 0) << "the first phone's link";
    EXPECT_STREQ(before, after);
    EXPECT_EQ(ReadWholeFile(root_ + "/registry.reg"), registry);

    // Ctrl-\ and a closed terminal power off as SIGTERM does.
    for (const int signal : {SIGQUIT, SIGHUP}) {
        if (signal != SIGQUIT) {
            StartPhone();
            ASSERT_TRUE(WaitUntil([&] { return ModeOf(link) != 0; }, kStartMs)) << Output();
        }
        EXPECT_EQ(phone_.PowerOff(kExitMs, signal), 0) << strsignal(signal) << Output();
        EXPECT_NE(Output().find("phone: off"), std::string::npos) << Output();
        EXPECT_EQ(ModeOf(link), 0u) << "the link outlived the phone";
    }
}

TEST_F(PhoneFaults, ASecondKeyOfTheSameDriverIsNamedAndAMarkedFileLoads) {
    StartPhone();
    ASSERT_NO_FATAL_FAILURE(OpenPort());
    ASSERT_EQ(PowerOff(), 0) << Output();
    // What a Windows editor makes of the file: a byte-order mark, and the
    // driver added a second time, built in, on COM8.
    WriteWholeFile(root_ + "/registry.reg",
                   "\xEF\xBB\xBF" + ReadWholeFile(root_ + "/registry.reg") +
                       "[HKEY_LOCAL_MACHINE\\Drivers\\Builtin\\Tavrinel]\n"
                       "\"Dll\"=\"\\\\Windows\\\\Tavrinel.dll\"\n\"Prefix\"=\"COM\"\n"
                       "\"Index\"=dword:00000008\n");
    StartPhone();
    // The built-in one keeps its port; the second is not loaded over it.
    ASSERT_TRUE(WaitUntil([&] { return ModeOf(root_ + "/dev/COM8") != 0; }, kStartMs)) << Output();
    const std::string out = Output();
    EXPECT_NE(out.find("HKLM\\Drivers\\Tavrinel is not loaded: its driver serves "
                       "HKLM\\Drivers\\Builtin\\Tavrinel (COM8:) already"),
              std::string::npos)
        << out;
    EXPECT_EQ(ModeOf(root_ + "/dev/COM9"), 0u);
    EXPECT_EQ(out.find("registry.reg:"), std::string::npos) << out;
    EXPECT_EQ(PowerOff(), 0) << Output();
}

TEST_F(PhoneFaults, StackFaultAtPowerOffIsCaughtAndThePhoneExitsCleanly) {
    // The device's \Windows folder with a stack that faults in FM_Destroy.
    const std::string modules = temp_ + "/windows";
    ASSERT_TRUE(std::filesystem::create_directory(modules));
    for (const auto &entry : std::filesystem::directory_iterator(BinFolder())) {
        const std::string name = entry.path().filename().string();
        if (name != "FMS_API.dll")
            std::filesystem::create_symlink(entry.path(), modules + "/" + name);
    }
    // Test modules are built beside the tests, never beside the phone.
    const auto testBin = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    std::filesystem::create_symlink(testBin / "FMS_API_DestroyFault.dll", modules + "/FMS_API.dll");
    StartPhone(modules);
    ASSERT_NO_FATAL_FAILURE(OpenPort());
    EXPECT_FALSE(WaitForLine("$RTTMC,").empty()) << Output();
    EXPECT_EQ(PowerOff(), 0) << Output();
    const std::string log = ReadWholeFile(root_ + "/Tavrinel.log");
    EXPECT_NE(log.find("COM_Deinit\nException raised on FMClose\n"), std::string::npos) << log;
    EXPECT_EQ(ModeOf(root_ + "/Tavrinel.log"), 0600u);
}

// Headless, the radio's words reach standard error once per cause, however
// often its command is restarted.
TEST_F(PhoneFaults, ARadioThatCannotStartIsSaidOncePerCause) {
    const int rc = phone_.Start(TAVRINEL_PHONE_PATH, {.root = root_,
                                                      .logPath = output_,
                                                      .speed = "20",
                                                      .radio = "cmd:tavrinel-no-such-program"});
    ASSERT_EQ(rc, 0) << std::strerror(rc);
    ASSERT_NO_FATAL_FAILURE(OpenPort()); // powers the radio on
    ASSERT_TRUE(WaitUntil(
        [&] {
            return Output().find("phone: radio: sh: 1: tavrinel-no-such-program") !=
                   std::string::npos;
        },
        kStartMs))
        << Output();
    sleep(3); // restarted at 0.25, 0.75, 1.75 s...
    EXPECT_EQ(PowerOff(), 0) << Output();
    const std::string out = Output();
    size_t said = 0;
    for (size_t at = out.find("not found"); at != std::string::npos;
         at = out.find("not found", at + 1))
        ++said;
    EXPECT_EQ(said, 2u) << "the stack's log line and the phone's word, once each:\n" << out;
    EXPECT_NE(out.find("; restarted in 1 s\n"), std::string::npos) << out;
}

// Under a memory limit the system refuses threads: at boot or at power-off
// the phone says so and powers off cleanly, never ends on an exception.
TEST_F(PhoneFaults, AThreadThatCannotStartIsSaidAndThePhonePowersOffCleanly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer reserves far more address space than any limit lets through";
#else
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "a sanitizer reserves far more address space than any limit lets through";
#endif
#endif
    // Low limits refuse a thread while the phone starts; at about 40 MB it
    // runs, and only its power-off wants one more (the impatience watcher).
    const std::string limited = temp_ + "/limited-phone";
    bool refused = false, ranAndUnloaded = false;
    for (int kib : {12000, 24000, 40000, 48000}) {
        SCOPED_TRACE("ulimit -v " + std::to_string(kib));
        WriteWholeFile(limited, "#!/bin/sh\nulimit -v " + std::to_string(kib) +
                                    " || exit 99\nexec " + TAVRINEL_PHONE_PATH + " \"$@\"\n");
        ASSERT_EQ(chmod(limited.c_str(), 0700), 0);
        std::filesystem::remove_all(root_);
        const int rc = phone_.Start(limited, {.root = root_, .logPath = output_, .speed = "20"});
        ASSERT_EQ(rc, 0) << std::strerror(rc);
        WaitUntil([&] { return Output().find("; Ctrl-C powers off") != std::string::npos; },
                  kStartMs);
        const int status = PowerOff();
        const std::string out = Output();
        ASSERT_NE(status, 99) << "ulimit -v refused";
        EXPECT_EQ(out.find("terminate called"), std::string::npos) << out;
        const bool said = out.find("cannot start a thread (memory limit?)") != std::string::npos;
        EXPECT_EQ(status, said ? 1 : 0) << out;
        EXPECT_NE(out.find("phone: off"), std::string::npos) << out;
        EXPECT_EQ(ModeOf(root_ + "/dev/COM9"), 0u) << "no port left dangling\n" << out;
        refused |= said;
        ranAndUnloaded |= !said && status == 0;
    }
    EXPECT_TRUE(refused) << "no limit refused a thread";
    EXPECT_TRUE(ranAndUnloaded) << "no limit let the phone run";
#endif
}

} // namespace
