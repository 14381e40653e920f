#pragma once
// COM: apartments, object creation and the class table (see combaseapi.h).
#include "combaseapi.h"

typedef enum tagCOINIT {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = COINITBASE_MULTITHREADED,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8,
} COINIT;

STDAPI CoInitialize(LPVOID pvReserved);
