#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on), replays the saved regression inputs and
# fuzzes each target for a minute from its seed corpus. A crash, a
# sanitizer report, a leak, a failed check or a timeout fails the step.
set -eu
cd "$(dirname "$0")/../.."
root=$(pwd)
build=build-fuzz
seconds=${FUZZ_SECONDS:-60}
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DKOVARI_SANITIZE=ON -DKOVARI_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_targets -j 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  echo "-- $name"
  if [ -d "fuzz/regressions/$name" ]; then
    "$target" -runs=0 "fuzz/regressions/$name"
  fi
  mkdir -p "$work/$name"
  cp "fuzz/corpus/$name"/* "$work/$name/"
  # The saved corpus stays as committed; new inputs go to the work folder.
  "$target" -max_len=4096 -timeout=10 -rss_limit_mb=2048 -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix="$root/$build/$name-" "$work/$name" \
    >"$work/$name.log" 2>&1 || { tail -n 60 "$work/$name.log"; exit 1; }
  grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec' "$work/$name.log"
done
