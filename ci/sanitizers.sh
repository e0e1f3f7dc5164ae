#!/usr/bin/env bash
# Builds pwpoly and the C++ unit tests with sanitizers and runs the tests
# against those builds, on this machine's own CPython.
#
#   bash ci/sanitizers.sh [asan|tsan|all] [-- PYTEST_ARGS...]
#
# asan  AddressSanitizer + UndefinedBehaviorSanitizer (+ float-cast-overflow,
#       libstdc++ assertions), every check fatal. Runs core_tests and the
#       pytest suite without the checks of the pure-Python reference model
#       (-m "not reference_model": they run no native code), or PYTEST_ARGS.
#       The interpreter is not instrumented, so
#       the ASan runtime is preloaded into it; PYTHONMALLOC=malloc routes every
#       Python object through the checked allocator, so a reference dropped
#       once too often by the module is a use-after-free report, not silence.
#       LeakSanitizer runs at the exit of every process; the interpreter's own
#       leaks are suppressed in ci/lsan-python.supp (each with its reason).
# tsan  ThreadSanitizer. Runs the worker pool's and parallel evaluation's C++
#       tests and the Python concurrency tests (pytest marker "threads": the
#       thread stress and the threaded tests of the evaluator and the
#       companion), or PYTEST_ARGS.
#
# Builds go to $PWPOLY_SANITIZER_BUILD_ROOT/{asan,tsan} (default build/).
# Needs g++ (with libasan, libubsan, libtsan), cmake, libgtest-dev and a
# Python with pytest, numpy and hypothesis ($PWPOLY_PYTHON, default python3).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$here/lib/common.sh"
. "$here/lib/build.sh"

modes=(asan tsan)
pytest_args=()
while [ $# -gt 0 ]; do
  case $1 in
    asan | tsan) modes=("$1"); shift ;;
    all) modes=(asan tsan); shift ;;
    -h | --help) ci_help; exit 0 ;;
    --) shift; pytest_args=("$@"); break ;;
    *) ci_die "unknown argument '$1' (see --help)" ;;
  esac
done

build_root=${PWPOLY_SANITIZER_BUILD_ROOT:-$repo/build}
# The interpreter binary itself: LD_PRELOAD into a launcher script (pyenv's
# shims are bash scripts) would instrument the shell instead.
python=$("${PWPOLY_PYTHON:-python3}" -c 'import sys; print(sys.executable)')

# sanitized_build DIR CXXFLAGS LDFLAGS [CXX_LIBS]: the extension and
# core_tests. RelWithDebInfo without -DNDEBUG, so that assertions stay live.
# CXX_LIBS go on the link line of C++ targets only (GoogleTest's C compiler
# check links plain C programs with the linker flags).
sanitized_build() {
  local dir=$1 cxxflags=$2 ldflags=$3 cxxlibs=${4:-}
  ci_cmake_build "$dir" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
    -DCMAKE_CXX_STANDARD_LIBRARIES="$cxxlibs" \
    -DPython_EXECUTABLE="$python" \
    -DPWPOLY_BUILD_EXTENSION=ON \
    -DPWPOLY_BUILD_TESTS=ON
}

# timed NAME COMMAND...: runs COMMAND as the stage NAME (ci/lib/common.sh),
# keeping its exit status.
timed() {
  local status=0
  ci_stage_begin "$1"
  shift
  "$@" || status=$?
  ci_stage_end
  return "$status"
}

# report_dir DIR: a fresh folder for sanitizer reports. The runtimes write
# them to files there (log_path), because pytest captures the standard error
# of the tests, and a report of a process that died would be lost with it.
fresh_report_dir() {
  rm -rf "$1"
  mkdir -p "$1"
}

