// Receiver port throughput, loss and latency, end to end in one process:
// a temporary device root with its registry, the GPS multiplexer as the
// phone registers it, Tavrinel.dll activated from its key on COM9 over the
// tuner library and the recording fake stack, and the phone's
// pseudo-terminal bridge serving the port. A reader thread opens
// ROOT/dev/COM9 as a navigation program does and reads continuously; a
// producer thread, acting as the stack's event thread, delivers RDS data
// events at a target rate in small bursts paced against a steady clock.
//
// Every group carries its sequence number (block C = low 16 bits, block
// D = high 16 bits), so the reader finds each lost or repeated sentence
// and the latency of each: the time it parsed the $RTTMC line minus the
// time the producer delivered the group.
//
// Two ways of reading the port: "wake", as the phone runs it (the producer
// wakes the bridge after each event, as the FM stack does after each batch;
// the bridge's safety poll stays at its default), and "poll:N" (no wake-up:
// the bridge reads every N ms, the only way before the radio woke it).
//
// Each event ends one byte into the next group: the framer hands a group
// out once a byte follows it, so every complete group is framed within the
// event that completed it (as with a real stack's runs, which do not
// respect group boundaries).
//
// Where the limit comes from: the driver keeps at most 2048 bytes of
// sentences; a sentence that does not fit restarts the buffer and drops
// every unread byte. Polling, the bridge empties it once per poll interval,
// so at about 31..33 bytes per sentence one poll interval can hold about 62
// sentences: ~6,200 groups/s at 10 ms, ~31,000 at 2 ms, less the jitter of
// the poll and of the producer. Woken, it empties it after every event (at
// most one burst a millisecond here); a late producer's backlog goes out in
// events of 64 bytes with a wake after each, and a wake waits (a little)
// for the bridge to have read what the previous one announced, so a bridge
// kept from running holds the producer back instead of losing groups.
//
//   port_bench [--benchmark_filter=REGEX]
// Names: Port/<groups per second>/wake and Port/<groups per second>/poll:<ms>.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "boot.h"
#include "fake_stack.h"
#include "gps_mux.h"
#include "pty_bridge.h"

#include <platform/devices.h>
#include <platform/emulation.h>
#include <windows.h>

#include <fmstack_rds.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Device-time waits (the 1 s settle after power-on, the 6 s unload) run this
// much faster; nothing on the data path reads the device clock.
constexpr double kClockSpeed = 100.0;
constexpr WORD kPi = 0xD318;
constexpr WORD kBlockB = 0x8548; // group 8A, TMC
constexpr size_t kGroupBytes = 12;
constexpr auto kBurstPeriod = 1ms;       // at most one burst per millisecond
constexpr size_t kEventBytes = 64;       // the FM stack's longest run by default
constexpr size_t kMaxBurstGroups = 4096; // a late producer catches up in bounded events
constexpr size_t kMaxLineBytes = 128;    // a longer line is garbage
constexpr DWORD kTunedKHz = 90000;
constexpr int kReadyTimeoutMs = 10000;

