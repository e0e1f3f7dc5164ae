# What every script that works in Debian roots sources (sourced, not run):
# logging and stages (common.sh), the archive to install from
# (debian_mirror.sh) and the cached roots of each architecture (sysroot.sh).
# The caller sets `here` to its ci/ folder first.
. "$here/lib/common.sh"
. "$here/lib/debian_mirror.sh"
. "$here/lib/sysroot.sh"
