# Shared part of the toolchain files that build against the CPython of a Debian
# sysroot (ci/foreign_pythons.sh makes one). The including toolchain file sets
# PWPOLY_MULTIARCH (e.g. i386-linux-gnu) first.
#
# Inputs (cache variables, or environment variables of the same name):
#   PWPOLY_SYSROOT   the sysroot's root folder
#   Python_EXECUTABLE a launcher that runs the sysroot's interpreter on this
#                    machine; FindPython asks it for the SOABI and the paths.
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
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PWPOLY_SYSROOT)

# The C library, libstdc++ and Threads come from the host's compiler, so the
# sysroot is not a CMAKE_SYSROOT; programs are searched on the host only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

get_property(_pwpoly_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _pwpoly_in_try_compile)
  file(GLOB _pwpoly_pyconfig_dirs LIST_DIRECTORIES true
    "${PWPOLY_SYSROOT}/usr/include/${PWPOLY_MULTIARCH}/python3.*")
  list(LENGTH _pwpoly_pyconfig_dirs _pwpoly_count)
  if(NOT _pwpoly_count EQUAL 1)
    message(FATAL_ERROR "Expected one ${PWPOLY_MULTIARCH}/python3.* header folder in ${PWPOLY_SYSROOT}/usr/include, found: ${_pwpoly_pyconfig_dirs}")
  endif()
  get_filename_component(_pwpoly_pyname "${_pwpoly_pyconfig_dirs}" NAME)
  set(_pwpoly_shim "${CMAKE_BINARY_DIR}/sysroot-pyconfig")
  file(MAKE_DIRECTORY "${_pwpoly_shim}/${PWPOLY_MULTIARCH}")
  file(CREATE_LINK "${_pwpoly_pyconfig_dirs}" "${_pwpoly_shim}/${PWPOLY_MULTIARCH}/${_pwpoly_pyname}" SYMBOLIC)
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${_pwpoly_shim}")
  set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${_pwpoly_shim}")
  # FindPython would take the headers from the interpreter anyway; say it so
  # that a launcher that answers wrongly cannot pull in the host's headers.
  set(Python_INCLUDE_DIR "${PWPOLY_SYSROOT}/usr/include/${_pwpoly_pyname}" CACHE PATH "")
endif()
