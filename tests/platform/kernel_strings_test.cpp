// kernel_strings_test.cpp — wsprintfW format rules, _snwprintf bounds,
// code page conversions with the Windows size conventions, lstr*, wcs*.
#include <cerrno>
#include <cstring>
#include <string>

#include "kernel_test_util.h"

using kerneltest::kGuardByte;
using kerneltest::kGuardChar;
using kerneltest::kSentinel;
using kerneltest::PresetLastError;
using kerneltest::Str;

namespace {

// ---------------------------------------------------------------- wsprintfW

template <class... Args> std::u16string Wsprintf(const WCHAR *format, Args... args) {
    WCHAR buffer[1100];
    std::fill(std::begin(buffer), std::end(buffer), kGuardChar);
    const int written = wsprintfW(buffer, format, args...);
    EXPECT_GE(written, 0);
    EXPECT_EQ(buffer[written], 0) << "terminated";
    EXPECT_EQ(Str(buffer).size(), static_cast<size_t>(written)) << "answer = length";
    return Str(buffer);
}

TEST(Wsprintf, WideAndNarrowText) {
    EXPECT_EQ(Wsprintf(u"[%s]", u"wide"), u"[wide]");
    EXPECT_EQ(Wsprintf(u"[%S]", "narrow"), u"[narrow]");
    EXPECT_EQ(Wsprintf(u"[%hs]", "narrow"), u"[narrow]");
    EXPECT_EQ(Wsprintf(u"[%ls]", u"wide"), u"[wide]");
    EXPECT_EQ(Wsprintf(u"[%ws]", u"wide"), u"[wide]");
    EXPECT_EQ(Wsprintf(u"[%lS]", u"wide"), u"[wide]");
    EXPECT_EQ(Wsprintf(u"[%c%C%hc%lc]", u'w', 'n', 'h', u'l'), u"[wnhl]");
    EXPECT_EQ(Wsprintf(u"[%s]", static_cast<const WCHAR *>(nullptr)), u"[(null)]");
    EXPECT_EQ(Wsprintf(u"[%S]", static_cast<const char *>(nullptr)), u"[(null)]");
    EXPECT_EQ(Wsprintf(u"%S", "caf\xe9 \x80"), u"caf\u00e9 \u20ac") << "narrow text is ANSI (1252)";
    EXPECT_EQ(Wsprintf(u"%s", u"\u00e9\u20ac"), u"\u00e9\u20ac");
}

TEST(Wsprintf, WidthPrecisionAndFlags) {
    struct Case {
        const WCHAR *format;
        int value;
        const char16_t *expected;
    } cases[] = {
        {u"%5d", 42, u"   42"},     {u"%-5d|", 42, u"42   |"},
        {u"%05d", 42, u"00042"},    {u"%05d", -42, u"-0042"},
        {u"%+d", 42, u"+42"},       {u"% d", 42, u" 42"},
        {u"%.4d", 7, u"0007"},      {u"%8.4d", -7, u"   -0007"},
        {u"%x", 0xBEEF, u"beef"},   {u"%X", 0xBEEF, u"BEEF"},
        {u"%#x", 255, u"0xff"},     {u"%#X", 255, u"0XFF"},
        {u"%#x", 0, u"0"},          {u"%08X", 0x1234, u"00001234"},
        {u"%o", 8, u"10"},          {u"%#o", 8, u"010"},
        {u"%u", -1, u"4294967295"}, {u"%d", -2147483647 - 1, u"-2147483648"},
        {u"%i", 17, u"17"},         {u"%ld", -5, u"-5"},
        {u"%lu", 5, u"5"},          {u"%lx", 0xAB, u"ab"},
        {u"%.0d", 0, u""},          {u"%hd", 0x12345, u"9029"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Wsprintf(c.format, c.value), c.expected) << Str(c.format).size();
    EXPECT_EQ(Wsprintf(u"%*d|%-*d|", 4, 1, 3, 2), u"   1|2  |");
    EXPECT_EQ(Wsprintf(u"%*d", -4, 1), u"1   ") << "negative * width: left-justified";
    EXPECT_EQ(Wsprintf(u"[%.3s]", u"abcdef"), u"[abc]");
    EXPECT_EQ(Wsprintf(u"[%.*S]", 2, "abcdef"), u"[ab]");
    EXPECT_EQ(Wsprintf(u"[%6.2s]", u"abc"), u"[    ab]");
    EXPECT_EQ(Wsprintf(u"[%-6s]", u"ab"), u"[ab    ]");
    EXPECT_EQ(Wsprintf(u"[%3c]", u'x'), u"[  x]");
    EXPECT_EQ(Wsprintf(u"100%%"), u"100%");
    EXPECT_EQ(Wsprintf(u"%I64d", static_cast<long long>(-1234567890123LL)), u"-1234567890123");
    EXPECT_EQ(Wsprintf(u"%I64X", 0x123456789ABCull), u"123456789ABC");
    EXPECT_EQ(Wsprintf(u"%lld", 1LL << 40), u"1099511627776");
    EXPECT_EQ(Wsprintf(u"%Iu", static_cast<size_t>(7)), u"7");
    EXPECT_EQ(Wsprintf(u"%p", reinterpret_cast<void *>(0xAB)),
              std::u16string(2 * sizeof(void *) - 2, u'0') + u"AB");
}

TEST(Wsprintf, TheSentenceAndLogFormatsOfThisSystem) {
    // Frequencies in MHz with one decimal, from kHz.
    const DWORD khz = 90150;
    EXPECT_EQ(Wsprintf(u"%lu.%lu", khz / 1000, (khz % 1000) / 100), u"90.1");
    EXPECT_EQ(Wsprintf(u"COM%d:", 9), u"COM9:");
    EXPECT_EQ(Wsprintf(u"%02d:%02d:%02d.%03d", 7, 5, 9, 42), u"07:05:09.042");
}

TEST(Wsprintf, StopsAt1024CharactersWithTerminator) {
    const std::u16string long2000(2000, u'a');
    WCHAR buffer[1100];
    std::fill(std::begin(buffer), std::end(buffer), kGuardChar);
    EXPECT_EQ(wsprintfW(buffer, u"%s", long2000.c_str()), 1023);
    EXPECT_EQ(buffer[1022], u'a');
    EXPECT_EQ(buffer[1023], 0);
    EXPECT_EQ(buffer[1024], kGuardChar) << "nothing written past 1024 characters";

    std::fill(std::begin(buffer), std::end(buffer), kGuardChar);
    EXPECT_EQ(wsprintfW(buffer, u"%5000d", 1), 1023) << "a field wider than the limit";
    EXPECT_EQ(buffer[1023], 0);
    EXPECT_EQ(buffer[1024], kGuardChar);
}

TEST(Snwprintf, BoundedAsTheMicrosoftRuntime) {
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), kGuardChar);
    EXPECT_EQ(_snwprintf(buffer, 6, u"%d", 1234), 4) << "fits with terminator";
    EXPECT_EQ(Str(buffer), u"1234");
    EXPECT_EQ(buffer[5], kGuardChar);

