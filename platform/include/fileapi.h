#pragma once
#include "minwinbase.h"

// Paths are Windows paths: drive letters map onto host folders (winplat/drives.h),
// '\' and '/' both separate, and names match without regard to case. Entries come
// back sorted by name without regard to case. Narrow names are UTF-8.
WINPLAT_API HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
WINPLAT_API HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
WINPLAT_API BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
WINPLAT_API BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
WINPLAT_API BOOL WINAPI FindClose(HANDLE hFindFile);
WINPLAT_API DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);
WINPLAT_API DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);

#ifdef UNICODE
#define FindFirstFile FindFirstFileW
#define FindNextFile FindNextFileW
#define GetFileAttributes GetFileAttributesW
#else
#define FindFirstFile FindFirstFileA
#define FindNextFile FindNextFileA
#define GetFileAttributes GetFileAttributesA
#endif
