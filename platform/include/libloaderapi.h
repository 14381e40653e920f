#pragma once
#include "minwinbase.h"

// Modules are ELF shared objects that keep their Windows file names. A name without
// a folder is looked for in the program's folder, the current folder, then each
// folder of PATH; file names match without regard to case.
WINPLAT_API HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
WINPLAT_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
WINPLAT_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);
// By undecorated name only; ordinals are not supported (ERROR_PROC_NOT_FOUND).
WINPLAT_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINPLAT_API BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);
// NULL names the program itself.
WINPLAT_API DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
WINPLAT_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

#ifdef UNICODE
#define LoadLibrary LoadLibraryW
#define GetModuleFileName GetModuleFileNameW
#else
#define LoadLibrary LoadLibraryA
#define GetModuleFileName GetModuleFileNameA
#endif
