// text.h — UTF-8/UTF-16 conversion and case folding shared by the
// stand-in's sources.
#ifndef TAVRINEL_PLATFORM_TEXT_H
#define TAVRINEL_PLATFORM_TEXT_H

#include <string>
#include <string_view>

namespace platform::text {

// Malformed input becomes U+FFFD; never throws on bad data.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
// Appends one code point (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string &out, char32_t cp);

// Case folding as the registry and the object manager use it: ASCII and
// Latin-1 letters fold; other characters compare as they are.
char16_t FoldCase(char16_t c);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);
int CompareIgnoreCase(std::u16string_view a, std::u16string_view b);

} // namespace platform::text

#endif // TAVRINEL_PLATFORM_TEXT_H
