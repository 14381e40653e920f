// brelk-fxhost: the framework's driver host process. brelk-sim update hands its runs to
// this program, which lives in a folder without modules (see HostRunner.h).
#include <iostream>

#include "HostRunner.h"

int main(int argc, char** argv) {
    fwhost::HostOptions options;
    std::string error;
    if (!fwhost::ParseHostArgs(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
        std::cerr << "brelk-fxhost: " << error << "\n" << fwhost::HostOptionsHelp();
        return 2;
    }
    return fwhost::RunHost(options, std::cout);
}
