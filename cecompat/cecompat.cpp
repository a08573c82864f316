// cecompat.cpp — desktop Win32 answers for the Windows CE calls of cecompat.h.
#include <cecompat.h>

#include <csetjmp>
#include <cstring>

HANDLE WINAPI ActivateDeviceEx(LPCWSTR, LPCVOID, DWORD, LPVOID) {
    // Desktop Windows has no stream-driver manager.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

BOOL WINAPI DeactivateDevice(HANDLE) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR procName) {
    if (procName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Entry point names are ASCII; anything else cannot name one.
    char narrow[256];
    size_t i = 0;
    for (; procName[i] != 0; ++i) {
        if (i + 1 >= sizeof(narrow) || procName[i] > 0x7F) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        narrow[i] = static_cast<char>(procName[i]);
    }
    narrow[i] = '\0';
    return GetProcAddress(module, narrow);
}

void WINAPI AudioUpdateFromRegistry(void) {}

BOOL WINAPI SHInitDialog(PSHINITDLGINFO info) {
    return info != nullptr && info->hDlg != nullptr ? TRUE : FALSE;
}

BOOL WINAPI SHCreateMenuBar(PSHMENUBARINFO info) {
    if (info != nullptr)
        info->hwndMB = nullptr;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

namespace {

// The guarded call of this thread; a fault inside it jumps back here.
thread_local jmp_buf *guardJump = nullptr;

LONG CALLBACK FaultHandler(PEXCEPTION_POINTERS info) {
    if (guardJump == nullptr)
        return EXCEPTION_CONTINUE_SEARCH;
    switch (info->ExceptionRecord->ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
        // Abandons the faulting frames, as __except does.
        __builtin_longjmp(reinterpret_cast<void **>(*guardJump), 1);
    default:
        return EXCEPTION_CONTINUE_SEARCH;
    }
}

} // namespace

bool GuardedCall(void (*fn)(void *), void *context) {
    static PVOID handler = AddVectoredExceptionHandler(1, FaultHandler);
    (void)handler;
    jmp_buf jump;
    jmp_buf *outer = guardJump;
    if (__builtin_setjmp(reinterpret_cast<void **>(jump)) != 0) {
        guardJump = outer;
        return false;
    }
    guardJump = &jump;
    bool ok = true;
    try {
        fn(context);
    } catch (...) {
        ok = false;
    }
    guardJump = outer;
    return ok;
}
