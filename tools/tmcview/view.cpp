// view.cpp — tmcview's terminal view.
#include "view.h"

#include <curses.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <vector>

namespace tmcview {

namespace {

constexpr int kStationRows = 6;

std::string Age(double seconds) {
    char buf[16];
    if (seconds < 60)
        (void)std::snprintf(buf, sizeof buf, "%ds", static_cast<int>(seconds));
    else if (seconds < 3600)
        (void)std::snprintf(buf, sizeof buf, "%dm", static_cast<int>(seconds / 60));
    else
        (void)std::snprintf(buf, sizeof buf, "%dh", static_cast<int>(seconds / 3600));
    return buf;
}

std::string Scope(unsigned scope) {
    std::string s;
    static constexpr const char *kNames[] = {"urban", "regional", "national", "international"};
    for (int bit = 3; bit >= 0; --bit)
        if (scope & (1u << bit))
            s += std::string(s.empty() ? "" : ",") + kNames[bit];
    return s.empty() ? "-" : s;
}

} // namespace

bool View::Open(bool dataOnStdin) {
    (void)std::setlocale(LC_ALL, ""); // NOLINT(concurrency-mt-unsafe): texts are UTF-8
    if (dataOnStdin) {
        tty_ = std::fopen("/dev/tty", "r+");
        if (!tty_)
            return false;
        screen_ = newterm(nullptr, tty_, tty_);
        inputFd_ = fileno(tty_);
    } else {
        if (!isatty(STDIN_FILENO))
            return false;
        screen_ = newterm(nullptr, stdout, stdin);
        inputFd_ = STDIN_FILENO;
    }
    if (!screen_)
        return false;
    set_term(static_cast<SCREEN *>(screen_));
    cbreak();
    noecho();
    curs_set(0);
    nodelay(stdscr, TRUE);
    keypad(stdscr, TRUE);
    return true;
}

void View::Close() {
    if (screen_) {
        endwin();
        delscreen(static_cast<SCREEN *>(screen_));
        screen_ = nullptr;
    }
    if (tty_)
        (void)std::fclose(tty_);
    tty_ = nullptr;
}

void RateMeter::Note(double t, std::uint64_t groups) {
    const std::size_t newest = (samples_ + kWindow - 1) % kWindow;
    if (samples_ > 0 && (t < timeAt_[newest] || groups < groupsAt_[newest]))
        samples_ = 0; // the clock went back (a capture replayed) or the count was reset
    else if (samples_ > 0 && t - timeAt_[newest] < 1.0)
        return;
    groupsAt_[samples_ % kWindow] = groups;
    timeAt_[samples_ % kWindow] = t;
    ++samples_;
}

double RateMeter::Rate() const {
    if (samples_ < 2)
        return 0;
    const std::size_t newest = (samples_ - 1) % kWindow;
    const std::size_t oldest = samples_ >= kWindow ? samples_ % kWindow : 0;
    const double span = timeAt_[newest] - timeAt_[oldest];
    return span > 0 ? static_cast<double>(groupsAt_[newest] - groupsAt_[oldest]) / span : 0;
}

bool View::ReadKeys() {
    for (int ch = getch(); ch != ERR; ch = getch()) {
        switch (ch) {
        case 'q':
        case 'Q':
            return true;
        case 27:
            // Esc alone quits; an escape sequence the terminal description
            // does not know (a key of another terminal type) is dropped whole.
            if (getch() == ERR)
                return true;
            while (getch() != ERR) {
            }
            break;
        case KEY_DOWN:
        case 'j':
            ++first_;
            break;
        case KEY_UP:
        case 'k':
            --first_;
            break;
        case KEY_NPAGE:
        case ' ':
            first_ += std::max(1, page_ - 1);
            break;
        case KEY_PPAGE:
        case 'b':
            first_ -= std::max(1, page_ - 1);
            break;
        case KEY_HOME:
        case 'g':
            first_ = 0;
            break;
        case KEY_END:
        case 'G':
            first_ = 1 << 20; // Draw brings it back to the last page
            break;
        default:
            break;
        }
    }
    return false;
}

void View::Draw(const Decoder &decoder, const SourceStats &stats, double now) {
    const Station &st = decoder.station();
    const Counters &counters = decoder.counters();

    erase();
    const int width = COLS;
    attron(A_REVERSE);
    mvhline(0, 0, ' ', width);
    std::string tuned;
    if (!stats.tuned.empty()) {
        const std::size_t digit = stats.tuned.find_first_not_of(' ');
        tuned = "  " + stats.tuned.substr(digit == std::string::npos ? 0 : digit) + " MHz" +
                (stats.tunedOld ? " (old)" : "");
    }
    mvprintw(0, 0, " tmcview  %.40s%s%s", stats.name.c_str(), tuned.c_str(),
             stats.ended ? "  (end of input)" : "");
    attroff(A_REVERSE);
    char ps[32] = "--------";
    if (st.hasPs)
        (void)std::snprintf(ps, sizeof ps, "%s", st.ps.c_str());
    if (st.hasPi)
        mvprintw(1, 0, "PI %04X  PS \"%s\"  PTY %s  TP %s  TA %s  %s", st.pi, ps, PtyName(st.pty),
                 !st.hasFlags ? "?"
                 : st.tp      ? "yes"
                              : "no",
                 !st.hasSwitching ? "?"
                 : st.ta          ? "on"
                                  : "off",
                 !st.hasSwitching ? "music/speech ?"
                 : st.music       ? "music"
                                  : "speech");
    else
        mvprintw(1, 0, "no station yet");
    mvprintw(2, 0, "RT %.*s", std::max(0, width - 4), st.radiotext.c_str());
    const TmcSystemInfo &tmc = st.tmc;
    if (tmc.announced) {
        mvprintw(3, 0, "TMC %04X  LTN %s  SID %s  %s  scope %s  gap %s  \"%s\"", tmc.aid,
                 tmc.locationTable >= 0 ? std::to_string(tmc.locationTable).c_str() : "?",
                 tmc.serviceId >= 0 ? std::to_string(tmc.serviceId).c_str() : "?",
                 tmc.encrypted ? "encrypted" : "open", Scope(tmc.scope).c_str(),
                 tmc.gap >= 0 ? std::to_string(tmc.gap).c_str() : "?", tmc.provider.c_str());
    } else {
        mvprintw(3, 0, "TMC not announced");
    }
    const double damagedShare =
        counters.groups ? 100.0 * static_cast<double>(counters.damaged) / counters.groups : 0;
    mvprintw(4, 0, "%.1f groups/s  %llu groups  %.1f%% damaged  %llu bad  %s", stats.rate,
             static_cast<unsigned long long>(counters.groups), damagedShare,
             static_cast<unsigned long long>(stats.badLines), st.clock.c_str());

    attron(A_BOLD);
    mvprintw(kStationRows - 1, 0, "%-22s %6s %3s %4s %3s %3s %5s %5s", "events", "loc", "dir",
             "ext", "dur", "urg", "times", "last");
    attroff(A_BOLD);
    const std::vector<const TmcMessage *> list = decoder.Confirmed();
    // Rows for messages between the column heads and the last line; a
    // marker row above and below says how many more there are.
    const int total = static_cast<int>(list.size());
    const int rows = std::max(1, LINES - 1 - kStationRows);
    if (total <= rows)
        first_ = 0;
    else
        first_ = std::clamp(first_, 0, total - std::max(1, rows - 1));
    int room = rows - (first_ > 0 ? 1 : 0);
    if (first_ + room < total)
        room = std::max(1, room - 1);
    page_ = room;
    int row = kStationRows;
    if (first_ > 0)
        mvprintw(row++, 0, "  ^ %d more (Up, PgUp)", first_);
    for (int i = first_; i < std::min(total, first_ + room); ++i) {
        const TmcMessage *m = list[static_cast<std::size_t>(i)];
        std::string events;
        for (std::size_t i = 0; i < m->events.size(); ++i)
            events += (i ? "," : "") + std::to_string(m->events[i]);
        std::string text;
        if (auto it = eventTexts_.find(m->events[0]); it != eventTexts_.end())
            text = it->second;
        mvprintw(row++, 0, "%-22.22s %6u %3s %c%-3u %3u %3s %5u %5s %.*s", events.c_str(),
                 m->location, m->bothWays ? "<>" : (m->negative ? "-" : "+"),
                 m->negative ? '-' : '+', m->extent, m->duration, UrgencyName(m->urgency),
                 m->received, Age(std::max(0.0, now - m->lastSeen)).c_str(),
                 std::max(0, width - 60), text.c_str());
    }
    if (first_ + room < total)
        mvprintw(row, 0, "  v %d more (Down, PgDn)", total - first_ - room);
    mvprintw(LINES - 1, 0, "%zu messages, %zu heard once (%llu received, %llu repeats)   q quits",
             list.size(), decoder.messages().size() - list.size(),
             static_cast<unsigned long long>(counters.messages),
             static_cast<unsigned long long>(counters.repeats));
    refresh();
}

} // namespace tmcview
