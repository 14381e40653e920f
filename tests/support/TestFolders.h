#pragma once
// Where a test's files and modules live, and what the debugger output said.
#include <cstddef>
#include <filesystem>
#include <string>

namespace brelk::test {

// A new empty folder below the temporary folder, named after `tag`; the caller removes it.
std::filesystem::path FreshFolder(const char* tag);

// build/bin: the programs, Brelk.dll, Parlex.dll, Flashkit.dll and their variants.
std::string BinFolder();

// Makes the module search find modules in `folder` first (current folder), then in
// build/bin (PATH). Suites that choose their modules live in a folder without any.
void UseModuleFolder(const std::string& folder);

// Debugger output entries equal to `text`.
size_t CountDebugOutput(const std::string& text);

}  // namespace brelk::test
