// tmcview: line parsing, group decoding, and the whole program checked
// against an independent decoder's output on real broadcasts.
#include <gtest/gtest.h>

#include "support/captures.h"
#include "support/temp_folder.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "decoder.h"
#include "input.h"

namespace {

using tmcview::Decoder;
using tmcview::LineKind;
using tmcview::ParseLine;

rds::Group G(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
    rds::Group g;
    g.block = {a, b, c, d};
    return g;
}

std::string Decode(Decoder &decoder, const rds::Group &g) {
    std::string json;
    decoder.Decode(g, 0, &json);
    return json;
}

TEST(TmcviewInput, LinesOfEveryShape) {
    struct Row {
        const char *legend;
        const char *text;
        LineKind kind;
    };
    const Row rows[] = {
        {"receiver sentence", "$RTTMC,8,D3C2,8A10,12F4,AB*44", LineKind::Group},
        {"wrong checksum", "$RTTMC,8,D3C2,8A10,12F4,AB*45", LineKind::Bad},
        {"checksum in lower case", "$RTTMC,8,D3C2,8A10,12F4,8*7f", LineKind::Group},
        {"text after the checksum", "$RTTMC,8,D3C2,8A10,12F4,AB*44x", LineKind::Bad},
        {"type field disagrees with block B", "$RTTMC,9,D3C2,8A10,12F4,AB*45", LineKind::Bad},
        // The driver writes the type in decimal: 14 is an EON group, "E" is not a type.
        {"group type 14", "$RTTMC,14,A203,E545,A59,AA0A*48", LineKind::Group},
        {"group type 15", "$RTTMC,15,D318,F858,D318,F858*74", LineKind::Group},
        {"group type in hex", "$RTTMC,E,A203,E545,A59,AA0A*08", LineKind::Bad},
        {"group type with a leading zero", "$RTTMC,014,A203,E545,A59,AA0A*78", LineKind::Bad},
        {"block too long", "$RTTMC,8,D3C2,8A10,12F45,AB*71", LineKind::Bad},
        {"tuning report", "$RTRDS, 87.5,10,0,0,2,1,1,000,255,5,0,50*46", LineKind::Tune},
        {"capture line", "1234 8115 544D 4320 @2026/12/08 09:46:19.57", LineKind::Group},
        {"capture line, block lost", "1234 ---- 544D 4320", LineKind::Group},
        {"capture header", "<recorder=\"RDS Spy\">", LineKind::Ignored},
        {"hex log header", "% Freq 88500", LineKind::Ignored},
        {"three blocks", "1234 8115 544D", LineKind::Bad},
        {"not hex", "1234 8115 544D 43G0", LineKind::Bad},
        {"garbage after the blocks", "1234 8115 544D 4320 x", LineKind::Bad},
        {"capture line with tabs", "1234\t8115\t544D\t4320", LineKind::Group},
    };
    for (const Row &row : rows)
        EXPECT_EQ(ParseLine(row.text).kind, row.kind) << row.legend;
    const auto sentence = ParseLine("$RTTMC,8,D3C2,8A10,12F4,AB*44");
    EXPECT_EQ(sentence.group.block[3], 0xAB);
    EXPECT_EQ(ParseLine("1234 ---- 544D 4320").group.missing, 2);

    // Lines cut across reads, CR LF ends, and an overlong line counted once.
    tmcview::LineSplitter splitter;
    std::vector<LineKind> kinds;
    auto collect = [&](const tmcview::Line &l) { kinds.push_back(l.kind); };
    const std::string text = "$RTTMC,8,D3C2,8A1" + std::string("0,12F4,AB*44\r\n") +
                             std::string(tmcview::kMaxLine + 10, 'x') + "\n1234 0000 0000 0000";
    splitter.Feed(text.data(), 17, collect);
    splitter.Feed(text.data() + 17, text.size() - 17, collect);
    splitter.Finish(collect);
    EXPECT_EQ(kinds, (std::vector<LineKind>{LineKind::Group, LineKind::Bad, LineKind::Group}));
}

TEST(TmcviewInput, CaptureTimeStamps) {
    double a = 0, b = 0;
    ASSERT_TRUE(tmcview::CaptureTime("A203 8548 53F4 A827 @2017/12/27 18:22:00.339", a));
    ASSERT_TRUE(tmcview::CaptureTime("A203 8548 53F4 A827 @2018/01/01 00:00:01.05", b));
    EXPECT_NEAR(b - a, 4 * 86400 + 5 * 3600 + 38 * 60 + 0.711, 1e-6); // across a year's end
    ASSERT_TRUE(tmcview::CaptureTime("C36C 0548 E795 4865 @2016/03/01 00:00:00", b));
    ASSERT_TRUE(tmcview::CaptureTime("C36C 0548 E795 4865 @2016/02/28 00:00:00", a));
    EXPECT_EQ(b - a, 2 * 86400.0); // a leap day between
    for (const char *none :
         {"A203 8548 53F4 A827", "$RTTMC,8,D3C2,8A10,12F4,AB*44",
          "A203 8548 53F4 A827 @2017/13/27 18:22:00", "x @2017/12/27", "A203 8548 53F4 A827 @"})
        EXPECT_FALSE(tmcview::CaptureTime(none, a)) << none;
}

TEST(TmcviewDecoder, StationNameFrequenciesTextAndClock) {
    Decoder d;
    // TP and TA are not known before a group has told them; 15B tells TA and music too.
    rds::Group noB = G(0x1234, 0, 0, 0);
    noB.missing = 1u << rds::kBlockB;
    Decode(d, noB);
    EXPECT_FALSE(d.station().hasFlags);
    EXPECT_FALSE(d.station().hasSwitching);
    EXPECT_NE(Decode(d, G(0x1234, 0xF818, 0x1234, 0xF818)).find("\"ta\":true,\"is_music\":true"),
              std::string::npos);
    EXPECT_TRUE(d.station().hasFlags && d.station().hasSwitching && d.station().ta);
    EXPECT_FALSE(d.station().tp);
    // PS in segment order 3, 0, 1, 2, 3: shown once every segment of a cycle is in.
    const std::uint16_t ps[4] = {0x5441, 0x5652, 0x494E, 0x454C}; // "TAVRINEL"
    EXPECT_EQ(Decode(d, G(0x1234, 0x0103, 0xE0CD, ps[3])).find("\"ps\""), std::string::npos);
    for (unsigned s = 0; s < 3; ++s)
        Decode(d, G(0x1234, 0x0100 | s, 0xE0CD, ps[s]));
    EXPECT_NE(Decode(d, G(0x1234, 0x0113, 0xE0CD, ps[3])).find("\"ps\":\"TAVRINEL\""),
              std::string::npos);
    EXPECT_TRUE(d.station().ta);
    // A segment whose block C was lost is not trusted; segment 0 starts a new cycle.
    rds::Group damaged = G(0x1234, 0x0100, 0, 0x5858);
    damaged.missing = 1u << rds::kBlockC;
    Decode(d, damaged);
    EXPECT_EQ(d.station().ps, "TAVRINEL");
    Decode(d, G(0x1234, 0x0100, 0xE0CD, 0x5858));
    EXPECT_EQ(Decode(d, G(0x1234, 0x0101, 0xE0CD, ps[1])).find("\"ps\""), std::string::npos);
    // The next cycle's 0 and 1 damaged: its 2 and 3 are not joined to the
    // 0 and 1 held from before (a station may change its name every cycle).
    Decode(d, damaged);
    damaged.block[rds::kBlockB] = 0x0101;
    Decode(d, damaged);
    Decode(d, G(0x1234, 0x0102, 0xE0CD, ps[2]));
    EXPECT_EQ(Decode(d, G(0x1234, 0x0103, 0xE0CD, ps[3])).find("\"ps\""), std::string::npos);
    // Groups of unknown type (block B lost) between segments: up to three
    // cannot hide a whole cycle, four can.
    rds::Group unknown = G(0x1234, 0, 0, 0);
    unknown.missing = 1u << rds::kBlockB;
    for (const unsigned between : {3u, 4u}) {
        std::string json;
        for (unsigned s = 0; s < 4; ++s) {
            for (unsigned n = 0; s == 1 && n < between; ++n)
                Decode(d, unknown);
            json = Decode(d, G(0x1234, 0x0100 | s, 0xE0CD, ps[s]));
        }
        EXPECT_EQ(json.find("\"ps\":\"TAVRINEL\"") != std::string::npos, between == 3) << between;
    }

    // AF method A, 4 codes: header (count, 88.5), 89.5/90.5, 91.5/filler. A
    // list with a group lost is dropped, not filled up from the next cycle
    // whose header was lost too.
    Decoder af;
    rds::Group afLost = G(0x1234, 0x0100, 0, 0x2020);
    afLost.missing = 1u << rds::kBlockC;
    const std::uint16_t listA[3] = {0xE40A, 0x141E, 0x28CD};
    for (const rds::Group &g :
         {G(0x1234, 0x0100, listA[0], 0x2020), afLost, G(0x1234, 0x0100, listA[2], 0x2020), afLost})
        Decode(af, g);
    EXPECT_EQ(Decode(af, G(0x1234, 0x0100, listA[1], 0x2020)).find("alt_freq"), std::string::npos);
    std::string list;
    for (const std::uint16_t c : listA)
        list = Decode(af, G(0x1234, 0x0100, c, 0x2020));
    EXPECT_NE(list.find("\"alt_frequencies_a\":[88500,89500,90500,91500]"), std::string::npos)
        << list;
    // Method B: the tuned frequency paired with each alternative, ascending
    // for the same programme, descending for a regional variant.
    for (const std::uint16_t c : {0xE50A, 0x0A14, 0x1E0A})
        list = Decode(af, G(0x1234, 0x0100, c, 0x2020));
    EXPECT_NE(list.find("\"alt_frequencies_b\":{\"tuned_frequency\":88500,"
                        "\"same_programme\":[89500],\"regional_variants\":[90500]}"),
              std::string::npos)
        << list;

    // Radiotext 2A ended by a carriage return; a new A/B flag starts over.
    Decode(d, G(0x1234, 0x2100, 0x5465, 0x7374));
    EXPECT_NE(Decode(d, G(0x1234, 0x2101, 0x0D20, 0x2020)).find("\"radiotext\":\"Test\""),
              std::string::npos);
    EXPECT_EQ(Decode(d, G(0x1234, 0x2111, 0x0D20, 0x2020)).find("radiotext"), std::string::npos);

    // 4A: MJD 58608 (2019-05-05) 23:47 UTC, +2 h: the next day, local time.
    const unsigned mjd = 58608, hour = 23, minute = 47;
    const auto b = static_cast<std::uint16_t>(0x4100 | (mjd >> 15));
    const auto c = static_cast<std::uint16_t>(((mjd & 0x7FFF) << 1) | (hour >> 4));
    const auto dd = static_cast<std::uint16_t>(((hour & 15) << 12) | (minute << 6) | 4);
    EXPECT_NE(Decode(d, G(0x1234, b, c, dd)).find("\"clock_time\":\"2019-05-06T01:47:00+02:00\""),
              std::string::npos);
}

TEST(TmcviewDecoder, TrafficMessages) {
    Decoder d;
    // Nothing before the service has given its system information (3A, AID
    // CD46, variant 0: location table 5, national and regional scope).
    EXPECT_EQ(Decode(d, G(0x1234, 0x8108, 0x4123, 0x2345)).find("message"), std::string::npos);
    EXPECT_NE(Decode(d, G(0x1234, 0x3110, 0x0166, 0xCD46))
                  .find("\"location_table\":5,\"is_on_alt_freqs\":true,"
                        "\"scope\":[\"national\",\"regional\"]"),
              std::string::npos);
    const std::string single = Decode(d, G(0x1234, 0x8108, 0x4123, 0x2345));
    EXPECT_NE(single.find("\"event_codes\":[291],\"location\":9029,\"direction\":\"single\","
                          "\"extent\":\"-0\""),
              std::string::npos)
        << single;
    Decode(d, G(0x1234, 0x8108, 0x4123, 0x2345));
    ASSERT_EQ(d.messages().size(), 1u);
    EXPECT_EQ(d.messages()[0].received, 2u); // the repeat counted, not listed again

    // Multi-group: first group, a repeat of it, the second group twice (a
    // single-group message between), the last. The continuation groups are
    // one bit string: additional event 341, a directionality change, and
    // additional event 677, whose label and first bits end the second group.
    Decode(d, G(0x1234, 0x8105, 0xC123, 0x3456));
    Decode(d, G(0x1234, 0x8105, 0xC123, 0x3456));
    EXPECT_EQ(Decode(d, G(0x1234, 0x8105, 0x592A, 0xA2A5)).find("message"), std::string::npos);
    Decode(d, G(0x1234, 0x8108, 0x4123, 0x2345));
    EXPECT_EQ(Decode(d, G(0x1234, 0x8105, 0x592A, 0xA2A5)).find("message"), std::string::npos);
    const std::string multi = Decode(d, G(0x1234, 0x8105, 0x0528, 0x0000));
    EXPECT_NE(multi.find("\"event_codes\":[291,341,677],\"location\":13398,\"direction\":\"both\","
                         "\"extent\":\"-0\",\"urgency\":\"none\"}"),
              std::string::npos)
        << multi;
    // A continuation out of sequence drops the message, and so does a group
    // of another multi-group message.
    Decode(d, G(0x1234, 0x8106, 0xC123, 0x3456));
    EXPECT_EQ(Decode(d, G(0x1234, 0x8106, 0x0140, 0x0000)).find("message"), std::string::npos);
    Decode(d, G(0x1234, 0x8106, 0xC123, 0x3456));
    Decode(d, G(0x1234, 0x8107, 0xC123, 0x4567));
    EXPECT_EQ(Decode(d, G(0x1234, 0x8106, 0x4140, 0x0000)).find("message"), std::string::npos);

    // An encrypted service (table 0 announced): nothing until the
    // administration group gives the key and the real table; then locations
    // are marked encrypted.
    Decoder enc;
    Decode(enc, G(0x4321, 0x3110, 0x0006, 0xCD46));
    EXPECT_EQ(Decode(enc, G(0x4321, 0x8108, 0x0111, 0x0ABC)).find("message"), std::string::npos);
    EXPECT_NE(Decode(enc, G(0x4321, 0x8100, 0x0123, 0x4400))
                  .find("\"service_id\":9,\"encryption_id\":3,\"location_table\":17"),
              std::string::npos);
    EXPECT_NE(Decode(enc, G(0x4321, 0x8108, 0x0111, 0x0ABC)).find("\"encrypted_location\":2748"),
              std::string::npos);

    // Listed from the second reception: a copy with a location bit wrong,
    // heard once, stays off the list; an update (another extent) takes the
    // older message's place once it is heard twice.
    Decode(d, G(0x1234, 0x8108, 0x4123, 0x2344));
    Decode(d, G(0x1234, 0x8108, 0x4923, 0x2345));
    auto listed = d.Confirmed();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->location, 9029u);
    EXPECT_EQ(listed[0]->extent, 0u);
    Decode(d, G(0x1234, 0x8108, 0x4923, 0x2345));
    listed = d.Confirmed();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->extent, 1u);

    // Another station (a retune): a lone odd PI is damage, two in a row a new
    // station whose messages start from nothing.
    ASSERT_EQ(d.messages().size(), 3u); // the update, the multi-group message, the copy
    Decode(d, G(0x5678, 0x0100, 0, 0));
    EXPECT_EQ(d.messages().size(), 3u);
    Decode(d, G(0x1234, 0x0100, 0, 0));
    Decode(d, G(0x5678, 0x0100, 0, 0));
    Decode(d, G(0x5678, 0x0100, 0, 0));
    EXPECT_TRUE(d.messages().empty());
    EXPECT_FALSE(d.station().tmc.systemKnown);
    EXPECT_EQ(d.station().pi, 0x5678);
}

