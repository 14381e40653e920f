// The simulated components' seam to their host system, where the host is Windows: the
// paths are already Windows paths and the clock is the system's, scaled only by
// WINPLAT_TIME_SCALE as on the Linux layer, so a stand-in runs at the same pace.
#include <windows.h>
#include <winplat/clock.h>
#include <winplat/drives.h>

#include <cmath>
#include <cstdlib>

namespace {

double ScaleFromEnvironment() {
    char text[64] = {};
    const DWORD n = GetEnvironmentVariableA("WINPLAT_TIME_SCALE", text, sizeof(text));
    if (n == 0 || n >= sizeof(text)) {
        return 1.0;
    }
    const double scale = std::strtod(text, nullptr);
    return std::isfinite(scale) && scale > 0 ? scale : 1.0;
}

double g_Scale = ScaleFromEnvironment();  // written at load and by WinplatSetTimeScale

}  // namespace

bool WinplatSetTimeScale(double scale) {
    if (!std::isfinite(scale) || scale <= 0) {
        return false;
    }
    g_Scale = scale;
    return true;
}

double WinplatGetTimeScale() {
    return g_Scale;
}

std::chrono::nanoseconds WinplatScaledMs(double ms) {
    return std::chrono::nanoseconds(static_cast<long long>(ms * 1e6 / g_Scale));
}

void WinplatSleepMs(ULONGLONG ms) {
    Sleep(static_cast<DWORD>(static_cast<double>(ms) / g_Scale));
}

std::string WinplatToHostPath(std::string_view windowsPath) {
    return std::string(windowsPath);
}

std::string WinplatToHostPath(std::wstring_view windowsPath) {
    if (windowsPath.empty()) {
        return {};
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, windowsPath.data(), static_cast<int>(windowsPath.size()),
                            nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, windowsPath.data(), static_cast<int>(windowsPath.size()),
                            out.data(), size, nullptr, nullptr);
    }
    return out;
}
