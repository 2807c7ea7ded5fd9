#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs the whole
# test suite and every job of the table on the sample data. Any report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSDISF_SANITIZE=ON -DMSDISF_WERROR=ON \
  -DMSDISF_BUILD_TESTS=ON -DMSDISF_BUILD_BENCHMARKS=OFF -DMSDISF_PYTHON=OFF >/dev/null
cmake --build build-asan -j"$(nproc)"
# Allocation tests ask for impossible sizes on purpose: the allocator must
# answer with a null pointer (and the fatal report), not a sanitizer abort.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j"$(nproc)"
# Every rank end to end (paths are relative to the parent of build-asan/).
cd build-asan
for rank in 0 1 2 3 4 5 6 7 8; do
  if ! ./msd_isf "$rank" 1 >"rank$rank.out" 2>"rank$rank.err"; then
    echo "rank $rank failed under the sanitizers:" >&2
    cat "rank$rank.err" >&2
    exit 1
  fi
  if grep -q -E 'Sanitizer|runtime error' "rank$rank.err"; then
    cat "rank$rank.err" >&2
    exit 1
  fi
done
echo "every rank ran cleanly under the sanitizers"
