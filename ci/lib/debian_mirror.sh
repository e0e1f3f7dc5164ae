# The Debian archive that this machine's own apt sources use (sourced).
#
# debian_mirror prints the URI of the first enabled `deb` source whose suite is
# the host's release code name (so neither -updates nor -security, and no
# third-party repository), read from the one-line .list format and from the
# deb822 .sources format. PWPOLY_DEBIAN_MIRROR overrides it.

debian_mirror() {
  if [ -n "${PWPOLY_DEBIAN_MIRROR:-}" ]; then
    printf '%s\n' "${PWPOLY_DEBIAN_MIRROR%/}"
    return 0
  fi
  local codename etc_dir main_list parts_dir files=() uri
  codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
  eval "$(apt-config shell etc_dir Dir::Etc/d main_list Dir::Etc::sourcelist/f parts_dir Dir::Etc::sourceparts/d)"
  etc_dir=${etc_dir:-/etc/apt/}
  main_list=${main_list:-${etc_dir}sources.list}
  parts_dir=${parts_dir:-${etc_dir}sources.list.d/}
  [ -f "$main_list" ] && files+=("$main_list")
  files+=("$parts_dir"*.list "$parts_dir"*.sources)
  uri=$(
    for f in "${files[@]}"; do
      [ -f "$f" ] || continue
      case $f in
        *.sources) awk -v want="$codename" -f /dev/fd/3 "$f" 3<<'AWK'
# deb822 stanzas: print the first URI of each enabled deb stanza that carries the
# wanted suite and the main component.
function flush() {
  if (types ~ /(^| )deb( |$)/ && enabled != "no" && suites ~ ("(^| )" want "( |$)") \
      && comps ~ /(^| )main( |$)/ && uris != "") { split(uris, u, " "); print u[1] }
  types = uris = suites = comps = ""; enabled = "yes"
}
BEGIN { enabled = "yes" }
/^[ \t]*#/ { next }
/^[ \t]*$/ { flush(); next }
/^[A-Za-z-]+:/ {
  key = tolower($1); sub(/:$/, "", key); $1 = ""; val = $0; sub(/^[ \t]+/, "", val)
  if (key == "types") types = val; else if (key == "uris") uris = val
  else if (key == "suites") suites = val; else if (key == "components") comps = val
  else if (key == "enabled") enabled = tolower(val)
}
END { flush() }
AWK
        ;;
        *) awk -v want="$codename" '
# One-line format: deb [options] URI SUITE COMPONENT...
$1 == "deb" {
  i = 2
  if ($i ~ /^\[/) { while ($i !~ /\]$/ && i < NF) i++; i++ }
  uri = $i; suite = $(i + 1); main = 0
  for (j = i + 2; j <= NF; j++) if ($j == "main") main = 1
  if (suite == want && main) print uri
}' "$f"
        ;;
      esac
    done | head -n 1
  )
  [ -n "$uri" ] || return 1
  printf '%s\n' "${uri%/}"
}
