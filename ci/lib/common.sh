# Logging, failure and stage timing shared by the ci/ scripts (sourced, not run).

ci_log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
ci_die() { ci_log "ERROR: $*"; exit 1; }

# Stage timing: `ci_stage_begin NAME` ... `ci_stage_end`; the durations are
# collected in CI_STAGE_TIMES and printed by ci_stage_summary. When
# CI_STAGE_LOG names a file (.ci/run sets it), every stage of every script is
# also appended there, with its start time and the name of the .ci/run stage
# it belongs to (CI_STAGE_PARENT), for one table of the whole run.
CI_STAGE_TIMES=()
ci_stage_begin() {
  CI_STAGE_NAME=$1
  CI_STAGE_START=$(date +%s.%N)
  ci_log "=== $CI_STAGE_NAME"
}
ci_stage_end() {
  local secs
  secs=$(awk -v a="$CI_STAGE_START" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  CI_STAGE_TIMES+=("$(printf '%-40s %8ss' "$CI_STAGE_NAME" "$secs")")
  if [ -n "${CI_STAGE_LOG:-}" ]; then
    printf '%s\t%s\t%s\t%s\n' "$CI_STAGE_START" "$secs" "${CI_STAGE_PARENT:-}" "$CI_STAGE_NAME" >> "$CI_STAGE_LOG"
  fi
  ci_log "=== $CI_STAGE_NAME: ${secs}s"
}
ci_stage_summary() {
  local line
  ci_log "stage durations:"
  for line in "${CI_STAGE_TIMES[@]}"; do printf '  %s\n' "$line" >&2; done
}

ci_need_cmd() {
  local c
  for c in "$@"; do
    command -v "$c" >/dev/null 2>&1 || ci_die "'$c' not found (see ci/foreign_pythons.sh --help for the packages it needs)"
  done
}

# ci_ccache: every CMake build of this shell and its children compiles
# through ccache (Debian's), from the one cache folder $PWPOLY_CCACHE_DIR
# (default ~/.cache/pwpoly-ccache); CMake takes the launcher from the
# environment when it configures a build folder, scikit-build-core's included.
# Paths below REPO are hashed relative to it, so that another clone (CI's
# fresh one) hits what an earlier one compiled.
ci_ccache() {
  command -v ccache > /dev/null 2>&1 || ci_die "ccache not found (Debian package ccache)"
  export CCACHE_DIR=${PWPOLY_CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/pwpoly-ccache}
  export CCACHE_BASEDIR=$1 CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-3G}
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
}

# ci_help: prints the calling script's header comment (from line 2 up to
# its `set -euo pipefail`), its usage.
ci_help() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
