#pragma once
// The one record that crosses between Brelk and Parlex. Both deliverables are built
// separately, so its layout is fixed: 204 bytes, no padding.

#include <windows.h>

#include <stddef.h>

#pragma pack(push, 4)
struct FwVersionInfo {
    INT32 TotalImageSize;      // filled by the driver; not read by the policy
    char CurrentVersion[100];  // firmware running on the modem, zero-terminated
    char ImageVersion[100];    // firmware in the image file, zero-terminated
};
#pragma pack(pop)

static_assert(sizeof(FwVersionInfo) == 204, "FwVersionInfo is shared by two modules");
static_assert(offsetof(FwVersionInfo, CurrentVersion) == 4);
static_assert(offsetof(FwVersionInfo, ImageVersion) == 104);
