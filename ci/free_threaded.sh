#!/usr/bin/env bash
# Compiles pwpoly's free-threaded code paths (#ifdef Py_GIL_DISABLED: the
# module's GIL declaration, strong list item references, atomic borrow
# counters and the free-threaded reference counting of the Python headers),
# which no other CI lane builds, with warnings as errors.
#
#   bash ci/free_threaded.sh
#
# Debian ships no free-threaded CPython and PyPI no interpreter, so the module
# is only compiled here, not run:
#   1. compile: the x86_64 sysroot build of ci/foreign_pythons.sh (Debian
#      testing's CPython 3.14 headers, ci/lib/sysroot.sh and ci/lib/build.sh,
#      the same cached sysroot) with Py_GIL_DISABLED defined, into
#      build/free-threaded. The result is built for the free-threaded ABI and
#      cannot be imported by the sysroot's interpreter, which has the GIL.
#   2. symbols: the module must call into the free-threaded runtime
#      (PyUnstable_Module_SetGIL, PyList_GetItemRef and the shared reference
#      count entry points of the headers), so that the check cannot pass on
#      a build that quietly compiled the GIL paths.
#
# Needs root (debootstrap, for a cold sysroot), cmake, g++, and Debian's
# debootstrap. The Debian archive is the one in this machine's apt sources
# (PWPOLY_DEBIAN_MIRROR overrides it).
# Environment:
#   PWPOLY_SYSROOT_CACHE        sysroot cache (default ~/.cache/pwpoly-sysroots)
#   PWPOLY_FOREIGN_BUILD_ROOT   build folders (default <repo>/build)
#   PWPOLY_DEBIAN_MIRROR        Debian archive URI
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$here/lib/debian.sh"
. "$here/lib/build.sh"

while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) ci_help; exit 0 ;;
    *) ci_die "unknown argument '$1' (see --help)" ;;
  esac
done
[ "$(id -u)" -eq 0 ] || ci_die "needs root (debootstrap)"
build="${PWPOLY_FOREIGN_BUILD_ROOT:-$repo/build}/free-threaded"

ci_stage_begin "x86_64 sysroot"
sysroot_prepare amd64
ci_stage_end

ci_stage_begin "compile with Py_GIL_DISABLED"
# Taken by CMake together with the toolchain file's flags (a fresh configure).
CXXFLAGS="${CXXFLAGS:+$CXXFLAGS }-DPy_GIL_DISABLED=1" sysroot_build_project amd64 "$build" OFF
ci_stage_end

ci_stage_begin "free-threaded symbols"
module=$(ls "$build"/pwpoly.*.so) || ci_die "no module in $build"
grep -q -- '-DPy_GIL_DISABLED=1' "$build/CMakeFiles/pwpoly.dir/flags.make" \
  || ci_die "the module was compiled without Py_GIL_DISABLED"
missing=()
undefined=$(nm -D --undefined-only "$module" | awk '{ print $NF }')
for sym in PyUnstable_Module_SetGIL PyList_GetItemRef _Py_MergeZeroLocalRefcount _Py_DecRefShared; do
  grep -qx "$sym" <<< "$undefined" || missing+=("$sym")
done
[ ${#missing[@]} -eq 0 ] || ci_die "$module does not call the free-threaded runtime: ${missing[*]} missing"
ci_log "$module calls PyUnstable_Module_SetGIL, PyList_GetItemRef and the free-threaded reference counting"
ci_stage_end

ci_stage_summary
ci_log "free-threaded code paths compiled (not run: no free-threaded interpreter)"
