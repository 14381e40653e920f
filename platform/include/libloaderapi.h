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
// A module loaded through LoadLibrary, by its file name (".dll" implied, any case) or
// Windows path; no reference is taken. Unlike Windows, NULL does not name the program,
// which is no module of the layer: it fails with ERROR_INVALID_PARAMETER.
WINPLAT_API HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
// NULL names the program itself.
WINPLAT_API DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
WINPLAT_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

#ifdef UNICODE
#define LoadLibrary LoadLibraryW
#define GetModuleFileName GetModuleFileNameW
#define GetModuleHandle GetModuleHandleW
#else
#define LoadLibrary LoadLibraryA
#define GetModuleFileName GetModuleFileNameA
#endif
