// strings.cpp — wsprintfW, wvsprintfW, _snwprintf, _vsnwprintf and the
// lstr* routines.
//
// Format rules of the Windows wide functions:
//   %[flags][width][.precision][size]type
//   flags  - + 0 space #      width/precision  digits or *
//   size   h (narrow / short), l or w (wide / 32-bit), ll or I64 (64-bit),
//          I32 (32-bit), I (pointer-sized)
//   type   c C d i u x X o p s S %, and e E f g G for doubles
// %s and %c are wide, %S and %C narrow; h forces narrow, l or w wide.
// Narrow text is read in the ANSI code page. %ld is 32 bits as on Windows
// (long is 32 bits there). A NULL string prints "(null)". %p prints the
// pointer in upper-case hexadecimal with 2 x sizeof(void *) digits (8 on
// the device, 16 on the host). %n is not supported and prints nothing; an
// unknown type prints its character.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "kernel.h"
#include "text.h"

namespace {

// wsprintfW writes at most this many characters, terminator included.
constexpr size_t kWsprintfLimit = 1024;

enum class Size { Default, Short, Long, LongLong, Pointer };

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool zero = false;
    bool alternate = false;
    int width = 0;
    int precision = -1; // -1: none
    Size size = Size::Default;
};

// Collects output up to a limit; what goes beyond is counted, not kept.
class Sink {
public:
    explicit Sink(size_t limit) : limit_(limit) {}
    void Put(char16_t c) {
        if (text_.size() < limit_)
            text_.push_back(c);
        else
            overflow_ = true;
    }
    void Put(std::u16string_view s) {
        for (const char16_t c : s)
            Put(c);
    }
    void Pad(size_t count, char16_t c) {
        for (size_t i = 0; i < count && !overflow_; ++i)
            Put(c);
    }
    [[nodiscard]] const std::u16string &Text() const { return text_; }
    [[nodiscard]] bool Overflow() const { return overflow_; }

private:
    size_t limit_;
    std::u16string text_;
    bool overflow_ = false;
};

// Writes `body` padded to the field width (spaces, or zeros after `prefix`
// when asked for and allowed).
void PutField(Sink &out, const Spec &spec, std::u16string_view prefix, std::u16string_view body,
              bool zeroAllowed) {
    const size_t length = prefix.size() + body.size();
    const size_t pad = spec.width > 0 && static_cast<size_t>(spec.width) > length
                           ? static_cast<size_t>(spec.width) - length
                           : 0;
    if (spec.left) {
        out.Put(prefix);
        out.Put(body);
        out.Pad(pad, u' ');
    } else if (spec.zero && zeroAllowed) {
        out.Put(prefix);
        out.Pad(pad, u'0');
        out.Put(body);
    } else {
        out.Pad(pad, u' ');
        out.Put(prefix);
        out.Put(body);
    }
}

std::u16string Digits(unsigned long long value, unsigned base, bool upper, int precision) {
    std::u16string digits;
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    while (value) {
        digits.push_back(static_cast<char16_t>(set[value % base]));
        value /= base;
    }
    if (precision < 0 && digits.empty())
        digits.push_back(u'0');
    while (precision > 0 && digits.size() < static_cast<size_t>(precision))
        digits.push_back(u'0');
    std::reverse(digits.begin(), digits.end());
    return digits;
}

// The argument list travels between the helpers as a pointer to a va_list
// (a va_list parameter is an array that decays to a pointer on x86-64).
using ArgList = va_list *;

// The analyzer looks at these helpers alone and cannot see that every
// caller hands them an initialised list (va_copy in wvsprintfW/_vsnwprintf).
// NOLINTBEGIN(clang-analyzer-valist.Uninitialized)

long long SignedArg(ArgList args, Size size) {
    switch (size) {
    case Size::LongLong:
        return va_arg(*args, long long);
    case Size::Pointer:
        return static_cast<long long>(va_arg(*args, intptr_t));
    case Size::Short:
        return static_cast<short>(va_arg(*args, int));
    default:
        return va_arg(*args, int); // also %ld: LONG is 32 bits
    }
}

unsigned long long UnsignedArg(ArgList args, Size size) {
    switch (size) {
    case Size::LongLong:
        return va_arg(*args, unsigned long long);
    case Size::Pointer:
        return static_cast<unsigned long long>(va_arg(*args, uintptr_t));
    case Size::Short:
        return static_cast<unsigned short>(va_arg(*args, unsigned int));
    default:
        return va_arg(*args, unsigned int);
    }
}

