# Cached Debian sysroots holding a foreign CPython (sourced).
#
# sysroot_prepare ARCH [PYVER]   (ARCH is a Debian architecture: i386 or amd64;
#                                 PYVER 3.14, the default, or 3.15)
#
# makes sure that the cache holds a sysroot of Debian for ARCH with
# pythonPYVER, its headers, pytest, numpy, scipy and hypothesis, and sets:
#   SYSROOT_PYVER      PYVER
#   SYSROOT_DIR        the unpacked root file system
#   SYSROOT_MULTIARCH  i386-linux-gnu / x86_64-linux-gnu
#   SYSROOT_LIBPATH    the library folders, BLAS and LAPACK included
#   SYSROOT_PYTHON     a launcher that runs the sysroot's pythonPYVER on this
#                      machine (under qemu-i386 for i386); sys.executable of the
#                      interpreter it starts is the launcher itself, so
#                      subprocesses and multiprocessing work too
#   SYSROOT_RUN        a launcher for any other ARCH program (e.g. core_tests)
#   SYSROOT_DEBUG_PYTHON  (amd64, 3.14) the same for python3.14d, the debug build
#
# CPython 3.14 comes from Debian testing, whose default python3 it is (plus,
# on amd64, python3.14-dbg, the interpreter built with Py_DEBUG: the debug lane
# runs there; under qemu it would be far too slow). CPython 3.15 comes from
# Debian unstable (sid), which packages it beside its default 3.14, with numpy
# and scipy built for both.
#
# The sysroot is made without running any of its binaries: debootstrap's first
# stage downloads the packages, and every .deb is unpacked with dpkg-deb -x.
# Package scripts never run, so the BLAS/LAPACK alternatives are not linked and
# their folders go on the library path instead.
#
# Cache: $PWPOLY_SYSROOT_CACHE (default ~/.cache/pwpoly-sysroots, or
# /var/cache/pwpoly-sysroots without a home folder), one folder
# per ARCH, PYVER and key; the key is a hash of the package versions that apt
# resolves for the package list, so a sysroot is reused until Debian moves one
# of them. Only the newest sysroot of each ARCH and PYVER is kept. Sysroots of
# different ARCH or PYVER can be prepared at the same time (one lock each).

# Bump when the recipe below changes in a way that old sysroots must not be reused.
SYSROOT_RECIPE=6
SYSROOT_PYVER=3.14
SYSROOT_SUITE=${PWPOLY_SYSROOT_SUITE:-testing}

# _sysroot_select PYVER: sets SYSROOT_PYVER and SYSROOT_SUITE.
_sysroot_select() {
  SYSROOT_PYVER=$1
  case $1 in
    3.14) SYSROOT_SUITE=${PWPOLY_SYSROOT_SUITE:-testing} ;;
    3.15) SYSROOT_SUITE=${PWPOLY_SYSROOT_SUITE_315:-sid} ;;
    *) ci_die "no sysroot recipe for CPython '$1' (3.14 or 3.15)" ;;
  esac
}

# The packages of ARCH's sysroot for SYSROOT_PYVER.
_sysroot_packages() {
  local common="python3-pytest,python3-numpy,python3-scipy,python3-hypothesis"
  case $SYSROOT_PYVER-$1 in
    3.14-amd64) printf '%s\n' "python3,libpython3-dev,$common,python3.14-dbg" ;;
    3.14-*) printf '%s\n' "python3,libpython3-dev,$common" ;;
    *) printf '%s\n' "python$SYSROOT_PYVER,libpython$SYSROOT_PYVER-dev,$common" ;;
  esac
}

sysroot_cache_dir() {
  if [ -n "${PWPOLY_SYSROOT_CACHE:-}" ]; then
    printf '%s\n' "$PWPOLY_SYSROOT_CACHE"
  elif [ -n "${XDG_CACHE_HOME:-}" ] || [ -n "${HOME:-}" ]; then
    printf '%s\n' "${XDG_CACHE_HOME:-$HOME/.cache}/pwpoly-sysroots"
  else
    printf '%s\n' /var/cache/pwpoly-sysroots
  fi
}

