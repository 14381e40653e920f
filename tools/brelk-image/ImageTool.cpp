#include "ImageTool.h"

#include <cstdio>
#include <filesystem>
#include <ostream>

#include "FirmwareImage.h"
#include "HostRunner.h"

namespace fs = std::filesystem;

namespace brelk::image {

namespace {

void Help(std::ostream& out, const std::string& program) {
    out << "usage: " << program << " -o FILE -v VERSION_TEXT ITEM...\n"
        << "       " << program << " --machine DIR -v VERSION_TEXT ITEM...\n"
        << "       " << program << " --list FILE\n"
        << "  -o FILE          write the image container FILE\n"
           "  --machine DIR    write it as the image of the simulated machine DIR (replaces\n"
           "                   the image the machine had)\n"
           "  -v VERSION_TEXT  the version text; the driver reads the version as the first\n"
           "                   word after \"1:\", e.g. \"QB4410 1:2.0.0 rel\"\n"
           "  --list FILE      list the version and the items of FILE\n"
           "  ITEM             NAME:CLASS:SIZE (generated data; SIZE takes k or m) or\n"
           "                   NAME:CLASS:@FILE; items of memory class 4 and above are\n"
           "                   downloaded\n";
}

int List(const std::string& path, std::ostream& out, std::ostream& err,
         const std::string& program) {
    std::string error;
    auto image = fwimage::ImageReader::Open(path, &error);
    if (!image) {
        err << program << ": " << path << ": " << error << "\n";
        return 1;
    }
    out << "version text: " << image->VersionText() << "\n"
        << "version: " << VersionTokenOf(image->VersionText()) << "\n"
        << "items: " << image->Toc().size() << "\n";
    for (size_t i = 0; i < image->Toc().size(); ++i) {
        const auto& e = image->Toc()[i];
        char line[160];
        std::snprintf(line, sizeof line, "%4zu  %-31s class %-3u size %-10u crc32 %08x%s\n", i,
                      e.Name.c_str(), e.MemoryClass, e.Size, e.Checksum,
                      e.MemoryClass >= 4 ? "" : "  (not downloaded)");
        out << line;
    }
    return 0;
}

// The machine keeps one image: the old ones go before the new one is written.
bool MachineImagePath(const std::string& machine, std::string* path, std::string* error) {
    const std::string folder = driverhost::FirmwareFolder(machine);
    std::error_code ec;
    fs::create_directories(folder, ec);
    for (std::string old = driverhost::InstalledImage(machine); !old.empty();
         old = driverhost::InstalledImage(machine)) {
        if (!fs::remove(old, ec)) {
            *error = "cannot replace " + old;
            return false;
        }
    }
    *path = folder + "/Lumbra_QB4410_NAND.fls";
    return true;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const std::string& program) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        Help(out, program);
        return 0;
    }
    if (args.size() == 2 && args[0] == "--list") {
        return List(args[1], out, err, program);
    }
    std::string output;
    std::string machine;
    std::string version;
    bool haveVersion = false;
    std::vector<fwimage::ItemSpec> items;
    for (size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "-o" || args[i] == "-v" || args[i] == "--machine") && i + 1 < args.size()) {
            (args[i] == "-o" ? output : args[i] == "-v" ? version : machine) = args[i + 1];
            haveVersion = haveVersion || args[i] == "-v";
            ++i;
            continue;
        }
        fwimage::ItemSpec item;
        if (!fwimage::ParseItemSpec(args[i], &item)) {
            err << program << ": bad item '" << args[i] << "' (" << program
                << " --help for the usage)\n";
            return 2;
        }
        items.push_back(std::move(item));
    }
    if (output.empty() == machine.empty() || !haveVersion) {
        err << program << ": give -o FILE or --machine DIR, and -v VERSION_TEXT (" << program
            << " --help for the usage)\n";
        return 2;
    }
    std::string error;
    if (!machine.empty() && !MachineImagePath(machine, &output, &error)) {
        err << program << ": " << error << "\n";
        return 1;
    }
    if (!fwimage::WriteImage(output, version, items, &error)) {
        err << program << ": " << error << "\n";
        return 1;
    }
    out << "image " << output << " written: version " << VersionTokenOf(version) << ", "
        << items.size() << " items\n";
    return 0;
}

}  // namespace brelk::image
