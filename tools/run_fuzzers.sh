#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed time on a
# copy of its committed corpus. A crash or a broken check fails the run and
# leaves the input under build-fuzz/artifacts/.
#   tools/run_fuzzers.sh [SECONDS_PER_TARGET]   (default 15)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-15}"
targets=(number_scanner single_reader multi_reader result_path record_table)
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSDISF_FUZZ=ON \
  -DMSDISF_BUILD_TESTS=OFF -DMSDISF_BUILD_BENCHMARKS=OFF -DMSDISF_PYTHON=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
mkdir -p build-fuzz/artifacts
for target in "${targets[@]}"; do
  work=$(mktemp -d)
  cp tests/fuzz/corpus/"$target"/* "$work"/
  echo "fuzzing $target for $seconds s"
  ASAN_OPTIONS=allocator_may_return_null=1 build-fuzz/tests/fuzz/fuzz_"$target" \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/"$target"- "$work" \
    2>build-fuzz/"$target".log || { tail -40 build-fuzz/"$target".log >&2; exit 1; }
  grep -E '^stat::number_of_executed_units' build-fuzz/"$target".log || true
  rm -rf "$work"
done
echo "every fuzz target ran $seconds s without a finding"
