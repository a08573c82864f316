// registry_file.cpp — the registry's text file: parsing (hostile input),
// formatting and the atomic save.
//
// The format, UTF-8, one item per line, in the spirit of REGEDIT4:
//
//   TAVRINEL REGISTRY 1                  header, exactly this line
//   ; comment                            comment and blank lines are skipped
//   [HKEY_LOCAL_MACHINE\Drivers\Tavrinel] a key (created with its parents)
//   "Dll"="\\Windows\\Tavrinel.dll"      REG_SZ, stored with its terminator
//   "Path"=str(2):"%windir%"             REG_EXPAND_SZ, likewise
//   "Index"=dword:00000009               REG_DWORD
//   "Blob"=hex:01,02,ff                  REG_BINARY
//   "List"=hex(7):61,00,00,00,00,00      any other type, or a string whose
//                                        bytes the quoted form cannot carry
//   @="text"                             the key's default value
//
// Escapes in quoted text: \\ \" \n \r \t, \xHH for other control characters
// and \uHHHH for an unpaired surrogate. Lines may end in CRLF. Every line,
// the last one included, ends with a newline: a file cut short is refused.
// Keys and values appear in creation order; volatile keys are not written.
// "Drivers\Active" under HKEY_LOCAL_MACHINE is skipped when loading: it
// lists the devices of a boot that is over.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "registry_tree.h"
#include "text.h"

namespace platform::reg {

namespace {

constexpr std::string_view kMachine = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kUser = "HKEY_CURRENT_USER";
constexpr std::string_view kClasses = "HKEY_CLASSES_ROOT";

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned>(c - 'a' + 10);
    return static_cast<unsigned>(c - 'A' + 10);
}

void AppendHex(std::string &out, unsigned long value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*lx", digits, value);
    out += buffer;
}

// ---------------------------------------------------------------- formatting

void AppendQuoted(std::string &out, std::u16string_view text) {
    out.push_back('"');
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\\') {
            out += "\\\\";
        } else if (c == u'"') {
            out += "\\\"";
        } else if (c == u'\n') {
            out += "\\n";
        } else if (c == u'\r') {
            out += "\\r";
        } else if (c == u'\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            AppendHex(out, c, 2);
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                   text[i + 1] <= 0xDFFF) {
            text::AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                                      (text[i + 1] - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            out += "\\u";
            AppendHex(out, c, 4);
        } else {
            text::AppendUtf8(out, c);
        }
    }
    out.push_back('"');
}

// The text of a string value when the quoted form gives back exactly its
// bytes: whole characters, one terminating NUL at the end and none before.
bool AsPlainString(const std::vector<BYTE> &data, std::u16string &text) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    const size_t chars = data.size() / 2 - 1;
    text.clear();
    for (size_t i = 0; i <= chars; ++i) {
        const auto c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if ((c == 0) != (i == chars))
            return false;
        if (i < chars)
            text.push_back(c);
    }
    return true;
}

void AppendHexList(std::string &out, const std::vector<BYTE> &data) {
    for (size_t i = 0; i < data.size(); ++i) {
        if (i)
            out.push_back(',');
        AppendHex(out, data[i], 2);
    }
}

void AppendValue(std::string &out, const Value &value) {
    if (value.name.empty())
        out.push_back('@');
    else
        AppendQuoted(out, value.name);
    out.push_back('=');
    std::u16string text;
    if (value.type == REG_DWORD && value.data.size() == 4) {
        const unsigned long v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                (static_cast<unsigned long>(value.data[3]) << 24);
        out += "dword:";
        AppendHex(out, v, 8);
    } else if (value.type == REG_SZ && AsPlainString(value.data, text)) {
        AppendQuoted(out, text);
    } else if (value.type == REG_EXPAND_SZ && AsPlainString(value.data, text)) {
        out += "str(2):";
        AppendQuoted(out, text);
    } else if (value.type == REG_BINARY) {
        out += "hex:";
        AppendHexList(out, value.data);
    } else {
        out += "hex(";
        AppendHex(out, value.type, 1);
        out += "):";
        AppendHexList(out, value.data);
    }
    out.push_back('\n');
}

