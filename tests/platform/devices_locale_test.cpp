// devices_locale_test.cpp — GetDateFormatW and GetTimeFormatW.
#include "devices_test_util.h"

#include <cstring>

using namespace devtest;

namespace {

// Tuesday 2024-03-05 13:07:09.250; the day of week is deliberately wrong:
// it is computed, never read.
SYSTEMTIME Sample() {
    SYSTEMTIME t{};
    t.wYear = 2024;
    t.wMonth = 3;
    t.wDayOfWeek = 6;
    t.wDay = 5;
    t.wHour = 13;
    t.wMinute = 7;
    t.wSecond = 9;
    t.wMilliseconds = 250;
    return t;
}

std::u16string Date(DWORD flags, const SYSTEMTIME &t, const char16_t *format) {
    WCHAR out[128];
    const int n = GetDateFormatW(LOCALE_USER_DEFAULT, flags, &t, format, out, 128);
    EXPECT_GT(n, 0) << GetLastError();
    if (n <= 0)
        return u"<fail>";
    EXPECT_EQ(static_cast<size_t>(n), std::char_traits<char16_t>::length(out) + 1);
    return out;
}

std::u16string Time(DWORD flags, const SYSTEMTIME &t, const char16_t *format) {
    WCHAR out[128];
    const int n = GetTimeFormatW(LOCALE_USER_DEFAULT, flags, &t, format, out, 128);
    EXPECT_GT(n, 0) << GetLastError();
    if (n <= 0)
        return u"<fail>";
    EXPECT_EQ(static_cast<size_t>(n), std::char_traits<char16_t>::length(out) + 1);
    return out;
}

TEST(LocaleTest, DatePictures) {
    const SYSTEMTIME t = Sample();
    struct {
        const char16_t *picture;
        const char16_t *expected;
    } const cases[] = {
        {nullptr, u"3/5/2024"},
        {u"d dd ddd dddd", u"5 05 Tue Tuesday"},
        {u"M MM MMM MMMM", u"3 03 Mar March"},
        {u"y yy yyyy", u"24 24 2024"},
        {u"gg yyyy", u"A.D. 2024"},
        {u"dd'.'MM'.'yyyy", u"05.03.2024"},
        {u"'day' d 'o''clock' HH", u"day 5 o'clock HH"}, // time letters are text here
        {u"'unterminated", u"unterminated"},
        {u"", u""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.picture ? platform::Narrow(c.picture) : "NULL");
        EXPECT_EQ(Date(0, t, c.picture), c.expected);
    }
    EXPECT_EQ(Date(DATE_LONGDATE, t, nullptr), u"Tuesday, March 5, 2024");
    SYSTEMTIME early = t;
    early.wYear = 2007;
    early.wMonth = 12;
    early.wDay = 31;
    EXPECT_EQ(Date(DATE_SHORTDATE, early, nullptr), u"12/31/2007");
    EXPECT_EQ(Date(0, early, u"y/yy dddd"), u"7/07 Monday");
}

TEST(LocaleTest, TimePictures) {
    SYSTEMTIME t = Sample();
    EXPECT_EQ(Time(0, t, nullptr), u"1:07:09 PM");
    EXPECT_EQ(Time(0, t, u"HH:mm:ss"), u"13:07:09");
    EXPECT_EQ(Time(0, t, u"h hh H HH m mm s ss t tt"), u"1 01 13 13 7 07 9 09 P PM");
    EXPECT_EQ(Time(TIME_NOSECONDS, t, nullptr), u"1:07 PM");
    EXPECT_EQ(Time(TIME_NOSECONDS, t, u"HH:mm:ss"), u"13:07");
    EXPECT_EQ(Time(TIME_FORCE24HOURFORMAT, t, u"hh:mm"), u"13:07");
    EXPECT_EQ(Time(0, t, u"'at' HH:mm 'dd'"), u"at 13:07 dd");
    t.wHour = 0;
    EXPECT_EQ(Time(0, t, nullptr), u"12:07:09 AM");
    EXPECT_EQ(Time(0, t, u"HH:mm:ss"), u"00:07:09");
    t.wHour = 12;
    EXPECT_EQ(Time(0, t, u"h tt"), u"12 PM");
}

TEST(LocaleTest, SizeQueryAndShortBuffer) {
    const SYSTEMTIME t = Sample();
    SetLastError(kSentinel);
    EXPECT_EQ(GetDateFormatW(LOCALE_USER_DEFAULT, 0, &t, nullptr, nullptr, 0), 9);
    EXPECT_EQ(GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &t, u"HH:mm:ss", nullptr, 0), 9);
    EXPECT_EQ(GetLastError(), kSentinel);

