#include "WineRun.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <vector>

#include "Program.h"

namespace fs = std::filesystem;

namespace brelk::wine {
namespace {

std::string Environment(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

constexpr uintmax_t kLinkedFileSize = uintmax_t{64} * 1024;

bool HasRegistry(const fs::path& prefix) {
    return fs::exists(prefix / "system.reg");
}

// Hard links for the prefix's program files, which Wine only reads; copies of the
// registry and of every small file, any of which Wine may rewrite in place.
bool CopyTemplate(const fs::path& from, const fs::path& to, std::string* error) {
    std::error_code ec;
    const fs::path partial = to.string() + ".partial";
    fs::remove_all(partial, ec);
    fs::create_directories(partial, ec);
    for (auto it = fs::recursive_directory_iterator(from, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        // Lexically: relative() would follow the prefix's links to the user's folders.
        const fs::path target = partial / it->path().lexically_relative(from);
        const std::string extension = it->path().extension().string();
        if (it->is_symlink()) {
            fs::copy_symlink(it->path(), target, ec);
        } else if (it->is_directory()) {
            fs::create_directories(target, ec);
        } else if (extension == ".reg" || it->file_size() < kLinkedFileSize) {
            fs::copy_file(it->path(), target, ec);
        } else {
            fs::create_hard_link(it->path(), target, ec);
            if (ec) {
                fs::copy_file(it->path(), target, ec);
            }
        }
        if (ec) {
            *error = "cannot copy " + it->path().string() + " of the Wine prefix: " + ec.message();
            return false;
        }
    }
    if (ec) {
        *error = "cannot read the Wine prefix " + from.string() + ": " + ec.message();
        return false;
    }
    fs::rename(partial, to, ec);
    if (ec) {
        *error = "cannot make the Wine prefix " + to.string() + ": " + ec.message();
        return false;
    }
    return true;
}

// A path option of the host that names a host file or folder, in Windows form.
void ToWindows(std::string* path) {
    if (!path->empty()) {
        *path = WindowsPathOf(fs::absolute(*path).lexically_normal().string());
    }
}

}  // namespace

void PointAtPrefix(const std::string& machineFolder) {
    setenv("WINEPREFIX", PrefixOf(machineFolder).c_str(), 1);
    setenv("WINEDEBUG", Environment("WINEDEBUG", "-all").c_str(), 1);
    // No Mono or Gecko installer: nothing here needs them, and they would ask for a window.
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
}

WineSetup SetupFromEnvironment() {
    WineSetup setup;
    setup.PeBin = Environment("BRELK_PE_BIN", BRELK_PE_BIN_DEFAULT);
    setup.Wine64 = Environment("BRELK_WINE64", "/usr/lib/wine/wine64");
    setup.WineServer = Environment("BRELK_WINESERVER", "/usr/lib/wine/wineserver64");
    setup.Template = Environment("BRELK_WINE_TEMPLATE", "");
    return setup;
}

std::string WindowsPathOf(const std::string& hostPath) {
    std::string windows = "Z:" + hostPath;
    for (char& c : windows) {
        if (c == '/') {
            c = '\\';
        }
    }
    return windows;
}

std::string PrefixOf(const std::string& machineFolder) {
    return (fs::absolute(machineFolder) / "wineprefix").lexically_normal().string();
}

bool EnsurePrefix(const std::string& machineFolder, const WineSetup& setup, std::ostream& out,
                  std::string* error) {
    const fs::path prefix = PrefixOf(machineFolder);
    if (HasRegistry(prefix)) {
        return true;
    }
    std::error_code ec;
    fs::create_directories(machineFolder, ec);
    if (!setup.Template.empty() && HasRegistry(setup.Template)) {
        fs::remove_all(prefix, ec);
        return CopyTemplate(setup.Template, prefix, error);
    }
    const std::string log = (fs::path(machineFolder) / "wineboot.log").string();
    out << "wine     creating the machine's Wine prefix " << prefix.string()
        << " (once; it takes a while; wineboot's output goes to " << log << ")" << std::endl;
    PointAtPrefix(machineFolder);
    if (simcommon::RunProgram({setup.Wine64, "wineboot", "-i"}, log, true) != 0 ||
        simcommon::RunProgram({setup.WineServer, "-w"}) != 0 || !HasRegistry(prefix)) {
        *error =
            "wineboot could not create the Wine prefix " + prefix.string() + " (see " + log + ")";
        return false;
    }
    return true;
}

void StopPrefix(const std::string& machineFolder, const WineSetup& setup) {
    if (!fs::exists(PrefixOf(machineFolder))) {
        return;
    }
    PointAtPrefix(machineFolder);
    (void)simcommon::RunProgram({setup.WineServer, "-k"});
    (void)simcommon::RunProgram({setup.WineServer, "-w"});
}

int Update(driverhost::HostOptions options, const WineSetup& setup, std::ostream& err) {
    if (!options.TraceFile.empty()) {
        err << "brelk-sim update --wine: --trace: Wine's event tracing delivers no messages to "
               "a trace controller; record a trace without --wine\n";
        return 2;
    }
    if (!options.WindowsFolder.empty()) {
        err << "brelk-sim update --wine: --windows-folder: under Wine the machine's Windows "
               "folder is its prefix's C:\\windows\n";
        return 2;
    }
    const std::string host = setup.PeBin + "/driverhost/brelk-driverhost.exe";
    if (!fs::exists(host)) {
        err << "brelk-sim update --wine: no PE build of the host at " << host
            << " (make windows builds it; BRELK_PE_BIN names another)\n";
        return 3;
    }
    if (access(setup.Wine64.c_str(), X_OK) != 0) {
        err << "brelk-sim update --wine: no Wine at " << setup.Wine64
            << " (scripts/install-deps.sh installs it; BRELK_WINE64 names another)\n";
        return 3;
    }
    options.MachineFolder = fs::absolute(options.MachineFolder).lexically_normal().string();
    std::string error;
    if (!EnsurePrefix(options.MachineFolder, setup, err, &error)) {
        err << "brelk-sim update --wine: " << error << "\n";
        return 3;
    }
    PointAtPrefix(options.MachineFolder);
    ToWindows(&options.MachineFolder);
    ToWindows(&options.Image);
    ToWindows(&options.ReportFile);
    for (std::string* build : {&options.Parlex, &options.Flashkit}) {
        if (build->find('/') != std::string::npos) {
            ToWindows(build);
        }
    }
    std::vector<std::string> args = {setup.Wine64, host};
    for (auto& a : driverhost::ToHostArgs(options)) {
        args.push_back(std::move(a));
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    err << "brelk-sim update --wine: cannot start " << setup.Wine64 << ": " << std::strerror(errno)
        << "\n";
    return 3;
}

}  // namespace brelk::wine