int64_t Nanos(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// The twelve raw bytes of group `seq`: all status bytes valid.
void GroupBytes(uint32_t seq, uint8_t *out) {
    const WORD blocks[4] = {kPi, kBlockB, static_cast<WORD>(seq & 0xFFFF),
                            static_cast<WORD>(seq >> 16)};
    for (size_t b = 0; b < kFmsRdsBlocks; ++b) {
        uint8_t *raw = out + b * kFmsRdsBlockBytes;
        raw[kFmsRdsDataHigh] = static_cast<uint8_t>(blocks[b] >> 8);
        raw[kFmsRdsDataLow] = static_cast<uint8_t>(blocks[b]);
        raw[kFmsRdsStatus] = kFmsRdsBlockStatus[b];
    }
}

// ---------------------------------------------------------------- the chain

class Chain {
public:
    Chain() {
        platform::SetClockSpeed(kClockSpeed);
        std::string pattern =
            std::filesystem::temp_directory_path().string() + "/port-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            error_ = "mkdtemp failed";
            return;
        }
        root_ = pattern;
        platform::SetDeviceRoot(root_);
        std::string why;
        if (!platform::BootRegistry(root_, why)) {
            error_ = "registry: " + why;
            return;
        }
        platform::MapModule(u"FMS_API.dll", platform::GetModuleDir() + "/FakeStack.dll");
        fakestack::Reset();
        Reply("FM_Enable", FMS_CMD_POWER_ON, 0);
        Reply("FM_Disable", FMS_CMD_POWER_OFF, 0);
        Reply("FM_Tune", FMS_CMD_TUNE, kTunedKHz);
        // The strength is read inside the tune callback, on the stack's event
        // thread: the stack answers within the call.
        fakestack::OnCall("FM_RssiGet", [] {
            fakestack::Deliver(fakestack::CommandStatus(FMS_CMD_GET_RSSI, FMS_STATUS_SUCCESS, 200));
        });
        std::u16string muxName;
        mux_ = phone::StartGpsMux(muxName, why);
        if (mux_ == nullptr) {
            error_ = "GPS multiplexer: " + why;
            return;
        }
        if (!phone::InstallReceiverDriver(why)) {
            error_ = why;
            return;
        }
        driver_ = ActivateDeviceEx(phone::kReceiverDriverKey, nullptr, 0, nullptr);
        if (driver_ == nullptr) {
            error_ = "ActivateDeviceEx: error " + std::to_string(GetLastError()) + " " +
                     platform::LastLoaderError();
            return;
        }
    }

    ~Chain() {
        if (driver_ != nullptr)
            DeactivateDevice(driver_);
        if (mux_ != nullptr)
            DeactivateDevice(mux_);
        fakestack::DrainEvents();
        platform::ResetRegistry();
        platform::SetDeviceRoot("");
        std::error_code ignored;
        if (!root_.empty())
            std::filesystem::remove_all(root_, ignored);
    }

    Chain(const Chain &) = delete;
    Chain &operator=(const Chain &) = delete;

    [[nodiscard]] const std::string &Error() const { return error_; }
    [[nodiscard]] const std::string &Root() const { return root_; }

    // The driver's log grows by every read; start each run without it.
    void ForgetLog() const {
        std::error_code ignored;
        std::filesystem::remove(root_ + "/Tavrinel.log", ignored);
    }

private:
    static void Reply(const std::string &name, BYTE command, DWORD value) {
        fakestack::OnCall(name, [command, value] {
            fakestack::Post(fakestack::CommandStatus(command, FMS_STATUS_SUCCESS, value));
        });
    }

    std::string root_;
    std::string error_;
    HANDLE mux_ = nullptr;
    HANDLE driver_ = nullptr;
};

Chain *chain = nullptr; // built in main, before the benchmarks run

// ---------------------------------------------------------------- one run

struct RunResult {
    std::string error;
    uint64_t sent = 0;       // counted groups delivered to the stack
    uint64_t received = 0;   // counted groups whose sentence the reader parsed
    uint64_t duplicates = 0; // sentences seen more than once
    uint64_t bad = 0;        // lines that are no well-formed $RTTMC of ours
    uint64_t bytes = 0;      // every byte the reader got
    uint64_t lines = 0;      // every line the reader got
    double window = 0;       // seconds from the first counted group to the last one
    double sentPerSecond = 0;
    double p50 = 0, p99 = 0, max = 0; // ms
};

// The reader's side: raw terminal bytes in, parsed sentences out.
class Reader {
public:
    Reader(const std::atomic<int64_t> *sendNs, uint32_t capacity)
        : sendNs_(sendNs), seen_(capacity, 0) {
        latencyUs_.reserve(capacity);
        line_.reserve(kMaxLineBytes);
    }

