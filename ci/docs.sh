#!/usr/bin/env bash
# Type stubs, examples and documentation:
#
#   bash ci/docs.sh [--no-install]
#
#  1. tools: Debian's MPICH (if no MPI compiler is there) and libjs-mathjax
#     (MathJax 2.7, which the site serves itself), plus what building pwpoly
#     needs from the system (python3-venv, python3-dev, g++) where it is
#     missing, with apt-get as root; then the venv build/docs/venv, made from
#     $PWPOLY_PYTHON (default python3; in an activated venv, that venv's base
#     interpreter) without the system's site packages, with the tools pinned in
#     docs/requirements.txt. The venv is reused while its interpreter stays
#     the same. --no-install skips the apt-get and pip steps (the venv must
#     then be there);
#  2. pip-installs pwpoly, stubs included, into that venv (the build is in
#     build/docs-wheel, warnings as errors, so that it is the test lanes' compile);
#  3. python -m mypy.stubtest pwpoly: the stubs against the compiled module;
#     ci/lib/check_api_docs.py: every public name of both modules documents
#     its parameters, returns and raises, with one-sentence summaries;
#  4. mypy --strict on examples/, against the installed stubs;
#  5. runs the examples in their fast mode, the MPI one under mpiexec -n 2,
#     keeping their output for the docs (docs/figures/*.txt);
#  6. draws the figures (docs/figures.py: matplotlib, Agg);
#  7. builds the documentation with warnings as errors into build/docs/html,
#     checks that no page loads a script or a stylesheet from the network
#     (ci/lib/offline_html_check.py: the formulas render offline), then runs
#     the guide's doctests.
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

base=${PWPOLY_PYTHON:-python3}
command -v "$base" > /dev/null || ci_die "$base not found (set PWPOLY_PYTHON to a Python >= 3.11)"
out=$repo/build/docs
venv=$out/venv
py=$venv/bin/python
mathjax=${PWPOLY_MATHJAX_DIR:-/usr/share/javascript/mathjax}
export PIP_DISABLE_PIP_VERSION_CHECK=1

# What building and documenting pwpoly needs from the system, as Debian
# packages.
missing_packages() {
  local missing=()
  { command -v mpicc && command -v mpiexec; } > /dev/null || missing+=(mpich libmpich-dev)
  [ -n "${PWPOLY_MATHJAX_DIR:-}" ] || [ -f "$mathjax/MathJax.js" ] || missing+=(libjs-mathjax)
  # Debian splits venv and the headers off its own python3.
  if "$base" -c 'import sys; sys.exit(not sys.executable.startswith("/usr/bin/"))' 2> /dev/null; then
    "$base" -c 'import ensurepip, venv' 2> /dev/null || missing+=(python3-venv)
    "$base" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
      || missing+=(python3-dev)
  fi
  command -v g++ > /dev/null || missing+=(g++)
  [ ${#missing[@]} -eq 0 ] || printf '%s\n' "${missing[@]}"
}

# The venv is made from the base interpreter of $base (the same when $base is
# itself in a venv); a file in it records which, so that another interpreter
# gets a new venv.
base_id=$("$base" -c 'import os, sys; print(os.path.realpath(getattr(sys, "_base_executable", sys.executable)), sys.version)')
if [ "$install" = 1 ]; then
  ci_stage_begin "tools (Debian packages, build/docs/venv with docs/requirements.txt)"
  mapfile -t packages < <(missing_packages)
  if [ ${#packages[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get > /dev/null; then
      ci_die "missing ${packages[*]}; install them (Debian: apt-get install ${packages[*]}) or run as root"
    fi
    ci_log "installing ${packages[*]} (apt-get)"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${packages[@]}" > /dev/null
  fi
  mkdir -p "$out"
  if [ ! -x "$py" ] || [ "$(cat "$venv/.base" 2> /dev/null)" != "$base_id" ]; then
    rm -rf "$venv"
    "$base" -m venv "$venv"
    printf '%s\n' "$base_id" > "$venv/.base"
  fi
  "$py" -m pip install -q -r "$repo/docs/requirements.txt" > "$out/requirements.log" 2>&1 \
    || { tail -50 "$out/requirements.log" >&2; ci_die "installing docs/requirements.txt into $venv failed"; }
  ci_stage_end
else
  [ -x "$py" ] || ci_die "$venv does not exist (run without --no-install once)"
fi
ci_need_cmd mpiexec

ci_stage_begin "install pwpoly into build/docs/venv"
# The venv gets exactly what a user's pip install gets (module, stubs and any
# Python package of the distribution).
"$py" -m pip install -q --root-user-action=ignore --no-deps --no-build-isolation \
  -C build-dir="$repo/build/docs-wheel" -C cmake.define.PWPOLY_WERROR=ON "$repo" > "$out/install.log" 2>&1 \
  || { tail -50 "$out/install.log" >&2; ci_die "installing pwpoly into $venv failed"; }
site=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
"$py" -c 'import pwpoly, sys; assert pwpoly.__file__.startswith(sys.argv[1]), pwpoly.__file__' "$site"
ci_stage_end

cd "$repo"
export MYPY_CACHE_DIR=$out/mypy-cache
# Every module the distribution installs with type information.
stub_modules=(pwpoly pwpoly_arrays)
ci_stage_begin "stubtest, API documentation complete"
"$py" -m mypy.stubtest "${stub_modules[@]}"
"$py" "$here/lib/check_api_docs.py"
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
PWPOLY_MATHJAX_DIR=$mathjax "$py" -m sphinx -W --keep-going -q -b html docs "$out/html"
"$py" "$here/lib/offline_html_check.py" "$out/html"
"$py" -m sphinx -W --keep-going -q -b doctest docs "$out/doctest"
ci_stage_end

ci_stage_summary
ci_log "documentation: $out/html/index.html"
