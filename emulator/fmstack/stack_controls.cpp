// stack_controls.cpp — the fmsim.h controls of FMS_API.dll: scenario, radio,
// behaviour, fault injection, wake-up and observation.
#include "stack.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace fms {

namespace {

constexpr const char *kEntryNames[kEntryCount] = {
#define FMSIM_ENTRY_NAME(name, result, params) #name,
    FMS_ENTRY_POINTS(FMSIM_ENTRY_NAME)
#undef FMSIM_ENTRY_NAME
};

int EntryByName(const char *name) {
    if (name == nullptr)
        return -1;
    for (int i = 0; i < kEntryCount; ++i) {
        if (std::strcmp(name, kEntryNames[i]) == 0)
            return i;
    }
    return -1;
}

void CopyError(const std::string &text, char *error, size_t errorSize) {
    if (error == nullptr || errorSize == 0)
        return;
    const size_t n = std::min(text.size(), errorSize - 1);
    std::memcpy(error, text.data(), n);
    error[n] = '\0';
}

} // namespace

// ---------------------------------------------------------------- scenario and radio

// Options, and the chip's band if no session runs; a running session keeps
// its chip but restarts RDS.
void Stack::InstallScenario(Scenario &&s) {
    std::lock_guard<std::mutex> guard(lock_);
    scenario_ = std::move(s);
    scenarioExplicit_ = true;
    latencyMs_ = scenario_.latencyMs;
    rdsRate_ = scenario_.rate;
    if (!session_.exists)
        ResetChip();
    else
        RestartRds(Now(), 0);
}

void Stack::UseDefaultScenario() {
    std::lock_guard<std::mutex> guard(lock_);
    scenarioExplicit_ = false;
    std::string error;
    if (!LoadDefaultScenario(error))
        std::fprintf(stderr, "FMS_API: scenario refused: %s\n", error.c_str());
    if (!session_.exists)
        ResetChip();
}

void Stack::UseRadio(const char *spec) {
    std::lock_guard<std::mutex> guard(lock_);
    radioExplicit_ = spec != nullptr;
    radioSpec_ = spec != nullptr ? spec : "sim";
    if (!session_.exists)
        MakeChosenRadio();
}

// ---------------------------------------------------------------- behaviour

void Stack::SetLatency(DWORD milliseconds) {
    std::lock_guard<std::mutex> guard(lock_);
    latencyMs_ = std::min<DWORD>(milliseconds, kMaxLatencyMs);
}

void Stack::SetRdsRate(double multiplier) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!(multiplier >= 0.01))
        multiplier = 0.01;
    rdsRate_ = std::min(multiplier, kMaxRate);
    if (radio_)
        radio_->rdsIdle(); // count afresh at the new rate
    WakeEventThread();
}

void Stack::PauseRds(bool paused) {
    std::lock_guard<std::mutex> guard(lock_);
    rds_.paused = paused;
    WakeEventThread();
}

bool Stack::TriggerAfJump() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!session_.exists || session_.stop)
        return false;
    return AfJump(Now());
}

void Stack::SetReplyRoute(int route) {
    std::lock_guard<std::mutex> guard(lock_);
    faults_.route = route == FMSIM_ROUTE_CALLER_QUEUE ? route : FMSIM_ROUTE_EVENT_THREAD;
}

void Stack::SetWake(FmsimWakeFunction wake, void *context) {
    std::lock_guard<std::mutex> guard(wakeLock_);
    wakeFunction_ = wake;
    wakeContext_ = context;
}

// ---------------------------------------------------------------- faults

DWORD Stack::Enter(EntryIndex index) {
    counters_.calls++;
    counters_.perEntry[index]++;
    std::lock_guard<std::mutex> guard(lock_);
    return faults_.failCall[index];
}

bool Stack::ApplyReplyFaults(StackEvent &event) {
    if (event.type != STACK_EVENT_COMMAND_STATUS)
        return true;
    const BYTE command = event.u.status.command;
    if (faults_.dropReply[command])
        return false;
    if (faults_.failStatus[command] >= 0)
        event.u.status.status = static_cast<BYTE>(faults_.failStatus[command]);
    return true;
}

