// On Windows the program's imports of the system's Sleep, waits and tick count are bound to
// the seam's clock, as the host binds Brelk.dll's.
#include <windows.h>

#include "HostSystem.h"
#include "ScaleProgram.h"

bool ScaleProgram() {
    return sim::Host().Time().ScaleModule(GetModuleHandleW(nullptr));
}