// ---- The program -------------------------------------------------------------------------

// Runs tmcview with `args`, standard input and output on `terminal` (or
// /dev/null when -1), standard error to `err` (or /dev/null); answers its pid.
pid_t Start(const std::vector<std::string> &args, int terminal = -1, const char *err = nullptr) {
    std::vector<char *> argv{const_cast<char *>(TMCVIEW_PATH)};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    setenv("TERM", "xterm", 1); // for the view
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        const int io = terminal >= 0 ? terminal : null;
        if (terminal >= 0)
            setsid(); // the view's terminal becomes the controlling one
        dup2(io, 0);
        dup2(io, 1);
        const int e = err ? open(err, O_WRONLY | O_CREAT | O_TRUNC, 0600) : null;
        dup2(e, 2);
        execv(TMCVIEW_PATH, argv.data());
        _exit(127);
    }
    return pid;
}

// The exit code of `pid`, or 128 + the signal that ended it (10 s cap, then killed).
int Finish(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A pseudo-terminal pair: the master and the slave (open), the slave's path.
struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        path = ptsname(master);
        slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    }
    ~Pty() {
        if (slave >= 0)
            close(slave);
        if (master >= 0)
            close(master);
    }
    [[nodiscard]] bool Raw() const {
        termios t{};
        return tcgetattr(slave, &t) == 0 && !(t.c_lflag & (ICANON | ECHO));
    }
};

