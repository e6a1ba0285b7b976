# kav_add_plugin(<target> SHORT_NAME <short-name> [ENTRY <symbol>]
#                SOURCES <file>... [LIBRARIES <library>...])
#
# Builds the shared library a host loads: hidden visibility, exactly one export (ENTRY,
# by default "load_" and the short name with every character other than a letter, digit
# or "_" made "_": kav-hello gives load_kav_hello), its own C++ runtime linked in, every
# allocation routed through the runtime's accounting hooks. On Windows the DLL is named
# <target>.dll and carries libstdc++, libgcc and winpthread, needing only system DLLs.
# The entry itself is defined in the plugin's code with KAV_PLUGIN_ENTRY
# (kav/runtime/plugin_entry.h).
#
# The target's property KAV_PLUGIN_ENTRY holds the entry's name.
function(kav_add_plugin target)
  cmake_parse_arguments(PARSE_ARGV 1 P "" "SHORT_NAME;ENTRY" "SOURCES;LIBRARIES")
  if(NOT P_SHORT_NAME)
    message(FATAL_ERROR "kav_add_plugin(${target}): SHORT_NAME is required")
  endif()
  if(NOT P_SOURCES)
    message(FATAL_ERROR "kav_add_plugin(${target}): SOURCES is required")
  endif()
  if(P_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kav_add_plugin(${target}): unknown arguments ${P_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT P_ENTRY)
    string(MAKE_C_IDENTIFIER "load_${P_SHORT_NAME}" P_ENTRY)
  endif()

  add_library(${target} SHARED ${P_SOURCES})
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON
    KAV_PLUGIN_ENTRY ${P_ENTRY})
  target_link_libraries(${target} PRIVATE kav::allocation_hooks ${P_LIBRARIES} kav::runtime)

  if(WIN32)
    # Only the entry carries dllexport, so nothing else is exported.
    set_target_properties(${target} PROPERTIES PREFIX "")
    target_link_options(${target} PRIVATE -static "LINKER:--exclude-libs,ALL" "LINKER:--no-undefined")
  else()
    set(map "${CMAKE_CURRENT_BINARY_DIR}/${target}_exports.map")
    file(CONFIGURE OUTPUT "${map}" CONTENT "{\n  global: ${P_ENTRY};\n  local: *;\n};\n")
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${map}"
      "LINKER:--exclude-libs,ALL"
      # Never unmapped once loaded: the static C++ runtime inside keeps process-wide state
      # (its exception pool, thread exit handlers) that must outlive a dlclose.
      "LINKER:-z,nodelete"
      -static-libstdc++ -static-libgcc)
    if(NOT KAV_SANITIZE AND NOT KAV_TSAN AND NOT KAV_FUZZ)
      # Sanitizer runtimes come from the executable, so only plain builds can insist.
      target_link_options(${target} PRIVATE "LINKER:--no-undefined")
    endif()
    set_target_properties(${target} PROPERTIES LINK_DEPENDS "${map}")
  endif()
endfunction()
