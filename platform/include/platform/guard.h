// platform/guard.h — a structured-exception guard: runs a call and
// survives a C++ exception or a hardware fault (bad memory access, bus
// error, illegal instruction, arithmetic fault) raised inside it.
#ifndef TAVRINEL_PLATFORM_GUARD_H
#define TAVRINEL_PLATFORM_GUARD_H

namespace platform {

// Answers true when fn returned normally, false when it faulted. After a
// hardware fault the call's stack frames are abandoned (as with
// __except): what the faulting code held stays held.
bool GuardedCall(void (*fn)(void *), void *context);

} // namespace platform

#endif // TAVRINEL_PLATFORM_GUARD_H
