// The phone's start-up helpers: its root folder and the receiver driver's key.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <platform/emulation.h>
#include <windows.h>

#include "boot.h"
#include "phone_test_util.h"

namespace {

class ReceiverKeyTest : public ::testing::Test {
protected:
    void SetUp() override { platform::ResetRegistry(); }
    void TearDown() override { platform::ResetRegistry(); }

    // Reads a value of the driver's key: its type, size and bytes.
    bool Query(const char16_t *name, DWORD &type, std::string &bytes) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, phone::kReceiverDriverKey, 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
            return false;
        BYTE data[256] = {};
        DWORD size = sizeof data;
        const LONG rc = RegQueryValueExW(key, name, nullptr, &type, data, &size);
        RegCloseKey(key);
        bytes.assign(reinterpret_cast<const char *>(data), size);
        return rc == ERROR_SUCCESS;
    }

    DWORD Dword(const char16_t *name) {
        DWORD type = 0;
        std::string bytes;
        EXPECT_TRUE(Query(name, type, bytes)) << platform::Narrow(name);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        DWORD value = 0;
        if (bytes.size() == sizeof value)
            std::memcpy(&value, bytes.data(), sizeof value);
        return value;
    }
};

TEST_F(ReceiverKeyTest, WritesTheKeyAsTheControlProgramWould) {
    std::string error;
    ASSERT_TRUE(phone::InstallReceiverDriver(error)) << error;
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(Query(u"Dll", type, bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes.size(), 44u) << "21 characters and the terminator";
    ASSERT_TRUE(Query(u"Prefix", type, bytes));
    EXPECT_EQ(bytes.size(), 8u);
    EXPECT_EQ(Dword(u"Index"), 9u);
    EXPECT_EQ(Dword(u"Band"), 0u);
    EXPECT_EQ(Dword(u"Frequency"), 90000u);
}

TEST_F(ReceiverKeyTest, KeepsTheSettingsAlreadyStored) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, phone::kReceiverDriverKey, 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD saved = 94400, band = 2;
    RegSetValueExW(key, u"Frequency", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&saved), 4);
    RegSetValueExW(key, u"Band", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&band), 4);
    RegCloseKey(key);

    std::string error;
    ASSERT_TRUE(phone::InstallReceiverDriver(error)) << error;
    ASSERT_TRUE(phone::InstallReceiverDriver(error)) << "a second install changes nothing";
    EXPECT_EQ(Dword(u"Frequency"), saved);
    EXPECT_EQ(Dword(u"Band"), band);
    EXPECT_EQ(Dword(u"Mute"), 0u);
    EXPECT_TRUE(phone::ReceiverSettingWarnings().empty());

    // A band the driver does not know keeps the radio off: said at boot, in
    // whatever four-byte form the value is stored.
    const DWORD none = 0xFFFFFFFF;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, phone::kReceiverDriverKey, 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    RegSetValueExW(key, u"Band", 0, REG_BINARY, reinterpret_cast<const BYTE *>(&none), 4);
    RegCloseKey(key);
    const auto warnings = phone::ReceiverSettingWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("Band 4294967295 is not 0, 1 or 2"), std::string::npos)
        << warnings[0];
}

TEST(PhoneRoot, DefaultFollowsXdgStateHomeThenHome) {
    const char *oldState = std::getenv("XDG_STATE_HOME");
    const char *oldHome = std::getenv("HOME");
    const std::string keepState = oldState ? oldState : "";
    const std::string keepHome = oldHome ? oldHome : "";

    setenv("XDG_STATE_HOME", "/s", 1);
    setenv("HOME", "/h", 1);
    EXPECT_EQ(phone::DefaultRoot(), "/s/tavrinel/phone");
    setenv("XDG_STATE_HOME", "relative", 1); // ignored, as the XDG rules say
    EXPECT_EQ(phone::DefaultRoot(), "/h/.local/state/tavrinel/phone");
    unsetenv("XDG_STATE_HOME");
    unsetenv("HOME");
    EXPECT_EQ(phone::DefaultRoot(), "");

    if (oldState)
        setenv("XDG_STATE_HOME", keepState.c_str(), 1);
    if (oldHome)
        setenv("HOME", keepHome.c_str(), 1);
}

