#!/usr/bin/env bash
# The test suite on Debian's debug build of CPython 3.14 (python3.14d,
# built with Py_DEBUG: the C API checks its arguments and the interpreter's
# invariants with assertions, and sys.gettotalrefcount exists), with the
# extension built for that interpreter's ABI ("d") from its own headers. On
# this interpreter tests/test_leaks.py also hunts reference leaks: every leak
# scenario of both modules runs in rounds, and one whose every round leaves
# references or memory blocks behind fails (as CPython's own refleak runs).
# The checks of the pure-Python reference model are left out (-m "not
# reference_model": they run no native code); PYTEST_ARGS replace that.
#
#   bash ci/debug_python.sh [-- PYTEST_ARGS...]
#
# Uses the x86_64 sysroot of ci/foreign_pythons.sh (cached; built if missing,
# which needs root and Debian's debootstrap). Builds into
# $PWPOLY_FOREIGN_BUILD_ROOT/debug-x86_64 (default build/).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$here/lib/debian.sh"
. "$here/lib/build.sh"

pytest_args=()
while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) ci_help; exit 0 ;;
    --) shift; pytest_args=("$@"); break ;;
    *) ci_die "unknown argument '$1' (see --help)" ;;
  esac
done
[ "$(id -u)" -eq 0 ] || ci_die "needs root (debootstrap)"
build="${PWPOLY_FOREIGN_BUILD_ROOT:-$repo/build}/debug-x86_64"

ci_stage_begin "debug: sysroot"
sysroot_prepare amd64
ci_stage_end

ci_stage_begin "debug: build for python${SYSROOT_PYVER}d"
# Release's -O3 without NDEBUG: our own assertions stay live too, and the
# code is otherwise the release build's (where two NaNs meet, the operand
# order the compiler picks decides which one comes out, and the tests
# compare NaN bits as well).
sysroot_build_project amd64 "$build" OFF "python${SYSROOT_PYVER}d" -DCMAKE_CXX_FLAGS_RELEASE="-O3 -g"
module=$(ls "$build"/pwpoly.cpython-*d-x86_64-linux-gnu.so 2>/dev/null) \
  || ci_die "the build made no module for the debug ABI: $(ls "$build"/pwpoly*.so)"
ci_log "built $(basename "$module")"
ci_stage_end

ci_stage_begin "debug: pytest on python${SYSROOT_PYVER}d (refleak hunt included)"
status=0
(
  cd "$repo"
  export PYTHONPATH="$build:$repo" PWPOLY_TEST_PYTHON="$SYSROOT_DEBUG_PYTHON" PWPOLY_DEBUG_INTERPRETER=1
  "$SYSROOT_DEBUG_PYTHON" -c 'import sys, pwpoly; assert hasattr(sys, "gettotalrefcount") and pwpoly.__file__.endswith("d-x86_64-linux-gnu.so"), pwpoly.__file__'
  [ ${#pytest_args[@]} -gt 0 ] || pytest_args=(-m "not reference_model")
  "$SYSROOT_DEBUG_PYTHON" -m pytest -p no:cacheprovider -q -ra --durations=5 "${pytest_args[@]}"
) || status=$?
ci_stage_end
ci_stage_summary
[ "$status" -eq 0 ] || ci_die "the suite failed on the debug interpreter (exit status $status)"
ci_log "debug-interpreter suite passed"
