// The pseudo-terminal bridge with fake in-process COM devices behind it: an
// echo device (what is written comes back) and a flood device (an endless
// numbered byte stream), opened through the real device manager.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <platform/devices.h>
#include <platform/emulation.h>
#include <windows.h>

#include "phone_test_util.h"
#include "pty_bridge.h"

namespace {

using phonetest::OpenRaw;
using phonetest::ReadFor;
using phonetest::WaitUntil;

constexpr int kWaitMs = 5000;
constexpr size_t kEchoLimit = 1 << 16;
constexpr unsigned kFloodModulus = 251; // a prime: a lost block shows as a jump

// ---------------------------------------------------------------- fake devices

struct FakeStats {
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::atomic<long> reads{0};
    std::atomic<bool> refuseOpen{false};
};

FakeStats echoStats;
std::mutex echoLock;
std::deque<char> echoBuffer;
std::string echoWritten; // every byte the device was given, in order

FakeStats floodStats;
std::atomic<unsigned long long> floodNext{0};

DWORD_PTR FakeInit(LPCWSTR) {
    return 1;
}
BOOL FakeDeinit(DWORD_PTR) {
    return TRUE;
}
DWORD FakeSeek(DWORD_PTR, LONG, DWORD) {
    return 0;
}
BOOL FakeIOControl(DWORD_PTR, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD) {
    return FALSE;
}
void FakePower(DWORD_PTR) {}

DWORD_PTR EchoOpen(DWORD_PTR, DWORD, DWORD) {
    if (echoStats.refuseOpen)
        return 0;
    ++echoStats.opens;
    return 2;
}
BOOL EchoClose(DWORD_PTR) {
    ++echoStats.closes;
    return TRUE;
}
// Counted once done: what a test produces after seeing a read is not in it.
DWORD EchoRead(DWORD_PTR, LPVOID buffer, DWORD count) {
    std::lock_guard guard(echoLock);
    const DWORD n = static_cast<DWORD>(std::min<size_t>(count, echoBuffer.size()));
    std::copy_n(echoBuffer.begin(), n, static_cast<char *>(buffer));
    echoBuffer.erase(echoBuffer.begin(), echoBuffer.begin() + n);
    ++echoStats.reads;
    return n;
}

// Holds the echo device's writes while closed, as a command can wait for
// the stack's thread.
struct WriteGate {
    std::mutex lock;
    std::condition_variable changed;
    bool closed = false;
    bool writeHeld = false;

    void Pass() {
        std::unique_lock guard(lock);
        if (!closed)
            return;
        writeHeld = true;
        changed.notify_all();
        changed.wait(guard, [this] { return !closed; });
        writeHeld = false;
    }
    void Close() {
        std::lock_guard guard(lock);
        closed = true;
    }
    void Open() {
        std::lock_guard guard(lock);
        closed = false;
        changed.notify_all();
    }
    bool AwaitHeldWrite(int timeoutMs) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                [this] { return writeHeld; });
    }
};
WriteGate echoGate;

DWORD EchoWrite(DWORD_PTR, LPCVOID buffer, DWORD count) {
    echoGate.Pass();
    std::lock_guard guard(echoLock);
    const auto *bytes = static_cast<const char *>(buffer);
    for (DWORD i = 0; i < count && echoBuffer.size() < kEchoLimit; ++i)
        echoBuffer.push_back(bytes[i]);
    if (echoWritten.size() < kEchoLimit)
        echoWritten.append(bytes, std::min<size_t>(count, kEchoLimit - echoWritten.size()));
    return count;
}

DWORD_PTR FloodOpen(DWORD_PTR, DWORD, DWORD) {
    ++floodStats.opens;
    floodNext = 0;
    return 2;
}
BOOL FloodClose(DWORD_PTR) {
    ++floodStats.closes;
    return TRUE;
}
DWORD FloodRead(DWORD_PTR, LPVOID buffer, DWORD count) {
    ++floodStats.reads;
    auto *out = static_cast<unsigned char *>(buffer);
    for (DWORD i = 0; i < count; ++i)
        out[i] = static_cast<unsigned char>(floodNext++ % kFloodModulus);
    return count;
}
DWORD FloodWrite(DWORD_PTR, LPCVOID, DWORD count) {
    return count;
}

const platform::StreamDriver kEcho = {FakeInit,  FakeDeinit, EchoOpen,      EchoClose, EchoRead,
                                      EchoWrite, FakeSeek,   FakeIOControl, FakePower, FakePower};
