#!/usr/bin/env bash
# Runs a representative pwpoly session (ci/valgrind_workload.py) under
# valgrind's memcheck and fails on any invalid access, use of uninitialised
# memory, bad free or definitely lost block whose stack passes through pwpoly.
# Reports that lie entirely in the interpreter are counted and listed, not
# failed on.
#
#   bash ci/valgrind.sh
#
# Builds the extension (RelWithDebInfo, no sanitizers) into
# $PWPOLY_VALGRIND_BUILD (default build/valgrind). Needs valgrind (Debian's),
# cmake, g++ and a Python ($PWPOLY_PYTHON, default python3).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$here/lib/common.sh"
. "$here/lib/build.sh"

ci_need_cmd valgrind
python=$("${PWPOLY_PYTHON:-python3}" -c 'import sys; print(sys.executable)')
dir=${PWPOLY_VALGRIND_BUILD:-$repo/build/valgrind}
mkdir -p "$dir"

ci_stage_begin "valgrind: build"
# See ci/throwing_operator_new.cpp: valgrind's operator new aborts the process
# when an allocation fails; the module must raise MemoryError instead.
shim=$dir/throwing_operator_new.o
g++ -std=c++20 -O2 -g -fPIC -c "$here/throwing_operator_new.cpp" -o "$shim"
ci_cmake_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" \
  -DCMAKE_CXX_STANDARD_LIBRARIES="$shim" -DPWPOLY_BUILD_EXTENSION=ON -DPWPOLY_BUILD_TESTS=OFF
ci_stage_end

# PYTHONMALLOC=malloc: every Python object goes through malloc, so memcheck
# sees them (pymalloc's arenas hide them and read uninitialised memory on
# purpose). Two worker threads keep the parallel path cheap.
report=$dir/memcheck.log
ci_stage_begin "valgrind: memcheck run"
status=0
PYTHONMALLOC=malloc PYTHONPATH="$dir:$repo" RAYON_NUM_THREADS=2 \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=40 --log-file="$report" \
    "$python" "$here/valgrind_workload.py" 2> "$dir/workload.stderr" || status=$?
ci_stage_end
# The workload's stderr holds the module's reports of the internal failures
# it provokes on purpose; shown only when the run failed.
[ "$status" -eq 0 ] || { tail -n 40 "$dir/workload.stderr" "$report" >&2; ci_die "the workload failed under valgrind (exit status $status)"; }

"$python" "$here/lib/valgrind_log.py" "$report" || ci_die "memcheck reports through pwpoly (above)"
ci_log "valgrind check passed"