    // Parses a chunk read at `now`.
    void Take(const char *data, size_t n, int64_t now) {
        bytes_ += n;
        for (size_t i = 0; i < n; ++i) {
            const char c = data[i];
            if (c == '\n') {
                Line(now);
                line_.clear();
            } else if (line_.size() < kMaxLineBytes) {
                line_.push_back(c);
            }
        }
    }

    // Only groups numbered from `first` to `last` count.
    void Finish(uint32_t first, uint32_t last, RunResult &r) {
        r.bytes = bytes_;
        r.lines = lines_;
        r.bad = bad_;
        for (uint32_t seq = first; seq <= last && seq < seen_.size(); ++seq) {
            if (seen_[seq] > 0)
                ++r.received;
            if (seen_[seq] > 1)
                r.duplicates += seen_[seq] - 1;
        }
        std::vector<float> counted;
        counted.reserve(latencyUs_.size());
        for (const auto &[seq, us] : latencyUs_)
            if (seq >= first && seq <= last)
                counted.push_back(us);
        if (!counted.empty()) {
            auto at = [&](double q) {
                const size_t k =
                    std::min(counted.size() - 1,
                             static_cast<size_t>(q * static_cast<double>(counted.size())));
                std::nth_element(counted.begin(), counted.begin() + static_cast<long>(k),
                                 counted.end());
                return counted[k] / 1000.0;
            };
            r.p50 = at(0.50);
            r.p99 = at(0.99);
            r.max = *std::max_element(counted.begin(), counted.end()) / 1000.0;
        }
    }

private:
    void Line(int64_t now) {
        ++lines_;
        std::string_view line(line_);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.starts_with("$RTRDS"))
            return; // the tune report of the run's first open
        const size_t star = line.find('*');
        if (!line.starts_with("$RTTMC,") || star == std::string_view::npos ||
            star + 3 != line.size()) {
            ++bad_;
            return;
        }
        unsigned sum = 0;
        for (size_t i = 1; i < star; ++i)
            sum ^= static_cast<unsigned char>(line[i]);
        unsigned given = 0;
        if (std::from_chars(line.data() + star + 1, line.data() + line.size(), given, 16).ec !=
                std::errc() ||
            given != sum) {
            ++bad_;
            return;
        }
        // $RTTMC,type,A,B,C,D
        unsigned fields[5] = {};
        const char *p = line.data() + 7;
        const char *end = line.data() + star;
        for (int f = 0; f < 5; ++f) {
            const auto [next, ec] = std::from_chars(p, end, fields[f], f == 0 ? 10 : 16);
            if (ec != std::errc() || (f < 4 && (next == end || *next != ',')) ||
                (f == 4 && next != end)) {
                ++bad_;
                return;
            }
            p = next + 1;
        }
        const uint32_t seq = fields[3] | (fields[4] << 16);
        if (fields[0] != 8 || fields[1] != kPi || fields[2] != kBlockB || seq >= seen_.size()) {
            ++bad_;
            return;
        }
        const int64_t sent = sendNs_[seq].load(std::memory_order_acquire);
        if (sent == 0) {
            ++bad_; // a sentence of a group never sent
            return;
        }
        if (seen_[seq] < 255)
            ++seen_[seq];
        if (seen_[seq] == 1)
            latencyUs_.emplace_back(seq, static_cast<float>(now - sent) / 1000.0f);
    }

    const std::atomic<int64_t> *sendNs_;
    std::vector<uint8_t> seen_;
    std::vector<std::pair<uint32_t, float>> latencyUs_;
    std::string line_;
    uint64_t bytes_ = 0, lines_ = 0, bad_ = 0;
};

// Opens the port as a navigation program does: read-write, not as the
// controlling terminal, raw.
int OpenPort(const std::string &path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fd;
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// Reads until a line starting with `prefix` arrives; answers false on time-out.
bool WaitForLine(int fd, std::string_view prefix, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string text;
    char buffer[4096];
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        text.append(buffer, static_cast<size_t>(n));
        if (text.find(prefix) != std::string::npos &&
            text.find('\n', text.find(prefix)) != std::string::npos)
            return true;
        if (text.size() > 65536)
            text.erase(0, text.size() - 1024);
    }
    return false;
}