const platform::StreamDriver kFlood = {FakeInit,  FakeDeinit, FloodOpen, FloodClose,
                                       FloodRead, FloodWrite, FakeSeek,  FakeIOControl,
                                       FakePower, FakePower};

HANDLE ActivateFake(const char16_t *key, const char16_t *dll, const char16_t *prefix, DWORD index) {
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &k, nullptr) != ERROR_SUCCESS)
        return nullptr;
    const std::u16string d(dll), p(prefix);
    RegSetValueExW(k, u"Dll", 0, REG_SZ, reinterpret_cast<const BYTE *>(d.c_str()),
                   static_cast<DWORD>((d.size() + 1) * 2));
    RegSetValueExW(k, u"Prefix", 0, REG_SZ, reinterpret_cast<const BYTE *>(p.c_str()),
                   static_cast<DWORD>((p.size() + 1) * 2));
    RegSetValueExW(k, u"Index", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&index), sizeof index);
    RegCloseKey(k);
    return ActivateDeviceEx(key, nullptr, 0, nullptr);
}

// ---------------------------------------------------------------- fixture

class PtyBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root_.Path().empty());
        platform::ResetRegistry();
        platform::RegisterInProcessDriver(u"EchoCom.dll", kEcho);
        platform::RegisterInProcessDriver(u"FloodCom.dll", kFlood);
        echoStats.opens = echoStats.closes = 0;
        echoStats.reads = 0;
        echoStats.refuseOpen = false;
        floodStats.opens = floodStats.closes = 0;
        floodStats.reads = 0;
        {
            std::lock_guard guard(echoLock);
            echoBuffer.clear();
            echoWritten.clear();
        }
        messagesPath_ = root_.Path() + "/messages.txt";
        messages_ = std::fopen(messagesPath_.c_str(), "w");
        ASSERT_NE(messages_, nullptr);
        options_.root = root_.Path();
        options_.pollMs = 2;
        options_.rescanMs = 20;
        options_.messages = messages_;
    }

    void TearDown() override {
        echoGate.Open();
        for (int fd : fds_)
            close(fd);
        bridge_.reset();
        platform::DeactivateAllDevices();
        platform::ResetRegistry();
        if (messages_)
            std::fclose(messages_);
    }

    void StartBridge() {
        bridge_ = std::make_unique<phone::PtyBridge>(options_);
        std::string error;
        ASSERT_TRUE(bridge_->Start(error)) << error;
    }

    int OpenPort(const std::string &path, bool raw = true) {
        const int fd = raw ? OpenRaw(path) : open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0)
            fds_.push_back(fd);
        return fd;
    }

    void ClosePort(int fd) {
        close(fd);
        std::erase(fds_, fd);
    }

    std::string Messages() {
        std::fflush(messages_);
        return phonetest::ReadWholeFile(messagesPath_);
    }

    std::string Link(const char *name) { return root_.Path() + "/dev/" + name; }

    bool IsLink(const std::string &path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }

    phonetest::TempFolder root_;
    std::string messagesPath_;
    FILE *messages_ = nullptr;
    phone::BridgeOptions options_;
    std::unique_ptr<phone::PtyBridge> bridge_;
    std::vector<int> fds_;
};

// ---------------------------------------------------------------- names

TEST(PtyBridgeNames, OnlyComWithOneToThreeDigitsIsServed) {
    struct Row {
        const char16_t *name;
        const char *link; // nullptr: not served
    } rows[] = {
        {u"COM9:", "COM9"},     {u"COM0:", "COM0"},  {u"COM12:", "COM12"}, {u"COM123:", "COM123"},
        {u"COM1234:", nullptr}, {u"COM:", nullptr},  {u"COMX:", nullptr},  {u"com9:", nullptr},
        {u"COM9", nullptr},     {u"GPD0:", nullptr}, {u"COM/.:", nullptr}, {u"COM9:x", nullptr},
    };
    for (const auto &row : rows) {
        std::string link = "unchanged";
        const bool served = phone::PortLinkName(row.name, link);
        EXPECT_EQ(served, row.link != nullptr) << platform::Narrow(row.name);
        if (row.link) {
            EXPECT_EQ(link, row.link);
        }
    }
}

// ---------------------------------------------------------------- bridging

