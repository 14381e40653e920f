#pragma once
// On Windows the seam's few functions are linked into each module that uses them
// (windows/seam): nothing to export.
#define WINPLAT_EXT
