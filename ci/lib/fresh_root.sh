# Minimal Debian roots that stand in for a fresh machine, entered with chroot
# (sourced; needs ci/lib/common.sh, ci/lib/debian_mirror.sh and
# ci/lib/sysroot.sh).
#
#   fresh_root_prepare NAME PACKAGES   cached root of Debian $FRESH_SUITE for
#                                      this machine's architecture: debootstrap
#                                      --variant=minbase with PACKAGES (comma-
#                                      separated) and their dependencies only;
#                                      sets FRESH_CACHED_ROOT
#   fresh_root_workdir                 makes the work folder FRESH_WORK
#   fresh_root_enter                   copies the cached root to FRESH_WORK/root
#                                      and mounts /proc and /dev there
#   in_root COMMAND                    runs a shell command line in the root
#   fresh_root_unmount                 undoes the mounts (fails if some remain)
#
# Roots are cached in $PWPOLY_FRESH_CACHE (default: fresh/ in ci/lib/sysroot.sh's
# cache), one folder per NAME and key, keyed as the 3.14 sysroots are (a hash of
# the recipe and of the package versions apt resolves), and copied afresh for
# every run, so nothing one run installs is seen by the next. NAME "" is the root
# of ci/fresh_machine.sh (folders SUITE-ARCH-KEY); other names get folders
# SUITE-NAME-ARCH-KEY, which the pruning of one never touches in another.
#
# Needs root (debootstrap, chroot, mount).

FRESH_SUITE=bookworm
# The packages of the two roots the CI scripts use: ci/fresh_machine.sh's (the
# README's prerequisites for a source build) and ci/wheels.sh's "runtime" root
# (Python with venv, no compiler).
# shellcheck disable=SC2034 # read by the scripts that source this file
FRESH_PACKAGES="python3,python3-dev,python3-venv,g++,cmake"
# shellcheck disable=SC2034
FRESH_RUNTIME_PACKAGES="python3,python3-venv"
# Bump when the recipe below changes in a way that old roots must not be reused.
FRESH_RECIPE=1
# Debian's PATH for root; everything else of the caller's environment stays out.
FRESH_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

fresh_root_cache_dir() { printf '%s\n' "${PWPOLY_FRESH_CACHE:-$(sysroot_cache_dir)/fresh}"; }

