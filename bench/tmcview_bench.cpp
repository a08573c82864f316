// tmcview's decoding speed in groups per second, beside the 11.4 groups/s a
// station broadcasts: receiver sentences parsed and decoded, with and without
// the JSON text, on a station mix with traffic messages (hand-made groups),
// and on a real capture when ../shared/rds is there (TMCVIEW_CAPTURE=FILE).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "decoder.h"
#include "input.h"

namespace {

// One sentence per group, as the port sends them.
std::string Sentence(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
    char text[64];
    std::snprintf(text, sizeof text, "$RTTMC,%d,%X,%X,%X,%X*", b >> 12, a, b, c, d);
    unsigned x = 0;
    for (const char *p = text + 1; *p != '*'; ++p)
        x ^= static_cast<unsigned char>(*p);
    char out[72];
    std::snprintf(out, sizeof out, "%s%02X\r\n", text, x);
    return out;
}

// A station cycle: basic tuning, radiotext, clock, the TMC announcement and
// single- and multi-group messages (about a sixth of the groups are 8A).
std::string StationMix(std::size_t groups) {
    const std::uint16_t pi = 0x1234;
    const std::vector<std::array<std::uint16_t, 3>> cycle = {
        {0x0100, 0xE0CD, 0x5441}, {0x2100, 0x5465, 0x7374}, {0x0101, 0xE0CD, 0x5652},
        {0x8108, 0x4123, 0x2345}, {0x0102, 0xE0CD, 0x494E}, {0x2101, 0x2074, 0x6578},
        {0x0103, 0xE0CD, 0x454C}, {0x3110, 0x0166, 0xCD46}, {0x8105, 0xC123, 0x3456},
        {0x0100, 0xE0CD, 0x5441}, {0x2102, 0x740D, 0x2020}, {0x8105, 0x592A, 0xA000},
        {0x0101, 0xE0CD, 0x5652}, {0x8105, 0x0140, 0x0000}, {0x4171, 0x7B3E, 0x71C4},
        {0x0102, 0xE0CD, 0x494E}, {0x8108, 0x0777, 0x0999}, {0x0103, 0xE0CD, 0x454C}};
    std::string text;
    for (std::size_t i = 0; i < groups; ++i) {
        const auto &g = cycle[i % cycle.size()];
        text += Sentence(pi, g[0], g[1], g[2]);
    }
    return text;
}

void Run(benchmark::State &state, const std::string &text, bool json) {
    std::uint64_t groups = 0;
    for (auto _ : state) {
        tmcview::Decoder decoder;
        tmcview::LineSplitter splitter;
        std::string out;
        std::size_t bytes = 0;
        auto onLine = [&](const tmcview::Line &line) {
            if (line.kind != tmcview::LineKind::Group)
                return;
            decoder.Decode(line.group, 0, json ? &out : nullptr);
            bytes += out.size();
        };
        splitter.Feed(text.data(), text.size(), onLine);
        splitter.Finish(onLine);
        groups += decoder.counters().groups;
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["groups/s"] =
        benchmark::Counter(static_cast<double>(groups), benchmark::Counter::kIsRate);
    state.counters["x broadcast"] =
        benchmark::Counter(static_cast<double>(groups) / 11.418, benchmark::Counter::kIsRate);
}

void BM_StationMix(benchmark::State &state) {
    static const std::string text = StationMix(10000);
    Run(state, text, state.range(0) != 0);
}
BENCHMARK(BM_StationMix)->Arg(0)->Arg(1)->ArgNames({"json"})->Unit(benchmark::kMillisecond);

void BM_Capture(benchmark::State &state) {
    const char *path = std::getenv("TMCVIEW_CAPTURE");
    std::ifstream in(path ? path : "");
    if (!in) {
        state.SkipWithError("set TMCVIEW_CAPTURE to a capture file");
        return;
    }
    std::stringstream text;
    text << in.rdbuf();
    Run(state, text.str(), true);
}
BENCHMARK(BM_Capture)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
