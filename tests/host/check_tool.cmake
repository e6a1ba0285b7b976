# Runs a command and checks its exit status and that its output (stdout, then stderr)
# contains a file's text exactly:
#   cmake -DTOOL=prog "-DARGS=a|b|c" -DEXIT_CODE=N -DEXPECTED_FILE=path [-DEMULATOR=runner]
#         -P check_tool.cmake
string(REPLACE "|" ";" args "${ARGS}")
string(REPLACE "|" ";" emulator "${EMULATOR}")  # runs TOOL when it is another system's program
execute_process(COMMAND ${emulator} "${TOOL}" ${args} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(READ "${EXPECTED_FILE}" expected)
string(FIND "${out}${err}" "${expected}" found)
if(NOT status STREQUAL "${EXIT_CODE}" OR found EQUAL -1)
  message(FATAL_ERROR "exit status ${status} (expected ${EXIT_CODE})\n--- output:\n${out}${err}--- expected to contain:\n${expected}")
endif()
