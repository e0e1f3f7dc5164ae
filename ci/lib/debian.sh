# What every script that works in Debian roots sources (sourced, not run):
# logging and stages (common.sh), the archive to install from
# (debian_mirror.sh) and the cached roots of each architecture (sysroot.sh).
# The caller sets `here` to its ci/ folder first.
# shellcheck disable=SC2154 # here: set by the caller
# shellcheck source=ci/lib/common.sh
. "$here/lib/common.sh"
# shellcheck source=ci/lib/debian_mirror.sh
. "$here/lib/debian_mirror.sh"
# shellcheck source=ci/lib/sysroot.sh
. "$here/lib/sysroot.sh"