    WCHAR out[12];
    std::fill(std::begin(out), std::end(out), static_cast<WCHAR>(0xA5A5));
    SetLastError(kSentinel);
    EXPECT_EQ(GetDateFormatW(LOCALE_USER_DEFAULT, 0, &t, nullptr, out, 8), 0);
    EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out[0], 0xA5A5); // left as it was
    SetLastError(kSentinel);
    EXPECT_EQ(GetDateFormatW(LOCALE_USER_DEFAULT, 0, &t, nullptr, out, 9), 9);
    EXPECT_EQ(std::u16string(out), u"3/5/2024");
    EXPECT_EQ(out[9], 0xA5A5);
    SetLastError(kSentinel);
    EXPECT_EQ(GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &t, u"HH:mm:ss", out, 8), 0);
    EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
}

TEST(LocaleTest, InvalidArgumentsAreRefused) {
    struct {
        const char *legend;
        void (*spoil)(SYSTEMTIME &);
        bool date; // spoils a date field (else a time field)
    } const cases[] = {
        {"month 0", [](SYSTEMTIME &t) { t.wMonth = 0; }, true},
        {"month 13", [](SYSTEMTIME &t) { t.wMonth = 13; }, true},
        {"day 0", [](SYSTEMTIME &t) { t.wDay = 0; }, true},
        {"February 30", [](SYSTEMTIME &t) { t.wMonth = 2, t.wDay = 30; }, true},
        {"year 1600", [](SYSTEMTIME &t) { t.wYear = 1600; }, true},
        {"hour 24", [](SYSTEMTIME &t) { t.wHour = 24; }, false},
        {"minute 60", [](SYSTEMTIME &t) { t.wMinute = 60; }, false},
        {"second 60", [](SYSTEMTIME &t) { t.wSecond = 60; }, false},
        {"millisecond 1000", [](SYSTEMTIME &t) { t.wMilliseconds = 1000; }, false},
    };
    WCHAR out[64];
    for (const auto &c : cases) {
        SCOPED_TRACE(c.legend);
        SYSTEMTIME t = Sample();
        c.spoil(t);
        SetLastError(kSentinel);
        const int n = c.date ? GetDateFormatW(LOCALE_USER_DEFAULT, 0, &t, nullptr, out, 64)
                             : GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &t, nullptr, out, 64);
        EXPECT_EQ(n, 0);
        EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    }
    SYSTEMTIME leap = Sample();
    leap.wMonth = 2;
    leap.wDay = 29;
    EXPECT_EQ(Date(0, leap, u"ddd"), u"Thu");

    const SYSTEMTIME t = Sample();
    SetLastError(kSentinel);
    EXPECT_EQ(GetDateFormatW(LOCALE_USER_DEFAULT, 0, &t, nullptr, nullptr, 10), 0);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    SetLastError(kSentinel);
    EXPECT_EQ(GetDateFormatW(LOCALE_USER_DEFAULT, 0, &t, nullptr, out, -1), 0);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    SetLastError(kSentinel);
    EXPECT_EQ(GetDateFormatW(0x0407, 0, &t, nullptr, out, 64), 0);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    SetLastError(kSentinel);
    EXPECT_EQ(
        GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE | DATE_LONGDATE, &t, nullptr, out, 64),
        0);
    EXPECT_LAST_ERROR(ERROR_INVALID_FLAGS);
    SetLastError(kSentinel);
    EXPECT_EQ(GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, u"d", out, 64), 0);
    EXPECT_LAST_ERROR(ERROR_INVALID_FLAGS);
}

TEST(LocaleTest, NullTimeMeansNow) {
    WCHAR expected[32];
    WCHAR got[32];
    // Compare with GetLocalTime itself; retry if the second turned over.
    for (int attempt = 0; attempt < 3; ++attempt) {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        ASSERT_GT(GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, u"HH:mm:ss", expected, 32), 0);
        ASSERT_GT(GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, u"HH:mm:ss", got, 32), 0);
        if (std::u16string(expected) == std::u16string(got))
            break;
    }
    EXPECT_EQ(std::u16string(got), std::u16string(expected));
    ASSERT_GT(GetDateFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, got, 32), 0);
}

} // namespace