    std::fill(std::begin(buffer), std::end(buffer), kGuardChar);
    EXPECT_EQ(_snwprintf(buffer, 4, u"%d", 1234), 4) << "exactly fits: no terminator";
    EXPECT_EQ(std::u16string(buffer, 4), u"1234");
    EXPECT_EQ(buffer[4], kGuardChar);

    std::fill(std::begin(buffer), std::end(buffer), kGuardChar);
    EXPECT_EQ(_snwprintf(buffer, 3, u"%d", 1234), -1) << "truncated";
    EXPECT_EQ(std::u16string(buffer, 3), u"123");
    EXPECT_EQ(buffer[3], kGuardChar);
}

// ---------------------------------------------------------------- code pages

struct Converted {
    int answer;
    DWORD error;
    std::string bytes; // the whole buffer, guard included
};

Converted ToMultiByte(UINT codePage, const WCHAR *text, int textChars, int bufferSize,
                      BOOL *usedDefault = nullptr, const char *defaultChar = nullptr) {
    std::string buffer(static_cast<size_t>(bufferSize) + 1, static_cast<char>(kGuardByte));
    PresetLastError();
    const int answer =
        WideCharToMultiByte(codePage, 0, text, textChars, bufferSize ? buffer.data() : nullptr,
                            bufferSize, defaultChar, usedDefault);
    return {answer, GetLastError(), buffer};
}

TEST(WideCharToMultiByte, SizeConventions) {
    // Size query: -1 counts the terminator.
    Converted c = ToMultiByte(CP_ACP, u"abc", -1, 0);
    EXPECT_EQ(c.answer, 4);
    EXPECT_EQ(c.error, kSentinel);
    c = ToMultiByte(CP_ACP, u"abc", 3, 0);
    EXPECT_EQ(c.answer, 3) << "explicit length: no terminator";

    c = ToMultiByte(CP_ACP, u"abc", -1, 4);
    EXPECT_EQ(c.answer, 4);
    EXPECT_EQ(c.bytes, std::string("abc\0", 4) + static_cast<char>(kGuardByte));
    EXPECT_EQ(c.error, kSentinel);

    c = ToMultiByte(CP_ACP, u"abc", 3, 3);
    EXPECT_EQ(c.answer, 3);
    EXPECT_EQ(c.bytes, std::string("abc") + static_cast<char>(kGuardByte)) << "not terminated";

    c = ToMultiByte(CP_ACP, u"abc", -1, 3);
    EXPECT_EQ(c.answer, 0);
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(static_cast<unsigned char>(c.bytes[3]), kGuardByte) << "nothing past the buffer";
}

