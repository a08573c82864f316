// tmcview — what a receiver hears: the station and its traffic messages,
// decoded from the receiver's sentences (a port, standard input or a
// capture file), shown live on the terminal or printed as JSON lines.
//
//   tmcview [--json] [--events FILE] [SOURCE]
//
// SOURCE: a serial port or pseudo-terminal (set to raw mode), a capture or
// sentence file, or "-" / nothing for standard input.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "decoder.h"
#include "input.h"
#include "view.h"

namespace {

constexpr std::size_t kReadChunk = 4096;

volatile std::sig_atomic_t gStop = 0;
void OnStopSignal(int) {
    gStop = 1;
}
constexpr std::size_t kMaxEventTexts = 4096;
constexpr std::size_t kMaxEventText = 60;

int Usage() {
    (void)std::fprintf(stderr,
                       "usage: tmcview [--json] [--events FILE] [PORT | FILE | -]\n"
                       "  --json         one JSON object per group on standard output\n"
                       "  --events FILE  lines \"CODE TEXT\": texts shown beside event codes\n");
    return 2;
}

// "CODE TEXT" lines; anything else is skipped.
std::map<unsigned, std::string> ReadEventTexts(const char *path) {
    std::map<unsigned, std::string> texts;
    std::ifstream in(path);
    std::string line;
    while (texts.size() < kMaxEventTexts && std::getline(in, line)) {
        unsigned code = 0;
        int used = 0;
        if (std::sscanf(line.c_str(), "%u %n", &code, &used) != 1 || code > 2047 || used <= 0)
            continue;
        texts[code] = line.substr(static_cast<std::size_t>(used), kMaxEventText);
    }
    return texts;
}

double Seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

int main(int argc, char **argv) {
    bool json = false;
    const char *source = nullptr;
    const char *eventsFile = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0)
            json = true;
        else if (std::strcmp(argv[i], "--events") == 0 && i + 1 < argc)
            eventsFile = argv[++i];
        else if ((argv[i][0] == '-' && argv[i][1] != '\0') || source)
            return Usage();
        else
            source = argv[i];
    }
    int fd = STDIN_FILENO;
    std::string name = "standard input";
    if (source && std::strcmp(source, "-") != 0) {
        fd = open(source, O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            (void)std::fprintf(stderr, "tmcview: %s: %s\n", source,
                               std::strerror(errno)); // NOLINT(concurrency-mt-unsafe): one thread
            return 1;
        }
        name = source;
    }
    const bool live = isatty(fd);
    if (live && fd != STDIN_FILENO) {
        // A receiver port: raw bytes, no echo, no line editing.
        termios tio{};
        if (tcgetattr(fd, &tio) == 0) {
            cfmakeraw(&tio);
            tio.c_cc[VMIN] = 1;
            tio.c_cc[VTIME] = 0;
            tcsetattr(fd, TCSANOW, &tio);
        }
    }

    tmcview::Decoder decoder;
    tmcview::LineSplitter splitter;
    tmcview::SourceStats stats;
    stats.name = name;
    std::string text;
    auto onLine = [&](const tmcview::Line &line) {
        switch (line.kind) {
        case tmcview::LineKind::Group:
            decoder.Decode(line.group, Seconds(), json ? &text : nullptr);
            if (json) {
                text += '\n';
                (void)std::fwrite(text.data(), 1, text.size(), stdout);
                if (live)
                    (void)std::fflush(stdout); // a reader of a live port wants each group now
            }
            break;
        case tmcview::LineKind::Tune:
            stats.tuned = line.tuned;
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
        for (;;) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            splitter.Feed(buf, static_cast<std::size_t>(n), onLine);
        }
        splitter.Finish(onLine);
        (void)std::fflush(stdout);
        (void)std::fprintf(stderr, "tmcview: %llu groups (%llu damaged), %llu bad lines\n",
                           static_cast<unsigned long long>(decoder.counters().groups),
                           static_cast<unsigned long long>(decoder.counters().damaged),
                           static_cast<unsigned long long>(stats.badLines));
        return 0;
    }

    tmcview::View view;
    if (!view.Open(fd == STDIN_FILENO)) {
        (void)std::fprintf(stderr, "tmcview: no terminal for the view (use --json)\n");
        return 1;
    }
    if (eventsFile)
        view.SetEventTexts(ReadEventTexts(eventsFile));
    // Ctrl-C and hang-ups end the view cleanly, restoring the terminal.
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGHUP, &stop, nullptr);
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
                splitter.Feed(buf, static_cast<std::size_t>(n), onLine);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                splitter.Finish(onLine);
                ended = true;
                stats.ended = true;
            }
        }
        if ((fds[1].revents & POLLIN) && view.QuitRequested())
            break;
        const double now = Seconds();
        if (now - lastDraw >= 0.2 || ended) {
            view.Draw(decoder, stats, now);
            lastDraw = now;
        }
    }
    view.Close();
    return 0;
}
