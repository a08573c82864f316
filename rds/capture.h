// capture.h — reader of recorded RDS logs (RDS Spy ".spy" and ".rds" hex
// group logs): one group a line, "PI B C D @yyyy/mm/dd hh:mm:ss.cc", four hex
// digits a block, "----" for a block the receiver could not decode.
//
// Header lines ("<recorder=...>", lines starting with '%') and empty lines
// are skipped; "% Freq N" gives the frequency. Any other line must be a
// group line; a malformed one refuses the whole file with "file:line:
// message". The timestamp is optional and not interpreted beyond its shape.
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

// One group line without its line end or trailing blanks: "PI B C D",
// optionally followed by " @timestamp". False with the reason when malformed.
bool ParseGroupLine(std::string_view line, Group &group, std::string &why);

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
