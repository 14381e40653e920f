#pragma once
// brelk-sim update --wine: the same start of the modem's device node with the PE builds
// (the framework host, Brelk.dll, Parlex.dll, Flashkit.dll) under Wine, where Windows
// itself stands behind the registry, SetupAPI, COM, the file system and the module loader.
//
// A Wine machine is the same folder: its modem lives in DIR/modem as on our layer, and
// DIR/wineprefix is its Windows (registry with the device node and its property store,
// C:\windows\Firmware\Velto with the image, C:\windows\system32 with the modules),
// created on first use.
#include <iosfwd>
#include <string>

#include "HostRunner.h"

namespace brelk::wine {

struct WineSetup {
    std::string PeBin;       // the PE build's bin folder (BRELK_PE_BIN)
    std::string Wine64;      // BRELK_WINE64, else Debian's wine64
    std::string WineServer;  // BRELK_WINESERVER, else Debian's wineserver64
    // A prefix to copy for a new machine instead of creating one (BRELK_WINE_TEMPLATE);
    // empty: wineboot creates it.
    std::string Template;
};

// From the environment, with the build's own PE tree as the default.
WineSetup SetupFromEnvironment();

// The Windows name Wine gives a host path (Z: is the host's root in a default prefix).
std::string WindowsPathOf(const std::string& hostPath);

// The machine's Wine prefix.
std::string PrefixOf(const std::string& machineFolder);

// Points this process's environment, and so the Wine programs it starts, at the machine's
// prefix: headless, quiet unless WINEDEBUG says otherwise, no installers.
void PointAtPrefix(const std::string& machineFolder);

// Creates the machine's prefix if it has none; false with the reason.
bool EnsurePrefix(const std::string& machineFolder, const WineSetup& setup, std::ostream& out,
                  std::string* error);

// Ends the prefix's Wine server and waits until it has saved the registry.
void StopPrefix(const std::string& machineFolder, const WineSetup& setup);

// Runs the update: the process becomes Wine running the PE host. Returns only when that
// cannot happen, with the exit code (2 bad usage, 3 no PE build, Wine or prefix).
int Update(driverhost::HostOptions options, const WineSetup& setup, std::ostream& err);

}  // namespace brelk::wine