// pollMs 0: woken by the producer, with the bridge's default safety poll.
RunResult RunOnce(double rate, int pollMs, double seconds) {
    RunResult r;
    chain->ForgetLog();
    const bool woken = pollMs == 0;
    phone::BridgeOptions options;
    options.root = chain->Root();
    if (!woken)
        options.pollMs = pollMs;
    options.messages = nullptr;
    phone::PtyBridge bridge(options);
    if (!bridge.Start(r.error))
        return r;
    const std::string link = chain->Root() + "/dev/COM9";
    const int fd = OpenPort(link);
    if (fd < 0) {
        r.error = "cannot open " + link;
        return r;
    }
    // The first open powers the radio on and tunes: the tune report says the
    // chain is up.
    if (!WaitForLine(fd, "$RTRDS", kReadyTimeoutMs)) {
        close(fd);
        r.error = "no tune report on the port";
        return r;
    }

    const auto capacity =
        static_cast<uint32_t>(std::min(rate * seconds * 1.25 + 1024.0, 16.0 * 1024 * 1024));
    auto sendNs = std::make_unique<std::atomic<int64_t>[]>(capacity);
    Reader reader(sendNs.get(), capacity);
    std::atomic<bool> producing{true};
    std::atomic<uint32_t> produced{0};

    std::thread readerThread([&] {
        char buffer[8192];
        // Keep reading until the producer is done and the port has been
        // quiet for a while (several poll intervals).
        const auto quiet =
            std::max<Clock::duration>(100ms, std::chrono::milliseconds(3 * options.pollMs));
        auto lastData = Clock::now();
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            const int ready = poll(&p, 1, 5);
            if (ready > 0) {
                const ssize_t n = read(fd, buffer, sizeof buffer);
                const auto now = Clock::now();
                if (n <= 0)
                    break;
                reader.Take(buffer, static_cast<size_t>(n), Nanos(now));
                lastData = now;
            } else if (!producing.load() && Clock::now() - lastData > quiet) {
                break;
            }
        }
    });

    std::thread producer([&] {
        std::vector<uint8_t> run;
        run.reserve((kMaxBurstGroups + 1) * kGroupBytes);
        uint8_t group[kGroupBytes];
        uint32_t next = 0; // the next group to complete
        const auto start = Clock::now();
        const auto stop = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
        auto wake = start;
        for (;;) {
            const auto now = Clock::now();
            // Room for the groups and for the first byte of the one after.
            if (now >= stop || next + 2 >= capacity)
                break;
            const double elapsed = std::chrono::duration<double>(now - start).count();
            const double limit = std::min<double>(next + kMaxBurstGroups, capacity - 2);
            const auto due =
                static_cast<uint32_t>(std::min<double>(std::floor(elapsed * rate) + 1, limit));
            if (due > next) {
                // The rest of group `next` (its first byte went out last
                // time), the whole groups up to `due`, and the first byte of
                // group `due`.
                run.clear();
                for (uint32_t seq = next; seq < due; ++seq) {
                    GroupBytes(seq, group);
                    const size_t from = (seq == next && seq != 0) ? 1 : 0;
                    run.insert(run.end(), group + from, group + kGroupBytes);
                }
                GroupBytes(due, group);
                run.push_back(group[0]);
                const int64_t stamp = Nanos(Clock::now());
                for (uint32_t seq = next; seq < due; ++seq)
                    sendNs[seq].store(stamp, std::memory_order_release);
                // In events of a stack's run at most, each followed by a
                // wake, as the FM stack delivers a late backlog.
                for (size_t at = 0; at < run.size(); at += kEventBytes) {
                    const size_t n = std::min(kEventBytes, run.size() - at);
                    fakestack::DeliverRds(
                        std::vector<uint8_t>(run.begin() + at, run.begin() + at + n));
                    if (woken)
                        bridge.Wake();
                }
                next = due;
                produced.store(next);
            }
            // The next group is due at start + next / rate; wake no more
            // often than once per burst period.
            const auto dueAt = start + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(next / rate));
            wake = std::max(dueAt, wake + kBurstPeriod);
            std::this_thread::sleep_until(std::min(wake, stop));
        }
        producing.store(false);
    });

    producer.join();
    readerThread.join();
    close(fd); // the bridge closes the device: the radio powers off
    bridge.Stop();

    // Warm-up: the framer locks on the second group; skip the first few.
    const uint32_t last = produced.load();
    const auto warmup = static_cast<uint32_t>(std::max(8.0, rate * 0.1));
    if (last <= warmup + 1) {
        r.error = "too few groups sent";
        return r;
    }
    const uint32_t first = warmup;
    const uint32_t lastSeq = last - 1;
    r.sent = lastSeq - first + 1;
    const int64_t t0 = sendNs[first].load();
    const int64_t t1 = sendNs[lastSeq].load();
    r.window = static_cast<double>(t1 - t0) / 1e9 + 1.0 / rate;
    r.sentPerSecond = static_cast<double>(r.sent) / r.window;
    reader.Finish(first, lastSeq, r);
    return r;
}

