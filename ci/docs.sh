#!/usr/bin/env bash
# Type stubs, examples and documentation:
#
#   bash ci/docs.sh [--no-install]
#
#  1. installs Debian's MPICH (if no MPI compiler is there) and the tools
#     pinned in docs/requirements.txt (--no-install skips both);
#  2. pip-installs pwpoly, stubs included, into the venv build/docs/venv,
#     which also sees the system's packages (the build is in build/docs/wheel);
#  3. python -m mypy.stubtest pwpoly: the stubs against the compiled module;
#  4. mypy --strict on examples/, against the installed stubs;
#  5. runs the examples in their fast mode, the MPI one under mpiexec -n 2,
#     keeping their output for the docs (docs/figures/*.txt);
#  6. draws the figures (docs/figures.py: matplotlib, Agg);
#  7. builds the documentation with warnings as errors into build/docs/html,
#     then runs the guide's doctests.
#
# PWPOLY_PYTHON (default python) is the interpreter to build and check for.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
# shellcheck source=ci/lib/common.sh
. "$here/lib/common.sh"

install=1
case ${1:-} in
  --no-install) install=0 ;;
  "") ;;
  *) ci_die "usage: bash ci/docs.sh [--no-install]" ;;
esac

python=$("${PWPOLY_PYTHON:-python}" -c 'import sys; print(sys.executable)')
out=$repo/build/docs
venv=$out/venv

if [ "$install" = 1 ]; then
  ci_stage_begin "tools (MPICH, docs/requirements.txt)"
  if ! command -v mpicc >/dev/null || ! command -v mpiexec >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends mpich libmpich-dev >/dev/null
  fi
  "$python" -m pip install -q --root-user-action=ignore -r "$repo/docs/requirements.txt"
  ci_stage_end
fi
ci_need_cmd mpiexec

ci_stage_begin "install pwpoly into build/docs/venv"
# The venv gets exactly what a user's pip install gets (module, stubs and any
# Python package of the distribution); it also sees the system's packages
# (numpy, scipy, mpi4py and the tools above).
"$python" -m venv --system-site-packages "$venv"
py=$venv/bin/python
"$py" -m pip install -q --root-user-action=ignore --no-deps --no-build-isolation \
  -C build-dir="$out/wheel" "$repo" > "$out/install.log" 2>&1 \
  || { tail -50 "$out/install.log" >&2; ci_die "installing pwpoly into $venv failed"; }
site=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
"$py" -c 'import pwpoly, sys; assert pwpoly.__file__.startswith(sys.argv[1]), pwpoly.__file__' "$site"
ci_stage_end

cd "$repo"
export MYPY_CACHE_DIR=$out/mypy-cache
# Every module the distribution installs with type information.
stub_modules=(pwpoly pwpoly_arrays)
ci_stage_begin "stubtest"
"$py" -m mypy.stubtest "${stub_modules[@]}"
ci_stage_end

ci_stage_begin "mypy --strict examples/"
"$py" -m mypy --strict examples/
ci_stage_end

ci_stage_begin "examples (fast), MPI under mpiexec -n 2"
mkdir -p docs/figures
# Every example has a --fast mode, except the README's quick start.
for path in examples/*.py; do
  example=$(basename "$path" .py)
  case $example in quickstart | mpi_time_slabs) continue ;; esac
  "$py" "$path" --fast > "docs/figures/$example.txt" \
    || { cat "docs/figures/$example.txt" >&2; ci_die "$path failed"; }
done
mpi_flags=()
if mpiexec --version 2>&1 | grep -q "Open MPI"; then
  mpi_flags=(--allow-run-as-root --oversubscribe)
fi
timeout 300 mpiexec "${mpi_flags[@]}" -n 2 "$py" examples/mpi_time_slabs.py --fast > docs/figures/mpi_time_slabs.txt \
  || { cat docs/figures/mpi_time_slabs.txt >&2; ci_die "the MPI example failed"; }
cat docs/figures/mpi_time_slabs.txt >&2
ci_stage_end

ci_stage_begin "figures"
MPLBACKEND=Agg "$py" docs/figures.py
ci_stage_end

ci_stage_begin "sphinx html (-W) and doctests"
"$py" -m sphinx -W --keep-going -q -b html docs "$out/html"
"$py" -m sphinx -W --keep-going -q -b doctest docs "$out/doctest"
ci_stage_end

ci_stage_summary
ci_log "documentation: $out/html/index.html"
