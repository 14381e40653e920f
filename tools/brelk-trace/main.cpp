// brelk-trace: prints a Brelk trace log, one line per message.
//
//   brelk-trace [--catalog FOLDER] [--level N] [--flags X] LOGFILE
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "BrelkTrace.h"

namespace {

int Usage() {
    std::cerr
        << "usage: brelk-trace [--catalog FOLDER] [--level N] [--flags X] LOGFILE\n"
           "  --catalog FOLDER  message catalogs (default: the trace folder beside this program)\n"
           "  --level N         leave out messages above level N (2 error, 4 information, 5 "
           "verbose)\n"
           "  --flags X         show only messages with one of these flag bits (e.g. 0x28)\n";
    return 2;
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

}  // namespace

int main(int argc, char** argv) {
    std::string catalogFolder = brelk_trace::DefaultCatalogFolder();
    std::string logFile;
    brelk_trace::DecodeFilter filter;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        unsigned long value = 0;
        if (arg == "--catalog" && hasValue) {
            catalogFolder = argv[++i];
        } else if (arg == "--level" && hasValue) {
            if (!ParseNumber(argv[++i], 255, &value)) {
                std::cerr << "brelk-trace: --level wants a number from 0 to 255\n";
                return 2;
            }
            filter.maxLevel = static_cast<int>(value);
        } else if (arg == "--flags" && hasValue) {
            if (!ParseNumber(argv[++i], 0xFFFFFFFFul, &value)) {
                std::cerr << "brelk-trace: --flags wants a 32-bit number\n";
                return 2;
            }
            filter.flags = static_cast<uint32_t>(value);
        } else if (arg.rfind("--", 0) == 0 || !logFile.empty()) {
            return Usage();
        } else {
            logFile = arg;
        }
    }
    if (logFile.empty()) {
        return Usage();
    }
    brelk_trace::Catalog catalog;
    std::string error;
    if (!catalog.LoadDirectory(catalogFolder, &error)) {
        std::cerr << "brelk-trace: " << error << "\n";
        return 1;
    }
    const brelk_trace::DecodeResult result =
        brelk_trace::DecodeLog(logFile, catalog, filter, std::cout);
    std::cout.flush();
    if (!result.ok) {
        std::cerr << "brelk-trace: " << result.error << "\n";
        return 1;
    }
    return 0;
}
