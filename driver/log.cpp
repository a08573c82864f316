// log.cpp — the diagnostic log "\Tavrinel.log": one append per line, the
// file opened and closed each time so it can be read or removed meanwhile.
#include <cstdio>

#include "driver.h"

namespace {

// Converts to the ANSI code page and appends without the terminator.
// Failures are silent: the driver goes on whatever happens to a line.
void WriteLine(const WCHAR *line) {
    char ansi[kLogLineChars];
    const int n = WideCharToMultiByte(CP_ACP, 0, line, -1, ansi, sizeof ansi, nullptr, nullptr);
    if (n <= 1)
        return;
    FILE *file = _wfopen(TEXT("\\Tavrinel.log"), TEXT("a+"));
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

void VLog(bool stamped, LPCWSTR format, va_list args) {
    WCHAR text[kLogLineChars];
    if (_vsnwprintf(text, kLogLineChars - 1, format, args) < 0)
        text[kLogLineChars - 1] = 0; // cut: _vsnwprintf leaves it open
    text[kLogLineChars - 1] = 0;
    if (stamped)
        LogLineStamped(text, true);
    else
        LogLine(text);
}

} // namespace

void LogLine(LPCWSTR text) {
    WCHAR line[kLogLineChars];
    FormatLine(line, text, nullptr);
    WriteLine(line);
}

void LogLineStamped(LPCWSTR text, bool withStamp) {
    WCHAR stamp[kStampChars] = {0};
    if (withStamp) {
        WCHAR date[kStampPartChars + 1] = {0};
        WCHAR time[kStampPartChars + 1] = {0};
        GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date,
                       kStampPartChars);
        GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, TEXT("HH:mm:ss"), time, kStampPartChars);
        // A long locale date is cut at the stamp's size.
        if (_snwprintf(stamp, kStampChars - 1, TEXT("%s %s"), date, time) < 0)
            stamp[kStampChars - 1] = 0;
    }
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
