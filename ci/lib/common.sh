# Logging, failure and stage timing shared by the ci/ scripts (sourced, not run).

ci_log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
ci_die() { ci_log "ERROR: $*"; exit 1; }

# Stage timing: `ci_stage_begin NAME` ... `ci_stage_end`; the durations are
# collected in CI_STAGE_TIMES and printed by ci_stage_summary.
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
