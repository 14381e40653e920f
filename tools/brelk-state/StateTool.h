#pragma once
// Inspecting and staging the driver's persisted upgrade values on a simulated machine:
//
//   brelk-state <machine folder> [--device <instance id>] show
//   brelk-state <machine folder> [--device <instance id>] set <name> <value> [--type <t>]
//   brelk-state <machine folder> [--device <instance id>] delete <name>
//
// Names are the value names ("FWUpdateProgressState", "FWURetryCounter",
// "PrevFwVersion"); types are uint, ui4, lpwstr or lpstr (numbers default to uint, and
// PrevFwVersion to lpwstr). Without --device the machine's only device node is used.
#include <windows.h>

#include <iosfwd>
#include <string>
#include <vector>

#include "MachineStore.h"

namespace brelk::state {

// The three values of the device with the type each was written as and its contents.
[[nodiscard]] HRESULT Show(sim::MachineStore& store, const std::wstring& instanceId,
                           std::ostream& out);
[[nodiscard]] HRESULT Set(sim::MachineStore& store, const std::wstring& instanceId,
                          const std::wstring& name, const std::string& value,
                          const std::string& type);
[[nodiscard]] HRESULT Delete(sim::MachineStore& store, const std::wstring& instanceId,
                             const std::wstring& name);

// The command line above (without the program name); `program` starts the usage. Returns
// the exit code: 0 done (also for --help), 1 failed, 2 usage.
[[nodiscard]] int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const std::string& program = "brelk-state");

}  // namespace brelk::state
