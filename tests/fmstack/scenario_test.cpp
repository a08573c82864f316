// Scenario parser: a good file, the built-in default, and a table of
// malformed lines, each refused with its file:line.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "scenario.h"

using namespace fms;

TEST(Scenario, ParsesAGoodFile) {
    const char *text = "# comment\n"
                       "seed 7\n"
                       "latency 12   # trailing comment\n"
                       "rate 2.5\n"
                       "band 2\n"
                       "frequency 76500\n"
                       "search-level 30\n"
                       "errors block=0.01 status=0.002\n"
                       "errors lost=0.001 extra=0.0005\n"
                       "runs 3 40\n"
                       "station 90000 signal=45 pi=D318 rds=generated ps=\"TAV \\\"R\\\"\" "
                       "rt=\"Text with # inside\" tmc=on ltn=12 sid=3 messages=9 pty=10 tp=on "
                       "af=94400,101300 afjump=2000 clock=2024-05-06T08:30 offset=-2\n"
                       "\tstation 104600 signal=12\r\n";
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(text, "good.scn", "", s, error)) << error;
    EXPECT_EQ(s.seed, 7u);
    EXPECT_EQ(s.latencyMs, 12u);
    EXPECT_DOUBLE_EQ(s.rate, 2.5);
    EXPECT_EQ(s.band, 2u);
    EXPECT_EQ(s.frequencyKHz, 76500u);
    EXPECT_EQ(s.searchLevel, 30u);
    EXPECT_DOUBLE_EQ(s.errors.blockError, 0.01);
    EXPECT_DOUBLE_EQ(s.errors.extraByte, 0.0005);
    EXPECT_EQ(s.runMin, 3u);
    EXPECT_EQ(s.runMax, 40u);
    ASSERT_EQ(s.stations.size(), 2u);
    const Station *st = s.find(90000);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->signal, 45u);
    EXPECT_EQ(st->pi, 0xD318);
    EXPECT_EQ(st->rds, RdsKind::Generated);
    EXPECT_EQ(st->generator.ps, "TAV \"R\"");
    EXPECT_EQ(st->generator.radiotext, "Text with # inside");
    EXPECT_TRUE(st->generator.tmc);
    EXPECT_EQ(st->generator.ltn, 12);
    EXPECT_EQ(st->generator.tmcMessages, 9u);
    EXPECT_EQ(st->afKHz, (std::vector<std::uint32_t>{94400, 101300}));
    EXPECT_EQ(st->afJumpAfterMs, 2000u);
    EXPECT_TRUE(st->clockGiven);
    EXPECT_EQ(st->generator.start.hour, 8);
    EXPECT_EQ(st->generator.start.offsetHalfHours, -2);
    EXPECT_EQ(s.find(104600)->rds, RdsKind::None);
    EXPECT_EQ(s.find(99100), nullptr);
}

TEST(Scenario, DefaultIsValidAndCarriesTmcAtNinetyMegahertz) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(DefaultScenarioText(), "default.scn", "", s, error)) << error;
    const Station *st = s.find(90000);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->rds, RdsKind::Generated);
    EXPECT_TRUE(st->generator.tmc);
    EXPECT_GE(s.stations.size(), 4u);
    // The compiled-in text is the shipped file.
    std::ifstream in(std::string(TAVRINEL_SOURCE_DIR) + "/emulator/fmstack/scenarios/default.scn");
    ASSERT_TRUE(in);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(file, DefaultScenarioText());
}

