// The phone end to end: `phone --headless --install-driver` on a temporary
// root, its COM9 pseudo-terminal opened as a navigation program opens a GPS
// receiver, sentences read and commands written, then powered off.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "phone_test_util.h"
#include "support/phone_process.h"
#include "support/sentences.h"

namespace {

using phonetest::Exists;
using phonetest::WaitUntil;

constexpr int kStartMs = 20000;    // boot and the first link
constexpr int kSentenceMs = 10000; // a reply to a command
constexpr int kExitMs = 30000;     // power off: the driver's unload, sped up

std::string PhoneFolder() {
    const std::string phone = TAVRINEL_PHONE_PATH;
    return phone.substr(0, phone.rfind('/'));
}

using testsupport::Command;
using testsupport::ValidSentence;

// Reads "\r\n"-ended lines from the port and checks each one.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    // Reads until a line starting with `prefix` arrives; answers it, or "".
    std::string WaitFor(const std::string &prefix, int timeoutMs) {
        std::string found;
        WaitUntil(
            [&] {
                Pump();
                for (; next_ < lines_.size(); ++next_)
                    if (lines_[next_].rfind(prefix, 0) == 0) {
                        found = lines_[next_++];
                        return true;
                    }
                return false;
            },
            timeoutMs);
        return found;
    }

    [[nodiscard]] const std::vector<std::string> &BadLines() const { return bad_; }
    [[nodiscard]] size_t Count() const { return lines_.size(); }

private:
    void Pump() {
        char buffer[4096];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0)
                return;
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                return;
            partial_.append(buffer, static_cast<size_t>(n));
            size_t end;
            while ((end = partial_.find("\r\n")) != std::string::npos) {
                const std::string line = partial_.substr(0, end);
                partial_.erase(0, end + 2);
                if (!ValidSentence(line))
                    bad_.push_back(line);
                lines_.push_back(line);
            }
        }
    }

    int fd_;
    std::string partial_;
    std::vector<std::string> lines_;
    std::vector<std::string> bad_;
    size_t next_ = 0;
};

class PhoneEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (access((PhoneFolder() + "/Tavrinel.dll").c_str(), R_OK) != 0)
            GTEST_SKIP() << "Tavrinel.dll is not built beside the phone";
        root_ = temp_.Path() + "/root";
        output_ = temp_.Path() + "/phone.out";
    }

    void TearDown() override {
        if (port_ >= 0)
            close(port_);
    }

    void StartPhone() {
        const int rc =
            phone_.Start(TAVRINEL_PHONE_PATH, {.root = root_, .logPath = output_, .speed = "20"});
        ASSERT_EQ(rc, 0) << std::strerror(rc);
    }

    // Powers off and answers the exit status (-1: it did not end).
    int PowerOff() { return phone_.PowerOff(kExitMs); }

    std::string Output() { return phonetest::ReadWholeFile(output_); }

    phonetest::TempFolder temp_;
    std::string root_;
    std::string output_;
    testsupport::PhoneProcess phone_;
    int port_ = -1;
};

// "$RTRDS, 94.4,..." -> 94400 kHz.
unsigned ReportedKHz(const std::string &line) {
    const size_t comma = line.find(',');
    return static_cast<unsigned>(
        std::lround(std::strtod(line.c_str() + comma + 1, nullptr) * 1000));
}