void BM_Port(benchmark::State &state, double rate, int pollMs, double seconds) {
    if (chain == nullptr || !chain->Error().empty()) {
        state.SkipWithError(("no chain: " + (chain ? chain->Error() : std::string("?"))).c_str());
        return;
    }
    RunResult r;
    for (auto _ : state) {
        r = RunOnce(rate, pollMs, seconds);
        state.SetIterationTime(r.window);
    }
    if (!r.error.empty()) {
        state.SkipWithError(r.error.c_str());
        return;
    }
    const double lost = static_cast<double>(r.sent - r.received);
    const double sentenceBytes =
        r.lines > 0 ? static_cast<double>(r.bytes) / static_cast<double>(r.lines) : 33.0;
    state.counters["groups/s"] = static_cast<double>(r.received) / r.window;
    state.counters["sent/s"] = r.sentPerSecond;
    state.counters["lost"] = lost;
    state.counters["lost%"] = 100.0 * lost / static_cast<double>(r.sent);
    state.counters["dup"] = static_cast<double>(r.duplicates);
    state.counters["bad"] = static_cast<double>(r.bad);
    state.counters["p50_ms"] = r.p50;
    state.counters["p99_ms"] = r.p99;
    state.counters["max_ms"] = r.max;
    // What one poll interval of the driver's 2048-byte buffer can carry.
    if (pollMs > 0)
        state.counters["limit/s"] =
            std::floor(2047.0 / sentenceBytes) * 1000.0 / static_cast<double>(pollMs);
    char label[96];
    std::snprintf(label, sizeof label, "%.0f B/sentence, %llu sent", sentenceBytes,
                  static_cast<unsigned long long>(r.sent));
    state.SetLabel(label);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    for (const double rate : {11.4, 1000.0, 2000.0, 10000.0, 20000.0, 50000.0})
        for (const int pollMs : {0, 10, 2}) {
            // The broadcast rate runs longer to get a few dozen groups.
            const double seconds = rate < 100 ? 3.0 : 1.5;
            char name[64];
            if (pollMs == 0)
                std::snprintf(name, sizeof name, "Port/%g/wake", rate);
            else
                std::snprintf(name, sizeof name, "Port/%g/poll:%d", rate, pollMs);
            benchmark::RegisterBenchmark(name, BM_Port, rate, pollMs, seconds)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    Chain built;
    chain = &built;
    if (!built.Error().empty())
        std::fprintf(stderr, "port_bench: %s\n", built.Error().c_str());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    chain = nullptr;
    return 0;
}
