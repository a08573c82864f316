// stack.cpp — FMS_API.dll's chip: its state, the radio under it (chosen by
// TAVRINEL_FM_RADIO or FmsimUseRadio), the scenario, and the commands the
// entry points carry out (see stack.h).
#include "stack.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace fms {

namespace {

// A radio that hears nothing: what the stack runs on when the chosen radio
// cannot start.
class SilentRadio final : public Radio {
public:
    bool powerOn(std::uint32_t frequencyKHz, std::string &) override {
        frequencyKHz_ = frequencyKHz;
        return true;
    }
    void powerOff() override {}
    void tune(std::uint32_t frequencyKHz, Millis) override { frequencyKHz_ = frequencyKHz; }
    unsigned signal() override { return 0; }
    void seekStart(std::uint32_t, bool up, BandLimits band, unsigned, Millis) override {
        frequencyKHz_ = up ? band.highKHz : band.lowKHz;
    }
    SeekResult seekPoll(Millis, Millis &) override { return {frequencyKHz_, true, false}; }
    bool readRds(Millis, std::vector<std::uint8_t> &, Millis &) override { return false; }
    void rdsIdle() override {}
    std::uint64_t groupsStarted() const override { return 0; }

private:
    std::uint32_t frequencyKHz_ = 0;
};

} // namespace

Stack &TheStack() {
    // Made at first use: a module's own constructors (a test variant arming
    // a fault) may reach it before the module's other statics exist.
    static Stack stack;
    return stack;
}

// ---------------------------------------------------------------- life

DWORD Stack::Init() {
    std::lock_guard<std::mutex> guard(lock_);
    if (initialised_)
        return FMS_OK;
    if (!scenarioExplicit_) {
        std::string error;
        if (!LoadDefaultScenario(error)) {
            std::fprintf(stderr, "FMS_API: scenario refused: %s\n", error.c_str());
            return FMS_STATUS_FAILED;
        }
    }
    if (!radioExplicit_) {
        const char *env = std::getenv("TAVRINEL_FM_RADIO");
        radioSpec_ = env != nullptr && env[0] != '\0' ? env : "sim";
    }
    initialised_ = true;
    return FMS_OK;
}

void Stack::Deinit() {
    DestroySession();
    std::lock_guard<std::mutex> guard(lock_);
    initialised_ = false;
}

bool Stack::Initialised() const {
    return initialised_;
}

DWORD Stack::CheckSession(DWORD handle, bool needsPower) const {
    if (!session_.exists || session_.stop || handle != session_.handle)
        return FMS_STATUS_INVALID_PARAMETER;
    if (needsPower && !chip_.powered)
        return FMS_STATUS_FM_NOT_ON;
    return 0;
}

// ---------------------------------------------------------------- the chip

unsigned Stack::CurrentSignal() {
    return chip_.powered ? std::min(radio_->signal(), kMaxSignal) : 0;
}

DWORD Stack::TunedAlternative() {
    return chip_.powered && !chip_.seeking ? radio_->alternativeKHz() : 0;
}

DWORD Stack::SeekPosition(DWORD now) {
    Millis unused = 0;
    return radio_->seekPoll(now, unused).positionKHz;
}

DWORD Stack::Frequency() {
    return chip_.seeking ? SeekPosition(Now()) : chip_.frequencyKHz;
}

bool Stack::LoadDefaultScenario(std::string &error) {
    Scenario s;
    bool ok;
    const char *env = std::getenv("TAVRINEL_FM_SCENARIO");
    if (env != nullptr && env[0] != '\0')
        ok = LoadScenarioFile(env, s, error);
    else
        ok = ParseScenario(DefaultScenarioText(), "default.scn", "", s, error);
    if (ok) {
        scenario_ = std::move(s);
        latencyMs_ = scenario_.latencyMs;
        rdsRate_ = scenario_.rate;
    }
    return ok;
}

// The radio follows the chip's frequency; RDS resumes after the tune has
// been reported.
void Stack::RestartRds(DWORD now, DWORD holdMs) {
    rds_.resumeAt = now + holdMs;
    if (chip_.powered)
        radio_->tune(chip_.frequencyKHz, now);
    radio_->rdsIdle();
}

