# Cross-compiling for 64-bit Windows with Debian's mingw-w64: the same Win32
# code as the shipped i686 build, for its tests on machines whose Wine runs
# 64-bit programs only (no 32-bit user mode).
set(QUORVEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