TEST_F(PtyBridgeTest, BytesPassUnchangedBothWaysAndTheDeviceFollowsTheTerminal) {
    ASSERT_NE(ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7), nullptr);
    StartBridge();
    ASSERT_EQ(bridge_->Ports().size(), 1u);
    const auto port = bridge_->Ports()[0];
    EXPECT_EQ(port.name, "COM7");
    EXPECT_EQ(port.link, Link("COM7"));

    // Owner only: the folder of links and the terminal itself.
    struct stat st {};
    ASSERT_EQ(stat((root_.Path() + "/dev").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(port.slavePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, getuid());
    ASSERT_TRUE(IsLink(port.link));
    char target[256] = {};
    ASSERT_GT(readlink(port.link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), port.slavePath);

    // The device stays closed until a program opens the terminal.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(echoStats.opens, 0);

    // No termios changes by the program: the terminal is raw already, so
    // CR, ^C and NUL pass and nothing is echoed twice. It runs at the
    // receiver's 4800 baud, which a navigation program may check.
    const int fd = OpenPort(port.link, false);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B4800));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B4800));
    ASSERT_TRUE(WaitUntil([] { return echoStats.opens == 1; }, kWaitMs));
    const std::string sent("a\rb\n\x03\x00z\x7f", 8);
    ASSERT_EQ(write(fd, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    std::string got;
    ReadFor(fd, got, sent.size() + 1, 500);
    EXPECT_EQ(got, sent);

    ClosePort(fd);
    ASSERT_TRUE(WaitUntil([] { return echoStats.closes == 1; }, kWaitMs));
    // Reading stops with the device closed.
    const long reads = echoStats.reads;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(echoStats.reads, reads);

    // The next program gets the device again.
    const int again = OpenPort(port.link);
    ASSERT_GE(again, 0);
    ASSERT_TRUE(WaitUntil([] { return echoStats.opens == 2; }, kWaitMs));
    ASSERT_EQ(write(again, "$X*00\r\n", 7), 7);
    got.clear();
    ReadFor(again, got, 7, 2000);
    EXPECT_EQ(got, "$X*00\r\n");
}

TEST_F(PtyBridgeTest, RawModeIsRestoredAfterAProgramChangedIt) {
    ASSERT_NE(ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7), nullptr);
    StartBridge();
    const std::string link = Link("COM7");
    int fd = OpenPort(link, false);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    tio.c_lflag |= ICANON | ECHO | ISIG;
    tio.c_iflag |= ICRNL;
    cfsetspeed(&tio, B9600);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
    ASSERT_TRUE(WaitUntil([] { return echoStats.opens == 1; }, kWaitMs));
    ClosePort(fd);
    ASSERT_TRUE(WaitUntil([] { return echoStats.closes == 1; }, kWaitMs));

    fd = OpenPort(link, false);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & ICRNL, 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B4800));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B4800));
    ASSERT_TRUE(WaitUntil([] { return echoStats.opens == 2; }, kWaitMs));
    ASSERT_EQ(write(fd, "x\ry", 3), 3);
    std::string got;
    ReadFor(fd, got, 4, 500);
    EXPECT_EQ(got, "x\ry");
}

TEST_F(PtyBridgeTest, AWriterThatClosesAtOnceStillReachesTheDevice) {
    ASSERT_NE(ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7), nullptr);
    StartBridge();
    const std::string link = Link("COM7");
    // As `printf '$PSRF123,1,0*26\r\n' > COM7`, several times in a row:
    // each writer is gone before the bridge could notice it.
    std::string sent;
    for (int i = 0; i < 5; ++i) {
        const std::string command = "$PSRF123,1," + std::to_string(i) + "\r\n";
        const int fd = open(link.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, command.data(), command.size()), static_cast<ssize_t>(command.size()));
        close(fd);
        sent += command;
    }
    auto written = [] {
        std::lock_guard guard(echoLock);
        return echoWritten;
    };
    EXPECT_TRUE(WaitUntil([&] { return written().size() >= sent.size(); }, kWaitMs));
    EXPECT_EQ(written(), sent);
    // And the device is closed again, as after any program.
    EXPECT_TRUE(WaitUntil(
        [] { return echoStats.opens >= 1 && echoStats.closes == echoStats.opens; }, kWaitMs));
}

