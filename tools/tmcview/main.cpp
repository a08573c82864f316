// tmcview — what a receiver hears: the station and its traffic messages,
// decoded from the receiver's sentences (a port, standard input or a
// capture file), shown live on the terminal or printed as JSON lines.
//
//   tmcview [--json] [--events FILE] [SOURCE]
//
// SOURCE: a serial port or pseudo-terminal (set to raw mode, restored at the
// end), a capture or sentence file, or "-" / nothing for standard input.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "decoder.h"
#include "input.h"
#include "view.h"

namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kMaxEventTexts = 4096;
constexpr std::size_t kMaxEventText = 60;
constexpr std::size_t kMaxEventsFileBytes = 1u << 20;

// The signals that end tmcview; each restores the source's terminal first.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

volatile std::sig_atomic_t gStop = 0; // the signal that ends the program
int gSourceFd = -1;
termios gSourceSaved{};
volatile std::sig_atomic_t gSourceRaw = 0;

void RestoreSource() {
    if (gSourceRaw) {
        tcsetattr(gSourceFd, TCSANOW, &gSourceSaved);
        gSourceRaw = 0;
    }
}

void OnStopSignal(int signal) {
    RestoreSource(); // now: the program may not get to its own end
    gStop = signal;
}

// Ends as the signal would have ended it, once the terminals are restored
// (without the core dump of a quit: it was asked for).
int EndBySignal() {
    RestoreSource();
    if (gStop == 0 || gStop == SIGQUIT)
        return gStop == 0 ? 0 : 128 + gStop;
    std::signal(gStop, SIG_DFL);
    std::raise(gStop);
    return 128 + gStop;
}

constexpr const char *kUsage = "usage: tmcview [--json] [--events FILE] [PORT | FILE | -]\n";

int Usage() {
    (void)std::fprintf(stderr, "%s(tmcview --help explains)\n", kUsage);
    return 2;
}

int Help() {
    (void)std::printf(
        "%s"
        "Decodes the RDS groups a receiver hears: the station and its RDS-TMC traffic\n"
        "messages. The source is a serial port or pseudo-terminal carrying $RTTMC and\n"
        "$RTRDS sentences (put into raw mode while read), a capture file (RDS Spy .spy,\n"
        "hex .rds) or sentence file, or standard input (\"-\" or nothing).\n"
        "\n"
        "  --json         one JSON object per group on standard output, no view\n"
        "  --events FILE  lines \"CODE TEXT\": a text shown beside each event code\n"
        "  --help         this text\n"
        "\n"
        "Keys: Up/Down (or k/j) scroll the messages a line, PgUp/PgDn (or b/space) a\n"
        "page, Home/End (or g/G) to the first/last; q or Esc quits.\n"
        "\n"
        "The header: the source and the frequency of its last tuning report ($RTRDS),\n"
        "marked (old) when a station with another PI has come since without a report\n"
        "(the port gives each sentence to one reader: another program took it).\n"
        "The station: PI, programme service name, programme type, TP yes/no (the\n"
        "station carries traffic information), TA on/off (a traffic announcement is on\n"
        "air), music/speech; \"?\" until a group has told. Then radiotext, the TMC\n"
        "service, and groups per second (from the capture's time stamps when it has\n"
        "them), groups, share damaged, lines not understood, the station's clock.\n"
        "\n"
        "Message columns: events (codes, with texts from --events), loc (location\n"
        "code), dir (+/- direction of the queue, <> both ways), ext (extent: locations\n"
        "affected, signed), dur (duration code), urg (urgency: U urgent, X extremely\n"
        "urgent), times (receptions), last (time since last heard, by the capture's\n"
        "time stamps when it has them). A message is listed once heard twice alike.\n",
        kUsage);
    return 0;
}

// Opens a file to read, refusing a directory; -1 with `why` set otherwise.
int OpenInput(const char *path, std::string &why, bool &directory) {
    directory = false;
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        why = std::strerror(errno); // NOLINT(concurrency-mt-unsafe): one thread
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        why = "is a directory (give a port, a capture file or -)";
        directory = true;
        close(fd);
        return -1;
    }
    return fd;
}

