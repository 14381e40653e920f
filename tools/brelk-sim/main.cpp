// brelk-sim: runs firmware updates of a simulated modem and looks after the simulated
// machines they run on. `brelk-sim --help` says it all.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "BootLoader.h"
#include "BrelkTrace.h"
#include "FirmwareImage.h"
#include "HostRunner.h"
#include "StateTool.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: brelk-sim <command> [options]\n"
    "\n"
    "Commands:\n"
    "  update --machine DIR [options]\n"
    "      One start and stop of the modem's device node on the simulated machine DIR:\n"
    "      the framework host loads Brelk.dll, adds the device, prepares its hardware\n"
    "      (the driver decides whether to update and may start a download), waits until\n"
    "      the download ends (or --stop-after), releases the hardware and unloads the\n"
    "      driver. Prints the decision, a progress bar of the download as the modem's\n"
    "      boot loader receives it, the debugger output and the outcome (progress state,\n"
    "      retry counter, modem firmware before and after). Options:\n"
    "%s"
    "      Exit code: 0 the modem runs the image's firmware, 1 the start or the update\n"
    "      failed or retries are exhausted, 2 bad usage, 3 the driver could not be hosted.\n"
    "\n"
    "  image -o FILE -v VERSION_TEXT ITEM...      write an image container\n"
    "  image --machine DIR -v VERSION_TEXT ITEM...  write it as the machine's image\n"
    "  image --list FILE                          list an image\n"
    "      ITEM is NAME:CLASS:SIZE (generated data; SIZE takes k or m) or NAME:CLASS:@FILE.\n"
    "      Items of memory class 4 and above are downloaded. The driver reads the version\n"
    "      as the first word after \"1:\" in VERSION_TEXT, e.g. \"QB4410 1:2.0.0 rel\".\n"
    "\n"
    "  state DIR [--device ID] show\n"
    "  state DIR [--device ID] set NAME VALUE [--type uint|ui4|lpwstr|lpstr]\n"
    "  state DIR [--device ID] delete NAME\n"
    "      Show or edit the driver's persisted values (FWUpdateProgressState,\n"
    "      FWURetryCounter, PrevFwVersion) in DIR/machine.db.\n"
    "\n"
    "  trace [--catalog DIR] [--level N] [--flags X] LOGFILE\n"
    "      Decode a trace log recorded with update --trace: one line per message (time,\n"
    "      thread, source unit, level, flag, text). --level N leaves out messages above\n"
    "      level N (2 error, 4 information, 5 verbose); --flags X keeps messages with one\n"
    "      of the flag bits X (0x02 module, 0x04 driver, 0x08 device, 0x10 queue,\n"
    "      0x20 transport, 0x40 event sink).\n"
    "\n"
    "Machine folder: DIR/machine.db (property store and device database), DIR/C (drive\n"
    "C:, with the image in C:\\Windows\\Firmware\\Velto and the modules in\n"
    "C:\\Windows\\System32), DIR/modem (the modem's firmware version).\n";

int Usage(std::ostream& out, int code) {
    char text[8192];
    std::snprintf(text, sizeof text, kUsage, fwhost::HostOptionsHelp());
    out << text;
    return code;
}

std::string ProgramFolder() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return ".";
    }
    return fs::path(std::string(buffer, static_cast<size_t>(n))).parent_path().string();
}

// The run goes to the framework host program, which replaces this process: a signal
// sent to brelk-sim reaches the host, as stopping the host stops the driver.
int Update(const std::vector<std::string>& args) {
    fwhost::HostOptions options;
    std::string error;
    if (!fwhost::ParseHostArgs(args, &options, &error)) {
        std::cerr << "brelk-sim update: " << error << "\n(brelk-sim --help for the options)\n";
        return 2;
    }
    const std::string host = ProgramFolder() + "/fxhost/brelk-fxhost";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(host.c_str()));
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv(host.c_str(), argv.data());
    std::cerr << "brelk-sim update: cannot start " << host << ": " << std::strerror(errno) << "\n";
    return 3;
}