TEST_F(PtyBridgeTest, AWakeReadsTheDeviceAtOnceAndThePollIsOnlyASafetyNet) {
    ASSERT_NE(ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7), nullptr);
    options_.pollMs = 1000; // the longest interval the bridge allows
    StartBridge();
    bridge_->Wake(); // nobody attached: nothing to do
    const int fd = OpenPort(Link("COM7"));
    ASSERT_GE(fd, 0);
    // The open's own read has to be over, or it could take what the wake
    // is for. The poll comes a full interval after that read: later than
    // the last look that still saw none.
    auto lastLookBeforeTheRead = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto look = std::chrono::steady_clock::now();
            if (echoStats.reads > 0)
                return true;
            lastLookBeforeTheRead = look;
            return false;
        },
        kWaitMs));
    auto produce = [](const std::string &text) {
        std::lock_guard guard(echoLock);
        echoBuffer.insert(echoBuffer.end(), text.begin(), text.end());
    };
    // What the device queues by itself (the radio's groups) goes out when
    // the bridge is woken, before its poll.
    produce("$RTTMC,woken\r\n");
    bridge_->Wake();
    std::string got;
    ReadFor(fd, got, 14, kWaitMs);
    EXPECT_EQ(got, "$RTTMC,woken\r\n");
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - lastLookBeforeTheRead);
    EXPECT_LT(took.count(), options_.pollMs) << "the poll read it, not the wake";
    // Without a wake the poll still finds it.
    produce("$RTTMC,polled\r\n");
    got.clear();
    ReadFor(fd, got, 15, kWaitMs);
    EXPECT_EQ(got, "$RTTMC,polled\r\n");
}

TEST_F(PtyBridgeTest, AWakeWhileAProgramWritesACommandReturnsAtOnce) {
    ASSERT_NE(ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7), nullptr);
    StartBridge();
    const int fd = OpenPort(Link("COM7"));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitUntil([] { return echoStats.reads > 0; }, kWaitMs));
    // The command waits in the device for the stack's thread, which is the
    // one waking: holding it back would only delay the command.
    echoGate.Close();
    ASSERT_EQ(write(fd, "$PSRF107*\r\n", 11), 11);
    ASSERT_TRUE(echoGate.AwaitHeldWrite(kWaitMs));
    constexpr int kWakes = 5;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kWakes; ++i)
        bridge_->Wake();
    // Held back, every wake after the first would wait kCatchUpMs.
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds((kWakes - 1) * phone::kCatchUpMs));
    echoGate.Open();
    std::string got;
    ReadFor(fd, got, 11, kWaitMs);
    EXPECT_EQ(got, "$PSRF107*\r\n");
}

TEST_F(PtyBridgeTest, AProgramThatDoesNotReadStopsTheDeviceReadsAndLosesNothing) {
    ASSERT_NE(ActivateFake(u"Drivers\\FakeFlood", u"FloodCom.dll", u"COM", 8), nullptr);
    StartBridge();
    const int fd = OpenPort(Link("COM8"));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitUntil([] { return floodStats.opens == 1; }, kWaitMs));

    // The terminal fills up; then the bridge must leave the device alone.
    long before = -1;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const long now = floodStats.reads;
            const bool still = now == before;
            before = now;
            if (!still)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return still;
        },
        kWaitMs))
        << "the bridge kept reading a device whose reader is stalled";
    const unsigned long long produced = floodNext;
    EXPECT_GT(produced, 4096u);

    // Meanwhile the radio's wakes hold the stack back, each for a while
    // only: the read the previous wake asked for cannot happen.
    bridge_->Wake();
    const auto start = std::chrono::steady_clock::now();
    bridge_->Wake();
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(phone::kCatchUpMs));

    // Every byte the device gave arrives, in order.
    std::string got;
    ReadFor(fd, got, produced, kWaitMs);
    ASSERT_GE(got.size(), produced);
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(static_cast<unsigned char>(got[i]), i % kFloodModulus) << "at byte " << i;
    // And reading resumes once there is room.
    EXPECT_TRUE(WaitUntil([&] { return floodNext > produced; }, kWaitMs));
}

// ---------------------------------------------------------------- links