void Stack::Tune(DWORD frequencyKHz, DWORD now) {
    if (chip_.seeking) {
        chip_.seeking = false;
        ++chip_.seekId;
    }
    chip_.frequencyKHz = frequencyKHz;
    chip_.afArmed = true;
    chip_.tunedAt = now;
    RestartRds(now, latencyMs_ + 1);
}

// Jumps to the tuned station's first alternative frequency.
bool Stack::AfJump(DWORD now) {
    const DWORD target = TunedAlternative();
    if (target == 0 || !chip_.afEnabled)
        return false;
    chip_.frequencyKHz = target;
    chip_.afArmed = false;
    chip_.tunedAt = now;
    RestartRds(now, latencyMs_ + 1);
    Scheduled item;
    item.due = now + latencyMs_;
    item.event.type = STACK_EVENT_AF_JUMP;
    item.event.u.afJump.frequency = target;
    Schedule(item);
    return true;
}

// A fresh radio of the chosen kind, powered off.
void Stack::MakeChosenRadio() {
    if (radio_)
        radio_->powerOff();
    std::string why;
    radio_ = MakeRadio(
        radioSpec_, scenario_, rdsRate_, [this] { WakeFromRadio(); }, why);
    radioFailure_.clear();
    radioSilenced_ = false;
    if (!radio_) {
        radioFailure_ = why; // said when the radio is powered on
        radio_ = std::make_unique<SilentRadio>();
    }
}

void Stack::ResetChip() {
    chip_ = Chip{};
    chip_.band = scenario_.band;
    chip_.frequencyKHz = scenario_.frequencyKHz;
    chip_.searchLevel = scenario_.searchLevel;
    MakeChosenRadio();
}

// The chip's audio settings reach the radio.
void Stack::ApplyAudio() {
    if (!chip_.powered)
        return;
    radio_->setVolume(chip_.volume);
    radio_->setMute(chip_.mute == 0);
    radio_->setMono(chip_.monoStereo != 0);
    radio_->setDeemphasis75us(chip_.deemphasis != 0);
}

// Powers the radio on; one that cannot start is replaced by silence until
// the next power-on tries again (a tuner plugged in meanwhile).
void Stack::PowerOnRadio() {
    if (radioSilenced_)
        MakeChosenRadio();
    std::string why = radioFailure_;
    radioSilenced_ = !why.empty() || !radio_->powerOn(chip_.frequencyKHz, why);
    if (radioSilenced_) {
        std::fprintf(stderr, "FMS_API: radio %s cannot start: %s\n", radioSpec_.c_str(),
                     why.c_str());
        notice_.set("start", "radio: " + why);
        radio_->powerOff();
        radio_ = std::make_unique<SilentRadio>();
        radio_->powerOn(chip_.frequencyKHz, why);
    } else if (notice_.latest().cause == "start") {
        notice_.set("start", ""); // it starts now
    }
}

// ---------------------------------------------------------------- commands

void Stack::PowerOn() {
    if (chip_.powered) {
        EmitStatus(FMS_CMD_POWER_ON, FMS_STATUS_ALREADY_ON, 0);
        return;
    }
    chip_.powered = true;
    PowerOnRadio();
    ApplyAudio();
    Tune(chip_.frequencyKHz, Now());
    EmitStatus(FMS_CMD_POWER_ON, FMS_STATUS_SUCCESS, 0);
}

void Stack::PowerOff() {
    if (!chip_.powered) {
        EmitStatus(FMS_CMD_POWER_OFF, FMS_STATUS_FM_NOT_ON, 0);
        return;
    }
    if (chip_.seeking) {
        chip_.seeking = false;
        ++chip_.seekId;
    }
    chip_.powered = false;
    radio_->powerOff();
    EmitStatus(FMS_CMD_POWER_OFF, FMS_STATUS_SUCCESS, 0);
}

