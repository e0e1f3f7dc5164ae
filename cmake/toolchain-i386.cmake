# 32-bit x86 Linux with the host's multilib GCC (Debian's g++-multilib), against
# the CPython of a Debian i386 sysroot (see sysroot-python.cmake for the inputs).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake -DPWPOLY_SYSROOT=DIR \
#         -DCMAKE_POLICY_DEFAULT_CMP0190=NEW ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PWPOLY_MULTIARCH i386-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# Doubles live in SSE2 registers, never in the x87 stack (whose 80-bit
# intermediates would change results), and nothing is contracted into an FMA.
set(_pwpoly_flags "-m32 -msse2 -mfpmath=sse -ffp-contract=off")
set(CMAKE_C_FLAGS_INIT "${_pwpoly_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_pwpoly_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

include("${CMAKE_CURRENT_LIST_DIR}/sysroot-python.cmake")
