# Windows builds (mingw-w64 toolchain files in this folder): what the Linux build takes
# from Debian packages comes from sources here, and every program and the plugin carry
# their C++ runtime, libgcc and the thread library, so they need only system DLLs.

# libyaml has no Windows package: its Debian source, unpacked (apt-get source libyaml).
set(KAV_YAML_SOURCE_DIR "" CACHE PATH "Unpacked libyaml source tree")
if(NOT EXISTS "${KAV_YAML_SOURCE_DIR}/src/parser.c")
  message(FATAL_ERROR "KAV_YAML_SOURCE_DIR='${KAV_YAML_SOURCE_DIR}' is not a libyaml source tree; "
                      "scripts/build-windows fetches one")
endif()
file(STRINGS "${KAV_YAML_SOURCE_DIR}/CMakeLists.txt" yaml_version REGEX "^set \\(YAML_VERSION_(MAJOR|MINOR|PATCH) ")
string(REGEX REPLACE ".*MAJOR ([0-9]+).*MINOR ([0-9]+).*PATCH ([0-9]+).*" "\\1;\\2;\\3" yaml_version "${yaml_version}")
list(GET yaml_version 0 yaml_major)
list(GET yaml_version 1 yaml_minor)
list(GET yaml_version 2 yaml_patch)
file(GLOB yaml_sources "${KAV_YAML_SOURCE_DIR}/src/*.c")
add_library(kav_yaml STATIC ${yaml_sources})
target_include_directories(kav_yaml SYSTEM PUBLIC "${KAV_YAML_SOURCE_DIR}/include")
target_compile_definitions(kav_yaml PUBLIC YAML_DECLARE_STATIC PRIVATE
  YAML_VERSION_MAJOR=${yaml_major} YAML_VERSION_MINOR=${yaml_minor} YAML_VERSION_PATCH=${yaml_patch}
  YAML_VERSION_STRING="${yaml_major}.${yaml_minor}.${yaml_patch}")
target_compile_options(kav_yaml PRIVATE -w)  # not our code
set_target_properties(kav_yaml PROPERTIES KAV_THIRD_PARTY ON)
set(KAV_YAML_INCLUDE "${KAV_YAML_SOURCE_DIR}/include" CACHE PATH "" FORCE)
set(KAV_YAML_LIBRARY kav_yaml CACHE STRING "" FORCE)

# RapidJSON is headers only: the Debian package's, seen through a folder of its own so
# that the build machine's other headers stay out of the Windows include path.
find_path(KAV_HOST_RAPIDJSON_INCLUDE rapidjson/reader.h NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/rapidjson-include")
file(CREATE_LINK "${KAV_HOST_RAPIDJSON_INCLUDE}/rapidjson" "${CMAKE_BINARY_DIR}/rapidjson-include/rapidjson" SYMBOLIC)
set(KAV_RAPIDJSON_INCLUDE "${CMAKE_BINARY_DIR}/rapidjson-include" CACHE PATH "" FORCE)

add_link_options(-static)
# Programs write their standard streams and files as bytes, like on Linux (no CR added
# before each LF), so their output compares equal everywhere.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=binmode.o
                OUTPUT_VARIABLE binmode OUTPUT_STRIP_TRAILING_WHITESPACE)
string(APPEND CMAKE_EXE_LINKER_FLAGS " ${binmode}")

if(KAV_TESTS)
  # GoogleTest from the sources that come with libgtest-dev (it names its GTest:: targets).
  set(KAV_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KAV_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)

  # Tests run under wine64, or 32-bit ones under wine32's own loader (Debian keeps both in
  # /usr/lib/wine; /usr/bin/wine may pick either); each build keeps its own wine prefix
  # ("wineserver -k" with that WINEPREFIX ends its server).
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
      find_program(KAV_WINE64 wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH REQUIRED)
      set(kav_wine ${KAV_WINE64})
    else()
      find_program(KAV_WINE32 wine PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
      set(kav_wine ${KAV_WINE32})
    endif()
    set(KAV_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all "WINEPREFIX=${KAV_WINEPREFIX}"
        ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${kav_wine})
  endif()
endif()

# kav_add_pe_tables_test(TARGET): checks the DLL's export and import tables with the
# toolchain's objdump.
function(kav_add_pe_tables_test target)
  add_test(NAME ${target}_pe_tables
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DLIBRARY=$<TARGET_FILE:${target}>
                   -P ${PROJECT_SOURCE_DIR}/cmake/check_pe_tables.cmake)
endfunction()
