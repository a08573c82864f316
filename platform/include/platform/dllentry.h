// platform/dllentry.h — runs a module's DllMain when the module is loaded
// and unloaded, whether it came in by import or through LoadLibraryW.
// Use once per module, at namespace scope: TAVRINEL_DLL_ENTRY(DllMain);
#ifndef TAVRINEL_PLATFORM_DLLENTRY_H
#define TAVRINEL_PLATFORM_DLLENTRY_H

#include "windows.h"

#define TAVRINEL_DLL_ENTRY(entry)                                                                  \
    namespace {                                                                                    \
    struct DllEntryRunner {                                                                        \
        DllEntryRunner() { Run(DLL_PROCESS_ATTACH); }                                              \
        ~DllEntryRunner() { Run(DLL_PROCESS_DETACH); }                                             \
        /* A fault inside DllMain must not escape into the loader. */                              \
        static void Run(DWORD reason) {                                                            \
            try {                                                                                  \
                entry(nullptr, reason, nullptr);                                                   \
            } catch (...) {                                                                        \
            }                                                                                      \
        }                                                                                          \
        DllEntryRunner(const DllEntryRunner &) = delete;                                           \
        DllEntryRunner &operator=(const DllEntryRunner &) = delete;                                \
    };                                                                                             \
    const DllEntryRunner dllEntryRunner;                                                           \
    }

#endif // TAVRINEL_PLATFORM_DLLENTRY_H
