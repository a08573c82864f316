// The decoder-command radio with real processes: a capture player chosen by
// frequency (seek and signal through it), a command that exits at once, one
// that prints garbage and errors, one that floods; no process outlives the
// radio, nor a phone killed outright, and the player ends with its output.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "radio.h"
#include "radio_waits.h"
#include "support/temp_folder.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;

const fms::BandLimits kBand = fms::kBands[0];

std::unique_ptr<fms::Radio> Make(
    const std::string &command, std::function<void()> wake = [] {}) {
    std::string why;
    auto radio = fms::MakeCommandRadio(command, std::move(wake), why);
    EXPECT_NE(radio, nullptr) << why;
    return radio;
}

// A radio with the seek's times set for it.
std::unique_ptr<fms::Radio> MakeSeeking(const std::string &command, const char *dwellMs,
                                        const char *quietMs) {
    setenv("TAVRINEL_FM_SEEK_DWELL_MS", dwellMs, 1);
    setenv("TAVRINEL_FM_SEEK_QUIET_MS", quietMs, 1);
    auto radio = Make(command);
    unsetenv("TAVRINEL_FM_SEEK_DWELL_MS");
    unsetenv("TAVRINEL_FM_SEEK_QUIET_MS");
    return radio;
}

using radiotest::Eventually;

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

// Seeks from `from` until the radio says it has ended (30 s cap).
fms::SeekResult Seek(fms::Radio &radio, std::uint32_t from, bool up, fms::BandLimits band) {
    return radiotest::SeekToEnd(radio, from, up, band);
}

// The PI of the first group in `raw` whose block A arrived whole; -1 if none.
int FirstPi(const std::vector<std::uint8_t> &raw) {
    for (std::size_t i = 0; i + 12 <= raw.size(); i += 12)
        if (raw[i + 2] == 0x20)
            return (raw[i] << 8) | raw[i + 1];
    return -1;
}

// Reads the pids a command wrote, one a line, once `count` are there.
std::vector<pid_t> WaitForPids(const std::string &file, std::size_t count) {
    std::vector<pid_t> pids;
    Eventually([&] {
        pids.clear();
        std::ifstream in(file);
        for (pid_t p; in >> p;)
            pids.push_back(p);
        return pids.size() >= count;
    });
    return pids;
}

// A command that leaves processes outside its group: a daemon in a session of
// its own, a double fork, and a daemon with a child of its own; `pids` gets
// all their pids.
std::string WriteEscapingCommand(const testsupport::TempFolder &dir, const std::string &pids) {
    const std::string script = dir.File("escape.sh");
    std::ofstream(script) << "setsid sleep 3003 & echo $! >> \"$1\"\n"
                             "(sleep 3004 & echo $! >> \"$1\")\n"
                             "(setsid sh -c 'echo $$ >> \"$1\"; sleep 3005 & echo $! >> \"$1\"; "
                             "exec sleep 3006' sh \"$1\" &)\n"
                             "exec sleep 300\n";
    return "sh '" + script + "' '" + pids + "'";
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

TEST(CommandRadio, AScanStopsOnEveryPlayerStationUpAndDown) {
    // Hand-made stations on 88.0, 89.0 and 90.0 MHz, each starting with
    // damaged groups so that its PI repeats only some groups in.
    testsupport::TempFolder dir("cmdscan");
    const int pis[] = {0xA101, 0xB202, 0xC303};
    for (int i = 0; i < 3; ++i) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "%% a capture\n---- ---- ---- ----\n%04X ---- E795 4865\n"
                      "%04X 0548 E795 4865\n%04X 0400 ---- 4865\n%04X 0549 E795 4865\n",
                      pis[i], pis[i], pis[i], pis[i]);
        std::ofstream(dir.File(std::string(1, static_cast<char>('a' + i)) + ".rds")) << text;
    }
    std::ofstream(dir.File("b.txt")) << "not a capture: no station\n";
    auto radio = MakeSeeking("RDS_PLAYER_PACE=0.005 '" TAVRINEL_SOURCE_DIR
                             "/scripts/rds-player.sh' {khz} '" +
                                 dir.Path() + "'",
                             "1000", "500"); // a generous quiet time: the machine may be busy
    std::string why;
    ASSERT_TRUE(radio->powerOn(88000, why)) << why;
    const fms::BandLimits band{88000, 90000};
    std::uint32_t at = 88000;
    for (const bool up : {true, false}) {
        for (const std::uint32_t station : up ? std::vector<std::uint32_t>{89000, 90000}
                                              : std::vector<std::uint32_t>{89000, 88000}) {
            const fms::SeekResult r = Seek(*radio, at, up, band);
            EXPECT_TRUE(r.found) << (up ? "up" : "down") << " from " << at;
            ASSERT_EQ(r.positionKHz, station) << (up ? "up" : "down") << " from " << at;
            radio->tune(station, 0); // as the stack does once the seek is reported
            EXPECT_EQ(FirstPi(Collect(*radio, 48)), pis[(station - 88000) / 1000]);
            at = station;
        }
        const fms::SeekResult r = Seek(*radio, at, up, band);
        EXPECT_FALSE(r.found);
        EXPECT_EQ(r.positionKHz, at);
    }
    radio->powerOff();
}

