// scenario.cpp — scenario file parser. Every input is hostile: lines and the
// file are bounded, numbers range-checked, text restricted to printable
// ASCII, and nothing is kept unless the whole file parses.
#include "scenario.h"

#include <charconv>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

namespace fms {

namespace {

struct Token {
    std::string key;   // empty for a bare word
    std::string value; // the word, or the value after '='
};

struct ParseError {
    std::string message;
};

bool Printable(char c) {
    return c >= 0x20 && c <= 0x7E;
}

// Splits a line into words and key=value pairs; values may be quoted with
// "..." (escapes \" and \\). '#' outside quotes starts a comment.
bool Tokenize(std::string_view line, std::vector<Token> &tokens, std::string &message) {
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        if (c == '#')
            return true;
        Token token;
        std::string word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '=') {
            if (!Printable(line[i]) || line[i] == '"') {
                message = "unexpected character in word";
                return false;
            }
            word += line[i++];
        }
        if (i < line.size() && line[i] == '=') {
            ++i;
            token.key = word;
            if (token.key.empty()) {
                message = "'=' without a name";
                return false;
            }
            if (i < line.size() && line[i] == '"') {
                ++i;
                bool closed = false;
                while (i < line.size()) {
                    char q = line[i++];
                    if (q == '"') {
                        closed = true;
                        break;
                    }
                    if (q == '\\') {
                        if (i >= line.size() || (line[i] != '"' && line[i] != '\\')) {
                            message = "bad escape in quoted text";
                            return false;
                        }
                        q = line[i++];
                    }
                    if (!Printable(q)) {
                        message = "quoted text must be printable ASCII";
                        return false;
                    }
                    token.value += q;
                }
                if (!closed) {
                    message = "unterminated quoted text";
                    return false;
                }
                if (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                    message = "text after closing quote";
                    return false;
                }
            } else {
                while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                    if (!Printable(line[i]) || line[i] == '"' || line[i] == '=') {
                        message = "unexpected character in value of " + token.key;
                        return false;
                    }
                    token.value += line[i++];
                }
            }
        } else {
            token.value = word;
        }
        tokens.push_back(std::move(token));
    }
    return true;
}

std::uint64_t Unsigned(const std::string &text, std::uint64_t low, std::uint64_t high,
                       const char *what) {
    std::uint64_t v = 0;
    const char *end = text.data() + text.size();
    if (text.empty() || text.size() > 12 || text[0] == '+' || text[0] == '-')
        throw ParseError{std::string(what) + " must be a number from " + std::to_string(low) +
                         " to " + std::to_string(high)};
    auto [p, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || p != end || v < low || v > high)
        throw ParseError{std::string(what) + " must be a number from " + std::to_string(low) +
                         " to " + std::to_string(high)};
    return v;
}

long long Signed(const std::string &text, long long low, long long high, const char *what) {
    long long v = 0;
    const char *begin = text.data();
    const char *end = begin + text.size();
    if (!text.empty() && text[0] == '+')
        ++begin;
    auto [p, ec] = std::from_chars(begin, end, v);
    if (text.empty() || text.size() > 12 || ec != std::errc() || p != end || v < low || v > high)
        throw ParseError{std::string(what) + " must be a number from " + std::to_string(low) +
                         " to " + std::to_string(high)};
    return v;
}

double Real(const std::string &text, double low, double high, const char *what) {
    double v = 0;
    const char *end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, v);
    // The negated comparison also refuses NaN.
    if (text.empty() || text.size() > 24 || ec != std::errc() || p != end || !(v >= low) ||
        !(v <= high))
        throw ParseError{std::string(what) + " must be a number from " + std::to_string(low) +
                         " to " + std::to_string(high)};
    return v;
}

bool Switch(const std::string &text, const char *what) {
    if (text == "on" || text == "1" || text == "yes")
        return true;
    if (text == "off" || text == "0" || text == "no")
        return false;
    throw ParseError{std::string(what) + " must be on or off"};
}

std::uint16_t Pi(const std::string &text) {
    std::string hex = text;
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X'))
        hex = hex.substr(2);
    unsigned v = 0;
    auto [p, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), v, 16);
    if (hex.empty() || hex.size() > 4 || ec != std::errc() || p != hex.data() + hex.size() ||
        v == 0)
        throw ParseError{"pi must be 1 to 4 hex digits, not 0000"};
    return static_cast<std::uint16_t>(v);
}

