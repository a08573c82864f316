// utf8.cpp — see utf8.h.
#include "common/utf8.h"

namespace {

bool InRange(const char *text, std::size_t i, unsigned low, unsigned high) {
    const auto c = static_cast<unsigned char>(text[i]);
    return c >= low && c <= high;
}

} // namespace

std::size_t Utf8PrintableLength(const char *text, std::size_t available) {
    if (text == nullptr || available < 2)
        return 0;
    const auto lead = static_cast<unsigned char>(text[0]);
    // The second byte's range rules out overlong forms, surrogates, values
    // past U+10FFFF and the C1 controls.
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;
    if (lead == 0xC2) {
        length = 2, low = 0xA0;
    } else if (lead >= 0xC3 && lead <= 0xDF) {
        length = 2;
    } else if (lead == 0xE0) {
        length = 3, low = 0xA0;
    } else if (lead == 0xED) {
        length = 3, high = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
        length = 3;
    } else if (lead == 0xF0) {
        length = 4, low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        length = 4;
    } else if (lead == 0xF4) {
        length = 4, high = 0x8F;
    }
    if (length == 0 || available < length || !InRange(text, 1, low, high))
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!InRange(text, i, 0x80, 0xBF))
            return 0;
    return length;
}