TEST(Scenario, RefusesMalformedLinesWithFileAndLine) {
    struct Case {
        const char *legend;
        std::string line;
        const char *error; // after "bad.scn:3: "
    };
    const Case cases[] = {
        {"unknown directive", "volume 3", "unknown directive volume"},
        {"missing value", "latency", "latency takes one value"},
        {"two values", "latency 1 2", "latency takes one value"},
        {"negative number", "latency -5", "latency must be a number from 0 to 60000"},
        {"absurd number", "latency 99999999999999999999", "latency must be a number"},
        {"number with suffix", "latency 12abc", "latency must be a number"},
        {"rate NaN", "rate nan", "rate must be a number"},
        {"rate zero", "rate 0", "rate must be a number"},
        {"band out of range", "band 3", "band must be a number from 0 to 2"},
        {"frequency off the grid", "frequency 90050", "frequency must be a multiple of 100 kHz"},
        {"duplicate directive", "seed 2", "duplicate directive seed"},
        {"runs reversed", "runs 10 2", "runs maximum is below the minimum"},
        {"unknown error kind", "errors noise=0.1", "unknown error kind 'noise'"},
        {"lost above half", "errors lost=0.9", "lost must be a number"},
        {"station without frequency", "station signal=4", "station needs a frequency in kHz"},
        {"station out of range", "station 120000 signal=4", "station frequency must be a number"},
        {"station without signal", "station 90000 pi=D318", "station needs signal="},
        {"signal too strong", "station 90000 signal=500", "signal must be a number from 0 to 127"},
        {"duplicate key", "station 90000 signal=4 signal=5", "duplicate key signal"},
        {"unknown key", "station 90000 signal=4 colour=red", "unknown station key colour"},
        {"bare word in station", "station 90000 signal=4 loud", "expected key=value"},
        {"bad pi", "station 90000 signal=4 pi=XYZ1", "pi must be 1 to 4 hex digits"},
        {"zero pi", "station 90000 signal=4 pi=0000", "pi must be 1 to 4 hex digits"},
        {"generated without pi", "station 90000 signal=4 rds=generated", "generated RDS needs pi="},
        {"long ps", "station 90000 signal=4 ps=\"NINECHARS\"", "ps is longer than 8"},
        {"unterminated quote", "station 90000 signal=4 ps=\"ABC", "unterminated quoted text"},
        {"control char in text", "station 90000 signal=4 ps=\"A\tB\"",
         "quoted text must be printable ASCII"},
        {"bad escape", "station 90000 signal=4 ps=\"A\\nB\"", "bad escape in quoted text"},
        {"af not a number", "station 90000 signal=4 af=94400,x", "alternative frequency must be"},
        {"af is itself", "station 90000 signal=4 af=90000", "alternative frequency equals"},
        {"afjump without af", "station 90000 signal=4 afjump=100", "afjump needs af="},
        {"capture without file", "station 90000 signal=4 rds=capture", "rds=capture needs file="},
        {"missing capture", "station 90000 signal=4 rds=capture file=\"/nonexistent/x.spy\"",
         "capture: /nonexistent/x.spy: cannot open"},
        {"file without capture", "station 90000 signal=4 file=\"x.spy\"",
         "file= needs rds=capture"},
        {"bad clock", "station 90000 signal=4 clock=2024-13-01T00:00", "clock month must be"},
        {"duplicate station", "station 88500 signal=4", "a station at 88500 kHz already exists"},
        {"NUL byte", std::string("seed\0 1", 7), "NUL byte in line"},
        {"line too long", "# " + std::string(5000, 'x'), "line too long"},
        {"non-ASCII word",
         "s\xC3\xA9"
         "ed 1",
         "unexpected character in word"},
        {"key without name", "=5", "'=' without a name"},
        {"directive as pair", "seed=5", "a line starts with a directive, not seed="},
    };
    for (const Case &c : cases) {
        const std::string text = "seed 1\nstation 88500 signal=10\n" + c.line + "\n";
        Scenario s;
        s.name = "untouched";
        std::string error;
        EXPECT_FALSE(ParseScenario(text, "bad.scn", "", s, error)) << c.legend;
        EXPECT_EQ(error.rfind("bad.scn:3: " + std::string(c.error), 0), 0u)
            << c.legend << ": " << error;
        EXPECT_EQ(s.name, "untouched") << c.legend << ": refused file was half-loaded";
    }
}

TEST(Scenario, FrequencyOutsideTheBandIsRefused) {
    Scenario s;
    std::string error;
    EXPECT_FALSE(ParseScenario("band 1\nfrequency 95000\n", "x.scn", "", s, error));
    EXPECT_EQ(error, "x.scn:1: frequency 95000 lies outside band 1");
}

TEST(Scenario, CaptureStationResolvesRelativePaths) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("fmsim-scn-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream(dir / "one.rds") << "% Freq 101300\nC36C 0548 E795 4865\n";
        std::ofstream(dir / "radio.scn")
            << "station 101300 signal=50 rds=capture file=\"one.rds\"\n"
            << "station 101400 signal=50 rds=capture file=\"./one.rds\"\n";
        std::ofstream(dir / "fifo.scn") << "station 99000 signal=50 rds=capture file=\"fifo\"\n";
    }
    // A FIFO, as the scenario or as a capture, is refused at once, not waited for.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    Scenario refused;
    std::string why;
    EXPECT_FALSE(LoadScenarioFile((dir / "fifo").string(), refused, why));
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
    EXPECT_FALSE(LoadScenarioFile((dir / "fifo.scn").string(), refused, why));
    EXPECT_NE(why.find("fifo: not a regular file"), std::string::npos) << why;
    Scenario s;
    std::string error;
    ASSERT_TRUE(LoadScenarioFile((dir / "radio.scn").string(), s, error)) << error;
    const Station *st = s.find(101300);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->rds, RdsKind::Capture);
    EXPECT_EQ(st->pi, 0xC36C); // taken from the capture
    ASSERT_NE(st->capture, nullptr);
    EXPECT_EQ(st->capture->groups.size(), 1u);
    EXPECT_EQ(s.find(101400)->capture, st->capture); // one copy for both stations
    std::filesystem::remove_all(dir);
}
