# Numerics fingerprints (ci/lib/numerics_fingerprint.py): every interpreter,
# architecture and build must give the same bits for the same calls
# (sourced; needs ci/lib/common.sh).
#
#   fingerprint_record LABEL FILE   copies FILE to the shared folder as LABEL
#   fingerprint_compare FILE...     compares the files (LABEL=PATH or PATH);
#                                   fails naming the first differing calls
#
# The shared folder is $PWPOLY_FINGERPRINT_DIR (default <repo>/build/fingerprints):
# .ci/run compares everything its lanes recorded there at the end.

fingerprint_dir() {
  printf '%s\n' "${PWPOLY_FINGERPRINT_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/fingerprints}"
}

fingerprint_record() {
  local dir
  dir=$(fingerprint_dir)
  mkdir -p "$dir"
  cp "$2" "$dir/$1.txt"
}

fingerprint_compare() {
  local first=$1 other status=0 first_label first_file label file
  [ $# -ge 2 ] || { ci_log "fingerprints: only ${1:-no file}, nothing to compare"; return 0; }
  first_label=${first%%=*} first_file=${first#*=}
  for other in "${@:2}"; do
    label=${other%%=*} file=${other#*=}
    if cmp -s "$first_file" "$file"; then
      ci_log "numerics identical: $first_label and $label ($(wc -l < "$first_file") calls)"
    else
      ci_log "numerics differ between $first_label and $label, first differing calls:"
      awk 'NR == FNR { a[FNR] = $0; next } a[FNR] != $0 { split($0, x, ": "); print "  " x[1]; if (++n == 5) exit }' \
        "$first_file" "$file" >&2
      status=1
    fi
  done
  return "$status"
}
