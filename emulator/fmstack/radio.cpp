// radio.cpp — chooses the radio under the FM stack.
#include "radio.h"

#include <algorithm>

namespace fms {

std::uint32_t NextSeekStep(std::uint32_t fromKHz, bool up, BandLimits band, bool &atLimit) {
    const std::uint32_t offset = fromKHz - band.lowKHz;
    std::uint32_t f;
    if (up)
        f = band.lowKHz + (offset / kStepKHz + 1) * kStepKHz;
    else
        f = offset % kStepKHz == 0 ? fromKHz - kStepKHz
                                   : band.lowKHz + offset / kStepKHz * kStepKHz;
    atLimit = fromKHz < band.lowKHz || f < band.lowKHz || f > band.highKHz;
    return atLimit ? (up ? band.highKHz : band.lowKHz) : f;
}

std::size_t RdsBacklog::add(const std::vector<std::uint8_t> &bytes) {
    std::size_t dropped = 0;
    if (bytes_.size() + bytes.size() > kMaxBytes) {
        dropped = std::min(bytes_.size(), bytes_.size() + bytes.size() - kMaxBytes);
        dropped = (dropped + unit_ - 1) / unit_ * unit_;
        dropped = std::min(dropped, bytes_.size());
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(dropped));
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return dropped;
}

bool RdsBacklog::take(std::vector<std::uint8_t> &out, bool groups) {
    const std::size_t unit = groups ? 12 : 3;
    const std::size_t n = std::min<std::size_t>(bytes_.size(), kMaxRunBytes / unit * unit);
    if (n == 0)
        return false;
    out.insert(out.end(), bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    return true;
}

std::unique_ptr<Radio> MakeRadio(const std::string &spec, const Scenario &scenario,
                                 const double &simRate, std::function<void()> wake,
                                 std::string &why) {
    if (spec == "sim")
        return MakeSimRadio(scenario, simRate);
#ifdef _WIN32
    // The tuner and decoder radios need Linux (V4L2, process groups).
    (void)wake;
    why = "unknown radio (this build has only sim)";
#else
    if (spec.rfind("v4l2:", 0) == 0)
        return MakeV4l2Radio(spec.substr(5), std::move(wake), LinuxV4l2System(), why);
    if (spec.rfind("cmd:", 0) == 0)
        return MakeCommandRadio(spec.substr(4), std::move(wake), why);
    // Anything else is one of the SDR radios, or names no radio: MakeSdrRadio says which.
    return MakeSdrRadio(spec, std::move(wake), why);
#endif
    return nullptr;
}

} // namespace fms
