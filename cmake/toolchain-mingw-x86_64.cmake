# The same sources for 64-bit Windows. The product is the 32-bit DLL; this
# build exists so that the Windows test programs can run under a 64-bit-only
# Wine on hosts that cannot execute 32-bit code.
set(OMR_MINGW_TRIPLE x86_64-w64-mingw32 CACHE STRING "mingw-w64 target triple")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-i686.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