TEST(CommandRadio, ASeekListensOnWhileGroupsComeAndPassesNoise) {
    // 88.1: one clean group, then nothing decodes. 88.2: a PI that repeats
    // only after longer than the quiet time of damaged groups. 88.3, 88.4: silent.
    auto radio = MakeSeeking("case {khz} in\n"
                             "88100) echo 'C36C 0548 E795 4865'\n"
                             "  while :; do echo '---- ---- ---- ----'; sleep 0.02; done ;;\n"
                             "88200) for i in 1 2 3 4 5 6 7 8 9 10; do\n"
                             "    echo 'D318 ---- E795 ----'; sleep 0.05; done\n"
                             "  while :; do echo 'D318 0548 E795 4865'; sleep 0.02; done ;;\n"
                             "*) exec sleep 60 ;;\n"
                             "esac",
                             "2000", "500");
    std::string why;
    ASSERT_TRUE(radio->powerOn(88000, why)) << why;
    const fms::BandLimits band{88000, 88400};
    fms::SeekResult r = Seek(*radio, 88000, true, band);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.positionKHz, 88200u);
    const auto start = std::chrono::steady_clock::now();
    r = Seek(*radio, 88200, true, band);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.positionKHz, 88400u);
    // Two silent frequencies take their quiet time, not the 2 s dwell each.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    radio->powerOff();
}

TEST(CommandRadio, AfterATuneOnlyTheNewCommandsGroupsAreTaken) {
    testing::internal::CaptureStderr();
    // Each group's PI is the frequency in 10 kHz: it tells which run printed it.
    auto radio = Make("echo 'tuned to {mhz} MHz' >&2; "
                      "yes \"$(printf %04X $(({khz} / 10))) 0548 E795 4865\"");
    std::string why;
    ASSERT_TRUE(radio->powerOn(94400, why));
    for (const std::uint32_t khz : {94450u, 94400u, 94425u, 108000u, 94400u}) {
        Collect(*radio, 1200); // the old command floods while the tune comes
        radio->tune(khz, 0);
        const auto raw = Collect(*radio, 1200);
        ASSERT_GE(raw.size(), 1200u);
        for (std::size_t i = 0; i < raw.size(); i += 12)
            ASSERT_EQ((raw[i] << 8) | raw[i + 1], static_cast<int>(khz / 10)) << "at " << khz;
    }
    radio->powerOff();
    const std::string log = testing::internal::GetCapturedStderr();
    for (const char *mhz : {"94.4 ", "94.45 ", "94.425 ", "108.0 "})
        EXPECT_NE(log.find(std::string("tuned to ") + mhz), std::string::npos) << log;
}

TEST(CommandRadio, AGroupWakesTheStackWithoutDelay) {
    std::atomic<int> wakes{0};
    auto radio = Make("sleep 0.2; echo 'C36C 0548 E795 4865'; exec sleep 60", [&] { ++wakes; });
    std::string why;
    ASSERT_TRUE(radio->powerOn(90000, why));
    ASSERT_EQ(Collect(*radio, 12).size(), 12u);
    // The stack sleeps up to a second when not woken: the group's wake comes well before.
    EXPECT_TRUE(Eventually([&] { return wakes.load() > 0; }, 300));
    radio->powerOff();
}

// How often `text` occurs in `log`.
std::size_t Count(const std::string &log, const std::string &text) {
    std::size_t n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++n;
    return n;
}

TEST(CommandRadio, AnExitingCommandIsRestartedWithAGrowingDelayAndSaysWhyOnce) {
    testing::internal::CaptureStderr();
    auto radio = Make("tavrinel-no-such-program {khz}");
    std::string why;
    ASSERT_TRUE(radio->powerOn(90000, why));
    std::this_thread::sleep_for(1200ms);
    // 0, 0.25, 0.75 s: at most three starts in 1.2 s, not hundreds.
    EXPECT_GE(radio->stats()->starts.load(), 2u);
    EXPECT_LE(radio->stats()->starts.load(), 4u);
    EXPECT_EQ(radio->signal(), 0u);
    const fms::NoticeWord word = radio->stats()->notice.latest();
    radio->powerOff();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(word.cause, "exit");
    EXPECT_NE(word.text.find("radio: "), std::string::npos) << word.text;
    EXPECT_NE(word.text.find("tavrinel-no-such-program: not found; restarted in 1 s"),
              std::string::npos)
        << word.text;
    EXPECT_EQ(Count(log, "not found"), 1u) << "said once, not at each restart:\n" << log;
}

