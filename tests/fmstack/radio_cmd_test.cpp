// The decoder-command radio with real processes: a capture player chosen by
// frequency (seek and signal through it), a command that exits at once, one
// that prints garbage and errors, one that floods; no process outlives the
// radio, nor a phone killed outright, and the player ends with its output.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "radio.h"
#include "support/temp_folder.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;

const fms::BandLimits kBand = fms::kBands[0];

std::unique_ptr<fms::Radio> Make(const std::string &command) {
    std::string why;
    auto radio = fms::MakeCommandRadio(
        command, [] {}, why);
    EXPECT_NE(radio, nullptr) << why;
    return radio;
}

// Polls until `done` holds (10 s cap unless given).
template <typename F> bool Eventually(F done, int capMs = 10000) {
    for (int i = 0; i < capMs / 10; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// RDS taken from the radio until `bytes` have come.
std::vector<std::uint8_t> Collect(fms::Radio &radio, std::size_t bytes) {
    std::vector<std::uint8_t> out;
    Eventually([&] {
        fms::Millis wait = 100;
        radio.readRds(0, out, wait);
        return out.size() >= bytes;
    });
    return out;
}

bool ProcessGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, name, state;
    return !(stat >> pidText >> name >> state) || state == "Z";
}

// Any process of group `pgid` still running (zombies do not count)?
bool GroupAlive(pid_t pgid) {
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        if (!std::getline(stat, text))
            continue;
        const std::size_t name = text.rfind(')'); // the name may hold spaces
        char state = 0;
        int parent = 0, group = 0;
        if (name != std::string::npos &&
            std::sscanf(text.c_str() + name + 1, " %c %d %d", &state, &parent, &group) == 3 &&
            group == pgid && state != 'Z')
            return true;
    }
    return false;
}

} // namespace

TEST(CommandRadio, PlaysTheCaptureOfTheTunedFrequencySeeksAndMeasures) {
    const std::string captures = TAVRINEL_CAPTURE_DIR;
    const std::string clean = captures + "/uk-C36C-heart-tmc.rds";
    const std::string other = captures + "/fr-FE37-tmc.spy";
    if (!std::filesystem::exists(clean) || !std::filesystem::exists(other))
        GTEST_SKIP() << "no RDS captures in " << captures << " (see ../shared/rds/README.md)";
    // Two stations for the player: C36C on 88.0 MHz, FE37 on 89.0 MHz.
    testsupport::TempFolder dir("cmdradio");
    std::filesystem::create_symlink(clean, dir.File("a.rds"));
    std::filesystem::create_symlink(other, dir.File("b.spy"));
    setenv("TAVRINEL_FM_SEEK_DWELL_MS", "2000", 1);
    auto radio =
        Make("RDS_PLAYER_PACE=0.005 '" TAVRINEL_SOURCE_DIR "/scripts/rds-player.sh' {khz} '" +
             dir.Path() + "'");
    unsetenv("TAVRINEL_FM_SEEK_DWELL_MS");
    std::string why;
    ASSERT_TRUE(radio->powerOn(88000, why)) << why;
    const auto raw = Collect(*radio, 120);
    ASSERT_GE(raw.size(), 120u);
    ASSERT_EQ(raw.size() % 12, 0u);
    for (std::size_t i = 0; i < raw.size(); i += 12) {
        EXPECT_EQ(raw[i + 2] & ~0x18, 0x20); // block A, good or damaged
        if (raw[i + 2] == 0x20) {
            EXPECT_EQ((raw[i] << 8) | raw[i + 1], 0xC36C);
        }
    }
    EXPECT_TRUE(Eventually([&] { return radio->signal() > fms::kMaxSignal / 2; }));

    // Nothing on 88.8 and 88.9: a seek up dwells there and stops at 89.0.
    radio->tune(88800, 0);
    EXPECT_TRUE(Eventually([&] { return radio->signal() == 0; }));
    radio->seekStart(88800, true, kBand, 20, 0);
    fms::SeekResult r;
    ASSERT_TRUE(Eventually(
        [&] {
            fms::Millis wait = 100;
            r = radio->seekPoll(0, wait);
            return r.ended;
        },
        30000));
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.positionKHz, 89000u);
    const auto next = Collect(*radio, 12);
    ASSERT_GE(next.size(), 12u);
    EXPECT_EQ((next[0] << 8) | next[1], 0xFE37);
    radio->powerOff();
}

TEST(CommandRadio, AnExitingCommandIsRestartedWithAGrowingDelay) {
    auto radio = Make("exit 3");
    std::string why;
    ASSERT_TRUE(radio->powerOn(90000, why));
    std::this_thread::sleep_for(1200ms);
    // 0, 0.25, 0.75 s: at most three starts in 1.2 s, not hundreds.
    EXPECT_GE(radio->stats()->starts.load(), 2u);
    EXPECT_LE(radio->stats()->starts.load(), 4u);
    EXPECT_EQ(radio->signal(), 0u);
    radio->powerOff();
}

