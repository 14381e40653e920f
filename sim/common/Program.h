#pragma once
// Where the running program lies, for the programs that find their modules, the host
// program or the trace catalogs beside themselves; and other programs run from it (the
// tools and suites on Linux that start brelk-sim, the host or Wine).
#include <sys/types.h>

#include <string>
#include <vector>

namespace simcommon {

// The folder of the running program's file; "." when it cannot be read.
[[nodiscard]] std::string ProgramFolder();

// Starts args[0] (a path) with this process's environment, its standard output and error
// to `output` (emptied first unless `append`), or to this process's when it is empty.
// The child's id, or -1.
[[nodiscard]] pid_t SpawnProgram(const std::vector<std::string>& args,
                                 const std::string& output = {}, bool append = false);
// Waits for the child; its exit code, or -1 when it did not exit by itself.
int WaitProgram(pid_t pid);
// Both: the exit code, or -1.
int RunProgram(const std::vector<std::string>& args, const std::string& output = {},
               bool append = false);

}  // namespace simcommon