void Stack::FailCall(EntryIndex index, DWORD result) {
    std::lock_guard<std::mutex> guard(lock_);
    faults_.failCall[index] = result;
}

void Stack::DropReply(BYTE command, bool drop) {
    std::lock_guard<std::mutex> guard(lock_);
    faults_.dropReply[command] = drop;
}

void Stack::FailStatus(BYTE command, int status) {
    std::lock_guard<std::mutex> guard(lock_);
    faults_.failStatus[command] = status < 0 || status > 255 ? -1 : status;
}

void Stack::SetDestroyFault(int fault) {
    std::lock_guard<std::mutex> guard(lock_);
    faults_.destroyFault = fault;
}

int Stack::DestroyFault() {
    return faults_.destroyFault;
}

void Stack::ClearFaults() {
    std::lock_guard<std::mutex> guard(lock_);
    faults_ = Faults{};
    latencyMs_ = scenario_.latencyMs;
    rdsRate_ = scenario_.rate;
    rds_.paused = false;
    if (radio_)
        radio_->rdsIdle();
}

// ---------------------------------------------------------------- observation

void Stack::GetCounters(FmsimCounters &out) const {
    out.calls = counters_.calls;
    out.events = counters_.events;
    out.commandStatus = counters_.commandStatus;
    out.afJumps = counters_.afJumps;
    out.rdsEvents = counters_.rdsEvents;
    out.rdsBytes = counters_.rdsBytes;
    out.rdsGroups = counters_.rdsGroups;
    out.postedReplies = counters_.postedReplies;
    out.droppedEvents = counters_.droppedEvents;
}

std::uint64_t Stack::CallCount(EntryIndex index) const {
    return counters_.perEntry[index].load();
}

void Stack::ResetCounters() {
    counters_.calls = 0;
    counters_.events = 0;
    counters_.commandStatus = 0;
    counters_.afJumps = 0;
    counters_.rdsEvents = 0;
    counters_.rdsBytes = 0;
    counters_.rdsGroups = 0;
    counters_.postedReplies = 0;
    counters_.droppedEvents = 0;
    for (auto &c : counters_.perEntry)
        c = 0;
}

namespace {

// `text` into a terminated buffer of `size` bytes: control bytes as '?',
// cut where a UTF-8 character begins.
void CopyPrintable(const std::string &text, char *out, std::size_t size) {
    std::size_t n = std::min(text.size(), size - 1);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out[i] = c < 0x20 || c == 0x7F ? '?' : text[i];
    }
    out[n] = '\0';
}

} // namespace

void Stack::GetNotice(FmsimNotice &out) {
    std::lock_guard<std::mutex> guard(lock_);
    NoticeWord word = notice_.latest();
    const RadioStats *stats = radio_ ? radio_->stats() : nullptr;
    if (stats != nullptr) {
        NoticeWord radios = stats->notice.latest();
        if (radios.serial > word.serial)
            word = std::move(radios);
    }
    if (word.cause == "seek" && word.serial == notice_.latest().serial) {
        // Where the seek is now; nothing once it has ended.
        const DWORD khz = chip_.seeking ? Frequency() : 0;
        char text[40] = "";
        if (khz != 0)
            std::snprintf(text, sizeof text, "seeking %lu.%lu MHz",
                          static_cast<unsigned long>(khz / 1000),
                          static_cast<unsigned long>(khz % 1000 / 100));
        word.text = text;
    }
    out.serial = word.serial;
    CopyPrintable(word.cause, out.cause, sizeof out.cause);
    CopyPrintable(word.text, out.text, sizeof out.text);
}

bool Stack::Powered() {
    std::lock_guard<std::mutex> guard(lock_);
    return chip_.powered;
}

} // namespace fms

// ================================================================ fmsim.h controls

using fms::TheStack;