# check_reports DIR STATUS: prints every report in DIR; fails when there is
# one or when STATUS (the test command's exit status) is not 0.
# ASan's notes on allocations it refused (allocator_may_return_null: the
# module then raises MemoryError, which the tests expect) are not reports.
check_reports() {
  local dir=$1 status=$2 f found=0
  for f in "$dir"/*; do
    [ -e "$f" ] || continue
    grep -qv 'WARNING: AddressSanitizer failed to allocate 0x' "$f" || continue
    found=1
    ci_log "sanitizer report $f:"
    cat "$f" >&2
  done
  [ "$found" -eq 0 ] || ci_die "sanitizer reports in $dir"
  [ "$status" -eq 0 ] || ci_die "tests failed (exit status $status)"
}

# run_pytest_preloaded PRELOAD ARGS...: pytest with PRELOAD in the
# interpreter. The preload is taken out of the environment again once the
# interpreter runs, so that programs the tests start (compilers, git) are not
# instrumented; Python subprocesses of the tests get it back through
# PWPOLY_TEST_PYTHON, the launcher that tests/support.py uses.
run_pytest_preloaded() {
  local preload=$1; shift
  env LD_PRELOAD="$preload" PWPOLY_TEST_PYTHON="env 'LD_PRELOAD=$preload' '$python'" \
    "$python" -c 'import os, sys; os.environ.pop("LD_PRELOAD", None); import pytest; sys.exit(pytest.main(sys.argv[1:]))' \
    -q -p no:cacheprovider "$@"
}

run_asan() {
  local dir=$build_root/asan
  mkdir -p "$dir"
  # See ci/throwing_operator_new.cpp: lets a failed allocation throw
  # std::bad_alloc under ASan, as it does in production.
  local shim=$dir/throwing_operator_new.o
  g++ -std=c++20 -O1 -g -fPIC -c "$here/throwing_operator_new.cpp" -o "$shim"
  local san="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=undefined,float-cast-overflow"
  timed "asan: build" sanitized_build "$dir" "$san -fno-omit-frame-pointer -D_GLIBCXX_ASSERTIONS" "$san" "$shim"

  local reports=$dir/reports
  fresh_report_dir "$reports"
  # allocator_may_return_null: an allocation the machine cannot satisfy must
  # become MemoryError (std::bad_alloc), as without the sanitizer, instead of
  # ASan's "requested allocation size exceeds maximum supported size" abort.
  # soft_rss_limit_mb: past 8 GiB resident, allocations fail (MemoryError)
  # instead of a runaway test taking the machine down with it.
  # intercept_tls_get_addr=0: with it, gcc 12's LeakSanitizer crashes in its
  # tracer ("Tracer caught signal 11") while walking the dynamic TLS of the
  # worker threads (the module is dlopen'ed and has thread_local state) on
  # this glibc. Without it, dynamically allocated TLS blocks are not scanned
  # for pointers, which can only add leak reports, never hide one.
  local asan_options="detect_leaks=1:allocator_may_return_null=1:halt_on_error=1:log_path=$reports/asan"
  asan_options+=":detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1"
  asan_options+=":soft_rss_limit_mb=8192:intercept_tls_get_addr=0"
  local ubsan_options="print_stacktrace=1:halt_on_error=1:report_error_type=1:log_path=$reports/ubsan"
  local lsan_options="suppressions=$here/lsan-python.supp:print_suppressions=0"
  export ASAN_OPTIONS="$asan_options" UBSAN_OPTIONS="$ubsan_options" LSAN_OPTIONS="$lsan_options"

  local status=0
  timed "asan: core_tests" "$dir/core_tests" --gtest_brief=1 || status=$?
  check_reports "$reports" "$status"

  local args=("${pytest_args[@]}")
  [ ${#args[@]} -gt 0 ] || args=(tests -m "not reference_model")
  # libstdc++ is preloaded too: the interpreter does not link it, and ASan
  # resolves its C++ exception interceptor (__cxa_throw) only at start-up.
  local preload
  preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
  status=0
  PYTHONMALLOC=malloc PYTHONPATH="$dir:$repo" PWPOLY_SANITIZER=asan \
    timed "asan: pytest ${args[*]}" run_pytest_preloaded "$preload" "${args[@]}" || status=$?
  check_reports "$reports" "$status"
  unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
}

run_tsan() {
  local dir=$build_root/tsan
  local san="-fsanitize=thread"
  timed "tsan: build" sanitized_build "$dir" "$san -fno-omit-frame-pointer" "$san"

  local reports=$dir/reports
  fresh_report_dir "$reports"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$here/tsan.supp:log_path=$reports/tsan"

  # The worker pool and the parallel evaluation are the core's only threads.
  local status=0
  timed "tsan: core_tests (pool, parallel and vector evaluation, interruption)" \
    "$dir/core_tests" --gtest_brief=1 --gtest_filter='*Pool*:*Parallel*:*Thread*:VectorEvaluation.*:Interruption.*' || status=$?
  check_reports "$reports" "$status"

  local args=("${pytest_args[@]}")
  [ ${#args[@]} -gt 0 ] || args=(tests -m threads)
  local preload
  preload="$(g++ -print-file-name=libtsan.so) $(g++ -print-file-name=libstdc++.so.6)"
  status=0
  # OpenBLAS would start threads of its own inside numpy.
  OPENBLAS_NUM_THREADS=1 PYTHONPATH="$dir:$repo" PWPOLY_SANITIZER=tsan \
    timed "tsan: pytest ${args[*]}" run_pytest_preloaded "$preload" "${args[@]}" || status=$?
  check_reports "$reports" "$status"
  unset TSAN_OPTIONS
}

for mode in "${modes[@]}"; do
  "run_$mode"
done
ci_stage_summary
ci_log "sanitizer runs passed: ${modes[*]}"
