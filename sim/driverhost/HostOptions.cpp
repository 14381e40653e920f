#include <sstream>

#include "FaultPlan.h"
#include "HostRunner.h"
#include "HostText.h"
#include "LinkModel.h"
#include "Numbers.h"

namespace driverhost {

const char* HostOptionsHelp() {
    return "  --machine DIR         the simulated machine's folder (created when missing)\n"
           "  --image FILE          install FILE as the machine's firmware image\n"
           "                        (<Windows folder>\\Firmware\\Velto\\Lumbra_QB4410_NAND*.fls)\n"
           "  --no-image            take the machine's image away first\n"
           "  --modem-version V     set the modem's running firmware version (a new modem\n"
           "                        runs 1.0.0)\n"
           "  --windows-folder DIR  the machine's Windows folder, as SystemRoot names it (a\n"
           "                        new machine has C:\\Windows; the machine keeps it)\n"
           "  --link TEXT           the modem's link: flash write rate and turnaround per\n"
           "                        data transfer, e.g. 'rate=4.3MB/s;turnaround=0.125ms',\n"
           "                        or off (a new machine's; the machine keeps it)\n"
           "  --retry-limit N       the retry limit Parlex answers: 3 (its own build) or\n"
           "                        -1, 0, 1, 2, 4, 5 (its test builds limit<N>)\n"
           "  --parlex BUILD        the Parlex.dll on the machine: default, none, a test\n"
           "                        build (limit5, no-<Export>) or a folder holding one\n"
           "  --flashkit BUILD      the Flashkit.dll on the machine: default, none, a test\n"
           "                        build (no-<Export>) or a folder holding one\n"
           "  --hardware-id ID      the modem node's first hardware id\n"
           "  --force-key           use the hardware id that forces an update\n"
           "  --instance-id ID      the modem node's device instance id\n"
           "  --time-scale X        platform time runs X times faster than real time\n"
           "                        (default 20; the driver keeps its real pauses)\n"
           "  --faults PLAN         fault plan, e.g. 'flashkit.item/1:status1' (rules joined\n"
           "                        by ';'; brelk-sim faults lists the points and actions)\n"
           "  --stop-after SEC      stop the device SEC platform seconds after its start,\n"
           "                        even while a download runs\n"
           "  --trace FILE          record Brelk's trace messages to FILE\n"
           "  --trace-level N       trace level to record (default 4: information)\n"
           "  --trace-flags X       trace flags to record (default 0xFFFFFFFF)\n"
           "  --no-progress         no progress bar\n"
           "  --report FILE         write the outcome as key=value lines\n";
}

bool ParseHostArgs(const std::vector<std::string>& args, HostOptions* o, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                *error = a + " wants a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string v;
        unsigned long long n = 0;
        if (a == "--no-image") {
            o->RemoveImage = true;
        } else if (a == "--force-key") {
            o->HardwareId = kForcedHardwareId;
        } else if (a == "--no-progress") {
            o->Progress = false;
        } else if (!value(&v)) {
            if (a.rfind("--", 0) != 0) {
                *error = "unexpected argument '" + a + "'";
            }
            return false;
        } else if (a == "--machine") {
            o->MachineFolder = v;
        } else if (a == "--image") {
            o->Image = v;
        } else if (a == "--modem-version") {
            o->ModemVersion = v;
        } else if (a == "--windows-folder") {
            std::string unused;
            if (!HostPathOf(o->MachineFolder.empty() ? "." : o->MachineFolder, v, &unused, error)) {
                *error = "--windows-folder: " + *error;
                return false;
            }
            o->WindowsFolder = v;
        } else if (a == "--link") {
            sim::LinkModel link;
            if (!sim::ParseLinkModel(v, &link, error)) {
                *error = "--link: " + *error;
                return false;
            }
            o->Link = v;
        } else if (a == "--parlex") {
            o->Parlex = v;
        } else if (a == "--flashkit") {
            o->Flashkit = v;
        } else if (a == "--retry-limit") {
            if (v == "-1") {
                o->Parlex = "limit-1";
            } else if (!simcommon::ParseUnsigned(v, 255, &n)) {
                *error = "--retry-limit wants a number from -1 to 255";
                return false;
            } else {
                o->Parlex = n == 3 ? "default" : "limit" + std::to_string(n);
            }
        } else if (a == "--hardware-id") {
            o->HardwareId = Widen(v);
        } else if (a == "--instance-id") {
            o->InstanceId = Widen(v);
        } else if (a == "--time-scale") {
            if (!simcommon::ParsePositive(v, &o->TimeScale)) {
                *error = "--time-scale wants a positive number";
                return false;
            }
        } else if (a == "--faults") {
            // A misspelled name would run a fault-free update and report success.
            std::vector<sim::FaultRule> rules;
            std::vector<sim::ApiFaultRule> apiRules;
            std::string why;
            if (!sim::ParseFaultPlan(v, &rules, &apiRules, &why)) {
                *error = "bad fault plan (brelk-sim faults lists the names):\n" + why;
                return false;
            }
            o->Faults = v;
        } else if (a == "--stop-after") {
            double seconds = 0;
            if (!simcommon::ParsePositive(v, &seconds)) {
                *error = "--stop-after wants a positive number of seconds";
                return false;
            }
            o->StopAfterSec = seconds;
        } else if (a == "--trace") {
            o->TraceFile = v;
        } else if (a == "--trace-level") {
            if (!simcommon::ParseUnsigned(v, 255, &n)) {
                *error = "--trace-level wants a number from 0 to 255";
                return false;
            }
            o->TraceLevel = static_cast<UCHAR>(n);
        } else if (a == "--trace-flags") {
            if (!simcommon::ParseUnsigned(v, 0xFFFFFFFFull, &n)) {
                *error = "--trace-flags wants a 32-bit number";
                return false;
            }
            o->TraceFlags = static_cast<ULONG>(n);
        } else if (a == "--report") {
            o->ReportFile = v;
        } else {
            *error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (o->MachineFolder.empty()) {
        *error = "--machine is required";
        return false;
    }
    return true;
}

std::vector<std::string> ToHostArgs(const HostOptions& o) {
    std::vector<std::string> a = {"--machine", o.MachineFolder};
    auto add = [&](const char* name, const std::string& value) {
        a.push_back(name);
        a.push_back(value);
    };
    if (!o.Image.empty()) {
        add("--image", o.Image);
    }
    if (o.RemoveImage) {
        a.push_back("--no-image");
    }
    if (!o.ModemVersion.empty()) {
        add("--modem-version", o.ModemVersion);
    }
    if (!o.WindowsFolder.empty()) {
        add("--windows-folder", o.WindowsFolder);
    }
    if (!o.Link.empty()) {
        add("--link", o.Link);
    }
    add("--parlex", o.Parlex);
    add("--flashkit", o.Flashkit);
    add("--instance-id", Narrow(o.InstanceId));
    add("--hardware-id", Narrow(o.HardwareId));
    std::ostringstream scale;
    scale << o.TimeScale;
    add("--time-scale", scale.str());
    if (!o.Faults.empty()) {
        add("--faults", o.Faults);
    }
    if (o.StopAfterSec) {
        std::ostringstream s;
        s << *o.StopAfterSec;
        add("--stop-after", s.str());
    }
    if (!o.TraceFile.empty()) {
        add("--trace", o.TraceFile);
        add("--trace-level", std::to_string(o.TraceLevel));
        add("--trace-flags", std::to_string(o.TraceFlags));
    }
    if (!o.Progress) {
        a.push_back("--no-progress");
    }
    if (!o.ReportFile.empty()) {
        add("--report", o.ReportFile);
    }
    return a;
}

}  // namespace driverhost
