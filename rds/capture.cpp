// capture.cpp — recorded RDS log reader.
#include "capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rds {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// One block: four hex digits or "----". Answers false when malformed.
bool ParseBlock(std::string_view text, std::uint16_t &value, bool &missing) {
    if (text.size() != 4)
        return false;
    if (text == "----") {
        value = 0;
        missing = true;
        return true;
    }
    unsigned v = 0;
    for (char c : text) {
        const int d = HexDigit(c);
        if (d < 0)
            return false;
        v = (v << 4) | static_cast<unsigned>(d);
    }
    value = static_cast<std::uint16_t>(v);
    missing = false;
    return true;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

std::size_t SkipBlanks(std::string_view text, std::size_t at) {
    while (at < text.size() && IsSpace(text[at]))
        ++at;
    return at;
}

// Without the line end and the blanks at either end.
std::string_view Trim(std::string_view line) {
    while (!line.empty() && (IsSpace(line.back()) || line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    return line.substr(SkipBlanks(line, 0));
}

std::string Where(const std::string &name, std::size_t line) {
    return name + ":" + std::to_string(line) + ": ";
}

// "% Freq 88500, date=..." -> 88500 (only a plausible FM frequency counts).
void ReadFrequencyHeader(std::string_view line, Capture &capture) {
    constexpr std::string_view kFreq = "% Freq ";
    line = Trim(line);
    if (capture.frequencyKHz != 0 || line.substr(0, kFreq.size()) != kFreq)
        return;
    std::uint32_t f = 0;
    for (std::size_t i = kFreq.size(); i < line.size() && i < kFreq.size() + 7; ++i) {
        if (line[i] < '0' || line[i] > '9')
            break;
        f = f * 10 + static_cast<std::uint32_t>(line[i] - '0');
    }
    if (f >= 64000 && f <= 108000)
        capture.frequencyKHz = f;
}

} // namespace

LineKind ParseGroupLine(std::string_view line, Group &out, std::string &why) {
    line = Trim(line);
    if (line.empty() || line.front() == '<' || line.front() == '%')
        return LineKind::Header;
    if (line.find('\0') != std::string_view::npos) {
        why = "NUL byte in line";
        return LineKind::Bad;
    }
    Group group;
    std::size_t at = 0;
    for (std::size_t b = 0; b < kBlocksPerGroup; ++b) {
        at = SkipBlanks(line, at);
        if (at >= line.size()) {
            why = "expected four blocks (PI B C D)";
            return LineKind::Bad;
        }
        std::size_t end = at;
        while (end < line.size() && !IsSpace(line[end]))
            ++end;
        bool missing = false;
        if (!ParseBlock(line.substr(at, end - at), group.block[b], missing)) {
            why = "block " + std::string(1, "ABCD"[b]) + " is not four hex digits or ----";
            return LineKind::Bad;
        }
        if (missing)
            group.missing |= static_cast<std::uint8_t>(1u << b);
        at = end;
    }
    if (at < line.size()) {
        // Trimmed, so blanks and more text follow block D.
        const std::string_view rest = line.substr(SkipBlanks(line, at));
        if (rest.front() != '@') {
            why = "unexpected text after block D";
            return LineKind::Bad;
        }
        for (const char c : rest.substr(1)) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '@' || (u < 0x20 && c != '\t') || u == 0x7F) {
                why = "malformed timestamp";
                return LineKind::Bad;
            }
        }
    }
    out = group;
    return LineKind::Group;
}

bool ParseCapture(std::string_view text, const std::string &name, Capture &capture,
                  std::string &error) {
    Capture result;
    std::size_t lineNumber = 0;
    std::size_t pos = 0;
    if (text.size() > kMaxCaptureBytes) {
        error = name + ": file too large";
        return false;
    }
    while (pos < text.size()) {
        ++lineNumber;
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() > kMaxCaptureLine) {
            error = Where(name, lineNumber) + "line too long";
            return false;
        }
        Group group;
        std::string why;
        switch (ParseGroupLine(line, group, why)) {
        case LineKind::Group:
            result.groups.push_back(group);
            break;
        case LineKind::Header:
            ReadFrequencyHeader(line, result);
            break;
        case LineKind::Bad:
            error = Where(name, lineNumber) + why;
            return false;
        }
    }
    capture = std::move(result);
    return true;
}

#ifdef _WIN32
constexpr int kReadFlags = O_RDONLY | O_BINARY; // no FIFOs or terminals to meet here
#else
// Without blocking: a FIFO or a device named here must not hang the caller.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
#endif

bool ReadRegularFile(const std::string &path, std::size_t limit, std::string &text,
                     std::string &error) {
    const int fd = open(path.c_str(), kReadFlags);
    if (fd < 0) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (!ok) {
        error = path + ": cannot read: " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        ok = false;
    } else if (static_cast<std::uint64_t>(st.st_size) > limit) {
        error = path + ": file too large";
        ok = false;
    }
    if (ok) {
        text.resize(static_cast<std::size_t>(st.st_size));
        std::size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        text.resize(got); // a file that shrank meanwhile is read as it is now
    }
    close(fd);
    return ok;
}

bool ReadCapture(const std::string &path, Capture &capture, std::string &error) {
    std::string text;
    if (!ReadRegularFile(path, kMaxCaptureBytes, text, error))
        return false;
    return ParseCapture(text, path, capture, error);
}

void AppendRawGroup(const Group &group, std::vector<std::uint8_t> &out) {
    for (std::size_t b = 0; b < kBlocksPerGroup; ++b) {
        std::uint8_t raw[kFmsRdsBlockBytes] = {};
        if (group.blockMissing(b)) {
            raw[kFmsRdsStatus] =
                static_cast<std::uint8_t>(kFmsRdsBlockStatus[b] | kFmsRdsNotDecodedBit);
        } else {
            raw[kFmsRdsDataHigh] = static_cast<std::uint8_t>(group.block[b] >> 8);
            raw[kFmsRdsDataLow] = static_cast<std::uint8_t>(group.block[b] & 0xFF);
            raw[kFmsRdsStatus] = kFmsRdsBlockStatus[b];
        }
        out.insert(out.end(), raw, raw + kFmsRdsBlockBytes);
    }
}

} // namespace rds
