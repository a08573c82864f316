// input.h — the lines tmcview reads: receiver sentences from a port or a
// pipe ("$RTTMC,8,D395,8115,544D,4320*hh": group type in decimal, blocks in
// hex without leading zeros, "$RTRDS, 87.5,10,...*hh"; checksum as the
// driver writes it, common/sentence.h) and capture lines ("D395 8115 544D
// 4320 @date time", by the rules of rds/capture.h).
#ifndef TAVRINEL_TMCVIEW_INPUT_H
#define TAVRINEL_TMCVIEW_INPUT_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "rdsgroup.h"

namespace tmcview {

inline constexpr std::size_t kMaxLine = 256; // longer lines are refused whole

enum class LineKind {
    Group,   // a group: `group` is set
    Tune,    // a tuning report: `tuned` holds the frequency text
    Ignored, // headers, empty lines, other sentences with a good checksum
    Bad,     // a sentence with a wrong checksum, or a line of no known shape
};

struct Line {
    LineKind kind = LineKind::Ignored;
    rds::Group group;
    std::string tuned;
};

Line ParseLine(std::string_view text);

// Cuts a byte stream into lines (LF, CR or both end one); a line longer than
// kMaxLine is handed on as Bad without its text.
class LineSplitter {
public:
    void Feed(const char *data, std::size_t size, const std::function<void(const Line &)> &onLine);
    // The last line when the stream ends without a line end.
    void Finish(const std::function<void(const Line &)> &onLine);

private:
    std::string line_;
    bool overlong_ = false;
};

} // namespace tmcview

#endif // TAVRINEL_TMCVIEW_INPUT_H
