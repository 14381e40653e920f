#pragma once
// Numbers on command lines and in option texts, read the same way by every program of
// the simulated machine: decimal, 0x hexadecimal or 0 octal, the whole text, no sign.
#include <string>

namespace simcommon {

// False (and *value untouched) for an empty text, trailing characters, a sign, or a
// value above max.
[[nodiscard]] bool ParseUnsigned(const std::string& text, unsigned long long max,
                                 unsigned long long* value);

// A finite number above zero ("20", "0.5", "1e3").
[[nodiscard]] bool ParsePositive(const std::string& text, double* value);

}  // namespace simcommon
