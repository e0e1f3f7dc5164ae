# Debian source packages through a private apt configuration (sourced).
#
# debian_source_download PACKAGE SUITE STATE_DIR DEST [APT_SOURCE_OPTION...]
#   downloads the source package PACKAGE of the Debian suite SUITE into DEST,
#   e.g. with --dsc-only for the .dsc alone. The apt configuration, its
#   deb-src index and the log live in STATE_DIR; the archive is the one of this
#   machine's apt sources (ci/lib/debian_mirror.sh). The host's own apt setup
#   is not touched. apt checks the files against the index, whose signature it
#   checks with Debian's archive keyring.
#   Returns 0 when downloaded, 2 when the archive refused a file (an HTTP
#   4xx answer), 1 for anything else (no mirror, no network, unknown package).
#   Sets DEBIAN_SOURCE_VERSION to the version that apt chose (when known).

debian_source_download() {
  local pkg=$1 suite=$2 state=$3 dest=$4
  shift 4
  local mirror
  DEBIAN_SOURCE_VERSION=
  mirror=$(debian_mirror) || { ci_log "no Debian archive found in this machine's apt sources (set PWPOLY_DEBIAN_MIRROR)"; return 1; }
  mkdir -p "$state/etc/sources.list.d" "$state/etc/preferences.d" "$state/lists/partial" \
    "$state/cache/archives/partial" "$state/dpkg" "$dest"
  : > "$state/dpkg/status"
  printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
    "$mirror" "$suite" > "$state/etc/sources.list"
  local opts=(-o "Dir::Etc=$state/etc" -o "Dir::Etc::sourcelist=$state/etc/sources.list"
    -o "Dir::Etc::sourceparts=$state/etc/sources.list.d" -o "Dir::Etc::preferencesparts=$state/etc/preferences.d"
    -o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/dpkg/status"
    -o "Dir::Cache=$state/cache" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  apt-get -qq "${opts[@]}" update > "$state/update.log" 2>&1 \
    || { ci_log "cannot read the deb-src index of $suite (log: $state/update.log)"; return 1; }
  DEBIAN_SOURCE_VERSION=$(apt-cache "${opts[@]}" showsrc "$pkg" 2>/dev/null \
    | awk -v p="$pkg" '$1 == "Package:" { hit = ($2 == p) } hit && $1 == "Version:" { print $2; exit }')
  [ -n "$DEBIAN_SOURCE_VERSION" ] || { ci_log "$suite has no source package $pkg"; return 1; }
  if (cd "$dest" && apt-get -q "${opts[@]}" source --download-only "$@" "$pkg=$DEBIAN_SOURCE_VERSION") \
      > "$state/source.log" 2>&1; then
    return 0
  fi
  if grep -Eq '^E: Failed to fetch .* 4[0-9][0-9] ' "$state/source.log"; then
    return 2
  fi
  ci_log "downloading the source package $pkg failed (log: $state/source.log)"
  return 1
}
