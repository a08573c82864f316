// binding.cpp — binds the FM stack's 33 entry points by name, in order.
#include "session.h"

namespace lumarc {

// GetProcAddressW answers a generic function pointer; it is converted to
// the entry point's real type through the generic `void (*)()`.
template <typename Function> Function entryPoint(FARPROC proc) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

// Stops at the first name the stack library does not export, after
// reporting it ("Failed to load 'FM_Tune'", no line end).
bool TunerSession::bindStack() {
#define FMS_BIND(name, result, params)                                                             \
    name = entryPoint<PFN_##name>(GetProcAddressW(stackLibrary, TEXT(#name)));                     \
    if (name == nullptr) {                                                                         \
        debugPrint(TEXT("Failed to load '%s'"), TEXT(#name));                                      \
        return false;                                                                              \
    }
    FMS_ENTRY_POINTS(FMS_BIND)
#undef FMS_BIND
    return true;
}

} // namespace lumarc
