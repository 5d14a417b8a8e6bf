# Cross-compiles for 64-bit Windows with mingw-w64: the same program as the
# 32-bit build (cmake/mingw-i686-posix.cmake), for machines and build servers
# that cannot run 32-bit code. Same posix-thread compilers, same static link.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test executables run through Wine's 64-bit loader, called directly: the
# `wine` wrapper picks the 32-bit loader whenever it is installed.
set(QUELLOX_WINE_LOADER /usr/lib/wine/wine64)
set(QUELLOX_TARGET_ARCH x64)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUELLOX_WINE_LOADER})
