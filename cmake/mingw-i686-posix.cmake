# Cross-compiles for 32-bit Windows with mingw-w64. The posix-thread
# compilers are used for the product and the tests alike: GoogleTest needs
# them, and one toolchain keeps the two from drifting apart.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test executables run through Wine's 32-bit loader.
set(QUELLOX_WINE_LOADER /usr/lib/wine/wine)
set(QUELLOX_TARGET_ARCH x86)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUELLOX_WINE_LOADER})
