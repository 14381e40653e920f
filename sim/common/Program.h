#pragma once
// Where the running program lies, for the programs that find their modules, the host
// program or the trace catalogs beside themselves.
#include <string>

namespace simcommon {

// The folder of the running program's file; "." when it cannot be read.
[[nodiscard]] std::string ProgramFolder();

}  // namespace simcommon
