#include "TraceTool.h"

#include <ostream>

#include "BrelkTrace.h"
#include "Numbers.h"

namespace brelk::trace {

namespace {

void Help(std::ostream& out, const std::string& program) {
    out << "usage: " << program << " [--catalog DIR] [--level N] [--flags X] LOGFILE\n"
        << "  One line per message: time, thread, source unit, level, flag, text.\n"
           "  --catalog DIR  message catalogs (default: the trace folder beside the program)\n"
           "  --level N      leave out messages above level N (2 error, 4 information,\n"
           "                 5 verbose)\n"
           "  --flags X      keep messages with one of the flag bits X (0x02 module,\n"
           "                 0x04 driver, 0x08 device, 0x10 queue, 0x20 transport,\n"
           "                 0x40 event sink)\n";
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const std::string& program) {
    std::string catalogFolder = brelk_trace::DefaultCatalogFolder();
    std::string logFile;
    brelk_trace::DecodeFilter filter;
    const std::string more = " (" + program + " --help for the usage)\n";
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        unsigned long long value = 0;
        if (arg == "--help" || arg == "-h") {
            Help(out, program);
            return 0;
        } else if (arg == "--catalog" && hasValue) {
            catalogFolder = args[++i];
        } else if (arg == "--level" && hasValue) {
            if (!simcommon::ParseUnsigned(args[++i], 255, &value)) {
                err << program << ": --level wants a number from 0 to 255\n";
                return 2;
            }
            filter.maxLevel = static_cast<int>(value);
        } else if (arg == "--flags" && hasValue) {
            if (!simcommon::ParseUnsigned(args[++i], 0xFFFFFFFFull, &value)) {
                err << program << ": --flags wants a 32-bit number\n";
                return 2;
            }
            filter.flags = static_cast<uint32_t>(value);
        } else if (arg.rfind("--", 0) == 0 || !logFile.empty()) {
            err << program << ": unexpected '" << arg << "'" << more;
            return 2;
        } else {
            logFile = arg;
        }
    }
    if (logFile.empty()) {
        err << program << ": which log file?" << more;
        return 2;
    }
    brelk_trace::Catalog catalog;
    std::string error;
    if (!catalog.LoadDirectory(catalogFolder, &error)) {
        err << program << ": " << error << "\n";
        return 1;
    }
    const brelk_trace::DecodeResult result = brelk_trace::DecodeLog(logFile, catalog, filter, out);
    out.flush();
    if (!result.ok) {
        err << program << ": " << result.error << "\n";
        return 1;
    }
    return 0;
}

}  // namespace brelk::trace
