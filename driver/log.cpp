// log.cpp — the diagnostic log "\Tavrinel.log": one append per line, the
// file opened and closed each time so it can be read or removed meanwhile.
//
// The file is capped at kLogCapBytes: a line that would take it further
// first turns it into "\Tavrinel.log.old" (replacing an older one) and
// starts a new file, so a phone serving a navigation program for days keeps
// at most two files' worth.
//
// Port data enters lines through "%S". Its control bytes are written as
// "\xHH" (C0, DEL and the C1 range 0x80-0x9F, both as single bytes and as
// their UTF-8 forms C2 80-C2 9F, which a UTF-8 terminal takes for
// controls too; other characters of well-formed UTF-8, such as a euro sign
// whose middle byte is 0x82, stay whole) so that written bytes can never
// forge a line or send escape sequences to whoever reads the log; the only
// raw line ends are the log's own: those of the format, the final line
// feed, and, where the format puts the data on lines of its own (the read
// lines, whose data is the driver's own sentences), the "\r\n" pairs that
// end those lines.
#include <cstdio>
#include <cstring>

#include <common/capped_log.h>
#include <common/utf8.h>

#include "driver.h"

namespace {

constexpr long kLogCapBytes = 1024 * 1024;
constexpr size_t kEscapedBytes = 4; // "\\xHH"
CappedLog logFile{
    TEXT("\\Tavrinel.log"), TEXT("\\Tavrinel.log.old"), "Tavrinel.log.old", kLogCapBytes, 0, 0, 0};

// Converts to the ANSI code page and appends without the terminator.
// Failures are silent: the driver goes on whatever happens to a line.
void WriteLine(const WCHAR *line) {
    char ansi[kLogLineChars];
    const int n = WideCharToMultiByte(CP_ACP, 0, line, -1, ansi, sizeof ansi, nullptr, nullptr);
    if (n <= 1)
        return;
    FILE *file = OpenCappedLog(logFile, static_cast<size_t>(n - 1));
    if (file == nullptr)
        return;
    std::fwrite(ansi, 1, static_cast<size_t>(n - 1), file);
    std::fclose(file);
}

// "%s<suffix>" into a line buffer; a text too long for it is cut so the
// line still ends with its line feed.
void FormatLine(WCHAR *line, LPCWSTR text, LPCWSTR stamp) {
    const size_t stampChars = stamp != nullptr ? wcslen(stamp) + 1 : 0; // " stamp"
    const size_t room = kLogLineChars - 1 - 1 - stampChars;             // "\n", terminator
    size_t n = 0;
    for (; text != nullptr && text[n] != 0 && n < room; ++n)
        line[n] = text[n];
    if (stamp != nullptr) {
        line[n++] = TEXT(' ');
        for (size_t i = 0; stamp[i] != 0; ++i)
            line[n++] = stamp[i];
    }
    line[n++] = TEXT('\n');
    line[n] = 0;
}

bool IsC1(char byte) {
    const auto c = static_cast<unsigned char>(byte);
    return c >= 0x80 && c <= 0x9F;
}

bool IsControlByte(unsigned char c) {
    return c < 0x20 || c == 0x7F || IsC1(static_cast<char>(c));
}

// Port data with its control bytes escaped, cut to what a line can hold.
// With `keepLineEnds`, "\r\n" pairs stay.
void Escape(const char *data, bool keepLineEnds, char *out, size_t outBytes) {
    static const char kHex[] = "0123456789ABCDEF";
    size_t n = 0;
    for (size_t i = 0; data != nullptr && data[i] != 0; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (keepLineEnds && c == '\r' && data[i + 1] == '\n') {
            if (n + 2 >= outBytes)
                break;
            out[n++] = '\r';
            out[n++] = '\n';
            ++i;
        } else if (const size_t length =
                       c >= 0x80 ? Utf8PrintableLength(data + i, strnlen(data + i, 4)) : 0;
                   length != 0) {
            // A whole character: its continuation bytes are not C1 controls.
            if (n + length >= outBytes)
                break;
            for (size_t k = 0; k < length; ++k)
                out[n++] = data[i + k];
            i += length - 1;
        } else if (IsControlByte(c) || (c == 0xC2 && IsC1(data[i + 1]))) {
            const size_t count = IsControlByte(c) ? 1 : 2; // a UTF-8 C1 goes whole
            if (n + count * kEscapedBytes >= outBytes)
                break;
            for (size_t k = 0; k < count; ++k) {
                const auto b = static_cast<unsigned char>(data[i + k]);
                out[n++] = '\\';
                out[n++] = 'x';
                out[n++] = kHex[b >> 4];
                out[n++] = kHex[b & 0xF];
            }
            i += count - 1;
        } else {
            if (n + 1 >= outBytes)
                break;
            out[n++] = static_cast<char>(c);
        }
    }
    out[n] = 0;
}

// One conversion of the format ("%d", "%-4S", ...) with its argument taken
// by type, "%S" data escaped. Answers the characters written or -1.
int FormatOne(WCHAR *out, size_t room, const WCHAR *spec, WCHAR conversion, int length,
              bool lineStart, va_list *args) {
    switch (conversion) {
    case TEXT('S'): {
        char escaped[kLogLineChars];
        Escape(va_arg(*args, const char *), lineStart, escaped, sizeof escaped);
        return _snwprintf(out, room, spec, escaped);
    }
    case TEXT('s'):
    case TEXT('p'):
        return _snwprintf(out, room, spec, va_arg(*args, void *));
    default:
        if (length == 2)
            return _snwprintf(out, room, spec, va_arg(*args, long long));
        if (length == 1)
            return _snwprintf(out, room, spec, va_arg(*args, long));
        return _snwprintf(out, room, spec, va_arg(*args, int));
    }
}

// _vsnwprintf for the log's formats, one conversion at a time so that port
// data can be escaped. Conversions: d i u x X o c C s S p and "%%", with
// flags, width, precision and h/l/ll; anything else ends the line there.
void FormatLogText(WCHAR *text, LPCWSTR format, va_list args) {
    static const WCHAR kConversions[] = TEXT("diuxXocCsSp");
    va_list rest;
    va_copy(rest, args);
    size_t n = 0;
    const size_t room = kLogLineChars - 1;
    for (size_t i = 0; format[i] != 0 && n < room;) {
        if (format[i] != TEXT('%')) {
            text[n++] = format[i++];
            continue;
        }
        if (format[i + 1] == TEXT('%')) {
            text[n++] = TEXT('%');
            i += 2;
            continue;
        }
        const bool lineStart = n >= 2 && text[n - 2] == TEXT('\r') && text[n - 1] == TEXT('\n');
        WCHAR spec[16];
        size_t k = 0;
        spec[k++] = format[i++];
        while (k < 12 && format[i] != 0 && wcschr(TEXT("-+ #0123456789."), format[i]) != nullptr)
            spec[k++] = format[i++];
        int length = 0;
        while (k < 14 && (format[i] == TEXT('l') || format[i] == TEXT('h'))) {
            length += format[i] == TEXT('l') ? 1 : 0;
            spec[k++] = format[i++];
        }
        if (format[i] == 0 || wcschr(kConversions, format[i]) == nullptr || length > 2)
            break;
        const WCHAR conversion = format[i++];
        spec[k++] = conversion;
        spec[k] = 0;
        const int written =
            FormatOne(text + n, room + 1 - n, spec, conversion, length, lineStart, &rest);
        if (written < 0) { // cut at the end of the line
            n = room;
            break;
        }
        n += static_cast<size_t>(written);
    }
    va_end(rest);
    text[n < room ? n : room] = 0;
}

void VLog(bool stamped, LPCWSTR format, va_list args) {
    WCHAR text[kLogLineChars];
    FormatLogText(text, format, args);
    if (stamped)
        LogLineStamped(text);
    else
        LogLine(text);
}

} // namespace

void LogLine(LPCWSTR text) {
    WCHAR line[kLogLineChars];
    FormatLine(line, text, nullptr);
    WriteLine(line);
}

void LogLineStamped(LPCWSTR text) {
    WCHAR stamp[kStampChars] = {0};
    WCHAR date[kStampPartChars + 1] = {0};
    WCHAR time[kStampPartChars + 1] = {0};
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, kStampPartChars);
    GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, TEXT("HH:mm:ss"), time, kStampPartChars);
    // A long locale date is cut at the stamp's size.
    if (_snwprintf(stamp, kStampChars - 1, TEXT("%s %s"), date, time) < 0)
        stamp[kStampChars - 1] = 0;
    WCHAR line[kLogLineChars];
    FormatLine(line, text, stamp);
    WriteLine(line);
}

void LogFormatted(LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    VLog(false, format, args);
    va_end(args);
}

void LogFormattedStamped(LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    VLog(true, format, args);
    va_end(args);
}
