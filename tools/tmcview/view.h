// view.h — tmcview's live terminal view (ncurses): the station at the top,
// the traffic messages on air below it, newest first. Fits 80x24.
#ifndef TAVRINEL_TMCVIEW_VIEW_H
#define TAVRINEL_TMCVIEW_VIEW_H

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "decoder.h"

namespace tmcview {

struct SourceStats {
    std::string name;
    std::string tuned; // frequency text of the last tuning report
    std::uint64_t badLines = 0;
    bool ended = false;
};

class View {
public:
    // Keys come from the terminal; when the data come from standard input
    // the terminal is opened as /dev/tty.
    bool Open(bool dataOnStdin);
    void Close();
    [[nodiscard]] int InputFd() const { return inputFd_; }
    // Reads the pending keys; true on 'q' or Esc.
    bool QuitRequested();
    void SetEventTexts(std::map<unsigned, std::string> texts) { eventTexts_ = std::move(texts); }
    void Draw(const Decoder &decoder, const SourceStats &stats, double now);

private:
    // Groups counted once a second over the last few seconds, for the rate.
    static constexpr std::size_t kRateWindow = 6;
    std::array<std::uint64_t, kRateWindow> groupsAt_{};
    std::array<double, kRateWindow> timeAt_{};
    std::size_t samples_ = 0;
    double lastSample_ = 0;
    int inputFd_ = -1;
    void *screen_ = nullptr;
    std::FILE *tty_ = nullptr;
    std::map<unsigned, std::string> eventTexts_;
};

} // namespace tmcview

#endif // TAVRINEL_TMCVIEW_VIEW_H