// Mirrors AppendKey without building the text.
void MeasureKey(SavedSize &size, size_t pathBytes, const Key &key, std::string &scratch) {
    if (key.isVolatile)
        return;
    if (key.depth > 0 || !key.values.empty()) {
        size.bytes += pathBytes + 4; // "\n[" path "]\n"
        size.keys += key.depth > 0 ? 1 : 0;
        for (const auto &value : key.values) {
            scratch.clear();
            AppendValue(scratch, *value);
            size.bytes += scratch.size();
            ++size.values;
        }
    }
    for (const auto &sub : key.subkeys)
        MeasureKey(size, pathBytes + 1 + text::Utf16ToUtf8(sub->name).size(), *sub, scratch);
}

void AppendKey(std::string &out, const std::string &path, const Key &key) {
    if (key.isVolatile)
        return;
    if (key.depth > 0 || !key.values.empty()) {
        out += "\n[" + path + "]\n";
        for (const auto &value : key.values)
            AppendValue(out, *value);
    }
    for (const auto &sub : key.subkeys)
        AppendKey(out, path + "\\" + text::Utf16ToUtf8(sub->name), *sub);
}

// ---------------------------------------------------------------- parsing

class Parser {
public:
    Parser(const std::string &fileName, Hives &hives) : fileName_(fileName), hives_(hives) {}

    bool Parse(std::string_view text, std::string &error);

private:
    bool Fail(const std::string &message) {
        error_ = fileName_ + ":" + std::to_string(line_) + ": " + message;
        return false;
    }
    bool ParseLine(std::string_view line);
    bool ParseKeyLine(std::string_view line);
    bool ParseValueLine(std::string_view line);
    bool ParseQuoted(std::string_view line, size_t &pos, std::u16string &out);
    bool ParseHexList(std::string_view line, size_t &pos, std::vector<BYTE> &out);
    bool ParseHexNumber(std::string_view line, size_t &pos, DWORD &out, const char *what);

    const std::string &fileName_;
    Hives &hives_;
    std::string error_;
    unsigned long line_ = 0;
    bool inKey_ = false;     // a key line has been seen
    Key *current_ = nullptr; // null after a key line whose values are skipped
    size_t keys_ = 0;
    size_t values_ = 0;
};

void SkipBlanks(std::string_view line, size_t &pos) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
}

bool Parser::Parse(std::string_view text, std::string &error) {
    // The byte-order mark many Windows editors write.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    size_t pos = text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
    while (pos < text.size()) {
        ++line_;
        const size_t newline = text.find('\n', pos);
        const size_t end = newline == std::string_view::npos ? text.size() : newline;
        std::string_view line = text.substr(pos, end - pos);
        if (line.size() > kMaxLineBytes) {
            Fail("line longer than " + std::to_string(kMaxLineBytes) + " bytes");
            break;
        }
        if (line.find('\0') != std::string_view::npos) {
            Fail("NUL byte in line");
            break;
        }
        if (newline == std::string_view::npos) {
            Fail("file ends inside a line (truncated?)");
            break;
        }
        pos = newline + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!ParseLine(line))
            break;
    }
    if (error_.empty() && line_ == 0) {
        line_ = 1;
        Fail("empty file (no header)");
    }
    if (error_.empty()) {
        // Keys given by their paths can be far larger saved, where every key
        // gets a line of its own: what cannot be saved is not taken.
        const std::string problem = SavedSizeProblem(MeasureSaved(hives_));
        if (!problem.empty())
            error_ = fileName_ + ": " + problem;
    }
    if (!error_.empty()) {
        error = error_;
        return false;
    }
    return true;
}

bool Parser::ParseLine(std::string_view line) {
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F)
            return Fail("control character in line");
    }
    if (text::Utf16ToUtf8(text::Utf8ToUtf16(line)) != line)
        return Fail("invalid UTF-8");
    if (line_ == 1) {
        if (line == kFileHeader)
            return true;
        constexpr std::string_view prefix = "TAVRINEL REGISTRY ";
        if (line.substr(0, prefix.size()) == prefix)
            return Fail("unsupported registry file version '" +
                        std::string(line.substr(prefix.size())) + "'");
        return Fail("not a registry file (the first line must be '" + std::string(kFileHeader) +
                    "')");
    }
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    size_t start = 0;
    SkipBlanks(line, start);
    line.remove_prefix(start);
    if (line.empty() || line.front() == ';')
        return true;
    if (line.front() == '[')
        return ParseKeyLine(line);
    if (line.front() == '"' || line.front() == '@')
        return ParseValueLine(line);
    return Fail("unrecognised line");
}