void FormatDouble(Sink &out, const Spec &spec, char type, double value) {
    std::string format = "%";
    if (spec.left)
        format += '-';
    if (spec.plus)
        format += '+';
    if (spec.space)
        format += ' ';
    if (spec.zero)
        format += '0';
    if (spec.alternate)
        format += '#';
    format += "*.*";
    format += type;
    const int width = std::min(spec.width, 1000);
    const int precision = spec.precision < 0 ? 6 : std::min(spec.precision, 100);
    char buffer[1400];
    const int length =
        std::snprintf(buffer, sizeof buffer, format.c_str(), width, precision, value);
    for (int i = 0; i < length && i < static_cast<int>(sizeof buffer) - 1; ++i)
        out.Put(static_cast<char16_t>(static_cast<unsigned char>(buffer[i])));
}

// Formats into `out`; stops collecting at the sink's limit.
void Format(Sink &out, const WCHAR *format, ArgList args) {
    const WCHAR *p = format;
    while (*p && !out.Overflow()) {
        if (*p != u'%') {
            out.Put(*p++);
            continue;
        }
        ++p;
        Spec spec;
        for (;; ++p) {
            if (*p == u'-')
                spec.left = true;
            else if (*p == u'+')
                spec.plus = true;
            else if (*p == u' ')
                spec.space = true;
            else if (*p == u'0')
                spec.zero = true;
            else if (*p == u'#')
                spec.alternate = true;
            else
                break;
        }
        if (*p == u'*') {
            spec.width = va_arg(*args, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = spec.width == INT32_MIN ? INT32_MAX : -spec.width;
            }
            ++p;
        } else {
            while (*p >= u'0' && *p <= u'9')
                spec.width = std::min(spec.width * 10 + (*p++ - u'0'), 1 << 24);
        }
        if (*p == u'.') {
            ++p;
            spec.precision = 0;
            if (*p == u'*') {
                spec.precision = va_arg(*args, int);
                if (spec.precision < 0)
                    spec.precision = -1;
                ++p;
            } else {
                while (*p >= u'0' && *p <= u'9')
                    spec.precision = std::min(spec.precision * 10 + (*p++ - u'0'), 1 << 24);
            }
        }
        // Size prefixes.
        if (*p == u'h') {
            spec.size = Size::Short;
            ++p;
        } else if (*p == u'l' && p[1] == u'l') {
            spec.size = Size::LongLong;
            p += 2;
        } else if (*p == u'l' || *p == u'w') {
            spec.size = Size::Long;
            ++p;
        } else if (*p == u'I' && p[1] == u'6' && p[2] == u'4') {
            spec.size = Size::LongLong;
            p += 3;
        } else if (*p == u'I' && p[1] == u'3' && p[2] == u'2') {
            spec.size = Size::Long;
            p += 3;
        } else if (*p == u'I') {
            spec.size = Size::Pointer;
            ++p;
        }
        const WCHAR type = *p;
        if (!type)
            break;
        ++p;
        switch (type) {
        case u'%':
            out.Put(u'%');
            break;
        case u'c':
        case u'C': {
            const bool narrow =
                spec.size == Size::Short || (type == u'C' && spec.size != Size::Long);
            const int value = va_arg(*args, int);
            const char16_t c =
                narrow ? platform::kernel::AnsiToWide(std::string(1, static_cast<char>(value)))[0]
                       : static_cast<char16_t>(value);
            PutField(out, spec, u"", std::u16string_view(&c, 1), false);
            break;
        }
        case u's':
        case u'S': {
            const bool narrow =
                spec.size == Size::Short || (type == u'S' && spec.size != Size::Long);
            std::u16string text;
            if (narrow) {
                const char *s = va_arg(*args, const char *);
                if (!s) {
                    text = u"(null)";
                } else {
                    // Read no further than the precision allows.
                    size_t n = 0;
                    while (s[n] && (spec.precision < 0 || n < static_cast<size_t>(spec.precision)))
                        ++n;
                    text = platform::kernel::AnsiToWide(std::string_view(s, n));
                }
            } else {
                const WCHAR *s = va_arg(*args, const WCHAR *);
                if (!s) {
                    text = u"(null)";
                } else {
                    size_t n = 0;
                    while (s[n] && (spec.precision < 0 || n < static_cast<size_t>(spec.precision)))
                        ++n;
                    text.assign(s, n);
                }
            }
            if (spec.precision >= 0 && text.size() > static_cast<size_t>(spec.precision))
                text.resize(static_cast<size_t>(spec.precision));
            PutField(out, spec, u"", text, false);
            break;
        }
        case u'd':
        case u'i': {
            const long long value = SignedArg(args, spec.size);
            const unsigned long long magnitude = value < 0
                                                     ? 0ULL - static_cast<unsigned long long>(value)
                                                     : static_cast<unsigned long long>(value);
            const std::u16string sign = value < 0    ? u"-"
                                        : spec.plus  ? u"+"
                                        : spec.space ? u" "
                                                     : u"";
            PutField(out, spec, sign, Digits(magnitude, 10, false, spec.precision),
                     spec.precision < 0);
            break;
        }
        case u'u':
        case u'x':
        case u'X':
        case u'o': {
            const unsigned long long value = UnsignedArg(args, spec.size);
            const unsigned base = type == u'u' ? 10 : type == u'o' ? 8 : 16;
            std::u16string prefix;
            std::u16string digits = Digits(value, base, type == u'X', spec.precision);
            if (spec.alternate && value != 0) {
                if (type == u'x')
                    prefix = u"0x";
                else if (type == u'X')
                    prefix = u"0X";
                else if (type == u'o' && (digits.empty() || digits[0] != u'0'))
                    digits.insert(digits.begin(), u'0');
            }
            PutField(out, spec, prefix, digits, spec.precision < 0);
            break;
        }
        case u'p': {
            const auto value = reinterpret_cast<uintptr_t>(va_arg(*args, void *));
            PutField(out, spec, u"", Digits(value, 16, true, 2 * sizeof(void *)), false);
            break;
        }
        case u'e':
        case u'E':
        case u'f':
        case u'g':
        case u'G':
            FormatDouble(out, spec, static_cast<char>(type), va_arg(*args, double));
            break;
        case u'n':
            (void)va_arg(*args, void *);
            break;
        default:
            out.Put(type);
            break;
        }
    }
}