_sysroot_multiarch() {
  case $1 in
    i386) echo i386-linux-gnu ;;
    amd64) echo x86_64-linux-gnu ;;
    *) ci_die "unsupported sysroot architecture '$1'" ;;
  esac
}

# Prints the key of the packages that a sysroot made now would hold, from a
# private apt index of the suite (about 10 MB, a few seconds); fails without
# network.
_sysroot_current_key() {
  local arch=$1 mirror=$2 apt_dir="$3/apt-index-$SYSROOT_SUITE-$1" packages
  # SYSROOT_PACKAGES overrides the list (ci/fresh_machine.sh keys its root so).
  packages=${SYSROOT_PACKAGES:-$(_sysroot_packages "$arch")}
  mkdir -p "$apt_dir/etc/sources.list.d" "$apt_dir/etc/preferences.d" "$apt_dir/lists/partial" \
    "$apt_dir/cache/archives/partial" "$apt_dir/dpkg"
  : > "$apt_dir/dpkg/status"
  printf 'deb [arch=%s signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
    "$arch" "$mirror" "$SYSROOT_SUITE" > "$apt_dir/etc/sources.list"
  local opts=(-o "Dir::Etc=$apt_dir/etc" -o "Dir::Etc::sourcelist=$apt_dir/etc/sources.list"
    -o "Dir::Etc::sourceparts=$apt_dir/etc/sources.list.d" -o "Dir::Etc::preferencesparts=$apt_dir/etc/preferences.d"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::State::status=$apt_dir/dpkg/status"
    -o "Dir::Cache=$apt_dir/cache" -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  apt-get -qq "${opts[@]}" update >&2 || return 1
  local inst
  # shellcheck disable=SC2086 # the package list is split into words on purpose
  inst=$(apt-get -s "${opts[@]}" install --no-install-recommends ${packages//,/ } 2>/dev/null \
    | awk '$1 == "Inst" { print $2, $3 }' | sort) || return 1
  [ -n "$inst" ] || return 1
  printf '%s\n' "$inst" > "$apt_dir/resolved.txt"
  printf 'recipe=%s suite=%s packages=%s\n%s\n' "$SYSROOT_RECIPE" "$SYSROOT_SUITE" "$packages" "$inst" \
    | sha256sum | cut -c1-16
}

_sysroot_write_launchers() {
  local arch=$1 top=$2 root=$3 libpath=$4 py="$2/bin/python$SYSROOT_PYVER" run="$2/bin/run-target"
  mkdir -p "$top/bin"
  case $arch in
    i386)
      local qemu
      qemu=$(command -v qemu-i386) || ci_die "qemu-i386 not found (Debian package qemu-user)"
      cat > "$py" <<EOF
#!/bin/sh
# CPython $SYSROOT_PYVER of the Debian i386 sysroot $root, run under qemu-i386.
PYTHONHOME='$root/usr'; export PYTHONHOME
exec '$qemu' -L '$root' -0 '$py' -E 'LD_LIBRARY_PATH=$libpath' '$root/usr/bin/python$SYSROOT_PYVER' "\$@"
EOF
      cat > "$run" <<EOF
#!/bin/sh
# Runs an i386 program under qemu-i386 with the libraries of the sysroot $root.
exec '$qemu' -L '$root' -E 'LD_LIBRARY_PATH=$libpath' "\$@"
EOF
      ;;
    amd64)
      local loader="$root/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2" variant
      for variant in "" d; do
        [ -z "$variant" ] || [ -x "$root/usr/bin/python$SYSROOT_PYVER$variant" ] || continue
        cat > "$py$variant" <<EOF
#!/bin/sh
# CPython $SYSROOT_PYVER$variant of the Debian amd64 sysroot $root, started through the
# sysroot's own dynamic loader so that its C library is used, not the host's.
PYTHONHOME='$root/usr'; export PYTHONHOME
exec '$loader' --argv0 '$py$variant' --library-path '$libpath' '$root/usr/bin/python$SYSROOT_PYVER$variant' "\$@"
EOF
        chmod +x "$py$variant"
      done
      cat > "$run" <<EOF
#!/bin/sh
# Runs an x86_64 program with the C library of the sysroot $root.
exec '$loader' --library-path '$libpath' "\$@"
EOF
      ;;
  esac
  chmod +x "$py" "$run"
}