bool Parser::ParseKeyLine(std::string_view line) {
    if (line.back() != ']' || line.size() < 2)
        return Fail("key line without closing ']'");
    const std::string_view path = line.substr(1, line.size() - 2);
    const size_t split = path.find('\\');
    const std::string_view rootName = path.substr(0, split);
    Key *key = nullptr;
    if (rootName == kMachine)
        key = hives_.machine.get();
    else if (rootName == kUser)
        key = hives_.user.get();
    else if (rootName == kClasses)
        key = hives_.classes.get();
    else
        return Fail("unknown root key '" + std::string(rootName) + "'");
    inKey_ = true;
    current_ = key;
    if (split == std::string_view::npos)
        return true;
    const std::u16string rest = text::Utf8ToUtf16(path.substr(split + 1));
    const std::u16string_view names(rest);
    size_t begin = 0;
    while (true) {
        const size_t end = names.find(u'\\', begin);
        const auto name = names.substr(begin, end == std::u16string_view::npos ? end : end - begin);
        if (name.empty())
            return Fail("empty key name in path");
        if (!IsValidKeyName(name))
            return Fail("invalid key name (longer than 255 characters?)");
        if (!current_)
            break; // skipped subtree
        if (IsActiveDevicesKey(hives_, *current_, name)) {
            current_ = nullptr;
            break;
        }
        Key *sub = current_->FindSubkey(name);
        if (!sub) {
            if (!FitsBelow(*current_, name))
                return Fail("key path too long or too deep");
            if (++keys_ > kMaxFileKeys)
                return Fail("more than " + std::to_string(kMaxFileKeys) + " keys");
            sub = current_->AddSubkey(name, false);
        }
        current_ = sub;
        if (end == std::u16string_view::npos)
            break;
        begin = end + 1;
    }
    return true;
}

bool Parser::ParseQuoted(std::string_view line, size_t &pos, std::u16string &out) {
    // line[pos] is the opening quote.
    ++pos;
    out.clear();
    size_t run = pos;
    while (pos < line.size()) {
        const char c = line[pos];
        if (c == '"' || c == '\\') {
            out += text::Utf8ToUtf16(line.substr(run, pos - run));
        }
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c != '\\') {
            ++pos;
            continue;
        }
        if (pos + 1 >= line.size())
            return Fail("unterminated string");
        const char e = line[pos + 1];
        pos += 2;
        switch (e) {
        case '\\':
            out.push_back(u'\\');
            break;
        case '"':
            out.push_back(u'"');
            break;
        case 'n':
            out.push_back(u'\n');
            break;
        case 'r':
            out.push_back(u'\r');
            break;
        case 't':
            out.push_back(u'\t');
            break;
        case 'x':
        case 'u': {
            const size_t digits = e == 'x' ? 2 : 4;
            char16_t unit = 0;
            for (size_t k = 0; k < digits; ++k) {
                if (pos + k >= line.size() || !IsHexDigit(line[pos + k]))
                    return Fail(std::string("bad escape '\\") + e + "': needs " +
                                std::to_string(digits) + " hex digits");
                unit = static_cast<char16_t>(unit * 16 + HexValue(line[pos + k]));
            }
            if (unit == 0)
                return Fail("NUL character escape in a string");
            pos += digits;
            out.push_back(unit);
            break;
        }
        default:
            return Fail(std::string("bad escape '\\") + e + "'");
        }
        run = pos;
    }
    return Fail("unterminated string");
}

bool Parser::ParseHexNumber(std::string_view line, size_t &pos, DWORD &out, const char *what) {
    unsigned long long value = 0;
    const size_t start = pos;
    while (pos < line.size() && IsHexDigit(line[pos])) {
        value = value * 16 + HexValue(line[pos]);
        if (value > 0xFFFFFFFFull)
            return Fail(std::string(what) + " out of range");
        ++pos;
    }
    if (pos == start)
        return Fail(std::string("bad ") + what + ": hex digits expected");
    out = static_cast<DWORD>(value);
    return true;
}

