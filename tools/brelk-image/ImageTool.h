#pragma once
// Writing and listing firmware image containers (sim/image/FORMAT.md): the command line
// of brelk-image and of `brelk-sim image`.
//
//   -o FILE -v VERSION_TEXT ITEM...         write an image container
//   --machine DIR -v VERSION_TEXT ITEM...   write it as the machine's image
//   --list FILE                             list an image
//
// ITEM is NAME:CLASS:SIZE (generated content; SIZE takes k or m) or NAME:CLASS:@FILE.
#include <iosfwd>
#include <string>
#include <vector>

namespace brelk::image {

// The command line above (without the program name); `program` starts every message.
// Returns the exit code: 0 done (also for --help), 1 failed, 2 usage.
[[nodiscard]] int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const std::string& program = "brelk-image");

}  // namespace brelk::image