TEST(TmcviewProgram, HelpAndWhatItRefuses) {
    testsupport::TempFolder dir("tmcview");
    const std::string out = dir.File("out");
    // --help: standard output, success.
    const std::string help = std::string("'") + TMCVIEW_PATH + "' --help > '" + out + "'";
    EXPECT_EQ(std::system(help.c_str()), 0);
    std::ifstream in(out);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char *word : {"--events", "--json", "PgDn", "q or Esc", "loc", "urg", "TP yes/no"})
        EXPECT_NE(text.find(word), std::string::npos) << word;
    std::ofstream(dir.File("a.spy")) << "D318 0548 E795 4865\n";
    struct Case {
        std::vector<std::string> args;
        const char *says;
    } const cases[] = {
        {{"--events", dir.File("none.txt"), dir.File("a.spy")}, "none.txt"},
        {{"--json", "--events", dir.Path(), dir.File("a.spy")}, "directory"},
        {{"--json", dir.Path()}, "is a directory"},
        {{"--frobnicate"}, "usage"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Finish(Start(c.args, -1, out.c_str())), 2) << c.says;
        std::ifstream err(out);
        const std::string said((std::istreambuf_iterator<char>(err)),
                               std::istreambuf_iterator<char>());
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
}

TEST(TmcviewProgram, APortsTerminalSettingsComeBackHoweverItEnds) {
    Pty port;
    ASSERT_GE(port.slave, 0) << "no pseudo-terminal";
    termios before{};
    ASSERT_EQ(tcgetattr(port.slave, &before), 0);
    before.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(port.slave, TCSANOW, &before), 0);
    auto runs = [&](const std::vector<std::string> &args, int terminal, int signal) {
        const pid_t pid = Start(args, terminal);
        bool raw = false;
        for (int i = 0; i < 500 && !(raw = port.Raw()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(raw) << "tmcview never set the port to raw mode";
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // into its reading loop
        kill(pid, signal);
        EXPECT_EQ(Finish(pid), 128 + signal);
        termios after{};
        EXPECT_EQ(tcgetattr(port.slave, &after), 0);
        EXPECT_EQ(after.c_lflag, before.c_lflag) << "after signal " << signal;
        EXPECT_EQ(after.c_iflag, before.c_iflag) << "after signal " << signal;
        EXPECT_EQ(after.c_oflag, before.c_oflag) << "after signal " << signal;
    };
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        runs({"--json", port.path}, -1, signal);
    // The live view, on a terminal of its own.
    Pty screen;
    ASSERT_GE(screen.slave, 0);
    winsize size{24, 80, 0, 0};
    ioctl(screen.master, TIOCSWINSZ, &size);
    for (const int signal : {SIGTERM, SIGQUIT})
        runs({port.path}, screen.slave, signal);
}

// ---- Against the independent decoder ---------------------------------------------------

// Compared fields: the name in the table and the paths that carry it.
const std::vector<std::pair<std::string, std::vector<std::string>>> kFields = {
    {"pi", {"pi"}},
    {"ps", {"ps"}},
    {"radiotext", {"radiotext"}},
    {"prog_type", {"prog_type"}},
    {"tp", {"tp"}},
    {"ta", {"ta"}},
    {"clock_time", {"clock_time"}},
    {"tmc.system_info",
     {"tmc.system_info.is_encrypted", "tmc.system_info.location_table",
      "tmc.system_info.is_on_alt_freqs", "tmc.system_info.scope", "tmc.system_info.service_id",
      "tmc.system_info.gap", "tmc.system_info.encryption_id"}},
    {"tmc.service_provider", {"tmc.service_provider"}},
    {"message.event_codes", {"tmc.message.event_codes"}},
    {"message.location", {"tmc.message.location", "tmc.message.encrypted_location"}},
    {"message.extent", {"tmc.message.extent"}},
    {"message.direction", {"tmc.message.direction"}},
};

// One JSON object reduced to the compared fields. Values are compared as
// the text both sides write (compact, no blanks), so a value is the slice of
// the line it spans; only the leaves that are compared are kept.
class Flat {
public:
    explicit Flat(std::string_view text) : s_(text) {
        std::string path;
        Object(path);
        auto get = [&](std::string_view k) {
            for (const auto &[p, v] : leaves_)
                if (p == k)
                    return std::string(v);
            return std::string();
        };
        for (const auto &[field, paths] : kFields) {
            std::string v;
            for (const std::string &p : paths)
                v += get(p) + "|";
            fields.push_back(v == std::string(paths.size(), '|') ? std::string() : v);
        }
        pairing = get("group") + "|" + get("tp") + "|" + get("prog_type");
        // A message is known by its first event, location and extent; its
        // further events are a compared field.
        if (const std::string events = get("tmc.message.event_codes"); !events.empty())
            message = events.substr(0, events.find_first_of(",]")) + "|";
        for (const char *k :
             {"tmc.message.location", "tmc.message.encrypted_location", "tmc.message.extent"})
            if (const std::string v = get(k); !v.empty())
                message += v + "|";
    }
    std::vector<std::string> fields; // by kFields, empty when absent
    std::string pairing;             // group type, TP and PTY: what block B says
    std::string message;             // what identifies a traffic message, empty when none

private:
    static bool Wanted(std::string_view path) {
        if (path == "group" || path == "tp" || path == "prog_type")
            return true;
        for (const auto &[field, paths] : kFields)
            for (const std::string &p : paths)
                if (p == path)
                    return true;
        return false;
    }
    void Skip() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t'))
            ++i_;
    }
    // A scalar, an array or an object (walked for its leaves): its slice.
    std::string_view Value(std::string &path) {
        Skip();
        const std::size_t start = i_;
        if (i_ < s_.size() && s_[i_] == '{') {
            Object(path);
        } else if (i_ < s_.size() && s_[i_] == '[') {
            ++i_;
            for (Skip(); i_ < s_.size() && s_[i_] != ']'; Skip()) {
                if (s_[i_] == ',')
                    ++i_;
                else
                    Value(path);
            }
            ++i_;
        } else if (i_ < s_.size() && s_[i_] == '"') {
            for (++i_; i_ < s_.size() && s_[i_] != '"'; ++i_)
                if (s_[i_] == '\\')
                    ++i_;
            ++i_;
        } else {
            while (i_ < s_.size() && s_[i_] != ',' && s_[i_] != '}' && s_[i_] != ']' &&
                   s_[i_] != ' ')
                ++i_;
        }
        return s_.substr(start, std::min(i_, s_.size()) - start);
    }
    void Object(std::string &path) {
        Skip();
        ++i_; // '{'
        const std::size_t outer = path.size();
        for (Skip(); i_ < s_.size() && s_[i_] != '}'; Skip()) {
            if (s_[i_] == ',') {
                ++i_;
                continue;
            }
            std::string_view key = Value(path);
            if (key.size() >= 2)
                key = key.substr(1, key.size() - 2);
            Skip();
            ++i_; // ':'
            if (outer)
                path += '.';
            path += key;
            const bool object = (Skip(), i_ < s_.size() && s_[i_] == '{');
            const std::string_view v = Value(path);
            if (!object && Wanted(path))
                leaves_.emplace_back(path, v);
            path.resize(outer);
        }
        ++i_;
    }
    std::string_view s_;
    std::size_t i_ = 0;
    std::vector<std::pair<std::string, std::string_view>> leaves_;
};

