#!/usr/bin/env bash
# Checks that the tree is formatted and lint-clean:
#   1. clang-format (.clang-format): every C++ file of src/, tests/cpp,
#      benchmarks and ci/ is formatted;
#   2. ruff (pyproject.toml): `ruff check` and `ruff format --check` over the
#      Python files;
#   3. shellcheck (.shellcheckrc): the CI scripts, .ci/run and run_tests.sh;
#   4. declared signatures: an entry binding another number of arguments than
#      its signature declares does not compile (ci/signature_count.cpp).
#
#   bash ci/lint.sh
#
# Installs what is missing: ruff with pip into $PWPOLY_PYTHON (default
# python3), pinned below; clang-format and shellcheck with apt-get (Debian's,
# whose clang-format major version is pinned below, since other versions
# format differently). Prints the versions it used.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$here/lib/common.sh"

RUFF_VERSION=0.17.6
CLANG_FORMAT_MAJOR=14  # Debian 12's clang-format

case ${1:-} in
  -h | --help) ci_help; exit 0 ;;
  "") ;;
  *) ci_die "unknown argument '$1' (see --help)" ;;
esac
cd "$repo"
python=${PWPOLY_PYTHON:-python3}

apt_install() {
  [ "$(id -u)" -eq 0 ] || ci_die "$* missing, and installing it needs root (apt-get install $*)"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" > /dev/null
}

ci_stage_begin "lint: tools"
missing=()
command -v clang-format > /dev/null || missing+=(clang-format)
command -v shellcheck > /dev/null || missing+=(shellcheck)
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
if [ "$("$python" -m ruff --version 2> /dev/null)" != "ruff $RUFF_VERSION" ]; then
  "$python" -m pip install -q "ruff==$RUFF_VERSION"
fi
clang_format_version=$(clang-format --version)
[[ $clang_format_version =~ version\ $CLANG_FORMAT_MAJOR\. ]] \
  || ci_die "clang-format $CLANG_FORMAT_MAJOR is needed (.clang-format is checked with it), found: $clang_format_version"
ci_log "$clang_format_version; $("$python" -m ruff --version); shellcheck $(shellcheck --version | awk '$1 == "version:" { print $2 }')"
ci_stage_end

failed=()

ci_stage_begin "lint: clang-format"
mapfile -t cpp_files < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' \
  'benchmarks/*.cpp' 'benchmarks/*.hpp' 'ci/*.cpp')
clang-format --dry-run -Werror "${cpp_files[@]}" || failed+=(clang-format)
ci_stage_end

ci_stage_begin "lint: ruff"
"$python" -m ruff check --no-cache . || failed+=("ruff check")
"$python" -m ruff format --no-cache --check . || failed+=("ruff format")
ci_stage_end

ci_stage_begin "lint: shellcheck"
mapfile -t shell_files < <(git ls-files 'ci/*.sh' .ci/run run_tests.sh)
shellcheck "${shell_files[@]}" || failed+=(shellcheck)
ci_stage_end

ci_stage_begin "lint: declared signatures"
python_include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
signature_check() {
  g++ -std=c++20 -fsyntax-only -I"$repo/src" -I"$python_include" -DBINDINGS="$1" "$here/signature_count.cpp" 2> /dev/null
}
signature_check 2 || failed+=("signatures: a matching binding does not compile")
if signature_check 3; then failed+=("signatures: a binding of the wrong count compiles"); fi
ci_stage_end

ci_stage_summary
[ ${#failed[@]} -eq 0 ] || ci_die "lint failed: ${failed[*]}"
ci_log "lint passed"
