// brelk-image: writes a firmware image container, or lists one (ImageTool.h).
#include <iostream>

#include "ImageTool.h"

int main(int argc, char** argv) {
    return brelk::image::Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
