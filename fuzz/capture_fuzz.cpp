// Capture files from anywhere: parsed or refused, never a crash.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    rds::Capture capture;
    std::string error;
    if (rds::ParseCapture(std::string_view(reinterpret_cast<const char *>(data), size), "fuzz.spy",
                          capture, error)) {
        std::vector<std::uint8_t> raw;
        for (const auto &group : capture.groups)
            rds::AppendRawGroup(group, raw);
        if (raw.size() != capture.groups.size() * 12)
            __builtin_trap();
    }
    return 0;
}
