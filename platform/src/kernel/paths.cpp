// Windows paths onto the host file system through drive letters.
#include <windows.h>
#include <winplat/drives.h>

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <vector>

#include "kernel/kernel.h"

namespace winplat {
namespace {

struct Drives {
    std::mutex lock;
    std::array<std::string, 26> folders;  // guarded by lock; empty when unmapped
};

Drives& TheDrives() {
    static Drives* drives = new Drives;
    return *drives;
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

int DriveIndex(wchar_t letter) {
    if (letter >= L'a' && letter <= L'z') {
        return letter - L'a';
    }
    if (letter >= L'A' && letter <= L'Z') {
        return letter - L'A';
    }
    return -1;
}

std::string MappedFolder(int index) {
    Drives& d = TheDrives();
    std::lock_guard<std::mutex> guard(d.lock);
    return d.folders[static_cast<size_t>(index)];
}

}  // namespace

std::string CurrentFolder() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string("/");
}

namespace {

bool IsUnder(const std::string& path, const std::string& folder) {
    if (folder.empty() || path.compare(0, folder.size(), folder) != 0) {
        return false;
    }
    return path.size() == folder.size() || path[folder.size()] == '/' || folder.back() == '/';
}

std::vector<std::string> SplitHost(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = path.find('/', start);
        const std::string part = path.substr(start, end == std::string::npos ? end : end - start);
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return parts;
}

std::string Join(const std::string& root, const std::vector<std::string>& parts, size_t count) {
    std::string out = root;
    for (size_t i = 0; i < count; ++i) {
        if (out.empty() || out.back() != '/') {
            out += '/';
        }
        out += parts[i];
    }
    return out;
}

}  // namespace

std::string MatchEntry(const std::string& folder, const std::string& name) {
    struct stat st;
    const std::string exact = folder + (folder.back() == '/' ? "" : "/") + name;
    if (lstat(exact.c_str(), &st) == 0) {
        return name;
    }
    std::wstring wanted;
    if (!WideFromUtf8(name, &wanted)) {
        return {};
    }
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return {};
    }
    std::string best;
    while (const dirent* entry = readdir(dir)) {
        std::wstring candidate;
        if (WideFromUtf8(entry->d_name, &candidate) && EqualNoCase(candidate, wanted) &&
            (best.empty() || best > entry->d_name)) {
            best = entry->d_name;
        }
    }
    closedir(dir);
    return best;
}

std::string HostPathFor(std::wstring_view path) {
    if (path.empty()) {
        return {};
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        return {};  // UNC and device paths have no host counterpart
    }
    std::string root;
    std::vector<std::string> prefix;  // host components taken as they are
    std::wstring_view rest = path;
    if (path.size() >= 2 && path[1] == L':' && DriveIndex(path[0]) >= 0) {
        root = MappedFolder(DriveIndex(path[0]));
        if (root.empty()) {
            return {};
        }
        // No per-drive current folder: "C:x" is read as "C:\x".
        rest = path.substr(2);
    } else if (IsSeparator(path[0])) {
        // There is no current drive: a path rooted without one is a host path.
        root = "/";
    } else {
        root = "/";
        prefix = SplitHost(CurrentFolder());
    }

    std::vector<std::string> parts = prefix;
    size_t resolved = prefix.size();  // parts[0, resolved) are known to be host names
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = start;
        while (end < rest.size() && !IsSeparator(rest[end])) {
            ++end;
        }
        const std::wstring_view component = rest.substr(start, end - start);
        if (component == L"..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
            resolved = parts.size() < resolved ? parts.size() : resolved;
        } else if (!component.empty() && component != L".") {
            parts.push_back(Utf8FromWide(component));
        }
        start = end + 1;
    }
    // Each component takes the case it has on disk, as long as the folders exist.
    for (size_t i = resolved; i < parts.size(); ++i) {
        const std::string match = MatchEntry(Join(root, parts, i), parts[i]);
        if (match.empty()) {
            break;
        }
        parts[i] = match;
    }
    return Join(root, parts, parts.size());
}

bool IsRootFolder(const std::string& hostFolder) {
    if (hostFolder == "/") {
        return true;
    }
    Drives& d = TheDrives();
    std::lock_guard<std::mutex> guard(d.lock);
    return std::find(d.folders.begin(), d.folders.end(), hostFolder) != d.folders.end();
}

std::wstring WindowsPathFor(const std::string& hostPath) {
    std::string best;
    int letter = -1;
    {
        Drives& d = TheDrives();
        std::lock_guard<std::mutex> guard(d.lock);
        for (int i = 0; i < 26; ++i) {
            const std::string& folder = d.folders[static_cast<size_t>(i)];
            if (IsUnder(hostPath, folder) && folder.size() > best.size()) {
                best = folder;
                letter = i;
            }
        }
    }
    std::wstring out;
    std::string rest = hostPath;
    if (letter >= 0) {
        out = static_cast<wchar_t>(L'A' + letter);
        out += L':';
        rest = hostPath.substr(best == "/" ? 0 : best.size());
        if (rest.empty()) {
            rest = "/";
        }
    }
    std::wstring wide;
    if (!WideFromUtf8(rest, &wide)) {
        wide.assign(rest.begin(), rest.end());
    }
    if (letter >= 0) {
        std::replace(wide.begin(), wide.end(), L'/', L'\\');
    }
    return out + wide;
}

std::string ProgramFolder() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(buffer, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace winplat

using namespace winplat;

bool WinplatMapDrive(wchar_t letter, const char* hostFolder) {
    const int index = DriveIndex(letter);
    if (index < 0 || hostFolder == nullptr || *hostFolder == '\0') {
        return false;
    }
    std::string folder = hostFolder;
    char real[PATH_MAX];
    if (realpath(hostFolder, real) != nullptr) {
        folder = real;
    }
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    Drives& d = TheDrives();
    std::lock_guard<std::mutex> guard(d.lock);
    d.folders[static_cast<size_t>(index)] = folder;
    return true;
}

bool WinplatUnmapDrive(wchar_t letter) {
    const int index = DriveIndex(letter);
    if (index < 0) {
        return false;
    }
    Drives& d = TheDrives();
    std::lock_guard<std::mutex> guard(d.lock);
    const bool was = !d.folders[static_cast<size_t>(index)].empty();
    d.folders[static_cast<size_t>(index)].clear();
    return was;
}

void WinplatUnmapAllDrives() {
    Drives& d = TheDrives();
    std::lock_guard<std::mutex> guard(d.lock);
    for (auto& folder : d.folders) {
        folder.clear();
    }
}

std::string WinplatToHostPath(std::wstring_view windowsPath) {
    return HostPathFor(windowsPath);
}

std::string WinplatToHostPath(std::string_view windowsPath) {
    std::wstring wide;
    if (!WideFromUtf8(windowsPath, &wide)) {
        return {};
    }
    return HostPathFor(wide);
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    const std::string host = HostPathFor(lpFileName);
    struct stat st;
    if (host.empty() || stat(host.c_str(), &st) != 0) {
        const size_t slash = host.rfind('/');
        struct stat parent;
        const bool parentExists =
            slash != std::string::npos &&
            stat(slash == 0 ? "/" : host.substr(0, slash).c_str(), &parent) == 0 &&
            S_ISDIR(parent.st_mode);
        SetLastError(parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesFromMode(st.st_mode);
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    std::wstring wide;
    if (lpFileName == nullptr || !WideFromUtf8(lpFileName, &wide)) {
        SetLastError(lpFileName ? ERROR_INVALID_NAME : ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    return GetFileAttributesW(wide.c_str());
}
