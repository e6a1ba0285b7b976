# 32-bit x86 Linux: the host's word size, built with the multilib g++ of an x86-64
# machine. Programs run through qemu-i386, so ctest works where i386 binaries can't run.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)

# Debian's multiarch folder for i386 packages (libyaml-dev:i386).
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

find_program(KAV_QEMU_I386 qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../qemu-run.sh ${KAV_QEMU_I386})
