// The device's files under hostile conditions, in process: a log that
// cannot be written or is a planted link, registry saves that fail half-way
// or meet leftovers, module names that try to leave the module folder, and
// port data that looks like a format.
#include <csignal>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <fmsim.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device_harness.h"

namespace {

using harness::Command;
using harness::Device;
using harness::ReadWholeFile;
using harness::WriteWholeFile;

constexpr double kClockSpeed = 200.0;

mode_t ModeOf(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool IsLink(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// A file outside the device root, removed at the end.
struct Outside {
    Outside() {
        char templ[] = "/tmp/tavrinel-outside-XXXXXX";
        const int fd = mkstemp(templ);
        if (fd >= 0)
            close(fd);
        path = templ;
        WriteWholeFile(path, "outside\n");
    }
    ~Outside() { unlink(path.c_str()); }
    std::string path;
};

class FileFaults : public ::testing::Test {
protected:
    void SetUp() override {
        FmsimUseDefaultScenario();
        FmsimClearFaults();
    }
};

TEST_F(FileFaults, LogThatCannotBeWrittenOrIsAPlantedLinkDoesNotStopTheDriver) {
    Outside outside;
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind == 0   ? "the log is a folder"
                     : kind == 1 ? "the log is a link to a file outside"
                                 : "the log is a second name of a file outside");
        Device device(kClockSpeed);
        const std::string log = device.root + "/Tavrinel.log";
        if (kind == 0)
            ASSERT_TRUE(std::filesystem::create_directory(log));
        else if (kind == 1)
            ASSERT_EQ(symlink(outside.path.c_str(), log.c_str()), 0);
        else
            ASSERT_EQ(link(outside.path.c_str(), log.c_str()), 0) << std::strerror(errno);
        ASSERT_TRUE(device.Load());
        HANDLE port = device.Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        Device::Drain(port);
        ASSERT_TRUE(Device::Send(port, Command("PSRF107")));
        // The open's tune report may land between the replies: only the
        // replies' own order is checked.
        std::vector<std::string> lines;
        std::string why;
        ASSERT_TRUE(harness::SplitWhole(Device::Drain(port), lines, why)) << why;
        std::erase_if(lines, [](const std::string &line) { return line.rfind("$PSRF", 0) != 0; });
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0], "$PSRFTXT,Ack Input107*6A");
        EXPECT_EQ(lines[1].rfind("$PSRFTXT,VersionR:", 0), 0u) << lines[1];
        device.Close(port);
        EXPECT_TRUE(device.Unload());
        EXPECT_EQ(ReadWholeFile(outside.path), "outside\n") << "a line landed outside the root";
        if (kind == 1) {
            EXPECT_TRUE(IsLink(log)) << "the planted link is left as it was";
        }
    }
}

TEST_F(FileFaults, PortDataIsNeverAFormatAndTheLogIsPrivate) {
    Device device(kClockSpeed);
    ASSERT_TRUE(device.Load());
    HANDLE port = device.Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const std::string hostile = "%n%s%x%S%p%ls%hs%08X%%";
    ASSERT_TRUE(Device::Send(port, hostile + "\r\n" + Command("PSRF%n%s")));
    const std::string got = Device::Drain(port);
    EXPECT_NE(got.find("$PSRFTXT,Ack Input%n%*"), std::string::npos) << got;
    const std::string log = device.Log();
    EXPECT_NE(log.find("COM_Write: " + hostile + "\\x0D\\x0A$PSRF%n%s*"), std::string::npos) << log;
    EXPECT_EQ(ModeOf(device.root + "/Tavrinel.log"), 0600u);
}

