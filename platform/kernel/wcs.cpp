// wcs.cpp — the C run-time's wide-string routines for the 2-byte WCHAR.
//
// Numbers follow the device's C run-time, where long is 32 bits: wcstol
// saturates at LONG_MIN/LONG_MAX of 32 bits and wcstoul at 0xFFFFFFFF
// (errno ERANGE), wcstoul negates a leading '-' in 32 bits, and _wtoi
// saturates like wcstol. Case-insensitive comparisons fold ASCII and
// Latin-1 letters.
#include <windows.h>

#include <cerrno>
#include <cstdint>

#include "text.h"

using platform::text::FoldCase;

size_t wcslen(const WCHAR *text) {
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

size_t wcsnlen(const WCHAR *text, size_t maximum) {
    size_t n = 0;
    while (n < maximum && text[n])
        ++n;
    return n;
}

WCHAR *wcscpy(WCHAR *dest, const WCHAR *src) {
    WCHAR *d = dest;
    while ((*d++ = *src++) != 0) {
    }
    return dest;
}

// Pads with terminators up to `count`; no terminator when src is longer.
WCHAR *wcsncpy(WCHAR *dest, const WCHAR *src, size_t count) {
    size_t i = 0;
    for (; i < count && src[i]; ++i)
        dest[i] = src[i];
    for (; i < count; ++i)
        dest[i] = 0;
    return dest;
}

WCHAR *wcscat(WCHAR *dest, const WCHAR *src) {
    wcscpy(dest + wcslen(dest), src);
    return dest;
}

int wcscmp(const WCHAR *a, const WCHAR *b) {
    while (*a && *a == *b)
        ++a, ++b;
    return (*a > *b) - (*a < *b);
}

int wcsncmp(const WCHAR *a, const WCHAR *b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (a[i] != b[i])
            return (a[i] > b[i]) - (a[i] < b[i]);
        if (!a[i])
            return 0;
    }
    return 0;
}

int _wcsnicmp(const WCHAR *a, const WCHAR *b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const WCHAR x = FoldCase(a[i]);
        const WCHAR y = FoldCase(b[i]);
        if (x != y)
            return (x > y) - (x < y);
        if (!x)
            return 0;
    }
    return 0;
}

int _wcsicmp(const WCHAR *a, const WCHAR *b) {
    return _wcsnicmp(a, b, SIZE_MAX);
}

const WCHAR *wcschr(const WCHAR *text, WCHAR c) {
    for (;; ++text) {
        if (*text == c)
            return text;
        if (!*text)
            return nullptr;
    }
}

WCHAR *wcschr(WCHAR *text, WCHAR c) {
    return const_cast<WCHAR *>(wcschr(static_cast<const WCHAR *>(text), c));
}

const WCHAR *wcsrchr(const WCHAR *text, WCHAR c) {
    const WCHAR *found = nullptr;
    for (;; ++text) {
        if (*text == c)
            found = text;
        if (!*text)
            return found;
    }
}

const WCHAR *wcsstr(const WCHAR *text, const WCHAR *find) {
    if (!*find)
        return text;
    for (; *text; ++text) {
        size_t i = 0;
        while (find[i] && text[i] == find[i])
            ++i;
        if (!find[i])
            return text;
    }
    return nullptr;
}

// ---------------------------------------------------------------- numbers

namespace {

bool IsSpace(WCHAR c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

int DigitValue(WCHAR c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'z')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z')
        return c - u'A' + 10;
    return 99;
}

// Parses [space][sign][0x]digits; `magnitude` saturates at `limit` + 1.
// Answers false when no digit was found (end then points at text).
bool ParseNumber(const WCHAR *text, WCHAR **end, int base, bool &negative, uint64_t &magnitude,
                 uint64_t limit, bool &overflow) {
    const WCHAR *p = text;
    negative = false;
    magnitude = 0;
    overflow = false;
    if (end)
        *end = const_cast<WCHAR *>(text);
    if (base < 0 || base == 1 || base > 36)
        return false;
    while (IsSpace(*p))
        ++p;
    if (*p == u'+' || *p == u'-')
        negative = *p++ == u'-';
    if ((base == 0 || base == 16) && p[0] == u'0' && (p[1] == u'x' || p[1] == u'X') &&
        DigitValue(p[2]) < 16) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = p[0] == u'0' ? 8 : 10;
    }
    const WCHAR *digits = p;
    for (; DigitValue(*p) < base; ++p) {
        magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(DigitValue(*p));
        if (magnitude > limit) {
            overflow = true;
            magnitude = limit + 1;
        }
    }
    if (p == digits)
        return false;
    if (end)
        *end = const_cast<WCHAR *>(p);
    return true;
}

} // namespace

long wcstol(const WCHAR *text, WCHAR **end, int base) {
    bool negative = false;
    bool overflow = false;
    uint64_t magnitude = 0;
    if (!ParseNumber(text, end, base, negative, magnitude, 0x80000000ull, overflow))
        return 0;
    if (negative) {
        if (magnitude > 0x80000000ull) {
            errno = ERANGE;
            return INT32_MIN;
        }
        return static_cast<long>(-static_cast<int64_t>(magnitude));
    }
    if (magnitude > 0x7FFFFFFFull) {
        errno = ERANGE;
        return INT32_MAX;
    }
    return static_cast<long>(magnitude);
}

unsigned long wcstoul(const WCHAR *text, WCHAR **end, int base) {
    bool negative = false;
    bool overflow = false;
    uint64_t magnitude = 0;
    if (!ParseNumber(text, end, base, negative, magnitude, 0xFFFFFFFFull, overflow))
        return 0;
    if (overflow) {
        errno = ERANGE;
        return 0xFFFFFFFFul;
    }
    const auto value = static_cast<uint32_t>(magnitude);
    return negative ? static_cast<uint32_t>(0u - value) : value;
}

int _wtoi(const WCHAR *text) {
    return static_cast<int>(wcstol(text, nullptr, 10));
}
