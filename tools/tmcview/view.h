// view.h — tmcview's live terminal view (ncurses): the station at the top,
// the traffic messages on air below it, newest first, scrolled by keys when
// they do not fit. Fits 80x24.
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
    std::string tuned;     // frequency text of the last tuning report
    bool tunedOld = false; // another station came since, without a report
    std::uint64_t badLines = 0;
    bool ended = false;
    double rate = 0; // groups a second
};

// Groups a second over the last few seconds of the source's clock.
class RateMeter {
public:
    // The count of groups at time `t`; sampled once a second of `t`.
    void Note(double t, std::uint64_t groups);
    [[nodiscard]] double Rate() const;

private:
    static constexpr std::size_t kWindow = 6;
    std::array<std::uint64_t, kWindow> groupsAt_{};
    std::array<double, kWindow> timeAt_{};
    std::size_t samples_ = 0;
};

class View {
public:
    // Keys come from the terminal; when the data come from standard input
    // the terminal is opened as /dev/tty.
    bool Open(bool dataOnStdin);
    void Close();
    [[nodiscard]] int InputFd() const { return inputFd_; }
    // Reads the pending keys (scrolling the messages); true on 'q' or Esc.
    bool ReadKeys();
    void SetEventTexts(std::map<unsigned, std::string> texts) { eventTexts_ = std::move(texts); }
    void Draw(const Decoder &decoder, const SourceStats &stats, double now);

private:
    int first_ = 0; // the first message shown
    int page_ = 1;  // messages the last drawing had room for
    int inputFd_ = -1;
    void *screen_ = nullptr;
    std::FILE *tty_ = nullptr;
    std::map<unsigned, std::string> eventTexts_;
};

} // namespace tmcview

#endif // TAVRINEL_TMCVIEW_VIEW_H