std::uint32_t StationFrequency(const std::string &text, const char *what) {
    const auto f = static_cast<std::uint32_t>(Unsigned(text, 76000, 108000, what));
    if (f % kStepKHz != 0)
        throw ParseError{std::string(what) + " must be a multiple of 100 kHz"};
    return f;
}

// "YYYY-MM-DDTHH:MM"
rds::ClockTime Clock(const std::string &text) {
    rds::ClockTime t;
    if (text.size() != 16 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':')
        throw ParseError{"clock must be YYYY-MM-DDTHH:MM"};
    t.year = static_cast<int>(Unsigned(text.substr(0, 4), 1900, 2099, "clock year"));
    t.month = static_cast<int>(Unsigned(text.substr(5, 2), 1, 12, "clock month"));
    t.day = static_cast<int>(Unsigned(text.substr(8, 2), 1, 31, "clock day"));
    t.hour = static_cast<int>(Unsigned(text.substr(11, 2), 0, 23, "clock hour"));
    t.minute = static_cast<int>(Unsigned(text.substr(14, 2), 0, 59, "clock minute"));
    return t;
}

void Ascii(const std::string &text, std::size_t maximum, const char *what) {
    if (text.size() > maximum)
        throw ParseError{std::string(what) + " is longer than " + std::to_string(maximum) +
                         " characters"};
}

// The captures a scenario has read: one copy per file, however many
// stations name it, and a bound on them all.
struct CaptureCache {
    std::map<std::pair<dev_t, ino_t>, std::shared_ptr<const rds::Capture>> byFile;
    std::uint64_t bytes = 0;

    std::shared_ptr<const rds::Capture> get(const std::string &path) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0)
            throw ParseError{"capture: " + path + ": cannot open: " + std::strerror(errno)};
        const auto key = std::make_pair(st.st_dev, st.st_ino);
        if (auto it = byFile.find(key); it != byFile.end())
            return it->second;
        if (S_ISREG(st.st_mode) &&
            bytes + static_cast<std::uint64_t>(st.st_size) > kMaxCaptureTotalBytes)
            throw ParseError{"capture " + path + ": the scenario's captures would exceed " +
                             std::to_string(kMaxCaptureTotalBytes >> 20) +
                             " MiB together; let stations share a file"};
        auto capture = std::make_shared<rds::Capture>();
        std::string error;
        if (!rds::ReadCapture(path, *capture, error))
            throw ParseError{"capture: " + error};
        if (capture->groups.empty())
            throw ParseError{"capture " + path + " holds no groups"};
        bytes += static_cast<std::uint64_t>(st.st_size);
        byFile.emplace(key, capture);
        return capture;
    }
};

