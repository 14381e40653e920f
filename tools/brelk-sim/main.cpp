// brelk-sim: runs firmware updates of a simulated modem and looks after the simulated
// machines they run on. `brelk-sim --help` says it all; each command is its tool's own
// front end (the host program, ImageTool.h, StateTool.h, TraceTool.h).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "FaultPoints.h"
#include "HostRunner.h"
#include "ImageTool.h"
#include "Program.h"
#include "StateTool.h"
#include "TraceTool.h"
#include "WineRun.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: brelk-sim <command> [options]\n"
    "\n"
    "Commands:\n"
    "  update --machine DIR [--wine] [options]\n"
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
    "  wine DIR create | stop\n"
    "      create: give the machine DIR its Wine prefix (DIR/wineprefix) now, as update\n"
    "      --wine does on first use: a copy of BRELK_WINE_TEMPLATE's when set, else made by\n"
    "      wineboot. stop: end the prefix's Wine server, which saves its registry (before\n"
    "      the folder is removed, say).\n"
    "\n"
    "  faults\n"
    "      List the fault points and actions that update --faults takes.\n"
    "\n"
    "  trace [--catalog DIR] [--level N] [--flags X] LOGFILE\n"
    "      Decode a trace log recorded with update --trace: one line per message (time,\n"
    "      thread, source unit, level, flag, text). --level N leaves out messages above\n"
    "      level N (2 error, 4 information, 5 verbose); --flags X keeps messages with one\n"
    "      of the flag bits X (0x02 module, 0x04 driver, 0x08 device, 0x10 queue,\n"
    "      0x20 transport, 0x40 event sink).\n"
    "\n"
    "Machine folder: DIR/machine.db (property store and device database), one folder\n"
    "per drive (DIR/C for C:), DIR/windows-folder (the machine's Windows folder, as\n"
    "update --windows-folder last set it; C:\\Windows otherwise), with the image in\n"
    "<Windows folder>\\Firmware\\Velto and the modules in <Windows folder>\\System32,\n"
    "DIR/modem (the modem's firmware version).\n"
    "\n"
    "brelk-sim <command> --help prints the options of one command.\n";

const char kWineHelp[] =
    "  --wine                the same start with the PE builds under Wine (make windows),\n"
    "                        Windows' own registry, SetupAPI, COM and module loader\n"
    "                        behind the driver; the machine's Windows is DIR/wineprefix,\n"
    "                        made on first use; no --trace, no --windows-folder\n";

int Usage(std::ostream& out, int code) {
    char text[8192];
    std::snprintf(text, sizeof text, kUsage,
                  (std::string(kWineHelp) + driverhost::HostOptionsHelp()).c_str());
    out << text;
    return code;
}

// The run goes to the framework host program, which replaces this process: a signal
// sent to brelk-sim reaches the host, as stopping the host stops the driver.
int Update(std::vector<std::string> args) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << "usage: brelk-sim update --machine DIR [--wine] [options]\n"
                  << kWineHelp << driverhost::HostOptionsHelp();
        return 0;
    }
    const auto wine = std::find(args.begin(), args.end(), "--wine");
    const bool underWine = wine != args.end();
    if (underWine) {
        args.erase(wine);
    }
    driverhost::HostOptions options;
    std::string error;
    if (!driverhost::ParseHostArgs(args, &options, &error)) {
        std::cerr << "brelk-sim update: " << error << "\n(brelk-sim --help for the options)\n";
        return 2;
    }
    if (underWine) {
        return brelk::wine::Update(options, brelk::wine::SetupFromEnvironment(), std::cerr);
    }
    const std::string host = simcommon::ProgramFolder() + "/driverhost/brelk-driverhost";
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

int Wine(const std::vector<std::string>& args) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << "usage: brelk-sim wine DIR create | stop\n";
        return 0;
    }
    if (args.size() != 2 || (args[1] != "create" && args[1] != "stop")) {
        std::cerr << "usage: brelk-sim wine DIR create | stop\n";
        return 2;
    }
    const brelk::wine::WineSetup setup = brelk::wine::SetupFromEnvironment();
    if (args[1] == "stop") {
        brelk::wine::StopPrefix(args[0], setup);
        return 0;
    }
    std::string error;
    if (!brelk::wine::EnsurePrefix(args[0], setup, std::cout, &error)) {
        std::cerr << "brelk-sim wine: " << error << "\n";
        return 3;
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
        return brelk::image::Run(args, std::cout, std::cerr, "brelk-sim image");
    }
    if (command == "state") {
        return brelk::state::Run(args, std::cout, std::cerr, "brelk-sim state");
    }
    if (command == "faults") {
        if (!args.empty() && args[0] != "--help" && args[0] != "-h") {
            std::cerr << "brelk-sim faults: unexpected '" << args[0] << "'\n";
            return 2;
        }
        std::cout << "usage: brelk-sim faults\n\n";
        sim::PrintFaultPoints(std::cout);
        return 0;
    }
    if (command == "wine") {
        return Wine(args);
    }
    if (command == "trace") {
        return brelk::trace::Run(args, std::cout, std::cerr, "brelk-sim trace");
    }
    std::cerr << "brelk-sim: unknown command '" << command << "'\n";
    return Usage(std::cerr, 2);
}
