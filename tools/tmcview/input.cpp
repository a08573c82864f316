// input.cpp — receiver sentence and capture line parsing.
#include "input.h"

#include <array>
#include <charconv>

#include "capture.h"
#include "common/sentence.h"

namespace tmcview {

namespace {

// 1 to 4 hex digits, nothing else.
bool ParseHex16(std::string_view text, std::uint16_t &value) {
    if (text.empty() || text.size() > 4)
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc() && end == text.data() + text.size();
}

// The group type as the driver writes it: decimal, 0 to 15, no leading zero.
bool ParseGroupType(std::string_view text, unsigned &value) {
    if (text.empty() || text.size() > 2 || (text.size() == 2 && text[0] == '0'))
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    return error == std::errc() && end == text.data() + text.size() && value <= 15;
}

Line ParseSentence(std::string_view text) {
    Line line;
    if (!SentenceChecksumValid(text.data(), text.size())) {
        line.kind = LineKind::Bad;
        return line;
    }
    std::string_view body = text.substr(1, text.find('*') - 1);
    std::array<std::string_view, 6> fields{};
    std::size_t n = 0;
    while (n < fields.size()) {
        const std::size_t comma = body.find(',');
        fields[n++] = body.substr(0, comma);
        if (comma == std::string_view::npos)
            break;
        body.remove_prefix(comma + 1);
    }
    if (fields[0] == "RTRDS") {
        line.kind = n >= 2 ? LineKind::Tune : LineKind::Bad;
        if (n >= 2)
            line.tuned = std::string(fields[1].substr(0, 8));
        return line;
    }
    if (fields[0] != "RTTMC") {
        line.kind = LineKind::Ignored;
        return line;
    }
    unsigned type = 0;
    bool ok = n == 6 && ParseGroupType(fields[1], type);
    for (std::size_t i = 0; ok && i < rds::kBlocksPerGroup; ++i)
        ok = ParseHex16(fields[2 + i], line.group.block[i]);
    // The type field repeats block B's type code: a mismatch is a damaged line.
    line.kind = ok && type == line.group.typeCode() ? LineKind::Group : LineKind::Bad;
    return line;
}

} // namespace

Line ParseLine(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    if (!text.empty() && text.front() == '$')
        return ParseSentence(text);
    Line line;
    std::string why;
    switch (rds::ParseGroupLine(text, line.group, why)) {
    case rds::LineKind::Group:
        line.kind = LineKind::Group;
        break;
    case rds::LineKind::Header:
        line.kind = LineKind::Ignored;
        break;
    case rds::LineKind::Bad:
        line.kind = LineKind::Bad;
        break;
    }
    return line;
}

void LineSplitter::Feed(const char *data, std::size_t size,
                        const std::function<void(const Line &)> &onLine) {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n' || c == '\r') {
            if (overlong_) {
                Line bad;
                bad.kind = LineKind::Bad;
                onLine(bad);
            } else if (!line_.empty()) {
                onLine(ParseLine(line_));
            }
            line_.clear();
            overlong_ = false;
            continue;
        }
        if (overlong_)
            continue;
        if (line_.size() >= kMaxLine) {
            overlong_ = true;
            line_.clear();
            continue;
        }
        line_ += c;
    }
}

void LineSplitter::Finish(const std::function<void(const Line &)> &onLine) {
    static constexpr char kEnd = '\n';
    if (!line_.empty() || overlong_)
        Feed(&kEnd, 1, onLine);
}

} // namespace tmcview
