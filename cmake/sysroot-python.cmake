# Shared part of the toolchain files that build against the CPython of a Debian
# sysroot (ci/foreign_pythons.sh makes one). The including toolchain file sets
# PWPOLY_MULTIARCH (e.g. i386-linux-gnu) first.
#
# Input (cache variables, or the environment variables of the same names):
#   PWPOLY_SYSROOT         the sysroot's root folder
#   PWPOLY_SYSROOT_PYTHON  which of its interpreters: python3.X (the default)
#                          or python3.Xd, the Py_DEBUG build, whose headers
#                          and ABI ("d") the extension is then built for
#
# FindPython asks the sysroot's own interpreter (Python_EXECUTABLE, default
# DIR/usr/bin/python3.X) for the SOABI and the paths. It cannot run here as it
# is, so CMAKE_CROSSCOMPILING_EMULATOR runs it: qemu-i386 for i386, the
# sysroot's own dynamic loader for x86_64 (whose C library is newer than the
# host's). This needs CMake 4.1 or newer with policy CMP0190 set to NEW, so
# that FindPython takes the interpreter, the headers and the SOABI all from the
# target. The project's cmake_minimum_required leaves it unset and a toolchain
# file is read too late to set its default, so give it on the command line:
#   -DCMAKE_POLICY_DEFAULT_CMP0190=NEW
#
# Only the Python headers come from the sysroot. The C and C++ library headers
# and libraries stay the host compiler's own: the sysroot's C library is newer
# and runs what was linked against the host's. The generic pyconfig.h includes
# <MULTIARCH/python3.X/pyconfig.h>; rather than put the sysroot's /usr/include
# (and so its C library headers) on the include path, a folder in the build tree
# maps only MULTIARCH/python3.X to the sysroot's arch-specific folder.

if(NOT PWPOLY_SYSROOT AND DEFINED ENV{PWPOLY_SYSROOT})
  set(PWPOLY_SYSROOT "$ENV{PWPOLY_SYSROOT}")
endif()
if(NOT PWPOLY_SYSROOT)
  message(FATAL_ERROR "Set PWPOLY_SYSROOT to the sysroot that holds the target's CPython")
endif()
set(PWPOLY_SYSROOT "${PWPOLY_SYSROOT}" CACHE PATH "Sysroot holding the target's CPython")
set(PWPOLY_SYSROOT_PYTHON "${PWPOLY_SYSROOT_PYTHON}" CACHE STRING "The sysroot's interpreter (python3.X or python3.Xd)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PWPOLY_SYSROOT PWPOLY_SYSROOT_PYTHON)

# The C library, libstdc++ and Threads come from the host's compiler, so the
# sysroot is not a CMAKE_SYSROOT; programs are searched on the host only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

get_property(_pwpoly_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _pwpoly_in_try_compile)
  if(NOT PWPOLY_SYSROOT_PYTHON AND DEFINED ENV{PWPOLY_SYSROOT_PYTHON})
    set(PWPOLY_SYSROOT_PYTHON "$ENV{PWPOLY_SYSROOT_PYTHON}")
  endif()
  if(PWPOLY_SYSROOT_PYTHON)
    set(_pwpoly_pyconfig_dirs "${PWPOLY_SYSROOT}/usr/include/${PWPOLY_MULTIARCH}/${PWPOLY_SYSROOT_PYTHON}")
    if(NOT IS_DIRECTORY "${_pwpoly_pyconfig_dirs}")
      message(FATAL_ERROR "No ${PWPOLY_MULTIARCH}/${PWPOLY_SYSROOT_PYTHON} header folder in ${PWPOLY_SYSROOT}/usr/include")
    endif()
  else()
    # The release interpreter: python3.X, not a debug python3.Xd beside it.
    file(GLOB _pwpoly_pyconfig_dirs LIST_DIRECTORIES true
      "${PWPOLY_SYSROOT}/usr/include/${PWPOLY_MULTIARCH}/python3.*")
    list(FILTER _pwpoly_pyconfig_dirs EXCLUDE REGEX "d$")
    list(LENGTH _pwpoly_pyconfig_dirs _pwpoly_count)
    if(NOT _pwpoly_count EQUAL 1)
      message(FATAL_ERROR "Expected one ${PWPOLY_MULTIARCH}/python3.* header folder in ${PWPOLY_SYSROOT}/usr/include, found: ${_pwpoly_pyconfig_dirs}")
    endif()
  endif()
  get_filename_component(_pwpoly_pyname "${_pwpoly_pyconfig_dirs}" NAME)
  set(_pwpoly_shim "${CMAKE_BINARY_DIR}/sysroot-pyconfig")
  file(MAKE_DIRECTORY "${_pwpoly_shim}/${PWPOLY_MULTIARCH}")
  file(CREATE_LINK "${_pwpoly_pyconfig_dirs}" "${_pwpoly_shim}/${PWPOLY_MULTIARCH}/${_pwpoly_pyname}" SYMBOLIC)
  if(_pwpoly_pyname MATCHES "^(python3\\.[0-9]+)d$")
    # Debian's debug headers are links to the release ones, so the release
    # pyconfig.h is what their includes reach: the shim sends it to the
    # debug configuration (which defines Py_DEBUG) as well.
    file(CREATE_LINK "${_pwpoly_pyconfig_dirs}" "${_pwpoly_shim}/${PWPOLY_MULTIARCH}/${CMAKE_MATCH_1}" SYMBOLIC)
  endif()
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${_pwpoly_shim}")
  set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${_pwpoly_shim}")
  # FindPython would take the headers from the interpreter anyway; say it so
  # that nothing can pull in the host's headers.
  set(Python_INCLUDE_DIR "${PWPOLY_SYSROOT}/usr/include/${_pwpoly_pyname}" CACHE PATH "")
  set(Python_EXECUTABLE "${PWPOLY_SYSROOT}/usr/bin/${_pwpoly_pyname}" CACHE FILEPATH "")
endif()

# Unpacked without running package scripts, the sysroot has no BLAS/LAPACK
# alternatives links: their folders go on the library path.
set(_pwpoly_libdir "${PWPOLY_SYSROOT}/usr/lib/${PWPOLY_MULTIARCH}")
set(_pwpoly_libpath "${_pwpoly_libdir}:${_pwpoly_libdir}/blas:${_pwpoly_libdir}/lapack")
if(PWPOLY_MULTIARCH STREQUAL "i386-linux-gnu")
  find_program(PWPOLY_QEMU_I386 qemu-i386 REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${PWPOLY_QEMU_I386};-L;${PWPOLY_SYSROOT};-E;LD_LIBRARY_PATH=${_pwpoly_libpath}")
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR "${_pwpoly_libdir}/ld-linux-x86-64.so.2;--library-path;${_pwpoly_libpath}")
endif()
if(CMAKE_VERSION VERSION_LESS 4.1)
  message(FATAL_ERROR "Building against a sysroot's CPython needs CMake 4.1 or newer (FindPython with CMP0190)")
endif()
