// scenario.h — the FM stack simulator's scenario: the band of stations it
// receives and how it behaves. Plain text, one directive a line; the format
// is documented in emulator/fmstack/scenarios/README.md. A malformed file is refused
// as a whole with "file:line: message".
#ifndef TAVRINEL_EMULATOR_SCENARIO_H
#define TAVRINEL_EMULATOR_SCENARIO_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../rds/capture.h"
#include "../rds/rawstream.h"
#include "../rds/rdsgen.h"

namespace fms {

inline constexpr std::size_t kMaxScenarioBytes = 1u << 20;
inline constexpr std::size_t kMaxScenarioLine = 4096;
inline constexpr std::size_t kMaxStations = 256;
inline constexpr std::size_t kMaxAfPerStation = 25;
inline constexpr unsigned kMaxSignal = 127;
inline constexpr std::uint32_t kMaxLatencyMs = 60000;
inline constexpr double kMaxRate = 1000.0;
inline constexpr unsigned kMaxRunBytes = 4096;
// All capture files of one scenario together (each is shared by the stations naming it).
inline constexpr std::uint64_t kMaxCaptureTotalBytes = 256ull << 20;

// The three bands: 0 Europe/US, 1 Japan, 2 Japan wide. Steps of 100 kHz.
struct BandLimits {
    std::uint32_t lowKHz;
    std::uint32_t highKHz;
};
inline constexpr BandLimits kBands[3] = {{87500, 108000}, {76000, 91000}, {76000, 108000}};
inline constexpr std::uint32_t kStepKHz = 100;

enum class RdsKind { None, Generated, Capture };

struct Station {
    std::uint32_t frequencyKHz = 0;
    unsigned signal = 0;
    std::uint16_t pi = 0;
    RdsKind rds = RdsKind::None;
    rds::GeneratorConfig generator;              // RdsKind::Generated
    std::shared_ptr<const rds::Capture> capture; // RdsKind::Capture
    std::string capturePath;
    std::vector<std::uint32_t> afKHz; // alternative frequencies
    std::uint32_t afJumpAfterMs = 0;  // 0: only on request
    bool clockGiven = false;          // else the device's clock at tune
};

struct Scenario {
    std::string name;
    std::uint32_t seed = 1;
    std::uint32_t latencyMs = 5;
    double rate = 1.0; // RDS speed relative to broadcast
    unsigned band = 0;
    std::uint32_t frequencyKHz = 90000; // tuned at power-on until changed
    unsigned searchLevel = 20;
    unsigned noise = 8; // signal where no station is
    rds::ErrorRates errors;
    unsigned runMin = 1; // RDS bytes per data event
    unsigned runMax = 64;
    std::uint32_t seekStepMs = 15; // device time per 100 kHz seek step
    std::vector<Station> stations;

    [[nodiscard]] const Station *find(std::uint32_t frequencyKHz) const;
};

// `baseDir` resolves relative capture paths (the scenario file's folder).
bool ParseScenario(std::string_view text, const std::string &name, const std::string &baseDir,
                   Scenario &scenario, std::string &error);
bool LoadScenarioFile(const std::string &path, Scenario &scenario, std::string &error);

// The built-in default (the text of emulator/fmstack/scenarios/default.scn).
[[nodiscard]] std::string_view DefaultScenarioText();

} // namespace fms

#endif // TAVRINEL_EMULATOR_SCENARIO_H
