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
log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { log "ERROR: $*"; exit 1; }

command -v valgrind >/dev/null || die "valgrind not found (apt-get install valgrind)"
python=$("${PWPOLY_PYTHON:-python3}" -c 'import sys; print(sys.executable)')
dir=${PWPOLY_VALGRIND_BUILD:-$repo/build/valgrind}
mkdir -p "$dir"

start=$SECONDS
# See ci/throwing_operator_new.cpp: valgrind's operator new aborts the process
# when an allocation fails; the module must raise MemoryError instead.
shim=$dir/throwing_operator_new.o
g++ -std=c++20 -O2 -g -fPIC -c "$here/throwing_operator_new.cpp" -o "$shim"
cmake -S "$repo" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" \
  -DCMAKE_CXX_STANDARD_LIBRARIES="$shim" \
  -DPWPOLY_BUILD_EXTENSION=ON -DPWPOLY_BUILD_TESTS=OFF > "$dir/configure.log" 2>&1 \
  || { cat "$dir/configure.log" >&2; die "configuring failed"; }
cmake --build "$dir" -j "${PWPOLY_BUILD_JOBS:-2}" > "$dir/build.log" 2>&1 \
  || { tail -50 "$dir/build.log" >&2; die "building failed"; }
log "build: $((SECONDS - start))s"

# PYTHONMALLOC=malloc: every Python object goes through malloc, so memcheck
# sees them (pymalloc's arenas hide them and read uninitialised memory on
# purpose). Two worker threads keep the parallel path cheap.
report=$dir/memcheck.log
start=$SECONDS
status=0
PYTHONMALLOC=malloc PYTHONPATH="$dir" RAYON_NUM_THREADS=2 \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=40 --log-file="$report" \
    "$python" "$here/valgrind_workload.py" 2> "$dir/workload.stderr" || status=$?
log "memcheck run: $((SECONDS - start))s (exit status $status)"
# The workload's stderr holds the module's reports of the internal failures
# it provokes on purpose; shown only when the run failed.
[ "$status" -eq 0 ] || { tail -40 "$dir/workload.stderr" "$report" >&2; die "the workload failed under valgrind"; }

"$python" - "$report" <<'EOF'
import re
import sys

text = open(sys.argv[1], errors="replace").read()
# Records are blocks of "==PID== " lines separated by an empty such line.
lines = [re.sub(r"^==\d+== ?", "", line) for line in text.splitlines()]
blocks, current = [], []
for line in lines:
    if line.strip():
        current.append(line)
    elif current:
        blocks.append(current)
        current = []
if current:
    blocks.append(current)

ERRORS = re.compile(
    r"^(Invalid (read|write|free)|Conditional jump|Use of uninitialised|Mismatched free|Syscall param"
    r"|Source and destination overlap|Argument '.*' of function .* has a fishy value"
    r"|\S.* bytes in \S+ blocks are definitely lost)"
)
ours, theirs = [], []
for block in blocks:
    if not ERRORS.match(block[0]):
        continue
    frames = [l for l in block if re.match(r"\s+(at|by) 0x", l)]
    (ours if any("pwpoly" in f for f in frames) else theirs).append(block)

summary = [l for l in lines if "ERROR SUMMARY" in l or "definitely lost:" in l]
print("\n".join(summary))
print(f"records through pwpoly: {len(ours)}; records in the interpreter alone: {len(theirs)}")
kinds = {}
for block in theirs:
    kinds[block[0]] = kinds.get(block[0], 0) + 1
for kind, count in sorted(kinds.items()):
    print(f"  interpreter alone, {count} x: {kind}")
for block in ours:
    print("\n".join(block), file=sys.stderr)
sys.exit(1 if ours else 0)
EOF
log "valgrind check passed"
