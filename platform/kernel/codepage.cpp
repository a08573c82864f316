// codepage.cpp — WideCharToMultiByte and MultiByteToWideChar for the ANSI
// code page and UTF-8, and platform::Widen/Narrow.
//
// CP_ACP is Windows-1252, the code page of a western Windows Mobile phone
// (CP_OEMCP and 1252 are accepted as the same). Wide characters that 1252
// cannot hold become the default character ('?' unless given); there is no
// "best fit" (Windows maps e.g. U+0100 to 'A'). The five bytes that 1252
// leaves undefined (0x81 0x8D 0x8F 0x90 0x9D) map to U+0081 ... as Windows
// maps them. CP_UTF8 replaces malformed input with U+FFFD, as Windows Vista
// and later do, unless MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS ask for
// failure (ERROR_NO_UNICODE_TRANSLATION).
//
// Size convention: an output size of 0 answers the size needed; an input
// length of -1 includes the terminator; output too small answers 0 with
// ERROR_INSUFFICIENT_BUFFER after filling what fits.
#include <windows.h>

#include <platform/emulation.h>

#include <algorithm>
#include <cstring>

#include "kernel.h"
#include "text.h"

namespace {

constexpr UINT kCodePageOem = 1;
constexpr UINT kCodePage1252 = 1252;
constexpr DWORD kMbErrInvalidChars = 0x08;
constexpr DWORD kWcErrInvalidChars = 0x80;
constexpr DWORD kErrorNoUnicodeTranslation = 1113;

// Windows-1252 bytes 0x80..0x9F; 0 marks the five undefined bytes, which
// map to the C1 control of the same value.
constexpr char16_t kHigh1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char16_t AnsiToWideChar(unsigned char byte) {
    if (byte >= 0x80 && byte < 0xA0 && kHigh1252[byte - 0x80])
        return kHigh1252[byte - 0x80];
    return byte;
}

// False when 1252 cannot hold the character.
bool WideToAnsiChar(char16_t c, char &out) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        out = static_cast<char>(c);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if ((kHigh1252[i] == c && c != 0) || (kHigh1252[i] == 0 && c == 0x80 + i)) {
            out = static_cast<char>(0x80 + i);
            return true;
        }
    }
    return false;
}

bool IsAnsiCodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == kCodePageOem || codePage == kCodePage1252;
}

bool HasLoneSurrogate(std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                ++i;
                continue;
            }
            return true;
        }
        if (c >= 0xDC00 && c <= 0xDFFF)
            return true;
    }
    return false;
}

// Copies a converted result out by the Windows size convention.
template <class Char> int CopyOut(const std::basic_string<Char> &result, Char *out, int outSize) {
    if (outSize == 0)
        return static_cast<int>(result.size());
    const size_t room = static_cast<size_t>(outSize);
    if (result.size() > room) {
        std::copy_n(result.begin(), room, out);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(result.begin(), result.end(), out);
    return static_cast<int>(result.size());
}

} // namespace

namespace platform::kernel {

std::u16string AnsiToWide(std::string_view ansi) {
    std::u16string wide;
    wide.reserve(ansi.size());
    for (const char c : ansi)
        wide.push_back(AnsiToWideChar(static_cast<unsigned char>(c)));
    return wide;
}

std::string WideToAnsi(std::u16string_view wide) {
    std::string ansi;
    ansi.reserve(wide.size());
    for (const char16_t c : wide) {
        char byte = '?';
        WideToAnsiChar(c, byte);
        ansi.push_back(byte);
    }
    return ansi;
}

} // namespace platform::kernel

namespace platform {

std::u16string Widen(const std::string &utf8) {
    return text::Utf8ToUtf16(utf8);
}

std::string Narrow(const std::u16string &utf16) {
    return text::Utf16ToUtf8(utf16);
}

} // namespace platform

// ---------------------------------------------------------------- Win32

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideChars,
                               LPSTR multiByte, int multiByteBytes, LPCSTR defaultChar,
                               LPBOOL usedDefault) {
    const bool utf8 = codePage == CP_UTF8;
    if ((!utf8 && !IsAnsiCodePage(codePage)) || !wide || wideChars == 0 || wideChars < -1 ||
        multiByteBytes < 0 || (multiByteBytes > 0 && !multiByte) ||
        (multiByte && static_cast<const void *>(multiByte) == static_cast<const void *>(wide)) ||
        (utf8 && (defaultChar || usedDefault))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (utf8 && (flags & ~kWcErrInvalidChars)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const size_t length = wideChars == -1 ? std::char_traits<char16_t>::length(wide) + 1
                                          : static_cast<size_t>(wideChars);
    const std::u16string_view input(wide, length);
    std::string result;
    if (utf8) {
        if ((flags & kWcErrInvalidChars) && HasLoneSurrogate(input)) {
            SetLastError(kErrorNoUnicodeTranslation);
            return 0;
        }
        result = platform::text::Utf16ToUtf8(input);
    } else {
        const char fallback = defaultChar ? *defaultChar : '?';
        bool defaulted = false;
        result.reserve(length);
        for (const char16_t c : input) {
            char byte = fallback;
            if (!WideToAnsiChar(c, byte)) {
                byte = fallback;
                defaulted = true;
            }
            result.push_back(byte);
        }
        if (usedDefault)
            *usedDefault = defaulted ? TRUE : FALSE;
    }
    return CopyOut(result, multiByte, multiByteBytes);
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteBytes,
                               LPWSTR wide, int wideChars) {
    const bool utf8 = codePage == CP_UTF8;
    if ((!utf8 && !IsAnsiCodePage(codePage)) || !multiByte || multiByteBytes == 0 ||
        multiByteBytes < -1 || wideChars < 0 || (wideChars > 0 && !wide) ||
        (wide && static_cast<const void *>(multiByte) == static_cast<const void *>(wide))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (utf8 && (flags & ~kMbErrInvalidChars)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const size_t length =
        multiByteBytes == -1 ? std::strlen(multiByte) + 1 : static_cast<size_t>(multiByteBytes);
    const std::string_view input(multiByte, length);
    std::u16string result;
    if (utf8) {
        result = platform::text::Utf8ToUtf16(input);
        // Malformed input is exactly what does not survive the way back.
        if ((flags & kMbErrInvalidChars) && platform::text::Utf16ToUtf8(result) != input) {
            SetLastError(kErrorNoUnicodeTranslation);
            return 0;
        }
    } else {
        result = platform::kernel::AnsiToWide(input);
    }
    return CopyOut(result, wide, wideChars);
}
