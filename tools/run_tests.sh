#!/usr/bin/env bash
# Builds everything with warnings as errors and runs the whole test suite.
#   tools/run_tests.sh [install_deps.sh options]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh "$@"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSDISF_WERROR=ON \
  -DMSDISF_BUILD_TESTS=ON -DMSDISF_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j"$(nproc)"
