// Feeds the tuner library's stack event callback a stream of hostile
// events: any type byte, any command and status, RDS runs of any length
// (type 8 runs cut from the input). Nothing may crash, overrun or leak.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fake_stack.h>
#include <fmapi.h>
#include <platform/emulation.h>
#include <windows.h>

namespace {

void OnTune(HFMTUNER, DWORD, FMTuneReason) {}
void OnGroup(HFMTUNER, const RdsGroupRecord *group) {
    // Touch the record so a bad one is seen by the sanitizer.
    volatile DWORD sink = group->dwSize + group->wBlockA + group->dwBlockErrors;
    (void)sink;
}

HFMTUNER tuner = nullptr;

HFMTUNER OpenOnce() {
    static const bool opened = [] {
        const char *dir = std::getenv("TAVRINEL_MODULE_DIR");
        const std::string bin = dir != nullptr ? dir : platform::GetModuleDir();
        platform::MapModule(u"FMS_API.dll", bin + "/FakeStack.dll");
        platform::SetClockSpeed(1000); // a power-off that gets no reply ends fast
        HFMTUNER t = tuner = FMOpen(0);
        if (t != nullptr) {
            FMSetProp(t, FMPROP_TUNE_CALLBACK, reinterpret_cast<DWORD_PTR>(&OnTune));
            FMSetProp(t, FMPROP_RDS_CALLBACK, reinterpret_cast<DWORD_PTR>(&OnGroup));
            // Close before the fake stack's own state is torn down at exit.
            std::atexit([] { FMClose(tuner); });
        }
        return t != nullptr;
    }();
    return opened ? tuner : nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (OpenOnce() == nullptr)
        return 0;
    size_t at = 0;
    while (at < size) {
        StackEvent event{};
        event.type = data[at++];
        const size_t left = size - at;
        if (event.type == STACK_EVENT_RDS_DATA) {
            // Two length bytes, then up to that many bytes of the input.
            size_t length = left >= 2 ? (data[at] | (data[at + 1] << 8)) : 0;
            at += left >= 2 ? 2 : left;
            length = std::min(length, size - at);
            std::vector<uint8_t> run(data + at, data + at + length);
            at += length;
            event.u.rds.length = static_cast<WORD>(length);
            event.u.rds.data = reinterpret_cast<DWORD_PTR>(run.data());
            fakestack::Deliver(event);
        } else {
            // The payload's fixed part, pointer field excluded.
            const size_t payload = std::min<size_t>(left, 12);
            std::memcpy(reinterpret_cast<uint8_t *>(&event) + 4, data + at, payload);
            at += payload;
            fakestack::Deliver(event);
        }
    }
    return 0;
}
