// tmcview's input: receiver sentences and capture lines from anywhere, then
// the groups they carry through the decoder. The first byte picks whether
// the rest is text or raw groups (9 bytes each: four blocks and a lost-block
// mask), so that the decoder also sees every bit pattern directly.
#include <cstdint>
#include <string>

#include "decoder.h"
#include "input.h"

namespace {

// Every object is one line of JSON: braces balanced outside strings, no raw
// control characters.
void CheckJson(const std::string &json) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const auto c = static_cast<unsigned char>(json[i]);
        if (c < 0x20)
            __builtin_trap();
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    if (depth != 0 || inString || json.empty() || json.front() != '{')
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    tmcview::Decoder decoder;
    std::string json;
    double now = 0;
    auto decode = [&](const rds::Group &g) {
        decoder.Decode(g, now += 0.1, &json);
        CheckJson(json);
    };
    if (data[0] & 1u) {
        tmcview::LineSplitter splitter;
        auto onLine = [&](const tmcview::Line &line) {
            if (line.kind == tmcview::LineKind::Group)
                decode(line.group);
            else if (line.kind == tmcview::LineKind::Tune)
                decoder.Reset();
        };
        splitter.Feed(reinterpret_cast<const char *>(data + 1), size - 1, onLine);
        splitter.Finish(onLine);
    } else {
        constexpr std::size_t kRecord = 9;
        for (std::size_t at = 1; at + kRecord <= size; at += kRecord) {
            rds::Group g;
            for (std::size_t b = 0; b < rds::kBlocksPerGroup; ++b)
                g.block[b] =
                    static_cast<std::uint16_t>(data[at + 2 * b] << 8 | data[at + 2 * b + 1]);
            g.missing = data[at + 8] & 15u;
            decode(g);
        }
    }
    if (decoder.messages().size() > tmcview::kMaxMessages)
        __builtin_trap();
    return 0;
}
