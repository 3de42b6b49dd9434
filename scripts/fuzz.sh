#!/usr/bin/env bash
# Fuzzes for longer than the test command does (10 s each there): every harness, or the ones
# named, for the given seconds each (default 600), one after another. New inputs grow the work
# corpus build/fuzz/fuzz/corpus/<harness>; an input that fails is kept in
# build/fuzz/fuzz/findings/ and fails the run.
#   scripts/fuzz.sh [seconds] [harness...]     harnesses: the names of fuzz/*_fuzz.cpp
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

out=build/fuzz/fuzz
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for source in fuzz/*_fuzz.cpp; do
    name=${source##*/}
    harnesses+=("${name%_fuzz.cpp}")
  done
fi

failed=()
for name in "${harnesses[@]}"; do
  printf '\n==== %s, %s s\n' "$name" "$seconds"
  mkdir -p "$out/corpus/$name" "$out/findings"
  if ! "$out/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$out/findings/$name-" "$out/corpus/$name" "fuzz/corpus/$name"; then
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings for ${failed[*]} in $out/findings" >&2
  exit 1
fi
echo "fuzz: nothing found"
