# Compiles the layout checks as C99 and as C++20 with a compiler the host may be built with,
# where they need only build (the 32-bit sizes and offsets, the calling conventions):
#   cmake -DCOMPILER=cc "-DFLAGS=a|b" -DABI_INCLUDE=include -DSOURCE=abi_layout_c.c -P ...
string(REPLACE "|" ";" flags "${FLAGS}")
list(APPEND flags -fsyntax-only -Wall -Wextra -pedantic -Werror -I${ABI_INCLUDE})
execute_process(COMMAND ${COMPILER} ${flags} -x c -std=c99 ${SOURCE} RESULT_VARIABLE c_result)
execute_process(COMMAND ${COMPILER} ${flags} -x c++ -std=c++20 ${SOURCE} RESULT_VARIABLE cxx_result)
if(NOT c_result EQUAL 0 OR NOT cxx_result EQUAL 0)
  message(FATAL_ERROR "layout check failed with ${COMPILER} ${FLAGS} (C: ${c_result}, C++: ${cxx_result})")
endif()
