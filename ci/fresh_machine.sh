#!/usr/bin/env bash
# Runs the README's quick-start and test commands, verbatim, on a fresh
# machine: a minimal Debian root of this machine's architecture that holds
# only the prerequisites the README names (Python with venv and headers, g++,
# CMake), entered with chroot. Then checks the packaging: `python -m build`
# makes an sdist and a wheel, and the sdist alone, installed with pip in a
# clean venv, runs the quick-start example.
#
#   bash ci/fresh_machine.sh [--keep]
#
#   1. root: Debian bookworm (the release of the project's machines; its
#      python3 is 3.11, the oldest Python the package supports), debootstrap
#      --variant=minbase with python3, python3-dev, python3-venv, g++ and cmake
#      and their dependencies only (no recommends: no make, no pip outside the
#      venv, no GoogleTest, no numpy). Cached outside the checkout, keyed on
#      the package versions apt resolves (as the 3.14 sysroots are), and copied
#      afresh for every run, so nothing one run installs is seen by the next.
#   2. source: `git archive HEAD` of this checkout (uncommitted changes are not
#      part of the check), unpacked once per command into /root/pwpoly and
#      /root/pwpoly-tests, so that each command starts from a clean clone.
#   3. commands: the two ```sh blocks of README.md's "Quick start" section,
#      each run as written in a new shell (bash -c) with a clean environment.
#      Before the test command, run_tests.sh run by the user nobody (who
#      cannot install packages) must stop and name what it misses.
#   4. packaging: in /root/pwpoly-build, `python -m build` (build from PyPI, in
#      its own venv) must write one sdist and one wheel; pip installs the sdist
#      into a new venv, and examples/quickstart.py from the unpacked sdist runs
#      against that install.
# Prints a summary and fails if any step fails. --keep leaves the root (and
# the logs) in the work folder for inspection.
#
# Needs root (debootstrap, chroot, mount), network access to the Debian
# archive and to PyPI, and Debian's debootstrap.
# Environment:
#   PWPOLY_FRESH_CACHE     root cache (default: fresh/ in ci/lib/sysroot.sh's cache)
#   PWPOLY_FRESH_WORKDIR   parent of the work folder (default /var/tmp)
#   PWPOLY_DEBIAN_MIRROR   Debian archive URI (default: this machine's)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$here/lib/debian.sh"
. "$here/lib/fresh_root.sh"

keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1; shift ;;
    -h | --help) ci_help; exit 0 ;;
    *) ci_die "unknown argument '$1' (see --help)" ;;
  esac
done
[ "$(id -u)" -eq 0 ] || ci_die "needs root (debootstrap, chroot, mount)"
ci_need_cmd debootstrap chroot mount umount git tar flock dpkg

arch=$(dpkg --print-architecture)

# Prints the body of the N-th ```sh block of README.md's "## Quick start"
# section (N = 1, 2).
readme_command() {
  awk -v want="$2" '
    /^## / { in_section = ($0 == "## Quick start") }
    in_section && /^```/ {
      if (inside) { inside = 0; next }
      if ($0 == "```sh") { n++; inside = (n == want); next }
    }
    inside { print }
  ' "$1"
}

cleanup() {
  local status=$?
  [ -n "${work:-}" ] || return "$status"
  if ! fresh_root_unmount; then
    ci_log "WARNING: not removing $work"
  elif [ "$keep" -eq 1 ]; then
    ci_log "kept the root and the logs in $work"
  elif [ "$status" -eq 0 ] && [ "$failures" -eq 0 ]; then
    rm -rf --one-file-system "$work"
  else
    rm -rf --one-file-system "$work/root" "$work/source.tar"
    ci_log "kept the logs in $work"
  fi
  return "$status"
}

# Without root, run_tests.sh cannot install what it misses: it must stop and
# name it (checked as the user nobody, before the test command installs it).
non_root_run_tests() {
  local out status=0
  mkdir "$work/root/tmp/pwpoly-user"
  tar -xf "$work/source.tar" -C "$work/root/tmp/pwpoly-user"
  chown -R 65534:65534 "$work/root/tmp/pwpoly-user"
  out=$(env -i HOME=/tmp PATH="$FRESH_PATH" TERM=dumb chroot --userspec=65534:65534 "$work/root" \
    /bin/bash -c 'cd /tmp/pwpoly-user && bash run_tests.sh' 2>&1) || status=$?
  printf '%s\n(exit %s)\n' "$out" "$status"
  [ "$status" -ne 0 ] && grep -q '^run_tests.sh: missing libgtest-dev make ' <<< "$out"
}

