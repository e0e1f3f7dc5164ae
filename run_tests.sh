#!/usr/bin/env bash
# Runs every test of the project: the C++ unit tests of the core (built with
# CMake into build/core-tests) and the Python suite against the installed
# pwpoly module. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")"

build_dir=${PWPOLY_CORE_TEST_BUILD:-build/core-tests}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DPWPOLY_BUILD_EXTENSION=OFF -DPWPOLY_BUILD_TESTS=ON \
    ${PWPOLY_WERROR:+-DPWPOLY_WERROR=ON} >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
"$build_dir/core_tests" --gtest_brief=1

python -m pytest -q "$@"