TEST(CommandRadio, GarbageIsCountedAndSkippedErrorsGoToTheLog) {
    testing::internal::CaptureStderr();
    auto radio = Make("printf 'hello\\nC36C 0548 E795 4865 @2015/09/27 10:00:00.00\\n"
                      "C36C ---- 9895\\n\\033[2J\\nD318 0000 ---- 1234\\n'; "
                      "echo 'tuned to {mhz} MHz' >&2; exec sleep 60");
    std::string why;
    ASSERT_TRUE(radio->powerOn(90000, why));
    const auto raw = Collect(*radio, 24);
    ASSERT_EQ(raw.size(), 24u);
    EXPECT_EQ(raw[0], 0xC3);
    EXPECT_EQ(raw[17], 0x21);
    EXPECT_EQ(raw[20], 0x22 | 0x10); // a "----" block arrives damaged
    EXPECT_EQ(radio->stats()->garbage.load(), 3u);
    radio->powerOff();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("FMS_API: radio: tuned to 90.0 MHz\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\"hello\""), std::string::npos) << log;
    EXPECT_EQ(log.find('\033'), std::string::npos) << log;
}

TEST(CommandRadio, AFloodIsReadAtItsPaceAndNoProcessOutlivesTheRadio) {
    testsupport::TempFolder dir("cmdradio");
    const std::string pids = dir.File("pids");
    auto radio = Make("sleep 60 & echo $! > '" + pids + "'; echo $$ >> '" + pids +
                      "'; yes 'C36C 0548 E795 4865'");
    std::string why;
    ASSERT_TRUE(radio->powerOn(90000, why));
    // Nobody takes the groups for a while: the oldest are dropped, the buffer stays bounded.
    ASSERT_TRUE(Eventually([&] { return radio->stats()->droppedGroups.load() > 10000; }));
    std::vector<std::uint8_t> run;
    fms::Millis wait = 100;
    ASSERT_TRUE(radio->readRds(0, run, wait));
    EXPECT_LE(run.size(), fms::kMaxRunBytes);
    EXPECT_EQ(run.size() % 12, 0u);
    std::ifstream in(pids);
    pid_t sleeper = 0, shell = 0;
    ASSERT_TRUE(in >> sleeper >> shell);
    EXPECT_FALSE(ProcessGone(sleeper));
    // A tune ends the whole group and starts afresh.
    radio->tune(94400, 0);
    EXPECT_TRUE(Eventually([&] { return ProcessGone(sleeper) && ProcessGone(shell); }));
    radio->powerOff();
    std::ifstream again(pids);
    ASSERT_TRUE(again >> sleeper);
    EXPECT_TRUE(Eventually([&] { return ProcessGone(sleeper); })); // killed, perhaps not yet reaped
}

TEST(CommandRadio, NothingOfTheCommandOutlivesAKilledPhoneAndThePlayerEndsWithItsOutput) {
    testsupport::TempFolder dir("cmdradio");
    const std::string group = dir.File("group");
    // A phone-like process runs a command that never writes, and is killed outright.
    const pid_t phone = fork();
    ASSERT_GE(phone, 0);
    if (phone == 0) {
        std::string why;
        auto radio = fms::MakeCommandRadio(
            "sleep 300 & cut -d' ' -f5 /proc/$$/stat > '" + group + ".new'; mv '" + group +
                ".new' '" + group + "'; sleep 300; :",
            [] {}, why);
        if (radio && radio->powerOn(90000, why))
            std::this_thread::sleep_for(30s);
        _exit(1);
    }
    pid_t pgid = 0;
    EXPECT_TRUE(Eventually([&] {
        std::ifstream in(group);
        return static_cast<bool>(in >> pgid);
    }));
    kill(phone, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(phone, &status, 0), phone);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the phone-like process ended by itself";
    ASSERT_GT(pgid, 1);
    EXPECT_TRUE(Eventually([&] { return !GroupAlive(pgid); }, 3000));
    if (GroupAlive(pgid))
        kill(-pgid, SIGKILL);

    // The capture player, its reader gone: it ends instead of replaying into nothing.
    std::ofstream(dir.File("a.rds")) << "C36C 0548 E795 4865\nC36C 0549 E795 4865\n";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string script = TAVRINEL_SOURCE_DIR "/scripts/rds-player.sh";
    const std::string path = dir.Path();
    char *argv[] = {const_cast<char *>("sh"), const_cast<char *>(script.c_str()),
                    const_cast<char *>("88000"), const_cast<char *>(path.c_str()), nullptr};
    char pace[] = "RDS_PLAYER_PACE=0.001";
    std::vector<char *> env = {pace};
    for (char **e = environ; *e; ++e)
        env.push_back(*e);
    env.push_back(nullptr);
    pid_t player = -1;
    ASSERT_EQ(posix_spawn(&player, "/bin/sh", &actions, nullptr, argv, env.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char line[64];
    EXPECT_GT(read(out[0], line, sizeof line), 0);
    close(out[0]);
    const bool ended =
        Eventually([&] { return waitpid(player, &status, WNOHANG) == player; }, 3000);
    EXPECT_TRUE(ended) << "the player goes on with nobody reading";
    if (!ended) {
        kill(player, SIGKILL);
        waitpid(player, nullptr, 0);
    }
}
