// brelk-image: writes a firmware image container (sim/image/FORMAT.md) from a version
// text and a list of items, or lists an existing one.
//
//   brelk-image -o IMAGE -v "VERSION TEXT" ITEM...
//   brelk-image --list IMAGE
//
// ITEM is NAME:CLASS:SIZE (generated content) or NAME:CLASS:@FILE (content of FILE).
// SIZE takes a k or m suffix (1024, 1048576).

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FirmwareImage.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: brelk-image -o IMAGE -v VERSION_TEXT NAME:CLASS:SIZE|NAME:CLASS:@FILE...\n"
                 "       brelk-image --list IMAGE\n");
    return 2;
}

int List(const std::string& path) {
    std::string error;
    auto image = fwimage::ImageReader::Open(path, &error);
    if (!image) {
        std::fprintf(stderr, "brelk-image: %s: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    std::printf("version: %s\nitems: %zu\n", image->VersionText().c_str(), image->Toc().size());
    for (size_t i = 0; i < image->Toc().size(); ++i) {
        const auto& e = image->Toc()[i];
        std::printf("%4zu  %-31s class %-3u size %-10u crc32 %08x\n", i, e.Name.c_str(),
                    e.MemoryClass, e.Size, e.Checksum);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--list") {
        return List(args[1]);
    }
    std::string output;
    std::string version;
    bool haveVersion = false;
    std::vector<fwimage::ItemSpec> items;
    for (size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "-o" || args[i] == "-v") && i + 1 < args.size()) {
            (args[i] == "-o" ? output : version) = args[i + 1];
            haveVersion = haveVersion || args[i] == "-v";
            ++i;
            continue;
        }
        fwimage::ItemSpec item;
        if (!fwimage::ParseItemSpec(args[i], &item)) {
            std::fprintf(stderr, "brelk-image: bad item '%s'\n", args[i].c_str());
            return Usage();
        }
        items.push_back(std::move(item));
    }
    if (output.empty() || !haveVersion) {
        return Usage();
    }
    std::string error;
    if (!fwimage::WriteImage(output, version, items, &error)) {
        std::fprintf(stderr, "brelk-image: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
