# Runs the decode command on the files in DATA and checks output and exit status.
#   cmake -DDECODE=path/to/decode -DDATA=path/to/data [-DEMULATOR=runner] -P decode_tool_test.cmake
set(failures 0)
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")  # runs DECODE when it is another system's program

# check(NAME EXIT STDOUT STDERR_PREFIX [STDIN FILE] ARGS...)
function(check name exit expected_out expected_err)
  cmake_parse_arguments(C "" "STDIN" "ARGS" ${ARGN})
  set(input_args)
  if(C_STDIN)
    set(input_args INPUT_FILE ${C_STDIN})
  endif()
  execute_process(COMMAND ${EMULATOR} ${DECODE} ${C_ARGS} ${input_args}
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(ok TRUE)
  if(NOT code STREQUAL exit)
    set(ok FALSE)
  endif()
  if(NOT out STREQUAL expected_out)
    set(ok FALSE)
  endif()
  string(FIND "${err}" "${expected_err}" at)
  if(NOT at EQUAL 0 AND NOT (expected_err STREQUAL "" AND err STREQUAL ""))
    set(ok FALSE)
  endif()
  if(NOT ok)
    message(SEND_ERROR "${name}: exit ${code} (want ${exit})\n  out: [${out}]\n want: [${expected_out}]\n  err: [${err}]\n want prefix: [${expected_err}]")
  endif()
endfunction()

check(json 0 "{\"empty\": {}, \"ids\": [unsigned:1, signed:-2, float:2.5, bool:true, empty], \"name\": string:\"Ann \\\"A\\\"\\n\"}\n" ""
      ARGS --type application/json ${DATA}/record.json)
check(json_stdin 0 "{\"empty\": {}, \"ids\": [unsigned:1, signed:-2, float:2.5, bool:true, empty], \"name\": string:\"Ann \\\"A\\\"\\n\"}\n" ""
      STDIN ${DATA}/record.json ARGS --type=application/json)
check(json_error 1 "" "error: Error: Invalid value. at offset 3.\n"
      ARGS --type application/json ${DATA}/bad.json)
check(yaml 0 "{\"count\": unsigned:3, \"name\": string:\"Ann\", \"nothing\": empty, \"on\": bool:true, \"ratio\": float:0.25, \"tags\": [string:\"a\", string:\"1\"]}\n" ""
      ARGS --type application/x-yaml ${DATA}/record.yaml)
check(yaml_error 1 "" "error: Undefined alias encountered: \"missing\". At line: 1 col: 4\n"
      ARGS --type application/x-yaml ${DATA}/bad.yaml)
# The whole file is read: a NUL in it is refused, not taken as its end. (Not "nul.yaml":
# Windows opens that name as its null device.)
check(yaml_nul 1 "" "error: YAML parser error: control characters are not allowed. At line: 0 col: 0\n"
      ARGS --type application/x-yaml ${DATA}/inner_nul.yaml)
check(msgpack 0 "{\"a\": [signed:-1, unsigned:255, float:1.5, string:\"x\\t\"], \"b\": blob:0aff}\n" ""
      ARGS --type application/x-msgpack ${DATA}/record.msgpack)
check(msgpack_trailing 1 "" "error: Extra MessagePack data found at position 3.\n"
      ARGS --type application/x-msgpack ${DATA}/trailing.msgpack)
check(msgpack_error 1 "" "error: Invalid MessagePack data at position 2.\n"
      ARGS --type application/x-msgpack ${DATA}/bad.msgpack)
check(help 0 "usage: decode --type CONTENT_TYPE [FILE]\n  CONTENT_TYPE: application/json, application/x-msgpack or application/x-yaml, matched\n  as the plugin matches a body's (\"application/json; charset=utf-8\" is JSON).\n  Reads FILE (standard input without FILE) and prints the decoded value.\n" ""
      ARGS --help)
check(no_type 2 "" "error: --type is required\nusage: decode" ARGS ${DATA}/record.json)
check(bad_type 2 "" "error: unsupported content type text/plain\nusage: decode" ARGS --type text/plain)
check(missing_value 2 "" "error: --type needs a content type\nusage: decode" ARGS --type)
check(two_files 2 "" "error: more than one file given\nusage: decode"
      ARGS --type application/json ${DATA}/record.json ${DATA}/bad.json)
check(unknown_option 2 "" "error: unknown option --fast\nusage: decode" ARGS --fast)
check(missing_file 2 "" "error: cannot open ${DATA}/none.json: "
      ARGS --type application/json ${DATA}/none.json)
# Content types as the plugin's dispatcher reads a body's: a prefix, in any letter case
# (a list argument cannot hold the usual ";" of "application/json; charset=utf-8").
check(json_charset 0 "{\"empty\": {}, \"ids\": [unsigned:1, signed:-2, float:2.5, bool:true, empty], \"name\": string:\"Ann \\\"A\\\"\\n\"}\n" ""
      ARGS --type "application/json charset=utf-8" ${DATA}/record.json)
check(json_upper 0 "{\"empty\": {}, \"ids\": [unsigned:1, signed:-2, float:2.5, bool:true, empty], \"name\": string:\"Ann \\\"A\\\"\\n\"}\n" ""
      ARGS --type APPLICATION/JSON ${DATA}/record.json)
check(yaml_text_type 2 "" "error: unsupported content type text/x-yaml\nusage: decode" ARGS --type text/x-yaml)
check(directory 2 "" "error: cannot read ${DATA}: Is a directory\n" ARGS --type application/json ${DATA})