// "CODE TEXT" lines; anything else is skipped. False when the file cannot be read.
bool ReadEventTexts(const char *path, std::map<unsigned, std::string> &texts, std::string &why) {
    bool directory = false;
    const int fd = OpenInput(path, why, directory);
    if (fd < 0)
        return false;
    std::string content;
    char buf[kReadChunk];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = std::strerror(errno); // NOLINT(concurrency-mt-unsafe): one thread
            close(fd);
            return false;
        }
        if (n == 0 || content.size() >= kMaxEventsFileBytes)
            break;
        content.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    std::size_t start = 0;
    while (start < content.size() && texts.size() < kMaxEventTexts) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        const std::string line = content.substr(start, end - start);
        start = end + 1;
        unsigned code = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), "%u %n", &code, &used) != 1 || code > 2047 || used <= 0)
            continue;
        texts[code] = line.substr(static_cast<std::size_t>(used), kMaxEventText);
    }
    return true;
}

double Seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The source's clock: a capture's own time stamps where its lines have them
// (a file is read in an instant; its groups were heard over minutes), else
// the time of reading.
struct SourceClock {
    bool stamped = false;
    double last = 0;
    [[nodiscard]] double Now() const { return stamped ? last : Seconds(); }
};

// Hands the splitter one line at a time, noting each line's time stamp
// first: the splitter reports a line only at its end.
class StampedLines {
public:
    template <typename OnLine>
    void Feed(tmcview::LineSplitter &splitter, SourceClock &clock, const char *data,
              std::size_t size, OnLine &onLine) {
        std::size_t start = 0;
        for (std::size_t i = 0; i < size; ++i) {
            if (data[i] != '\n' && data[i] != '\r')
                continue;
            Keep(data + start, i - start);
            Stamp(clock);
            splitter.Feed(data + start, i + 1 - start, onLine);
            start = i + 1;
        }
        Keep(data + start, size - start);
        splitter.Feed(data + start, size - start, onLine);
    }
    template <typename OnLine>
    void Finish(tmcview::LineSplitter &splitter, SourceClock &clock, OnLine &onLine) {
        Stamp(clock);
        splitter.Finish(onLine);
    }

private:
    // Up to one byte more than a line may have: an overlong line has no time.
    void Keep(const char *data, std::size_t size) {
        if (text_.size() <= tmcview::kMaxLine)
            text_.append(data, std::min(size, tmcview::kMaxLine + 1 - text_.size()));
    }
    void Stamp(SourceClock &clock) {
        double t = 0;
        if (text_.size() <= tmcview::kMaxLine && tmcview::CaptureTime(text_, t)) {
            clock.stamped = true;
            clock.last = t;
        }
        text_.clear();
    }
    std::string text_;
};

} // namespace