TEST_F(PtyBridgeTest, AFileInThePlaceOfTheLinkIsNeitherFollowedNorRemoved) {
    ASSERT_EQ(mkdir((root_.Path() + "/dev").c_str(), 0700), 0);
    const std::string path = Link("COM7");
    FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("keep me", f);
    std::fclose(f);
    ASSERT_NE(ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7), nullptr);
    StartBridge();

    EXPECT_TRUE(bridge_->Ports().empty());
    EXPECT_EQ(phonetest::ReadWholeFile(path), "keep me");
    const std::string messages = Messages();
    EXPECT_NE(messages.find("COM7: not served"), std::string::npos) << messages;
    // Said once, not at every check.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string later = Messages();
    EXPECT_EQ(later.find("not served"), later.rfind("not served")) << later;

    // Once the user moves it away, the port is served.
    ASSERT_EQ(std::remove(path.c_str()), 0);
    EXPECT_TRUE(WaitUntil([&] { return bridge_->Ports().size() == 1; }, kWaitMs));
    EXPECT_TRUE(IsLink(path));
}

TEST_F(PtyBridgeTest, TheSuggestedCommandsQuoteARootNamedWithShellCharacters) {
    // Pasted into a shell, the suggested command must name the port and run nothing else.
    options_.root = root_.Path() + "/it's; touch x";
    ASSERT_EQ(mkdir(options_.root.c_str(), 0700), 0);
    ASSERT_NE(ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7), nullptr);
    StartBridge();
    ASSERT_EQ(bridge_->Ports().size(), 1u);
    const std::string quoted = "'" + root_.Path() + "/it'\\''s; touch x/dev/COM7'";
    const std::string messages = Messages();
    EXPECT_NE(messages.find("picocom -b 4800 " + quoted + "\n"), std::string::npos) << messages;
    EXPECT_NE(messages.find("]' " + quoted + "\n"), std::string::npos) << messages;
}

TEST_F(PtyBridgeTest, AStaleLinkIsReplacedAndOursIsRemovedAtStop) {
    ASSERT_EQ(mkdir((root_.Path() + "/dev").c_str(), 0700), 0);
    const std::string path = Link("COM7");
    const std::string elsewhere = root_.Path() + "/elsewhere";
    ASSERT_EQ(symlink(elsewhere.c_str(), path.c_str()), 0);
    ASSERT_NE(ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7), nullptr);
    StartBridge();
    ASSERT_EQ(bridge_->Ports().size(), 1u);
    char target[256] = {};
    ASSERT_GT(readlink(path.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), bridge_->Ports()[0].slavePath);
    EXPECT_NE(access(elsewhere.c_str(), F_OK), 0) << "the old link was followed";

    bridge_->Stop();
    struct stat st {};
    EXPECT_NE(lstat(path.c_str(), &st), 0);
}

TEST_F(PtyBridgeTest, AFolderOfLinksThatIsALinkIsRefused) {
    const std::string real = root_.Path() + "/real";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(symlink(real.c_str(), (root_.Path() + "/dev").c_str()), 0);
    phone::PtyBridge bridge(options_);
    std::string error;
    EXPECT_FALSE(bridge.Start(error));
    EXPECT_FALSE(error.empty());
}

TEST_F(PtyBridgeTest, ARootSwappedForALinkWhileServingRedirectsNoPort) {
    const std::string phoneRoot = root_.Path() + "/phone";
    const std::string other = root_.Path() + "/other";
    ASSERT_EQ(mkdir(phoneRoot.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((other).c_str(), 0700), 0);
    ASSERT_EQ(mkdir((other + "/dev").c_str(), 0700), 0);
    options_.root = phoneRoot;
    options_.rescanMs = 10000;
    StartBridge();
    ASSERT_EQ(rename(phoneRoot.c_str(), (phoneRoot + ".moved").c_str()), 0);
    ASSERT_EQ(symlink(other.c_str(), phoneRoot.c_str()), 0);
    ASSERT_NE(ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return bridge_->Ports().size() == 1; }, kWaitMs));
    EXPECT_TRUE(IsLink(phoneRoot + ".moved/dev/COM7"));
    EXPECT_FALSE(IsLink(other + "/dev/COM7")) << "the port followed the swapped path";
    bridge_->Stop();
    EXPECT_FALSE(IsLink(phoneRoot + ".moved/dev/COM7"));
}

// ---------------------------------------------------------------- devices come and go

