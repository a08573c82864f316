// resource_reader.h — reads resource bytes (dialog and menu templates) that
// come from a module: every read is bounds-checked, a string is cut off at
// a limit rather than grown without end.
#ifndef TAVRINEL_PLATFORM_SHELL_RESOURCE_READER_H
#define TAVRINEL_PLATFORM_SHELL_RESOURCE_READER_H

#include <cstring>
#include <string>

#include "windows.h"

namespace platform::shell::detail {

class ResourceReader {
public:
    // `maxString`: the longest string accepted, in UTF-16 units.
    ResourceReader(const BYTE *data, size_t size, size_t maxString)
        : data_(data), size_(size), maxString_(maxString) {}

    bool Word(WORD &out) { return Bytes(&out, sizeof out); }
    bool Bytes(void *out, size_t count) {
        if (offset_ > size_ || size_ - offset_ < count)
            return false;
        std::memcpy(out, data_ + offset_, count);
        offset_ += count;
        return true;
    }
    bool Skip(size_t count) {
        if (offset_ > size_ || size_ - offset_ < count)
            return false;
        offset_ += count;
        return true;
    }
    bool AlignDword() { return Skip((4 - offset_ % 4) % 4); }
    // A zero-terminated string.
    bool String(std::u16string &out) {
        out.clear();
        for (;;) {
            WORD ch = 0;
            if (!Word(ch))
                return false;
            if (ch == 0)
                return true;
            if (out.size() >= maxString_)
                return false;
            out.push_back(static_cast<char16_t>(ch));
        }
    }
    // 0x0000 (none), 0xFFFF + ordinal, or a string.
    bool StringOrOrdinal(std::u16string &text, WORD &ordinal, bool &isOrdinal) {
        isOrdinal = false;
        ordinal = 0;
        text.clear();
        WORD first = 0;
        if (!Word(first))
            return false;
        if (first == 0)
            return true;
        if (first == 0xFFFF) {
            isOrdinal = true;
            return Word(ordinal);
        }
        offset_ -= 2;
        return String(text);
    }

private:
    const BYTE *data_;
    size_t size_;
    size_t maxString_;
    size_t offset_ = 0;
};

} // namespace platform::shell::detail

#endif // TAVRINEL_PLATFORM_SHELL_RESOURCE_READER_H
