# 64-bit Windows: the whole test suite, run under wine64 (see windows.cmake).
set(KAV_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
