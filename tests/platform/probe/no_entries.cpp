// no_entries.cpp — NoEntries.dll: exports TST_Init only, so the device
// manager must refuse it (Deinit, Open and Close are required).
#include <windows.h>

extern "C" __declspec(dllexport) DWORD_PTR TST_Init(LPCWSTR) {
    return 1;
}
