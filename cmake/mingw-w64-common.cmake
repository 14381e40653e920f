# Shared part of the mingw-w64 toolchain files; BRELK_MINGW_TRIPLE names the target.
set(CMAKE_C_COMPILER ${BRELK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRELK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BRELK_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${BRELK_MINGW_TRIPLE}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${BRELK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C and C++ runtimes and winpthread go into each module, so that a module imports
# only DLLs that every Windows installation has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