extern "C" {

__declspec(dllexport) int FmsimLoadScenario(const char *path, char *error, size_t errorSize) {
    fms::Scenario s;
    std::string message;
    if (path == nullptr || !fms::LoadScenarioFile(path, s, message)) {
        fms::CopyError(path == nullptr ? "no path" : message, error, errorSize);
        return 0;
    }
    TheStack().InstallScenario(std::move(s));
    fms::CopyError("", error, errorSize);
    return 1;
}

__declspec(dllexport) int FmsimLoadScenarioText(const char *text, size_t length, const char *name,
                                                char *error, size_t errorSize) {
    fms::Scenario s;
    std::string message;
    const std::string fileName = name != nullptr ? name : "scenario";
    if (text == nullptr ||
        !fms::ParseScenario(std::string_view(text, length), fileName, ".", s, message)) {
        fms::CopyError(text == nullptr ? "no text" : message, error, errorSize);
        return 0;
    }
    TheStack().InstallScenario(std::move(s));
    fms::CopyError("", error, errorSize);
    return 1;
}

__declspec(dllexport) void FmsimUseDefaultScenario() {
    TheStack().UseDefaultScenario();
}

__declspec(dllexport) void FmsimUseRadio(const char *spec) {
    TheStack().UseRadio(spec);
}

__declspec(dllexport) void FmsimSetLatency(DWORD milliseconds) {
    TheStack().SetLatency(milliseconds);
}

__declspec(dllexport) void FmsimSetRdsRate(double multiplier) {
    TheStack().SetRdsRate(multiplier);
}

__declspec(dllexport) void FmsimPauseRds(int paused) {
    TheStack().PauseRds(paused != 0);
}

__declspec(dllexport) void FmsimSetWake(FmsimWakeFunction wake, void *context) {
    TheStack().SetWake(wake, context);
}

__declspec(dllexport) int FmsimTriggerAfJump() {
    return TheStack().TriggerAfJump() ? 1 : 0;
}

__declspec(dllexport) void FmsimSetReplyRoute(int route) {
    TheStack().SetReplyRoute(route);
}

__declspec(dllexport) int FmsimFailCall(const char *function, DWORD result) {
    const int index = fms::EntryByName(function);
    if (index < 0)
        return 0;
    TheStack().FailCall(static_cast<fms::EntryIndex>(index), result);
    return 1;
}

__declspec(dllexport) void FmsimDropReply(BYTE command, int drop) {
    TheStack().DropReply(command, drop != 0);
}

__declspec(dllexport) void FmsimFailStatus(BYTE command, int status) {
    TheStack().FailStatus(command, status);
}

__declspec(dllexport) void FmsimSetDestroyFault(int fault) {
    TheStack().SetDestroyFault(fault);
}

__declspec(dllexport) void FmsimClearFaults() {
    TheStack().ClearFaults();
}

__declspec(dllexport) void FmsimGetCounters(FmsimCounters *out) {
    if (out == nullptr)
        return;
    TheStack().GetCounters(*out);
}

__declspec(dllexport) uint64_t FmsimCallCount(const char *function) {
    const int index = fms::EntryByName(function);
    return index < 0 ? 0 : TheStack().CallCount(static_cast<fms::EntryIndex>(index));
}

__declspec(dllexport) void FmsimResetCounters() {
    TheStack().ResetCounters();
}

__declspec(dllexport) DWORD FmsimEventThreadId() {
    return TheStack().EventThreadId();
}

__declspec(dllexport) DWORD FmsimFrequency() {
    fms::Stack &stack = TheStack();
    std::lock_guard<std::mutex> guard(stack.Mutex());
    return stack.Frequency();
}

__declspec(dllexport) void FmsimGetNotice(FmsimNotice *notice) {
    if (notice != nullptr)
        TheStack().GetNotice(*notice);
}

__declspec(dllexport) int FmsimPowered() {
    return TheStack().Powered() ? 1 : 0;
}

} // extern "C"
