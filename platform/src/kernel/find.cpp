// FindFirstFile / FindNextFile over host folders with Win32 wildcard rules.
#include <windows.h>
#include <winplat/faults.h>

#include <dirent.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "kernel/kernel.h"

namespace winplat {
namespace {

// The DOS wildcards Win32 rewrites a pattern into before matching.
constexpr wchar_t kDosStar = L'<';  // any run of characters up to the name's last '.'
constexpr wchar_t kDosQm = L'>';    // one character; zero at a '.' or the end of the name
constexpr wchar_t kDosDot = L'"';   // a '.' or, at the end of the name, nothing

std::wstring TranslateWin32Pattern(std::wstring_view pattern) {
    if (pattern.empty() || pattern == L"*" || pattern == L"*.*") {
        return L"*";
    }
    std::wstring out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const wchar_t c = pattern[i];
        if (c == L'.') {
            if (i >= 1 && i == pattern.size() - 1 && pattern[i - 1] == L'*') {
                out.back() = kDosStar;
            } else if (i + 1 < pattern.size() &&
                       (pattern[i + 1] == L'?' || pattern[i + 1] == L'*')) {
                out += kDosDot;
            } else {
                out += L'.';
            }
        } else if (c == L'?') {
            out += kDosQm;
        } else {
            out += c;
        }
    }
    return out;
}

class Matcher {
public:
    Matcher(std::wstring_view expr, std::wstring_view name)
        : m_expr(expr), m_name(name), m_memo((expr.size() + 1) * (name.size() + 1), kUnknown) {
        m_lastDot = name.rfind(L'.');
    }

    bool Match(size_t e, size_t n) {
        signed char& memo = m_memo[e * (m_name.size() + 1) + n];
        if (memo == kUnknown) {
            memo = Compute(e, n) ? 1 : 0;
        }
        return memo == 1;
    }

private:
    static constexpr signed char kUnknown = -1;

    bool Compute(size_t e, size_t n) {
        const bool atEnd = n == m_name.size();
        if (e == m_expr.size()) {
            return atEnd;
        }
        const wchar_t c = m_expr[e];
        switch (c) {
            case L'*':
                return Match(e + 1, n) || (!atEnd && Match(e, n + 1));
            case kDosStar:
                // May run past any '.' but the last one.
                return Match(e + 1, n) || (!atEnd && n != m_lastDot && Match(e, n + 1));
            case kDosQm:
                if (atEnd || m_name[n] == L'.') {
                    return Match(e + 1, n);
                }
                return Match(e + 1, n + 1);
            case kDosDot:
                if (atEnd) {
                    return Match(e + 1, n);
                }
                return m_name[n] == L'.' && Match(e + 1, n + 1);
            default:
                return !atEnd && FoldCase(c) == FoldCase(m_name[n]) && Match(e + 1, n + 1);
        }
    }

