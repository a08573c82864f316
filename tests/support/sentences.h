// Receiver sentence checks written on their own terms (no project code), so
// that a fault in the driver's checksum cannot hide itself in the tests.
#ifndef TAVRINEL_TESTS_SUPPORT_SENTENCES_H
#define TAVRINEL_TESTS_SUPPORT_SENTENCES_H

#include <algorithm>
#include <cstdio>
#include <string>

namespace testsupport {

// XOR of the bytes between '$' and '*', as two upper-case hex digits.
inline std::string Checksum(const std::string &body) {
    unsigned sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char text[3];
    std::snprintf(text, sizeof text, "%02X", sum & 0xFFu);
    return text;
}

// "$BODY*HH": a valid checksum, printable ASCII only, no second '$'.
inline bool ValidSentence(const std::string &line) {
    const size_t star = line.find('*');
    if (line.size() < 4 || line[0] != '$' || star == std::string::npos || star + 3 != line.size() ||
        line.find('$', 1) != std::string::npos)
        return false;
    if (!std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7F; }))
        return false;
    return line.substr(star + 1) == Checksum(line.substr(1, star - 1));
}

// A command as a navigation program writes it: checksum and line end.
inline std::string Command(const std::string &body) {
    return "$" + body + "*" + Checksum(body) + "\r\n";
}

} // namespace testsupport

#endif // TAVRINEL_TESTS_SUPPORT_SENTENCES_H
