// sdr_rtlsdr.cpp — an RTL-SDR stick on this machine through librtlsdr (built
// only where the library is found). Only the source: the radio is the SDR
// core's (sdr_radio.cpp), as for rtl_tcp. Synchronous reads of 16 KiB (8 ms
// at 1.024 MS/s) on the radio's thread; the stick is tuned 250 kHz above the
// station so that its DC spike stays off the carrier.
//
// Not tried with a stick: none was attached where this was written.
#include <rtl-sdr.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdr_radio.h"

namespace fms {

namespace {

constexpr double kRate = 1024000.0;
constexpr unsigned kSettleMs = 20;

class RtlSdrSource final : public SampleSource {
public:
    RtlSdrSource(std::uint32_t index, SdrOptions options) : index_(index), options_(options) {}
    ~RtlSdrSource() override { close(); }

    SampleKind kind() const override { return SampleKind::Cu8Iq; }
    double rate() const override { return kRate; }
    std::int32_t offsetHz() const override { return kTuningOffsetHz; }
    unsigned settleMs() const override { return kSettleMs; }
    std::string name() const override { return "RTL-SDR stick " + std::to_string(index_); }

    bool open(std::uint32_t centreHz, std::string &why) override {
        close();
        const std::uint32_t count = rtlsdr_get_device_count();
        if (index_ >= count) {
            why = "no RTL-SDR stick at index " + std::to_string(index_) + " (" +
                  std::to_string(count) + " found)";
            return false;
        }
        if (rtlsdr_open(&dev_, index_) != 0 || dev_ == nullptr) {
            dev_ = nullptr;
            why = "cannot open the RTL-SDR stick at index " + std::to_string(index_) +
                  " (in use, or no permission on its USB device)";
            return false;
        }
        bool ok = rtlsdr_set_sample_rate(dev_, static_cast<std::uint32_t>(kRate)) == 0;
        if (options_.ppm != 0)
            rtlsdr_set_freq_correction(dev_, options_.ppm); // fails when unchanged: harmless
        if (options_.gainSet) {
            ok = ok && rtlsdr_set_tuner_gain_mode(dev_, 1) == 0;
            ok = ok && rtlsdr_set_tuner_gain(dev_, nearestGain()) == 0;
        } else {
            ok = ok && rtlsdr_set_tuner_gain_mode(dev_, 0) == 0;
        }
        ok = ok && rtlsdr_set_center_freq(dev_, centreHz) == 0;
        ok = ok && rtlsdr_reset_buffer(dev_) == 0;
        if (!ok) {
            why = "the RTL-SDR stick at index " + std::to_string(index_) + " refused its settings";
            close();
        }
        return ok;
    }

    void close() override {
        if (dev_ != nullptr)
            rtlsdr_close(dev_);
        dev_ = nullptr;
    }

    bool setCentre(std::uint32_t centreHz, std::string &why) override {
        if (dev_ != nullptr && rtlsdr_set_center_freq(dev_, centreHz) == 0)
            return true;
        why = "cannot tune";
        return false;
    }

    long read(std::uint8_t *buffer, std::size_t size, int, int, std::string &why) override {
        int n = 0;
        const int want = static_cast<int>(std::min<std::size_t>(size, 16384) / 512 * 512);
        if (dev_ == nullptr || want == 0 || rtlsdr_read_sync(dev_, buffer, want, &n) != 0) {
            why = "the stick stopped answering (unplugged?)";
            close();
            return -1;
        }
        return n;
    }

    bool reopen(std::uint32_t centreHz, int, std::string &why) override {
        return open(centreHz, why);
    }

private:
    // The tuner's gain nearest the one asked for, in tenths of a dB.
    int nearestGain() {
        const int wanted = static_cast<int>(options_.gainDb * 10.0);
        int gains[64];
        const int count = rtlsdr_get_tuner_gains(dev_, nullptr);
        if (count <= 0 || count > 64)
            return wanted;
        rtlsdr_get_tuner_gains(dev_, gains);
        int best = gains[0];
        for (int i = 1; i < count; ++i)
            if (std::abs(gains[i] - wanted) < std::abs(best - wanted))
                best = gains[i];
        return best;
    }

    const std::uint32_t index_;
    const SdrOptions options_;
    rtlsdr_dev_t *dev_ = nullptr;
};

} // namespace

std::unique_ptr<SampleSource> MakeRtlSdrSource(const std::string &spec, std::string &why) {
    const std::string index = spec.substr(0, spec.find(','));
    const std::string rest =
        index.size() < spec.size() ? spec.substr(index.size() + 1) : std::string();
    if (index.empty() || index.size() > 3 ||
        index.find_first_not_of("0123456789") != std::string::npos) {
        why = "give the stick's index, e.g. rtlsdr:0[,gain=DB][,ppm=N]";
        return nullptr;
    }
    SdrOptions options;
    if (!ParseSdrOptions(rest, "gain,ppm", options, why))
        return nullptr;
    return std::make_unique<RtlSdrSource>(static_cast<std::uint32_t>(std::stoul(index)), options);
}

} // namespace fms
