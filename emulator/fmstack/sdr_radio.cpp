// sdr_radio.cpp — the core shared by the software-defined radios (see
// sdr_radio.h): samples in, our RDS demodulator, raw stack bytes out.
//
// Seek: every step retunes and resets the demodulator; after the source's
// settling time the thread judges the frequency by the samples themselves
// (sample time, not wall time, so a busy machine decides the same way):
//  - an IQ source: the envelope's M2²/M4 over kCarrierWindowS (1 for a
//    constant-envelope FM carrier, 0.5 for noise) below kCarrierRatio: empty;
//  - no group with a decoded block A within kNoGroupS: no RDS station;
//  - a station when one PI has come in two groups (block A decoded) and
//    outweighs every other PI heard there; else on after kMaxDwellS.
// The signal is the carrier's share (IQ) or the pilot's lock (MPX), plus the
// RDS block synchronisation.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <numbers>
#include <thread>

#include "capture.h"
#include "demod/rds_demod.h"
#include "sdr_radio.h"

namespace fms {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadBytes = 16384;
constexpr double kCarrierWindowS = 0.030;
constexpr double kCarrierRatio = 0.75;
constexpr double kNoGroupS = 0.5;
constexpr double kMaxDwellS = 1.2;
constexpr auto kStepWallCap = std::chrono::seconds(3); // a source that stalls mid-seek
constexpr auto kFirstReconnect = std::chrono::milliseconds(250);
constexpr auto kMaxReconnect = std::chrono::seconds(8);

// Mixes cu8 IQ by a fixed frequency and measures the envelope (M2, M4 over
// sums of four samples: a crude channel filter of about ±128 kHz at 1 MS/s).
class Mixer {
public:
    Mixer(double shiftHz, double rate)
        : step_(2.0 * std::numbers::pi * shiftHz / rate), shift_(shiftHz != 0.0) {}

    // `pairs` I/Q pairs of `in` mixed into `out`, at the demodulator's scale
    // ((byte - 127.5) / 127.5): handing floats on spares a second quantising.
    void run(const std::uint8_t *in, std::size_t pairs, std::complex<float> *out) {
        constexpr float kScale = 1.0F / 127.5F;
        std::complex<float> rot(static_cast<float>(std::cos(phase_)),
                                static_cast<float>(std::sin(phase_)));
        const std::complex<float> turn(static_cast<float>(std::cos(step_)),
                                       static_cast<float>(std::sin(step_)));
        for (std::size_t i = 0; i < pairs; ++i) {
            std::complex<float> x(static_cast<float>(in[2 * i]) - 127.5F,
                                  static_cast<float>(in[2 * i + 1]) - 127.5F);
            if (shift_) {
                x *= rot;
                rot *= turn;
            }
            out[i] = x * kScale;
            box_ += x;
            if (++boxCount_ == 4) {
                const double p = std::norm(box_);
                m2_ += p;
                m4_ += p * p;
                ++n_;
                box_ = {};
                boxCount_ = 0;
            }
        }
        phase_ = std::fmod(phase_ + step_ * static_cast<double>(pairs), 2.0 * std::numbers::pi);
    }

    // M2²/M4 of the samples since the last call, -1 when there were none.
    double takeRatio() {
        const double r = n_ > 0 && m4_ > 0.0 ? (m2_ / n_) * (m2_ / n_) / (m4_ / n_) : -1.0;
        m2_ = m4_ = 0.0;
        n_ = 0;
        return r;
    }

private:
    double step_;
    bool shift_;
    double phase_ = 0.0;
    std::complex<float> box_{};
    int boxCount_ = 0;
    double m2_ = 0.0, m4_ = 0.0;
    long n_ = 0;
};

class SdrRadio final : public ReceivingRadio {
public:
    SdrRadio(std::unique_ptr<SampleSource> source, std::function<void()> wake)
        : ReceivingRadio(true), source_(std::move(source)), wake_(std::move(wake)),
          iq_(source_->kind() == SampleKind::Cu8Iq) {}
    ~SdrRadio() override { powerOff(); }

    bool powerOn(std::uint32_t frequencyKHz, std::string &why) override {
        powerOff();
        control_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (control_ < 0) {
            why = std::string("eventfd: ") + std::strerror(errno);
            return false;
        }
        if (!source_->open(centreHz(frequencyKHz), why)) {
            close(control_);
            control_ = -1;
            return false;
        }
        {
            std::lock_guard<std::mutex> guard(mutex_);
            frequencyKHz_ = frequencyKHz;
            ++generation_;
            openedKHz_ = frequencyKHz;
            resetHeardLocked();
            stop_ = false;
        }
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::exception &) {
            source_->close();
            close(control_);
            control_ = -1;
            why = kNoThread;
            return false;
        }
        return true;
    }

