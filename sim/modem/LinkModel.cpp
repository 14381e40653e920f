#include "LinkModel.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// A finite number >= 0 followed by one of the units; the unit's factor applied.
bool ParseQuantity(const std::string& text, const std::pair<const char*, double>* units,
                   size_t unitCount, double* value) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || !std::isfinite(v) || v < 0) {
        return false;
    }
    const std::string unit = end;
    for (size_t i = 0; i < unitCount; ++i) {
        if (unit == units[i].first) {
            *value = v * units[i].second;
            return std::isfinite(*value);
        }
    }
    return false;
}

constexpr std::pair<const char*, double> kRateUnits[] = {
    {"", 1},        {"B/s", 1},        {"k", 1e3},        {"kB/s", 1e3},
    {"M", 1e6},     {"MB/s", 1e6},     {"G", 1e9},        {"GB/s", 1e9},
    {"Ki", 1024.0}, {"KiB/s", 1024.0}, {"Mi", 1048576.0}, {"MiB/s", 1048576.0},
};
constexpr std::pair<const char*, double> kTimeUnits[] = {{"ms", 1}, {"us", 1e-3}};

}  // namespace

double LinkModel::TransferMs(size_t bytes) const {
    return TurnaroundMs +
           (BytesPerSecond > 0 ? static_cast<double>(bytes) * 1000.0 / BytesPerSecond : 0);
}

std::string LinkModel::Text() const {
    if (Off()) {
        return "off";
    }
    std::ostringstream out;
    out.precision(15);  // reads back as the same link
    const char* sep = "";
    if (BytesPerSecond > 0) {
        out << "rate=" << BytesPerSecond / 1e6 << "MB/s";
        sep = ";";
    }
    if (TurnaroundMs > 0) {
        out << sep << "turnaround=" << TurnaroundMs << "ms";
    }
    return out.str();
}

bool ParseLinkModel(const std::string& text, LinkModel* link, std::string* error) {
    LinkModel parsed;
    if (Trim(text).empty() || Trim(text) == "off") {
        *link = parsed;
        return true;
    }
    std::stringstream in(text);
    for (std::string term; std::getline(in, term, ';');) {
        term = Trim(term);
        if (term.empty()) {
            continue;
        }
        const size_t eq = term.find('=');
        const std::string key = Trim(term.substr(0, eq));
        const std::string value = eq == std::string::npos ? "" : Trim(term.substr(eq + 1));
        if (key == "rate") {
            if (!ParseQuantity(value, kRateUnits, std::size(kRateUnits), &parsed.BytesPerSecond)) {
                *error =
                    "link: rate wants bytes per second, such as rate=4.3MB/s (got '" + value + "')";
                return false;
            }
        } else if (key == "turnaround") {
            if (!ParseQuantity(value, kTimeUnits, std::size(kTimeUnits), &parsed.TurnaroundMs)) {
                *error =
                    "link: turnaround wants a time in ms or us, such as turnaround=0.125ms "
                    "(got '" +
                    value + "')";
                return false;
            }
        } else {
            *error = "link: unknown term '" + term + "' (known: rate=, turnaround=, or off)";
            return false;
        }
    }
    *link = parsed;
    return true;
}

}  // namespace sim