bool Parser::ParseHexList(std::string_view line, size_t &pos, std::vector<BYTE> &out) {
    out.clear();
    if (pos >= line.size())
        return true; // no bytes
    while (true) {
        size_t digits = 0;
        while (pos + digits < line.size() && IsHexDigit(line[pos + digits]))
            ++digits;
        if (digits == 0)
            return Fail("bad hex data: hex byte expected");
        if (digits != 2)
            return Fail("bad hex data: bytes are two hex digits");
        if (out.size() >= kMaxValueBytes)
            return Fail("value data larger than " + std::to_string(kMaxValueBytes) + " bytes");
        out.push_back(static_cast<BYTE>(HexValue(line[pos]) * 16 + HexValue(line[pos + 1])));
        pos += 2;
        if (pos >= line.size())
            return true;
        if (line[pos] != ',')
            return Fail("bad hex data: ',' expected");
        ++pos;
    }
}

bool Parser::ParseValueLine(std::string_view line) {
    size_t pos = 0;
    std::u16string name;
    if (line[0] == '@') {
        pos = 1;
    } else if (!ParseQuoted(line, pos, name)) {
        return false;
    }
    if (!IsValidValueName(name))
        return Fail("value name longer than 255 characters");
    SkipBlanks(line, pos);
    if (pos >= line.size() || line[pos] != '=')
        return Fail("'=' expected after the value name");
    ++pos;
    SkipBlanks(line, pos);
    const std::string_view rest = line.substr(pos);
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    std::u16string text;
    auto stringBytes = [&] {
        for (char16_t c : text) {
            data.push_back(static_cast<BYTE>(c));
            data.push_back(static_cast<BYTE>(c >> 8));
        }
        data.push_back(0);
        data.push_back(0);
    };
    if (rest.starts_with("\"")) {
        type = REG_SZ;
        if (!ParseQuoted(line, pos, text))
            return false;
        stringBytes();
    } else if (rest.starts_with("str(2):\"")) {
        type = REG_EXPAND_SZ;
        pos += 7;
        if (!ParseQuoted(line, pos, text))
            return false;
        stringBytes();
    } else if (rest.starts_with("dword:")) {
        type = REG_DWORD;
        pos += 6;
        DWORD v = 0;
        if (!ParseHexNumber(line, pos, v, "dword"))
            return false;
        data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                static_cast<BYTE>(v >> 24)};
    } else if (rest.starts_with("hex:")) {
        type = REG_BINARY;
        pos += 4;
        if (!ParseHexList(line, pos, data))
            return false;
    } else if (rest.starts_with("hex(")) {
        pos += 4;
        if (!ParseHexNumber(line, pos, type, "value type"))
            return false;
        if (line.substr(pos, 2) != "):")
            return Fail("'):' expected after the value type");
        pos += 2;
        if (!ParseHexList(line, pos, data))
            return false;
    } else {
        return Fail("unknown value data (expected \"text\", str(2):, dword:, hex: or hex(N):)");
    }
    if (pos != line.size())
        return Fail("unexpected text after the value");
    if (data.size() > kMaxValueBytes)
        return Fail("value data larger than " + std::to_string(kMaxValueBytes) + " bytes");
    if (type == REG_DWORD && data.size() != 4)
        return Fail("REG_DWORD data must be 4 bytes");
    if (!inKey_)
        return Fail("value before any key line");
    if (!current_)
        return true; // in a skipped subtree
    if (current_->FindValue(name))
        return Fail("value defined twice in this key");
    if (++values_ > kMaxFileValues)
        return Fail("more than " + std::to_string(kMaxFileValues) + " values");
    current_->SetValue(name, type, std::move(data));
    return true;
}

std::string ErrnoText(const std::string &path, const char *what) {
    return path + ": " + what + ": " + std::strerror(errno);
}

