#include "Numbers.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace simcommon {

bool ParseUnsigned(const std::string& text, unsigned long long max, unsigned long long* value) {
    // strtoull skips blanks and takes a sign, which would turn "-1" into the largest value.
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || v > max) {
        return false;
    }
    *value = v;
    return true;
}

bool ParsePositive(const std::string& text, double* value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno != 0 || !std::isfinite(v) || v <= 0) {
        return false;
    }
    *value = v;
    return true;
}

}  // namespace simcommon
