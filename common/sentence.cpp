// sentence.cpp — sentence checksum and token search.
#include "common/sentence.h"

#include <cstring>

namespace {

// XOR of the bytes after the leading "$" up to the first "*" (or n); star
// gets the position it stopped at.
unsigned char BodyChecksum(const char *text, size_t n, size_t &star) {
    size_t i = 1; // the leading "$" is not counted
    unsigned char x = 0;
    while (i < n && text[i] != '*') {
        x ^= static_cast<unsigned char>(text[i]);
        ++i;
    }
    star = i;
    return x;
}

const char kHexDigits[] = "0123456789ABCDEF";

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

void ChecksumSentence(char *text, size_t capacity) {
    if (text == nullptr || capacity == 0)
        return;
    const size_t n = strnlen(text, capacity);
    size_t i = 0;
    const unsigned char x = BodyChecksum(text, n, i);
    // No "*": nothing to complete. No room for two digits and the
    // terminator: leave the text as it is rather than overrun.
    if (i >= n || i + 3 >= capacity)
        return;
    text[i + 1] = kHexDigits[x >> 4];
    text[i + 2] = kHexDigits[x & 15];
    text[i + 3] = '\0';
}

bool SentenceChecksumValid(const char *text, size_t length) {
    if (text == nullptr || length == 0 || text[0] != '$')
        return false;
    size_t star = 0;
    const unsigned char x = BodyChecksum(text, length, star);
    if (star + 3 != length)
        return false;
    return Upper(text[star + 1]) == kHexDigits[x >> 4] &&
           Upper(text[star + 2]) == kHexDigits[x & 15];
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
