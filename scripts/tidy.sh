#!/usr/bin/env bash
# clang-tidy on every target of the linux preset, each as one unity batch of all its sources (the
# sources are checked as the batch's included files, which the header filter takes in; the
# headers that they share are then checked once per target), and on the fuzz harnesses. Needs
# the linux-asan build configured (scripts/test.sh does); configures its own build/tidy.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
status=0
cmake --preset linux -B "$root/build/tidy" -DCMAKE_UNITY_BUILD_BATCH_SIZE=0 >/dev/null || exit 1
python3 - "$root/build/tidy/compile_commands.json" >"$root/build/tidy-files.txt" <<'PY' || exit 1
import json, sys
seen = set()  # a batch listed more than once is checked once
for entry in json.load(open(sys.argv[1])):
    if entry["file"] not in seen:
        seen.add(entry["file"])
        print(entry["file"])
PY
# A batch includes its sources by design: the check of included sources is the grep at the end.
xargs -a "$root/build/tidy-files.txt" -P "$jobs" -n 1 \
  clang-tidy -p "$root/build/tidy" --quiet --warnings-as-errors='*' \
    --checks=-bugprone-suspicious-include 2>/dev/null || status=1
# The fuzz harnesses are not in the linux preset: the linux-asan build has them, one source each.
git ls-files 'fuzz/*.cpp' | xargs -P "$jobs" -n 2 \
  clang-tidy -p "$root/build/linux-asan" --quiet --warnings-as-errors='*' 2>/dev/null || status=1
if git grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<][^">]*\.(c|cc|cpp|cxx)[">]' \
    -- '*.cpp' '*.h'; then
    echo "a source includes a source file (above)" >&2
    status=1
fi
exit $status
