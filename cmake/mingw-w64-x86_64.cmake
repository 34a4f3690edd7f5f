# Cross-compiling for 64-bit Windows with Debian's mingw-w64.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCMAKE_PREFIX_PATH=/path/to/cross/qt5
#
# The posix threading model is required: the cross Qt is built with it, and the two models ship
# different, incompatible C++ runtimes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LCS_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LCS_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LCS_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LCS_MINGW_TRIPLET}-windres)

# Libraries, headers and CMake packages come only from the mingw sysroot (zlib) and from the
# prefixes given on the command line (the cross Qt); programs (moc, rcc) run on the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${LCS_MINGW_TRIPLET})
if(CMAKE_PREFIX_PATH)
    list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
