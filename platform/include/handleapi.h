#pragma once
#include "minwinbase.h"

WINPLAT_API BOOL WINAPI CloseHandle(HANDLE hObject);
