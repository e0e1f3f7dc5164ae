#!/usr/bin/env bash
# Builds pwpoly and the C++ unit tests with sanitizers and runs the tests
# against those builds, on this machine's own CPython.
#
#   bash ci/sanitizers.sh [asan|tsan|all] [-- PYTEST_ARGS...]
#
# asan  AddressSanitizer + UndefinedBehaviorSanitizer (+ float-cast-overflow,
#       libstdc++ assertions), every check fatal. Runs core_tests and the whole
#       pytest suite (or PYTEST_ARGS). The interpreter is not instrumented, so
#       the ASan runtime is preloaded into it; PYTHONMALLOC=malloc routes every
#       Python object through the checked allocator, so a reference dropped
#       once too often by the module is a use-after-free report, not silence.
#       LeakSanitizer runs at the exit of every process; the interpreter's own
#       leaks are suppressed in ci/lsan-python.supp (each with its reason).
# tsan  ThreadSanitizer. Runs the worker pool's and parallel evaluation's C++
#       tests and the Python concurrency tests (tests/test_thread_stress.py and
#       the threaded tests of tests/test_evaluator.py).
#
# Builds go to $PWPOLY_SANITIZER_BUILD_ROOT/{asan,tsan} (default build/).
# Needs g++ (with libasan, libubsan, libtsan), cmake, libgtest-dev and a
# Python with pytest, numpy and hypothesis ($PWPOLY_PYTHON, default python3).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { log "ERROR: $*"; exit 1; }

modes=(asan tsan)
pytest_args=()
while [ $# -gt 0 ]; do
  case $1 in
    asan | tsan) modes=("$1"); shift ;;
    all) modes=(asan tsan); shift ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    --) shift; pytest_args=("$@"); break ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done

build_root=${PWPOLY_SANITIZER_BUILD_ROOT:-$repo/build}
# The interpreter binary itself: LD_PRELOAD into a launcher script (pyenv's
# shims are bash scripts) would instrument the shell instead.
python=$("${PWPOLY_PYTHON:-python3}" -c 'import sys; print(sys.executable)')
jobs=${PWPOLY_BUILD_JOBS:-2}

# configure_and_build DIR FLAGS...: the extension and core_tests, with FLAGS
# on every compile and link line. RelWithDebInfo without -DNDEBUG, so that
# assertions stay live.
configure_and_build() {
  local dir=$1; shift
  local flags="$*"
  mkdir -p "$dir"
  cmake -S "$repo" -B "$dir" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DPython_EXECUTABLE="$python" \
    -DPWPOLY_BUILD_EXTENSION=ON \
    -DPWPOLY_BUILD_TESTS=ON \
    > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log" >&2; die "configuring $dir failed"; }
  cmake --build "$dir" -j "$jobs" > "$dir/build.log" 2>&1 || { tail -50 "$dir/build.log" >&2; die "building $dir failed"; }
}

timed() {
  local name=$1; shift
  local start=$SECONDS
  log "=== $name"
  "$@"
  log "=== $name: $((SECONDS - start))s"
}

run_asan() {
  local dir=$build_root/asan
  timed "asan: build" configure_and_build "$dir" \
    -fsanitize=address,undefined,float-cast-overflow \
    -fno-sanitize-recover=undefined,float-cast-overflow \
    -fno-omit-frame-pointer -D_GLIBCXX_ASSERTIONS

  # allocator_may_return_null: an allocation the machine cannot satisfy must
  # become MemoryError (std::bad_alloc), as without the sanitizer, instead of
  # ASan's own "requested allocation size exceeds maximum" abort.
  local asan_options="detect_leaks=1:allocator_may_return_null=1:abort_on_error=0:halt_on_error=1"
  asan_options+=":detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1"
  local ubsan_options="print_stacktrace=1:halt_on_error=1:report_error_type=1"
  local lsan_options="suppressions=$here/lsan-python.supp:print_suppressions=0"

  timed "asan: core_tests" env ASAN_OPTIONS="$asan_options" UBSAN_OPTIONS="$ubsan_options" \
    "$dir/core_tests" --gtest_brief=1

  local args=("${pytest_args[@]}")
  [ ${#args[@]} -gt 0 ] || args=(tests)
  # The suite's subprocesses inherit the environment and so run instrumented
  # as well.
  timed "asan: pytest ${args[*]}" env \
    LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
    ASAN_OPTIONS="$asan_options" UBSAN_OPTIONS="$ubsan_options" LSAN_OPTIONS="$lsan_options" \
    PYTHONMALLOC=malloc PYTHONPATH="$dir" PWPOLY_SANITIZER=asan \
    "$python" -m pytest -q -p no:cacheprovider "${args[@]}"
}

run_tsan() {
  local dir=$build_root/tsan
  timed "tsan: build" configure_and_build "$dir" -fsanitize=thread -fno-omit-frame-pointer

  local tsan_options="halt_on_error=1:second_deadlock_stack=1:suppressions=$here/tsan.supp"
  # The pool and the parallel evaluation are the core's only threads.
  timed "tsan: core_tests (pool, parallel evaluation)" env TSAN_OPTIONS="$tsan_options" \
    "$dir/core_tests" --gtest_brief=1 --gtest_filter='*Pool*:*Parallel*:*Thread*'

  local args=("${pytest_args[@]}")
  [ ${#args[@]} -gt 0 ] || args=(tests/test_thread_stress.py tests/test_evaluator.py -k "thread or stress or concurren")
  # OpenBLAS would start threads of its own inside numpy.
  timed "tsan: pytest ${args[*]}" env \
    LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" \
    TSAN_OPTIONS="$tsan_options" OPENBLAS_NUM_THREADS=1 \
    PYTHONPATH="$dir" PWPOLY_SANITIZER=tsan \
    "$python" -m pytest -q -p no:cacheprovider "${args[@]}"
}

for mode in "${modes[@]}"; do
  "run_$mode"
done
log "sanitizer runs passed: ${modes[*]}"
