# Cross-compiling for 32-bit Windows, the shipped build, with Debian's
# mingw-w64.
set(QUORVEL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
