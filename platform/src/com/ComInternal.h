#pragma once
// Shared by the COM and OLE Automation sources of the layer.
#include <windows.h>
#include <ole2.h>

namespace winplat::com {

// A copy of a BSTR's bytes (embedded NULs kept); NULL stays NULL. false when out of memory.
bool CopyBstr(BSTR source, BSTR* copy) noexcept;

// True when the calling thread may use COM: it joined an apartment, or some thread of the
// process is in the multithreaded apartment.
bool ComUsable() noexcept;

}  // namespace winplat::com
