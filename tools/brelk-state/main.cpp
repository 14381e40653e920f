#include <iostream>

#include "StateTool.h"

int main(int argc, char** argv) {
    return brelk::state::Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
