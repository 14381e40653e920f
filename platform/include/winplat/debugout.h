#pragma once
// The process-wide sink behind OutputDebugStringA/W. Thread-safe.
#include <string>
#include <vector>
#include "winplat/ext.h"

// One entry per call, the text exactly as passed (no newline added or removed), as
// UTF-8. The sink keeps the newest 100000 entries.
WINPLAT_EXT std::vector<std::string> WinplatGetDebugOutput();
WINPLAT_EXT void WinplatClearDebugOutput();
// When on, each call is also printed to stderr as "[dbgview <pid>] text", the way a
// debugger shows it. Starts on when WINPLAT_DEBUG_ECHO is set to 1.
WINPLAT_EXT void WinplatSetDebugEcho(bool on);
