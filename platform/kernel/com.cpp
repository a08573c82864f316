// com.cpp — CoInitializeEx and CoUninitialize: per-thread counting only
// (no COM objects exist on the emulated device).
#include <windows.h>

namespace {

constexpr DWORD kModelMask = COINIT_APARTMENTTHREADED;

// Per thread: how many successful CoInitializeEx calls are not yet balanced,
// and the concurrency model of the first of them.
thread_local unsigned initCount = 0;
thread_local DWORD initModel = 0;

} // namespace

// S_OK for the first call of a thread, S_FALSE for every further call with
// the same model (each counts), RPC_E_CHANGED_MODE for a different model
// (does not count), E_INVALIDARG for a non-null reserved argument.
HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coInit) {
    if (reserved)
        return E_INVALIDARG;
    const DWORD model = coInit & kModelMask;
    if (initCount == 0) {
        initCount = 1;
        initModel = model;
        return S_OK;
    }
    if (model != initModel)
        return RPC_E_CHANGED_MODE;
    ++initCount;
    return S_FALSE;
}

// Balances one successful CoInitializeEx; an unbalanced call does nothing.
void WINAPI CoUninitialize() {
    if (initCount > 0 && --initCount == 0)
        initModel = 0;
}