TEST(PhoneRoot, FoldersAreCreatedOwnerOnly) {
    phonetest::TempFolder temp;
    const std::string root = temp.Path() + "/a/b/phone";
    std::string error;
    ASSERT_TRUE(phone::MakePrivateFolder(root, error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(root.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_TRUE(phone::MakePrivateFolder(root, error)) << "an existing root is fine";

    const std::string file = temp.Path() + "/file";
    FILE *f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(phone::MakePrivateFolder(file, error));
    EXPECT_FALSE(phone::MakePrivateFolder(file + "/below", error));
}

mode_t ModeOf(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(PhoneRoot, ALooseRootIsMadePrivateAndItsLogsOpenOnlyAsPrivateSingleFiles) {
    phonetest::TempFolder temp;
    const std::string root = temp.Path() + "/root";
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "/dev").c_str(), 0700), 0);
    for (const char *name : {"/registry.reg", "/Tavrinel.log"})
        std::fclose(std::fopen((root + name).c_str(), "w"));
    ASSERT_EQ(chmod(root.c_str(), 0777), 0);
    ASSERT_EQ(chmod((root + "/dev").c_str(), 0777), 0);
    ASSERT_EQ(chmod((root + "/registry.reg").c_str(), 0644), 0);
    ASSERT_EQ(chmod((root + "/Tavrinel.log").c_str(), 0666), 0);
    ASSERT_EQ(link((root + "/Tavrinel.log").c_str(), (temp.Path() + "/other").c_str()), 0);
    std::vector<std::string> notes;
    std::string error;
    ASSERT_TRUE(phone::SecureRoot(root, notes, error)) << error;
    EXPECT_EQ(ModeOf(root), 0700u);
    EXPECT_EQ(ModeOf(root + "/dev"), 0700u);
    EXPECT_EQ(ModeOf(root + "/registry.reg"), 0600u);
    EXPECT_EQ(ModeOf(root + "/Tavrinel.log"), 0600u);
    std::string all;
    for (const auto &note : notes)
        all += note + "\n";
    EXPECT_NE(all.find(root + " was mode 0777; now 0700"), std::string::npos) << all;
    EXPECT_NE(all.find(root + "/Tavrinel.log has 2 hard links"), std::string::npos) << all;

    // A log behind a link, or with a second name, is never written.
    EXPECT_EQ(phone::OpenPrivateLog(root + "/Tavrinel.log", error), nullptr);
    const std::string victim = temp.Path() + "/victim";
    std::fclose(std::fopen(victim.c_str(), "w"));
    ASSERT_EQ(symlink(victim.c_str(), (root + "/phone.log").c_str()), 0);
    EXPECT_EQ(phone::OpenPrivateLog(root + "/phone.log", error), nullptr);
    EXPECT_NE(error.find("a symbolic link"), std::string::npos) << error;
    ASSERT_EQ(unlink((root + "/phone.log").c_str()), 0);
    const mode_t old = umask(0);
    FILE *log = phone::OpenPrivateLog(root + "/phone.log", error);
    umask(old);
    ASSERT_NE(log, nullptr) << error;
    std::fclose(log);
    EXPECT_EQ(ModeOf(root + "/phone.log"), 0600u);
    EXPECT_EQ(phonetest::ReadWholeFile(victim), "");
}

// phone.log turns into phone.log.old before its cap, and standard error,
// which writes to it on a screen, follows it to the new file.
TEST(PhoneRoot, ThePhoneLogTurnsBeforeItsCapAndStandardErrorFollows) {
    phonetest::TempFolder temp;
    const std::string root = temp.Path() + "/root";
    std::string error;
    ASSERT_TRUE(phone::MakePrivateFolder(root, error)) << error;
    platform::SetDeviceRoot(root);
    FILE *log = phone::OpenRootLog("phone.log", error);
    ASSERT_NE(log, nullptr) << error;
    setvbuf(log, nullptr, _IOLBF, 0);
    std::fflush(stderr);
    const int savedStderr = dup(STDERR_FILENO);
    dup2(fileno(log), STDERR_FILENO);
    const std::string line(999, 'x');
    const auto size = [&](const char *name) {
        struct stat st {};
        return stat((root + name).c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1L;
    };
    long turns = 0, last = 0;
    for (int i = 0; i < 4000; ++i) { // about 4 MiB through both, in bursts between looks
        std::fprintf(i % 2 ? log : stderr, "%s\n", line.c_str());
        if (i % 50 == 49) {
            phone::BoundPhoneLog(log);
            const long now = size("/phone.log");
            turns += now < last ? 1 : 0;
            last = now;
            ASSERT_LE(now, phone::kPhoneLogCapBytes) << "line " << i;
            ASSERT_LE(size("/phone.log.old"), phone::kPhoneLogCapBytes) << "line " << i;
        }
    }
    std::fprintf(stderr, "from standard error\n");
    std::fprintf(log, "from the log\n");
    std::fflush(stderr);
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    std::fclose(log);
    EXPECT_GE(turns, 3);
    EXPECT_GT(size("/phone.log.old"), phone::kPhoneLogCapBytes - 2 * phone::kPhoneLogHeadroomBytes);
    const std::string now = phonetest::ReadWholeFile(root + "/phone.log");
    EXPECT_NE(now.find("from standard error\nfrom the log\n"), std::string::npos);
    platform::SetDeviceRoot("");
}

// Another account's entry in the root could feed a reader its data or plant a registry.
TEST(PhoneRoot, EntriesOfAnotherAccountAreRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another account needs root";
    phonetest::TempFolder temp;
    const std::string root = temp.Path() + "/root";
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "/dev").c_str(), 0700), 0);
    const uid_t nobody = 65534;
    std::vector<std::string> notes;
    std::string error;
    ASSERT_EQ(symlink("/tmp/elsewhere", (root + "/dev/COM9").c_str()), 0);
    ASSERT_EQ(lchown((root + "/dev/COM9").c_str(), nobody, nobody), 0);
    EXPECT_FALSE(phone::SecureRoot(root, notes, error));
    EXPECT_NE(error.find(root + "/dev/COM9 belongs to another user (uid 65534)"), std::string::npos)
        << error;
    ASSERT_EQ(unlink((root + "/dev/COM9").c_str()), 0);
    ASSERT_TRUE(phone::SecureRoot(root, notes, error)) << error;

    ASSERT_EQ(chown(root.c_str(), nobody, nobody), 0);
    EXPECT_FALSE(phone::MakePrivateFolder(root, error));
    EXPECT_NE(error.find("belongs to another user"), std::string::npos) << error;
    ASSERT_EQ(chown(root.c_str(), 0, 0), 0); // so that the folder can be removed
}