TEST_F(PhoneEndToEnd, ANavigationProgramReadsTunesAndTheFrequencySurvives) {
    StartPhone();
    const std::string link = root_ + "/dev/COM9";
    ASSERT_TRUE(WaitUntil([&] { return Exists(link); }, kStartMs)) << Output();

    port_ = phonetest::OpenRaw(link);
    ASSERT_GE(port_, 0) << std::strerror(errno);
    LineReader reader(port_);
    EXPECT_FALSE(reader.WaitFor("$RTRDS,", kSentenceMs).empty()) << Output();
    EXPECT_FALSE(reader.WaitFor("$RTTMC,", kSentenceMs).empty());

    const std::string version = Command("PSRF107");
    ASSERT_EQ(write(port_, version.data(), version.size()), static_cast<ssize_t>(version.size()));
    EXPECT_FALSE(reader.WaitFor("$PSRFTXT,Ack Input107*6A", kSentenceMs).empty());
    EXPECT_FALSE(reader.WaitFor("$PSRFTXT,VersionR:", kSentenceMs).empty());
    EXPECT_FALSE(reader.WaitFor("$PSRF154,107*", kSentenceMs).empty());

    const std::string tune = Command("PSRF122,94.4");
    ASSERT_EQ(write(port_, tune.data(), tune.size()), static_cast<ssize_t>(tune.size()));
    EXPECT_FALSE(reader.WaitFor("$RTRDS, 94.4,", kSentenceMs).empty());

    const std::string step = Command("PSRF123,1,0");
    ASSERT_EQ(write(port_, step.data(), step.size()), static_cast<ssize_t>(step.size()));
    EXPECT_FALSE(reader.WaitFor("$RTRDS, 94.5,", kSentenceMs).empty());

    // A seek up from 94.5 stops at the next station above it.
    const std::string seek = Command("PSRF123,1,1");
    ASSERT_EQ(write(port_, seek.data(), seek.size()), static_cast<ssize_t>(seek.size()));
    unsigned lastKHz = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string line = reader.WaitFor("$RTRDS,", 100);
            if (!line.empty())
                lastKHz = ReportedKHz(line);
            return lastKHz > 94500;
        },
        kSentenceMs))
        << "no tune report above 94.5 MHz after the seek";

    EXPECT_GT(reader.Count(), 10u);
    EXPECT_TRUE(reader.BadLines().empty())
        << reader.BadLines().size() << " bad lines, first: " << reader.BadLines()[0];

    // Closing the terminal closes the port, which saves the frequency.
    close(port_);
    port_ = -1;
    ASSERT_TRUE(
        WaitUntil([&] { return Output().find("COM9: closed") != std::string::npos; }, kSentenceMs))
        << Output();
    EXPECT_EQ(PowerOff(), 0) << Output();
    EXPECT_NE(Output().find("unloading drivers..."), std::string::npos);
    EXPECT_FALSE(Exists(link)) << "the link outlived the phone";

    const std::string registry = phonetest::ReadWholeFile(root_ + "/registry.reg");
    const size_t section = registry.find("[HKEY_LOCAL_MACHINE\\Drivers\\Tavrinel]");
    ASSERT_NE(section, std::string::npos) << registry;
    char expected[40];
    std::snprintf(expected, sizeof expected, "\"Frequency\"=dword:%08x", lastKHz);
    const size_t value = registry.find(expected, section);
    EXPECT_NE(value, std::string::npos) << expected << " in\n" << registry;
    EXPECT_LT(value, registry.find("\n[", section)) << "not in the driver's key";
}

TEST_F(PhoneEndToEnd, ABadRadioIsRefusedInOneLineAndTheChoiceIsSaidAtBoot) {
    for (const std::string &bad :
         std::vector<std::string>{"bogus", "cmd:", "cmd:  ", "v4l2:", "v4l2:radio0",
                                  "cmd:a\x1b[2Jb", std::string(5000, 'x')}) {
        ASSERT_EQ(
            phone_.Start(TAVRINEL_PHONE_PATH, {.root = root_, .logPath = output_, .radio = bad}),
            0);
        EXPECT_EQ(phone_.Wait(kExitMs), 2) << bad;
        const std::string said = Output();
        EXPECT_EQ(said.rfind("phone: --radio '", 0), 0u) << said;
        EXPECT_EQ(said.find('\n'), said.size() - 1) << said; // one line
        EXPECT_EQ(said.find('\x1b'), std::string::npos) << said;
        EXPECT_LT(said.size(), 200u) << said;
    }
    const std::string radio = "cmd:exec sleep 60 # {khz}";
    ASSERT_EQ(
        phone_.Start(TAVRINEL_PHONE_PATH, {.root = root_, .logPath = output_, .radio = radio}), 0);
    EXPECT_TRUE(WaitUntil(
        [&] { return Output().find("phone: radio " + radio + "\n") != std::string::npos; },
        kStartMs))
        << Output();
    EXPECT_EQ(PowerOff(), 0) << Output();
}

