#!/usr/bin/env bash
# Installs the packages, builds everything in build/, runs every test and
# prints the results.
#   KESTRIX_WERROR=OFF scripts/test.sh   to build without warnings as errors
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh
# Tests and benchmarks on, also in a build folder scripts/demo.sh made without them.
cmake -S . -B build -G Ninja -DKESTRIX_WERROR="${KESTRIX_WERROR:-ON}" -DKESTRIX_TESTS=ON -DKESTRIX_BENCH=ON
cmake --build build -j2
ctest --test-dir build -j2 --timeout 600 --output-on-failure