    void powerOff() override {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        poke();
        thread_.join();
        source_->close();
        close(control_);
        control_ = -1;
        std::lock_guard<std::mutex> guard(mutex_);
        pending_.clear();
        seeking_ = false;
        resetHeardLocked();
    }

    void tune(std::uint32_t frequencyKHz, Millis) override {
        std::lock_guard<std::mutex> guard(mutex_);
        seeking_ = false;
        retuneLocked(frequencyKHz);
    }

    unsigned signal() override {
        std::lock_guard<std::mutex> guard(mutex_);
        unsigned level = 0;
        if (iq_) {
            const double share = std::clamp((ratio_ - 0.6) / 0.35, 0.0, 1.0);
            level = static_cast<unsigned>(std::lround(share * 80.0));
        } else {
            level = pilot_ ? 60 : 0;
        }
        return std::min(kMaxSignal, level + (synced_ ? kMaxSignal - (iq_ ? 80 : 60) : 0));
    }

    void seekStart(std::uint32_t fromKHz, bool up, BandLimits band, unsigned, Millis) override {
        std::lock_guard<std::mutex> guard(mutex_);
        seeking_ = true;
        seekUp_ = up;
        band_ = band;
        seekFound_ = false;
        seekEnded_ = false;
        stepLocked(fromKHz);
    }

    SeekResult seekPoll(Millis, Millis &waitMs) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (seeking_ && !seekEnded_ && Clock::now() - stepStart_ > kStepWallCap)
            stepLocked(frequencyKHz_); // the source stalls: on regardless
        if (seeking_ && seekEnded_)
            seeking_ = false; // the band's limit
        SeekResult r;
        r.positionKHz = frequencyKHz_;
        r.ended = !seeking_;
        r.found = seekFound_;
        if (seeking_)
            waitMs = std::min<Millis>(waitMs, 50);
        return r;
    }