int main(int argc, char **argv) {
    bool json = false;
    const char *source = nullptr;
    const char *eventsFile = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return Help();
        if (std::strcmp(argv[i], "--json") == 0)
            json = true;
        else if (std::strcmp(argv[i], "--events") == 0 && i + 1 < argc)
            eventsFile = argv[++i];
        else if ((argv[i][0] == '-' && argv[i][1] != '\0') || source)
            return Usage();
        else
            source = argv[i];
    }
    std::map<unsigned, std::string> eventTexts;
    std::string why;
    if (eventsFile && !ReadEventTexts(eventsFile, eventTexts, why)) {
        (void)std::fprintf(stderr, "tmcview: --events %s: %s\n", eventsFile, why.c_str());
        return 2;
    }
    int fd = STDIN_FILENO;
    std::string name = "standard input";
    if (source && std::strcmp(source, "-") != 0) {
        bool directory = false;
        fd = OpenInput(source, why, directory);
        if (fd < 0) {
            (void)std::fprintf(stderr, "tmcview: %s: %s\n", source, why.c_str());
            return directory ? 2 : 1;
        }
        name = source;
    }

    // Installed before the view: curses then keeps its hands off them. No
    // SA_RESTART: a read in progress returns, and the program ends in order.
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    for (const int s : kStopSignals)
        sigaction(s, &stop, nullptr);

    const bool live = isatty(fd);
    if (live && fd != STDIN_FILENO && tcgetattr(fd, &gSourceSaved) == 0) {
        // A receiver port: raw bytes, no echo, no line editing; as it was at the end.
        termios tio = gSourceSaved;
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        gSourceFd = fd;
        gSourceRaw = 1;
        tcsetattr(fd, TCSANOW, &tio);
    }

    tmcview::Decoder decoder;
    tmcview::LineSplitter splitter;
    StampedLines stamped;
    SourceClock clock;
    tmcview::RateMeter rate;
    tmcview::SourceStats stats;
    stats.name = name;
    int tunedPi = -1; // the PI first heard after the last tuning report
    std::string text;
    auto onLine = [&](const tmcview::Line &line) {
        switch (line.kind) {
        case tmcview::LineKind::Group: {
            const double now = clock.Now();
            decoder.Decode(line.group, now, json ? &text : nullptr);
            if (clock.stamped)
                rate.Note(now, decoder.counters().groups);
            // Another station without a report: the report went to another reader.
            if (const tmcview::Station &st = decoder.station(); st.hasPi && !stats.tuned.empty()) {
                if (tunedPi < 0)
                    tunedPi = st.pi;
                else if (st.pi != tunedPi)
                    stats.tunedOld = true;
            }
            if (json) {
                text += '\n';
                (void)std::fwrite(text.data(), 1, text.size(), stdout);
                if (live)
                    (void)std::fflush(stdout); // a reader of a live port wants each group now
            }
            break;
        }
        case tmcview::LineKind::Tune:
            stats.tuned = line.tuned;
            stats.tunedOld = false;
            tunedPi = -1;
            decoder.Reset();
            break;
        case tmcview::LineKind::Bad:
            ++stats.badLines;
            break;
        case tmcview::LineKind::Ignored:
            break;
        }
    };

    if (json) {
        char buf[kReadChunk];
        while (!gStop) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            stamped.Feed(splitter, clock, buf, static_cast<std::size_t>(n), onLine);
            if (std::ferror(stdout))
                break;
        }
        stamped.Finish(splitter, clock, onLine);
        (void)std::fflush(stdout);
        RestoreSource();
        (void)std::fprintf(stderr, "tmcview: %llu groups (%llu damaged), %llu bad lines\n",
                           static_cast<unsigned long long>(decoder.counters().groups),
                           static_cast<unsigned long long>(decoder.counters().damaged),
                           static_cast<unsigned long long>(stats.badLines));
        return EndBySignal();
    }

    tmcview::View view;
    if (!view.Open(fd == STDIN_FILENO)) {
        RestoreSource();
        (void)std::fprintf(stderr, "tmcview: no terminal for the view (use --json)\n");
        return 1;
    }
    view.SetEventTexts(std::move(eventTexts));
    bool ended = false;
    double lastDraw = 0;
    while (!gStop) {
        pollfd fds[2] = {{ended ? -1 : fd, POLLIN, 0}, {view.InputFd(), POLLIN, 0}};
        const int ready = poll(fds, 2, 200);
        if (ready < 0 && errno != EINTR)
            break;
        if (!ended && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[kReadChunk];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                stamped.Feed(splitter, clock, buf, static_cast<std::size_t>(n), onLine);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                stamped.Finish(splitter, clock, onLine);
                ended = true;
                stats.ended = true;
            }
        }
        bool keys = false;
        if (fds[1].revents & POLLIN) {
            if (view.ReadKeys())
                break;
            keys = true;
        }
        const double now = Seconds();
        if (now - lastDraw >= 0.2 || keys || ended) {
            if (!clock.stamped)
                rate.Note(now, decoder.counters().groups);
            stats.rate = rate.Rate();
            view.Draw(decoder, stats, clock.Now());
            lastDraw = now;
        }
    }
    view.Close();
    return EndBySignal();
}
