// kernel_probe.cpp — a module for the loader tests (KernelProbe.dll).
//
// Its DllMain (run by platform/dllentry.h, not by the loader) holds the
// named event "KernelProbeUnloaded" while the module is mapped and sets it
// when the module is unmapped, so a test can see the unload.
#include <windows.h>

#include <platform/dllentry.h>

static HANDLE unloadedEvent;
static LONG attachCount;

static BOOL WINAPI DllMain(HANDLE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InterlockedIncrement(&attachCount);
        unloadedEvent = CreateEventW(nullptr, TRUE, FALSE, u"KernelProbeUnloaded");
    } else if (reason == DLL_PROCESS_DETACH) {
        SetEvent(unloadedEvent);
        CloseHandle(unloadedEvent);
    }
    return TRUE;
}

TAVRINEL_DLL_ENTRY(DllMain);

extern "C" __declspec(dllexport) int ProbeAnswer() {
    return 42;
}

extern "C" __declspec(dllexport) LONG ProbeAttachCount() {
    return attachCount;
}
