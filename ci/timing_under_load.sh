#!/usr/bin/env bash
# Runs the tests whose outcome could depend on timing (fork, exit, Ctrl-C,
# thread stress, huge sizes, resident memory, the core's interruption and
# pool tests) N times while every core is kept busy by a spinning process,
# and prints per test how often it passed. A test that depends on the
# machine being quiet shows up here as a count below N.
#
#   bash ci/timing_under_load.sh [N] [-- PYTEST_ARGS...]
#
# N defaults to 50. pwpoly must be importable by $PWPOLY_PYTHON (default
# python3; e.g. PYTHONPATH=build/dev:.), and core_tests is taken from
# $PWPOLY_CORE_TESTS when set (its Interruption and WorkerPool tests run too).
# The spinning processes ($PWPOLY_SPINNERS of them, default one per core) are
# this script's own children and end with it. Logs go to $PWPOLY_TIMING_OUT
# (default build/timing-under-load).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$here/lib/common.sh"

runs=50
case ${1:-} in
  -h | --help) ci_help; exit 0 ;;
  [0-9]*) runs=$1; shift ;;
esac
[ "${1:-}" != -- ] || shift
tests=("$@")
if [ ${#tests[@]} -eq 0 ]; then
  tests=(tests/test_fork.py tests/test_interrupt.py tests/test_thread_stress.py tests/test_huge_sizes.py
    tests/test_leaks.py::test_resident_memory_does_not_grow tests/test_leaks.py::test_idle_threads_keep_no_spare_arrays
    tests/test_evaluator.py::test_set_dofs_during_evaluate_many_in_another_thread
    tests/test_evaluator.py::test_two_threads_evaluate_at_once
    tests/test_evaluator.py::test_evaluate_many_is_bit_identical_for_any_worker_count
    tests/test_arrays_evaluation.py::test_threads_hammer_one_expansion
    tests/test_arrays_evaluation.py::test_a_pool_that_cannot_start_is_an_ordinary_error_in_the_companion)
fi
python=${PWPOLY_PYTHON:-python3}
out=${PWPOLY_TIMING_OUT:-$repo/build/timing-under-load}
rm -rf "$out"
mkdir -p "$out"

spinners=()
stop_spinners() {
  local pid
  for pid in "${spinners[@]}"; do kill "$pid" 2> /dev/null || true; done
}
trap stop_spinners EXIT
for _ in $(seq "${PWPOLY_SPINNERS:-$(nproc)}"); do
  (while :; do :; done) &
  spinners+=($!)
done
ci_log "${#spinners[@]} spinning processes keep every core busy; $runs runs of: ${tests[*]}"

cd "$repo"
for i in $(seq "$runs"); do
  start=$(date +%s)
  "$python" -m pytest -p no:cacheprovider -q -rA --durations=10 "${tests[@]}" > "$out/run-$i.log" 2>&1 || true
  if [ -n "${PWPOLY_CORE_TESTS:-}" ]; then
    "$PWPOLY_CORE_TESTS" --gtest_brief=0 --gtest_filter='Interruption.*:*Pool*' > "$out/core-$i.log" 2>&1 || true
  fi
  ci_log "run $i/$runs: $(tail -n 1 "$out/run-$i.log") ($(($(date +%s) - start))s)"
done

# Per test: passed, failed (pytest's -rA summary lines; gtest's OK/FAILED).
printf '\n%-110s %6s %6s\n' test passed failed
cat "$out"/run-*.log | awk '$1 == "PASSED" || $1 == "FAILED" || $1 == "ERROR" { print $1, $2 }' \
  | sort | uniq -c | awk '{ n[$3] = n[$3]; if ($2 == "PASSED") p[$3] += $1; else f[$3] += $1 }
      END { for (t in n) printf "%-110s %6d %6d\n", t, p[t], f[t] }' | sort
if [ -n "${PWPOLY_CORE_TESTS:-}" ]; then
  cat "$out"/core-*.log | awk '$1 == "[" && ($2 == "OK" || $2 == "FAILED") && $3 == "]" && $4 ~ /\./ { print $2, $4 }' \
    | sort | uniq -c | awk '{ if ($2 == "OK") p[$3] += $1; else f[$3] += $1; n[$3] = 1 }
        END { for (t in n) printf "%-110s %6d %6d\n", "core_tests " t, p[t], f[t] }' | sort
fi