results=()
failures=0
# check NAME LOG COMMAND...: runs COMMAND with its output shown and saved in
# LOG, and records the outcome and duration.
check() {
  local name=$1 log=$2 start secs status=0
  shift 2
  ci_stage_begin "$name"
  start=$(date +%s)
  "$@" 2>&1 | tee "$log" || status=$?
  secs=$(( $(date +%s) - start ))
  ci_stage_end
  if [ "$status" -eq 0 ]; then
    results+=("$(printf 'PASS  %5ss  %s' "$secs" "$name")")
  else
    results+=("$(printf 'FAIL  %5ss  %s (exit %s; log %s)' "$secs" "$name" "$status" "$log")")
    failures=$((failures + 1))
  fi
}

# --- the root ---------------------------------------------------------------
ci_stage_begin "fresh root: cached $FRESH_SUITE/$arch"
fresh_root_prepare "" "$FRESH_PACKAGES"
ci_stage_end

ci_stage_begin "fresh root: copy and enter"
fresh_root_workdir
work=$FRESH_WORK
trap cleanup EXIT
fresh_root_enter

# The source, as a clone of HEAD would have it; outside a git checkout, the
# tree without what .gitignore names.
if git -C "$repo" rev-parse --verify -q HEAD > /dev/null 2>&1; then
  if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]; then
    ci_log "WARNING: uncommitted changes in $repo are not part of this check (it uses HEAD)"
  fi
  source_name="commit $(git -C "$repo" log -1 --format='%h')"
  ci_log "source: $(git -C "$repo" log -1 --format='%h %s')"
  git -C "$repo" archive --format=tar HEAD > "$work/source.tar"
else
  source_name="the tree $repo (not a git checkout)"
  ci_log "source: $source_name"
  excludes=()
  while IFS= read -r pattern; do
    pattern=${pattern%/}
    case $pattern in '' | '#'*) ;; *) excludes+=("--exclude=$pattern") ;; esac
  done < "$repo/.gitignore"
  tar -C "$repo" --exclude-vcs "${excludes[@]}" -cf "$work/source.tar" .
fi
for dir in pwpoly pwpoly-tests pwpoly-build; do
  mkdir "$work/root/root/$dir"
  tar -xf "$work/source.tar" -C "$work/root/root/$dir"
done

quick_start=$(readme_command "$work/root/root/pwpoly/README.md" 1)
test_command=$(readme_command "$work/root/root/pwpoly/README.md" 2)
if [ -z "$quick_start" ] || [ -z "$test_command" ]; then
  ci_die "README.md's \"## Quick start\" section must hold two \`\`\`sh blocks (quick start, tests)"
fi

# The root must be as bare as claimed; a root without its compiler would not
# prove much either.
in_root 'test ! -e /usr/src/googletest && ! python3 -c "import numpy" 2>/dev/null && ! python3 -m pip --version >/dev/null 2>&1 && ! command -v make >/dev/null && command -v g++ cmake >/dev/null' \
  || ci_die "the fresh root is not what it should be (GoogleTest, numpy, pip or make found, or g++/cmake missing)"
ci_stage_end

# --- the README's commands, then the packaging -------------------------------
printf '\nquick start:\n  %s\ntest command:\n  %s\n\n' "$quick_start" "$test_command"
check "README quick start" "$work/quick-start.log" in_root "cd ~/pwpoly && $quick_start"
check "run_tests.sh without root: names what it misses" "$work/non-root.log" non_root_run_tests
check "README test command" "$work/test-command.log" in_root "cd ~/pwpoly-tests && $test_command"

# The quoted scripts below run in the root's shell, which expands them.
# shellcheck disable=SC2016
check "python -m build: one sdist and one wheel" "$work/build.log" in_root '
  set -e
  python3 -m venv /root/build-venv
  /root/build-venv/bin/python -m pip install -q build
  cd ~/pwpoly-build
  /root/build-venv/bin/python -m build --outdir /root/dist
  ls -l /root/dist
  test "$(ls /root/dist | wc -l)" -eq 2 && ls /root/dist/pwpoly-*.tar.gz && ls /root/dist/pwpoly-*.whl'
# shellcheck disable=SC2016
check "sdist alone, clean venv: quick-start example" "$work/sdist.log" in_root '
  set -e
  sdist=$(ls /root/dist/pwpoly-*.tar.gz)
  python3 -m venv /root/sdist-venv
  /root/sdist-venv/bin/python -m pip install "$sdist"
  mkdir /root/sdist && tar -xzf "$sdist" -C /root/sdist
  cd /root/sdist/*/examples
  /root/sdist-venv/bin/python quickstart.py'

trap - EXIT
ci_stage_begin "fresh root: leave and remove"
cleanup || true
ci_stage_end
ci_stage_summary
printf '\nfresh machine: Debian %s/%s root (%s), source: %s\n' \
  "$FRESH_SUITE" "$arch" "$FRESH_PACKAGES" "$source_name"
printf '  %s\n' "${results[@]}"
[ "$failures" -eq 0 ] || ci_die "$failures of ${#results[@]} fresh-machine checks failed"
printf 'fresh machine: all %s checks passed\n' "${#results[@]}"