# Builds the sysroot of ARCH into TOP (TOP/root), with its launchers.
_sysroot_build() {
  local arch=$1 top=$2 mirror=$3 multiarch root="$2/root"
  multiarch=$(_sysroot_multiarch "$arch")
  rm -rf "$top"
  mkdir -p "$top"
  ci_log "debootstrap (first stage) of $SYSROOT_SUITE/$arch from $mirror"
  debootstrap --foreign --arch="$arch" --variant=minbase --include="$(_sysroot_packages "$arch")" \
    "$SYSROOT_SUITE" "$root" "$mirror" > "$top/debootstrap.log" 2>&1 \
    || { tail -n 20 "$top/debootstrap.log" >&2; ci_die "debootstrap failed (log: $top/debootstrap.log)"; }
  local debs=("$root"/var/cache/apt/archives/*.deb) deb
  ci_log "unpacking ${#debs[@]} packages"
  for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$root" || ci_die "dpkg-deb -x $deb failed"
    # shellcheck disable=SC2016 # dpkg-deb's own ${field} syntax, not the shell's
    dpkg-deb -W --showformat='${Package} ${Version} ${Architecture}\n' "$deb" >> "$top/packages.txt"
  done
  sort -o "$top/packages.txt" "$top/packages.txt"
  rm -f "$root"/var/cache/apt/archives/*.deb

  local lib="$root/usr/lib/$multiarch" libpath
  [ -x "$root/usr/bin/python$SYSROOT_PYVER" ] || ci_die "the sysroot has no python$SYSROOT_PYVER"
  [ -f "$root/usr/include/$multiarch/python$SYSROOT_PYVER/pyconfig.h" ] || ci_die "the sysroot has no Python headers"
  [ -d "$lib/blas" ] || ci_die "the sysroot has no BLAS folder"
  [ -d "$lib/lapack" ] || ci_die "the sysroot has no LAPACK folder"
  libpath="$lib:$lib/blas:$lib/lapack"
  printf '%s\n' "$libpath" > "$top/libpath"
  _sysroot_write_launchers "$arch" "$top" "$root" "$libpath"

  # Package scripts would have byte-compiled every Python file. The root is
  # writable, so the interpreter caches the byte code of what it imports
  # instead; importing what the tests use does that once here (compiling all
  # of it under qemu took minutes of CPU for files no test imports).
  "$top/bin/python$SYSROOT_PYVER" -c 'import numpy, scipy.sparse, pytest, hypothesis, _pytest.pytester' \
    || ci_die "the sysroot's python$SYSROOT_PYVER cannot import numpy, scipy, pytest and hypothesis"
  if [ "$arch-$SYSROOT_PYVER" = amd64-3.14 ]; then
    # Debian's scipy imports a configuration module named after the
    # interpreter's ABI and ships it for the release ABI only; the debug
    # interpreter (ABI "d", which loads release-ABI extensions) gets an alias.
    local config_dir="$root/usr/lib/python3/dist-packages/scipy" release_config
    release_config=$(cd "$config_dir" && ls __config__cpython-"${SYSROOT_PYVER/./}"-*__.py) \
      || ci_die "the sysroot's scipy has no configuration module for CPython $SYSROOT_PYVER"
    printf 'import importlib as _importlib\nglobals().update(vars(_importlib.import_module("scipy.%s")))\n' \
      "${release_config%.py}" > "$config_dir/${release_config/cpython-${SYSROOT_PYVER/./}-/cpython-${SYSROOT_PYVER/./}d-}"
    (cd / && "$top/bin/python${SYSROOT_PYVER}d" -c 'import sys, numpy, scipy.sparse, pytest, hypothesis; assert hasattr(sys, "gettotalrefcount")') \
      || ci_die "the sysroot's python${SYSROOT_PYVER}d is no debug build that imports numpy, scipy, pytest and hypothesis"
  fi
  touch "$top/.complete"
}

# Cached roots are folders PREFIX-KEY holding a .complete marker once built.
# Removes every PREFIX-* but KEEP.
cache_prune_others() {
  local prefix=$1 keep=$2 old
  for old in "$prefix"-*; do
    [ "$old" = "$keep" ] || [ ! -e "$old" ] || { ci_log "removing the outdated $old"; rm -rf --one-file-system "$old"; }
  done
}

# Prints the newest complete PREFIX-* (nothing when there is none).
cache_newest_complete() {
  local top
  # ls sorts by time; the names are the CI scripts' own.
  # shellcheck disable=SC2012
  top=$(ls -dt "$1"-*/.complete 2>/dev/null | head -n 1)
  printf '%s\n' "${top%/.complete}"
}