Station ParseStation(const std::vector<Token> &tokens, const std::string &baseDir,
                     CaptureCache &captures) {
    if (tokens.size() < 2 || !tokens[1].key.empty())
        throw ParseError{"station needs a frequency in kHz"};
    Station s;
    s.frequencyKHz = StationFrequency(tokens[1].value, "station frequency");
    std::set<std::string> seen;
    bool haveSignal = false;
    bool havePi = false;
    std::string rdsKind = "none";
    std::string file;
    for (std::size_t i = 2; i < tokens.size(); ++i) {
        const Token &t = tokens[i];
        if (t.key.empty())
            throw ParseError{"expected key=value, found '" + t.value.substr(0, 40) + "'"};
        if (!seen.insert(t.key).second)
            throw ParseError{"duplicate key " + t.key};
        rds::GeneratorConfig &g = s.generator;
        if (t.key == "signal") {
            s.signal = static_cast<unsigned>(Unsigned(t.value, 0, kMaxSignal, "signal"));
            haveSignal = true;
        } else if (t.key == "pi") {
            s.pi = Pi(t.value);
            havePi = true;
        } else if (t.key == "rds") {
            if (t.value != "none" && t.value != "generated" && t.value != "capture")
                throw ParseError{"rds must be none, generated or capture"};
            rdsKind = t.value;
        } else if (t.key == "ps") {
            Ascii(t.value, rds::kPsChars, "ps");
            g.ps = t.value;
        } else if (t.key == "rt") {
            Ascii(t.value, rds::kRadiotextChars, "rt");
            g.radiotext = t.value;
        } else if (t.key == "pty") {
            g.pty = static_cast<std::uint8_t>(Unsigned(t.value, 0, 31, "pty"));
        } else if (t.key == "tp") {
            g.tp = Switch(t.value, "tp");
        } else if (t.key == "tmc") {
            g.tmc = Switch(t.value, "tmc");
        } else if (t.key == "ltn") {
            g.ltn = static_cast<std::uint8_t>(Unsigned(t.value, 1, 63, "ltn"));
        } else if (t.key == "sid") {
            g.sid = static_cast<std::uint8_t>(Unsigned(t.value, 0, 63, "sid"));
        } else if (t.key == "messages") {
            g.tmcMessages =
                static_cast<unsigned>(Unsigned(t.value, 1, rds::kMaxTmcMessages, "messages"));
        } else if (t.key == "ct") {
            g.clock = Switch(t.value, "ct");
        } else if (t.key == "clock") {
            const int offset = g.start.offsetHalfHours;
            g.start = Clock(t.value);
            g.start.offsetHalfHours = offset;
            s.clockGiven = true;
        } else if (t.key == "offset") {
            g.start.offsetHalfHours = static_cast<int>(Signed(t.value, -24, 24, "offset"));
        } else if (t.key == "af") {
            std::size_t pos = 0;
            while (pos <= t.value.size()) {
                std::size_t comma = t.value.find(',', pos);
                if (comma == std::string::npos)
                    comma = t.value.size();
                if (s.afKHz.size() >= kMaxAfPerStation)
                    throw ParseError{"at most 25 alternative frequencies"};
                const std::uint32_t f =
                    StationFrequency(t.value.substr(pos, comma - pos), "alternative frequency");
                if (f < 87600 || f > 107900)
                    throw ParseError{"alternative frequency must lie in 87600..107900"};
                if (f == s.frequencyKHz)
                    throw ParseError{"alternative frequency equals the station's own"};
                s.afKHz.push_back(f);
                pos = comma + 1;
            }
        } else if (t.key == "afjump") {
            s.afJumpAfterMs =
                static_cast<std::uint32_t>(Unsigned(t.value, 1, 24u * 3600 * 1000, "afjump"));
        } else if (t.key == "file") {
            if (t.value.empty())
                throw ParseError{"file must name a capture"};
            file = t.value;
        } else {
            throw ParseError{"unknown station key " + t.key.substr(0, 40)};
        }
    }
    if (!haveSignal)
        throw ParseError{"station needs signal="};
    if (s.afJumpAfterMs != 0 && s.afKHz.empty())
        throw ParseError{"afjump needs af="};
    if (rdsKind == "generated") {
        if (!havePi)
            throw ParseError{"generated RDS needs pi="};
        s.rds = RdsKind::Generated;
        s.generator.pi = s.pi;
        s.generator.afKHz = s.afKHz;
    } else if (rdsKind == "capture") {
        if (file.empty())
            throw ParseError{"rds=capture needs file=\"PATH\""};
        s.rds = RdsKind::Capture;
        s.capturePath = (file[0] == '/' || baseDir.empty()) ? file : baseDir + "/" + file;
        s.capture = captures.get(s.capturePath);
        if (!havePi)
            s.pi = s.capture->groups[0].block[rds::kBlockA];
    } else {
        if (!file.empty())
            throw ParseError{"file= needs rds=capture"};
    }
    return s;
}

} // namespace

const Station *Scenario::find(std::uint32_t frequencyKHz) const {
    for (const Station &s : stations) {
        if (s.frequencyKHz == frequencyKHz)
            return &s;
    }
    return nullptr;
}

