#!/usr/bin/env bash
# Builds pwpoly for Debian's CPython 3.14 or 3.15 on 32-bit x86 (i386) and on
# x86_64, and runs the test suites there; this machine's own Python is not
# involved.
#
#   bash ci/foreign_pythons.sh [--python 3.14|3.15] [--arch i386|x86_64|all] [--build-only] [-- PYTEST_ARGS...]
#
# For each architecture:
#   1. sysroot: a Debian root file system with python3.X, its headers,
#      pytest, numpy, scipy and hypothesis (3.14 from testing, 3.15 from sid),
#      cached outside the checkout and keyed on the package versions
#      (ci/lib/sysroot.sh);
#   2. build: the project's CMake build with cmake/toolchain-<arch>.cmake, the
#      host's g++ (-m32 for i386), warnings as errors, libstdc++ linked
#      statically, into build/foreign-<arch> (3.14) or build/foreign-<arch>-3.15;
#   3. test: i386 runs core_tests under qemu-i386 (ctest); then both run
#      ci/lib/target_check.py and the pytest suite with the sysroot's
#      interpreter (under qemu-i386 for i386, through the sysroot's own loader
#      for x86_64). PWPOLY_TEST_PYTHON names the same launcher, so the tests'
#      subprocesses run on the same interpreter; PWPOLY_TEST_EMULATED=1 is set
#      for i386 only. x86_64 runs the whole suite; i386, where every
#      instruction is emulated, leaves out the checks of the pure-Python
#      reference model (-m "not reference_model"), which run no native code.
#      PYTEST_ARGS replace these selections;
#   4. numerics: ci/lib/numerics_fingerprint.py prints the bits of a fixed set
#      of calls on each interpreter, and on this machine's own Python when
#      pwpoly is installed there; the outputs must be identical. Each is also
#      recorded in build/fingerprints (ci/lib/fingerprints.sh), where .ci/run
#      compares those of every lane.
# The C++ tests on x86_64 are the host build's (run_tests.sh), so they are not
# repeated here.
#
# Needs root (debootstrap) and Debian's debootstrap, qemu-user, g++-multilib
# and libgtest-dev, plus cmake. The Debian archive is the one in this
# machine's apt sources (PWPOLY_DEBIAN_MIRROR overrides it).
# Environment:
#   PWPOLY_SYSROOT_CACHE        sysroot cache (default ~/.cache/pwpoly-sysroots)
#   PWPOLY_FOREIGN_BUILD_ROOT   build folders (default <repo>/build)
#   PWPOLY_DEBIAN_MIRROR        Debian archive URI
#   PWPOLY_FINGERPRINT_HOST     0: no fingerprint of this machine's own Python
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$here/lib/debian.sh"
. "$here/lib/build.sh"
. "$here/lib/fingerprints.sh"

arches=(i386 x86_64)
pyver=3.14
build_only=0
pytest_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --arch)
      [ $# -ge 2 ] || ci_die "--arch needs a value"
      case $2 in
        all) arches=(i386 x86_64) ;;
        i386 | x86_64) arches=("$2") ;;
        *) ci_die "unknown architecture '$2' (i386, x86_64 or all)" ;;
      esac
      shift 2 ;;
    --python)
      [ $# -ge 2 ] || ci_die "--python needs a value"
      case $2 in
        3.14 | 3.15) pyver=$2 ;;
        *) ci_die "unknown CPython version '$2' (3.14 or 3.15)" ;;
      esac
      shift 2 ;;
    --build-only) build_only=1; shift ;;
    -h | --help) ci_help; exit 0 ;;
    --) shift; pytest_args=("$@"); break ;;
    *) ci_die "unknown argument '$1' (see --help)" ;;
  esac
done
[ "$(id -u)" -eq 0 ] || ci_die "needs root (debootstrap)"
build_root=${PWPOLY_FOREIGN_BUILD_ROOT:-$repo/build}