# cache_offline_fallback PREFIX WHAT SUITE/ARCH: when the package index cannot
# be read, the newest complete cached WHAT (sysroot, root) below PREFIX, or
# the end of the script.
cache_offline_fallback() {
  local top
  top=$(cache_newest_complete "$1")
  [ -n "$top" ] || ci_die "cannot read the package index of $3 and no $2 is cached"
  ci_log "WARNING: cannot read the package index of $3; using the cached $2 $top"
  printf '%s\n' "$top"
}

# The SYSROOT_* variables it sets are read by the scripts that source this file.
# shellcheck disable=SC2034
sysroot_prepare() {
  local arch=$1 cache mirror key top
  _sysroot_select "${2:-3.14}"
  ci_need_cmd apt-get apt-config debootstrap dpkg-deb flock sha256sum
  cache=$(sysroot_cache_dir)
  mkdir -p "$cache"
  SYSROOT_MULTIARCH=$(_sysroot_multiarch "$arch")
  exec 9> "$cache/.lock-$arch-$SYSROOT_PYVER"
  flock 9
  mirror=$(debian_mirror) || ci_die "no Debian archive found in this machine's apt sources (set PWPOLY_DEBIAN_MIRROR)"
  if key=$(_sysroot_current_key "$arch" "$mirror" "$cache"); then
    top="$cache/$arch-$SYSROOT_PYVER-$key"
    if [ -f "$top/.complete" ]; then
      ci_log "reusing the cached $arch CPython $SYSROOT_PYVER sysroot $top"
    else
      _sysroot_build "$arch" "$top" "$mirror"
      cache_prune_others "$cache/$arch-$SYSROOT_PYVER" "$top"
    fi
  else
    top=$(cache_offline_fallback "$cache/$arch-$SYSROOT_PYVER" sysroot "$SYSROOT_SUITE/$arch")
  fi
  exec 9>&-
  SYSROOT_DIR="$top/root"
  SYSROOT_LIBPATH=$(cat "$top/libpath")
  SYSROOT_PYTHON="$top/bin/python$SYSROOT_PYVER"
  SYSROOT_RUN="$top/bin/run-target"
  SYSROOT_DEBUG_PYTHON="$top/bin/python${SYSROOT_PYVER}d"
  ci_log "$arch sysroot ($SYSROOT_SUITE): $(grep -E "^(python${SYSROOT_PYVER/./\\.}|python3-numpy|python3-scipy|python3-pytest|python3-hypothesis|libc6) " "$top/packages.txt" | awk '{print $1 "=" $2}' | paste -sd' ')"
}