TEST(WideCharToMultiByte, AnsiIsWindows1252WithDefaultCharacter) {
    BOOL usedDefault = 7;
    Converted c = ToMultiByte(CP_ACP, u"\u00e9\u20ac\u2122", 3, 3, &usedDefault);
    EXPECT_EQ(c.answer, 3);
    EXPECT_EQ(c.bytes.substr(0, 3), "\xe9\x80\x99");
    EXPECT_EQ(usedDefault, FALSE);

    usedDefault = 7;
    c = ToMultiByte(CP_ACP, u"a\u0100\u4e2d", 3, 3, &usedDefault);
    EXPECT_EQ(c.answer, 3);
    EXPECT_EQ(c.bytes.substr(0, 3), "a??");
    EXPECT_EQ(usedDefault, TRUE);

    c = ToMultiByte(CP_ACP, u"a\u4e2d", 2, 2, nullptr, "#");
    EXPECT_EQ(c.bytes.substr(0, 2), "a#");
}

TEST(WideCharToMultiByte, Utf8) {
    Converted c = ToMultiByte(CP_UTF8, u"\u00e9\u20ac", -1, 0);
    EXPECT_EQ(c.answer, 6) << "2 + 3 bytes and the terminator";
    c = ToMultiByte(CP_UTF8, u"\u00e9\u20ac", -1, 6);
    EXPECT_EQ(c.answer, 6);
    EXPECT_EQ(c.bytes.substr(0, 6), std::string("\xc3\xa9\xe2\x82\xac\0", 6));
    BOOL usedDefault = FALSE;
    c = ToMultiByte(CP_UTF8, u"x", 1, 4, &usedDefault);
    EXPECT_EQ(c.answer, 0) << "UTF-8 takes no default character";
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(WideCharToMultiByte, RefusesBadParameters) {
    char out[4];
    struct Case {
        const char *legend;
        UINT codePage;
        const WCHAR *text;
        int textChars;
        char *buffer;
        int bufferSize;
    } cases[] = {
        {"NULL input", CP_ACP, nullptr, 3, out, 4},
        {"zero input length", CP_ACP, u"abc", 0, out, 4},
        {"negative input length", CP_ACP, u"abc", -2, out, 4},
        {"NULL output with a size", CP_ACP, u"abc", 3, nullptr, 4},
        {"negative output size", CP_ACP, u"abc", 3, out, -1},
        {"unknown code page", 12345, u"abc", 3, out, 4},
    };
    for (const Case &c : cases) {
        PresetLastError();
        EXPECT_EQ(WideCharToMultiByte(c.codePage, 0, c.text, c.textChars, c.buffer, c.bufferSize,
                                      nullptr, nullptr),
                  0)
            << c.legend;
        EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER) << c.legend;
    }
}

TEST(MultiByteToWideChar, SizeConventionsAndCodePages) {
    WCHAR buffer[8];
    PresetLastError();
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);
    EXPECT_LAST_ERROR(kSentinel);

    std::fill(std::begin(buffer), std::end(buffer), kGuardChar);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x80\xe9\x81", 3, buffer, 3), 3);
    EXPECT_EQ(std::u16string(buffer, 3), u"\u20ac\u00e9\u0081");
    EXPECT_EQ(buffer[3], kGuardChar);

    std::fill(std::begin(buffer), std::end(buffer), kGuardChar);
    PresetLastError();
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xc3\xa9t\xc3\xa9", -1, buffer, 3), 0);
    EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(buffer[3], kGuardChar);

    std::fill(std::begin(buffer), std::end(buffer), kGuardChar);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xc3\xa9t\xc3\xa9", -1, buffer, 4), 4);
    EXPECT_EQ(Str(buffer), u"\u00e9t\u00e9");

    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xff", 2, buffer, 8), 2);
    EXPECT_EQ(std::u16string(buffer, 2), u"a\ufffd") << "malformed UTF-8 becomes U+FFFD";
    PresetLastError();
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0x08 /* MB_ERR_INVALID_CHARS */, "a\xff", 2, buffer, 8),
              0);
    EXPECT_LAST_ERROR(1113); // ERROR_NO_UNICODE_TRANSLATION
}

