# 32-bit Windows, the host's own form: kav_pre_end_of_game.dll (preset windows), and the
# whole test suite run under 32-bit wine (preset windows-i686, see windows.cmake).
set(KAV_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
