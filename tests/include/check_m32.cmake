# Compiles the layout checks for a 32-bit target, where they assert the host's sizes.
set(flags -m32 -Wall -Wextra -pedantic -Werror -fsyntax-only -I${ABI_INCLUDE})
string(REPLACE "|" ";" gtest_dirs "${GTEST_INCLUDE}")
foreach(dir IN LISTS gtest_dirs)
  list(APPEND cxx_flags -idirafter ${dir})  # after the system dirs: keeps #include_next working
endforeach()

execute_process(COMMAND ${C_COMPILER} -std=c99 ${flags} ${SOURCE_DIR}/abi_layout_c.c
                RESULT_VARIABLE c_result)
execute_process(COMMAND ${CXX_COMPILER} -std=c++20 ${flags} ${cxx_flags}
                        ${SOURCE_DIR}/abi_layout_test.cpp
                RESULT_VARIABLE cxx_result)
if(NOT c_result EQUAL 0 OR NOT cxx_result EQUAL 0)
  message(FATAL_ERROR "32-bit layout check failed (C: ${c_result}, C++: ${cxx_result})")
endif()
message(STATUS "32-bit layout checks compiled for C99 and C++20")