failed=()
run_arch() {
  local arch=$1 deb_arch bits with_cpp_tests build
  case $arch in
    i386) deb_arch=i386; bits=32; with_cpp_tests=ON ;;
    x86_64) deb_arch=amd64; bits=64; with_cpp_tests=OFF ;;
  esac
  build="$build_root/foreign-$arch"
  [ "$pyver" = 3.14 ] || build="$build-$pyver"
  [ "$arch" = i386 ] && ci_need_cmd qemu-i386

  ci_stage_begin "$arch $pyver: sysroot"
  sysroot_prepare "$deb_arch" "$pyver"
  ci_stage_end

  ci_stage_begin "$arch $pyver: build"
  sysroot_build_project "$deb_arch" "$build" "$with_cpp_tests"
  ci_stage_end
  [ "$build_only" -eq 0 ] || return 0

  if [ "$with_cpp_tests" = ON ]; then
    ci_stage_begin "$arch $pyver: C++ tests (emulated)"
    ctest --test-dir "$build" --output-on-failure || failed+=("$arch C++ tests")
    ci_stage_end
  fi

  local selection=("${pytest_args[@]}")
  if [ ${#selection[@]} -eq 0 ] && [ "$arch" = i386 ]; then selection=(-m "not reference_model"); fi
  ci_stage_begin "$arch $pyver: pytest ${selection[*]}"
  (
    cd "$repo"
    export PYTHONPATH="$build:$repo" PWPOLY_TEST_PYTHON="$SYSROOT_PYTHON"
    # Tells the tests that every instruction is emulated (slow), which the
    # x86_64 lane is not, although it also needs a launcher.
    if [ "$arch" = i386 ]; then export PWPOLY_TEST_EMULATED=1; else unset PWPOLY_TEST_EMULATED; fi
    "$SYSROOT_PYTHON" "$here/lib/target_check.py" --sysroot "$SYSROOT_DIR" --module-dir "$build" --bits "$bits" || exit 1
    "$SYSROOT_PYTHON" -m pytest -p no:cacheprovider -q -ra --durations=5 "${selection[@]}"
  ) || failed+=("$arch pytest")
  ci_stage_end

  ci_stage_begin "$arch $pyver: numerics fingerprint"
  if PYTHONPATH="$build:$repo" "$SYSROOT_PYTHON" "$here/lib/numerics_fingerprint.py" > "$build/numerics-fingerprint.txt"; then
    fingerprints+=("cpython-$pyver-$arch=$build/numerics-fingerprint.txt")
    fingerprint_record "cpython-$pyver-$arch" "$build/numerics-fingerprint.txt"
  else
    failed+=("$arch numerics fingerprint")
  fi
  ci_stage_end
}

# The same calls must give the same bits on every interpreter: compares the
# fingerprints of the lanes, and of this machine's own Python when pwpoly is
# installed there (as CI does before it runs this script).
compare_fingerprints() {
  local host_py=${PWPOLY_HOST_PYTHON:-python3} host_out="$build_root/numerics-fingerprint-host.txt" host_label
  if [ "${PWPOLY_FINGERPRINT_HOST:-1}" != 1 ]; then
    ci_log "the host's fingerprint is not taken here (PWPOLY_FINGERPRINT_HOST=${PWPOLY_FINGERPRINT_HOST})"
  elif (cd / && "$host_py" -c 'import pwpoly') 2>/dev/null; then
    host_label="host-cpython-$("$host_py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    if (cd / && "$host_py" "$here/lib/numerics_fingerprint.py") > "$host_out"; then
      fingerprints+=("$host_label=$host_out")
      fingerprint_record "$host_label" "$host_out"
    else
      failed+=("host numerics fingerprint")
    fi
  else
    ci_log "pwpoly is not installed for $host_py; comparing the foreign interpreters only"
  fi
  fingerprint_compare "${fingerprints[@]}" || failed+=("numerics fingerprints")
}

fingerprints=()
for arch in "${arches[@]}"; do
  run_arch "$arch"
done
[ "$build_only" -eq 1 ] || compare_fingerprints
ci_stage_summary
if [ ${#failed[@]} -gt 0 ]; then
  ci_die "failed: ${failed[*]}"
fi
ci_log "all foreign-interpreter suites passed: CPython $pyver on ${arches[*]}"
