// rdsgen.h — the project's own RDS group generator: a station's broadcast
// of PI, PS name (0A), radiotext (2A), clock time (4A), TMC system
// information (3A, ODA 0xCD46) and single-group TMC user messages (8A), in a
// plausible broadcast mix (about 16 % 8A when TMC is on).
#ifndef TAVRINEL_EMULATOR_RDSGEN_H
#define TAVRINEL_EMULATOR_RDSGEN_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "rdsgroup.h"

namespace rds {

inline constexpr std::size_t kPsChars = 8;
inline constexpr std::size_t kRadiotextChars = 64;
inline constexpr std::uint16_t kTmcAid = 0xCD46;
inline constexpr unsigned kMaxTmcMessages = 32;

// A date and time of day in UTC with the local offset in half hours.
struct ClockTime {
    int year = 2024;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int offsetHalfHours = 0; // -24..24
};

struct TmcMessage {
    std::uint16_t event = 0;    // 11 bits
    std::uint16_t location = 0; // location code of the table
    std::uint8_t extent = 0;    // 3 bits
    std::uint8_t duration = 0;  // 3 bits, duration and persistence
    bool direction = false;     // negative direction when set
    bool diversion = false;
};

struct GeneratorConfig {
    std::uint16_t pi = 0xD318;
    std::string ps = "TAVRINEL";
    std::string radiotext; // empty: no 2A groups
    std::uint8_t pty = 0;  // 5 bits
    bool tp = false;
    bool tmc = false;
    std::uint8_t ltn = 1;             // TMC location table number, 6 bits
    std::uint8_t sid = 1;             // TMC service identifier, 6 bits
    unsigned tmcMessages = 4;         // distinct 8A messages in rotation, 1..kMaxTmcMessages
    bool clock = true;                // 4A groups
    ClockTime start;                  // clock time of group 0
    std::vector<std::uint32_t> afKHz; // alternative frequencies (87.6..107.9 MHz)
    std::uint32_t seed = 1;
};

// Modified Julian Day of a calendar date.
[[nodiscard]] std::uint32_t ModifiedJulianDay(int year, int month, int day);

// Block builders (block A is the PI in every group).
[[nodiscard]] Group MakePsGroup(const GeneratorConfig &config, unsigned segment, std::uint16_t af);
[[nodiscard]] Group MakeRadiotextGroup(const GeneratorConfig &config, unsigned segment,
                                       bool abFlag);
[[nodiscard]] Group MakeClockGroup(const GeneratorConfig &config, const ClockTime &time);
[[nodiscard]] Group MakeTmcSystemGroup(const GeneratorConfig &config, unsigned variant);
[[nodiscard]] Group MakeTmcUserGroup(const GeneratorConfig &config, const TmcMessage &message);

// Number of 2A segments that carry `text` (it ends with 0x0D when shorter
// than 64 characters).
[[nodiscard]] unsigned RadiotextSegments(const std::string &text);

// An endless, reproducible stream of groups for one station.
class GroupGenerator {
public:
    explicit GroupGenerator(GeneratorConfig config);

    [[nodiscard]] Group next();
    [[nodiscard]] const std::vector<TmcMessage> &tmcMessages() const { return messages_; }
    [[nodiscard]] const GeneratorConfig &config() const { return config_; }

private:
    [[nodiscard]] Group nextScheduled();
    [[nodiscard]] ClockTime timeAt(std::uint64_t group) const;

    GeneratorConfig config_;
    std::vector<TmcMessage> messages_;
    std::vector<std::uint16_t> afPairs_; // block C words of the 0A groups
    std::uint64_t count_ = 0;
    unsigned slot_ = 0;
    unsigned psSegment_ = 0;
    unsigned rtSegment_ = 0;
    unsigned afIndex_ = 0;
    unsigned tmcIndex_ = 0;
    unsigned tmcVariant_ = 0;
    long long lastClockMinute_ = -1;
};

} // namespace rds

#endif // TAVRINEL_EMULATOR_RDSGEN_H
