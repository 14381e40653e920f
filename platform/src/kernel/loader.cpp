// Module loading with the Windows search order and DllMain notifications, serialised
// under one loader lock as on Windows (DllMain runs while it is held).
#include <windows.h>
#include <winplat/faults.h>
#include <winplat/stats.h>

#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <vector>

#include "kernel/kernel.h"

namespace winplat {
namespace {

using DllMainFn = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

struct Module {
    std::string path;  // resolved host path, the module's identity
    void* dl;
    const link_map* map;
    HMODULE base;
    LONG refs;
    DllMainFn entry;  // null when the module has no DllMain
    bool threadCalls = true;
};

struct Loader {
    std::recursive_mutex lock;
    std::vector<Module*> modules;  // guarded by lock; in load order
};

Loader& TheLoader() {
    static Loader* loader = new Loader;
    return *loader;
}

Module* FindLocked(HMODULE h) {
    for (Module* m : TheLoader().modules) {
        if (m->base == h) {
            return m;
        }
    }
    return nullptr;
}

void RemoveLocked(Module* m) {
    auto& list = TheLoader().modules;
    std::erase(list, m);
}

// A symbol that the object itself defines; dlsym alone would also search the objects
// it depends on, which Windows' export lookup never does.
void* OwnSymbol(void* dl, const link_map* map, const char* name) {
    void* sym = dlsym(dl, name);
    if (sym == nullptr) {
        return nullptr;
    }
    Dl_info info;
    void* extra = nullptr;
    if (dladdr1(sym, &info, &extra, RTLD_DL_LINKMAP) == 0 || extra != map) {
        return nullptr;
    }
    return sym;
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsElf(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    char magic[4] = {};
    const bool elf = fread(magic, 1, 4, f) == 4 && memcmp(magic, "\177ELF", 4) == 0;
    fclose(f);
    return elf;
}

// PATH folders: ';' separates, and so does ':' unless it follows a drive letter.
std::vector<std::string> PathFolders() {
    std::vector<std::string> folders;
    std::string value;
    if (!ReadEnvironment("PATH", &value)) {
        return folders;
    }
    std::string current;
    for (size_t i = 0; i <= value.size(); ++i) {
        const char c = i < value.size() ? value[i] : ';';
        const bool driveColon =
            c == ':' && current.size() == 1 && isalpha(static_cast<unsigned char>(current[0]));
        if ((c == ';' || c == ':') && !driveColon) {
            if (!current.empty()) {
                folders.push_back(current);
            }
            current.clear();
        } else {
            current += c;
        }
    }
    return folders;
}

// The module name as LoadLibrary reads it: no extension means ".dll"; a trailing '.'
// means "no extension, add none". Empty when the name has no file part.
std::wstring WithModuleExtension(std::wstring name) {
    const size_t sep = name.find_last_of(L"\\/");
    const std::wstring_view file =
        std::wstring_view(name).substr(sep == std::wstring::npos ? 0 : sep + 1);
    if (file.empty()) {
        return {};
    }
    if (file.find(L'.') == std::wstring_view::npos) {
        name += L".dll";
    } else if (name.back() == L'.') {
        name.pop_back();
    }
    return name;
}

std::string ResolveModule(const std::wstring& given) {
    const std::wstring name = WithModuleExtension(given);
    if (name.empty()) {
        return {};
    }
    if (name.find_last_of(L"\\/") != std::wstring::npos || (name.size() >= 2 && name[1] == L':')) {
        const std::string host = HostPathFor(name);
        return IsRegularFile(host) ? host : std::string();
    }
    const std::string narrow = Utf8FromWide(name);
    std::vector<std::string> folders = {ProgramFolder(), CurrentFolder()};
    for (const auto& folder : PathFolders()) {
        folders.push_back(
            folder[0] == '/' ? folder : HostPathFor(std::wstring(folder.begin(), folder.end())));
    }
    for (const auto& folder : folders) {
        if (folder.empty()) {
            continue;
        }
        const std::string match = MatchEntry(folder, narrow);
        const std::string path = folder + (folder.back() == '/' ? "" : "/") + match;
        if (!match.empty() && IsRegularFile(path)) {
            return path;
        }
    }
    return {};
}

HMODULE LoadModule(const char* api, const std::wstring& name) {
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    if (WinplatShouldFail(api, &error)) {
        SetLastError(error);
        return nullptr;
    }
    const std::string found = ResolveModule(name);
    char real[PATH_MAX];
    if (found.empty() || realpath(found.c_str(), real) == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const std::string path = real;

    Loader& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    for (Module* m : loader.modules) {
        if (m->path == path) {
            ++m->refs;
            return m->base;
        }
    }
    void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dl == nullptr) {
        // Windows says why only through the error code; the reason helps whoever builds.
        const char* why = dlerror();
        fprintf(stderr, "winplat: cannot load %s: %s\n", path.c_str(), why ? why : "?");
        SetLastError(IsElf(path) ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    link_map* map = nullptr;
    dlinfo(dl, RTLD_DI_LINKMAP, &map);
    const auto base = reinterpret_cast<HMODULE>(map->l_addr);
    if (Module* same = FindLocked(base)) {  // the same file under another name
        dlclose(dl);
        ++same->refs;
        return base;
    }
    auto* m = new Module{path, dl, map,
                         base, 1,  reinterpret_cast<DllMainFn>(OwnSymbol(dl, map, "DllMain"))};
    loader.modules.push_back(m);
    if (m->entry != nullptr && !m->entry(base, DLL_PROCESS_ATTACH, nullptr)) {
        // As Windows does: the module hears DLL_PROCESS_DETACH, then is unloaded.
        m->entry(base, DLL_PROCESS_DETACH, nullptr);
        RemoveLocked(m);
        dlclose(m->dl);
        delete m;
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    return base;
}

template <typename T>
DWORD CopyTruncated(const std::basic_string<T>& text, T* buffer, DWORD size) {
    if (buffer == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (text.size() < size) {
        memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(T));
        return static_cast<DWORD>(text.size());
    }
    memcpy(buffer, text.c_str(), (size - 1) * sizeof(T));
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

bool ModulePath(HMODULE h, std::string* path) {
    if (h == nullptr) {
        char real[PATH_MAX];
        if (realpath("/proc/self/exe", real) == nullptr) {
            return false;
        }
        *path = real;
        return true;
    }
    Loader& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    Module* m = FindLocked(h);
    if (m == nullptr) {
        return false;
    }
    *path = m->path;
    return true;
}

}  // namespace

void NotifyModulesOfThread(DWORD reason) {
    Loader& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    const std::vector<Module*> snapshot = loader.modules;
    for (Module* m : snapshot) {
        if (m->entry != nullptr && m->threadCalls) {
            m->entry(m->base, reason, nullptr);
        }
    }
}

}  // namespace winplat

using namespace winplat;

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadModule("LoadLibraryW", lpLibFileName);
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    std::wstring wide;
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!WideFromUtf8(lpLibFileName, &wide)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return LoadModule("LoadLibraryA", wide);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    Loader& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    Module* m = FindLocked(hLibModule);
    if (m == nullptr || m->refs <= 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (--m->refs > 0) {
        return TRUE;
    }
    if (m->entry != nullptr) {
        m->entry(m->base, DLL_PROCESS_DETACH, nullptr);
    }
    RemoveLocked(m);
    dlclose(m->dl);
    delete m;
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    // A value below 0x10000 is an ordinal; modules here export by name only.
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    Loader& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    void* sym = nullptr;
    if (hModule == nullptr) {
        // The program itself.
        void* self = dlopen(nullptr, RTLD_NOW);
        link_map* map = nullptr;
        if (self != nullptr && dlinfo(self, RTLD_DI_LINKMAP, &map) == 0) {
            sym = OwnSymbol(self, map, lpProcName);
        }
        if (self != nullptr) {
            dlclose(self);
        }
    } else {
        Module* m = FindLocked(hModule);
        if (m == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        sym = OwnSymbol(m->dl, m->map, lpProcName);
    }
    if (sym == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(sym);
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
    Loader& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    Module* m = FindLocked(hLibModule);
    if (m == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    m->threadCalls = false;
    return TRUE;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    if (lpModuleName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::wstring wanted = WithModuleExtension(lpModuleName);
    const bool withFolder = wanted.find_last_of(L"\\/") != std::wstring::npos;
    Loader& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    for (Module* m : loader.modules) {
        std::wstring have = WindowsPathFor(m->path);
        if (!withFolder) {
            have.erase(0, have.find_last_of(L"\\/") + 1);
        }
        if (!wanted.empty() && EqualNoCase(have, wanted)) {
            return m->base;
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    std::string path;
    if (!ModulePath(hModule, &path)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    return CopyTruncated(WindowsPathFor(path), lpFilename, nSize);
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    std::string path;
    if (!ModulePath(hModule, &path)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    return CopyTruncated(Utf8FromWide(WindowsPathFor(path)), lpFilename, nSize);
}

size_t WinplatLoadedModuleCount() {
    Loader& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> guard(loader.lock);
    return loader.modules.size();
}
