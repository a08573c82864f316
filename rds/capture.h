// capture.h — reader of recorded RDS logs: RDS Spy ".spy" and ".rds" hex
// group logs and redsea's "-o hex" output, one group a line. The line rules
// here are the only ones: the capture replay, the stack's command radio,
// tmcview, the tests and the benchmarks all read lines with ParseGroupLine.
//
// A line, after its line end and the spaces and tabs at either end:
//  - empty: skipped;
//  - starting with '<' or '%': a header ("<recorder=RDS Spy>", "% Freq
//    88500, ..."), skipped; "% Freq N" gives a capture's frequency;
//  - else a group: four blocks PI, B, C, D separated by runs of spaces or
//    tabs, each four hex digits in either case or "----" for a block the
//    receiver could not decode; then, optionally, blanks and a time stamp
//    "@..." ("@2017/12/27 18:22:00.339", or whatever form a recorder
//    chose). The stamp is ignored; it is refused only when it holds a
//    control character or a second '@' (two lines run together).
// Anything else is malformed. A file with a malformed line is refused whole
// with "file:line: message"; a line reader elsewhere counts it as bad.
#ifndef TAVRINEL_EMULATOR_CAPTURE_H
#define TAVRINEL_EMULATOR_CAPTURE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rdsgroup.h"

namespace rds {

inline constexpr std::size_t kMaxCaptureBytes = 64u << 20;
inline constexpr std::size_t kMaxCaptureLine = 4096;

struct Capture {
    std::vector<Group> groups;
    std::uint32_t frequencyKHz = 0; // first "% Freq" header, 0 when none
};

enum class LineKind {
    Group,  // `group` holds the line's group
    Header, // empty or a header line: no group
    Bad,    // `why` says what is malformed
};

// One line by the rules above; `group` is set only for a group line.
LineKind ParseGroupLine(std::string_view line, Group &group, std::string &why);

// Parses text; `name` is the file name used in error messages.
bool ParseCapture(std::string_view text, const std::string &name, Capture &capture,
                  std::string &error);
bool ReadCapture(const std::string &path, Capture &capture, std::string &error);

// Reads a whole regular file of at most `limit` bytes; anything else (a
// FIFO, a device, a folder) is refused with a reason, never waited for.
bool ReadRegularFile(const std::string &path, std::size_t limit, std::string &text,
                     std::string &error);

// Appends the 12 raw stack bytes of a group: every decoded block with its
// expected status byte, a missing block as zero data with a damaged status.
void AppendRawGroup(const Group &group, std::vector<std::uint8_t> &out);

} // namespace rds

#endif // TAVRINEL_EMULATOR_CAPTURE_H