    std::wstring_view m_expr;
    std::wstring_view m_name;
    std::vector<signed char> m_memo;
    size_t m_lastDot;
};

struct Entry {
    std::string name;  // host bytes (UTF-8)
    std::wstring wide;
    DWORD attributes;
    uint64_t size;
    FILETIME created, accessed, written;
};

struct Search : KernelObject {
    Search() : KernelObject(ObjectKind::Find) {}
    std::mutex lock;
    std::vector<Entry> entries;  // written before the handle exists
    size_t next = 0;             // guarded by lock
};

FILETIME FileTimeOf(const timespec& ts) {
    const uint64_t ft = (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull +
                        static_cast<uint64_t>(ts.tv_nsec) / 100u;
    return FILETIME{static_cast<DWORD>(ft), static_cast<DWORD>(ft >> 32)};
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Host status has no creation time; the last write stands in for it.
void Describe(const struct stat& st, Entry* e) {
    e->attributes = AttributesFromMode(st.st_mode);
    e->size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    e->created = FileTimeOf(st.st_mtim);
    e->accessed = FileTimeOf(st.st_atim);
    e->written = FileTimeOf(st.st_mtim);
}

// Lists the entries of the search `pattern`; returns 0 or the Windows error.
DWORD RunSearch(std::wstring_view pattern, std::vector<Entry>* out) {
    if (pattern.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (IsSeparator(pattern.back())) {
        return ERROR_FILE_NOT_FOUND;
    }
    size_t split = pattern.size();
    while (split > 0 && !IsSeparator(pattern[split - 1])) {
        --split;
    }
    std::wstring_view folderPart = pattern.substr(0, split);
    std::wstring_view filePart = pattern.substr(split);
    // "C:name" searches the drive's root, as there is no per-drive current folder.
    if (folderPart.empty() && filePart.size() >= 2 && filePart[1] == L':') {
        folderPart = filePart.substr(0, 2);
        filePart = filePart.substr(2);
        if (filePart.empty()) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
    if (folderPart.find_first_of(L"*?") != std::wstring_view::npos) {
        return ERROR_INVALID_NAME;
    }
    if (filePart == L"." || filePart == L"..") {
        // "dir\." names dir itself: the search reports that one entry.
        const std::string target = HostPathFor(pattern);
        struct stat ts;
        if (target.empty() || stat(target.c_str(), &ts) != 0) {
            return ERROR_PATH_NOT_FOUND;
        }
        const size_t slash = target.rfind('/');
        if (IsRootFolder(target) || slash == std::string::npos) {
            return ERROR_FILE_NOT_FOUND;
        }
        Entry e;
        e.name = target.substr(slash + 1);
        if (!WideFromUtf8(e.name, &e.wide)) {
            return ERROR_FILE_NOT_FOUND;
        }
        Describe(ts, &e);
        out->push_back(std::move(e));
        return 0;
    }
    const std::string folder =
        HostPathFor(folderPart.empty() ? std::wstring_view(L".") : folderPart);
    struct stat st;
    if (folder.empty() || stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return ERROR_PATH_NOT_FOUND;
    }
    // Roots (a drive's folder, the host root) list no "." and "..", as on Windows.
    const bool isRoot = IsRootFolder(folder);

    const std::wstring expr = TranslateWin32Pattern(filePart);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return ERROR_ACCESS_DENIED;
    }
    while (const dirent* d = readdir(dir)) {
        Entry e;
        e.name = d->d_name;
        if (isRoot && (e.name == "." || e.name == "..")) {
            continue;
        }
        // Names Windows could not hold are left out.
        if (!WideFromUtf8(e.name, &e.wide) || e.name.size() >= MAX_PATH ||
            e.wide.size() >= MAX_PATH) {
            continue;
        }
        if (!Matcher(expr, e.wide).Match(0, 0)) {
            continue;
        }
        const std::string full = folder + (folder.back() == '/' ? "" : "/") + e.name;
        struct stat es;
        if (stat(full.c_str(), &es) != 0 && lstat(full.c_str(), &es) != 0) {
            continue;
        }
        Describe(es, &e);
        out->push_back(std::move(e));
    }
    closedir(dir);
    if (out->empty()) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::sort(out->begin(), out->end(), [](const Entry& a, const Entry& b) {
        const int c = CompareNoCase(a.wide, b.wide);
        return c != 0 ? c < 0 : a.name < b.name;
    });
    return 0;
}

template <typename Data>
void FillCommon(const Entry& e, Data* data) {
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = e.attributes;
    data->ftCreationTime = e.created;
    data->ftLastAccessTime = e.accessed;
    data->ftLastWriteTime = e.written;
    data->nFileSizeHigh = static_cast<DWORD>(e.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(e.size);
}

// No 8.3 short names are generated, so cAlternateFileName stays empty and patterns
// match long names only, as on a volume with short names turned off.
void Fill(const Entry& e, LPWIN32_FIND_DATAA data) {
    FillCommon(e, data);
    memcpy(data->cFileName, e.name.c_str(), e.name.size() + 1);
}

void Fill(const Entry& e, LPWIN32_FIND_DATAW data) {
    FillCommon(e, data);
    memcpy(data->cFileName, e.wide.c_str(), (e.wide.size() + 1) * sizeof(WCHAR));
}

template <typename Data>
HANDLE FindFirst(std::wstring_view pattern, Data* data) {
    auto search = std::make_shared<Search>();
    const DWORD error = RunSearch(pattern, &search->entries);
    if (error != 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    Fill(search->entries[0], data);
    search->next = 1;
    HANDLE h;
    {
        std::lock_guard<std::mutex> guard(KernelLock());
        h = InsertHandleLocked(search);
    }
    if (h == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

template <typename Data>
BOOL FindNext(HANDLE h, Data* data) {
    auto object = LookupHandle(h, ObjectKind::Find);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (data == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    auto& search = static_cast<Search&>(*object);
    std::lock_guard<std::mutex> guard(search.lock);
    if (search.next >= search.entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    Fill(search.entries[search.next++], data);
    return TRUE;
}

}  // namespace

DWORD AttributesFromMode(unsigned mode) {
    DWORD attributes = 0;
    if (S_ISDIR(mode)) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    }
    if ((mode & S_IWUSR) == 0) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

bool MatchesWin32Pattern(std::wstring_view pattern, std::wstring_view name) {
    const std::wstring expr = TranslateWin32Pattern(pattern);
    return Matcher(expr, name).Match(0, 0);
}

}  // namespace winplat

using namespace winplat;

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    if (lpFileName == nullptr || lpFindFileData == nullptr) {
        SetLastError(lpFileName ? ERROR_NOACCESS : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return FindFirst(lpFileName, lpFindFileData);
}

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    std::wstring wide;
    if (lpFileName == nullptr || lpFindFileData == nullptr) {
        SetLastError(lpFileName ? ERROR_NOACCESS : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (!WideFromUtf8(lpFileName, &wide)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return FindFirst(wide, lpFindFileData);
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    return FindNext(hFindFile, lpFindFileData);
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    return FindNext(hFindFile, lpFindFileData);
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    if (!RemoveHandle(hFindFile, ObjectKind::Find)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
