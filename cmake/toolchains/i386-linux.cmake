# 32-bit x86 Linux: the host's word size, built with the multilib g++ of an x86-64
# machine. Programs run natively where the kernel runs 32-bit programs (IA32 emulation),
# and through qemu-i386 where it cannot (cmake/runs-i386.sh tells which).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)

# Debian's multiarch folder for i386 packages (libyaml-dev:i386).
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Decided once per build dir (delete the cache entry to ask again), and handed down to
# CMake's compiler checks.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KAV_I386_RUNNER)
if(NOT DEFINED KAV_I386_RUNNER)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../runs-i386.sh
                  RESULT_VARIABLE native OUTPUT_VARIABLE why OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(native EQUAL 0)
    set(KAV_I386_RUNNER native CACHE STRING "How i386 programs run here: native or qemu")
  else()
    set(KAV_I386_RUNNER qemu CACHE STRING "How i386 programs run here: native or qemu")
    message(STATUS "i386 programs run through qemu-i386: ${why}")
  endif()
endif()
if(KAV_I386_RUNNER STREQUAL "qemu")
  find_program(KAV_QEMU_I386 qemu-i386 REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../qemu-run.sh ${KAV_QEMU_I386})
endif()
