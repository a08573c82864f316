// FMS_API_DestroyFault.dll: the FM stack simulator whose FM_Destroy raises
// a memory fault from the start, for a phone process that cannot reach the
// simulator's fault hooks itself.
#include <fmsim.h>

namespace {

// Runs after the simulator's own initialisation (it is linked last).
[[gnu::constructor]] void ArmDestroyFault() {
    FmsimSetDestroyFault(FMSIM_FAULT_SEGV);
}

} // namespace
