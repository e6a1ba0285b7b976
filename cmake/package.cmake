# The runtime as a package other plugins build on: `cmake --install` puts the public
# headers, the static libraries, kav-host and the CMake package "kav" (kav:: targets,
# kav_add_plugin) into the prefix. Inside this tree the same kav:: names are aliases, so
# kav_add_plugin reads the same here and in a consumer's project.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Library target, its name under kav::, and whether its headers are installed (not those
# of a library built from sources of elsewhere).
set(kav_package_libraries
  "kav_abi|host_abi|1"
  "kav_platform|platform|1"
  "kav_logging|logging|1"
  "kav_binding|binding|1"
  "kav_formats|formats|1"
  "kav_api|api|1"
  "kav_runtime|runtime|1")
if(TARGET kav_yaml)
  list(APPEND kav_package_libraries "kav_yaml|yaml|0")
endif()

set(kav_package_targets "")
foreach(entry IN LISTS kav_package_libraries)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 target)
  list(GET entry 1 name)
  list(GET entry 2 public)
  add_library(kav::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  list(APPEND kav_package_targets ${target})
  # The source tree's include folder while building, the prefix's once installed.
  get_target_property(includes ${target} INTERFACE_INCLUDE_DIRECTORIES)
  set(wrapped "")
  foreach(dir IN LISTS includes)
    list(APPEND wrapped "$<BUILD_INTERFACE:${dir}>")
    if(public)
      install(DIRECTORY "${dir}/" DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
    endif()
  endforeach()
  if(public)
    list(APPEND wrapped "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  endif()
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${wrapped}")
endforeach()
# A plugin's sources use the same language level as the runtime's headers.
target_compile_features(kav_runtime INTERFACE cxx_std_20)

add_library(kav::allocation_hooks ALIAS kav_allocation_hooks)
set_target_properties(kav_allocation_hooks PROPERTIES EXPORT_NAME allocation_hooks)
add_executable(kav::kav-host ALIAS kav-host)

set(kav_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kav)
install(TARGETS ${kav_package_targets} kav_allocation_hooks kav-host EXPORT kavTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  OBJECTS DESTINATION ${CMAKE_INSTALL_LIBDIR}/kav-objects
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT kavTargets NAMESPACE kav:: DESTINATION ${kav_cmake_dir})

# The package's version is the plugin API version of kav/host_abi.h: a plugin built on
# 18.x loads in hosts of 18.x.
file(STRINGS "${PROJECT_SOURCE_DIR}/include/kav/host_abi.h" kav_api_version
     REGEX "^#define KAV_PLUGIN_API_VERSION_(MAJOR|MINOR|PATCH) ")
string(REGEX REPLACE ".*MAJOR ([0-9]+).*MINOR ([0-9]+).*PATCH ([0-9]+).*" "\\1.\\2.\\3" kav_api_version
       "${kav_api_version}")
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/kavConfigVersion.cmake"
  VERSION ${kav_api_version} COMPATIBILITY SameMajorVersion)
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/kavConfig.cmake" [=[
# The kav plugin runtime: kav::runtime (with what it builds on), kav::host_abi,
# kav::allocation_hooks, the program kav::kav-host, and kav_add_plugin.
include("${CMAKE_CURRENT_LIST_DIR}/kavTargets.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/KavAddPlugin.cmake")
]=])
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/kavConfig.cmake" "${CMAKE_CURRENT_BINARY_DIR}/kavConfigVersion.cmake"
              "${PROJECT_SOURCE_DIR}/cmake/KavAddPlugin.cmake"
        DESTINATION ${kav_cmake_dir})
