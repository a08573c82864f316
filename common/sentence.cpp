// sentence.cpp — sentence checksum and token search.
#include "common/sentence.h"

#include <cstring>

void ChecksumSentence(char *text, size_t capacity) {
    if (text == nullptr || capacity == 0)
        return;
    static const char kHexDigits[] = "0123456789ABCDEF";
    const size_t n = strnlen(text, capacity);
    size_t i = 1; // the leading "$" is not counted
    unsigned char x = 0;
    while (i < n && text[i] != '*') {
        x ^= static_cast<unsigned char>(text[i]);
        ++i;
    }
    // No "*": nothing to complete. No room for two digits and the
    // terminator: leave the text as it is rather than overrun.
    if (i >= n || i + 3 >= capacity)
        return;
    text[i + 1] = kHexDigits[x >> 4];
    text[i + 2] = kHexDigits[x & 15];
    text[i + 3] = '\0';
}

int FindToken(int start, const char *text, const char *token) {
    if (text == nullptr || token == nullptr || start < 0)
        return -1;
    const size_t length = std::strlen(text);
    const size_t tokenLength = std::strlen(token);
    if (static_cast<size_t>(start) >= length || tokenLength == 0)
        return -1;
    const char *found = std::strstr(text + start, token);
    return found == nullptr ? -1 : static_cast<int>(found - text);
}
