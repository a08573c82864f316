// rawstream.h — turns a station's groups into the stack's raw RDS bytes
// (fmstack_rds.h), with reproducible reception faults: block error bits
// (with flipped data bits), damaged status bytes, lost bytes and extra bytes.
#ifndef TAVRINEL_EMULATOR_RAWSTREAM_H
#define TAVRINEL_EMULATOR_RAWSTREAM_H

#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "capture.h"
#include "rdsgen.h"

namespace rds {

// Probabilities in [0, 1]: per block for the first two, per byte for the rest.
struct ErrorRates {
    double blockError = 0;
    double damagedStatus = 0;
    double lostByte = 0;
    double extraByte = 0;
};

// Where a station's groups come from: generated, or a capture replayed in a loop.
class GroupSource {
public:
    virtual ~GroupSource() = default;
    [[nodiscard]] virtual Group next() = 0;
};

class GeneratedSource final : public GroupSource {
public:
    explicit GeneratedSource(GeneratorConfig config) : generator_(std::move(config)) {}
    [[nodiscard]] Group next() override { return generator_.next(); }

private:
    GroupGenerator generator_;
};

class CaptureSource final : public GroupSource {
public:
    // `capture` must hold at least one group and outlive the source.
    explicit CaptureSource(std::shared_ptr<const Capture> capture, std::size_t start = 0)
        : capture_(std::move(capture)), index_(start % capture_->groups.size()) {}
    [[nodiscard]] Group next() override {
        const Group g = capture_->groups[index_];
        index_ = (index_ + 1) % capture_->groups.size();
        return g;
    }

private:
    std::shared_ptr<const Capture> capture_;
    std::size_t index_;
};

class RawStream {
public:
    RawStream(std::unique_ptr<GroupSource> source, ErrorRates rates, std::uint32_t seed);

    // Appends exactly `count` bytes to `out`.
    void read(std::size_t count, std::vector<std::uint8_t> &out);
    [[nodiscard]] std::uint64_t groupsStarted() const { return groups_; }

private:
    void refill();
    [[nodiscard]] bool chance(double p);

    std::unique_ptr<GroupSource> source_;
    ErrorRates rates_;
    std::mt19937 random_;
    std::deque<std::uint8_t> pending_;
    std::uint64_t groups_ = 0;
};

} // namespace rds

#endif // TAVRINEL_EMULATOR_RAWSTREAM_H
