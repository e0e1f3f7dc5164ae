#!/usr/bin/env bash
# Prepares (or finds in the cache) the Debian roots that the CI scripts use,
# so that .ci/run can make them in the background while its first builds run.
#
#   bash ci/prepare_roots.sh ROOT...
#
# ROOT is one of
#   sysroot:ARCH:PYVER   a sysroot of ci/lib/sysroot.sh (ARCH i386 or amd64,
#                        PYVER 3.14 or 3.15)
#   fresh                the root of ci/fresh_machine.sh (compiler, CMake)
#   runtime              the root of ci/wheels.sh (Python and venv only)
# Two roots are prepared at a time; each has a lock of its own, so a CI script
# that needs a root still being prepared waits for it and then reuses it.
# Prints one line per root with its time; fails when one of them fails (its
# log is shown).
#
# Needs root and Debian's debootstrap (and qemu-user for i386 sysroots).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/lib/common.sh"
. "$here/lib/debian_mirror.sh"
. "$here/lib/sysroot.sh"
. "$here/lib/fresh_root.sh"

case ${1:-} in
  -h | --help | "") ci_help; exit 0 ;;
esac
[ "$(id -u)" -eq 0 ] || ci_die "needs root (debootstrap)"

prepare() {
  case $1 in
    sysroot:*:*)
      local spec=${1#sysroot:}
      sysroot_prepare "${spec%%:*}" "${spec#*:}" ;;
    fresh) fresh_root_prepare "" "$FRESH_PACKAGES" ;;
    runtime) fresh_root_prepare runtime "$FRESH_RUNTIME_PACKAGES" ;;
    *) ci_die "unknown root '$1' (see --help)" ;;
  esac
}

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
declare -A pids=()
failed=()
finish() { # NAME: waits for it and reports
  local name=$1 status=0 log
  log="$logs/${name//[:\/]/_}"
  wait "${pids[$name]}" || status=$?
  unset "pids[$name]"
  if [ "$status" -eq 0 ]; then
    ci_log "root $name ready ($(tail -n 1 "$log.time")s)"
  else
    cat "$log" >&2
    failed+=("$name")
  fi
}
for name in "$@"; do
  while [ ${#pids[@]} -ge 2 ]; do
    wait -n || true
    for running in "${!pids[@]}"; do
      kill -0 "${pids[$running]}" 2> /dev/null || finish "$running"
    done
  done
  log="$logs/${name//[:\/]/_}"
  (
    start=$(date +%s)
    prepare "$name"
    echo $(($(date +%s) - start)) > "$log.time"
  ) > "$log" 2>&1 &
  pids[$name]=$!
done
for name in "${!pids[@]}"; do finish "$name"; done
[ ${#failed[@]} -eq 0 ] || ci_die "preparing ${failed[*]} failed"