TEST(CommandRadio, GarbageIsCountedAndSkippedErrorsGoToTheLog) {
    testing::internal::CaptureStderr();
    // The error line first, well ahead of the groups: the radio reads the command's
    // standard error on a thread of its own, which must have logged it by power-off.
    auto radio = Make("echo 'tuned to {mhz} MHz' >&2; sleep 0.3; "
                      "printf 'hello\\nC36C 0548 E795 4865 @2015/09/27 10:00:00.00\\n"
                      "C36C ---- 9895\\n\\033[2J\\nD318 0000 ---- 1234\\n'; exec sleep 60");
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

TEST(CommandRadio, FloodsOfGarbageAndErrorsReachTheLogAtMostOnceASecond) {
    testing::internal::CaptureStderr();
    auto radio = Make("yes oops >&2 & yes not-a-group");
    std::string why;
    ASSERT_TRUE(radio->powerOn(90000, why));
    ASSERT_TRUE(Eventually([&] { return radio->stats()->garbage.load() > 100000; }));
    std::this_thread::sleep_for(1500ms);
    const fms::NoticeWord word = radio->stats()->notice.latest();
    const std::uint64_t garbage = radio->stats()->garbage.load();
    radio->powerOff();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(word.cause, "garbage");
    EXPECT_NE(word.text.find(" lines not understood"), std::string::npos) << word.text;
    // The first line at once, then a count a second over at most ~12 s.
    const std::size_t counts = Count(log, "not understood");
    EXPECT_GE(counts, 2u) << log;
    EXPECT_LE(counts, 14u) << log;
    EXPECT_GT(garbage, counts * 1000);
    EXPECT_EQ(Count(log, "radio: oops\n"), 1u) << "a repeated error line is logged once";
    EXPECT_LT(log.size(), 4096u);
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
    for (std::size_t i = 0; i < run.size(); i += 12) // whole groups went, not blocks
        ASSERT_EQ(run[i + 2], 0x20) << "group " << i / 12 << " does not start with block A";
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

TEST(CommandRadio, WhatTheCommandLeavesOutsideItsGroupEndsWithATuneAndPowerOff) {
    testsupport::TempFolder dir("cmdradio");
    const std::string pids = dir.File("pids");
    auto radio = Make(WriteEscapingCommand(dir, pids));
    std::string why;
    ASSERT_TRUE(radio->powerOn(90000, why));
    std::vector<pid_t> first = WaitForPids(pids, 4);
    ASSERT_EQ(first.size(), 4u);
    radio->tune(90100, 0); // a restart
    std::vector<pid_t> second = WaitForPids(pids, 8);
    ASSERT_EQ(second.size(), 8u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_TRUE(Eventually([&] { return ProcessGone(first[i]); }, 3000)) << "pid " << first[i];
    radio->powerOff();
    for (std::size_t i = 4; i < 8; ++i) {
        EXPECT_TRUE(ProcessGone(second[i])) << "pid " << second[i];
        if (!ProcessGone(second[i]))
            kill(second[i], SIGKILL); // what a failure left behind
    }
}

TEST(CommandRadio, NothingOfTheCommandOutlivesAKilledPhoneAndThePlayerEndsWithItsOutput) {
    testsupport::TempFolder dir("cmdradio");
    const std::string group = dir.File("group");
    const std::string escaped = dir.File("pids");
    const std::string escaping = WriteEscapingCommand(dir, escaped);
    // A phone-like process runs a command that never writes, and is killed outright.
    const pid_t phone = fork();
    ASSERT_GE(phone, 0);
    if (phone == 0) {
        std::string why;
        auto radio = fms::MakeCommandRadio(
            "sleep 300 & cut -d' ' -f5 /proc/$$/stat > '" + group + ".new'; mv '" + group +
                ".new' '" + group + "'; " + escaping,
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
    const std::vector<pid_t> outside = WaitForPids(escaped, 4);
    EXPECT_EQ(outside.size(), 4u);
    kill(phone, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(phone, &status, 0), phone);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the phone-like process ended by itself";
    ASSERT_GT(pgid, 1);
    EXPECT_TRUE(Eventually([&] { return !GroupAlive(pgid); }, 3000));
    if (GroupAlive(pgid))
        kill(-pgid, SIGKILL);
    for (const pid_t pid : outside) {
        EXPECT_TRUE(Eventually([&] { return ProcessGone(pid); }, 3000)) << "pid " << pid;
        if (!ProcessGone(pid))
            kill(pid, SIGKILL);
    }

    // The capture player, its reader gone: it ends instead of replaying into nothing.
    std::ofstream(dir.File("a.rds")) << "C36C 0548 E795 4865\nC36C 0549 E795 4865\n";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string script = TAVRINEL_SOURCE_DIR "/scripts/rds-player.sh";
    const std::string &path = dir.Path();
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
