// errors.cpp — the thread's last-error value.
#include <windows.h>

// Each thread has its own value; a new thread starts at 0.
static thread_local DWORD lastError = ERROR_SUCCESS;

DWORD WINAPI GetLastError() {
    return lastError;
}

void WINAPI SetLastError(DWORD error) {
    lastError = error;
}
