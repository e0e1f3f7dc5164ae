#!/usr/bin/env bash
# Runs every test of the project: the C++ unit tests of the core (built with
# CMake into build/core-tests) and the Python suite against the installed
# pwpoly module. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")"
. ci/lib/common.sh
. ci/lib/build.sh

# The C++ tests compile GoogleTest from its sources (Debian's libgtest-dev puts
# them in /usr/src/googletest) with make. Whatever is missing is installed with
# apt-get when that is possible (root on Debian); otherwise we say what to install.
gtest_dir=${PWPOLY_GTEST_SOURCE_DIR:-/usr/src/googletest}
missing=()
[ -f "$gtest_dir/CMakeLists.txt" ] || missing+=(libgtest-dev)
[ -n "${CMAKE_GENERATOR:-}" ] || command -v make >/dev/null || missing+=(make)
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ] && [ -z "${PWPOLY_GTEST_SOURCE_DIR:-}" ] && command -v apt-get >/dev/null; then
        echo "run_tests.sh: installing ${missing[*]} (apt-get)" >&2
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    else
        echo "run_tests.sh: missing ${missing[*]} (Debian: apt-get install ${missing[*]};" \
            "or set PWPOLY_GTEST_SOURCE_DIR to GoogleTest's source tree)" >&2
        exit 1
    fi
fi

build_dir=${PWPOLY_CORE_TEST_BUILD:-build/core-tests}
ci_cmake_build "$build_dir" -DPWPOLY_BUILD_EXTENSION=OFF -DPWPOLY_BUILD_TESTS=ON -DPWPOLY_GTEST_SOURCE_DIR="$gtest_dir" \
    ${PWPOLY_WERROR:+-DPWPOLY_WERROR=ON}
"$build_dir/core_tests" --gtest_brief=1

python -m pytest -q "$@"
