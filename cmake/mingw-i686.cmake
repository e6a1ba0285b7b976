# 32-bit Windows, the host's own form: builds kav_pre_end_of_game.dll.
set(KAV_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