int Image(const std::vector<std::string>& args) {
    if (args.size() == 2 && args[0] == "--list") {
        std::string error;
        auto image = fwimage::ImageReader::Open(args[1], &error);
        if (!image) {
            std::cerr << "brelk-sim image: " << args[1] << ": " << error << "\n";
            return 1;
        }
        std::printf("version text: %s\nversion: %s\nitems: %zu\n", image->VersionText().c_str(),
                    VersionTokenOf(image->VersionText()).c_str(), image->Toc().size());
        for (size_t i = 0; i < image->Toc().size(); ++i) {
            const auto& e = image->Toc()[i];
            std::printf("%4zu  %-31s class %-3u size %-10u crc32 %08x%s\n", i, e.Name.c_str(),
                        e.MemoryClass, e.Size, e.Checksum,
                        e.MemoryClass >= 4 ? "" : "  (not downloaded)");
        }
        return 0;
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
            std::cerr << "brelk-sim image: bad item '" << args[i] << "'\n";
            return 2;
        }
        items.push_back(std::move(item));
    }
    if (output.empty() == machine.empty() || !haveVersion) {
        std::cerr << "brelk-sim image: give -o FILE or --machine DIR, and -v VERSION_TEXT\n";
        return 2;
    }
    if (!machine.empty()) {
        const std::string folder = fwhost::FirmwareFolder(machine);
        std::error_code ec;
        fs::create_directories(folder, ec);
        for (std::string old = fwhost::InstalledImage(machine); !old.empty();
             old = fwhost::InstalledImage(machine)) {
            if (!fs::remove(old, ec)) {
                std::cerr << "brelk-sim image: cannot replace " << old << "\n";
                return 1;
            }
        }
        output = folder + "/Lumbra_QB4410_NAND.fls";
    }
    std::string error;
    if (!fwimage::WriteImage(output, version, items, &error)) {
        std::cerr << "brelk-sim image: " << error << "\n";
        return 1;
    }
    std::cout << "image " << output << " written: version " << VersionTokenOf(version) << ", "
              << items.size() << " items\n";
    return 0;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || v > max || text[0] == '-') {
        return false;
    }
    *value = v;
    return true;
}

int Trace(const std::vector<std::string>& args) {
    std::string catalogFolder = brelk_trace::DefaultCatalogFolder();
    std::string logFile;
    brelk_trace::DecodeFilter filter;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        unsigned long value = 0;
        if (arg == "--catalog" && hasValue) {
            catalogFolder = args[++i];
        } else if (arg == "--level" && hasValue) {
            if (!ParseNumber(args[++i], 255, &value)) {
                std::cerr << "brelk-sim trace: --level wants a number from 0 to 255\n";
                return 2;
            }
            filter.maxLevel = static_cast<int>(value);
        } else if (arg == "--flags" && hasValue) {
            if (!ParseNumber(args[++i], 0xFFFFFFFFul, &value)) {
                std::cerr << "brelk-sim trace: --flags wants a 32-bit number\n";
                return 2;
            }
            filter.flags = static_cast<uint32_t>(value);
        } else if (arg.rfind("--", 0) == 0 || !logFile.empty()) {
            std::cerr << "brelk-sim trace: unexpected '" << arg << "'\n";
            return 2;
        } else {
            logFile = arg;
        }
    }
    if (logFile.empty()) {
        std::cerr << "brelk-sim trace: which log file?\n";
        return 2;
    }
    brelk_trace::Catalog catalog;
    std::string error;
    if (!catalog.LoadDirectory(catalogFolder, &error)) {
        std::cerr << "brelk-sim trace: " << error << "\n";
        return 1;
    }
    const auto result = brelk_trace::DecodeLog(logFile, catalog, filter, std::cout);
    std::cout.flush();
    if (!result.ok) {
        std::cerr << "brelk-sim trace: " << result.error << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage(std::cerr, 2);
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        return Usage(std::cout, 0);
    }
    if (command == "update") {
        return Update(args);
    }
    if (command == "image") {
        return Image(args);
    }
    if (command == "state") {
        return brelk::state::Run(args, std::cout, std::cerr);
    }
    if (command == "trace") {
        return Trace(args);
    }
    std::cerr << "brelk-sim: unknown command '" << command << "'\n";
    return Usage(std::cerr, 2);
}