private:
    std::uint32_t centreHz(std::uint32_t khz) const {
        return static_cast<std::uint32_t>(static_cast<std::int64_t>(khz) * 1000 +
                                          source_->offsetHz());
    }

    void resetHeardLocked() {
        piCounts_.clear();
        ratio_ = 0.0;
        carrierJudged_ = false;
        synced_ = false;
        pilot_ = false;
        heardSeconds_ = 0.0;
    }

    void retuneLocked(std::uint32_t frequencyKHz) {
        frequencyKHz_ = frequencyKHz;
        ++generation_;
        pending_.clear();
        resetHeardLocked();
        stepStart_ = Clock::now();
        if (control_ >= 0)
            poke();
    }

    void stepLocked(std::uint32_t fromKHz) {
        const std::uint32_t f = NextSeekStep(fromKHz, seekUp_, band_, seekEnded_);
        retuneLocked(f);
    }

    // The seek's verdict on the frequency after what the thread has heard;
    // true when the seek has just found a station.
    bool judgeLocked() {
        if (!seeking_ || seekEnded_)
            return false;
        unsigned best = 0, others = 0;
        for (const auto &[pi, count] : piCounts_) {
            others += count;
            best = std::max(best, count);
        }
        others -= best;
        if (best >= 2 && best > 2 * others) {
            seeking_ = false;
            seekFound_ = true;
            return true;
        }
        const bool empty = iq_ && carrierJudged_ && ratio_ < kCarrierRatio;
        const bool silent = piCounts_.empty() && heardSeconds_ >= kNoGroupS;
        if (empty || silent || heardSeconds_ >= kMaxDwellS)
            stepLocked(frequencyKHz_);
        return false;
    }

    // Converts and keeps the demodulator's groups (reader thread).
    void deliver(const std::vector<demod::Group> &groups, std::uint64_t generation,
                 const demod::Status &status, double seconds, double ratio) {
        std::vector<std::uint8_t> raw;
        for (const demod::Group &g : groups) {
            rds::Group group;
            for (std::size_t b = 0; b < rds::kBlocksPerGroup; ++b) {
                group.block[b] = g.blocks[b];
                if (!g.decoded[b])
                    group.missing |= static_cast<std::uint8_t>(1U << b);
            }
            rds::AppendRawGroup(group, raw);
        }
        bool news = false;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (generation != generation_)
                return; // retuned meanwhile
            heardSeconds_ = seconds;
            synced_ = status.block_synced;
            pilot_ = status.pilot_locked;
            if (ratio >= 0.0) {
                ratio_ = ratio;
                carrierJudged_ = true;
            }
            if (!groups.empty()) {
                stats_.groups += groups.size();
                stats_.droppedGroups += pending_.add(raw) / kFmsRdsGroupBytes;
                for (const demod::Group &g : groups)
                    if (g.decoded[0])
                        ++piCounts_[g.blocks[0]];
                news = !seeking_;
            }
            news = judgeLocked() || news; // a found station ends the seek at once
        }
        if (news)
            wake_();
    }

    void run() {
        std::vector<std::uint8_t> buffer(kReadBytes);
        std::vector<std::complex<float>> mixed(kReadBytes / 2);
        std::vector<demod::Group> groups;
        std::unique_ptr<demod::IqDemodulator> iqDemod;
        std::unique_ptr<demod::MpxDemodulator> mpxDemod;
        Mixer mixer(0.0, source_->rate());
        std::uint64_t running = 0; // the generation the demodulator hears
        std::uint32_t sourceKHz;   // where the source is tuned
        {
            std::lock_guard<std::mutex> guard(mutex_);
            sourceKHz = openedKHz_;
        }
        std::uint64_t skipBytes = 0;    // of the previous frequency, maybe
        std::uint64_t heardSamples = 0; // since the settling time
        std::uint64_t windowSamples = 0;
        int carry = -1; // an I byte waiting for its Q
        bool lost = false;
        auto delay = std::chrono::duration_cast<Clock::duration>(kFirstReconnect);
        constexpr unsigned bytesPerSample = 2; // a cu8 pair, an s16 sample
        const auto window = static_cast<std::uint64_t>(kCarrierWindowS * source_->rate());
        std::string why;
        for (;;) {
            std::uint64_t generation;
            std::uint32_t khz;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                if (stop_)
                    break;
                generation = generation_;
                khz = frequencyKHz_;
            }
            std::uint64_t v;
            [[maybe_unused]] ssize_t drained = ::read(control_, &v, sizeof v);
            if (lost) {
                pollfd p{control_, POLLIN, 0};
                poll(&p, 1,
                     static_cast<int>(
                         std::chrono::duration_cast<std::chrono::milliseconds>(delay).count()));
                {
                    std::lock_guard<std::mutex> guard(mutex_);
                    if (stop_)
                        break;
                    khz = frequencyKHz_;
                    generation = generation_;
                }
                if (!source_->reopen(centreHz(khz), control_, why)) {
                    delay = std::min<Clock::duration>(delay * 2, kMaxReconnect);
                    continue;
                }
                std::fprintf(stderr, "FMS_API: radio: %s: connected again\n",
                             source_->name().c_str());
                if (stats_.notice.latest().cause == "lost")
                    stats_.notice.set("lost", ""); // the word is old now
                lost = false;
                delay = kFirstReconnect;
                sourceKHz = khz;
                carry = -1;  // a new stream
                running = 0; // restart the demodulator below
            }
            if (generation != running) {
                if (khz != sourceKHz && source_->tunable()) {
                    if (!source_->setCentre(centreHz(khz), why)) {
                        loseSource(why, delay, lost);
                        continue;
                    }
                    sourceKHz = khz;
                }
                running = generation;
                if (iq_)
                    iqDemod = std::make_unique<demod::IqDemodulator>(source_->rate());
                else
                    mpxDemod = std::make_unique<demod::MpxDemodulator>(source_->rate());
                mixer =
                    Mixer(source_->offsetHz(), source_->rate()); // the station from -offset to 0
                skipBytes =
                    static_cast<std::uint64_t>(source_->settleMs() * source_->rate() / 1000.0) *
                    bytesPerSample;
                heardSamples = 0;
                windowSamples = 0; // `carry` stays: the stream's I/Q pairs go on
            }
            std::size_t have = 0;
            if (carry >= 0)
                buffer[have++] = static_cast<std::uint8_t>(carry);
            const long n =
                source_->read(buffer.data() + have, buffer.size() - have, control_, 200, why);
            if (n < 0) {
                loseSource(why, delay, lost);
                continue;
            }
            if (n == 0) {
                continue; // carry stays
            }
            have += static_cast<std::size_t>(n);
            carry = -1;
            const std::uint8_t *data = buffer.data();
            if (skipBytes > 0) {
                const std::size_t skip =
                    static_cast<std::size_t>(std::min<std::uint64_t>(skipBytes, have));
                skipBytes -= skip;
                data += skip;
                have -= skip;
            }
            if (have % 2 == 1) {
                carry = data[have - 1];
                --have;
            }
            if (have == 0)
                continue;
            groups.clear();
            double ratio = -1.0;
            const std::size_t samples = have / bytesPerSample;
            demod::Status status;
            if (iq_) {
                mixer.run(data, samples, mixed.data());
                iqDemod->Process({mixed.data(), samples}, groups);
                status = iqDemod->GetStatus();
                windowSamples += samples;
                if (windowSamples >= window) {
                    ratio = mixer.takeRatio();
                    windowSamples = 0;
                }
            } else {
                mpxDemod->ProcessS16le({data, have}, groups);
                status = mpxDemod->GetStatus();
            }
            heardSamples += samples;
            deliver(groups, running, status, static_cast<double>(heardSamples) / source_->rate(),
                    ratio);
        }
    }

    void loseSource(const std::string &why, Clock::duration delay, bool &lost) {
        std::fprintf(stderr, "FMS_API: radio: %s: %s; trying again in %.2f s\n",
                     source_->name().c_str(), why.c_str(),
                     std::chrono::duration<double>(delay).count());
        lost = true;
        stats_.exits++;
        stats_.notice.set("lost", "radio: " + source_->name() + ": " + why + "; trying again");
    }

    const std::unique_ptr<SampleSource> source_;
    const std::function<void()> wake_;
    const bool iq_;
    std::thread thread_;

    // mutex_ (ReceivingRadio) guards everything below
    bool stop_ = false;
    std::uint64_t generation_ = 0; // counts tunes: samples of an older one are dropped
    std::uint32_t openedKHz_ = 0;  // where powerOn opened the source
    std::uint32_t frequencyKHz_ = 0;
    // What has been heard on the tuned frequency.
    std::map<std::uint16_t, unsigned> piCounts_;
    double ratio_ = 0.0;
    bool carrierJudged_ = false;
    bool synced_ = false;
    bool pilot_ = false;
    double heardSeconds_ = 0.0;
    // The seek.
    bool seekUp_ = true;
    bool seekFound_ = false;
    bool seekEnded_ = false;
    BandLimits band_{};
    Clock::time_point stepStart_;
};

} // namespace