# The FRESH_* variables it sets are read by the scripts that source this file.
# shellcheck disable=SC2034
fresh_root_prepare() {
  local name=$1 packages=$2 arch cache prefix recipe mirror key top
  ci_need_cmd debootstrap chroot dpkg flock
  arch=$(dpkg --print-architecture)
  cache=$(fresh_root_cache_dir)
  if [ -n "$name" ]; then
    prefix="$cache/$FRESH_SUITE-$name-$arch"
    recipe="fresh-$name-$FRESH_RECIPE"
  else
    prefix="$cache/$FRESH_SUITE-$arch"
    recipe="fresh-$FRESH_RECIPE"
  fi
  mkdir -p "$cache"
  exec 8> "$cache/.lock-$arch-${name:-fresh}"
  flock 8
  mirror=$(debian_mirror) || ci_die "no Debian archive found in this machine's apt sources (set PWPOLY_DEBIAN_MIRROR)"
  # Keyed as the 3.14 sysroots are: a hash of the recipe and of the versions
  # apt resolves for the package list (from a private index in $cache).
  if key=$(SYSROOT_SUITE=$FRESH_SUITE SYSROOT_PACKAGES=$packages SYSROOT_RECIPE=$recipe \
      _sysroot_current_key "$arch" "$mirror" "$cache"); then
    top="$prefix-$key"
    if [ -f "$top/.complete" ]; then
      ci_log "reusing the cached root $top"
    else
      rm -rf --one-file-system "$top"
      mkdir -p "$top"
      ci_log "debootstrap of $FRESH_SUITE/$arch (minbase + $packages) from $mirror"
      debootstrap --variant=minbase --include="$packages" "$FRESH_SUITE" "$top/root" "$mirror" \
        > "$top/debootstrap.log" 2>&1 \
        || { tail -n 30 "$top/debootstrap.log" >&2; ci_die "debootstrap failed (log: $top/debootstrap.log)"; }
      rm -f "$top"/root/var/cache/apt/archives/*.deb
      # shellcheck disable=SC2016 # dpkg-query's own ${field} syntax, not the shell's
      chroot "$top/root" dpkg-query -W -f '${Package} ${Version}\n' > "$top/packages.txt"
      touch "$top/.complete"
      cache_prune_others "$prefix" "$top"
    fi
  else
    top=$(cache_offline_fallback "$prefix" root "$FRESH_SUITE/$arch")
  fi
  exec 8>&-
  FRESH_CACHED_ROOT="$top/root"
  ci_log "root: $(wc -l < "$top/packages.txt") packages; $(grep -E '^(python3\.11|g\+\+-12|cmake|libc6) ' "$top/packages.txt" | awk '{print $1 "=" $2}' | paste -sd' ')"
}

# Makes the work folder FRESH_WORK (under $PWPOLY_FRESH_WORKDIR, default
# /var/tmp); the caller sets its cleanup trap before fresh_root_enter.
fresh_root_workdir() {
  mkdir -p "${PWPOLY_FRESH_WORKDIR:-/var/tmp}"
  FRESH_WORK=$(mktemp -d "${PWPOLY_FRESH_WORKDIR:-/var/tmp}/pwpoly-fresh.XXXXXX")
}

fresh_root_enter() {
  cp -a "$FRESH_CACHED_ROOT" "$FRESH_WORK/root"
  cp -L /etc/resolv.conf "$FRESH_WORK/root/etc/resolv.conf"
  cp -L /etc/hosts "$FRESH_WORK/root/etc/hosts"
  pass_network_settings
  mount -t proc proc "$FRESH_WORK/root/proc"
  mount --rbind /dev "$FRESH_WORK/root/dev"
  mount --make-rslave "$FRESH_WORK/root/dev"
}

# Runs a shell command line in the root as a fresh root login would, with a
# clean environment: only the network settings of the caller (see
# pass_network_settings) come along.
in_root() {
  env -i HOME=/root PATH="$FRESH_PATH" TERM=dumb "${network_env[@]}" chroot "$FRESH_WORK/root" /bin/bash -c "$1"
}

# A fresh machine on this network would be set up to reach it as this one is:
# the caller's proxy variables are passed on, and so are the variables that
# name a CA bundle (for a TLS-inspecting proxy), with the bundle copied to the
# same path in the root. Nothing else of pip's or apt's configuration is.
network_env=()
pass_network_settings() {
  local var file
  for var in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
    [ -n "${!var:-}" ] && network_env+=("$var=${!var}")
  done
  # pip's bundle may also be named only in this machine's /etc/pip.conf.
  local pip_conf_cert=""
  [ -f /etc/pip.conf ] && pip_conf_cert=$(awk -F ' *= *' '$1 == "cert" { print $2 }' /etc/pip.conf | tail -n 1)
  for var in SSL_CERT_FILE REQUESTS_CA_BUNDLE PIP_CERT; do
    file=${!var:-}
    [ "$var" = PIP_CERT ] && [ -z "$file" ] && file=$pip_conf_cert
    [ -f "$file" ] || continue
    mkdir -p "$FRESH_WORK/root$(dirname "$file")"
    cp -L "$file" "$FRESH_WORK/root$file"
    network_env+=("$var=$file")
  done
  [ ${#network_env[@]} -eq 0 ] || ci_log "network settings passed to the root: ${network_env[*]%%=*}"
}

mounts_under() { awk -v p="$1/" 'index($5 "/", p) == 1 { print $5 }' /proc/self/mountinfo; }

fresh_root_unmount() {
  if [ -n "$(mounts_under "$FRESH_WORK")" ]; then
    umount -R "$FRESH_WORK/root/dev" 2>/dev/null || umount -R -l "$FRESH_WORK/root/dev" 2>/dev/null || true
    umount "$FRESH_WORK/root/proc" 2>/dev/null || umount -l "$FRESH_WORK/root/proc" 2>/dev/null || true
  fi
  if [ -n "$(mounts_under "$FRESH_WORK")" ]; then
    ci_log "WARNING: still mounted under $FRESH_WORK: $(mounts_under "$FRESH_WORK" | paste -sd' ')"
    return 1
  fi
}
