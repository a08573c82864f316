// sim_radio.cpp — the simulated radio: a scenario's band of stations,
// seeking at the scenario's pace, RDS generated or replayed from captures at
// the broadcast rate with the scenario's reception faults.
#include <windows.h>

#include <algorithm>
#include <random>

#include "radio.h"

namespace fms {

namespace {

bool Reached(Millis now, Millis due) {
    return static_cast<std::int32_t>(now - due) >= 0;
}

class SimRadio final : public Radio {
public:
    SimRadio(const Scenario &scenario, const double &rate) : scenario_(scenario), rate_(rate) {
        runRandom_.seed(scenario_.seed);
        pickNextRun();
    }

    bool powerOn(std::uint32_t frequencyKHz, std::string &) override {
        powered_ = true;
        frequencyKHz_ = frequencyKHz;
        return true;
    }
    void powerOff() override {
        powered_ = false;
        seeking_ = false;
        stream_.reset();
        running_ = false;
    }

    void tune(std::uint32_t frequencyKHz, Millis) override {
        seeking_ = false;
        frequencyKHz_ = frequencyKHz;
        restartRds();
    }

    unsigned signal() override {
        const Station *s = station();
        return s ? s->signal : scenario_.noise;
    }

    void seekStart(std::uint32_t fromKHz, bool up, BandLimits band, unsigned level,
                   Millis now) override {
        plan(fromKHz, up, band, level);
        seeking_ = true;
        seekStart_ = now;
        seekFromKHz_ = fromKHz;
        frequencyKHz_ = fromKHz;
        stream_.reset();
        running_ = false;
    }

    SeekResult seekPoll(Millis now, Millis &waitMs) override {
        SeekResult r;
        if (!seeking_) {
            r.positionKHz = frequencyKHz_;
            r.ended = true;
            r.found = station() != nullptr;
            return r;
        }
        unsigned done = seekSteps_;
        if (scenario_.seekStepMs != 0)
            done = std::min<unsigned>(seekSteps_, (now - seekStart_) / scenario_.seekStepMs);
        const std::uint32_t distance = done * kStepKHz;
        const bool up = seekTargetKHz_ >= seekFromKHz_;
        std::uint32_t f = up ? seekFromKHz_ + distance : seekFromKHz_ - distance;
        // The last step lands on the target, which may be off the 100 kHz grid.
        if (done == seekSteps_ || (up ? f > seekTargetKHz_ : f < seekTargetKHz_))
            f = seekTargetKHz_;
        r.positionKHz = f;
        const Millis end = seekStart_ + seekSteps_ * scenario_.seekStepMs;
        if (Reached(now, end)) {
            r.ended = true;
            r.found = seekFound_;
        } else {
            waitMs = std::min<Millis>(waitMs, end - now);
        }
        return r;
    }

    bool readRds(Millis now, std::vector<std::uint8_t> &out, Millis &waitMs) override {
        if (stream_ == nullptr || seeking_)
            return false;
        if (!running_) {
            running_ = true;
            base_ = now;
            sent_ = 0;
        }
        const double bytesPerMs = rds::kGroupsPerSecond * kFmsRdsGroupBytes * rate_ / 1000.0;
        const double due = static_cast<double>(now - base_) * bytesPerMs;
        // The chip's FIFO holds about a second; older bytes are lost while
        // nobody collects them (the event thread was kept busy).
        const double backlogLimit = std::max(bytesPerMs * 1000.0, 2.0 * scenario_.runMax);
        if (due - sent_ > backlogLimit)
            sent_ = due - backlogLimit;
        if (due - sent_ < nextRun_) {
            const double missing = nextRun_ - (due - sent_);
            waitMs = std::min<Millis>(waitMs, static_cast<Millis>(missing / bytesPerMs) + 1);
            return false;
        }
        const unsigned run = nextRun_;
        const std::uint64_t before = stream_->groupsStarted();
        stream_->read(run, out);
        groups_ += stream_->groupsStarted() - before;
        sent_ += run;
        pickNextRun();
        return true;
    }