TEST_F(PtyBridgeTest, DevicesActivatedLaterAreServedAndDeactivatedOnesNoLonger) {
    options_.rescanMs = 10000; // the device manager's news, not the safety net
    StartBridge();
    EXPECT_TRUE(bridge_->Ports().empty());
    HANDLE echo = ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7);
    ASSERT_NE(echo, nullptr);
    // A device of another prefix is not a port.
    ASSERT_NE(ActivateFake(u"Drivers\\FakeOther", u"FloodCom.dll", u"GPS", 1), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return bridge_->Ports().size() == 1; }, kWaitMs));
    ASSERT_TRUE(IsLink(Link("COM7")));

    // A program holds it open when the device goes: the device is closed
    // and the port vanishes.
    const int fd = OpenPort(Link("COM7"));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitUntil([] { return echoStats.opens == 1; }, kWaitMs));
    ASSERT_TRUE(DeactivateDevice(echo));
    // The port leaves the list first; its link goes when its bridge stops.
    EXPECT_TRUE(
        WaitUntil([&] { return bridge_->Ports().empty() && !IsLink(Link("COM7")); }, kWaitMs));
    EXPECT_NE(Messages().find("COM7: the driver was unloaded while the port was open"),
              std::string::npos)
        << Messages();
    ClosePort(fd);

    // Without a program, the port is simply no longer served.
    echo = ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7);
    ASSERT_NE(echo, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return bridge_->Ports().size() == 1; }, kWaitMs));
    ASSERT_TRUE(DeactivateDevice(echo));
    EXPECT_TRUE(WaitUntil(
        [&] { return Messages().find("COM7: no longer active") != std::string::npos; }, kWaitMs))
        << Messages();
}

TEST_F(PtyBridgeTest, UnloadingTheDriverUnderAProgramIsSaidPlainly) {
    HANDLE echo = ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7);
    ASSERT_NE(echo, nullptr);
    StartBridge();
    const int fd = OpenPort(Link("COM7"));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitUntil([] { return echoStats.opens == 1; }, kWaitMs));
    ASSERT_TRUE(DeactivateDevice(echo));
    EXPECT_TRUE(WaitUntil(
        [&] { return Messages().find("COM7: the driver was unloaded") != std::string::npos; },
        kWaitMs))
        << Messages();
    // The device manager's news and the port's failing read both see it: one line.
    const std::string said = Messages();
    EXPECT_EQ(
        said.find("COM7: the driver was unloaded", said.find("COM7: the driver was unloaded") + 1),
        std::string::npos)
        << said;
    EXPECT_EQ(said.find("failed"), std::string::npos) << said;
    EXPECT_EQ(said.find("no longer active"), std::string::npos) << said;
}

// Where the port's failing read tells first (the device manager's news not
// yet heard), it says the same.
TEST_F(PtyBridgeTest, AReadFailingOnAnUnloadedDriverSaysSoPlainly) {
    HANDLE echo = ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7);
    ASSERT_NE(echo, nullptr);
    options_.rescanMs = 60000;
    StartBridge();
    const int fd = OpenPort(Link("COM7"));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitUntil([] { return echoStats.opens == 1; }, kWaitMs));
    platform::WatchActiveDevices(nullptr, bridge_.get());
    ASSERT_TRUE(DeactivateDevice(echo));
    EXPECT_TRUE(WaitUntil(
        [&] { return Messages().find("COM7: the driver was unloaded") != std::string::npos; },
        kWaitMs))
        << Messages();
    EXPECT_EQ(Messages().find("failed"), std::string::npos) << Messages();
}

TEST_F(PtyBridgeTest, ARefusedOpenIsReportedAndTheNextProgramTriesAgain) {
    ASSERT_NE(ActivateFake(u"Drivers\\FakeEcho", u"EchoCom.dll", u"COM", 7), nullptr);
    echoStats.refuseOpen = true;
    StartBridge();
    int fd = OpenPort(Link("COM7"));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(
        WaitUntil([&] { return Messages().find("refused") != std::string::npos; }, kWaitMs));
    // What the program writes meanwhile goes nowhere, and nothing blocks.
    ASSERT_EQ(write(fd, "lost\r\n", 6), 6);
    ClosePort(fd);

    echoStats.refuseOpen = false;
    ASSERT_TRUE(
        WaitUntil([&] { return Messages().find("COM7: closed") != std::string::npos; }, kWaitMs));
    fd = OpenPort(Link("COM7"));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitUntil([] { return echoStats.opens == 1; }, kWaitMs));
    ASSERT_EQ(write(fd, "ok", 2), 2);
    std::string got;
    ReadFor(fd, got, 3, 500);
    EXPECT_EQ(got, "ok");
}

} // namespace
