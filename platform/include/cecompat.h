// cecompat.h — what the Windows CE SDK has beyond desktop Win32: the device
// manager, aygshell, the audio refresh, the stream driver's fault guard and
// the module entry. The stand-in provides all of them; desktop builds take
// this header from cecompat/ instead.
#ifndef TAVRINEL_PLATFORM_CECOMPAT_H
#define TAVRINEL_PLATFORM_CECOMPAT_H

#include "aygshell.h"
#include "windows.h"
// A resource script (rcc) takes aygshell's menu-bar values only.
#ifndef RC_INVOKED
#include "mmsystem.h"
#include "platform/dllentry.h"
#include "platform/guard.h"

using platform::GuardedCall;
#endif

#endif // TAVRINEL_PLATFORM_CECOMPAT_H