std::unique_ptr<Radio> MakeSdrRadioOver(std::unique_ptr<SampleSource> source,
                                        std::function<void()> wake) {
    return std::make_unique<SdrRadio>(std::move(source), std::move(wake));
}

std::unique_ptr<Radio> MakeSdrRadio(const std::string &spec, std::function<void()> wake,
                                    std::string &why) {
    std::unique_ptr<SampleSource> source;
    if (spec.rfind("rtlsdr:", 0) == 0)
        source = MakeRtlSdrSource(spec.substr(7), why);
    else if (spec.rfind("rtltcp:", 0) == 0)
        source = MakeRtlTcpSource(spec.substr(7), why);
    else if (spec.rfind("iq:", 0) == 0)
        source = MakeFileSource(spec.substr(3), SampleKind::Cu8Iq, why);
    else if (spec.rfind("mpx:", 0) == 0)
        source = MakeFileSource(spec.substr(4), SampleKind::S16Mpx, why);
    else
        why = "unknown radio (sim, v4l2:/dev/radioN, cmd:COMMAND, rtlsdr:INDEX, "
              "rtltcp:HOST:PORT, iq:FILE or mpx:FILE)";
    return source ? MakeSdrRadioOver(std::move(source), std::move(wake)) : nullptr;
}

bool ParseSdrOptions(const std::string &text, const char *allowed, SdrOptions &options,
                     std::string &why) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string item = text.substr(at, end - at);
        at = end + 1;
        const std::size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        if (eq == std::string::npos || key.empty() ||
            std::string(",").append(allowed).append(",").find("," + key + ",") ==
                std::string::npos) {
            why = "unknown option \"" + item.substr(0, 40) + "\" (options: " + allowed + ")";
            return false;
        }
        const std::string value = item.substr(eq + 1);
        char *stop = nullptr;
        const double number = std::strtod(value.c_str(), &stop);
        if (value.empty() || stop == nullptr || *stop != '\0' || !std::isfinite(number)) {
            why = "option " + key + " needs a number";
            return false;
        }
        if (key == "gain") {
            if (number < 0.0 || number > 60.0) {
                why = "gain is 0 to 60 dB";
                return false;
            }
            options.gainSet = true;
            options.gainDb = number;
        } else if (key == "ppm") {
            if (number < -1000.0 || number > 1000.0 || number != std::floor(number)) {
                why = "ppm is a whole number from -1000 to 1000";
                return false;
            }
            options.ppm = static_cast<int>(number);
        } else if (key == "rate") {
            if (number < 1000.0 || number > 1e7 || number != std::floor(number)) {
                why = "rate is a whole number of samples per second";
                return false;
            }
            options.rate = number;
        } else if (key == "settle") {
            if (number < 0.0 || number > 2000.0) {
                why = "settle is 0 to 2000 ms";
                return false;
            }
            options.settleMs = static_cast<int>(number);
        }
    }
    return true;
}

} // namespace fms
