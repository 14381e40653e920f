#pragma once
// Decoding a trace log recorded with `brelk-sim update --trace`: the command line of
// brelk-trace and of `brelk-sim trace`.
//
//   [--catalog DIR] [--level N] [--flags X] LOGFILE
#include <iosfwd>
#include <string>
#include <vector>

namespace brelk::trace {

// The command line above (without the program name); `program` starts every message.
// Returns the exit code: 0 done (also for --help), 1 failed, 2 usage.
[[nodiscard]] int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const std::string& program = "brelk-trace");

}  // namespace brelk::trace
