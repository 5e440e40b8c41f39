#!/usr/bin/env bash
# Installs the packages, builds everything in build/, runs every test and
# prints the results.
#   KESTRIX_WERROR=OFF scripts/test.sh   to build without warnings as errors
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh
cmake -S . -B build -G Ninja -DKESTRIX_WERROR="${KESTRIX_WERROR:-ON}"
cmake --build build -j2
ctest --test-dir build -j2 --timeout 600 --output-on-failure
