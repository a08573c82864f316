// devices_files_test.cpp — CreateFileW, ReadFile, WriteFile,
// DeviceIoControl, SetCommMask/GetCommMask and CloseHandle on device files
// and plain files, and _wfopen.
#include "devices_test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

using namespace devtest;

namespace {

class DeviceFileTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        device_ = ActivateTest(u"Echo", 4);
        ASSERT_NE(device_, nullptr);
    }
    HANDLE Open(DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD share = 0) {
        return CreateFileW(u"TST4:", access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    HANDLE device_ = nullptr;
};

TEST_F(DeviceFileTest, OpenPassesAccessAndShareThrough) {
    SetLastError(kSentinel);
    HANDLE file = Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(record_->opens.load(), 1);
    EXPECT_EQ(record_->lastOpenDevice.load(), record_->lastInitContext.load());
    EXPECT_EQ(record_->lastAccess.load(), GENERIC_READ);
    EXPECT_EQ(record_->lastShare.load(), FILE_SHARE_READ | FILE_SHARE_WRITE);
    const DWORD_PTR openContext = record_->lastOpenContext;
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(record_->closes.load(), 1);
    EXPECT_EQ(record_->lastCloseContext.load(), openContext);
    SetLastError(kSentinel);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    EXPECT_EQ(record_->closes.load(), 1);
}

TEST_F(DeviceFileTest, DeviceNameForms) {
    for (const char16_t *name : {u"TST4:", u"tst4:", u"\\TST4:", u"\\$device\\TST4"}) {
        SCOPED_TRACE(platform::Narrow(name));
        HANDLE file = CreateFileW(name, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(CloseHandle(file));
    }
    for (const char16_t *name : {u"TST5:", u"TST4", u"TS4:", u"TST44:", u"COM1:"}) {
        SCOPED_TRACE(platform::Narrow(name));
        SetLastError(kSentinel);
        EXPECT_EQ(CreateFileW(name, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        // No device root is set: non-device names cannot be files either.
        EXPECT_TRUE(GetLastError() == ERROR_FILE_NOT_FOUND ||
                    GetLastError() == ERROR_PATH_NOT_FOUND)
            << GetLastError();
    }
    EXPECT_EQ(record_->opens.load(), 4);
}

TEST_F(DeviceFileTest, RefusedOpenReportsAnError) {
    record_->openMode = testdriver::kOpenFailSilently;
    SetLastError(kSentinel);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_GEN_FAILURE);
    record_->openMode = testdriver::kOpenFailDenied;
    SetLastError(kSentinel);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED); // the driver's own error stands
    EXPECT_EQ(record_->closes.load(), 0);
}

TEST_F(DeviceFileTest, ReadWriteReachTheDriver) {
    HANDLE file = Open();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const char message[] = "$GPRMC";
    DWORD done = kSentinel;
    SetLastError(kSentinel);
    EXPECT_TRUE(WriteFile(file, message, 6, &done, nullptr));
    EXPECT_EQ(done, 6u);
    EXPECT_LAST_ERROR(kSentinel); // success leaves the last error alone
    EXPECT_EQ(record_->lastBuffer.load(), static_cast<const void *>(message));
    EXPECT_EQ(record_->lastCount.load(), 6u);

    BYTE buffer[8];
    std::memset(buffer, kGuardByte, sizeof buffer);
    done = kSentinel;
    EXPECT_TRUE(ReadFile(file, buffer, 4, &done, nullptr));
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(std::memcmp(buffer, "$GPR", 4), 0);
    EXPECT_EQ(buffer[4], kGuardByte);
    EXPECT_EQ(record_->lastBuffer.load(), static_cast<const void *>(buffer));
    EXPECT_EQ(record_->lastCount.load(), 4u);
    // A NULL count pointer is allowed for devices.
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, nullptr, nullptr));
    EXPECT_EQ(std::memcmp(buffer, "MC", 2), 0);
    // Count 0 and a NULL buffer reach the driver as they are.
    done = kSentinel;
    EXPECT_TRUE(ReadFile(file, nullptr, 0, &done, nullptr));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(record_->lastBuffer.load(), nullptr);
    EXPECT_EQ(record_->lastCount.load(), 0u);
    // A driver that answers more than was asked is believed only as far as
    // the caller's count.
    record_->readOverAnswer = 5;
    done = kSentinel;
    EXPECT_TRUE(ReadFile(file, buffer, 2, &done, nullptr));
    EXPECT_EQ(done, 2u);
    record_->readOverAnswer = 0;
    // The driver's failure ((DWORD)-1) is a failure with its error.
    done = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(file, nullptr, 3, &done, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(record_->writes.load(), 2);
    EXPECT_EQ(record_->reads.load(), 4);
    EXPECT_TRUE(CloseHandle(file));
}

TEST_F(DeviceFileTest, DeviceIoControlReachesTheDriver) {
    HANDLE file = Open();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    BYTE in[3] = {1, 2, 3};
    BYTE out[8];
    std::memset(out, kGuardByte, sizeof out);
    DWORD returned = kSentinel;
    EXPECT_TRUE(
        DeviceIoControl(file, testdriver::kIoctlEcho, in, sizeof in, out, 5, &returned, nullptr));
    EXPECT_EQ(record_->lastCode.load(), testdriver::kIoctlEcho);
    EXPECT_EQ(record_->lastIn.load(), static_cast<const void *>(in));
    EXPECT_EQ(record_->lastInSize.load(), 3u);
    EXPECT_EQ(record_->lastOut.load(), static_cast<const void *>(out));
    EXPECT_EQ(record_->lastOutSize.load(), 5u);
    EXPECT_EQ(record_->lastReturned.load(), static_cast<const void *>(&returned));
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(std::memcmp(out, in, 3), 0);
    EXPECT_EQ(out[3], kGuardByte);

    DWORD answer = kSentinel;
    EXPECT_TRUE(DeviceIoControl(file, testdriver::kIoctlAnswer, nullptr, 0, &answer, sizeof answer,
                                nullptr, nullptr));
    EXPECT_EQ(answer, 42u);
    SetLastError(kSentinel);
    EXPECT_FALSE(DeviceIoControl(file, 0x999, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_LAST_ERROR(ERROR_NOT_SUPPORTED);
    EXPECT_EQ(record_->ioctls.load(), 3);
    EXPECT_TRUE(CloseHandle(file));
}

TEST_F(DeviceFileTest, CommMaskIsKeptPerHandle) {
    HANDLE a = Open();
    HANDLE b = Open();
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetCommMask(a, EV_RXCHAR | EV_TXEMPTY));
    DWORD mask = kSentinel;
    EXPECT_TRUE(GetCommMask(a, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY));
    mask = kSentinel;
    EXPECT_TRUE(GetCommMask(b, &mask));
    EXPECT_EQ(mask, 0u);
    SetLastError(kSentinel);
    EXPECT_FALSE(GetCommMask(a, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    SetLastError(kSentinel);
    EXPECT_FALSE(SetCommMask(SentinelHandle(), EV_RXCHAR));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    // Two handles: two Opens with distinct contexts, two Closes.
    EXPECT_EQ(record_->opens.load(), 2);
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_EQ(record_->closes.load(), 2);
}

TEST_F(DeviceFileTest, OperationsOnBadHandlesFail) {
    BYTE buffer[4];
    for (HANDLE bogus :
         {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, SentinelHandle(), device_}) {
        DWORD done = kSentinel;
        SetLastError(kSentinel);
        EXPECT_FALSE(ReadFile(bogus, buffer, sizeof buffer, &done, nullptr));
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
        EXPECT_EQ(done, 0u);
        SetLastError(kSentinel);
        EXPECT_FALSE(WriteFile(bogus, buffer, sizeof buffer, &done, nullptr));
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
        SetLastError(kSentinel);
        EXPECT_FALSE(DeviceIoControl(bogus, 1, nullptr, 0, nullptr, 0, nullptr, nullptr));
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    }
    // A kernel object that is not a file.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(event, buffer, sizeof buffer, nullptr, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    CloseHandle(event);
}

// Threads read, write and close at once; Close and Deinit never overlap a
// call, and nothing crashes.
TEST_F(DeviceFileTest, ConcurrentReadWriteClose) {
    record_->readDelayMs = 100; // a millisecond of real time per read
    constexpr int kRounds = 20;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                HANDLE file = Open();
                ASSERT_NE(file, INVALID_HANDLE_VALUE);
                std::thread closer([file] {
                    Sleep(50);
                    CloseHandle(file);
                });
                BYTE buffer[16];
                DWORD done = 0;
                for (int i = 0; i < 5; ++i) {
                    (void)WriteFile(file, "abc", 3, &done, nullptr);
                    (void)ReadFile(file, buffer, sizeof buffer, &done, nullptr);
                }
                closer.join();
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(record_->opens.load(), 4 * kRounds);
    EXPECT_EQ(record_->closes.load(), 4 * kRounds);
    EXPECT_EQ(record_->overlapViolations.load(), 0);
}

TEST_F(DeviceFileTest, DeactivateWaitsForRunningCalls) {
    record_->readDelayMs = 3000; // 30 ms of real time
    HANDLE file = Open();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::thread reader([file] {
        BYTE buffer[4];
        DWORD done = 0;
        EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
    });
    while (record_->reads.load() == 0)
        std::this_thread::yield();
    EXPECT_TRUE(DeactivateDevice(device_));
    reader.join();
    EXPECT_EQ(record_->deinits.load(), 1);
    EXPECT_EQ(record_->overlapViolations.load(), 0);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(record_->closes.load(), 0);
}

// ---------------------------------------------------------------- plain files

class PlainFileTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        platform::SetDeviceRoot(root_.Path());
    }
    TempDir root_;
};

mode_t ModeOf(const std::string &path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST_F(PlainFileTest, DispositionsFollowWin32) {
    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileW(u"\\data.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_FILE_NOT_FOUND);

    SetLastError(kSentinel);
    HANDLE file = CreateFileW(u"\\data.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_SUCCESS);
    DWORD done = kSentinel;
    EXPECT_TRUE(WriteFile(file, "hello", 5, &done, nullptr));
    EXPECT_EQ(done, 5u);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(ModeOf(root_.File("data.txt")), 0600u);

    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileW(u"\\data.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_FILE_EXISTS);

    // Names ignore case, as the device's file system does.
    file = CreateFileW(u"\\DATA.TXT", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);
    char buffer[8] = {};
    done = kSentinel;
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    SetLastError(kSentinel);
    EXPECT_FALSE(DeviceIoControl(file, 1, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_LAST_ERROR(ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(CloseHandle(file));

    file = CreateFileW(u"\\data.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(std::filesystem::file_size(root_.File("data.txt")), 0u);

    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileW(u"\\data.txt", GENERIC_READ, 0, nullptr, 99, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
}

TEST_F(PlainFileTest, PlantedSymlinkIsNotFollowed) {
    const std::string target = root_.File("secret");
    { std::ofstream(target) << "secret"; }
    ASSERT_EQ(symlink(target.c_str(), root_.File("link.txt").c_str()), 0);
    for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS}) {
        SetLastError(kSentinel);
        EXPECT_EQ(CreateFileW(u"\\link.txt", GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(std::filesystem::file_size(target), 6u);
    // Nor can a name leave the root, or a folder be opened as a file.
    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileW(u"\\..\\x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_INVALID_NAME);
    std::filesystem::create_directory(root_.File("folder"));
    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileW(u"\\folder", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_ACCESS_DENIED);
}

TEST_F(PlainFileTest, NoDeviceRootNoFiles) {
    platform::SetDeviceRoot("");
    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileW(u"\\data.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_LAST_ERROR(ERROR_PATH_NOT_FOUND);
    errno = 0;
    EXPECT_EQ(_wfopen(u"\\Tavrinel.log", u"a+"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(PlainFileTest, WfopenAppendCreatesPrivateFile) {
    for (const char *line : {"first\n", "second\n"}) {
        FILE *file = _wfopen(u"\\Tavrinel.log", u"a+");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(std::fwrite(line, 1, std::strlen(line), file), std::strlen(line));
        EXPECT_EQ(std::fclose(file), 0);
    }
    EXPECT_EQ(ModeOf(root_.File("Tavrinel.log")), 0600u);
    std::ifstream in(root_.File("Tavrinel.log"));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "first\nsecond\n");

    FILE *file = _wfopen(u"\\tavrinel.LOG", u"rb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    file = _wfopen(u"\\Tavrinel.log", u"w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(std::filesystem::file_size(root_.File("Tavrinel.log")), 0u);

    for (const char16_t *mode : {u"", u"x", u"rw", u"r++", u"a+q"}) {
        errno = 0;
        EXPECT_EQ(_wfopen(u"\\Tavrinel.log", mode), nullptr) << platform::Narrow(mode);
        EXPECT_EQ(errno, EINVAL);
    }
    errno = 0;
    EXPECT_EQ(_wfopen(u"\\missing.txt", u"r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(PlainFileTest, WfopenRefusesPlantedSymlink) {
    const std::string target = root_.File("elsewhere");
    { std::ofstream(target) << "keep"; }
    ASSERT_EQ(symlink(target.c_str(), root_.File("Tavrinel.log").c_str()), 0);
    EXPECT_EQ(_wfopen(u"\\Tavrinel.log", u"a+"), nullptr);
    EXPECT_EQ(_wfopen(u"\\Tavrinel.log", u"w"), nullptr);
    EXPECT_EQ(std::filesystem::file_size(target), 4u);
}

// The root is held open: a root moved away and a link put in its place while
// the device runs redirects no file, nor the registry's saves.
TEST_F(PlainFileTest, ARootSwappedForALinkRedirectsNothing) {
    TempDir parent, other;
    const std::string root = parent.File("phone"), moved = parent.File("moved");
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0700), 0);
    platform::SetDeviceRoot(root);
    std::string error;
    ASSERT_TRUE(platform::BootRegistry(root, error)) << error;
    ASSERT_EQ(rename(root.c_str(), moved.c_str()), 0);
    ASSERT_EQ(symlink(other.Path().c_str(), root.c_str()), 0);
    ASSERT_EQ(rename((moved + "/sub").c_str(), (moved + "/was-sub").c_str()), 0);
    ASSERT_EQ(symlink(other.Path().c_str(), (moved + "/sub").c_str()), 0);

    FILE *log = _wfopen(u"\\Tavrinel.log", u"a");
    ASSERT_NE(log, nullptr);
    std::fputs("line\n", log);
    std::fclose(log);
    HANDLE file = CreateFileW(u"\\data.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(MoveFileW(u"\\data.txt", u"\\data.old"));
    EXPECT_TRUE(DeleteFileW(u"\\data.old"));
    EXPECT_EQ(_wfopen(u"\\sub\\x.log", u"a"), nullptr) << "a link on the way is not followed";
    EXPECT_EQ(CreateFileW(u"\\SUB\\x.log", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Swapped", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);

    EXPECT_TRUE(std::filesystem::is_empty(other.Path()));
    std::ifstream in(moved + "/registry.reg");
    const std::string saved{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(saved.find("[HKEY_LOCAL_MACHINE\\Swapped]"), std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(moved + "/Tavrinel.log"), 5u);
    EXPECT_FALSE(std::filesystem::exists(moved + "/data.txt"));
}

TEST_F(PlainFileTest, ALinkOrAFifoInPlaceOfAFileIsToldOnce) {
    std::vector<std::string> told;
    platform::SetFileNotice([&told](const std::string &text) { told.push_back(text); });
    ASSERT_EQ(symlink("/nonexistent", root_.File("Tavrinel.log").c_str()), 0);
    ASSERT_EQ(mkfifo(root_.File("fifo.log").c_str(), 0600), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(_wfopen(u"\\Tavrinel.log", u"a+"), nullptr);
        EXPECT_EQ(_wfopen(u"\\fifo.log", u"a+"), nullptr);
        EXPECT_EQ(_wfopen(u"\\fifo.log", u"a"), nullptr);
    }
    platform::SetFileNotice(nullptr);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].find(root_.File("Tavrinel.log") + " is a symbolic link"), 0u) << told[0];
    EXPECT_EQ(told[1].find(root_.File("fifo.log") + " is a FIFO"), 0u) << told[1];
}

} // namespace