// NOLINTEND(clang-analyzer-valist.Uninitialized)

} // namespace

// ---------------------------------------------------------------- formatting

// Writes at most 1023 characters and a terminator; answers the number of
// characters written without the terminator.
int WINAPI wvsprintfW(LPWSTR buffer, LPCWSTR format, va_list args) {
    if (!buffer || !format)
        return 0;
    Sink out(kWsprintfLimit - 1);
    va_list copy;
    va_copy(copy, args);
    Format(out, format, &copy);
    va_end(copy);
    const std::u16string &text = out.Text();
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return static_cast<int>(text.size());
}

int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    const int written = wvsprintfW(buffer, format, args);
    va_end(args);
    return written;
}

// As the Microsoft C run-time: when the text and its terminator fit, both
// are written and the length answered; when exactly the text fits, it is
// written without terminator and its length answered; else `count`
// characters are written without terminator and -1 answered.
int _vsnwprintf(LPWSTR buffer, size_t count, LPCWSTR format, va_list args) {
    if (!format || (!buffer && count > 0))
        return -1;
    Sink out(count);
    va_list copy;
    va_copy(copy, args);
    Format(out, format, &copy);
    va_end(copy);
    const std::u16string &text = out.Text();
    std::copy(text.begin(), text.end(), buffer);
    if (out.Overflow())
        return -1;
    if (text.size() < count)
        buffer[text.size()] = 0;
    return static_cast<int>(text.size());
}

int _snwprintf(LPWSTR buffer, size_t count, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    const int written = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return written;
}

// ---------------------------------------------------------------- lstr*

// NULL counts as empty.
int WINAPI lstrlenW(LPCWSTR text) {
    return text ? static_cast<int>(std::char_traits<char16_t>::length(text)) : 0;
}

// Ordinal comparisons (Windows compares by a linguistic sort; for the
// ASCII text of this system the order is the same but for punctuation).
// Answers -1, 0 or 1. NULL sorts before any string, two NULLs are equal.
int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b) {
    if (!a || !b)
        return (a ? 1 : 0) - (b ? 1 : 0);
    const int order = std::u16string_view(a).compare(std::u16string_view(b));
    return (order > 0) - (order < 0);
}

// As lstrcmpW, folding ASCII and Latin-1 letters.
int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    if (!a || !b)
        return (a ? 1 : 0) - (b ? 1 : 0);
    return platform::text::CompareIgnoreCase(a, b);
}