// ---------------------------------------------------------------- lstr*, wcs*

TEST(Lstr, NullTolerantComparisons) {
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(lstrlenW(u"abc"), 3);
    EXPECT_EQ(lstrcmpW(nullptr, nullptr), 0);
    EXPECT_LT(lstrcmpW(nullptr, u""), 0);
    EXPECT_GT(lstrcmpW(u"", nullptr), 0);
    EXPECT_EQ(lstrcmpW(u"abc", u"abc"), 0);
    EXPECT_LT(lstrcmpW(u"abc", u"abd"), 0);
    EXPECT_NE(lstrcmpW(u"abc", u"ABC"), 0);
    EXPECT_EQ(lstrcmpiW(u"Abc\u00e9", u"aBC\u00c9"), 0);
    EXPECT_LT(lstrcmpiW(u"abc", u"ABCD"), 0);
    EXPECT_LT(lstrcmpiW(nullptr, u"a"), 0);
}

TEST(Wcs, CopiesComparesAndSearches) {
    WCHAR buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), kGuardChar);
    wcscpy(buffer, u"COM");
    wcscat(buffer, u"9:");
    EXPECT_EQ(Str(buffer), u"COM9:");
    EXPECT_EQ(wcslen(buffer), 5u);
    EXPECT_EQ(wcsnlen(buffer, 3), 3u);
    EXPECT_EQ(buffer[6], kGuardChar);

    std::fill(std::begin(buffer), std::end(buffer), kGuardChar);
    wcsncpy(buffer, u"ab", 4);
    EXPECT_EQ(buffer[2], 0);
    EXPECT_EQ(buffer[3], 0) << "padded";
    EXPECT_EQ(buffer[4], kGuardChar);
    wcsncpy(buffer, u"abcdef", 3);
    EXPECT_EQ(buffer[3], 0) << "the old padding, no new terminator";

    EXPECT_EQ(wcscmp(u"a", u"b"), -1);
    EXPECT_EQ(wcsncmp(u"abX", u"abY", 2), 0);
    EXPECT_EQ(_wcsicmp(u"Drivers\\Active", u"DRIVERS\\active"), 0);
    EXPECT_NE(_wcsnicmp(u"abc", u"abd", 3), 0);
    EXPECT_EQ(_wcsnicmp(u"abX", u"ABY", 2), 0) << "only the first count characters";
    EXPECT_EQ(_wcsnicmp(u"a", u"b", 0), 0);
    const WCHAR *text = u"Drivers\\Builtin\\Tavrinel";
    EXPECT_EQ(wcschr(text, u'\\'), text + 7);
    EXPECT_EQ(wcsrchr(text, u'\\'), text + 15);
    EXPECT_EQ(wcschr(text, 0), text + 24);
    EXPECT_EQ(wcsstr(text, u"Builtin"), text + 8);
    EXPECT_EQ(wcsstr(text, u"builtin"), nullptr);
}

TEST(Wcs, NumbersAre32BitsAsOnTheDevice) {
    WCHAR *end = nullptr;
    const WCHAR *text = u"  -42xyz";
    EXPECT_EQ(wcstol(text, &end, 10), -42);
    EXPECT_EQ(end, text + 5);
    EXPECT_EQ(wcstol(u"0x1F", nullptr, 0), 31);
    EXPECT_EQ(wcstol(u"017", nullptr, 0), 15);
    EXPECT_EQ(wcstoul(u"ffffffff", nullptr, 16), 0xFFFFFFFFul);
    errno = 0;
    EXPECT_EQ(wcstoul(u"4294967296", nullptr, 10), 0xFFFFFFFFul);
    EXPECT_EQ(errno, ERANGE);
    errno = 0;
    EXPECT_EQ(wcstol(u"2147483648", nullptr, 10), 2147483647L);
    EXPECT_EQ(errno, ERANGE);
    errno = 0;
    EXPECT_EQ(wcstol(u"-2147483648", nullptr, 10), -2147483647L - 1);
    EXPECT_EQ(errno, 0) << "the lowest value is in range";
    EXPECT_EQ(wcstoul(u"-1", nullptr, 10), 0xFFFFFFFFul);
    text = u"none";
    end = nullptr;
    EXPECT_EQ(wcstol(text, &end, 10), 0);
    EXPECT_EQ(end, text) << "no digits: end is the start";
    EXPECT_EQ(_wtoi(u"90150"), 90150);
    EXPECT_EQ(_wtoi(u"junk"), 0);
}

} // namespace
