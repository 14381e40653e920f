// On our layer every Sleep, wait and tick count of the process already runs on the clock.
#include "ScaleProgram.h"

bool ScaleProgram() {
    return true;
}
