#!/usr/bin/env bash
# Builds the reply-parser fuzz targets with clang and runs each for SECONDS; exits non-zero if any of them fails.
set -euo pipefail

seconds=${1:-60}
if ! [[ $seconds =~ ^[0-9]+$ ]] || (( seconds == 0 )); then
  echo "usage: $0 SECONDS" >&2
  exit 2
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
cd "$root"

# Only the fuzz targets are built, so the rest of the tree need not build with
# clang; the suites stay off.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSTREL_FUZZ=ON -DOSTREL_TESTS=OFF -DOSTREL_SANITIZE= >/dev/null
cmake --build "$build" -j2 --target fuzz_targets

failed=()
ran=0
for seeds in tests/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  fuzzer=$build/tests/fuzz/fuzz_$name
  [[ -x $fuzzer ]] || { echo "run-fuzz: no fuzzer for corpus $name" >&2; failed+=("$name"); continue; }
  # New inputs go to a working corpus in the build folder; the seeds in the
  # source tree are only read. Crashing inputs land in artifacts/.
  work=$build/corpus/$name
  mkdir -p "$work" "$build/artifacts"
  echo "== fuzz_$name (${seconds}s)"
  ran=$((ran + 1))
  if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$name-" "$work" "$seeds" >"$build/$name.log" 2>&1; then
    failed+=("$name")
    tail -n 40 "$build/$name.log" >&2
  fi
  grep -E "^(stat::number_of_executed_units|Done )" "$build/$name.log" || true
done

if (( ${#failed[@]} > 0 )); then
  echo "run-fuzz: FAILED: ${failed[*]} (logs and inputs under $build)" >&2
  echo "$((ran - ${#failed[@]})) passed, ${#failed[@]} failed"
  exit 1
fi
echo "run-fuzz: all fuzz targets ran ${seconds}s without a failure"
echo "$ran passed, 0 failed"
