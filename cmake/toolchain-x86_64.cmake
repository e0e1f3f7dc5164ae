# x86_64 Linux with the host's GCC, against the CPython of a Debian amd64
# sysroot rather than the host's own (see sysroot-python.cmake for the inputs).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64.cmake -DPWPOLY_SYSROOT=DIR \
#         -DCMAKE_POLICY_DEFAULT_CMP0190=NEW ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PWPOLY_MULTIARCH x86_64-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(_pwpoly_flags "-m64 -ffp-contract=off")
set(CMAKE_C_FLAGS_INIT "${_pwpoly_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_pwpoly_flags}")

include("${CMAKE_CURRENT_LIST_DIR}/sysroot-python.cmake")
