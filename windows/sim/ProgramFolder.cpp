// The running program's folder as Windows names it.
#include <windows.h>

#include <filesystem>
#include <string>

#include "Program.h"
#include "Text.h"

namespace simcommon {

std::string ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return ".";
        }
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return ToUtf8(std::filesystem::path(path).parent_path().wstring());
}

}  // namespace simcommon