std::vector<std::string> Entries(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    return names;
}

constexpr uid_t kOther = 4242, kThird = 4243; // no account needed: root may chown to any uid

// A root reached through another account's folder or link, or through a
// folder others can write, is refused before anything is made or changed.
TEST(PhoneRoot, ARootOnAWayAnotherAccountControlsIsRefusedUntouched) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another account needs root";
    phonetest::TempFolder temp;
    const std::string dir = temp.Path() + "/dir", third = temp.Path() + "/third";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(third.c_str(), 0755), 0);
    std::fclose(std::fopen((third + "/script").c_str(), "w"));
    ASSERT_EQ(chmod((third + "/script").c_str(), 0755), 0);
    ASSERT_EQ(chown(third.c_str(), kThird, kThird), 0);
    ASSERT_EQ(symlink(third.c_str(), (dir + "/phone").c_str()), 0);
    ASSERT_EQ(lchown((dir + "/phone").c_str(), kOther, kOther), 0);
    ASSERT_EQ(chown(dir.c_str(), kOther, kOther), 0);
    std::string resolved, error;
    std::vector<std::string> notes;
    EXPECT_FALSE(phone::OpenRoot(dir + "/phone", resolved, notes, error));
    EXPECT_EQ(error.find(dir + " belongs to another user (uid 4242"), 0u) << error;

    // The same link of another account in a folder of ours.
    ASSERT_EQ(chown(dir.c_str(), 0, 0), 0);
    EXPECT_FALSE(phone::OpenRoot(dir + "/phone", resolved, notes, error));
    EXPECT_EQ(error.find(dir + "/phone belongs to another user (uid 4242"), 0u) << error;
    EXPECT_EQ(ModeOf(third), 0755u);
    EXPECT_EQ(ModeOf(third + "/script"), 0755u);
    EXPECT_EQ(Entries(third), std::vector<std::string>{"script"});

    // A folder on the way that others may write, unless it is sticky.
    const std::string open = temp.Path() + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    EXPECT_FALSE(phone::OpenRoot(open + "/a/phone", resolved, notes, error));
    EXPECT_EQ(error.find(open + " can be written by other users"), 0u) << error;
    EXPECT_TRUE(Entries(open).empty());
    ASSERT_EQ(chmod(open.c_str(), 01777), 0);
    EXPECT_TRUE(phone::OpenRoot(open + "/a/phone", resolved, notes, error)) << error;
    EXPECT_EQ(resolved, open + "/a/phone");
    EXPECT_EQ(platform::GetDeviceRoot(), resolved);
    ASSERT_EQ(chown(third.c_str(), 0, 0), 0); // so that the folders can be removed
    platform::SetDeviceRoot("");
}

