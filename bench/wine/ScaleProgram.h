#pragma once
// Puts this program's own Sleep, waits and tick count (those of the driver's parts linked
// into it) on the seam's clock, as the framework host does for Brelk.dll. False when the
// system cannot.
bool ScaleProgram();
