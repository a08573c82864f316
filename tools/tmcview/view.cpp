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

bool View::QuitRequested() {
    for (int ch = getch(); ch != ERR; ch = getch())
        if (ch == 'q' || ch == 'Q' || ch == 27)
            return true;
    return false;
}

void View::Draw(const Decoder &decoder, const SourceStats &stats, double now) {
    const Station &st = decoder.station();
    const Counters &counters = decoder.counters();
    if (now - lastSample_ >= 1.0) {
        const std::size_t i = samples_ % kRateWindow;
        groupsAt_[i] = counters.groups;
        timeAt_[i] = now;
        ++samples_;
        lastSample_ = now;
    }
    double rate = 0;
    if (samples_ >= 2) {
        const std::size_t newest = (samples_ - 1) % kRateWindow;
        const std::size_t oldest = samples_ >= kRateWindow ? samples_ % kRateWindow : 0;
        const double span = timeAt_[newest] - timeAt_[oldest];
        if (span > 0)
            rate = static_cast<double>(groupsAt_[newest] - groupsAt_[oldest]) / span;
    }

    erase();
    const int width = COLS;
    attron(A_REVERSE);
    mvhline(0, 0, ' ', width);
    mvprintw(0, 0, " tmcview  %.40s%s%s%s", stats.name.c_str(), stats.tuned.empty() ? "" : "  ",
             stats.tuned.c_str(), stats.ended ? "  (end of input)" : "");
    attroff(A_REVERSE);
    char ps[32] = "--------";
    if (st.hasPs)
        (void)std::snprintf(ps, sizeof ps, "%s", st.ps.c_str());
    if (st.hasPi)
        mvprintw(1, 0, "PI %04X  PS \"%s\"  PTY %s  %s %s %s", st.pi, ps, PtyName(st.pty),
                 st.tp ? "TP" : "--", st.ta ? "TA" : "--", st.music ? "music" : "speech");
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
    mvprintw(4, 0, "%.1f groups/s  %llu groups  %.1f%% damaged  %llu bad  %s", rate,
             static_cast<unsigned long long>(counters.groups), damagedShare,
             static_cast<unsigned long long>(stats.badLines), st.clock.c_str());

    attron(A_BOLD);
    mvprintw(kStationRows - 1, 0, "%-22s %6s %3s %4s %3s %3s %5s %5s", "events", "loc", "dir",
             "ext", "dur", "urg", "times", "last");
    attroff(A_BOLD);
    const std::vector<const TmcMessage *> list = decoder.Confirmed();
    int row = kStationRows;
    for (const TmcMessage *m : list) {
        if (row >= LINES - 1)
            break;
        std::string events;
        for (std::size_t i = 0; i < m->events.size(); ++i)
            events += (i ? "," : "") + std::to_string(m->events[i]);
        std::string text;
        if (auto it = eventTexts_.find(m->events[0]); it != eventTexts_.end())
            text = it->second;
        mvprintw(row++, 0, "%-22.22s %6u %3s %c%-3u %3u %3s %5u %5s %.*s", events.c_str(),
                 m->location, m->bothWays ? "<>" : (m->negative ? "-" : "+"),
                 m->negative ? '-' : '+', m->extent, m->duration, UrgencyName(m->urgency),
                 m->received, Age(now - m->lastSeen).c_str(), std::max(0, width - 60),
                 text.c_str());
    }
    mvprintw(LINES - 1, 0, "%zu messages, %zu heard once (%llu received, %llu repeats)   q quits",
             list.size(), decoder.messages().size() - list.size(),
             static_cast<unsigned long long>(counters.messages),
             static_cast<unsigned long long>(counters.repeats));
    refresh();
}

} // namespace tmcview
