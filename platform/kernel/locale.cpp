// locale.cpp — GetDateFormatW and GetTimeFormatW with Win32 picture
// strings.
//
// Pictures: d dd ddd dddd (day, day name), M MM MMM MMMM (month, month
// name), y yy yyyy (year; "yyy" and longer as yyyy), g gg (era, "A.D."); h
// hh H HH m mm s ss t tt. Text in single quotes is copied as it is ('' is
// one quote); any other character is copied too. A date picture copies time
// letters as text and a time picture date letters, as Windows does.
//
// The one locale is English (United States): short date "M/d/yyyy", long
// date "dddd, MMMM d, yyyy", time "h:mm:ss tt". Every locale id of the
// user, the system, neutral or 0x0409 names it; another id is refused with
// ERROR_INVALID_PARAMETER.
//
// Answers: the characters written including the terminator; with outChars 0
// the size needed. Too small a buffer: 0, ERROR_INSUFFICIENT_BUFFER (the
// buffer is left as it was). Fields out of range: 0, ERROR_INVALID_PARAMETER
// (the day of week is computed, never read).
#include <windows.h>

#include <array>
#include <string>

namespace {

constexpr std::array<const char16_t *, 7> kDayNames = {
    u"Sunday", u"Monday", u"Tuesday", u"Wednesday", u"Thursday", u"Friday", u"Saturday"};
constexpr std::array<const char16_t *, 7> kDayAbbrev = {u"Sun", u"Mon", u"Tue", u"Wed",
                                                        u"Thu", u"Fri", u"Sat"};
constexpr std::array<const char16_t *, 12> kMonthNames = {
    u"January", u"February", u"March",     u"April",   u"May",      u"June",
    u"July",    u"August",   u"September", u"October", u"November", u"December"};
constexpr std::array<const char16_t *, 12> kMonthAbbrev = {
    u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun", u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
constexpr const char16_t *kShortDate = u"M/d/yyyy";
constexpr const char16_t *kLongDate = u"dddd, MMMM d, yyyy";
constexpr const char16_t *kTime = u"h:mm:ss tt";
constexpr size_t kMaxPictureChars = 4096;
constexpr DWORD kDateFlags = DATE_SHORTDATE | DATE_LONGDATE;
constexpr DWORD kTimeFlags = TIME_NOSECONDS | TIME_FORCE24HOURFORMAT;

bool KnownLocale(LCID locale) {
    return locale == 0 || locale == LOCALE_USER_DEFAULT || locale == LOCALE_SYSTEM_DEFAULT ||
           locale == 0x0409;
}

bool IsLeap(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(unsigned year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// 0 = Sunday (Zeller's congruence, Gregorian).
unsigned DayOfWeek(unsigned year, unsigned month, unsigned day) {
    if (month < 3) {
        month += 12;
        --year;
    }
    const unsigned k = year % 100;
    const unsigned j = year / 100;
    const unsigned h = (day + 13 * (month + 1) / 5 + k + k / 4 + j / 4 + 5 * j) % 7;
    return (h + 6) % 7; // Zeller: 0 = Saturday
}

bool ValidDate(const SYSTEMTIME &t) {
    return t.wYear >= 1601 && t.wYear <= 30827 && t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 &&
           t.wDay <= DaysInMonth(t.wYear, t.wMonth);
}

bool ValidTime(const SYSTEMTIME &t) {
    return t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000;
}

void AppendNumber(std::u16string &out, unsigned value, unsigned minDigits) {
    char16_t digits[12];
    unsigned n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value && n < sizeof digits / sizeof digits[0]);
    for (unsigned i = n; i < minDigits; ++i)
        out += u'0';
    while (n)
        out += digits[--n];
}

enum class Kind { kDate, kTime };

// Expands a picture; the letters of the other kind are copied as text.
std::u16string Expand(std::u16string_view picture, const SYSTEMTIME &t, Kind kind, DWORD flags) {
    std::u16string out;
    size_t afterToken = 0; // where the text after the last time token starts
    for (size_t i = 0; i < picture.size();) {
        const char16_t c = picture[i];
        if (c == u'\'') {
            ++i;
            while (i < picture.size()) {
                if (picture[i] == u'\'') {
                    if (i + 1 < picture.size() && picture[i + 1] == u'\'') {
                        out += u'\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += picture[i++];
            }
            continue;
        }
        size_t run = 1;
        while (i + run < picture.size() && picture[i + run] == c)
            ++run;
        const bool dateLetter = c == u'd' || c == u'M' || c == u'y' || c == u'g';
        const bool timeLetter = c == u'h' || c == u'H' || c == u'm' || c == u's' || c == u't';
        if ((kind == Kind::kDate && !dateLetter) || (kind == Kind::kTime && !timeLetter)) {
            out.append(picture.substr(i, run));
            i += run;
            continue;
        }
        i += run;
        switch (c) {
        case u'd':
            if (run <= 2)
                AppendNumber(out, t.wDay, static_cast<unsigned>(run));
            else if (run == 3)
                out += kDayAbbrev[DayOfWeek(t.wYear, t.wMonth, t.wDay)];
            else
                out += kDayNames[DayOfWeek(t.wYear, t.wMonth, t.wDay)];
            break;
        case u'M':
            if (run <= 2)
                AppendNumber(out, t.wMonth, static_cast<unsigned>(run));
            else if (run == 3)
                out += kMonthAbbrev[t.wMonth - 1];
            else
                out += kMonthNames[t.wMonth - 1];
            break;
        case u'y':
            if (run == 1)
                AppendNumber(out, t.wYear % 100, 1);
            else if (run == 2)
                AppendNumber(out, t.wYear % 100, 2);
            else
                AppendNumber(out, t.wYear, 4);
            break;
        case u'g':
            out += u"A.D.";
            break;
        case u'h':
        case u'H': {
            unsigned hour = t.wHour;
            if (c == u'h' && !(flags & TIME_FORCE24HOURFORMAT)) {
                hour %= 12;
                if (hour == 0)
                    hour = 12;
            }
            AppendNumber(out, hour, run >= 2 ? 2 : 1);
            afterToken = out.size();
            break;
        }
        case u'm':
            AppendNumber(out, t.wMinute, run >= 2 ? 2 : 1);
            afterToken = out.size();
            break;
        case u's':
            if (flags & TIME_NOSECONDS) {
                out.resize(afterToken); // the separator before the seconds goes too
                // and so does the text up to the next token
                while (i < picture.size() && picture[i] != u'\'' &&
                       !(picture[i] == u'h' || picture[i] == u'H' || picture[i] == u'm' ||
                         picture[i] == u't'))
                    ++i;
                if (i < picture.size() && picture[i] == u't')
                    out += u' ';
                break;
            }
            AppendNumber(out, t.wSecond, run >= 2 ? 2 : 1);
            afterToken = out.size();
            break;
        case u't': {
            const char16_t *marker = t.wHour < 12 ? u"AM" : u"PM";
            if (run == 1)
                out += marker[0];
            else
                out += marker;
            afterToken = out.size();
            break;
        }
        default:
            break;
        }
    }
    return out;
}

int Deliver(const std::u16string &text, LPWSTR out, int outChars) {
    const size_t needed = text.size() + 1;
    if (needed > static_cast<size_t>(INT32_MAX)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (outChars == 0)
        return static_cast<int>(needed);
    if (static_cast<size_t>(outChars) < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    text.copy(out, text.size());
    out[text.size()] = 0;
    return static_cast<int>(needed);
}

// Checks the common arguments; answers the picture to use or sets the error.
bool CheckCommon(LCID locale, LPCWSTR format, LPWSTR out, int outChars, std::u16string &picture) {
    if (!KnownLocale(locale) || outChars < 0 || (outChars > 0 && !out)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (format) {
        const size_t length = wcsnlen(format, kMaxPictureChars + 1);
        if (length > kMaxPictureChars) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        picture.assign(format, length);
    }
    return true;
}

} // namespace

// Flags: DATE_SHORTDATE (the default) or DATE_LONGDATE, only without a
// picture (else ERROR_INVALID_FLAGS, as Windows).
int WINAPI GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME *date, LPCWSTR format,
                          LPWSTR out, int outChars) {
    std::u16string picture;
    if (!CheckCommon(locale, format, out, outChars, picture))
        return 0;
    if ((flags & ~kDateFlags) || (flags & kDateFlags) == kDateFlags || (format && flags)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (!format)
        picture = (flags & DATE_LONGDATE) ? kLongDate : kShortDate;
    SYSTEMTIME now{};
    if (!date) {
        GetLocalTime(&now);
        date = &now;
    }
    if (!ValidDate(*date)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Deliver(Expand(picture, *date, Kind::kDate, flags), out, outChars);
}

// Flags: TIME_NOSECONDS (the seconds and the separator before them are
// left out), TIME_FORCE24HOURFORMAT (h and hh count 0 to 23).
int WINAPI GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME *time, LPCWSTR format,
                          LPWSTR out, int outChars) {
    std::u16string picture;
    if (!CheckCommon(locale, format, out, outChars, picture))
        return 0;
    if (flags & ~kTimeFlags) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (!format)
        picture = kTime;
    SYSTEMTIME now{};
    if (!time) {
        GetLocalTime(&now);
        time = &now;
    }
    if (!ValidTime(*time)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Deliver(Expand(picture, *time, Kind::kTime, flags), out, outChars);
}