TEST_F(FileFaults, ModuleNamesNeverLeaveTheModuleFolder) {
    Device device(kClockSpeed);
    // A module beside the root that a climbing name would reach.
    WriteWholeFile(device.root + "/x.so", "not a module");
    const char16_t *names[] = {u"..\\..\\x.so",
                               u"/etc/passwd",
                               u"\\Windows\\..\\x",
                               u"..",
                               u"\\Windows\\..\\..\\x.so",
                               u"Windows/../x",
                               u"C:\\x.so",
                               u"\\Windows\\sub\\Tavrinel.dll"};
    for (const char16_t *name : names) {
        SCOPED_TRACE(platform::Narrow(name));
        HKEY key = harness::CreateKey(u"Drivers\\Hostile");
        harness::SetString(key, u"Dll", name);
        harness::SetString(key, u"Prefix", u"HST");
        harness::SetDword(key, u"Index", 1);
        RegCloseKey(key);
        HANDLE active = ActivateDeviceEx(u"Drivers\\Hostile", nullptr, 0, nullptr);
        EXPECT_EQ(active, nullptr);
        if (active != nullptr)
            DeactivateDevice(active);
        EXPECT_EQ(LoadLibraryW(name), nullptr);
    }
    // Device files: a name climbing out of the root or the module folder.
    for (const char16_t *name :
         {u"\\..\\x.so", u"\\Windows\\..\\x.so", u"\\Windows\\..\\..\\etc"}) {
        SCOPED_TRACE(platform::Narrow(name));
        std::string host;
        EXPECT_FALSE(platform::ResolveDevicePath(name, host)) << host;
        EXPECT_EQ(
            CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
        EXPECT_EQ(_wfopen(name, u"a"), nullptr);
    }
}

// The registry persisted in a device root of its own.
class RegistrySaves : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ResetRegistry();
        char templ[] = "/tmp/tavrinel-regsave-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        root = templ;
        file = root + "/registry.reg";
        std::string error;
        ASSERT_TRUE(platform::BootRegistry(root, error)) << error;
        SetFrequency(94400);
    }
    void TearDown() override {
        platform::ResetRegistry();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    static void SetFrequency(DWORD kHz) {
        HKEY key = harness::CreateKey(u"Drivers\\Tavrinel");
        harness::SetDword(key, u"Frequency", kHz);
        RegCloseKey(key);
    }
    std::string root, file;
};

TEST_F(RegistrySaves, AFileSystemFullHalfWayLeavesThePreviousFileWhole) {
    const std::string before = ReadWholeFile(file);
    ASSERT_NE(before.find("dword:000170c0"), std::string::npos) << before;
    EXPECT_EQ(ModeOf(file), 0600u);
    // The disk fills up: a file may grow to a few bytes only.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    SetFrequency(101000);
    std::string error;
    const bool saved101 = platform::SaveRegistryFile(file, error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(saved101);
    EXPECT_NE(error.find("registry.reg.tmp"), std::string::npos) << error;
    EXPECT_EQ(ReadWholeFile(file), before) << "the previous file is not whole";
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp")) << "the half file is left behind";
    // Room again: the next change saves everything, the failed one too.
    SetFrequency(102000);
    const std::string after = ReadWholeFile(file);
    EXPECT_NE(after.find("dword:00018e70"), std::string::npos) << after;
    EXPECT_EQ(after.size(), before.size());
}

TEST_F(RegistrySaves, LeftoversOrAPlantedLinkAtTheTempFileDoNotStopOrRedirectASave) {
    Outside outside;
    const std::string temp = file + ".tmp";
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind == 0   ? "half a file left by a crash"
                     : kind == 1 ? "a link to a file outside"
                                 : "a dangling link");
        if (kind == 0)
            WriteWholeFile(temp, "REGEDIT4-ish half a fi");
        else if (kind == 1)
            ASSERT_EQ(symlink(outside.path.c_str(), temp.c_str()), 0);
        else
            ASSERT_EQ(symlink((outside.path + ".new").c_str(), temp.c_str()), 0);
        SetFrequency(95000 + static_cast<DWORD>(kind) * 100);
        char expected[32];
        std::snprintf(expected, sizeof expected, "dword:%08x", 95000u + kind * 100u);
        const std::string now = ReadWholeFile(file);
        EXPECT_NE(now.find(expected), std::string::npos) << now;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(temp)));
        EXPECT_FALSE(IsLink(file));
        EXPECT_EQ(ModeOf(file), 0600u);
        EXPECT_EQ(ReadWholeFile(outside.path), "outside\n");
        EXPECT_FALSE(std::filesystem::exists(outside.path + ".new"));
        unlink((outside.path + ".new").c_str());
        // It still loads as the registry.
        std::string error;
        EXPECT_TRUE(platform::LoadRegistryFile(file, error)) << error;
    }
}

} // namespace
