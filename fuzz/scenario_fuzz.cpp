// Scenario text from anywhere: the parser refuses it with a located error
// or accepts it, never crashes or runs away.
#include <cstdint>
#include <string>
#include <string_view>

#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fms::Scenario scenario;
    std::string error;
    const bool ok = fms::ParseScenario(std::string_view(reinterpret_cast<const char *>(data), size),
                                       "fuzz.scn", "/nonexistent", scenario, error);
    if (!ok && error.rfind("fuzz.scn:", 0) != 0)
        __builtin_trap(); // every refusal names the file
    return 0;
}
