#pragma once
// Common to the layer's extension headers: they are C++ and exported by libwinplat.so.
#define WINPLAT_EXT __attribute__((visibility("default")))