    void rdsIdle() override { running_ = false; }
    std::uint64_t groupsStarted() const override { return groups_; }

    std::uint32_t alternativeKHz() const override {
        const Station *s = station();
        return s != nullptr && !s->afKHz.empty() ? s->afKHz.front() : 0;
    }
    std::uint32_t fadeAfterMs() const override {
        const Station *s = station();
        return s != nullptr ? s->afJumpAfterMs : 0;
    }

private:
    const Station *station() const {
        return powered_ && !seeking_ ? scenario_.find(frequencyKHz_) : nullptr;
    }

    void pickNextRun() {
        nextRun_ =
            std::uniform_int_distribution<unsigned>(scenario_.runMin, scenario_.runMax)(runRandom_);
    }

    // A new RDS stream for the tuned station.
    void restartRds() {
        stream_.reset();
        running_ = false;
        const Station *s = station();
        if (s == nullptr || s->rds == RdsKind::None)
            return;
        const auto seed = static_cast<std::uint32_t>(scenario_.seed + 7919u * ++streams_);
        std::unique_ptr<rds::GroupSource> source;
        if (s->rds == RdsKind::Generated) {
            rds::GeneratorConfig config = s->generator;
            if (!s->clockGiven) {
                SYSTEMTIME t{};
                GetSystemTime(&t);
                config.start.year = t.wYear;
                config.start.month = t.wMonth;
                config.start.day = t.wDay;
                config.start.hour = t.wHour;
                config.start.minute = t.wMinute;
            }
            source = std::make_unique<rds::GeneratedSource>(std::move(config));
        } else {
            // Tuning in joins the broadcast somewhere in the middle.
            const std::size_t start = std::mt19937(seed)() % s->capture->groups.size();
            source = std::make_unique<rds::CaptureSource>(s->capture, start);
        }
        stream_ = std::make_unique<rds::RawStream>(std::move(source), scenario_.errors, seed);
    }

    // First frequency a seek stops at from `from`; the band limit when no
    // station is strong enough.
    void plan(std::uint32_t from, bool up, BandLimits limits, unsigned level) {
        bool outside = false;
        std::uint32_t f = NextSeekStep(from, up, limits, outside);
        if (outside)
            f = up ? limits.highKHz + kStepKHz : limits.lowKHz - kStepKHz;
        seekSteps_ = 1;
        for (;; ++seekSteps_, f = up ? f + kStepKHz : f - kStepKHz) {
            if (f < limits.lowKHz || f > limits.highKHz) {
                seekTargetKHz_ = up ? limits.highKHz : limits.lowKHz;
                seekFound_ = false;
                const std::uint32_t distance = up ? seekTargetKHz_ - from : from - seekTargetKHz_;
                seekSteps_ = (distance + kStepKHz - 1) / kStepKHz;
                return;
            }
            const Station *s = scenario_.find(f);
            if (s != nullptr && s->signal >= level) {
                seekTargetKHz_ = f;
                seekFound_ = true;
                return;
            }
        }
    }

    const Scenario &scenario_;
    const double &rate_;
    bool powered_ = false;
    std::uint32_t frequencyKHz_ = 0;
    // seek
    bool seeking_ = false;
    Millis seekStart_ = 0;
    std::uint32_t seekFromKHz_ = 0;
    std::uint32_t seekTargetKHz_ = 0;
    unsigned seekSteps_ = 0;
    bool seekFound_ = false;
    // RDS
    std::unique_ptr<rds::RawStream> stream_;
    std::uint64_t streams_ = 0; // streams made, seeds the next one
    std::uint64_t groups_ = 0;
    bool running_ = false;
    Millis base_ = 0; // device time the byte count starts at
    double sent_ = 0; // bytes sent since base
    unsigned nextRun_ = 1;
    std::mt19937 runRandom_{1};
};

} // namespace

std::unique_ptr<Radio> MakeSimRadio(const Scenario &scenario, const double &rate) {
    return std::make_unique<SimRadio>(scenario, rate);
}

} // namespace fms
