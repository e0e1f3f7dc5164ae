# The project's CMake builds (sourced; needs ci/lib/common.sh).

# ci_cmake_build DIR [CMAKE_ARGS...]
# The one recipe that configures and builds this repository: a Release build
# into DIR, CMAKE_ARGS after the defaults (so they override them, e.g.
# -DCMAKE_BUILD_TYPE=RelWithDebInfo), $PWPOLY_BUILD_JOBS jobs (default: every
# core). The output goes to DIR/configure.log and DIR/build.log and is shown
# when a step fails.
ci_cmake_build() {
  local dir=$1 repo
  shift
  repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  ci_need_cmd cmake g++
  mkdir -p "$dir"
  cmake -S "$repo" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" > "$dir/configure.log" 2>&1 \
    || { cat "$dir/configure.log" >&2; ci_die "configuring $dir failed"; }
  cmake --build "$dir" -j "${PWPOLY_BUILD_JOBS:-$(nproc)}" > "$dir/build.log" 2>&1 \
    || { tail -50 "$dir/build.log" >&2; ci_die "building $dir failed"; }
}

# sysroot_build_project ARCH BUILD_DIR WITH_CPP_TESTS [PYTHON [CMAKE_ARGS...]]
# builds the extension (and core_tests when WITH_CPP_TESTS is ON) against the
# CPython of a sysroot (its python$SYSROOT_PYVER, or the interpreter PYTHON
# names) with cmake/toolchain-<target>.cmake, warnings as errors and
# libstdc++ linked statically; CMAKE_ARGS come last. It needs
# sysroot_prepare ARCH to have run.
sysroot_build_project() {
  local arch=$1 build=$2 with_tests=$3 python=${4:-python$SYSROOT_PYVER} toolchain
  shift $(($# < 4 ? $# : 4))
  toolchain=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../cmake" && pwd)
  case $arch in
    i386) toolchain="$toolchain/toolchain-i386.cmake" ;;
    amd64) toolchain="$toolchain/toolchain-x86_64.cmake" ;;
    *) ci_die "unsupported architecture '$arch'" ;;
  esac
  # Configured afresh every time (FindPython caches what the interpreter told
  # it, and the sysroot may have changed); objects are still rebuilt only as
  # needed.
  rm -f "$build/CMakeCache.txt"
  ci_cmake_build "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DPWPOLY_SYSROOT="$SYSROOT_DIR" \
    -DPWPOLY_SYSROOT_PYTHON="$python" \
    -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
    -DPWPOLY_BUILD_EXTENSION=ON \
    -DPWPOLY_BUILD_TESTS="$with_tests" \
    -DPWPOLY_STATIC_LIBSTDCXX=ON \
    -DPWPOLY_WERROR=ON \
    -DPWPOLY_TEST_LAUNCHER="$SYSROOT_RUN" \
    "$@"
  grep -E 'Found Python|Check size of void' "$build/configure.log" >&2 || true
}
