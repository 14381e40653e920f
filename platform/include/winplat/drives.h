#pragma once
// Drive letters of Windows paths map onto host folders. Conversion rules: '\' and '/'
// both separate, doubled separators and "." are dropped, ".." goes up (never above a
// drive's root), and each existing component is matched without regard to case (an
// exact match wins). There is no current drive: a path rooted without one ("\x",
// "/x") is a host path from the host's root, so host paths keep working. Relative paths
// start at the current folder.
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