// Only an empty folder or a phone's own is taken, and a refusal comes
// before the lock or any change of mode.
TEST(PhoneRoot, OnlyAnEmptyFolderOrAPhonesIsTakenAndARefusalChangesNothing) {
    phonetest::TempFolder temp;
    const std::string home = temp.Path() + "/home";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(chmod(home.c_str(), 0755), 0);
    std::fclose(std::fopen((home + "/run.sh").c_str(), "w"));
    ASSERT_EQ(chmod((home + "/run.sh").c_str(), 0755), 0);
    std::string resolved, error;
    std::vector<std::string> notes;
    EXPECT_FALSE(phone::MakePrivateFolder(home, error));
    EXPECT_EQ(error, home + " is neither empty nor a phone's root (it holds run.sh); give an empty "
                            "or new folder to --root");

    const std::string root = temp.Path() + "/root";
    ASSERT_TRUE(phone::OpenRoot(root, resolved, notes, error)) << error;
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], root + " is empty: it becomes the phone's root");
    std::fclose(std::fopen((root + "/registry.reg").c_str(), "w"));
    ASSERT_EQ(chmod((root + "/registry.reg").c_str(), 0644), 0);
    notes.clear();
    ASSERT_TRUE(phone::OpenRoot(root, resolved, notes, error)) << error;
    EXPECT_EQ(notes.at(0), root + " holds a phone's files: the phone takes them up");

    if (geteuid() == 0) {
        std::fclose(std::fopen((root + "/planted").c_str(), "w"));
        ASSERT_EQ(chown((root + "/planted").c_str(), kOther, kOther), 0);
        EXPECT_FALSE(phone::OpenRoot(root, resolved, notes, error));
        EXPECT_EQ(error.find(root + "/planted belongs to another user (uid 4242"), 0u) << error;
        EXPECT_EQ(ModeOf(root + "/registry.reg"), 0644u);
        EXPECT_EQ(ModeOf(root + "/phone.lock"), 0u) << "not locked";
    }
    EXPECT_EQ(ModeOf(home), 0755u);
    EXPECT_EQ(ModeOf(home + "/run.sh"), 0755u);
    EXPECT_EQ(ModeOf(home + "/phone.lock"), 0u);
    platform::SetDeviceRoot("");
}

TEST(PhoneRoot, PastedCommandLinesNameThePathWhateverItHolds) {
    EXPECT_EQ(phone::ShellQuoted("/r oot;rm -rf ~/it's"), "'/r oot;rm -rf ~/it'\\''s'");
}

TEST(PhoneRoot, LogLinesEscapeEveryTerminalControlButKeepWholeCharacters) {
    // C0, DEL, C1 raw and as UTF-8 (CSI, OSC) escaped; a euro sign, whose
    // middle byte is 0x82, kept; a broken character does not hide a control.
    EXPECT_EQ(phone::LogText("a\x1b[2J\x7f\x9b"
                             "b\xc2\x9d\xe2\x82\xac\xe2\x82"
                             "c"),
              "a\\x1B[2J\\x7F\\x9Bb\\xC2\\x9D\xe2\x82\xac\xe2\\x82c");
}

} // namespace