void Stack::SetBand(unsigned band) {
    chip_.band = band;
    EmitStatus(FMS_CMD_SET_BAND, FMS_STATUS_SUCCESS, band);
    const BandLimits limits = kBands[band];
    if (chip_.frequencyKHz < limits.lowKHz || chip_.frequencyKHz > limits.highKHz) {
        // Outside the new band: the chip retunes to its lower edge and says so.
        Tune(limits.lowKHz, Now());
        EmitStatus(FMS_CMD_TUNE, FMS_STATUS_SUCCESS, limits.lowKHz);
    }
}

void Stack::StopSeek() {
    if (!chip_.seeking) {
        EmitStatus(FMS_CMD_SEEK, FMS_STATUS_STOP_SEEK, chip_.frequencyKHz);
        return;
    }
    const DWORD now = Now();
    const DWORD reached = SeekPosition(now);
    Tune(reached, now);
    EmitStatus(FMS_CMD_SEEK, FMS_STATUS_SEEK_STOPPED, reached);
}

// The seek's report comes when the radio says it has ended (FollowSeek).
DWORD Stack::StartSeek(bool up) {
    if (chip_.seeking)
        return FMS_STATUS_ALREADY_PENDING;
    chip_.seeking = true;
    chip_.seekEnding = false;
    ++chip_.seekId;
    notice_.set("seek", "seeking"); // where to is told when asked (GetNotice)
    radio_->seekStart(chip_.frequencyKHz, up, kBands[chip_.band], chip_.searchLevel, Now());
    radio_->rdsIdle();
    WakeEventThread();
    return FMS_PENDING;
}

void Stack::SetSearchLevel(unsigned level) {
    chip_.searchLevel = level;
    EmitStatus(FMS_CMD_SET_RSSI_SEARCH_LEVEL, FMS_STATUS_SUCCESS, level);
}

void Stack::TuneTo(DWORD frequencyKHz) {
    Tune(frequencyKHz, Now());
    EmitStatus(FMS_CMD_TUNE, FMS_STATUS_SUCCESS, frequencyKHz);
}

void Stack::SetVolume(WORD volume) {
    chip_.volume = volume;
    ApplyAudio();
    EmitStatus(FMS_CMD_SET_VOLUME, FMS_STATUS_SUCCESS, chip_.volume);
}

// The audio path has no command status; it is read back through the status record.
void Stack::SetAudioPath(DWORD path) {
    chip_.audioPath = path;
}

void Stack::SetRds(DWORD enable) {
    chip_.rdsEnabled = enable;
    EmitStatus(FMS_CMD_SET_RDS, FMS_STATUS_SUCCESS, enable);
    WakeEventThread();
}

void Stack::SetSetting(BYTE command, DWORD value, DWORD Chip::*field) {
    if (field != nullptr)
        chip_.*field = value;
    ApplyAudio();
    EmitStatus(command, FMS_STATUS_SUCCESS, value);
}

void Stack::Answer(BYTE command, DWORD value) {
    EmitStatus(command, FMS_STATUS_SUCCESS, value);
}

void Stack::StatusRecord(BYTE *record) {
    WORD word = 0;
    word |= chip_.powered ? FMSIM_CHIP_POWERED : 0;
    word |= chip_.rdsEnabled ? FMSIM_CHIP_RDS : 0;
    word |= chip_.seeking ? FMSIM_CHIP_SEEKING : 0;
    word |= CurrentSignal() >= chip_.searchLevel && chip_.powered ? FMSIM_CHIP_STEREO : 0;
    word |= chip_.mute == 0 ? FMSIM_CHIP_MUTED : 0;
    word |= chip_.afEnabled ? FMSIM_CHIP_AF : 0;
    const DWORD frequency = Frequency();
    BYTE out[FMS_CURRENT_STATUS_BYTES] = {};
    out[0] = static_cast<BYTE>(word & 0xFF);
    out[1] = static_cast<BYTE>(word >> 8);
    out[2] = static_cast<BYTE>(CurrentSignal());
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = static_cast<BYTE>(frequency >> (8 * i));
        out[8 + i] = static_cast<BYTE>(chip_.audioPath >> (8 * i));
    }
    std::memcpy(record, out, sizeof out);
}

} // namespace fms
