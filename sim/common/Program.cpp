#include "Program.h"

#include <filesystem>
#include <system_error>

namespace simcommon {

std::string ProgramFolder() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

}  // namespace simcommon