bool WriteAll(int fd, std::string_view content) {
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

constexpr std::string_view kFileComment =
    "\n; The registry of the emulated phone, written by the phone at every change.\n";

SavedSize MeasureSaved(const Hives &hives) {
    SavedSize size;
    size.bytes = kFileHeader.size() + kFileComment.size();
    std::string scratch;
    MeasureKey(size, kMachine.size(), *hives.machine, scratch);
    MeasureKey(size, kUser.size(), *hives.user, scratch);
    MeasureKey(size, kClasses.size(), *hives.classes, scratch);
    return size;
}

std::string SavedSizeProblem(const SavedSize &size) {
    if (size.bytes > kMaxFileBytes)
        return "saved, the registry would be " + std::to_string(size.bytes) + " bytes, more than " +
               std::to_string(kMaxFileBytes);
    if (size.keys > kMaxFileKeys)
        return "more than " + std::to_string(kMaxFileKeys) + " keys";
    if (size.values > kMaxFileValues)
        return "more than " + std::to_string(kMaxFileValues) + " values";
    return {};
}

std::string FormatRegistryText(const Hives &hives) {
    std::string out(kFileHeader);
    out += kFileComment;
    AppendKey(out, std::string(kMachine), *hives.machine);
    AppendKey(out, std::string(kUser), *hives.user);
    AppendKey(out, std::string(kClasses), *hives.classes);
    return out;
}

bool ParseRegistryText(std::string_view text, const std::string &fileName, Hives &out,
                       std::string &error) {
    out = Hives::Empty();
    Parser parser(fileName, out);
    return parser.Parse(text, error);
}

bool ReadRegistryFile(const std::string &path, Hives &out, std::string &error) {
    return ReadRegistryFileAt(AT_FDCWD, path, path, out, error);
}

bool ReadRegistryFileAt(int dirFd, const std::string &name, const std::string &path, Hives &out,
                        std::string &error) {
    // Never through a planted link, and a pipe must not block the boot.
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        error =
            errno == ELOOP ? path + ": a symbolic link; not read" : ErrnoText(path, "cannot open");
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = path + ": not a regular file";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        ::close(fd);
        error = path + ": belongs to another user; not read";
        return false;
    }
    std::string text;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = ErrnoText(path, "cannot read");
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        if (text.size() + static_cast<size_t>(n) > kMaxFileBytes) {
            ::close(fd);
            error = path + ": file larger than " + std::to_string(kMaxFileBytes) + " bytes";
            return false;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ParseRegistryText(text, path, out, error);
}

bool WriteFileAtomically(const std::string &path, std::string_view content, std::string &error) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        error = ErrnoText(path + ".tmp", "cannot create");
        return false;
    }
    const bool ok = WriteFileAtomicallyAt(
        dirFd, slash == std::string::npos ? path : path.substr(slash + 1), path, content, error);
    ::close(dirFd);
    return ok;
}

bool WriteFileAtomicallyAt(int dirFd, const std::string &name, const std::string &path,
                           std::string_view content, std::string &error) {
    const std::string tempName = name + ".tmp";
    const std::string temp = path + ".tmp";
    ::unlinkat(dirFd, tempName.c_str(), 0); // left over from a crash
    const int fd = ::openat(dirFd, tempName.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = ErrnoText(temp, "cannot create");
        return false;
    }
    // The umask may take bits away but never adds any; make it exactly 0600.
    bool ok = ::fchmod(fd, 0600) == 0;
    if (!ok)
        error = ErrnoText(temp, "cannot set mode");
    if (ok && !(ok = WriteAll(fd, content)))
        error = ErrnoText(temp, "cannot write");
    if (ok && !(ok = ::fsync(fd) == 0))
        error = ErrnoText(temp, "cannot sync");
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = ErrnoText(temp, "cannot close");
    }
    if (ok && !(ok = ::renameat(dirFd, tempName.c_str(), dirFd, name.c_str()) == 0))
        error = ErrnoText(path, "cannot replace");
    if (!ok) {
        ::unlinkat(dirFd, tempName.c_str(), 0);
        return false;
    }
    // Make the rename itself durable.
    if (dirFd != AT_FDCWD)
        ::fsync(dirFd);
    return true;
}

} // namespace platform::reg
