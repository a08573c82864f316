// utf8.h — recognising UTF-8 characters in text that may be anything.
#ifndef TAVRINEL_COMMON_UTF8_H
#define TAVRINEL_COMMON_UTF8_H

#include <cstddef>

// Length (2 to 4) of the well-formed UTF-8 character that starts `text`
// (`available` bytes readable), or 0 when none does. The encodings of the
// C1 controls U+0080-U+009F answer 0: a UTF-8 terminal acts on them.
std::size_t Utf8PrintableLength(const char *text, std::size_t available);

#endif // TAVRINEL_COMMON_UTF8_H
