# 64-bit Windows with Debian's MinGW-w64 cross compiler: the same program for
# hosts that cannot run 32-bit code, such as Wine on a 64-bit-only kernel.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
