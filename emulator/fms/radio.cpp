// radio.cpp — chooses the radio under the FM stack.
#include "radio.h"

namespace fms {

std::unique_ptr<Radio> MakeRadio(const std::string &spec, const Scenario &scenario,
                                 const double &simRate, std::function<void()> wake,
                                 std::string &why) {
    if (spec == "sim")
        return MakeSimRadio(scenario, simRate);
    if (spec.rfind("v4l2:", 0) == 0)
        return MakeV4l2Radio(spec.substr(5), std::move(wake), LinuxV4l2System(), why);
    if (spec.rfind("cmd:", 0) == 0)
        return MakeCommandRadio(spec.substr(4), std::move(wake), why);
    why = "unknown radio (sim, v4l2:/dev/radioN or cmd:COMMAND)";
    return nullptr;
}

} // namespace fms
