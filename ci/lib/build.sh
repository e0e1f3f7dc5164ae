# The project's CMake build against a sysroot's CPython (sourced).
#
# sysroot_build_project ARCH REPO BUILD_DIR WITH_CPP_TESTS
# configures and builds the extension (and core_tests when WITH_CPP_TESTS is
# ON) with cmake/toolchain-<target>.cmake, warnings as errors and libstdc++
# linked statically. It needs sysroot_prepare ARCH to have run.

sysroot_build_project() {
  local arch=$1 repo=$2 build=$3 with_tests=$4 toolchain
  case $arch in
    i386) toolchain="$repo/cmake/toolchain-i386.cmake" ;;
    amd64) toolchain="$repo/cmake/toolchain-x86_64.cmake" ;;
    *) ci_die "unsupported architecture '$arch'" ;;
  esac
  ci_need_cmd cmake g++
  # Configured afresh every time (FindPython caches what the interpreter told
  # it, and the sysroot may have changed); objects are still rebuilt only as
  # needed.
  mkdir -p "$build"
  rm -f "$build/CMakeCache.txt"
  cmake -S "$repo" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DPWPOLY_SYSROOT="$SYSROOT_DIR" \
    -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
    -DPWPOLY_BUILD_EXTENSION=ON \
    -DPWPOLY_BUILD_TESTS="$with_tests" \
    -DPWPOLY_STATIC_LIBSTDCXX=ON \
    -DPWPOLY_WERROR=ON \
    -DPWPOLY_TEST_LAUNCHER="$SYSROOT_RUN" \
    > "$build/configure.log" 2>&1 \
    || { cat "$build/configure.log" >&2; ci_die "configuring the $arch build failed"; }
  grep -E 'Found Python|Check size of void' "$build/configure.log" >&2 || true
  cmake --build "$build" -j "${PWPOLY_BUILD_JOBS:-2}" || ci_die "the $arch build failed"
}
