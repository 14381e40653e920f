#pragma once
// Drive letters of Windows paths map onto host folders. Conversion rules: '\' and '/'
// both separate, doubled separators and "." are dropped, ".." goes up (never above a
// drive's root), and each existing component is matched without regard to case (an
// exact match wins). A path rooted without a drive ("\x") uses the drive of the current
// folder; outside every mapped folder that is the host's root, so host paths such as
// "/tmp/x" keep working. Relative paths stay relative to the current folder.
#include <string>
#include <string_view>
#include "winplat/ext.h"

// Letter is A-Z or a-z; hostFolder must be non-empty. Replaces an earlier mapping.
WINPLAT_EXT bool WinplatMapDrive(wchar_t letter, const char* hostFolder);
WINPLAT_EXT bool WinplatUnmapDrive(wchar_t letter);
WINPLAT_EXT void WinplatUnmapAllDrives();

// The host path for a Windows path; empty when it names an unmapped drive, a UNC path,
// or is empty. Narrow paths are UTF-8.
WINPLAT_EXT std::string WinplatToHostPath(std::string_view windowsPath);
WINPLAT_EXT std::string WinplatToHostPath(std::wstring_view windowsPath);
