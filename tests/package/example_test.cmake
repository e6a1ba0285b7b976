cmake_policy(VERSION 3.25)
# Installs BUILD_DIR into WORK/prefix, then builds EXAMPLE against that prefix alone, as
# a consumer would, checks the plugin's one export, runs the example's own ctest (its
# scenario, played by the installed kav-host) and checks what kav-host describe lists.

# Runs a command; on failure shows its output and stops.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK}")
set(prefix "${WORK}/prefix")
run("install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
foreach(file lib/cmake/kav/kavConfig.cmake lib/cmake/kav/kavConfigVersion.cmake lib/cmake/kav/KavAddPlugin.cmake
             bin/kav-host lib/libkav_runtime.a)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "the install has no ${file}")
  endif()
endforeach()

# Nothing of this build tree may be visible to the consumer: only the prefix.
run("configure" ${CMAKE_COMMAND} -S "${EXAMPLE}" -B "${WORK}/build" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX}" "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}")
run("build" ${CMAKE_COMMAND} --build "${WORK}/build")
set(plugin "${WORK}/build/libkav_hello.so")
run("export check" ${CMAKE_COMMAND} -DLIBRARY=${plugin} -DENTRY=load_kav_hello -P "${CHECK_EXPORTS}")
run("the example's tests" ${CMAKE_CTEST_COMMAND} --test-dir "${WORK}/build" --output-on-failure)

set(kav_host "${prefix}/bin/kav-host")
run("describe" "${kav_host}" describe --plugin "${plugin}")
foreach(line
    "GET /kav-hello/v1/greeting"
    "POST /kav-hello/v1/greet/{name}"
    "OnKavHelloGreeted"
    "KavHelloGreeting"
    "KavHelloMood")
  string(FIND "${out}" "${line}" at)
  if(at LESS 0)
    message(FATAL_ERROR "kav-host describe does not list '${line}':\n${out}")
  endif()
endforeach()

# The entry comes from --entry, else from the file's name; a miss names what was tried.
file(COPY_FILE "${plugin}" "${WORK}/libother-name.so")
execute_process(COMMAND "${kav_host}" describe --plugin "${WORK}/libother-name.so"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc EQUAL 0 OR NOT out MATCHES "no plugin entry \\(tried load_other_name, load_libother_name, load_kav_pre_end_of_game\\)")
  message(FATAL_ERROR "a library whose name gives no entry: status ${rc}:\n${out}")
endif()
run("describe --entry" "${kav_host}" describe --plugin "${WORK}/libother-name.so" --entry load_kav_hello)
