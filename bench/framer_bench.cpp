// Framer throughput through the library's real interface: a session opened
// over the recording fake stack, an RDS callback installed, and raw RDS
// bytes delivered as type 8 events through the stack's captured callback.
// Each stream is measured beside a memcpy of the same runs, the ceiling.
//
// Streams: clean; 5 % of groups damaged (a status byte off); 5 % of groups
// missing a byte. Runs: realistic (12..64 bytes, not aligned to groups) or
// 1 KiB.
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "fake_stack.h"

#include <fmapi.h>
#include <fmstack_rds.h>
#include <platform/emulation.h>

namespace {

constexpr size_t kGroups = 16384; // groups per stream pass
constexpr size_t kGroupBytes = kFmsRdsGroupBytes;
constexpr WORD kPi = 0xD395;

enum Stream { kClean = 0, kDamaged = 1, kLostBytes = 2 };
enum Runs { kRealistic = 0, kKiB = 1 };

uint64_t delivered = 0;

void CountGroup(HFMTUNER, const RdsGroupRecord *group) {
    benchmark::DoNotOptimize(group->wBlockB);
    ++delivered;
}

std::vector<uint8_t> MakeStream(Stream kind) {
    std::mt19937 random(1187);
    std::vector<uint8_t> bytes;
    bytes.reserve(kGroups * kGroupBytes);
    for (size_t i = 0; i < kGroups; ++i) {
        uint8_t group[kGroupBytes] = {kPi >> 8, kPi & 0xFF};
        for (size_t block = 0; block < kFmsRdsBlocks; ++block) {
            uint8_t *raw = group + block * kFmsRdsBlockBytes;
            if (block > 0) {
                raw[kFmsRdsDataHigh] = static_cast<uint8_t>(random());
                raw[kFmsRdsDataLow] = static_cast<uint8_t>(random());
            }
            raw[kFmsRdsStatus] = kFmsRdsBlockStatus[block];
        }
        size_t size = kGroupBytes;
        if (kind != kClean && random() % 100 < 5) {
            if (kind == kDamaged)
                group[kFmsRdsStatus + kFmsRdsBlockBytes * (random() % kFmsRdsBlocks)] ^=
                    0x01; // a status byte off: rejected
            else
                size = kGroupBytes - 1; // the last status byte lost
        }
        bytes.insert(bytes.end(), group, group + size);
    }
    return bytes;
}

std::vector<size_t> MakeRuns(size_t total, Runs kind) {
    std::mt19937 random(425);
    std::vector<size_t> runs;
    for (size_t at = 0; at < total;) {
        const size_t run = std::min(total - at, kind == kKiB ? size_t{1024} : 12 + random() % 53);
        runs.push_back(run);
        at += run;
    }
    return runs;
}

struct Session {
    HFMTUNER handle = nullptr;
    FmsEventCallback callback = nullptr;

    Session() {
        const char *dir = std::getenv("TAVRINEL_MODULE_DIR");
        const std::string moduleDir = dir != nullptr ? std::string(dir) : platform::GetModuleDir();
        platform::MapModule(u"FMS_API.dll", moduleDir + "/FakeStack.dll");
        handle = FMOpen(0);
        if (handle != nullptr) {
            FMSetProp(handle, FMPROP_RDS_CALLBACK, reinterpret_cast<DWORD_PTR>(&CountGroup));
            callback = fakestack::Callback();
        }
    }
};

Session &session() {
    static Session instance;
    return instance;
}

void Label(benchmark::State &state, Stream stream, Runs runs) {
    static const char *const streams[] = {"clean", "5% damaged", "lost bytes"};
    state.SetLabel(std::string(streams[stream]) +
                   (runs == kKiB ? ", 1 KiB runs" : ", 12..64 B runs"));
}

void BM_Framer(benchmark::State &state) {
    const auto stream = static_cast<Stream>(state.range(0));
    const auto runKind = static_cast<Runs>(state.range(1));
    Session &s = session();
    if (s.callback == nullptr) {
        state.SkipWithError("no session over the fake stack (TAVRINEL_MODULE_DIR?)");
        return;
    }
    const std::vector<uint8_t> bytes = MakeStream(stream);
    const std::vector<size_t> runs = MakeRuns(bytes.size(), runKind);
    fakestack::Deliver(fakestack::TuneComplete(90000)); // start unlocked and empty

    StackEvent event = fakestack::OfType(STACK_EVENT_RDS_DATA);
    delivered = 0;
    for (auto _ : state) {
        const uint8_t *at = bytes.data();
        for (size_t run : runs) {
            event.u.rds.length = static_cast<WORD>(run);
            event.u.rds.data = reinterpret_cast<DWORD_PTR>(at);
            s.callback(&event);
            at += run;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.SetItemsProcessed(static_cast<int64_t>(delivered));
    state.counters["groups/s"] =
        benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
    state.counters["groups/pass"] = static_cast<double>(delivered) / state.iterations();
    Label(state, stream, runKind);
}

// The ceiling: copying the same runs into a buffer the size of the framer's.
void BM_Memcpy(benchmark::State &state) {
    const auto stream = static_cast<Stream>(state.range(0));
    const auto runKind = static_cast<Runs>(state.range(1));
    const std::vector<uint8_t> bytes = MakeStream(stream);
    const std::vector<size_t> runs = MakeRuns(bytes.size(), runKind);
    std::vector<uint8_t> buffer(2048);
    for (auto _ : state) {
        const uint8_t *at = bytes.data();
        for (size_t run : runs) {
            std::memcpy(buffer.data(), at, run);
            benchmark::ClobberMemory();
            at += run;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    Label(state, stream, runKind);
}

void Streams(benchmark::internal::Benchmark *b) {
    for (int stream : {kClean, kDamaged, kLostBytes})
        for (int runs : {kRealistic, kKiB})
            b->Args({stream, runs});
}

BENCHMARK(BM_Framer)->Apply(Streams);
BENCHMARK(BM_Memcpy)->Apply(Streams);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // Close while the fake stack is still there to answer.
    if (session().handle != nullptr) {
        FMSetProp(session().handle, FMPROP_RDS_CALLBACK, 0);
        FMClose(session().handle);
    }
    return 0;
}
