# The Linux build as a 32-bit x86 program (g++ -m32 from Debian's g++-multilib, the
# i386 GoogleTest): the tool, the capture and the emulated machine in the data
# model of the shipped program.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# The tests (and the listing of the GoogleTest cases) run natively where this
# machine runs 32-bit code, under qemu-i386 where it does not (scripts/ia32_run.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/ia32_run.sh)