std::vector<Flat> ReadLines(std::FILE *in) {
    std::vector<Flat> out;
    std::string line;
    char chunk[4096];
    while (std::fgets(chunk, sizeof chunk, in)) {
        line += chunk;
        if (line.back() != '\n')
            continue;
        line.pop_back();
        out.emplace_back(line);
        line.clear();
    }
    return out;
}

struct Tally {
    unsigned agree = 0, differ = 0;
};

class CaptureComparison : public testing::TestWithParam<const char *> {};

TEST_P(CaptureComparison, AgreesFieldByField) {
    const std::filesystem::path dir = TAVRINEL_CAPTURE_DIR;
    const auto capture = dir / GetParam();
    const auto reference = dir / "decoded" / (std::string(GetParam()) + ".json");
    if (!std::filesystem::exists(capture) || !std::filesystem::exists(reference))
        GTEST_SKIP() << capture << " or its decoded reference is absent; real captures are not "
                     << "part of the project (see ../shared/rds/README.md)";
    const std::string command =
        std::string("'") + TMCVIEW_PATH + "' --json '" + capture.string() + "' 2>/dev/null";
    std::FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    const std::vector<Flat> ours = ReadLines(pipe);
    ASSERT_EQ(pclose(pipe), 0);
    std::FILE *ref = std::fopen(reference.c_str(), "r");
    ASSERT_NE(ref, nullptr);
    const std::vector<Flat> theirs = ReadLines(ref);
    std::fclose(ref);

    // The reference leaves out some groups (a lost block A, its start-up): pair
    // each of its objects with our next one of the same group type.
    std::vector<std::pair<const Flat *, const Flat *>> pairs;
    std::size_t i = 0;
    for (const Flat &t : theirs) {
        // Block B alone says group type, TP and PTY; the reference holds on to
        // an old PI for a few groups after a retune.
        while (i < ours.size() && ours[i].pairing != t.pairing)
            ++i;
        if (i == ours.size())
            break;
        pairs.emplace_back(&ours[i++], &t);
    }
    std::map<std::string, Tally> tally;
    // The reference reads each continuation group of a message on its own
    // and drops a field that runs on into the next group, with all after
    // it: its event list then stops short of ours.
    unsigned stopsShort = 0;
    auto compare = [&](const Flat &o, const Flat &t, bool messageFields) {
        for (std::size_t f = 0; f < kFields.size(); ++f) {
            if ((kFields[f].first.rfind("message.", 0) == 0) != messageFields)
                continue;
            const std::string &a = o.fields[f], &b = t.fields[f];
            if (a.empty() && b.empty())
                continue;
            Tally &n = tally[kFields[f].first];
            (a == b ? n.agree : n.differ)++;
            if (a != b && kFields[f].first == "message.event_codes" && b.size() > 2 &&
                a.size() > b.size() && a.rfind(b.substr(0, b.size() - 2) + ",", 0) == 0)
                ++stopsShort;
        }
    };
    for (const auto &[o, t] : pairs)
        compare(*o, *t, false);

    // A message completed by a group the reference skipped shows up on the
    // next repeat there: a message pairs with the same one a few groups away.
    auto message = [](const Flat &f) -> const std::string & { return f.message; };
    constexpr std::ptrdiff_t kNear = 4;
    std::vector<bool> used(pairs.size(), false);
    for (std::size_t q = 0; q < pairs.size(); ++q) {
        const std::string &mine = message(*pairs[q].first);
        if (!mine.empty() && mine == message(*pairs[q].second))
            used[q] = true;
    }
    const Flat *first = pairs.empty() ? nullptr : pairs.front().first;
    const Flat *last = pairs.empty() ? nullptr : pairs.back().first;
    for (std::size_t p = 0, n = 0; first && n < ours.size(); ++n) {
        const Flat &o = ours[n];
        while (p < pairs.size() && pairs[p].first < &o)
            ++p;
        const std::string &mine = message(o);
        if (mine.empty() || &o < first || &o > last)
            continue;
        std::size_t match = pairs.size();
        if (p < pairs.size() && pairs[p].first == &o && message(*pairs[p].second) == mine)
            match = p;
        for (std::size_t q = p > 2 * kNear ? p - 2 * kNear : 0;
             match == pairs.size() && q < pairs.size() && q <= p + 2 * kNear; ++q) {
            const std::ptrdiff_t apart = pairs[q].first - &o;
            if (!used[q] && apart >= -kNear && apart <= kNear && message(*pairs[q].second) == mine)
                match = q;
        }
        if (match == pairs.size()) {
            tally["message.present"].differ++;
            continue;
        }
        used[match] = true;
        tally["message.present"].agree++;
        compare(o, *pairs[match].second, true);
    }
    for (std::size_t q = 0; q < pairs.size(); ++q)
        if (!used[q] && !message(*pairs[q].second).empty())
            tally["message.present"].differ++;
    const std::size_t paired = pairs.size();
    std::ostringstream table;
    table << GetParam() << ": " << paired << " of " << theirs.size() << " groups paired\n";
    for (const auto &[field, n] : tally)
        table << "  " << field << ": " << n.agree << " agree, " << n.differ << " differ\n";
    table << "  (message.event_codes: the reference stops short on " << stopsShort << ")\n";
    std::printf("%s", table.str().c_str());
    RecordProperty("agreement", table.str());

    EXPECT_GE(paired, theirs.size() * 99 / 100);
    // Decoded from the group alone: must agree everywhere.
    for (const char *field : {"prog_type", "tp", "ta", "clock_time", "message.location",
                              "message.extent", "tmc.system_info", "tmc.service_provider"})
        EXPECT_EQ(tally[field].differ, 0u) << field;
    EXPECT_EQ(tally["message.event_codes"].differ, stopsShort);
    // Messages missing on one side come from groups with block A lost, which
    // the reference skips: the same message shows up a repeat later there.
    EXPECT_LE(tally["message.present"].differ * 100, tally["message.present"].agree);
}

INSTANTIATE_TEST_SUITE_P(RealCaptures, CaptureComparison,
                         testing::Values("de-D395-wdr5-tmc.spy", "at-A203-oe1-tmc.rds",
                                         "pl-3205-radiozet-noisy.rds", "fr-FE37-tmc.spy",
                                         "uk-C36C-heart-tmc.rds"),
                         testsupport::CaptureTestName<CaptureComparison::ParamType>);

} // namespace