bool ParseScenario(std::string_view text, const std::string &name, const std::string &baseDir,
                   Scenario &scenario, std::string &error) {
    Scenario result;
    result.name = name;
    CaptureCache captures;
    std::set<std::string> directives;
    std::size_t lineNumber = 0;
    std::size_t bandLine = 0;
    std::size_t pos = 0;
    if (text.size() > kMaxScenarioBytes) {
        error = name + ": file too large";
        return false;
    }
    try {
        while (pos < text.size()) {
            ++lineNumber;
            std::size_t end = text.find('\n', pos);
            if (end == std::string_view::npos)
                end = text.size();
            std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            if (line.size() > kMaxScenarioLine)
                throw ParseError{"line too long"};
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (line.find('\0') != std::string_view::npos)
                throw ParseError{"NUL byte in line"};
            std::vector<Token> tokens;
            std::string message;
            if (!Tokenize(line, tokens, message))
                throw ParseError{message};
            if (tokens.empty())
                continue;
            const Token &head = tokens[0];
            if (!head.key.empty())
                throw ParseError{"a line starts with a directive, not " + head.key.substr(0, 40) +
                                 "="};
            const std::string &d = head.value;
            if (d != "station" && d != "errors" && !directives.insert(d).second)
                throw ParseError{"duplicate directive " + d.substr(0, 40)};
            auto one = [&](const char *what) -> const std::string & {
                if (tokens.size() != 2 || !tokens[1].key.empty())
                    throw ParseError{std::string(what) + " takes one value"};
                return tokens[1].value;
            };
            if (d == "station") {
                if (result.stations.size() >= kMaxStations)
                    throw ParseError{"too many stations"};
                Station s = ParseStation(tokens, baseDir, captures);
                if (result.find(s.frequencyKHz))
                    throw ParseError{"a station at " + std::to_string(s.frequencyKHz) +
                                     " kHz already exists"};
                result.stations.push_back(std::move(s));
            } else if (d == "seed") {
                result.seed =
                    static_cast<std::uint32_t>(Unsigned(one("seed"), 0, 0xFFFFFFFFu, "seed"));
            } else if (d == "latency") {
                result.latencyMs = static_cast<std::uint32_t>(
                    Unsigned(one("latency"), 0, kMaxLatencyMs, "latency"));
            } else if (d == "rate") {
                result.rate = Real(one("rate"), 0.01, kMaxRate, "rate");
            } else if (d == "band") {
                result.band = static_cast<unsigned>(Unsigned(one("band"), 0, 2, "band"));
                bandLine = lineNumber;
            } else if (d == "frequency") {
                result.frequencyKHz = StationFrequency(one("frequency"), "frequency");
            } else if (d == "search-level") {
                result.searchLevel = static_cast<unsigned>(
                    Unsigned(one("search-level"), 0, kMaxSignal, "search-level"));
            } else if (d == "noise") {
                result.noise =
                    static_cast<unsigned>(Unsigned(one("noise"), 0, kMaxSignal, "noise"));
            } else if (d == "seek-step") {
                result.seekStepMs =
                    static_cast<std::uint32_t>(Unsigned(one("seek-step"), 0, 10000, "seek-step"));
            } else if (d == "runs") {
                if (tokens.size() != 3 || !tokens[1].key.empty() || !tokens[2].key.empty())
                    throw ParseError{"runs takes MIN MAX"};
                result.runMin = static_cast<unsigned>(
                    Unsigned(tokens[1].value, 1, kMaxRunBytes, "runs minimum"));
                result.runMax = static_cast<unsigned>(
                    Unsigned(tokens[2].value, 1, kMaxRunBytes, "runs maximum"));
                if (result.runMax < result.runMin)
                    throw ParseError{"runs maximum is below the minimum"};
            } else if (d == "errors") {
                if (tokens.size() < 2)
                    throw ParseError{"errors needs block=, status=, lost= or extra="};
                for (std::size_t i = 1; i < tokens.size(); ++i) {
                    const Token &t = tokens[i];
                    if (t.key == "block")
                        result.errors.blockError = Real(t.value, 0, 1, "block");
                    else if (t.key == "status")
                        result.errors.damagedStatus = Real(t.value, 0, 1, "status");
                    else if (t.key == "lost")
                        result.errors.lostByte = Real(t.value, 0, 0.5, "lost");
                    else if (t.key == "extra")
                        result.errors.extraByte = Real(t.value, 0, 0.5, "extra");
                    else
                        throw ParseError{"unknown error kind '" +
                                         (t.key.empty() ? t.value : t.key).substr(0, 40) + "'"};
                }
            } else {
                throw ParseError{"unknown directive " + d.substr(0, 40)};
            }
        }
        const BandLimits limits = kBands[result.band];
        if (result.frequencyKHz < limits.lowKHz || result.frequencyKHz > limits.highKHz) {
            lineNumber = bandLine != 0 ? bandLine : lineNumber;
            throw ParseError{"frequency " + std::to_string(result.frequencyKHz) +
                             " lies outside band " + std::to_string(result.band)};
        }
    } catch (const ParseError &e) {
        error = name + ":" + std::to_string(lineNumber) + ": " + e.message;
        return false;
    }
    // Each generated station gets its own reproducible stream.
    for (Station &s : result.stations)
        s.generator.seed = result.seed ^ (s.frequencyKHz * 2654435761u);
    scenario = std::move(result);
    return true;
}

bool LoadScenarioFile(const std::string &path, Scenario &scenario, std::string &error) {
    std::string text;
    if (!rds::ReadRegularFile(path, kMaxScenarioBytes, text, error))
        return false;
    const std::size_t slash = path.rfind('/');
    const std::string baseDir = slash == std::string::npos ? "." : path.substr(0, slash);
    return ParseScenario(text, path, baseDir, scenario, error);
}

} // namespace fms
