#pragma once
// Registry access rights and value types. The layer has no registry API; these are the
// names that the property store and SetupAPI speak in.
#include "winnt.h"

typedef ACCESS_MASK REGSAM;

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11