// The stack is given the scenario at boot: one it refuses stops the phone
// there, in one line, instead of every open of the port failing later.
TEST_F(PhoneEndToEnd, AScenarioTheStackRefusesStopsTheBootInOneLine) {
    // A name that would clear the user's terminal if printed as it is.
    const std::string scenario = temp_.Path() + "/bad\x1b[2J.scn";
    {
        std::FILE *file = std::fopen(scenario.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("bogus\n", file);
        std::fclose(file);
    }
    ASSERT_EQ(phone_.Start(TAVRINEL_PHONE_PATH,
                           {.root = root_, .logPath = output_, .scenario = scenario}),
              0);
    EXPECT_EQ(phone_.Wait(kExitMs), 2);
    const std::string said = Output();
    // The refusal is the boot's last word, in one line (the root's take-over may precede it).
    const size_t last = said.rfind('\n', said.size() >= 2 ? said.size() - 2 : 0);
    const std::string refusal = last == std::string::npos ? said : said.substr(last + 1);
    EXPECT_EQ(refusal.rfind("phone: the scenario ", 0), 0u) << said;
    EXPECT_NE(refusal.find("bad?[2J.scn:1: unknown directive bogus\n"), std::string::npos) << said;
    EXPECT_EQ(said.find("phone: the scenario "), said.rfind("phone: the scenario ")) << said;
    EXPECT_EQ(said.find('\x1b'), std::string::npos) << said;
}

TEST_F(PhoneEndToEnd, AFileWhereTheLinkGoesIsLeftAloneAndThePortNotServed) {
    ASSERT_EQ(mkdir(root_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root_ + "/dev").c_str(), 0700), 0);
    const std::string link = root_ + "/dev/COM9";
    FILE *f = std::fopen(link.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not yours", f);
    std::fclose(f);

    StartPhone();
    ASSERT_TRUE(
        WaitUntil([&] { return Output().find("COM9: not served") != std::string::npos; }, kStartMs))
        << Output();
    // The driver is loaded: nothing may say otherwise.
    for (const char *misleading : {"no COM port", "not loaded"})
        EXPECT_EQ(Output().find(misleading), std::string::npos) << Output();
    EXPECT_EQ(PowerOff(), 0) << Output();
    EXPECT_EQ(phonetest::ReadWholeFile(link), "not yours");
}

// The fake rtl_tcp server as a process of the test (testbin/fake_rtl_tcp,
// beside the test), on a free port; Port() is 0 when it is not built.
class FakeRtlTcpProcess {
public:
    FakeRtlTcpProcess() {
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0)
            return;
        std::string path(self, static_cast<size_t>(n));
        path = path.substr(0, path.rfind('/')) + "/fake_rtl_tcp";
        if (access(path.c_str(), X_OK) != 0)
            return;
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execl(path.c_str(), path.c_str(), "--port", "0", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        // "fake_rtl_tcp: listening on 127.0.0.1:PORT; stations: ..."
        while (line.find(';') == std::string::npos && read(out[0], &c, 1) == 1)
            line += c;
        close(out[0]);
        const size_t colon = line.rfind(':', line.find(';'));
        if (colon != std::string::npos)
            port_ = static_cast<unsigned>(std::strtoul(line.c_str() + colon + 1, nullptr, 10));
    }
    ~FakeRtlTcpProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    FakeRtlTcpProcess(const FakeRtlTcpProcess &) = delete;
    FakeRtlTcpProcess &operator=(const FakeRtlTcpProcess &) = delete;
    [[nodiscard]] unsigned Port() const { return port_; }

private:
    pid_t pid_ = -1;
    unsigned port_ = 0;
};

// From the air to the port: the rtltcp: radio on the fake rtl_tcp server's
// synthesised stations (90.0, 94.4, 101.7 MHz), our demodulator, the stack,
// the driver, $RTTMC on COM9; a tune and a seek through the port.
TEST_F(PhoneEndToEnd, AnRtlTcpRadioBringsTheFakeServersStationsToThePort) {
    FakeRtlTcpProcess server;
    if (server.Port() == 0)
        GTEST_SKIP() << "fake_rtl_tcp is not built beside the test";
    const std::string radio = "rtltcp:127.0.0.1:" + std::to_string(server.Port());
    ASSERT_EQ(phone_.Start(TAVRINEL_PHONE_PATH,
                           {.root = root_, .logPath = output_, .speed = "20", .radio = radio}),
              0);
    const std::string link = root_ + "/dev/COM9";
    ASSERT_TRUE(WaitUntil([&] { return Exists(link); }, kStartMs)) << Output();
    port_ = phonetest::OpenRaw(link);
    ASSERT_GE(port_, 0) << std::strerror(errno);
    LineReader reader(port_);
    EXPECT_FALSE(reader.WaitFor("$RTTMC,", kSentenceMs).empty()) << Output();

    const std::string tune = Command("PSRF122,94.4");
    ASSERT_EQ(write(port_, tune.data(), tune.size()), static_cast<ssize_t>(tune.size()));
    EXPECT_FALSE(reader.WaitFor("$RTRDS, 94.4,", kSentenceMs).empty()) << Output();
    EXPECT_FALSE(reader.WaitFor("$RTTMC,", kSentenceMs).empty()) << Output();

    const std::string seek = Command("PSRF123,1,1");
    ASSERT_EQ(write(port_, seek.data(), seek.size()), static_cast<ssize_t>(seek.size()));
    unsigned lastKHz = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::string line = reader.WaitFor("$RTRDS,", 100);
            if (!line.empty())
                lastKHz = ReportedKHz(line);
            return lastKHz == 101700;
        },
        3 * kSentenceMs))
        << "the seek up from 94.4 MHz did not report 101.7 MHz (last " << lastKHz << ")\n"
        << Output();
    EXPECT_FALSE(reader.WaitFor("$RTTMC,", kSentenceMs).empty());
    EXPECT_TRUE(reader.BadLines().empty()) << reader.BadLines()[0];
    EXPECT_EQ(
        Output().find("radio: rtl_tcp"),
        Output().find("radio: rtl_tcp 127.0.0.1:" + std::to_string(server.Port()) + ": tuner"))
        << "the radio complained:\n"
        << Output();
    close(port_);
    port_ = -1;
    EXPECT_EQ(PowerOff(), 0) << Output();
}

} // namespace
