// brelk-trace: prints a Brelk trace log, one line per message (TraceTool.h).
#include <iostream>

#include "TraceTool.h"

int main(int argc, char** argv) {
    return brelk::trace::Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
